#pragma once
// Conversions particular to the socket-table module, on top of the call
// boundary's own.

#include <cstdint>
#include <optional>
#include <vector>

#include "bindings/boundary/conversions.hpp"
#include "core/platform/process_queries.hpp"

namespace velmor::table_arguments {

// A port from 1 to 65535.
std::uint16_t port(PyObject* object);
// None (or absent): every port; otherwise a sequence of ports from 1 to 65535.
std::optional<std::vector<std::uint16_t>> optional_ports(PyObject* object);
// A sequence of ports from 1 to 65535.
std::vector<std::uint16_t> ports(PyObject* object);
// A real number of seconds, 0 or more, as nanoseconds; absent gives `absent`.
std::int64_t seconds(PyObject* object, std::int64_t absent);
// None (or absent): no limit; otherwise seconds as above.
std::optional<std::int64_t> optional_seconds(PyObject* object);
// A process id, 1 or more.
platform::Pid pid(PyObject* object);
// None (or absent): no restriction; otherwise a sequence of process ids.
std::optional<std::vector<platform::Pid>> optional_pids(PyObject* object);
// A signal number from 1 to 64; absent gives `absent`.
int signal_number(PyObject* object, int absent);

}  // namespace velmor::table_arguments
