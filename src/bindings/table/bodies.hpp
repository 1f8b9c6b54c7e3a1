#pragma once
// The bodies of the socket-table module's functions, each binding and
// converting its arguments, doing its work with the interpreter lock
// released, and building its result with the lock held.

#include "bindings/boundary/entry.hpp"

namespace velmor::table_bodies {

OwnedRef sockets(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef probe(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef reserve(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef process_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef processes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef process_view(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef stop(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velmor::table_bodies
