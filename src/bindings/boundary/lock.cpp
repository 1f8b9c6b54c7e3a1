#include "bindings/boundary/lock.hpp"

#include "bindings/boundary/thread_end.hpp"

namespace velmor {
namespace {

// Read without the interpreter lock, as the interpreter's own test is.
bool interpreter_finalizing() noexcept {
#if Py_LIMITED_API + 0 >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    // The stable ABI of 3.10 to 3.12 has no test for finalization; but the
    // runtime stops calling itself initialized at the very step at which
    // finalization begins: after the atexit callbacks, which may still call
    // us from any thread and must be served, and before daemon threads that
    // ask for the lock are ended. Every CPython from 3.10 on does the two
    // together.
    return Py_IsInitialized() == 0;
#endif
}

void restore_thread(void* state) { PyEval_RestoreThread(static_cast<PyThreadState*>(state)); }

}  // namespace

void take_back_lock(PyThreadState* state) {
    if (interpreter_finalizing()) park_forever();
    // Finalization may begin while this thread waits for the lock, and the
    // interpreter then ends it inside the wait: it parks there instead.
    run_or_park_if_ended(restore_thread, state);
}

}  // namespace velmor
