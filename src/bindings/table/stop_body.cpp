// stop: the command line's kill and the test support's clean-up.

#include <csignal>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/results.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec stop_spec{
    "stop", {"ports", "udp", "all_sockets", "signal", "kill_after", "timeout", "dry_run", "pids"}, 8, 1};

constexpr std::int64_t default_timeout_ns = 5'000'000'000;
// Between checks whether the targets have let go; a target's exit ends a
// pause at once.
constexpr std::int64_t pause_ns = 20'000'000;

// Waits, with the lock released, until the stop is settled or `deadline`
// passes. A signal (Ctrl-C) ends the pause: the interpreter's handlers run
// with the lock taken back, and an exception they raise ends the call.
void wait_for(PortStop& stop, const timespec& deadline) {
    PollPlan plan;
    plan.deadline = deadline;
    plan.pause_ns = pause_ns;
    plan.check_at_deadline = true;
    plan.shorten_pause_to_deadline = true;
    plan.end_on_signal = true;
    for (;;) {
        PollEnd end = without_interpreter_lock([&] {
            std::vector<pollfd> watches = stop.exit_watches();
            return poll_until(plan, watches, [&] { return stop.settled(); });
        });
        if (end != PollEnd::interrupted) return;
        if (PyErr_CheckSignals() != 0) throw fetch_error();
    }
}

}  // namespace

// stop(ports, udp=False, all_sockets=False, signal=SIGTERM, kill_after=None,
// timeout=5.0, dry_run=False, pids=None): the targets after the stop, and
// every socket on the ports as the stop found them before it, and the
// processes whose descriptors could not be read when a socket had no holder.
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
        "timeout", [&] { return table_arguments::nanoseconds(bound[5], "timeout", default_timeout_ns); });
    bool dry_run = convert_argument("dry_run", [&] { return table_arguments::flag(bound[6], "dry_run"); });
    request.only = convert_argument("pids", [&] { return table_arguments::optional_pids(bound[7]); });

    PortStop stop = without_interpreter_lock([&] { return PortStop(std::move(request)); });
    if (int error = stop.short_of_descriptors(); error != 0) {
        raise_short_of_descriptors(error, "to read the socket tables and the processes");
    }
    if (!dry_run) {
        const timespec start = monotonic_now();
        without_interpreter_lock([&] { stop.send(first_signal); });
        // Nothing was signalled: the descriptors to pin and watch the targets were missing.
        if (int error = stop.short_of_descriptors(); error != 0) {
            raise_short_of_descriptors(error, "to pin the holders and watch them exit; nothing was signalled");
        }
        // With a second signal to come, the wait lasts until a second
        // after it, whatever the timeout says.
        std::int64_t wait = timeout;
        if (kill_after) wait = std::max(wait, *kill_after + nanoseconds_per_second);
        const timespec deadline = deadline_after_ns(start, wait);
        if (kill_after && first_signal != SIGKILL) {
            wait_for(stop, deadline_after_ns(start, *kill_after));
            if (!without_interpreter_lock([&] { return stop.settled(); })) {
                without_interpreter_lock([&] { stop.send_to_survivors(SIGKILL); });
            }
        }
        wait_for(stop, deadline);
        without_interpreter_lock([&] { stop.finish(); });
    }
    OwnedRef targets = table_results::target_list(stop.targets());
    OwnedRef sockets = table_results::socket_list(stop.table());
    OwnedRef unreadable = table_results::process_list(stop.table().unreadable);
    return require_new(PyTuple_Pack(3, targets.get(), sockets.get(), unreadable.get()));
}

}  // namespace velmor::table_bodies
