// A test-only module over the native core: the socket table's reads as the
// module functions make them, and kill's signalling and wait, run directly, and ways into the call guard's failure
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
#include "core/sockets/socket_table.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/system/printable.hpp"
#include "core/terminate/stop_port_holders.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::hooks {
namespace {

// A text as the system gave it, undecodable bytes kept as surrogates.
OwnedRef system_text(const std::string& value) {
    return require_new(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape"));
}

// One holder of a port: the process, and where it was found holding the
// port first (the socket by which kill pins it).
OwnedRef holder_record(const TableProcess& process, const platform::HeldSocket& held) {
    OwnedRef dict = require_new(PyDict_New());
    auto set = [&](const char* key, OwnedRef value) {
        if (PyDict_SetItemString(dict.get(), key, value.get()) != 0) throw fetch_error();
    };
    set("pid", require_new(PyLong_FromUnsignedLong(process.pid)));
    set("name", system_text(process.name));
    set("cmd", system_text(process.command));
    set("fd", require_new(PyLong_FromLong(held.fd)));
    set("socket_id", require_new(PyLong_FromUnsignedLongLong(held.socket_id)));
    return dict;
}

void append(const OwnedRef& list, const OwnedRef& item) {
    if (PyList_Append(list.get(), item.get()) != 0) throw fetch_error();
}

// holders(port, listening_only, first_named): the holders of `port` from one
// read of the socket table in the walk's order, as records: with
// `listening_only`, of TCP listeners only (the sockets get_info looks at),
// otherwise of every socket kill looks at; with `first_named`, only the
// first holder that has a name, as get_info reports it, otherwise every
// holder.
OwnedRef holders_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"holders", {"port", "listening_only", "first_named"}, 3, 3};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    bool listening_only = convert_argument("listening_only", [&] { return to_flag(bound[1]); });
    bool first_named = convert_argument("first_named", [&] { return to_flag(bound[2]); });
    const std::uint16_t wanted[] = {port};
    TableRequest request = owner_lookup(wanted);
    if (!listening_only) {
        request.filter.tcp_states = held_states;
        request.filter.udp_states = held_states;
        request.filter.other = true;
    }
    if (!first_named) request.pick = HolderPick::every;
    SocketTable table = without_interpreter_lock([&] { return read_socket_table(request); });
    OwnedRef list = require_new(PyList_New(0));
    for (const PortHolder& holder : holders_of(table, port)) {
        append(list, holder_record(table.processes[holder.process], holder.held.front()));
    }
    return list;
}

// first_owners(ports): the owners scan reports, parallel to `ports`, as
// records or None, from one read of the tables and one walk (no probe).
OwnedRef first_owners_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"first_owners", {"ports"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::vector<std::uint16_t> ports = convert_argument("ports", [&] { return to_port_list(bound[0]); });
    SocketTable table = without_interpreter_lock([&] {
        std::vector<bool> sought = may_have_owner(ports);
        std::vector<std::uint16_t> busy;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            if (sought[i]) busy.push_back(ports[i]);
        }
        return busy.empty() ? SocketTable{} : read_socket_table(owner_lookup(busy));
    });
    OwnedRef list = require_new(PyList_New(0));
    for (std::uint16_t port : ports) {
        std::vector<PortHolder> holders = holders_of(table, port);
        append(list, holders.empty() ? OwnedRef::borrow(Py_None)
                                                       : holder_record(table.processes[holders.front().process],
                                                                       holders.front().held.front()));
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

// One field of a holder record as holders gives it.
PyObject* holder_field(PyObject* holder, const char* key) {
    PyObject* value = PyDict_GetItemString(holder, key);
    if (value == nullptr) throw CallError::deferred(PyExc_KeyError, key);
    return value;
}

// signal_holder(holder, signal): one holder, a dict with the "pid", "fd" and
// "socket_id" of a holders record, signalled as kill does it; the outcome
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

// stop_port_holders(port, force): kill's search, signalling and wait,
// without the first probe; the outcome as "freed", "permission_denied" or
// "not_freed".
OwnedRef stop_port_holders_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"stop_port_holders", {"port", "force"}, 2, 2};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    bool force = convert_argument("force", [&] { return to_flag(bound[1]); });
    if (port == 0) throw CallError::deferred(PyExc_ValueError, "port 0 is never freed");
    KillOutcome outcome = without_interpreter_lock([&] { return stop_port_holders(port, force); });
    const char* name = outcome == KillOutcome::freed              ? "freed"
                       : outcome == KillOutcome::permission_denied ? "permission_denied"
                                                                   : "not_freed";
    return require_new(PyUnicode_FromString(name));
}

// holders_during_own_trial(port): the pids kill's targets for `port`
// while this process has a trial listener open on it.
OwnedRef holders_during_own_trial_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"holders_during_own_trial", {"port"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    std::vector<std::uint32_t> pids = without_interpreter_lock([port] {
        auto trial = open_listener(port);
        std::vector<std::uint32_t> found;
        if (std::holds_alternative<TrialListener>(trial)) {
            for (const HeldSockets& target : port_targets(port)) found.push_back(target.front().pid);
        }
        return found;
    });
    OwnedRef list = require_new(PyList_New(0));
    for (std::uint32_t pid : pids) append(list, require_new(PyLong_FromUnsignedLong(pid)));
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

// printable_utf8(data): the escape of bytes as the system gives them (the
// command's path), as a str.
OwnedRef printable_utf8_hook(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionSpec spec{"printable_utf8", {"data"}, 1, 1};
    BoundArguments bound = bind_arguments(spec, args, nargs, kwnames);
    if (!PyBytes_Check(bound[0])) throw type_mismatch(bound[0], "bytes");
    const std::string_view data(PyBytes_AsString(bound[0]), static_cast<std::size_t>(PyBytes_Size(bound[0])));
    const std::string escaped = text::printable(data);
    return require_new(PyUnicode_DecodeUTF8(escaped.data(), static_cast<Py_ssize_t>(escaped.size()), "strict"));
}

template <Body hook>
constexpr PyMethodDef method(const char* name) {
    return function_record<hook>(name, nullptr);
}

PyMethodDef methods[] = {
    method<holders_hook>("holders"),
    method<first_owners_hook>("first_owners"),
    method<native_failure_hook>("native_failure"),
    method<native_failure_unlocked_hook>("native_failure_unlocked"),
    method<to_port_hook>("to_port"),
    method<signal_holder_hook>("signal_holder"),
    method<stop_port_holders_hook>("stop_port_holders"),
    method<holders_during_own_trial_hook>("holders_during_own_trial"),
    method<listed_socket_ids_hook>("listed_socket_ids"),
    method<stop_between_hook>("stop_between"),
    method<end_thread_in_fence_hook>("end_thread_in_fence"),
    method<printable_utf8_hook>("printable_utf8"),
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
