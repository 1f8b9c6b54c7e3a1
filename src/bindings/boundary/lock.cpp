#include "bindings/boundary/lock.hpp"

#include <unistd.h>

namespace velmor {
namespace {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

[[noreturn]] void park_forever() noexcept {
    for (;;) ::pause();
}

}  // namespace

void take_back_lock(PyThreadState* state) {
    if (interpreter_finalizing()) park_forever();
    PyEval_RestoreThread(state);
}

}  // namespace velmor
