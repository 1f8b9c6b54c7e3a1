#include "bindings/boundary/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace velmor {

void raise_failure(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (CallError& error) {
            std::move(error).raise();
        } catch (const NativeFailure& native) {
            raise_panic(native.message());
        } catch (const std::bad_alloc&) {
            raise_panic(NativeFailure("out of memory").message());
        } catch (const std::exception& other) {
            raise_panic(NativeFailure(other.what()).message());
        }
    } catch (...) {
        // A failure while reporting a failure: nothing sound is left to do.
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
}

}  // namespace velmor
