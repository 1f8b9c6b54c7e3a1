#include "command/output.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmor::command {
namespace {

bool stdout_closed = false;
bool stderr_closed = false;

// Keeps up to this much of the answer before writing it out.
constexpr std::size_t kept_at_most = 64 * 1024;

bool is_closed(int fd) noexcept { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

// The system's text for `error`, starting in lower case.
std::string lowered_reason(int error) {
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Writes all of `data` to `fd`: 0, or the error that stopped it.
int write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written >= 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A stdout set non-blocking by someone else: wait until it takes more.
            pollfd ready{fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
        }
        return errno;
    }
    return 0;
}

}  // namespace

void guard_standard_streams() noexcept {
    const bool closed[3] = {is_closed(STDIN_FILENO), is_closed(STDOUT_FILENO), is_closed(STDERR_FILENO)};
    for (int fd = 0; fd < 3; ++fd) {
        if (!closed[fd]) continue;
        // open() takes the lowest free descriptor: the closed one, as the
        // lower ones are open (or were filled just now).
        const int filled = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (filled >= 0 && filled != fd) {
            ::dup2(filled, fd);
            ::close(filled);
        }
    }
    stdout_closed = closed[1];
    stderr_closed = closed[2];
}

void Answer::line(std::string_view text) {
    kept_.append(text);
    kept_ += '\n';
    if (kept_.size() >= kept_at_most) flush();
}

void Answer::flush() {
    std::string pending;
    pending.swap(kept_);
    if (pending.empty()) return;
    if (stdout_closed) throw AnswerNotWritten{"standard output is closed"};
    const int error = write_all(STDOUT_FILENO, pending);
    if (error == EPIPE) throw ReaderGone{};
    if (error != 0) throw AnswerNotWritten{lowered_reason(error)};
}

void say(std::string_view text) noexcept {
    if (stderr_closed) return;
    std::string line;
    try {
        line.reserve(text.size() + 1);
        line.append(text);
        line += '\n';
    } catch (...) {
        return;
    }
    (void)write_all(STDERR_FILENO, line);
}

}  // namespace velmor::command
