// velmor wait: until every port is free (as the free check judges it), or
// with --listening until something listens on each, or until --timeout.
// On a terminal, one updating line of stderr shows the port waited for and
// the seconds elapsed; Ctrl-C clears it before the command ends.

#include <signal.h>
#include <unistd.h>

#include <limits>

#include "command/subcommands.hpp"
#include "core/sockets/port_wait.hpp"
#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

constexpr std::string_view clear_line = "\r\x1b[K";

// Set while the status line shows something, for Ctrl-C to clear it.
volatile sig_atomic_t status_shown = 0;

// The one line on stderr that a wait on a terminal keeps up to date.
class StatusLine {
public:
    StatusLine() = default;
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;
    ~StatusLine() { show(""); }

    void show(const std::string& text) noexcept {
        if (text == last_) return;
        std::string written(clear_line);
        written += text;
        status_shown = text.empty() ? 0 : 1;
        (void)!::write(STDERR_FILENO, written.data(), written.size());
        last_ = text;
    }

private:
    std::string last_;
};

// 'waiting for port 3000 to be free... 4s'.
std::string waiting_line(std::uint16_t port, std::int64_t elapsed_ns, bool listening) {
    return "waiting for port " + std::to_string(port) + " to " + (listening ? "be listened on" : "be free") + "... " +
           std::to_string(elapsed_ns / nanoseconds_per_second) + "s";
}

// Checks until every port is as asked or `timeout_ns` has passed, showing
// progress on `status` when there is one; the ports still waited for.
std::vector<std::uint16_t> wait_for(PortWait& waiting, std::int64_t timeout_ns, StatusLine* status, bool listening) {
    const timespec start = monotonic_now();
    const timespec deadline = deadline_after_ns(start, timeout_ns);
    auto condition = [&waiting] { return waiting.check() || waiting.shortage() != 0; };
    std::vector<pollfd> no_watches;
    for (;;) {
        const timespec next_progress = deadline_after_ns(monotonic_now(), wait_progress_every_ns);
        const bool in_parts = status != nullptr && !reached(next_progress, deadline);
        const PollEnd end = poll_until(wait_plan(in_parts ? next_progress : deadline, !in_parts), no_watches, condition);
        require_descriptors(waiting.shortage(), "to read the socket tables");
        if (end == PollEnd::met || !in_parts) return waiting.pending();
        const timespec now = monotonic_now();
        status->show(waiting_line(waiting.pending().front(), nanoseconds_until(start, now), listening));
    }
}

std::string listed(const std::vector<std::uint16_t>& ports) {
    std::string text;
    for (std::uint16_t port : ports) text += (text.empty() ? "" : ", ") + std::to_string(port);
    return text;
}

}  // namespace

std::int64_t nanoseconds_of(double seconds) {
    constexpr double most = static_cast<double>(std::numeric_limits<std::int64_t>::max()) / 1e9;
    if (seconds >= most) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(seconds * 1e9);
}

void clear_status_line_on_interrupt() noexcept {
    if (status_shown != 0) (void)!::write(STDERR_FILENO, clear_line.data(), clear_line.size());
}

int run_wait(const Arguments& arguments, Answer& /*answer*/) {
    const bool listening = arguments.flag("listening");
    const double timeout = arguments.seconds("timeout").value_or(0);
    PortWait waiting(PortWaitRequest{arguments.ports, listening, std::nullopt});
    std::vector<std::uint16_t> pending;
    {
        std::optional<StatusLine> status;
        if (::isatty(STDERR_FILENO) == 1) status.emplace();
        pending = wait_for(waiting, nanoseconds_of(timeout), status ? &*status : nullptr, listening);
    }
    if (pending.empty()) return exit_ok;
    const char* goal = listening ? "nothing listens on" : "still not free";
    say(text::printable("velmor wait: timed out after " + seconds_text(timeout) + "s; " + goal + ": " + listed(pending)));
    return exit_fail;
}

}  // namespace velmor::command
