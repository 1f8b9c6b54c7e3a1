#pragma once
// The owner searches: one walk over every visible process for the holders
// of one port or of several. Run without the interpreter lock and touch
// nothing of the interpreter.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>

#include "core/platform/process_queries.hpp"
#include "core/sockets/port_owner.hpp"

namespace velmor {

// Every process holding `port`, in process-list order, one record per pid.
// With `listening_only`, only TCP sockets in the LISTEN state count;
// otherwise TCP sockets in any state and the other internet sockets do. A
// holder whose name cannot be read is left out.
PortOwners find_owners(std::uint16_t port, bool listening_only);

// The first listening owner of `port` in process-list order; the walk stops there.
std::optional<PortOwner> find_first_listener(std::uint16_t port);

// For each port of `ports` (nonzero, duplicates allowed), its first listening
// owner in process-list order, all from a single walk. The result is
// parallel to `ports`. Only ports with a listening socket are looked for.
std::vector<std::optional<PortOwner>> find_first_listeners(std::span<const std::uint16_t> ports);

// The first listening owners of several ports in two steps, so that the
// caller can probe in between: the socket tables are read when the search
// is made, and `candidates()` are then the ports on which some TCP socket
// listens (every port of `ports` where the system has no tables to read).
class FirstListenerSearch {
public:
    explicit FirstListenerSearch(std::span<const std::uint16_t> ports);
    ~FirstListenerSearch();
    FirstListenerSearch(const FirstListenerSearch&) = delete;
    FirstListenerSearch& operator=(const FirstListenerSearch&) = delete;

    // Sorted, once each.
    const std::vector<std::uint16_t>& candidates() const noexcept { return candidates_; }

    // The first listening owner of each port of `ports`, parallel to it, from
    // one walk; ports that are not candidates have none.
    std::vector<std::optional<PortOwner>> owners(std::span<const std::uint16_t> ports);

private:
    std::unique_ptr<platform::ProcessQueries> queries_;
    std::vector<std::uint16_t> candidates_;
};

// Every process that holds a socket of any kind on `port`, in process-list
// order, one record per pid, named or not (the name is not needed to stop
// a process). This process's own trial listeners do not make it a holder.
PortOwners find_holders(std::uint16_t port);

// The sockets find_holders looks for on `port`.
SocketFilter holder_filter(std::uint16_t port);

// The socket ids of this process's trial listeners open right now: they hold
// nothing, in this process or in a child that has a copy of them between
// fork and exec.
std::unordered_set<std::uint64_t> own_trial_ids();

}  // namespace velmor
