#pragma once
// The call guard, through which every entry point runs its body, and the
// release of the interpreter lock around blocking native work.

#include <exception>
#include <new>

#include "boundary/failures.hpp"

namespace velmor {

// Sets the Python exception for whatever a body threw.
void raise_failure(std::exception_ptr failure) noexcept;

// Runs `body`, which returns an OwnedRef or throws. Returns the new reference,
// or null with the Python exception set. No C++ exception leaves it.
template <class Body>
PyObject* call_guard(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        raise_failure(std::current_exception());
        return nullptr;
    }
}

// Runs `work` with the interpreter lock released and takes the lock back on
// every way out, failures included. `work` must not touch the interpreter.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    return work();
}

}  // namespace velmor
