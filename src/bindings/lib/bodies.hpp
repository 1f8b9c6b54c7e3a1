#pragma once
// The bodies of the six module functions. Each binds and converts its
// arguments, does its work, and returns a new reference or throws a
// CallError or NativeFailure for the call guard.

#include "bindings/boundary/entry.hpp"

namespace velmor::bodies {

OwnedRef is_available(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef find_free(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef wait_until_free(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef get_info(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef kill(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef scan(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmor::bodies
