#pragma once
// The defaults of the socket-table face: the engine's (core/defaults.hpp),
// which the bodies use and the module hands to the package as STOP_TIMEOUT
// and WAIT_TIMEOUT (seconds), for its functions to take as their defaults.

#include "core/defaults.hpp"

namespace velmor::table_bodies {

using velmor::default_stop_timeout_ns;
using velmor::default_wait_timeout_ns;

}  // namespace velmor::table_bodies
