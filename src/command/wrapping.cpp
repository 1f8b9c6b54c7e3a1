#include "command/wrapping.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace velmor::command {
namespace {

bool continues_character(char byte) noexcept { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Whitespace as the help texts hold it (they are ASCII): every run of it
// separates words.
bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The text as alternating runs of non-space and space ("chunks").
std::vector<std::string_view> chunks_of(std::string_view text) {
    std::vector<std::string_view> chunks;
    std::size_t start = 0;
    while (start < text.size()) {
        const bool space = is_space(text[start]);
        std::size_t end = start;
        while (end < text.size() && is_space(text[end]) == space) ++end;
        chunks.push_back(text.substr(start, end - start));
        start = end;
    }
    return chunks;
}

// A chunk of spaces (or an empty one, left by a word broken at a full line).
bool blank(std::string_view chunk) noexcept { return chunk.empty() || is_space(chunk.front()); }

// Columns of the terminal on stdout; 80 when it is none or does not say.
std::size_t terminal_columns() {
    winsize size{};
    if (::isatty(STDOUT_FILENO) != 1 || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 80;
    return size.ws_col;
}

// COLUMNS as a positive number (a huge one saturated), or 0.
std::size_t columns_variable() {
    const char* value = std::getenv("COLUMNS");
    if (value == nullptr || *value == '\0') return 0;
    std::size_t columns = 0;
    constexpr std::size_t most = std::numeric_limits<int>::max();
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') return 0;
        columns = std::min(most, columns * 10 + static_cast<std::size_t>(*c - '0'));
    }
    return columns;
}

}  // namespace

std::size_t characters(std::string_view text) noexcept {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !continues_character(c); }));
}

std::string_view first_characters(std::string_view text, std::size_t count) noexcept {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (continues_character(text[i])) continue;
        if (seen == count) return text.substr(0, i);
        ++seen;
    }
    return text;
}

std::string padded(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t length = characters(text);
    if (length < width) out.append(width - length, ' ');
    return out;
}

// Fills lines greedily with whole chunks; a word longer than a line is
// broken at the line's end; the spaces at a line's end, and at the start
// of every line but the first, are dropped.
std::vector<std::string> wrap_text(std::string_view text, std::size_t width, std::string_view indent) {
    std::vector<std::string_view> pending = chunks_of(text);
    std::reverse(pending.begin(), pending.end());
    std::vector<std::string> lines;
    while (!pending.empty()) {
        const std::size_t room = width > indent.size() ? width - indent.size() : 0;
        if (!lines.empty() && blank(pending.back())) pending.pop_back();
        std::vector<std::string_view> line;
        std::size_t used = 0;
        while (!pending.empty() && used + pending.back().size() <= room) {
            used += pending.back().size();
            line.push_back(pending.back());
            pending.pop_back();
        }
        if (!pending.empty() && pending.back().size() > room) {
            const std::size_t cut = room < 1 ? 1 : room - used;
            line.push_back(pending.back().substr(0, cut));
            pending.back() = pending.back().substr(std::min(cut, pending.back().size()));
        }
        if (!line.empty() && blank(line.back())) line.pop_back();
        if (line.empty()) continue;
        std::string joined_line(indent);
        for (std::string_view chunk : line) joined_line += chunk;
        lines.push_back(std::move(joined_line));
    }
    if (lines.empty()) lines.emplace_back();
    return lines;
}

std::vector<std::string> wrap_item(std::string_view label, std::string_view text, std::size_t width,
                                   std::size_t column) {
    if (width < column + 20) column = 8;
    const std::string head = "  " + std::string(label);
    const std::string indent(column, ' ');
    std::vector<std::string> lines = wrap_text(text, width, indent);
    if (head.size() > column - 2) {
        std::vector<std::string> below{head};
        for (std::string& line : lines) below.push_back(std::move(line));
        return below;
    }
    std::string& first = lines[0];  // wrap_text gives one line at least
    first = padded(head, column) + (first.size() > column ? first.substr(column) : std::string());
    return lines;
}

std::vector<std::string> wrap_usage(std::string_view usage, std::size_t width) {
    const std::size_t split = usage.find(" [");
    const std::string head = "usage: " + std::string(usage.substr(0, split));
    if (split == std::string_view::npos) return {"usage: " + std::string(usage)};
    std::string_view rest = usage.substr(split + 2);
    if (head.size() + 1 + rest.size() + 1 <= width) return {"usage: " + std::string(usage)};
    const std::string indent(std::min(head.size() + 1, width / 2), ' ');
    std::vector<std::string> lines;
    std::string line = head;
    while (true) {
        const std::size_t next = rest.find(" [");
        std::string part = "[" + std::string(rest.substr(0, next));
        const bool line_has_text = line.find_first_not_of(' ') != std::string::npos;
        if (line.size() + 1 + part.size() > width && line_has_text) {
            lines.push_back(line);
            line = indent + part;
        } else {
            line += " " + part;
        }
        if (next == std::string_view::npos) break;
        rest = rest.substr(next + 2);
    }
    lines.push_back(line);
    return lines;
}

std::size_t help_width() {
    std::size_t width = columns_variable();
    if (width == 0) width = terminal_columns();
    return std::max<std::size_t>(width > 2 ? width - 2 : 0, 30);
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0) out += '\n';
        out += lines[i];
    }
    return out;
}

}  // namespace velmor::command
