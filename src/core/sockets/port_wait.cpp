#include "core/sockets/port_wait.hpp"

#include <algorithm>

#include "core/sockets/free_check.hpp"
#include "core/sockets/socket_table.hpp"
#include "core/system/clock.hpp"

namespace velmor {
namespace {

constexpr std::int64_t tree_recheck_ns = 100'000'000;

SocketTable listeners_on(std::uint16_t port, bool holders, std::optional<std::vector<platform::Pid>> only) {
    TableRequest request;
    const std::uint16_t ports[] = {port};
    request.filter.add_ports(ports);
    request.filter.tcp_states = listening_states;
    request.holders = holders;
    request.only = std::move(only);
    return read_socket_table(request);
}

}  // namespace

PortWait::PortWait(PortWaitRequest request) : request_(std::move(request)), pending_(request_.ports) {
    not_ours_.resize(request_.ports.size());
}

bool PortWait::check() {
    shortage_ = 0;
    if (!request_.listening) {
        FreeCheck free = check_free(FreeRequest{pending_, false, true});
        if ((shortage_ = free.shortage) != 0) return false;
        std::vector<std::uint16_t> left;
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (free.verdicts[i] != FreeVerdict::free) left.push_back(pending_[i]);
        }
        pending_ = std::move(left);
        return pending_.empty();
    }
    std::vector<std::uint16_t> left;
    for (std::size_t i = 0; i < request_.ports.size(); ++i) {
        const std::uint16_t port = request_.ports[i];
        if (std::find(pending_.begin(), pending_.end(), port) == pending_.end()) continue;
        if (!done(i)) left.push_back(port);
        if (shortage_ != 0) return false;
    }
    pending_ = std::move(left);
    return pending_.empty();
}

bool PortWait::done(std::size_t index) {
    SocketTable listening = listeners_on(request_.ports[index], false, std::nullopt);
    if ((shortage_ = listening.shortage) != 0) return false;
    if (listening.sockets.empty() || !request_.pid) return !listening.sockets.empty();
    std::unordered_set<std::uint64_t> listeners;
    for (const TableSocket& entry : listening.sockets) listeners.insert(entry.socket.id);
    NotOurs& known = not_ours_[index];
    const bool all_known = std::all_of(listeners.begin(), listeners.end(),
                                       [&](std::uint64_t id) { return known.listeners.contains(id); });
    if (all_known && known.looked && nanoseconds_until(monotonic_now(), deadline_after_ns(*known.looked, tree_recheck_ns)) > 0) {
        return false;
    }
    return held_by_the_tree(index, listeners);
}

bool PortWait::held_by_the_tree(std::size_t index, const std::unordered_set<std::uint64_t>& listeners) {
    std::vector<platform::Pid> tree = platform::process_tree(*request_.pid, &shortage_);
    if (shortage_ != 0) return false;
    SocketTable held = listeners_on(request_.ports[index], true, std::move(tree));
    if ((shortage_ = held.shortage) != 0) return false;
    if (std::any_of(held.sockets.begin(), held.sockets.end(), [](const TableSocket& e) { return !e.holders.empty(); })) {
        return true;
    }
    not_ours_[index] = NotOurs{listeners, monotonic_now()};
    return false;
}

}  // namespace velmor
