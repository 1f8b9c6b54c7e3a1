// user_name and describe: the engine's texts on a process for the
// package's own lines, each name escaped once, here.

#include <string>
#include <string_view>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "core/ports/explanations.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec user_name_spec{"user_name", {"uid"}, 1, 1};
constexpr FunctionSpec describe_spec{"describe", {"pid", "name"}, 2, 2};

OwnedRef text(std::string_view value) {
    return require_new(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

// A user id: an int (not a bool) from 0 to 2**32 - 2 (the last is no user).
std::uint32_t uid(PyObject* object) {
    if (PyBool_Check(object) || !PyLong_Check(object)) {
        throw CallError::deferred(PyExc_TypeError, "uid must be an int");
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        throw CallError::deferred(PyExc_ValueError, "uid must be from 0 to 4294967294");
    }
    if (value >= unknown_uid) throw CallError::deferred(PyExc_ValueError, "uid must be from 0 to 4294967294");
    return static_cast<std::uint32_t>(value);
}

// A str, as UTF-8 (a lone surrogate, which no name from the system holds, reads as "?").
std::string name(PyObject* object) {
    if (!PyUnicode_Check(object)) throw CallError::deferred(PyExc_TypeError, "name must be a str");
    OwnedRef encoded = require_new(PyUnicode_AsEncodedString(object, "utf-8", "replace"));
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) != 0) throw fetch_error();
    return std::string(bytes, static_cast<std::size_t>(size));
}

TableProcess process(PyObject* const* given) {
    TableProcess made;
    made.pid = convert_argument("pid", [&] { return table_arguments::pid(given[0]); });
    made.name = convert_argument("name", [&] { return name(given[1]); });
    return made;
}

}  // namespace

OwnedRef user_name(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(user_name_spec, args, nargs, kwnames);
    const std::uint32_t user = convert_argument("uid", [&] { return uid(bound[0]); });
    std::optional<std::string> found = without_interpreter_lock([&] { return ports::user_name(user); });
    return found ? text(*found) : OwnedRef::borrow(Py_None);
}

OwnedRef describe(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(describe_spec, args, nargs, kwnames);
    return text(ports::describe(process(bound.data())));
}

}  // namespace velmor::table_bodies
