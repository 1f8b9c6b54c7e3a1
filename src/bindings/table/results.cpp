#include "bindings/table/results.hpp"

#include <string>
#include <utility>

#include "bindings/boundary/failures.hpp"
#include "core/ports/explanations.hpp"
#include "core/sockets/socket_text.hpp"

namespace velmor::table_results {
namespace {

OwnedRef text(std::string_view value) {
    return require_new(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

OwnedRef number(unsigned long long value) { return require_new(PyLong_FromUnsignedLongLong(value)); }

OwnedRef none() { return OwnedRef::borrow(Py_None); }

OwnedRef flag(bool value) { return OwnedRef::borrow(value ? Py_True : Py_False); }

// Fill slot `at` of a tuple or list made here and not yet shared, which takes
// the reference over; they fail only on a slot out of range.
void put_in_tuple(PyObject* made, std::size_t at, OwnedRef item) {
    if (PyTuple_SetItem(made, static_cast<Py_ssize_t>(at), item.release()) != 0) throw fetch_error();
}

void put_in_list(PyObject* made, std::size_t at, OwnedRef item) {
    if (PyList_SetItem(made, static_cast<Py_ssize_t>(at), item.release()) != 0) throw fetch_error();
}

// A tuple that takes over the given references.
template <class... Items>
OwnedRef tuple(Items&&... items) {
    OwnedRef made = require_new(PyTuple_New(sizeof...(Items)));
    std::size_t at = 0;
    (put_in_tuple(made.get(), at++, std::forward<Items>(items)), ...);
    return made;
}

// The address as ss writes it, without brackets.
OwnedRef address(Family family, const Endpoint& endpoint) { return text(address_text(family, endpoint)); }

OwnedRef optional_uid(std::optional<std::uint32_t> uid) { return uid ? number(*uid) : none(); }

OwnedRef process_tuple(const TableProcess& process) {
    return tuple(number(process.pid), text(process.name), text(process.command), optional_uid(process.uid));
}

// A socket's tuple, its holders' tuple given.
OwnedRef socket_tuple(const SocketInfo& socket, OwnedRef holders) {
    bool connected = has_remote_end(socket);
    OwnedRef v6only = socket.family == Family::ipv6 && socket.v6only ? flag(*socket.v6only) : none();
    return tuple(text(protocol_name(socket.protocol)), text(socket.family == Family::ipv4 ? "ipv4" : "ipv6"),
                 address(socket.family, socket.local), number(socket.local.port),
                 connected ? address(socket.family, socket.remote) : none(),
                 connected ? number(socket.remote.port) : none(), text(state_name(socket.protocol, socket.state)),
                 socket.uid == unknown_uid ? none() : number(socket.uid), number(socket.id), std::move(v6only),
                 std::move(holders));
}

OwnedRef socket_tuple(const TableSocket& entry, const SocketTable& table) {
    OwnedRef holders = require_new(PyTuple_New(static_cast<Py_ssize_t>(entry.holders.size())));
    for (std::size_t i = 0; i < entry.holders.size(); ++i) {
        put_in_tuple(holders.get(), i, process_tuple(table.processes[entry.holders[i].process]));
    }
    return socket_tuple(entry.socket, std::move(holders));
}

OwnedRef change_tuple(const ListenerChange& change) {
    OwnedRef holders = require_new(PyTuple_New(static_cast<Py_ssize_t>(change.holders.size())));
    for (std::size_t i = 0; i < change.holders.size(); ++i) put_in_tuple(holders.get(), i, process_tuple(change.holders[i]));
    const double seconds = static_cast<double>(change.time.tv_sec) + static_cast<double>(change.time.tv_nsec) / 1e9;
    return tuple(text(event_name(change.event)), require_new(PyFloat_FromDouble(seconds)),
                 socket_tuple(change.socket, std::move(holders)), flag(change.holders_read));
}

const char* port_state_name(ports::PortState state) {
    switch (state) {
        case ports::PortState::free:
            return "free";
        case ports::PortState::listening:
            return "listening";
        case ports::PortState::busy:
            break;
    }
    return "busy";
}

OwnedRef reason_name(ports::BusyReason reason) {
    switch (reason) {
        case ports::BusyReason::none:
            return none();
        case ports::BusyReason::time_wait:
            return text("time-wait");
        case ports::BusyReason::closing:
            return text("closing");
        case ports::BusyReason::connection:
            return text("connection");
        case ports::BusyReason::hidden_owner:
            return text("hidden-owner");
        case ports::BusyReason::unknown:
            break;
    }
    return text("unknown");
}

OwnedRef hidden_name(ports::Hidden hidden) {
    switch (hidden) {
        case ports::Hidden::none:
            return none();
        case ports::Hidden::unreadable:
            return text("unreadable");
        case ports::Hidden::no_process:
            return text("no-process");
        case ports::Hidden::other_pid_namespace:
            break;
    }
    return text("other-pid-namespace");
}

OwnedRef optional_text(const std::optional<std::string>& value) { return value ? text(*value) : none(); }

OwnedRef status_tuple(const ports::ExplainedStatus& entry, const SocketTable& table) {
    const ports::PortStatus& status = entry.status;
    OwnedRef sockets = require_new(PyTuple_New(static_cast<Py_ssize_t>(status.sockets.size())));
    for (std::size_t i = 0; i < status.sockets.size(); ++i) {
        put_in_tuple(sockets.get(), i, socket_tuple(table.sockets[status.sockets[i]], table));
    }
    OwnedRef candidates = require_new(PyTuple_New(static_cast<Py_ssize_t>(status.candidates.size())));
    for (std::size_t i = 0; i < status.candidates.size(); ++i) {
        put_in_tuple(candidates.get(), i, process_tuple(status.candidates[i]));
    }
    OwnedRef holders = require_new(PyTuple_New(static_cast<Py_ssize_t>(status.holders.size())));
    for (std::size_t i = 0; i < status.holders.size(); ++i) {
        put_in_tuple(holders.get(), i, process_tuple(table.processes[status.holders[i]]));
    }
    OwnedRef owner = status.owner ? process_tuple(table.processes[*status.owner]) : none();
    OwnedRef texts = tuple(text(entry.line), optional_text(entry.closing), optional_text(entry.udp),
                           optional_text(entry.unseen_listener), text(entry.candidates));
    return tuple(number(status.port), text(port_state_name(status.state)), reason_name(status.reason), std::move(owner),
                 std::move(sockets), require_new(PyLong_FromLong(status.probe_error)), hidden_name(status.hidden),
                 std::move(candidates), std::move(texts), std::move(holders));
}

OwnedRef port_tuple(const std::vector<std::uint16_t>& ports) {
    OwnedRef made = require_new(PyTuple_New(static_cast<Py_ssize_t>(ports.size())));
    for (std::size_t k = 0; k < ports.size(); ++k) put_in_tuple(made.get(), k, number(ports[k]));
    return made;
}

OwnedRef signalled_tuple(const ports::Signalled& entry, const StopTarget& target) {
    return tuple(number(target.pid), text(target.name), text(target.command), port_tuple(target.ports),
                 optional_text(ports::signal_name(entry.signal)), text(ports::outcome_name(entry.outcome)));
}

}  // namespace

OwnedRef stop_result_list(const std::vector<ports::PortStopResult>& results, const std::vector<StopTarget>& targets) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
        const ports::PortStopResult& result = results[i];
        OwnedRef processes = require_new(PyTuple_New(static_cast<Py_ssize_t>(result.processes.size())));
        for (std::size_t k = 0; k < result.processes.size(); ++k) {
            put_in_tuple(processes.get(), k, signalled_tuple(result.processes[k], targets[result.processes[k].target]));
        }
        put_in_list(list.get(), i, tuple(text(ports::result_name(result.result)), optional_text(result.error), std::move(processes)));
    }
    return list;
}

OwnedRef socket_list(const SocketTable& table) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(table.sockets.size())));
    for (std::size_t i = 0; i < table.sockets.size(); ++i) {
        put_in_list(list.get(), i, socket_tuple(table.sockets[i], table));
    }
    return list;
}

OwnedRef change_list(const std::vector<ListenerChange>& changes) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(changes.size())));
    for (std::size_t i = 0; i < changes.size(); ++i) put_in_list(list.get(), i, change_tuple(changes[i]));
    return list;
}

OwnedRef process_list(const std::vector<TableProcess>& processes) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(processes.size())));
    for (std::size_t i = 0; i < processes.size(); ++i) {
        put_in_list(list.get(), i, process_tuple(processes[i]));
    }
    return list;
}

OwnedRef details_list(const std::vector<std::optional<ProcessDetails>>& details) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(details.size())));
    for (std::size_t i = 0; i < details.size(); ++i) {
        OwnedRef item = none();
        if (const auto& found = details[i]) {
            const TableProcess& process = found->process;
            item = tuple(number(process.pid), found->parent ? number(*found->parent) : none(), text(process.name),
                         text(process.command), optional_uid(process.uid), flag(found->descriptors_readable));
        }
        put_in_list(list.get(), i, std::move(item));
    }
    return list;
}

OwnedRef verdict_list(const std::vector<FreeVerdict>& verdicts) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(verdicts.size())));
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        OwnedRef item = verdicts[i] == FreeVerdict::undecided ? none() : flag(verdicts[i] == FreeVerdict::free);
        put_in_list(list.get(), i, std::move(item));
    }
    return list;
}

OwnedRef status_list(const std::vector<ports::ExplainedStatus>& statuses, const SocketTable& table) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(statuses.size())));
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        put_in_list(list.get(), i, status_tuple(statuses[i], table));
    }
    return list;
}

OwnedRef evidence_list(const std::vector<std::optional<ports::SocketEvidence>>& told) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(told.size())));
    for (std::size_t i = 0; i < told.size(); ++i) {
        OwnedRef item = none();
        if (const auto& entry = told[i]) {
            item = tuple(hidden_name(entry->evidence.hidden), process_list(entry->evidence.candidates), text(entry->candidates));
        }
        put_in_list(list.get(), i, std::move(item));
    }
    return list;
}

OwnedRef view_name(platform::ProcessView view) {
    const char* name = view == platform::ProcessView::every           ? "every"
                       : view == platform::ProcessView::own_namespace ? "own-namespace"
                                                                      : "foreign";
    return text(name);
}

OwnedRef pid_list(const std::vector<platform::Pid>& pids) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(pids.size())));
    for (std::size_t i = 0; i < pids.size(); ++i) {
        put_in_list(list.get(), i, number(pids[i]));
    }
    return list;
}

OwnedRef port_list(const std::vector<std::uint16_t>& ports) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(ports.size())));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        put_in_list(list.get(), i, number(ports[i]));
    }
    return list;
}

}  // namespace velmor::table_results
