#include "bindings/table/arguments.hpp"

#include <cmath>
#include <limits>
#include <string>

namespace velmor::table_arguments {
namespace {

CallError value_error(const std::string& message) { return CallError::deferred(PyExc_ValueError, message); }

long long integer(PyObject* object) {
    long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) throw fetch_error();
    return value;
}

// Each item of a sequence (not a str), read by iteration.
template <class Convert>
auto each_item(PyObject* object, Convert&& convert) {
    std::vector<decltype(convert(object))> items;
    if (PyUnicode_Check(object) || !PySequence_Check(object)) throw type_mismatch(object, "Sequence");
    OwnedRef iterator = require(PyObject_GetIter(object));
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) items.push_back(convert(item.get()));
    if (PyErr_Occurred()) throw fetch_error();
    return items;
}

}  // namespace

std::uint16_t port(PyObject* object) {
    long long value = integer(object);
    if (value < 1 || value > 65535) throw value_error("port " + std::to_string(value) + " is not in 1-65535");
    return static_cast<std::uint16_t>(value);
}

std::vector<std::uint16_t> ports(PyObject* object) { return each_item(object, port); }

std::optional<std::vector<std::uint16_t>> optional_ports(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return ports(object);
}

std::int64_t seconds(PyObject* object, std::int64_t absent) {
    if (object == nullptr) return absent;
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw fetch_error();
    if (std::isnan(value) || value < 0) throw value_error("seconds must be 0 or more");
    constexpr double most = static_cast<double>(std::numeric_limits<std::int64_t>::max()) / 1e9;
    if (value >= most) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value * 1e9);
}

std::optional<std::int64_t> optional_seconds(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return seconds(object, 0);
}

platform::Pid pid(PyObject* object) {
    long long value = integer(object);
    if (value < 1 || value > std::numeric_limits<std::int32_t>::max()) {
        throw value_error("process id " + std::to_string(value) + " is out of range");
    }
    return static_cast<platform::Pid>(value);
}

std::optional<std::vector<platform::Pid>> optional_pids(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return each_item(object, pid);
}

int signal_number(PyObject* object, int absent) {
    if (object == nullptr) return absent;
    long long value = integer(object);
    if (value < 1 || value > 64) throw value_error("signal " + std::to_string(value) + " is out of range");
    return static_cast<int>(value);
}

}  // namespace velmor::table_arguments
