// sockets, free_check, probe, reserve, process_tree and pids_are_ours.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/results.hpp"
#include "core/platform/process_queries.hpp"
#include "core/ports/explanations.hpp"
#include "core/ports/port_status.hpp"
#include "core/probe/listener.hpp"
#include "core/probe/reserve.hpp"
#include "core/sockets/free_check.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec sockets_spec{"sockets", {"ports", "listening", "udp", "holders", "pids", "evidence"}, 6, 0};
constexpr FunctionSpec free_check_spec{"free_check", {"ports", "stop_at_taken"}, 2, 1};
constexpr FunctionSpec probe_spec{"probe", {"port"}, 1, 1};
constexpr FunctionSpec reserve_spec{"reserve", {}, 0, 0};
constexpr FunctionSpec process_tree_spec{"process_tree", {"pid"}, 1, 1};
constexpr FunctionSpec pids_are_ours_spec{"pids_are_ours", {}, 0, 0};
constexpr FunctionSpec statuses_spec{"statuses", {"ports"}, 1, 1};
constexpr FunctionSpec processes_spec{"processes", {"pids"}, 1, 1};
constexpr FunctionSpec process_view_spec{"process_view", {}, 0, 0};

}  // namespace

void raise_short_of_descriptors(int error, const char* doing) {
    std::string message = std::string(std::strerror(error)) + ": no descriptor left " + doing;
    OwnedRef exception = require(PyObject_CallFunction(PyExc_OSError, "is", error, message.c_str()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    throw fetch_error();
}

OwnedRef sockets(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(sockets_spec, args, nargs, kwnames);
    auto ports = convert_argument("ports", [&] { return table_arguments::optional_ports(bound[0]); });
    bool listening = convert_argument("listening", [&] { return table_arguments::flag(bound[1], "listening", true); });
    bool udp = convert_argument("udp", [&] { return table_arguments::flag(bound[2], "udp"); });
    bool holders = convert_argument("holders", [&] { return table_arguments::flag(bound[3], "holders", true); });
    auto pids = convert_argument("pids", [&] { return table_arguments::optional_pids(bound[4]); });
    bool evidence = convert_argument("evidence", [&] { return table_arguments::flag(bound[5], "evidence"); });

    TableRequest request;
    if (ports) {
        request.filter.add_ports(*ports);
    } else {
        request.filter.add_every_port();
    }
    request.filter.tcp_states = listening ? listening_states : all_states;
    if (udp) request.filter.udp_states = listening ? udp_listening_states : all_states;
    request.holders = holders;
    request.only = std::move(pids);
    SocketTable table = without_interpreter_lock([&] { return read_socket_table(request); });
    if (table.shortage != 0) raise_short_of_descriptors(table.shortage, "to read the socket tables and the processes");
    OwnedRef found = table_results::socket_list(table);
    if (!evidence) return found;
    std::vector<std::optional<ports::SocketEvidence>> told = without_interpreter_lock([&] { return ports::evidence_of(table); });
    OwnedRef unreadable = table_results::process_list(table.unreadable);
    OwnedRef per_socket = table_results::evidence_list(told);
    return require_new(PyTuple_Pack(3, found.get(), unreadable.get(), per_socket.get()));
}

// Each port's state, with its explanation and notes, from one read of the
// socket tables and one walk.
OwnedRef statuses(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(statuses_spec, args, nargs, kwnames);
    std::vector<std::uint16_t> ports = convert_argument("ports", [&] { return table_arguments::ports(bound[0]); });
    if (ports.empty()) return table_results::status_list({}, SocketTable{});
    std::vector<ports::ExplainedStatus> made;
    ports::PortsReading reading = without_interpreter_lock([&] {
        ports::PortsReading read = ports::read_port_statuses(ports);
        if (read.table.shortage == 0) made = ports::explained(std::move(read.statuses), read.table);
        return read;
    });
    if (reading.table.shortage != 0) raise_short_of_descriptors(reading.table.shortage, "to read the socket tables and the processes");
    return table_results::status_list(made, reading.table);
}

// Whether each port is free: from the listening table and trial binds,
// and for the ports they leave undecided from their sockets.
OwnedRef free_check(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(free_check_spec, args, nargs, kwnames);
    std::vector<std::uint16_t> ports = convert_argument("ports", [&] { return table_arguments::ports(bound[0]); });
    bool stop_at_taken = convert_argument("stop_at_taken", [&] { return table_arguments::flag(bound[1], "stop_at_taken"); });
    FreeCheck check = without_interpreter_lock([&] { return check_free(FreeRequest{ports, stop_at_taken, true}); });
    if (check.shortage != 0) raise_short_of_descriptors(check.shortage, "to read the socket tables");
    return table_results::verdict_list(check.verdicts);
}

OwnedRef probe(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(probe_spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return table_arguments::port(bound[0]); });
    return require_new(PyLong_FromLong(probe_error(port)));
}

OwnedRef reserve(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(reserve_spec, args, nargs, kwnames);
    std::variant<std::uint16_t, int> reserved = reserve_port();
    if (auto* error = std::get_if<int>(&reserved)) {
        throw CallError::deferred(PyExc_OSError, std::string("Could not reserve a port: ") + std::strerror(*error));
    }
    return require_new(PyLong_FromLong(std::get<std::uint16_t>(reserved)));
}

OwnedRef process_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(process_tree_spec, args, nargs, kwnames);
    platform::Pid root = convert_argument("pid", [&] { return table_arguments::pid(bound[0]); });
    int shortage = 0;
    std::vector<platform::Pid> tree = without_interpreter_lock([&] { return platform::process_tree(root, &shortage); });
    if (shortage != 0) raise_short_of_descriptors(shortage, "to read the processes");
    return table_results::pid_list(tree);
}

// Whether the pids the process listing gives are those of this process's
// pid namespace (see platform::pids_are_ours): without that, no pid found
// there may be signalled or waited for.
OwnedRef pids_are_ours(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(pids_are_ours_spec, args, nargs, kwnames);
    return OwnedRef::borrow(platform::pids_are_ours() ? Py_True : Py_False);
}

}  // namespace velmor::table_bodies

namespace velmor::table_bodies {

OwnedRef processes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(processes_spec, args, nargs, kwnames);
    std::vector<platform::Pid> pids = convert_argument("pids", [&] { return table_arguments::pids(bound[0]); });
    auto found = without_interpreter_lock([&] { return process_details(pids); });
    return table_results::details_list(found);
}

OwnedRef process_view(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bind_arguments(process_view_spec, args, nargs, kwnames);
    platform::ProcessView view = without_interpreter_lock([] { return platform::process_view(); });
    return table_results::view_name(view);
}

}  // namespace velmor::table_bodies
