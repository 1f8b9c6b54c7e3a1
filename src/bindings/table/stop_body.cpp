// stop: the command line's kill and the test support's clean-up.

#include <csignal>
#include <optional>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/defaults.hpp"
#include "bindings/table/results.hpp"
#include "core/ports/stop_ports.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec stop_spec{
    "stop", {"ports", "udp", "all_sockets", "signal", "kill_after", "timeout", "dry_run", "pids", "force"}, 9, 1};

// The lock is taken back this often during the waits to run the
// interpreter's signal handlers: a signal that arrives while a check runs,
// not during a pause, interrupts no pause.
constexpr std::int64_t signal_check_every_ns = 50'000'000;

// The stop's parts run with the lock released; between them a signal
// (Ctrl-C) runs the interpreter's handlers, and an exception they raise
// ends the call.
class InterpreterFace final : public ports::StopFace {
public:
    void outside(const std::function<void()>& part) override { without_interpreter_lock(part); }
    void signal_arrived() override {
        if (PyErr_CheckSignals() != 0) throw fetch_error();
    }
    std::int64_t part_ns() const override { return signal_check_every_ns; }
};

// What helps, in the library's words: its parameters.
ports::StopHints library_hints() { return {"all_sockets=True", "kill_after=SECONDS"}; }

}  // namespace

// stop(ports, udp=False, all_sockets=False, signal=SIGTERM, kill_after=None,
// timeout=5.0, dry_run=False, pids=None, force=False): the whole stop, with
// what it did to each port, from the one walk it makes: (ports asked
// without repeats, each port's state before as statuses() gives them, the
// states after likewise (None on a dry run), per port (result, error,
// processes)). `force` sends SIGKILL first, whatever `signal` says.
OwnedRef stop(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(stop_spec, args, nargs, kwnames);
    ports::StopOrder order;
    StopRequest& request = order.request;
    request.ports = convert_argument("ports", [&] { return table_arguments::ports(bound[0]); });
    request.udp = convert_argument("udp", [&] { return table_arguments::flag(bound[1], "udp"); });
    request.all_sockets = convert_argument("all_sockets", [&] { return table_arguments::flag(bound[2], "all_sockets"); });
    order.signal = convert_argument("signal", [&] { return table_arguments::signal_number(bound[3], SIGTERM); });
    order.kill_after_ns = convert_argument(
        "kill_after", [&] { return table_arguments::optional_nanoseconds(bound[4], "kill_after", true); });
    order.timeout_ns = convert_argument(
        "timeout", [&] { return table_arguments::nanoseconds(bound[5], "timeout", default_stop_timeout_ns); });
    order.dry_run = convert_argument("dry_run", [&] { return table_arguments::flag(bound[6], "dry_run"); });
    request.only = convert_argument("pids", [&] { return table_arguments::optional_pids(bound[7]); });
    order.force = convert_argument("force", [&] { return table_arguments::flag(bound[8], "force"); });

    InterpreterFace face;
    const ports::StoppedPorts stopped = ports::stop_ports(std::move(order), library_hints(), face);
    if (stopped.shortage) raise_short_of_descriptors(stopped.shortage->error, stopped.shortage->doing);
    const StopRun& stop = stopped.run;
    OwnedRef asked_ports = table_results::port_list(stopped.ports);
    OwnedRef before = table_results::status_list(stopped.before, stop.before().table);
    OwnedRef after =
        stopped.dry_run ? OwnedRef::borrow(Py_None) : table_results::status_list(stopped.after, stop.after().table);
    OwnedRef per_port = table_results::stop_result_list(stopped.results, stop.targets());
    return require_new(PyTuple_Pack(4, asked_ports.get(), before.get(), after.get(), per_port.get()));
}

}  // namespace velmor::table_bodies
