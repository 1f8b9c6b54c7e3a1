// wait: until ports are free, or until something listens on them (with a
// pid: that process or a descendant). The checks and the pauses between
// them run with the lock released; a signal (Ctrl-C) ends a pause, and the
// interpreter's handlers run with the lock taken back.

#include <cerrno>
#include <csignal>
#include <optional>
#include <string>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/defaults.hpp"
#include "bindings/table/results.hpp"
#include "core/platform/process_watch.hpp"
#include "core/sockets/port_wait.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec wait_spec{"wait", {"ports", "listening", "timeout", "pid", "progress"}, 5, 1};

// The engine's pacing (core/sockets/port_wait.hpp); `progress` is told the
// ports still waited for as often as the engine shows progress.
constexpr std::int64_t progress_every_ns = wait_progress_every_ns;
constexpr std::int64_t signal_check_every_ns = 50'000'000;

[[noreturn]] void raise_process_error(PyObject* type, int error, const std::string& message) {
    OwnedRef exception = require(PyObject_CallFunction(type, "is", error, message.c_str()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw fetch_error();
}

// A watch of the process whose listeners count: its pids must be those of
// this pid namespace, and it must exist.
std::optional<platform::ProcessWatch> watch_of(std::optional<platform::Pid> pid) {
    if (!pid) return std::nullopt;
    const std::string named = "pid " + std::to_string(*pid);
    if (!without_interpreter_lock([] { return platform::pids_are_ours(); })) {
        raise_process_error(PyExc_OSError, EOPNOTSUPP,
                            "cannot wait for " + named +
                                ": /proc belongs to another pid namespace, so its pids name other processes "
                                "(mount a /proc for this pid namespace)");
    }
    int error = 0;
    std::optional<platform::ProcessWatch> watch = platform::ProcessWatch::open(*pid, error);
    if (!watch) raise_process_error(PyExc_ProcessLookupError, ESRCH, "no process " + std::to_string(*pid));
    return watch;
}

enum class WaitEnd { met, deadline, exited };

}  // namespace

// wait(ports, listening=False, timeout=30.0, pid=None, progress=None): the
// ports still waited for once each is free (listening: listened on), or
// once `timeout` seconds have passed (0 checks once). With `pid`,
// ProcessLookupError when that process exits before its listeners are on
// every port. `progress(pending)` is called now and then while it waits.
OwnedRef wait(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(wait_spec, args, nargs, kwnames);
    PortWaitRequest request;
    request.ports = convert_argument("ports", [&] { return table_arguments::ports(bound[0]); });
    request.listening = convert_argument("listening", [&] { return table_arguments::flag(bound[1], "listening"); });
    std::int64_t timeout = convert_argument(
        "timeout", [&] { return table_arguments::nanoseconds(bound[2], "timeout", default_wait_timeout_ns); });
    request.pid = convert_argument("pid", [&] {
        return bound[3] == nullptr || bound[3] == Py_None ? std::nullopt
                                                          : std::optional(table_arguments::pid(bound[3]));
    });
    PyObject* progress = bound[4] == Py_None ? nullptr : bound[4];
    if (progress != nullptr && PyCallable_Check(progress) == 0) {
        throw CallError::deferred(PyExc_TypeError, "progress must be callable, not " + type_qualname(progress));
    }
    if (request.pid && !request.listening) {
        throw CallError::deferred(PyExc_ValueError, "pid is for a wait for listeners (listening=True)");
    }
    std::optional<platform::ProcessWatch> watch = watch_of(request.pid);

    const timespec deadline = deadline_after_ns(monotonic_now(), timeout);
    PortWait waiting(std::move(request));
    WaitEnd end = WaitEnd::deadline;
    auto condition = [&] {
        bool met = waiting.check();
        if (waiting.shortage() != 0) return true;  // no answer: the call fails
        if (watch && watch->exited()) {
            end = WaitEnd::exited;
            return true;
        }
        if (met) end = WaitEnd::met;
        return met;
    };
    timespec next_progress = deadline_after_ns(monotonic_now(), progress_every_ns);
    for (;;) {
        PollPlan plan = wait_plan(deadline, true);
        plan.end_on_signal = true;
        // The lock is taken back this often to run the interpreter's signal
        // handlers: a signal that arrives while a check runs, not during a
        // pause, interrupts no pause.
        const timespec back = deadline_after_ns(monotonic_now(), signal_check_every_ns);
        const bool in_parts = !reached(back, deadline);
        if (in_parts) {
            plan.deadline = back;
            plan.check_at_deadline = false;
        }
        PollEnd polled = without_interpreter_lock([&] {
            std::vector<pollfd> watches = watch ? watch->exit_watches() : std::vector<pollfd>{};
            return poll_until(plan, watches, condition);
        });
        if (int error = waiting.shortage(); error != 0) raise_short_of_descriptors(error, "to read the socket tables");
        if (polled == PollEnd::met) break;
        if (PyErr_CheckSignals() != 0) throw fetch_error();
        if (polled == PollEnd::deadline && !in_parts) break;  // the wait's own deadline
        if (progress != nullptr && reached(monotonic_now(), next_progress)) {
            next_progress = deadline_after_ns(monotonic_now(), progress_every_ns);
            OwnedRef pending = table_results::port_list(waiting.pending());
            require(PyObject_CallFunctionObjArgs(progress, pending.get(), nullptr));
        }
    }
    if (end == WaitEnd::exited) {
        std::string port = waiting.pending().empty() ? "" : std::to_string(waiting.pending().front());
        raise_process_error(PyExc_ProcessLookupError, ESRCH,
                            "process " + std::to_string(watch->pid()) + " exited before anything listened on port " + port);
    }
    return table_results::port_list(waiting.pending());
}

}  // namespace velmor::table_bodies
