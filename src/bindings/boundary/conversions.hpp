#pragma once
// Python values to the native values the bodies work on. Each throws
// CallError (or NativeFailure for a PanicException raised by Python code).

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/boundary/failures.hpp"

namespace velmor {

// An int (or bool, or any object with __index__) from 0 to 65535.
std::uint16_t to_port(PyObject* object);
// Absent or None: no port; anything else through to_port.
std::optional<std::uint16_t> to_optional_port(PyObject* object);
// A count of seconds, 0 to 2**64 - 1; absent gives `absent`.
unsigned long long to_seconds(PyObject* object, unsigned long long absent);
// Exactly a bool, or a NumPy boolean judged by its type's truth slot; absent gives false.
bool to_flag(PyObject* object);
// True for a NumPy boolean (or an object whose type is named as one).
bool is_numpy_bool(PyObject* object);
// A sequence, not a str, of ports; items read by iteration.
std::vector<std::uint16_t> to_port_list(PyObject* object);

// Marks a failed conversion with the note "while processing '{parameter}'".
CallError add_argument_note(std::string_view parameter, CallError error);

// Runs one argument's conversion; a CallError it throws gets the argument's note.
template <class Convert>
auto convert_argument(std::string_view parameter, Convert&& convert) {
    try {
        return std::forward<Convert>(convert)();
    } catch (CallError& error) {
        throw add_argument_note(parameter, std::move(error));
    }
}

}  // namespace velmor
