#include "bindings/boundary/binder.hpp"

#include <string>

#include "bindings/boundary/failures.hpp"

namespace velmor {
namespace {

[[noreturn]] void binding_error(const FunctionSpec& spec, const std::string& what) {
    throw CallError::deferred(PyExc_TypeError, std::string(spec.name) + "() " + what);
}

[[noreturn]] void too_many_positional(const FunctionSpec& spec, Py_ssize_t given) {
    std::string takes = spec.required == spec.count
                            ? std::to_string(spec.count)
                            : "from " + std::to_string(spec.required) + " to " + std::to_string(spec.count);
    binding_error(spec, "takes " + takes + " positional arguments but " + std::to_string(given) +
                            (given == 1 ? " was" : " were") + " given");
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::array<std::string_view, max_parameters>& names, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count > 2 ? ", " : " ";
        if (i > 0 && i + 1 == count) list += "and ";
        list += "'" + std::string(names[i]) + "'";
    }
    return list;
}

// The parameter a keyword names, or -1. A name that is not valid UTF-8 names none.
long parameter_index(const FunctionSpec& spec, PyObject* keyword) {
    std::optional<std::string> name = utf8_text(keyword);
    if (!name) return -1;
    for (std::size_t i = 0; i < spec.count; ++i) {
        if (spec.parameters[i] == *name) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace

BoundArguments bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    BoundArguments bound{};
    if (nargs > static_cast<Py_ssize_t>(spec.count)) too_many_positional(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

    Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        long index = parameter_index(spec, keyword);
        if (index < 0) binding_error(spec, "got an unexpected keyword argument '" + object_text(keyword) + "'");
        auto slot = static_cast<std::size_t>(index);
        if (bound[slot] != nullptr) {
            binding_error(spec, "got multiple values for argument '" + object_text(keyword) + "'");
        }
        bound[slot] = args[nargs + k];
    }

    std::array<std::string_view, max_parameters> missing{};
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < spec.required; ++i) {
        if (bound[i] == nullptr) missing[missing_count++] = spec.parameters[i];
    }
    if (missing_count > 0) {
        binding_error(spec, "missing " + std::to_string(missing_count) + " required positional " +
                                (missing_count == 1 ? "argument" : "arguments") + ": " +
                                quoted_list(missing, missing_count));
    }
    return bound;
}

}  // namespace velmor
