#pragma once
// A step at which the system may end the calling thread, fenced so that the
// end never unwinds the frames above it.
//
// CPython up to 3.13 ends a daemon thread that asks for the interpreter lock
// while it finalizes with pthread_exit. On glibc that is a forced unwind,
// driven by libgcc_s's unwinder, through every frame up to the thread's
// start: each C++ frame's personality routine runs its cleanups and catch
// clauses. That is only sound when our C++ runtime drives unwinding with the
// same unwinder, and when every catch-all clause on the way rethrows the
// unwind as that runtime requires. A module built with a statically linked
// libc++abi and LLVM libunwind meets neither: its personality routine reads
// libgcc_s's unwind context as libunwind's and crashes, and libc++abi cannot
// resume a forced unwind from a catch clause at all (a rethrow starts a new
// search, which finds no handler and terminates).
//
// So the unwind is stopped before it reaches any frame of ours: the step runs
// under a POSIX cleanup handler, which the system calls when the thread is
// ended inside the step, and which parks the thread forever, as newer
// CPython versions park such threads themselves. glibc's handler (the C
// variant, which this file's build without exceptions selects) is a setjmp
// point that the unwind jumps to as it passes this frame, ahead of every
// personality routine of ours; musl and macOS run handlers from pthread_exit
// and do not unwind. The same holds with either C++ runtime and unwinder.

namespace velmor {

using ThreadStep = void (*)(void* argument);

// Runs step(argument). If the thread is ended inside it, calls
// on_end(argument) when given, then parks the thread forever.
void run_or_park_if_ended(ThreadStep step, void* argument, ThreadStep on_end = nullptr);

// Parks the calling thread for good.
[[noreturn]] void park_forever() noexcept;

}  // namespace velmor
