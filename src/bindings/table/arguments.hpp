#pragma once
// The rules for the arguments of the socket-table face, each written once:
// the native functions of _table convert with them, and the Python package
// checks its own parameters with them through _table.checked. Every failure
// is a TypeError or ValueError (OverflowError for seconds beyond a double)
// whose message names the parameter, so a call never fails deeper down.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings/boundary/conversions.hpp"
#include "core/platform/process_queries.hpp"

namespace velmor::table_arguments {

// One port, an int (not a bool) from 1 to 65535.
std::uint16_t port(PyObject* object, std::string_view name = "port");
// One port or an iterable of ports (not a str), without repeats, in the
// order given. A single int counts as one port.
std::vector<std::uint16_t> ports(PyObject* object, std::string_view name = "ports");
// None (or absent): every port; otherwise as ports().
std::optional<std::vector<std::uint16_t>> optional_ports(PyObject* object, std::string_view name = "ports");
// A number of seconds (not a bool), 0 or more, not NaN; with `finite`, not
// infinite either.
double seconds(PyObject* object, std::string_view name, bool finite);
// Seconds as above, as nanoseconds (infinity and what is beyond the range
// of nanoseconds give the largest count); absent gives `absent`.
std::int64_t nanoseconds(PyObject* object, std::string_view name, std::int64_t absent, bool finite = false);
// None (or absent): no limit; otherwise nanoseconds as above.
std::optional<std::int64_t> optional_nanoseconds(PyObject* object, std::string_view name, bool finite = false);
// A process id, an int (not a bool) of 1 or more.
platform::Pid pid(PyObject* object, std::string_view name = "pid");
// An iterable of process ids (not a str).
std::vector<platform::Pid> pids(PyObject* object, std::string_view name = "pids");
// None (or absent): no restriction; otherwise as pids().
std::optional<std::vector<platform::Pid>> optional_pids(PyObject* object, std::string_view name = "pids");
// A bool (or a NumPy boolean); absent gives `absent`.
bool flag(PyObject* object, std::string_view name, bool absent = false);
// A signal number from 1 to 64; absent gives `absent`.
int signal_number(PyObject* object, int absent);
// A str (or a subclass of it), borrowed.
PyObject* text(PyObject* object, std::string_view name);

}  // namespace velmor::table_arguments
