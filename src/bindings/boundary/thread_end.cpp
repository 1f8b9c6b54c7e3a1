#include "bindings/boundary/thread_end.hpp"

#include <pthread.h>
#include <unistd.h>

// With C++ exceptions on, glibc's pthread_cleanup_push is an object whose
// destructor runs the handler: a cleanup that the unwind reaches through
// this file's personality routine, which is what must not happen. The build
// compiles this one file without exceptions (cmake/sources.cmake).
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
#error "thread_end.cpp must be compiled with -fno-exceptions"
#endif

namespace velmor {
namespace {

struct EndOfThread {
    ThreadStep on_end;
    void* argument;
};

// The cleanup handler: never returns, so that nothing unwinds past it.
void park_ended_thread(void* end) {
    const EndOfThread& ending = *static_cast<const EndOfThread*>(end);
    if (ending.on_end != nullptr) ending.on_end(ending.argument);
    park_forever();
}

}  // namespace

[[noreturn]] void park_forever() noexcept {
    for (;;) ::pause();
}

void run_or_park_if_ended(ThreadStep step, void* argument, ThreadStep on_end) {
    EndOfThread ending{on_end, argument};
    pthread_cleanup_push(park_ended_thread, &ending);
    step(argument);
    pthread_cleanup_pop(0);
}

}  // namespace velmor
