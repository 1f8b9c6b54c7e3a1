// velmor watch: every listener there is now (=), then each one as it
// appears (+) and goes (-), with its holders, one line per holder as `ls`
// writes them (with --json one JSON object per line), until --timeout or
// Ctrl-C. A reader that has gone ends it even while nothing changes.

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "command/names.hpp"
#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "command/wrapping.hpp"
#include "core/sockets/listener_watch.hpp"
#include "core/sockets/socket_text.hpp"
#include "core/system/clock.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

// Every cell but the command is at least this wide, so that lines written
// one by one still line up as columns.
constexpr std::array<std::size_t, 8> least_widths{1, 12, 5, 15, 5, 7, 8, 15};
const Row header{"", "TIME", "PROTO", "ADDRESS", "PORT", "PID", "USER", "NAME", "COMMAND"};

const char* mark_of(ListenerEvent event) {
    switch (event) {
        case ListenerEvent::present: return "=";
        case ListenerEvent::appeared: return "+";
        case ListenerEvent::gone: return "-";
    }
    return "?";
}

std::tm local_time_of(const timespec& when) {
    std::tm local{};
    ::localtime_r(&when.tv_sec, &local);
    return local;
}

std::string milliseconds_of(const timespec& when) {
    char text[24];
    std::snprintf(text, sizeof text, ".%03ld", when.tv_nsec / nanoseconds_per_millisecond);
    return text;
}

// 10:51:07.734: local time to the millisecond.
std::string clock_text(const timespec& when) {
    const std::tm local = local_time_of(when);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text + milliseconds_of(when);
}

// +01:00 (and seconds where the offset has them), as ISO 8601 writes it.
std::string utc_offset_text(long offset) {
    const char sign = offset < 0 ? '-' : '+';
    const long size = offset < 0 ? -offset : offset;
    char text[48];
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", sign, size / 3600, size / 60 % 60);
    std::string written = text;
    if (size % 60 != 0) {
        std::snprintf(text, sizeof text, ":%02ld", size % 60);
        written += text;
    }
    return written;
}

// 2026-12-09T10:51:02.118+01:00: ISO 8601, local time with milliseconds and the UTC offset.
std::string iso_time_text(const timespec& when) {
    const std::tm local = local_time_of(when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text + milliseconds_of(when) + utc_offset_text(local.tm_gmtoff);
}

std::string watch_line(const Row& cells) {
    std::string line;
    for (std::size_t i = 0; i < least_widths.size(); ++i) line += padded(cells[i], least_widths[i]) + "  ";
    line += cells.back();
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return text::printable(line);
}

std::vector<Row> change_rows(const ListenerChange& change) {
    const SocketInfo& socket = change.socket;
    const Row start{mark_of(change.event), clock_text(change.time), protocol_name(socket.protocol),
                    address_cell(socket), std::to_string(socket.local.port)};
    std::vector<Row> rows;
    if (change.holders.empty()) {
        Row row = start;
        const std::string why = change.holders_read ? hidden_cell(ports::SocketEvidence{})
                                                    : "(closed before its holders were read)";
        row.insert(row.end(), {"-", user_cell(ports::owner_of(socket)), "-", why});
        rows.push_back(std::move(row));
    }
    for (const TableProcess& holder : change.holders) {
        Row row = start;
        Row cells = process_cells(holder);
        row.insert(row.end(), cells.begin(), cells.end());
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string change_json(const ListenerChange& change) {
    Json::Array processes;
    for (const TableProcess& holder : change.holders) processes.push_back(process_json(holder));
    Json::Object fields = socket_fields(change.socket, std::move(processes));
    fields.emplace_back("event", event_name(change.event));
    fields.emplace_back("time", iso_time_text(change.time));
    return Json(std::move(fields)).line();
}

// True when stdout is a pipe or socket whose reader has gone.
bool reader_gone() {
    pollfd out{STDOUT_FILENO, 0, 0};  // errors and hang-ups are reported anyway
    return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

// Writes the lines of `changes` and sends them out at once; a reader that
// has gone meanwhile is a failure to write, said on stderr.
void report(const std::vector<ListenerChange>& changes, bool json, Answer& answer) {
    try {
        for (const ListenerChange& change : changes) {
            if (json) {
                answer.line(change_json(change));
                continue;
            }
            for (const Row& row : change_rows(change)) answer.line(watch_line(row));
        }
        answer.flush();
    } catch (const ReaderGone&) {
        throw AnswerNotWritten{"broken pipe"};
    }
}

void pause_for(std::int64_t nanoseconds) {
    if (nanoseconds <= 0) return;
    timespec pause{static_cast<time_t>(nanoseconds / nanoseconds_per_second),
                   static_cast<long>(nanoseconds % nanoseconds_per_second)};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

// When the look after the one planned for `planned` is due: looks that
// fall behind are skipped, not caught up.
timespec next_look_after(const timespec& planned, const timespec& now) {
    const timespec next = deadline_after_ns(planned, watch_interval_ns);
    return reached(now, next) ? now : next;
}

std::optional<timespec> deadline_of(const Arguments& arguments, const timespec& start) {
    const std::optional<double> timeout = arguments.seconds("timeout");
    if (!timeout) return std::nullopt;
    return deadline_after_ns(start, nanoseconds_of(*timeout));
}

void require_reader() {
    if (reader_gone()) throw AnswerNotWritten{"the reader of standard output has gone"};
}

}  // namespace

int run_watch(const Arguments& arguments, Answer& answer) {
    const bool json = arguments.flag("json");
    if (!json) {
        answer.line(watch_line(header));
        answer.flush();
    }
    ListenerWatchRequest request;
    if (!arguments.ports.empty()) request.ports = arguments.ports;
    request.udp = arguments.flag("udp");
    ListenerWatch watch(std::move(request));

    const timespec start = monotonic_now();
    const std::optional<timespec> deadline = deadline_of(arguments, start);
    timespec next_look = start;
    timespec next_reader_check = deadline_after_ns(start, watch_reader_check_ns);
    for (;;) {
        const std::vector<ListenerChange> changes = watch.look();
        require_descriptors(watch.shortage(), "to read the socket tables and the processes");
        if (!changes.empty()) report(changes, json, answer);
        const timespec now = monotonic_now();
        if (reached(now, next_reader_check)) {
            require_reader();
            next_reader_check = deadline_after_ns(now, watch_reader_check_ns);
        }
        if (deadline && reached(now, *deadline)) break;
        next_look = next_look_after(next_look, now);
        pause_for(nanoseconds_until(now, deadline && reached(next_look, *deadline) ? *deadline : next_look));
    }
    require_reader();
    return exit_ok;
}

}  // namespace velmor::command
