#pragma once
// The commands the program runs, each on the engine: each takes the parsed
// call and the answer, and returns the exit code.

#include <cstdint>
#include <string>

#include "command/arguments.hpp"
#include "command/output.hpp"

namespace velmor::command {

inline constexpr int exit_ok = 0;
inline constexpr int exit_fail = 1;
inline constexpr int exit_usage = 2;
inline constexpr int exit_interrupted = 130;

// No answer can be had (no descriptor left to read the socket tables):
// `why` is the one line said.
struct NoAnswer {
    std::string why;
};
// Throws NoAnswer for a read that ran out of descriptors (`shortage`).
void require_descriptors(int shortage, const char* doing);

// `seconds` in nanoseconds, as the library reads a number of seconds: the
// longest wait for what does not fit.
std::int64_t nanoseconds_of(double seconds);

int run_ls(const Arguments& arguments, Answer& answer);
int run_who(const Arguments& arguments, Answer& answer);
int run_check(const Arguments& arguments, Answer& answer);
int run_free(const Arguments& arguments, Answer& answer);
int run_wait(const Arguments& arguments, Answer& answer);
int run_kill(const Arguments& arguments, Answer& answer);
int run_completion(const Arguments& arguments, Answer& answer);
int run_watch(const Arguments& arguments, Answer& answer);

// `seconds` (not negative) in nanoseconds, saturating at the longest a count holds.
std::int64_t nanoseconds_of(double seconds);

// Clears the status line of a wait, if one shows (for Ctrl-C; async-signal-safe).
void clear_status_line_on_interrupt() noexcept;

}  // namespace velmor::command
