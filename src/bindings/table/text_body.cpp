// printable: the engine's escape for text from the system, for the
// package's lines and messages, so that both faces escape alike.

#include <memory>
#include <string>

#include "bindings/boundary/binder.hpp"
#include "bindings/boundary/guard.hpp"
#include "bindings/table/arguments.hpp"
#include "bindings/table/bodies.hpp"
#include "core/system/printable.hpp"

namespace velmor::table_bodies {
namespace {

constexpr FunctionSpec printable_spec{"printable", {"text"}, 1, 1};

bool is_printable_ascii(const char* utf8, Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (utf8[i] < 0x20 || utf8[i] >= 0x7F) return false;
    }
    return true;
}

OwnedRef new_text(const std::string& utf8) {
    return require_new(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

// A str that UTF-8 cannot hold (lone surrogates, as os.fsdecode leaves
// undecodable bytes), escaped from its code points.
OwnedRef printable_code_points(PyObject* text) {
    struct FreeBuffer {
        void operator()(Py_UCS4* buffer) const noexcept { PyMem_Free(buffer); }
    };
    std::unique_ptr<Py_UCS4, FreeBuffer> buffer(PyUnicode_AsUCS4Copy(text));
    if (!buffer) throw fetch_error();
    const auto size = static_cast<std::size_t>(PyUnicode_GetLength(text));
    std::u32string code_points(buffer.get(), buffer.get() + size);
    return new_text(text::printable(std::u32string_view(code_points)));
}

}  // namespace

OwnedRef printable(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound = bind_arguments(printable_spec, args, nargs, kwnames);
    PyObject* text = convert_argument("text", [&] { return table_arguments::text(bound[0], "text"); });
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw fetch_error();
        PyErr_Clear();
        return printable_code_points(text);
    }
    if (is_printable_ascii(utf8, size)) return OwnedRef::borrow(text);
    return new_text(text::printable(std::string_view(utf8, static_cast<std::size_t>(size))));
}

}  // namespace velmor::table_bodies
