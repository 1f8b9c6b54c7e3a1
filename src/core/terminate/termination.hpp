#pragma once
// Stopping the processes that hold a port: each target is pinned, checked
// to still hold the socket it was found with, and signalled through its
// pin; later signals go to the same pinned processes. Plain system calls,
// nothing of the interpreter.

#include <poll.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <vector>

#include "core/platform/process_handle.hpp"
#include "core/platform/socket.hpp"

namespace velmor {

// What became of one target.
enum class TargetOutcome {
    exited,   // signalled, and it has exited (a zombie has)
    running,  // signalled, and still running
    refused,  // the system refused the signal for lack of permission
    gone,     // already gone, or no longer holding the socket, when its turn came: not signalled
    failed,   // could not be signalled for another reason: not signalled
};

// The sockets of `held` that the system's socket tables (for `filter`)
// still list after a pause of `pause_ns`: a socket that was there only for
// an instant (another process's trial of the port) is not a holder's.
// Everything is kept where the system has no tables to read.
std::vector<platform::HeldSocket> still_there_after(std::span<const platform::HeldSocket> held,
                                                    const SocketFilter& filter, std::int64_t pause_ns);

// The pause that still_there_after makes before a stop's signals.
inline constexpr std::int64_t lasting_socket_pause_ns = 2'000'000;

// The sockets one process was found holding, those likeliest to last
// (listeners) first: it is pinned by the first of them it still holds.
using HeldSockets = std::vector<platform::HeldSocket>;

class Termination {
public:
    // One target per process, in the order given, each with the sockets it
    // was found holding.
    explicit Termination(std::vector<HeldSockets> targets);

    // Leaves out, as gone, the targets whose socket the system no longer
    // lists a moment later (see still_there_after). With `listed_by`, the
    // moment is counted from when the sockets were listed (the walk that
    // found the targets came after), so a long walk leaves no pause to make.
    void keep_lasting(const SocketFilter& filter, std::optional<timespec> listed_by = std::nullopt);

    // Sends `signal` to every target (not left out); records what each
    // signal call gave. Descriptors for pinning and for the wait that
    // follows are set aside first: when the system cannot give them, no
    // target is signalled and short_of_descriptors() tells why.
    void send(int signal);
    // EMFILE or ENFILE when send() signalled nothing for lack of descriptors.
    int short_of_descriptors() const noexcept { return shortage_; }
    // Sends `signal` to every target signalled so far that has not exited.
    void send_to_survivors(int signal);

    // Whether some target was signalled or was gone, and whether some refused.
    bool delivered() const;
    bool refused() const;

    // The signalled targets that have not exited.
    std::vector<platform::Pid> survivors() const;
    // True while a signalled target is inside its exit: its sockets may be
    // closed already, and its exit is moments away.
    bool survivor_exiting() const;

    // Descriptors that turn readable when a signalled target exits.
    std::vector<pollfd> exit_watches() const;

    struct Report {
        platform::Pid pid = 0;
        int signal = 0;  // the last signal sent, 0 for none
        TargetOutcome outcome = TargetOutcome::failed;
        bool passing = false;  // none of its sockets lasted: it held the port for a moment only
    };
    std::vector<Report> reports() const;

private:
    struct Target {
        platform::Pid pid = 0;
        HeldSockets held;  // its sockets, those that did not last left out
        std::optional<platform::PinnedProcess> process;  // once pinned
        platform::SignalResult result = platform::SignalResult::failed;
        int signal = 0;
        bool passing = false;  // its socket was gone a moment after the search
    };
    std::vector<Target> targets_;
    int shortage_ = 0;
};

}  // namespace velmor
