#pragma once
// Whether ports are free, found the cheap way first: the listening table
// (one read for every port asked) and the trial bind on 127.0.0.1 decide
// most ports; a read of the sockets in every state (one for all the ports
// left) is made only for the ports they cannot decide, and handed back, so
// that the caller judges those from the sockets on them, or judged here by
// the same rule (judge_sockets). Runs without the interpreter lock and
// touches nothing of it.
//
// A port is decided
//   taken: a TCP socket listens on it, on any local address, or the trial
//          bind fails (whatever else is on the port, it is not free then);
//   free:  nothing listens, the trial bind succeeds, and no TCP socket at
//          all is on the port (port_unbound, or none in the sockets read);
//   undecided: the trial bind succeeds beside sockets that do not listen
//          (TIME-WAIT, closing, connected or only bound ones): whether they
//          keep the port busy is the caller's judgement of those sockets.
//
// Beyond a few ports, where the socket tables list the sockets that are only
// bound too (newer Linux kernels; checked once with a socket of our own), the
// read of every state comes before the trial binds, and only the ports it
// finds a socket on are tried: a range of 65,535 free ports costs one read,
// not 65,535 binds. Ports below the first this process may bind are tried
// first all the same, since their bind fails whatever is on them.

#include <cstdint>
#include <span>
#include <vector>

#include "core/sockets/socket_table.hpp"

namespace velmor {

enum class FreeVerdict : std::uint8_t { free, taken, undecided };

struct FreeCheck {
    std::vector<FreeVerdict> verdicts;  // one per port asked, in that order
    // Every TCP socket, in every state, on the undecided ports (no holders
    // looked for): the sockets the caller judges them by.
    SocketTable undecided;
    // EMFILE or ENFILE when a table could not be read for lack of a
    // descriptor: then the verdicts are no answer.
    int shortage = 0;
};

// A TCP socket that only outlives its connection, which a bind with
// SO_REUSEADDR takes over when the socket had set it too: TIME-WAIT, or a
// closing one that no process holds any more (it has no inode).
bool lingers(const SocketInfo& socket) noexcept;

struct FreeRequest {
    std::span<const std::uint16_t> ports;  // 1-65535, without repeats
    // Stop at the first port found taken, without a read of every state:
    // enough to tell whether all are free. Ports not looked at are undecided.
    bool stop_at_taken = false;
    // Decide the undecided ports too, from their sockets: free when every
    // TCP socket on the port lingers, taken otherwise.
    bool judge_sockets = false;
};

FreeCheck check_free(const FreeRequest& request);

}  // namespace velmor
