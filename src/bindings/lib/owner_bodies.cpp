// get_info and scan.

#include <algorithm>
#include <vector>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/conversions.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/lib/bodies.hpp"
#include "core/probe/listener.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor::bodies {
namespace {

constexpr FunctionSpec get_info_spec{"get_info", {"port"}, 1, 1};
constexpr FunctionSpec scan_spec{"scan", {"ports"}, 1, 1};

OwnedRef text(const std::string& value) {
    return require_new(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

void set_item(PyObject* dict, const char* key, const OwnedRef& value) {
    if (PyDict_SetItemString(dict, key, value.get()) != 0) throw fetch_error();
}

OwnedRef info_dict(const TableProcess* owner) {
    if (owner == nullptr) return OwnedRef::borrow(Py_None);
    OwnedRef dict = require_new(PyDict_New());
    set_item(dict.get(), "pid", require_new(PyLong_FromUnsignedLong(owner->pid)));
    set_item(dict.get(), "name", text(owner->name));
    set_item(dict.get(), "cmd", text(owner->command));
    return dict;
}

// A port is looked up only when it is not 0 and the probe finds it taken.
bool worth_searching(std::uint16_t port) { return port != 0 && !probe_port(port); }

}  // namespace

OwnedRef get_info(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(get_info_spec, args, nargs, kwnames);
    std::uint16_t port = convert_argument("port", [&] { return to_port(bound[0]); });
    if (!worth_searching(port)) return OwnedRef::borrow(Py_None);
    const std::uint16_t wanted[] = {port};
    SocketTable table = without_interpreter_lock([&] { return read_socket_table(owner_lookup(wanted)); });
    return info_dict(owner_in(table, port));
}

OwnedRef scan(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(scan_spec, args, nargs, kwnames);
    std::vector<std::uint16_t> ports = convert_argument("ports", [&] { return to_port_list(bound[0]); });

    // A port on which no TCP socket listens has no owner to report, probe or
    // not: the socket tables are read first, with the lock released, and
    // only ports with a listener are probed (with the lock held) and
    // searched, in a single walk with the lock released.
    std::vector<bool> searched(ports.size());
    std::vector<std::uint16_t> busy;
    if (std::any_of(ports.begin(), ports.end(), [](std::uint16_t port) { return port != 0; })) {
        std::vector<bool> listened = without_interpreter_lock([&] { return may_have_owner(ports); });
        for (std::size_t i = 0; i < ports.size(); ++i) {
            searched[i] = listened[i] && worth_searching(ports[i]);
            if (searched[i]) busy.push_back(ports[i]);
        }
    }
    SocketTable owners;
    if (!busy.empty()) owners = without_interpreter_lock([&] { return read_socket_table(owner_lookup(busy)); });

    // A port listed twice keeps its later answer.
    OwnedRef result = require_new(PyDict_New());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        OwnedRef key = require_new(PyLong_FromLong(ports[i]));
        OwnedRef value = info_dict(searched[i] ? owner_in(owners, ports[i]) : nullptr);
        if (PyDict_SetItem(result.get(), key.get(), value.get()) != 0) throw fetch_error();
    }
    return result;
}

}  // namespace velmor::bodies
