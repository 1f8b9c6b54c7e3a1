#pragma once
// Releasing the interpreter lock around native work, and taking it back in a
// way that survives the end of the interpreter.
//
// A daemon thread that takes the lock back while the interpreter finalizes
// never gets it: CPython up to 3.13 ends such a thread with pthread_exit,
// whose forced unwind runs through every frame above it and aborts the
// process if it meets a noexcept frame or a destructor on its way. A thread
// that finds the interpreter finalizing parks instead of asking, as newer
// CPython versions park such threads themselves; but a thread that asked
// before and waits for the lock meanwhile is ended all the same, so the lock
// is also taken back in plain code, never in a destructor, and no frame
// between here and the interpreter is noexcept. Work run without the lock must not keep a
// Python reference alive across the release: the unwind drops it without
// the lock.

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "bindings/boundary/python.hpp"

namespace velmor {

// Takes the interpreter lock back for `state`; never returns while the
// interpreter finalizes.
void take_back_lock(PyThreadState* state);

// Runs `work` with the interpreter lock released and takes the lock back on
// every way out, failures included. `work` must not touch the interpreter.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) {
    using Result = std::invoke_result_t<Work&>;
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    if constexpr (std::is_void_v<Result>) {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        take_back_lock(state);
        if (failure) std::rethrow_exception(failure);
    } else {
        std::optional<Result> result;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        take_back_lock(state);
        if (failure) std::rethrow_exception(failure);
        return Result(std::move(*result));
    }
}

}  // namespace velmor
