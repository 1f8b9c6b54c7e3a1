#include "bindings/table/arguments.hpp"

#include <bitset>
#include <cmath>
#include <limits>
#include <string>

namespace velmor::table_arguments {
namespace {

constexpr long long lowest_port = 1;
constexpr long long highest_port = 65535;
constexpr long long lowest_pid = 1;
constexpr long long highest_pid = std::numeric_limits<std::int32_t>::max();

CallError type_error(std::string message) { return CallError::deferred(PyExc_TypeError, std::move(message)); }
CallError value_error(std::string message) { return CallError::deferred(PyExc_ValueError, std::move(message)); }

// "{name} must be {wanted}, not {type}".
CallError wrong_type(std::string_view name, std::string_view wanted, PyObject* object) {
    return type_error(std::string(name) + " must be " + std::string(wanted) + ", not " + type_qualname(object));
}

// How an integer is named in messages: as the parameter itself ("port
// 0 is out of range"), or as an item of a parameter that holds several
// ("ports: port 0 is out of range").
struct Naming {
    std::string_view parameter;
    std::string_view item;
    bool in_sequence = false;
};

// An int (or an object with __index__), never a bool, from `low` to `high`.
long long integer_in(PyObject* object, const Naming& naming, long long low, long long high) {
    std::string parameter(naming.parameter);
    if (PyBool_Check(object) || !PyIndex_Check(object)) {
        if (!naming.in_sequence) throw wrong_type(parameter, "an int", object);
        throw type_error(parameter + ": each " + std::string(naming.item) + " must be an int, not " +
                         type_qualname(object));
    }
    // An int is taken as it is; another object through its __index__.
    OwnedRef index = PyLong_Check(object) ? OwnedRef::borrow(object) : require(PyNumber_Index(object));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred()) throw fetch_error();
    if (overflow != 0 || value < low || value > high) {
        std::string named = naming.in_sequence ? parameter + ": " + std::string(naming.item) : parameter;
        throw value_error(named + " " + object_text(index.get()) + " is out of range " + std::to_string(low) + "-" +
                          std::to_string(high));
    }
    return value;
}

bool is_text(PyObject* object) {
    return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

// Calls `take` on each item of an iterable that is not a str or bytes.
template <class Take>
void for_each_item(PyObject* object, std::string_view name, std::string_view wanted, Take&& take) {
    if (is_text(object)) throw wrong_type(name, wanted, object);
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw fetch_error();
        PyErr_Clear();
        throw wrong_type(name, wanted, object);
    }
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) take(item.get());
    if (PyErr_Occurred()) throw fetch_error();
}

}  // namespace

std::uint16_t port(PyObject* object, std::string_view name) {
    return static_cast<std::uint16_t>(integer_in(object, {name, name}, lowest_port, highest_port));
}

std::vector<std::uint16_t> ports(PyObject* object, std::string_view name) {
    const Naming naming{name, "port", true};
    constexpr std::string_view wanted = "a port or an iterable of ports";
    if (PyBool_Check(object)) throw wrong_type(name, wanted, object);
    if (PyLong_Check(object)) {
        return {static_cast<std::uint16_t>(integer_in(object, naming, lowest_port, highest_port))};
    }
    std::vector<std::uint16_t> found;
    std::bitset<highest_port + 1> seen;
    for_each_item(object, name, wanted, [&](PyObject* item) {
        auto port = static_cast<std::uint16_t>(integer_in(item, naming, lowest_port, highest_port));
        if (!seen.test(port)) found.push_back(port);
        seen.set(port);
    });
    return found;
}

std::optional<std::vector<std::uint16_t>> optional_ports(PyObject* object, std::string_view name) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return ports(object, name);
}

double seconds(PyObject* object, std::string_view name, bool finite) {
    constexpr std::string_view wanted = "a number of seconds";
    if (PyBool_Check(object)) throw wrong_type(name, wanted, object);
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw wrong_type(name, wanted, object);
        }
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            throw CallError::deferred(PyExc_OverflowError, std::string(name) + " is beyond the range of seconds");
        }
        throw fetch_error();
    }
    if (std::isnan(value) || value < 0) {
        throw value_error(std::string(name) + " must be 0 or more seconds, not " + object_text(object));
    }
    if (finite && std::isinf(value)) {
        throw value_error(std::string(name) + " must be a finite number of seconds, not " + object_text(object));
    }
    return value;
}

std::int64_t nanoseconds(PyObject* object, std::string_view name, std::int64_t absent, bool finite) {
    if (object == nullptr) return absent;
    double value = seconds(object, name, finite);
    constexpr double most = static_cast<double>(std::numeric_limits<std::int64_t>::max()) / 1e9;
    if (value >= most) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(value * 1e9);
}

std::optional<std::int64_t> optional_nanoseconds(PyObject* object, std::string_view name, bool finite) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return nanoseconds(object, name, 0, finite);
}

platform::Pid pid(PyObject* object, std::string_view name) {
    return static_cast<platform::Pid>(integer_in(object, {name, name}, lowest_pid, highest_pid));
}

std::vector<platform::Pid> pids(PyObject* object, std::string_view name) {
    const Naming naming{name, "pid", true};
    std::vector<platform::Pid> found;
    if (PyLong_Check(object)) throw wrong_type(name, "an iterable of process ids", object);
    for_each_item(object, name, "an iterable of process ids", [&](PyObject* item) {
        found.push_back(static_cast<platform::Pid>(integer_in(item, naming, lowest_pid, highest_pid)));
    });
    return found;
}

std::optional<std::vector<platform::Pid>> optional_pids(PyObject* object, std::string_view name) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return pids(object, name);
}

bool flag(PyObject* object, std::string_view name, bool absent) {
    if (object == nullptr) return absent;
    if (PyBool_Check(object)) return object == Py_True;
    const bool has_truth = PyType_GetSlot(Py_TYPE(object), Py_nb_bool) != nullptr;
    if (!is_numpy_bool(object) || !has_truth) throw wrong_type(name, "a bool", object);
    // A NumPy boolean: whatever its truth raises (even KeyboardInterrupt) passes through.
    return to_flag(object);
}

int signal_number(PyObject* object, int absent) {
    if (object == nullptr) return absent;
    return static_cast<int>(integer_in(object, {"signal", "signal"}, 1, 64));
}

PyObject* text(PyObject* object, std::string_view name) {
    if (!PyUnicode_Check(object)) throw wrong_type(name, "a str", object);
    return object;
}

}  // namespace velmor::table_arguments
