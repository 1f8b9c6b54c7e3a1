#pragma once
// The trial bind that decides whether a port is free. Plain system calls,
// nothing of the interpreter: callable with or without the interpreter lock.

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "core/system/unique_fd.hpp"

namespace velmor {

// A listening socket on 127.0.0.1 that this process opened only to try a
// port. While it is open the process knows it as its own trial (see
// is_own_trial), so that a search for the port's holders made by this very
// process does not take it for a holder.
class TrialListener {
public:
    TrialListener(TrialListener&& other) noexcept;
    TrialListener& operator=(TrialListener&&) = delete;
    TrialListener(const TrialListener&) = delete;
    TrialListener& operator=(const TrialListener&) = delete;
    ~TrialListener();

    int get() const noexcept { return fd_.get(); }

private:
    friend std::variant<TrialListener, int> open_listener(std::uint16_t port);
    TrialListener(UniqueFd fd, int slot) noexcept : fd_(std::move(fd)), slot_(slot) {}
    UniqueFd fd_;
    int slot_ = -1;  // in the table of trials; -1 when it found no room there
};

// An open, listening, close-on-exec socket on 127.0.0.1:port, or the error
// number of the step that failed (then nothing of the call is left open).
std::variant<TrialListener, int> open_listener(std::uint16_t port);

// True when a listener can be set up on 127.0.0.1:port right now. Never
// called with port 0, which would let the system choose a port.
bool probe_port(std::uint16_t port);

// The same trial, telling why it failed: 0 when the port is free, otherwise
// the error number of the step that failed.
int probe_error(std::uint16_t port);

// The port the system assigns to a trial listener on 127.0.0.1 port 0
// (closed again at once), or nothing when it cannot be opened.
std::optional<std::uint16_t> system_chosen_port();

// True when `fd` is, right now, a trial listener of this process.
bool is_own_trial(int fd) noexcept;

// The descriptors of this process's trial listeners open right now.
std::vector<int> own_trials();

}  // namespace velmor
