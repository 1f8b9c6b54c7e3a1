#include "bindings/boundary/failures.hpp"
#include "bindings/boundary/interpreter_singletons.hpp"

namespace velmor {
namespace {

std::string type_name_or_unprintable(PyObject* object) {
    std::optional<std::string> name = attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), interned(Name::name));
    return name ? "<unprintable " + *name + " object>" : "<unprintable object>";
}

// Text with lone surrogates: encode them through, then decode with every
// maximal invalid subsequence replaced by U+FFFD.
std::string replace_surrogates(PyObject* text) {
    OwnedRef bytes = require_new(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    OwnedRef decoded = require_new(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()),
                                                        PyBytes_Size(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(decoded.get(), &size);
    if (utf8 == nullptr) throw fetch_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::optional<std::string> utf8_text(PyObject* object) {
    Py_ssize_t size = 0;
    const char* text = object != nullptr && PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &size) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string(text, static_cast<std::size_t>(size));
}

std::optional<std::string> attribute_text(PyObject* object, PyObject* name) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttr(object, name));
    if (!value) PyErr_Clear();
    return utf8_text(value.get());
}

std::string object_text(PyObject* object) {
    OwnedRef text = OwnedRef::steal(PyObject_Str(object));
    if (!text) {
        // A PanicException from str() continues as the native failure it is.
        CallError failure = fetch_error();
        std::move(failure).raise();
        PyErr_WriteUnraisable(object);
        return type_name_or_unprintable(object);
    }
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return replace_surrogates(text.get());
}

}  // namespace velmor
