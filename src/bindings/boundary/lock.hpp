#pragma once
// Releasing the interpreter lock around native work, and taking it back in a
// way that survives the end of the interpreter.
//
// A daemon thread that takes the lock back while the interpreter finalizes
// never gets it: CPython up to 3.13 ends such a thread with pthread_exit. A
// thread that finds the interpreter finalizing parks instead of asking, as
// newer CPython versions park such threads themselves; a thread that asked
// before and waits for the lock meanwhile is ended inside the wait, and
// parks right there (thread_end.hpp): the end never unwinds a frame of ours,
// whichever C++ runtime and unwinder the module was built with. The lock is
// taken back in plain code, never in a destructor, since taking it back may
// not return.

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
