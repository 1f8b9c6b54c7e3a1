#include "core/terminate/termination.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/system/clock.hpp"
#include "core/system/unique_fd.hpp"

namespace velmor {
namespace {

// Descriptors set aside by opening /dev/null, given back when needed.
class DescriptorReserve {
public:
    explicit DescriptorReserve(std::size_t count) : spares_(count) { take(); }

    // Sets the descriptors aside again; false when the system has no
    // descriptor left for all of them.
    bool take() {
        error_ = 0;
        for (UniqueFd& spare : spares_) {
            if (spare) continue;
            spare.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
            // Where /dev/null cannot be opened for another reason, nothing
            // is set aside, as nothing can be.
            if (!spare && (errno == EMFILE || errno == ENFILE)) {
                error_ = errno;
                return false;
            }
        }
        return true;
    }

    void give_back() {
        for (UniqueFd& spare : spares_) spare.reset();
    }

    // EMFILE or ENFILE when the latest take() failed.
    int error() const noexcept { return error_; }

private:
    std::vector<UniqueFd> spares_;
    int error_ = 0;
};

// Kept free while the targets are pinned, so that however many targets take
// up the descriptor limit, the wait that follows still has room to probe
// the port and to read the socket tables and the processes' states.
constexpr std::size_t descriptors_for_the_wait = 4;
// A pin takes the process's /proc directory and a pidfd (which may be
// missing); letting go of it reads a file through the directory.
constexpr std::size_t descriptors_for_a_pin = 2;

}  // namespace

std::vector<platform::HeldSocket> still_there_after(std::span<const platform::HeldSocket> held,
                                                    const SocketFilter& filter, std::int64_t pause_ns) {
    if (held.empty()) return {};
    timespec pause{static_cast<time_t>(pause_ns / nanoseconds_per_second), static_cast<long>(pause_ns % nanoseconds_per_second)};
    while (pause_ns > 0 && ::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    platform::ProcessQueries queries(filter);
    // Without tables, or with tables read short of descriptors, nothing tells a passing socket.
    if (!queries.lists_every_socket() || queries.descriptor_shortage() != 0) return {held.begin(), held.end()};
    std::span<const SocketInfo> listed = queries.listed_sockets();  // sorted by id
    auto is_listed = [&](std::uint64_t id) {
        auto it = std::lower_bound(listed.begin(), listed.end(), id,
                                   [](const SocketInfo& socket, std::uint64_t wanted) { return socket.id < wanted; });
        return it != listed.end() && it->id == id;
    };
    std::vector<platform::HeldSocket> kept;
    for (const platform::HeldSocket& socket : held) {
        if (is_listed(socket.socket_id)) kept.push_back(socket);
    }
    return kept;
}

void Termination::keep_lasting(const SocketFilter& filter, std::optional<timespec> listed_by) {
    std::vector<platform::HeldSocket> held;
    for (const Target& target : targets_) held.insert(held.end(), target.held.begin(), target.held.end());
    const std::int64_t pause_ns =
        listed_by ? nanoseconds_until(monotonic_now(), deadline_after_ns(*listed_by, lasting_socket_pause_ns))
                  : lasting_socket_pause_ns;
    std::vector<platform::HeldSocket> lasting = still_there_after(held, filter, pause_ns);
    for (Target& target : targets_) {
        // A target is pinned by its sockets that lasted; one without any was passing.
        std::erase_if(target.held, [&](const platform::HeldSocket& socket) {
            return std::none_of(lasting.begin(), lasting.end(), [&](const platform::HeldSocket& kept) {
                return kept.pid == socket.pid && kept.socket_id == socket.socket_id;
            });
        });
        target.passing = target.held.empty();
        if (target.passing) target.result = platform::SignalResult::gone;
    }
}

using platform::PinnedProcess;
using platform::SignalResult;

Termination::Termination(std::vector<HeldSockets> targets) {
    targets_.reserve(targets.size());
    for (HeldSockets& held : targets) {
        const bool none = held.empty();
        const platform::Pid pid = none ? 0 : held.front().pid;
        targets_.push_back(Target{pid, std::move(held), std::nullopt, SignalResult::failed, 0, none});
    }
}

void Termination::send(int signal) {
    DescriptorReserve for_the_wait(descriptors_for_the_wait);
    DescriptorReserve for_pins(descriptors_for_a_pin);
    if (int error = for_the_wait.error() != 0 ? for_the_wait.error() : for_pins.error(); error != 0) {
        shortage_ = error;
        return;
    }
    for (Target& target : targets_) {
        if (target.passing) continue;
        // Pinned and checked right before its signal, each in turn.
        errno = 0;
        PinnedProcess process = PinnedProcess::pin(target.held);
        // The pins kept so far fill the descriptor limit: the reserve makes
        // room for this one, which keeps no descriptor afterwards, so that
        // the next target can be pinned too.
        const bool no_room = !process.valid() && (errno == EMFILE || errno == ENFILE);
        if (no_room) {
            for_pins.give_back();
            process = PinnedProcess::pin(target.held);
        }
        if (process.valid()) {
            target.result = process.signal(signal);
            if (target.result == SignalResult::delivered) target.signal = signal;
        } else {
            target.result = process.state();
        }
        if (no_room) {
            process.let_go_of_descriptors();
            for_pins.take();
        }
        process.keep_one_descriptor();
        if (process.valid()) target.process.emplace(std::move(process));
    }
}

void Termination::send_to_survivors(int signal) {
    for (Target& target : targets_) {
        if (target.result != SignalResult::delivered || !target.process || target.process->exited()) continue;
        if (target.process->signal(signal) == SignalResult::delivered) target.signal = signal;
    }
}

bool Termination::delivered() const {
    for (const Target& target : targets_) {
        if (target.result == SignalResult::delivered || target.result == SignalResult::gone) return true;
    }
    return false;
}

bool Termination::refused() const {
    for (const Target& target : targets_) {
        if (target.result == SignalResult::refused) return true;
    }
    return false;
}

std::vector<platform::Pid> Termination::survivors() const {
    std::vector<platform::Pid> alive;
    for (const Target& target : targets_) {
        if (target.result == SignalResult::delivered && target.process && !target.process->exited()) {
            alive.push_back(target.pid);
        }
    }
    return alive;
}

bool Termination::survivor_exiting() const {
    return std::any_of(targets_.begin(), targets_.end(), [](const Target& target) {
        return target.result == SignalResult::delivered && target.process && target.process->exiting();
    });
}

std::vector<pollfd> Termination::exit_watches() const {
    std::vector<pollfd> watches;
    for (const Target& target : targets_) {
        if (target.result != SignalResult::delivered || !target.process) continue;
        if (int fd = target.process->exit_watch(); fd >= 0) watches.push_back(pollfd{fd, POLLIN, 0});
    }
    return watches;
}

std::vector<Termination::Report> Termination::reports() const {
    std::vector<Report> reports;
    reports.reserve(targets_.size());
    for (const Target& target : targets_) {
        Report report{target.pid, target.signal, TargetOutcome::failed, target.passing};
        switch (target.result) {
            case SignalResult::delivered:
                report.outcome = target.process && target.process->exited() ? TargetOutcome::exited
                                                                           : TargetOutcome::running;
                break;
            case SignalResult::gone:
                report.outcome = TargetOutcome::gone;
                break;
            case SignalResult::refused:
                report.outcome = TargetOutcome::refused;
                break;
            case SignalResult::failed:
                break;
        }
        reports.push_back(report);
    }
    return reports;
}

}  // namespace velmor
