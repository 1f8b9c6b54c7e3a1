// stop: the command line's kill and the test support's clean-up.

#include <algorithm>
#include <csignal>
#include <limits>
#include <optional>
#include <span>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/defaults.hpp"
#include "bindings/table/results.hpp"
#include "core/ports/explanations.hpp"
#include "core/ports/stop_result.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec stop_spec{
    "stop", {"ports", "udp", "all_sockets", "signal", "kill_after", "timeout", "dry_run", "pids", "force"}, 9, 1};

// Between checks whether the targets have let go; a target's exit ends a
// pause at once.
constexpr std::int64_t pause_ns = 20'000'000;
constexpr std::int64_t signal_check_every_ns = 50'000'000;

// Each port's state and its texts in `state`, from the stop's one walk: the
// processes whose descriptors it could not read, and the process view,
// asked once for before and after when their evidence needs it.
std::vector<ports::ExplainedStatus> states_of(const PortsState& state, const std::vector<std::uint16_t>& asked,
                                              std::span<const TableProcess> unreadable,
                                              std::optional<platform::ProcessView>& view) {
    ports::Sighting seen{unreadable, state.probe_errors, view, state.lasting};
    std::vector<ports::PortStatus> statuses = ports::port_statuses(state.table, asked, seen);
    view = seen.view;
    return ports::explained(std::move(statuses), state.table);
}

// Waits, with the lock released, until the stop is settled or `deadline`
// passes. A signal (Ctrl-C) ends the pause: the interpreter's handlers run
// with the lock taken back, and an exception they raise ends the call.
void wait_for(StopRun& stop, const timespec& deadline) {
    PollPlan plan;
    plan.deadline = deadline;
    plan.pause_ns = pause_ns;
    plan.check_at_deadline = true;
    plan.shorten_pause_to_deadline = true;
    plan.end_on_signal = true;
    for (;;) {
        // The lock is taken back this often to run the interpreter's signal
        // handlers: a signal that arrives while a check runs, not during a
        // pause, interrupts no pause.
        const timespec back = deadline_after_ns(monotonic_now(), signal_check_every_ns);
        const bool in_parts = !reached(back, deadline);
        plan.deadline = in_parts ? back : deadline;
        plan.check_at_deadline = !in_parts;
        PollEnd end = without_interpreter_lock([&] {
            std::vector<pollfd> watches = stop.exit_watches();
            return poll_until(plan, watches, [&] { return stop.settled(); });
        });
        if (end == PollEnd::met) return;
        if (PyErr_CheckSignals() != 0) throw fetch_error();
        if (end == PollEnd::deadline && !in_parts) return;
    }
}

// The states without their texts, for the stop's results.
std::vector<ports::PortStatus> bare(const std::vector<ports::ExplainedStatus>& states) {
    std::vector<ports::PortStatus> statuses;
    statuses.reserve(states.size());
    for (const ports::ExplainedStatus& state : states) statuses.push_back(state.status);
    return statuses;
}

// What helps, in the library's words: its parameters.
ports::StopHints library_hints() { return {"all_sockets=True", "kill_after=SECONDS"}; }

}  // namespace

// stop(ports, udp=False, all_sockets=False, signal=SIGTERM, kill_after=None,
// timeout=5.0, dry_run=False, pids=None, force=False): the whole stop, with
// what it did to each port, from the one walk it makes: (ports asked
// without repeats, each port's state before as statuses() gives them, the
// states after likewise (None on a dry run), per port (result, error,
// processes)). `force` sends
// SIGKILL first, whatever `signal` says.
OwnedRef stop(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(stop_spec, args, nargs, kwnames);
    StopRequest request;
    request.ports = convert_argument("ports", [&] { return table_arguments::ports(bound[0]); });
    request.udp = convert_argument("udp", [&] { return table_arguments::flag(bound[1], "udp"); });
    request.all_sockets = convert_argument("all_sockets", [&] { return table_arguments::flag(bound[2], "all_sockets"); });
    int first_signal = convert_argument("signal", [&] { return table_arguments::signal_number(bound[3], SIGTERM); });
    auto kill_after = convert_argument(
        "kill_after", [&] { return table_arguments::optional_nanoseconds(bound[4], "kill_after", true); });
    std::int64_t timeout = convert_argument(
        "timeout", [&] { return table_arguments::nanoseconds(bound[5], "timeout", default_stop_timeout_ns); });
    bool dry_run = convert_argument("dry_run", [&] { return table_arguments::flag(bound[6], "dry_run"); });
    request.only = convert_argument("pids", [&] { return table_arguments::optional_pids(bound[7]); });
    const bool forced = convert_argument("force", [&] { return table_arguments::flag(bound[8], "force"); });
    if (forced) first_signal = SIGKILL;
    const bool request_udp = request.udp;
    const bool request_all_sockets = request.all_sockets;

    const std::vector<std::uint16_t> ports = request.ports;
    StopRun stop = without_interpreter_lock([&] { return StopRun(std::move(request)); });
    if (int error = stop.short_of_descriptors(); error != 0) {
        raise_short_of_descriptors(error, "to read the socket tables and the processes");
    }
    // With a second signal to come, the wait lasts until a second after
    // it, whatever the timeout says.
    constexpr std::int64_t longest = std::numeric_limits<std::int64_t>::max();
    std::int64_t wait = timeout;
    if (kill_after) wait = std::max(wait, *kill_after > longest - nanoseconds_per_second ? longest : *kill_after + nanoseconds_per_second);
    if (dry_run) {
        stop.foresee(first_signal);
    } else {
        const timespec start = monotonic_now();
        without_interpreter_lock([&] { stop.send(first_signal); });
        // Nothing was signalled: the descriptors to pin and watch the targets were missing.
        if (int error = stop.short_of_descriptors(); error != 0) {
            raise_short_of_descriptors(error, "to pin the holders and watch them exit; nothing was signalled");
        }
        const timespec deadline = deadline_after_ns(start, wait);
        if (kill_after && first_signal != SIGKILL) {
            wait_for(stop, deadline_after_ns(start, *kill_after));
            if (!without_interpreter_lock([&] { return stop.settled(); })) {
                without_interpreter_lock([&] { stop.send_to_survivors(SIGKILL); });
            }
        }
        wait_for(stop, deadline);
        without_interpreter_lock([&] { stop.finish(); });
        if (int error = stop.short_of_descriptors(); error != 0) {
            raise_short_of_descriptors(error, "to read the socket tables after the stop");
        }
    }
    // The longest wait is the one without end.
    const double seconds = wait == longest ? std::numeric_limits<double>::infinity() : static_cast<double>(wait) / 1e9;
    const ports::StopAsked asked{request_udp, request_all_sockets, forced, dry_run, seconds};
    std::vector<ports::ExplainedStatus> states_before, states_after;
    std::vector<ports::PortStopResult> results;
    without_interpreter_lock([&] {
        const std::span<const TableProcess> unreadable = stop.before().table.unreadable;
        std::optional<platform::ProcessView> view;
        states_before = states_of(stop.before(), ports, unreadable, view);
        if (!dry_run) states_after = states_of(stop.after(), ports, unreadable, view);
        const std::vector<ports::PortStatus> before = bare(states_before);
        const std::vector<ports::PortStatus> after = dry_run ? before : bare(states_after);
        const SocketTable& after_table = dry_run ? stop.before().table : stop.after().table;
        results = ports::stop_results(stop.targets(), {before, &stop.before().table}, {after, &after_table}, asked,
                                      library_hints());
    });
    OwnedRef asked_ports = table_results::port_list(ports);
    OwnedRef before = table_results::status_list(states_before, stop.before().table);
    OwnedRef after = dry_run ? OwnedRef::borrow(Py_None) : table_results::status_list(states_after, stop.after().table);
    OwnedRef per_port = table_results::stop_result_list(results, stop.targets());
    return require_new(PyTuple_Pack(4, asked_ports.get(), before.get(), after.get(), per_port.get()));
}

}  // namespace velmor::table_bodies
