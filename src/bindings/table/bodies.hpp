#pragma once
// The bodies of the socket-table module's functions, each binding and
// converting its arguments, doing its work with the interpreter lock
// released, and building its result with the lock held.

#include "bindings/boundary/entry.hpp"

namespace velmor::table_bodies {

OwnedRef sockets(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef statuses(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef free_check(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef probe(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef reserve(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef process_tree(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef processes(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef process_view(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef wait(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef stop(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef pids_are_ours(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef checked(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef printable(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef listener_watch(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
OwnedRef watch_look(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Raises OSError(error, ...) for a call that ran out of descriptors (EMFILE
// or ENFILE) while it `doing`: a short answer is no answer. Needs the lock.
[[noreturn]] void raise_short_of_descriptors(int error, const char* doing);

}  // namespace velmor::table_bodies
