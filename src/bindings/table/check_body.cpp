// checked: the package's own parameters, checked by the very rules the
// native functions convert theirs with, so that each rule (the port range,
// what a pid is, seconds, flags) is written once, here in the face.

#include <optional>
#include <string>
#include <string_view>

#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "bindings/table/results.hpp"

namespace velmor::table_bodies {
namespace {

OwnedRef none() { return OwnedRef::borrow(Py_None); }
OwnedRef integer(long long value) { return require_new(PyLong_FromLongLong(value)); }
OwnedRef real(double value) { return require_new(PyFloat_FromDouble(value)); }
OwnedRef truth(bool value) { return OwnedRef::borrow(value ? Py_True : Py_False); }

OwnedRef port(PyObject* value, std::string_view name) { return integer(table_arguments::port(value, name)); }

OwnedRef ports(PyObject* value, std::string_view name) {
    auto ports = table_arguments::optional_ports(value, name);
    return ports ? table_results::port_list(*ports) : none();
}

OwnedRef optional_pid(PyObject* value, std::string_view name) {
    return value == Py_None ? none() : integer(table_arguments::pid(value, name));
}

OwnedRef pids(PyObject* value, std::string_view name) {
    auto pids = table_arguments::optional_pids(value, name);
    return pids ? table_results::pid_list(*pids) : none();
}

// A wait's or a stop's limit: infinity waits for ever.
OwnedRef timeout(PyObject* value, std::string_view name) { return real(table_arguments::seconds(value, name, false)); }

// A delay before a second signal, or any of the command's durations: None,
// or a finite number of seconds.
OwnedRef delay(PyObject* value, std::string_view name) {
    return value == Py_None ? none() : real(table_arguments::seconds(value, name, true));
}

OwnedRef flag(PyObject* value, std::string_view name) { return truth(table_arguments::flag(value, name)); }

struct Rule {
    std::string_view parameter;
    OwnedRef (*check)(PyObject* value, std::string_view name);
};

// The parameters of the package's functions, by name; the same name means
// the same rule wherever it appears.
constexpr Rule rules[] = {
    {"port", port},       {"ports", ports},      {"pid", optional_pid}, {"pids", pids},
    {"timeout", timeout}, {"kill_after", delay}, {"duration", delay},   {"udp", flag},
    {"all_sockets", flag}, {"force", flag},      {"dry_run", flag},     {"listening", flag},
    {"holders", flag},
};

const Rule* rule_for(std::string_view parameter) {
    for (const Rule& rule : rules) {
        if (rule.parameter == parameter) return &rule;
    }
    return nullptr;
}

}  // namespace

// checked(**arguments): the arguments, each checked and converted by the
// rule of its name (a port list without repeats, seconds as a float), as a
// tuple in the order given.
OwnedRef checked(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) throw CallError::deferred(PyExc_TypeError, "checked() takes keyword arguments only");
    Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (count < 0) throw fetch_error();
    OwnedRef result = require_new(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::optional<std::string> name = utf8_text(PyTuple_GetItem(kwnames, i));
        const Rule* rule = name ? rule_for(*name) : nullptr;
        if (rule == nullptr) {
            throw CallError::deferred(PyExc_TypeError,
                                      "checked() got an unexpected keyword argument '" + name.value_or("?") + "'");
        }
        OwnedRef value = convert_argument(rule->parameter, [&] { return rule->check(args[i], rule->parameter); });
        if (PyTuple_SetItem(result.get(), i, value.release()) != 0) throw fetch_error();
    }
    return result;
}

}  // namespace velmor::table_bodies
