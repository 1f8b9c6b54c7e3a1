#pragma once
// The C entry points of a binding module's functions: each runs its body
// under the call guard, with the fast calling convention with keywords.

#include "bindings/boundary/guard.hpp"

namespace velmor {

// A function's body: binds and converts its arguments, works, and returns a
// new reference or throws a CallError or NativeFailure for the guard.
using Body = OwnedRef (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Not noexcept: see call_guard.
template <Body body>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&] { return body(args, nargs, kwnames); });
}

// A function table record for `body`; `flags` beyond the calling convention
// (METH_STATIC for _lib's functions, which have no self).
template <Body body>
constexpr PyMethodDef function_record(const char* name, const char* doc, int flags = 0) {
    // A cast the interpreter's calling convention needs: the table stores
    // every entry under one pointer type and the flags say which it is.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<body>)),
            METH_FASTCALL | METH_KEYWORDS | flags, doc};
}

}  // namespace velmor
