// is_available, find_free and wait_until_free.

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/conversions.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/lib/bodies.hpp"
#include "core/probe/listener.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"

namespace velmor::bodies {
namespace {

constexpr FunctionSpec is_available_spec{"is_available", {"port"}, 1, 1};
constexpr FunctionSpec find_free_spec{"find_free", {"preferred"}, 1, 0};
constexpr FunctionSpec wait_until_free_spec{"wait_until_free", {"port", "timeout"}, 2, 1};

constexpr unsigned long long default_timeout_seconds = 30;
constexpr std::int64_t poll_interval_ns = 100'000'000;

OwnedRef python_bool(bool value) { return OwnedRef::borrow(value ? Py_True : Py_False); }

// Polls until the port is free or the deadline has passed; the probe made
// once the deadline is reached has the last word. Pauses are slept out in
// full, signals or not.
bool poll_until_free(std::uint16_t port, unsigned long long timeout_seconds) {
    PollPlan plan;
    plan.deadline = deadline_after(monotonic_now(), timeout_seconds);
    plan.pause_ns = poll_interval_ns;
    plan.check_at_deadline = true;
    std::vector<pollfd> no_watches;
    return poll_until(plan, no_watches, [port] { return probe_port(port); }) == PollEnd::met;
}

}  // namespace

OwnedRef is_available(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(is_available_spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    return python_bool(port != 0 && probe_port(port));
}

OwnedRef find_free(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(find_free_spec, args, nargs, kwnames);
    auto preferred = convert_argument("preferred", [&] { return to_optional_port(bound[0]); });
    if (preferred && *preferred != 0 && probe_port(*preferred)) {
        return require_new(PyLong_FromLong(*preferred));
    }
    auto chosen = system_chosen_port();
    if (!chosen || *chosen == 0) throw CallError::deferred(PyExc_OSError, "Could not find a free port");
    return require_new(PyLong_FromLong(*chosen));
}

OwnedRef wait_until_free(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(wait_until_free_spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    auto timeout = convert_argument("timeout", [&] { return to_seconds(bound[1], default_timeout_seconds); });
    if (port == 0) return python_bool(false);
    return python_bool(without_interpreter_lock([&] { return poll_until_free(port, timeout); }));
}

}  // namespace velmor::bodies
