#include "bindings/table/results.hpp"

#include <string>
#include <utility>

#include "bindings/boundary/failures.hpp"
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

OwnedRef socket_tuple(const TableSocket& entry, const SocketTable& table) {
    const SocketInfo& socket = entry.socket;
    OwnedRef holders = require_new(PyTuple_New(static_cast<Py_ssize_t>(entry.holders.size())));
    for (std::size_t i = 0; i < entry.holders.size(); ++i) {
        put_in_tuple(holders.get(), i, process_tuple(table.processes[entry.holders[i].process]));
    }
    bool connected = has_remote_end(socket);
    OwnedRef v6only = socket.family == Family::ipv6 && socket.v6only ? flag(*socket.v6only) : none();
    return tuple(text(protocol_name(socket.protocol)), text(socket.family == Family::ipv4 ? "ipv4" : "ipv6"),
                 address(socket.family, socket.local), number(socket.local.port),
                 connected ? address(socket.family, socket.remote) : none(),
                 connected ? number(socket.remote.port) : none(), text(state_name(socket.protocol, socket.state)),
                 socket.uid == unknown_uid ? none() : number(socket.uid), number(socket.id), std::move(v6only),
                 std::move(holders));
}

const char* outcome_name(TargetOutcome outcome) {
    switch (outcome) {
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

}  // namespace

OwnedRef socket_list(const SocketTable& table) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(table.sockets.size())));
    for (std::size_t i = 0; i < table.sockets.size(); ++i) {
        put_in_list(list.get(), i, socket_tuple(table.sockets[i], table));
    }
    return list;
}

OwnedRef target_list(const std::vector<StopTarget>& targets) {
    OwnedRef list = require_new(PyList_New(static_cast<Py_ssize_t>(targets.size())));
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const StopTarget& target = targets[i];
        OwnedRef ports = require_new(PyTuple_New(static_cast<Py_ssize_t>(target.ports.size())));
        for (std::size_t k = 0; k < target.ports.size(); ++k) {
            put_in_tuple(ports.get(), k, number(target.ports[k]));
        }
        OwnedRef outcome = target.skipped ? text("skipped") : target.outcome ? text(outcome_name(*target.outcome)) : none();
        OwnedRef item = tuple(number(target.pid), text(target.name), text(target.command), std::move(ports),
                              flag(target.skipped), number(static_cast<unsigned long long>(target.signal)),
                              std::move(outcome), target.parent ? number(*target.parent) : none());
        put_in_list(list.get(), i, std::move(item));
    }
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

OwnedRef ports_state(const PortsState& state) {
    OwnedRef errors = require_new(PyList_New(static_cast<Py_ssize_t>(state.probe_errors.size())));
    for (std::size_t i = 0; i < state.probe_errors.size(); ++i) {
        put_in_list(errors.get(), i, require_new(PyLong_FromLong(state.probe_errors[i])));
    }
    return tuple(socket_list(state.table), std::move(errors), flag(state.lasting));
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
