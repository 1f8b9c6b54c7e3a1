#pragma once
// Binds the arguments of a fast call with keywords to a function's parameters.

#include <array>
#include <cstddef>
#include <string_view>

#include "bindings/boundary/python.hpp"

namespace velmor {

inline constexpr std::size_t max_parameters = 9;

// One static record per function: its name, its parameters in order, and how
// many of the first ones are required. Every parameter may be passed by
// position or by keyword.
struct FunctionSpec {
    std::string_view name;
    std::array<std::string_view, max_parameters> parameters;
    std::size_t count;
    std::size_t required;
};

// Borrowed references, one slot per parameter; null where not given.
using BoundArguments = std::array<PyObject*, max_parameters>;

// Throws CallError (TypeError) with the interpreter's own binding messages.
BoundArguments bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace velmor
