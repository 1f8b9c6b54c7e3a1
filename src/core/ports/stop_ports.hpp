#pragma once
// The whole stop of a set of ports, as every face runs it: choose the
// targets, signal them (or, on a dry run, foresee what they would get),
// wait until they have let go, send SIGKILL to what is left after
// kill_after, wait again, and tell what became of each port. A face only
// converts its arguments, hands in its part of the waits (StopFace), and
// renders the outcome. Touches nothing of the interpreter.

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "core/ports/explanations.hpp"
#include "core/ports/stop_result.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::ports {

// The stop as a face asks for it.
struct StopOrder {
    StopRequest request;
    int signal = 0;                            // the first signal (SIGTERM when 0)
    bool force = false;                        // SIGKILL first, whatever `signal` says
    std::optional<std::int64_t> kill_after_ns;  // SIGKILL to the survivors this long after the first signal
    std::int64_t timeout_ns = 0;               // how long to wait for the ports to be free
    bool dry_run = false;                      // signal nothing: foresee
};

// What a face does around the stop's parts and during its waits. The
// defaults run everything in place and wait each wait out whole.
class StopFace {
public:
    StopFace() = default;
    StopFace(const StopFace&) = delete;
    StopFace& operator=(const StopFace&) = delete;
    virtual ~StopFace() = default;

    // Runs one part of the stop (a read, a signal, a pause); the part
    // touches nothing of the face's (the Python face lets go of its lock).
    virtual void outside(const std::function<void()>& part) { part(); }
    // A signal cut a pause short, or a part of a wait ended: the face runs
    // its handlers. It may throw to end the stop; what the stop holds is
    // let go of on the way out.
    virtual void signal_arrived() {}
    // The waits are cut into parts this long, so that signal_arrived runs
    // at least this often; 0 waits each wait out whole.
    virtual std::int64_t part_ns() const { return 0; }
};

// The system had no descriptor free for a part of the stop: `error` is
// EMFILE or ENFILE, `doing` what it was for ("to read the socket tables
// after the stop").
struct StopShortage {
    int error = 0;
    const char* doing = "";
};

struct StoppedPorts {
    StoppedPorts(std::vector<std::uint16_t> asked, bool dry, StopRun stop)
        : ports(std::move(asked)), dry_run(dry), run(std::move(stop)) {}

    std::vector<std::uint16_t> ports;  // as asked, in order
    bool dry_run = false;
    StopRun run;
    std::optional<StopShortage> shortage;  // then nothing below is filled in
    std::vector<ExplainedStatus> before;   // each port's state before, with its texts
    std::vector<ExplainedStatus> after;    // and after (empty on a dry run)
    std::vector<PortStopResult> results;   // per port, what the stop did to it
    double waited_seconds = 0;             // the wait that the stop allowed (infinite: none)

    // The table of the states after (before, on a dry run).
    const SocketTable& after_table() const noexcept { return dry_run ? run.before().table : run.after().table; }
    // The state after (before, on a dry run) of the i-th port.
    const ExplainedStatus& after_state(std::size_t i) const { return dry_run ? before[i] : after[i]; }
};

// How long the stop waits: `timeout`, and with a second signal to come at
// least until a second after it.
std::int64_t stop_wait_ns(std::int64_t timeout_ns, std::optional<std::int64_t> kill_after_ns) noexcept;

// Runs the whole stop; `hints` name the parameters that would help in the face's words.
StoppedPorts stop_ports(StopOrder order, const StopHints& hints, StopFace& face);

}  // namespace velmor::ports
