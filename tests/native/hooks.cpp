// A test-only module over the native core: the owner search and kill's
// signalling and wait run directly, and ways into the call guard's failure
// paths that the shipped module never takes. It also carries the six module
// functions, the shipped module's own bodies under their names, so that they
// run over whichever core the module is built with. Built for the test run
// only and never installed.

#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/conversions.hpp"
#include "bindings/boundary/entry.hpp"
#include "bindings/boundary/thread_end.hpp"
#include "bindings/lib/bodies.hpp"
#include "core/platform/process_handle.hpp"
#include "core/probe/listener.hpp"
#include "core/sockets/find_owners.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/terminate/free_port.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::hooks {
namespace {

OwnedRef owner_dict(const PortOwner& owner) {
    OwnedRef dict = require_new(Py_BuildValue("{s:k,s:s#,s:s#,s:i,s:K}", "pid", static_cast<unsigned long>(owner.pid),
                                              "name", owner.name.data(), static_cast<Py_ssize_t>(owner.name.size()),
                                              "cmd", owner.cmd.data(), static_cast<Py_ssize_t>(owner.cmd.size()),
                                              "fd", owner.held.fd, "socket_id",
                                              static_cast<unsigned long long>(owner.held.socket_id)));
    return dict;
}

OwnedRef optional_owner(const std::optional<PortOwner>& owner) {
    return owner ? owner_dict(*owner) : OwnedRef::borrow(Py_None);
}

// find_owners(port, listening_only): every holder, as dicts, in search order.
OwnedRef find_owners_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"find_owners", {"port", "listening_only"}, 2, 2};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    bool listening_only = convert_argument("listening_only", [&] { return to_flag(bound[1]); });
    PortOwners owners = without_interpreter_lock([&] { return find_owners(port, listening_only); });
    OwnedRef list = require_new(PyList_New(0));
    for (const PortOwner& owner : owners) {
        if (PyList_Append(list.get(), owner_dict(owner).get()) != 0) throw fetch_error();
    }
    return list;
}

// find_first_listener(port): the owner get_info reports, with its socket.
OwnedRef find_first_listener_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"find_first_listener", {"port"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    return optional_owner(without_interpreter_lock([&] { return find_first_listener(port); }));
}

// find_first_listeners(ports): the owners scan reports, parallel to `ports`, from one pass.
OwnedRef find_first_listeners_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"find_first_listeners", {"ports"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::vector<std::uint16_t> ports = convert_argument("ports", [&] { return to_port_list(bound[0]); });
    std::vector<std::optional<PortOwner>> owners =
        without_interpreter_lock([&] { return find_first_listeners(ports); });
    OwnedRef list = require_new(PyList_New(0));
    for (const std::optional<PortOwner>& owner : owners) {
        if (PyList_Append(list.get(), optional_owner(owner).get()) != 0) throw fetch_error();
    }
    return list;
}

// native_failure(message): fails inside a call as the core does when an invariant breaks.
OwnedRef native_failure_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"native_failure", {"message"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    const char* message = PyUnicode_Check(bound[0]) ? PyUnicode_AsUTF8AndSize(bound[0], nullptr) : nullptr;
    if (message == nullptr) throw type_mismatch(bound[0], "str");
    throw NativeFailure(message);
}

// native_failure_unlocked(message): the same, raised while the lock is released.
OwnedRef native_failure_unlocked_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"native_failure_unlocked", {"message"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    const char* message = PyUnicode_Check(bound[0]) ? PyUnicode_AsUTF8AndSize(bound[0], nullptr) : nullptr;
    if (message == nullptr) throw type_mismatch(bound[0], "str");
    std::string text = message;
    without_interpreter_lock([&]() -> int { throw NativeFailure(text); });
    return OwnedRef::borrow(Py_None);
}

// to_port(port): the port conversion alone, through this module's boundary.
OwnedRef to_port_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"to_port", {"port"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    return require_new(PyLong_FromLong(port));
}

// An int argument within [low, high]; hooks take raw values, checked only enough to stay defined.
long long int_argument(PyObject* object, long long low, long long high) {
    if (!PyLong_Check(object)) throw type_mismatch(object, "int");
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) throw fetch_error();
    if (value < low || value > high) throw CallError::deferred(PyExc_OverflowError, "argument out of range");
    return value;
}

// One byte to the descriptor, by which a test follows a thread that never returns.
void mark(int fd, char what) noexcept {
    if (::write(fd, &what, 1) != 1) std::abort();
}

void end_this_thread(void* fd) {
    mark(*static_cast<int*>(fd), 'e');
    ::pthread_exit(nullptr);
}

void report_parked(void* fd) { mark(*static_cast<int*>(fd), 'p'); }

struct UnwoundMark {
    int fd;
    ~UnwoundMark() { mark(fd, 'w'); }
};

// end_thread_in_fence(fd): ends the calling thread with pthread_exit, with
// the lock released, inside the fence that the lock's take-back runs in and
// below a catch-all clause and a destructor of ours. Writes to fd 'e' as it
// ends the thread, 'p' when the thread parks, 'c' if the end reaches the
// catch clause and 'w' if it reaches the destructor. Never returns.
OwnedRef end_thread_in_fence_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"end_thread_in_fence", {"fd"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    int fd = static_cast<int>(int_argument(bound[0], 0, INT_MAX));
    without_interpreter_lock([&] {
        UnwoundMark unwound{fd};
        try {
            run_or_park_if_ended(end_this_thread, &fd, report_parked);
        } catch (...) {
            mark(fd, 'c');
            throw;
        }
    });
    return OwnedRef::borrow(Py_None);
}

const char* signal_result_name(platform::SignalResult result) {
    switch (result) {
        case platform::SignalResult::delivered:
            return "delivered";
        case platform::SignalResult::gone:
            return "gone";
        case platform::SignalResult::refused:
            return "refused";
        case platform::SignalResult::failed:
            break;
    }
    return "failed";
}

// One field of a holder record as find_owners gives it.
PyObject* holder_field(PyObject* holder, const char* key) {
    PyObject* value = PyDict_GetItemString(holder, key);
    if (value == nullptr) throw CallError::deferred(PyExc_KeyError, key);
    return value;
}

// signal_holder(holder, signal): one holder, a dict with the "pid", "fd" and
// "socket_id" of a find_owners record, signalled as kill does it; the outcome
// as "delivered", "gone", "refused" or "failed".
OwnedRef signal_holder_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"signal_holder", {"holder", "signal"}, 2, 2};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    if (!PyDict_Check(bound[0])) throw type_mismatch(bound[0], "dict");
    auto pid = static_cast<pid_t>(int_argument(holder_field(bound[0], "pid"), INT_MIN, INT_MAX));
    auto fd = static_cast<int>(int_argument(holder_field(bound[0], "fd"), INT_MIN, INT_MAX));
    auto socket_id = static_cast<std::uint64_t>(int_argument(holder_field(bound[0], "socket_id"), 0, LLONG_MAX));
    auto signal = static_cast<int>(int_argument(bound[1], 0, INT_MAX));
    platform::SignalResult result = without_interpreter_lock([&] {
        if (pid <= 0) return platform::SignalResult::failed;
        platform::PinnedProcess process =
            platform::PinnedProcess::pin({static_cast<platform::Pid>(pid), 0, fd, socket_id});
        return process.valid() ? process.signal(signal) : process.state();
    });
    return require_new(PyUnicode_FromString(signal_result_name(result)));
}

// free_port(port, force): kill's search, signalling and wait, without the
// first probe; the outcome as "freed", "permission_denied" or "not_freed".
OwnedRef free_port_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"free_port", {"port", "force"}, 2, 2};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    bool force = convert_argument("force", [&] { return to_flag(bound[1]); });
    if (port == 0) throw CallError::deferred(PyExc_ValueError, "port 0 is never freed");
    KillOutcome outcome = without_interpreter_lock([&] { return free_port(port, force); });
    const char* name = outcome == KillOutcome::freed              ? "freed"
                       : outcome == KillOutcome::permission_denied ? "permission_denied"
                                                                   : "not_freed";
    return require_new(PyUnicode_FromString(name));
}

// holders_during_own_trial(port): the pids kill's search finds for `port`
// while this process has a trial listener open on it.
OwnedRef holders_during_own_trial_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"holders_during_own_trial", {"port"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    std::vector<std::uint32_t> pids = without_interpreter_lock([port] {
        auto trial = open_listener(port);
        std::vector<std::uint32_t> found;
        if (std::holds_alternative<TrialListener>(trial)) {
            for (const PortOwner& owner : find_holders(port)) found.push_back(owner.pid);
        }
        return found;
    });
    OwnedRef list = require_new(PyList_New(0));
    for (std::uint32_t pid : pids) {
        OwnedRef number = require_new(PyLong_FromUnsignedLong(pid));
        if (PyList_Append(list.get(), number.get()) != 0) throw fetch_error();
    }
    return list;
}

// listed_socket_ids(port): the ids of the sockets of every kind on `port`
// as one read of the system's socket tables lists them.
OwnedRef listed_socket_ids_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"listed_socket_ids", {"port"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    std::vector<std::uint64_t> ids = without_interpreter_lock([port] {
        SocketFilter filter;
        filter.add_ports(std::vector<std::uint16_t>{port});
        filter.tcp_states = all_states;
        filter.udp_states = all_states;
        platform::ProcessQueries queries(filter);
        std::vector<std::uint64_t> found;
        for (const SocketInfo& socket : queries.listed_sockets()) found.push_back(socket.id);
        return found;
    });
    OwnedRef list = require_new(PyList_New(0));
    for (std::uint64_t id : ids) {
        OwnedRef number = require_new(PyLong_FromUnsignedLongLong(id));
        if (PyList_Append(list.get(), number.get()) != 0) throw fetch_error();
    }
    return list;
}

const char* outcome_name(const std::optional<TargetOutcome>& outcome) {
    if (!outcome) return "not signalled";
    switch (*outcome) {
        case TargetOutcome::exited:
            return "exited";
        case TargetOutcome::running:
            return "running";
        case TargetOutcome::refused:
            return "refused";
        case TargetOutcome::gone:
            return "gone";
        case TargetOutcome::failed:
            break;
    }
    return "failed";
}

// stop_between(port, all_sockets, between): a stop of `port` with SIGTERM,
// in its steps, calling `between()` after the targets were chosen and
// before they are pinned and signalled; waits up to 10 s for them. Gives
// [(pid, outcome)] of the targets.
OwnedRef stop_between_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"stop_between", {"port", "all_sockets", "between"}, 3, 3};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    StopRequest request;
    request.ports = {convert_argument("port", [&] { return to_port(bound[0]); })};
    request.all_sockets = convert_argument("all_sockets", [&] { return to_flag(bound[1]); });
    StopRun stop = without_interpreter_lock([&] { return StopRun(std::move(request)); });
    require(PyObject_CallNoArgs(bound[2]));
    without_interpreter_lock([&] {
        stop.send(SIGTERM);
        PollPlan plan;
        plan.deadline = deadline_after(monotonic_now(), 10);
        plan.pause_ns = 20'000'000;
        std::vector<pollfd> watches = stop.exit_watches();
        poll_until(plan, watches, [&] { return stop.settled(); });
        stop.finish();
        return 0;
    });
    OwnedRef list = require_new(PyList_New(0));
    for (const StopTarget& target : stop.targets()) {
        OwnedRef entry = require_new(Py_BuildValue("(ks)", static_cast<unsigned long>(target.pid),
                                                   outcome_name(target.outcome)));
        if (PyList_Append(list.get(), entry.get()) != 0) throw fetch_error();
    }
    return list;
}

template <Body hook>
constexpr PyMethodDef method(const char* name) {
    return function_record<hook>(name, nullptr);
}

PyMethodDef methods[] = {
    method<find_owners_hook>("find_owners"),
    method<find_first_listener_hook>("find_first_listener"),
    method<find_first_listeners_hook>("find_first_listeners"),
    method<native_failure_hook>("native_failure"),
    method<native_failure_unlocked_hook>("native_failure_unlocked"),
    method<to_port_hook>("to_port"),
    method<signal_holder_hook>("signal_holder"),
    method<free_port_hook>("free_port"),
    method<holders_during_own_trial_hook>("holders_during_own_trial"),
    method<listed_socket_ids_hook>("listed_socket_ids"),
    method<stop_between_hook>("stop_between"),
    method<end_thread_in_fence_hook>("end_thread_in_fence"),
    method<bodies::is_available>("is_available"),
    method<bodies::find_free>("find_free"),
    method<bodies::wait_until_free>("wait_until_free"),
    method<bodies::get_info>("get_info"),
    method<bodies::kill>("kill"),
    method<bodies::scan>("scan"),
    {nullptr, nullptr, 0, nullptr},
};

#define VELMOR_STRINGIFY_(x) #x
#define VELMOR_STRINGIFY(x) VELMOR_STRINGIFY_(x)

PyModuleDef definition = {PyModuleDef_HEAD_INIT, VELMOR_STRINGIFY(VELMOR_HOOKS_MODULE), nullptr, 0, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace velmor::hooks

#define VELMOR_INIT_(name) PyInit_##name
#define VELMOR_INIT(name) VELMOR_INIT_(name)

PyMODINIT_FUNC VELMOR_INIT(VELMOR_HOOKS_MODULE)() { return PyModuleDef_Init(&velmor::hooks::definition); }
