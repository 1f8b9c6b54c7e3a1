#pragma once
// The command's two streams. The answer goes to stdout, kept until it is
// written out at the end or when much has gathered; what keeps it from
// being written is said once: a closed stdout, a full disk (one line on
// stderr, exit 1), or a reader that has gone (a broken pipe: exit 1,
// quietly, as `| head` expects). Diagnostics go to stderr only, one line
// each, and are dropped when stderr is closed.

#include <string>
#include <string_view>

namespace velmor::command {

// The answer cannot be written; `why` says why, in lower case
// ("standard output is closed", "no space left on device").
struct AnswerNotWritten {
    std::string why;
};
// The reader of stdout has gone.
struct ReaderGone {};

// Fills the standard descriptors that are closed with /dev/null, so that no
// descriptor the command opens takes their place, and notes which were
// closed. Called once, first thing.
void guard_standard_streams() noexcept;

class Answer {
public:
    Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    // `text` and a newline, as it is: only for what is already safe (JSON,
    // or lines made printable).
    void line(std::string_view text);
    // Writes out what is kept; throws AnswerNotWritten or ReaderGone.
    void flush();

private:
    std::string kept_;
};

// One diagnostic line on stderr, as it is (the caller escapes what came
// from the system).
void say(std::string_view text) noexcept;

}  // namespace velmor::command
