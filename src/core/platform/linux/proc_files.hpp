#pragma once
// Reading procfs on Linux: whole small files, directory listings, numbers.

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/system/unique_fd.hpp"

namespace velmor::platform::linux_proc {

inline constexpr std::size_t directory_buffer_size = 32 * 1024;

// Parses a whole number of type T in `base`; empty on anything else.
template <typename T>
std::optional<T> parse_number(std::string_view text, int base = 10) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

inline bool is_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "N" or "N/tail" for a number N, into `buffer`; a NUL-terminated path.
template <std::size_t Size>
const char* number_path(char (&buffer)[Size], std::uint64_t number, std::string_view tail = {}) {
    auto end = std::to_chars(buffer, buffer + Size - tail.size() - 1, number).ptr;
    if (!tail.empty()) std::memcpy(end, tail.data(), tail.size());  // an empty view may hold no pointer
    end[tail.size()] = '\0';
    return buffer;
}

// Reads the whole of (or the first `limit` bytes of) `path` under `dir`.
inline bool read_file(int dir, const char* path, std::size_t limit, std::string& out) {
    UniqueFd file(::openat(dir, path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file) return false;
    out.resize(limit);
    std::size_t size = 0;
    while (size < limit) {
        ssize_t got = ::read(file.get(), out.data() + size, limit - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        size += static_cast<std::size_t>(got);
    }
    out.resize(size);
    return true;
}

// The header of a directory entry as getdents64 lays it out. Declared here
// because glibc before 2.30 declares neither the call nor its record.
struct DirectoryEntryHeader {
    std::uint64_t inode;
    std::int64_t offset;
    unsigned short record_length;
    unsigned char type;
};
inline constexpr std::size_t directory_entry_name_offset = 19;

// Calls `entry(name)` for each entry of the directory `dir`, in the order
// the kernel gives them. False when the listing fails.
template <typename Entry>
bool for_each_entry(int dir, std::vector<char>& buffer, Entry entry) {
    // Read until the empty reply: procfs may end a reply early with room to
    // spare (seen in about 3% of /proc listings while the caller's own
    // children come and go), and stopping there would miss processes.
    buffer.resize(directory_buffer_size);
    for (;;) {
        long got = ::syscall(SYS_getdents64, dir, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        auto end = static_cast<std::size_t>(got);
        for (std::size_t at = 0; at + directory_entry_name_offset <= end;) {
            DirectoryEntryHeader header;
            std::memcpy(&header, buffer.data() + at, sizeof header);
            if (header.record_length == 0) break;
            const char* name = buffer.data() + at + directory_entry_name_offset;
            entry(std::string_view(name, ::strnlen(name, end - at - directory_entry_name_offset)));
            at += header.record_length;
        }
    }
}

// The numeric entries of `dir` (pids, thread ids, descriptor numbers), in order.
template <typename T>
bool list_numbers(int dir, std::vector<char>& buffer, std::vector<T>& out) {
    out.clear();
    return for_each_entry(dir, buffer, [&](std::string_view name) {
        if (!is_digits(name)) return;
        if (std::optional<T> number = parse_number<T>(name)) out.push_back(*number);
    });
}

// The pids of this /proc are the pids of our own pid namespace: /proc/self
// names our pid. A /proc mounted for another pid namespace names processes
// by numbers that mean other processes to kill(2) and pidfd_open(2).
inline bool proc_is_ours() {
    char link[32];
    ssize_t size = ::readlink("/proc/self", link, sizeof link);
    if (size <= 0) return false;
    std::optional<long> pid = parse_number<long>(std::string_view(link, static_cast<std::size_t>(size)));
    return pid && *pid == static_cast<long>(::getpid());
}

}  // namespace velmor::platform::linux_proc
