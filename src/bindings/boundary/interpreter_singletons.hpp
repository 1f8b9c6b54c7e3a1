#pragma once
// The interpreter singletons this library keeps: values created once per
// process, on first need, and kept until it ends.

#include "bindings/boundary/python.hpp"

namespace velmor {

// The PanicException type (derived from BaseException). Creating it is a
// native failure if the interpreter refuses.
PyObject* panic_exception_type();
// The type if some call has already created it, else null.
PyObject* panic_exception_type_if_created() noexcept;

// collections.abc.Sequence, imported on first need; throws the import's failure.
PyObject* sequence_type();

enum class Name { add_note, all, name, module, qualname };
// Interned attribute names.
PyObject* interned(Name name);

}  // namespace velmor
