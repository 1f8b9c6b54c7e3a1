#pragma once
// The call guard, through which every entry point runs its body.

#include <exception>
#include <new>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "bindings/boundary/failures.hpp"
#include "bindings/boundary/lock.hpp"

namespace velmor {

// Sets the Python exception for whatever a body threw.
void raise_failure(std::exception_ptr failure) noexcept;

// Runs `body`, which returns an OwnedRef or throws. Returns the new reference,
// or null with the Python exception set. No C++ exception leaves it. It is
// not noexcept, so that a forced unwind that still reaches it (a thread
// cancelled inside a call: the interpreter's own end of a thread stops short
// of our frames, see lock.hpp) passes through under libstdc++, which resumes
// it from the catch clause below.
//
// The forced unwind has no C++ object to bind to the reference of its catch
// clause, which UBSan would report as a null reference: that one check is
// off here.
#if defined(__GLIBCXX__) && defined(__has_attribute)
#if __has_attribute(no_sanitize)
#define VELMOR_FORCED_UNWIND_PASSES __attribute__((no_sanitize("null")))
#endif
#endif
#ifndef VELMOR_FORCED_UNWIND_PASSES
#define VELMOR_FORCED_UNWIND_PASSES
#endif
template <class Body>
VELMOR_FORCED_UNWIND_PASSES PyObject* call_guard(Body&& body) {
    try {
        return body().release();
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        raise_failure(std::current_exception());
        return nullptr;
    }
}

}  // namespace velmor
