#include "core/terminate/termination.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <ctime>

#include "core/system/unique_fd.hpp"

namespace velmor {
namespace {

// Descriptors kept free while the targets are pinned, so that however many
// targets take up the descriptor limit, the wait that follows still has
// room to probe the port and to read the socket tables.
class SpareDescriptors {
public:
    SpareDescriptors() {
        for (UniqueFd& spare : spares_) spare.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    }

private:
    std::array<UniqueFd, 4> spares_;
};

}  // namespace

std::vector<platform::HeldSocket> still_there_after(std::span<const platform::HeldSocket> held,
                                                    const SocketFilter& filter, std::int64_t pause_ns) {
    if (held.empty()) return {};
    timespec pause{static_cast<time_t>(pause_ns / 1'000'000'000), static_cast<long>(pause_ns % 1'000'000'000)};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
    platform::ProcessQueries queries(filter);
    if (!queries.lists_every_socket()) return {held.begin(), held.end()};
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

void Termination::keep_lasting(const SocketFilter& filter) {
    std::vector<platform::HeldSocket> held;
    for (const Target& target : targets_) held.push_back(target.held);
    std::vector<platform::HeldSocket> lasting = still_there_after(held, filter, lasting_socket_pause_ns);
    for (Target& target : targets_) {
        bool kept = std::any_of(lasting.begin(), lasting.end(), [&](const platform::HeldSocket& socket) {
            return socket.pid == target.held.pid && socket.socket_id == target.held.socket_id;
        });
        if (!kept) target.result = platform::SignalResult::gone;
        target.passing = !kept;
    }
}

using platform::PinnedProcess;
using platform::SignalResult;

Termination::Termination(std::span<const platform::HeldSocket> targets) {
    targets_.reserve(targets.size());
    for (const platform::HeldSocket& held : targets) targets_.push_back(Target{held, std::nullopt, SignalResult::failed, 0, false});
}

void Termination::send(int signal) {
    const SpareDescriptors spare;
    for (Target& target : targets_) {
        if (target.passing) continue;
        // Pinned and checked right before its signal, each in turn.
        PinnedProcess process = PinnedProcess::pin(target.held);
        if (!process.valid()) {
            target.result = process.state();
            continue;
        }
        target.result = process.signal(signal);
        if (target.result == SignalResult::delivered) target.signal = signal;
        process.keep_one_descriptor();
        target.process.emplace(std::move(process));
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
            alive.push_back(target.held.pid);
        }
    }
    return alive;
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
        Report report{target.held.pid, target.signal, TargetOutcome::failed};
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
