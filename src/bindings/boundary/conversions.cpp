#include "bindings/boundary/conversions.hpp"

#include <algorithm>
#include <string>

#include "bindings/boundary/interpreter_singletons.hpp"

namespace velmor {

// Recognised by its type's names, so that NumPy need not be imported.
bool is_numpy_bool(PyObject* object) {
    auto type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    auto module = attribute_text(type, interned(Name::module));
    if (!module || *module != "numpy") return false;
    auto name = attribute_text(type, interned(Name::name));
    return name && (*name == "bool_" || *name == "bool");
}

namespace {

CallError out_of_range() {
    return CallError::deferred(PyExc_OverflowError, "out of range integral type conversion attempted");
}

unsigned long long unsigned_value(PyObject* integer) {
    unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw fetch_error();
    return value;
}

bool numpy_truth(PyObject* object) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(object), Py_nb_bool));
    if (nb_bool == nullptr) {
        OwnedRef type_text = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        throw CallError::deferred(PyExc_TypeError, "object of type '" + object_text(type_text.get()) +
                                                       "' does not define a '__bool__' conversion");
    }
    int truth = nb_bool(object);
    if (truth < 0) throw fetch_error();
    return truth == 1;
}

}  // namespace

std::uint16_t to_port(PyObject* object) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) throw fetch_error();
    if (value < 0 || value > 65535) throw out_of_range();
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> to_optional_port(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return to_port(object);
}

unsigned long long to_seconds(PyObject* object, unsigned long long absent) {
    if (object == nullptr) return absent;
    if (PyLong_Check(object)) return unsigned_value(object);
    OwnedRef integer = require(PyNumber_Index(object));
    return unsigned_value(integer.get());
}

bool to_flag(PyObject* object) {
    if (object == nullptr) return false;
    if (Py_IS_TYPE(object, &PyBool_Type)) return object == Py_True;
    if (is_numpy_bool(object)) return numpy_truth(object);
    throw type_mismatch(object, "bool");
}

std::vector<std::uint16_t> to_port_list(PyObject* object) {
    if (PyUnicode_Check(object)) throw CallError::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        OwnedRef qualname = require(PyObject_GetAttr(sequence_type(), interned(Name::qualname)));
        const char* target = PyUnicode_Check(qualname.get()) ? PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) : nullptr;
        if (target == nullptr) throw fetch_error();
        throw type_mismatch(object, target);
    }
    std::vector<std::uint16_t> ports;
    // The length only sizes the list; a hostile __len__ must not make us reserve gigabytes.
    constexpr Py_ssize_t most_worth_reserving = 65536;
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        ports.reserve(static_cast<std::size_t>(std::min(hint, most_worth_reserving)));
    }
    OwnedRef iterator = require(PyObject_GetIter(object));
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        ports.push_back(to_port(item.get()));
    }
    if (PyErr_Occurred()) throw fetch_error();
    return ports;
}

CallError add_argument_note(std::string_view parameter, CallError error) {
    PyObject* exception = error.exception();
    std::string note = "while processing '" + std::string(parameter) + "'";
    OwnedRef text = require_new(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    OwnedRef result = OwnedRef::steal(
        PyObject_CallMethodObjArgs(exception, interned(Name::add_note), text.get(), nullptr));
    if (!result) PyErr_Clear();  // interpreters without notes: the error goes on unmarked
    return error;
}

}  // namespace velmor
