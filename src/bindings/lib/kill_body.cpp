// kill.

#include <string>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/conversions.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/lib/bodies.hpp"
#include "core/probe/listener.hpp"
#include "core/terminate/stop_port_holders.hpp"

namespace velmor::bodies {
namespace {

constexpr FunctionSpec kill_spec{"kill", {"port", "force"}, 2, 1};

}  // namespace

OwnedRef kill(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(kill_spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    bool force = convert_argument("force", [&] { return to_flag(bound[1]); });
    if (port == 0 || probe_port(port)) return OwnedRef::borrow(Py_True);

    switch (without_interpreter_lock([&] { return stop_port_holders(port, force); })) {
        case KillOutcome::freed:
            return OwnedRef::borrow(Py_True);
        case KillOutcome::permission_denied:
            throw CallError::deferred(PyExc_PermissionError,
                                      "Permission denied to kill the process(es) using port " +
                                          std::to_string(port) + " (try running with elevated privileges)");
        case KillOutcome::not_freed:
            break;
    }
    throw CallError::deferred(PyExc_OSError, "Could not free port " + std::to_string(port) +
                                                 ": no matching process was found or it did not exit");
}

}  // namespace velmor::bodies
