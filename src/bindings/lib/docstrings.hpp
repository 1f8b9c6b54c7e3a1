#pragma once
// The documentation of the six functions. The first line and "--" form the
// text signature that inspect.signature reads.

namespace velmor::docs {

inline constexpr const char* module = "Python module for port management.";

inline constexpr const char* is_available =
    "is_available(port)\n--\n\n"
    "Check if a port is available on localhost.\n\n"
    "Args:\n"
    "    port: Port number to check (1-65535)\n\n"
    "Returns:\n"
    "    True if port is available, False if in use\n\n"
    "Example:\n"
    "    >>> import velmor\n"
    "    >>> velmor.is_available(8000)\n"
    "    True";

inline constexpr const char* find_free =
    "find_free(preferred=None)\n--\n\n"
    "Find a free port on localhost.\n\n"
    "Args:\n"
    "    preferred: Optional preferred port number. If provided and free, returns it.\n"
    "               If occupied, returns a different free port.\n\n"
    "Returns:\n"
    "    A free port number\n\n"
    "Raises:\n"
    "    OSError: If no free port could be found\n\n"
    "Note:\n"
    "    The returned port can be taken by another process between this check\n"
    "    and when you actually bind to it (TOCTOU). Prefer binding to port 0\n"
    "    and letting the OS pick if you need a race-free reservation.\n\n"
    "Example:\n"
    "    >>> port = velmor.find_free(8000)\n"
    "    >>> port = velmor.find_free()  # Any free port";

inline constexpr const char* wait_until_free =
    "wait_until_free(port, timeout=30)\n--\n\n"
    "Wait for a port to become free.\n\n"
    "Args:\n"
    "    port: Port number to wait for\n"
    "    timeout: Maximum seconds to wait (default: 30)\n\n"
    "Returns:\n"
    "    True if port became free, False if timeout reached\n\n"
    "Example:\n"
    "    >>> velmor.wait_until_free(5432, timeout=30)\n"
    "    True";

inline constexpr const char* get_info =
    "get_info(port)\n--\n\n"
    "Get information about the process using a port.\n\n"
    "Args:\n"
    "    port: Port number to investigate\n\n"
    "Returns:\n"
    "    Dict with pid, name, and cmd keys, or None if the port is free\n"
    "    (or its owner is not visible to us, e.g. it belongs to another user).\n\n"
    "Note:\n"
    "    `cmd` is the full command line on Linux, the executable path on\n"
    "    macOS, and the executable name on Windows.\n\n"
    "Example:\n"
    "    >>> velmor.get_info(8000)\n"
    "    {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}\n"
    "    >>> velmor.get_info(9999)\n"
    "    None";

inline constexpr const char* kill =
    "kill(port, force=False)\n--\n\n"
    "Kill the process(es) using a port.\n\n"
    "Args:\n"
    "    port: Port number\n"
    "    force: If True, use SIGKILL (SIGTERM if False). Default: False.\n"
    "           On Windows the process is always terminated forcefully.\n\n"
    "Returns:\n"
    "    True if the port became free (or was already free)\n\n"
    "Raises:\n"
    "    PermissionError: If insufficient permissions\n"
    "    OSError: If kill failed for another reason\n\n"
    "Example:\n"
    "    >>> velmor.kill(8000)\n"
    "    True\n"
    "    >>> velmor.kill(8000, force=True)\n"
    "    True";

inline constexpr const char* scan =
    "scan(ports)\n--\n\n"
    "Scan multiple ports and return info for each.\n\n"
    "Args:\n"
    "    ports: List of port numbers\n\n"
    "Returns:\n"
    "    Dict mapping port numbers to process info (or None if free)\n\n"
    "Example:\n"
    "    >>> velmor.scan([8000, 8001, 5432])\n"
    "    {8000: {'pid': 1234, 'name': 'python', 'cmd': 'python app.py'}, 8001: None, 5432: None}";

}  // namespace velmor::docs
