#pragma once
// What a stop did to each port, for the faces to hand on: the result
// (already free, freed, failed, or what a dry run would signal), each
// process with what became of it, and, for a port left held, why, with what
// would help, never suggesting what cannot help. The words for the
// parameters that would help (the library's "all_sockets=True", the
// command's "--all-sockets") are the face's. Touches nothing of the
// interpreter.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ports/port_status.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::ports {

enum class StopResult : std::uint8_t { already_free, freed, failed, dry_run };

enum class Outcome : std::uint8_t { exited, running, refused, gone, skipped, failed };

// One process that the stop signalled for a port (or would, or left alone).
struct Signalled {
    std::size_t target = 0;  // index into the stop's targets
    int signal = 0;          // the last signal sent (on a dry run: the one that would be); 0 for none
    Outcome outcome = Outcome::failed;
};

struct PortStopResult {
    std::uint16_t port = 0;
    StopResult result = StopResult::failed;
    std::optional<std::string> error;
    std::vector<Signalled> processes;
};

// How a face names the parameters that would help.
struct StopHints {
    std::string all_sockets;  // stop every socket's holder, connections too
    std::string kill_after;   // SIGKILL what is left after a while
};

// The stop's request as the faces gave it, beside the ports.
struct StopAsked {
    bool udp = false;
    bool all_sockets = false;
    bool force = false;
    bool dry_run = false;
    double waited_seconds = 0;  // the wait that the stop allowed (infinite: none)
};

// The states of one reading of the ports: each port's state, in the order
// asked, and the table it was read from.
struct StatesRead {
    std::span<const PortStatus> statuses;
    const SocketTable* table = nullptr;
};

// Per port asked, in that order, what the stop did to it. On a dry run
// `after` is the reading before.
std::vector<PortStopResult> stop_results(std::span<const StopTarget> targets, StatesRead before, StatesRead after,
                                         const StopAsked& asked, const StopHints& hints);

// The words the faces hand on: "already_free", "freed", "failed", "dry_run".
const char* result_name(StopResult result) noexcept;
// "exited", "running", "refused", "gone", "skipped", "failed".
const char* outcome_name(Outcome outcome) noexcept;

// "SIGTERM", "SIGKILL", "signal N"; empty for 0 (none).
std::optional<std::string> signal_name(int signal);

}  // namespace velmor::ports
