#include "core/probe/listener.hpp"

#include "core/probe/loopback.hpp"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace velmor {
namespace {

constexpr int listen_backlog = 128;

// The descriptors of the trial listeners open right now, one slot each,
// holding the descriptor plus one (0: a free slot, so that the table needs
// no initialisation). Lock-free, so that a child forked while another thread
// was trying a port can never find it locked.
constexpr int trial_slots = 128;
std::array<std::atomic<int>, trial_slots> trials{};

void forget_trials_in_child() noexcept {
    // The threads whose trials these were do not exist in the child.
    for (auto& slot : trials) slot.store(0, std::memory_order_relaxed);
}

[[maybe_unused]] const int registered_at_fork = ::pthread_atfork(nullptr, nullptr, forget_trials_in_child);

int claim_slot(int fd) noexcept {
    for (int slot = 0; slot < trial_slots; ++slot) {
        int free = 0;
        if (trials[static_cast<std::size_t>(slot)].compare_exchange_strong(free, fd + 1, std::memory_order_acq_rel)) {
            return slot;
        }
    }
    return -1;  // more trials at once than slots: this one goes unrecorded
}

}  // namespace

TrialListener::TrialListener(TrialListener&& other) noexcept
    : fd_(std::move(other.fd_)), slot_(std::exchange(other.slot_, -1)) {}

TrialListener::~TrialListener() {
    // The slot is given up only after the close: until then the socket is ours.
    fd_.reset();
    if (slot_ >= 0) trials[static_cast<std::size_t>(slot_)].store(0, std::memory_order_release);
}

std::variant<TrialListener, int> open_listener(std::uint16_t port) {
    UniqueFd fd = loopback::close_on_exec_socket();
    if (!fd) return errno;
    // Known as a trial before it can listen, so before anyone can find it.
    int slot = claim_slot(fd.get());
    TrialListener listener(std::move(fd), slot);
    sockaddr_in address = loopback::address(port);
    bool listening =
#ifdef SO_NOSIGPIPE
        loopback::enable(listener.get(), SO_NOSIGPIPE) &&
#endif
        loopback::enable(listener.get(), SO_REUSEADDR) &&
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener.get(), listen_backlog) == 0;
    if (!listening) return errno;  // read before the descriptor closes on return
    return listener;
}

bool probe_port(std::uint16_t port) { return probe_error(port) == 0; }

int probe_error(std::uint16_t port) {
    auto listener = open_listener(port);
    if (auto* error = std::get_if<int>(&listener)) return *error == 0 ? EADDRINUSE : *error;
    return 0;
}

bool is_own_trial(int fd) noexcept {
    if (fd < 0) return false;
    for (const auto& slot : trials) {
        if (slot.load(std::memory_order_acquire) == fd + 1) return true;
    }
    return false;
}

std::vector<int> own_trials() {
    std::vector<int> open;
    for (const auto& slot : trials) {
        if (int held = slot.load(std::memory_order_acquire); held > 0) open.push_back(held - 1);
    }
    return open;
}

std::optional<std::uint16_t> system_chosen_port() {
    auto listener = open_listener(0);
    auto* trial = std::get_if<TrialListener>(&listener);
    if (trial == nullptr) return std::nullopt;
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t length = sizeof address;
    if (::getsockname(trial->get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return std::nullopt;
}

}  // namespace velmor
