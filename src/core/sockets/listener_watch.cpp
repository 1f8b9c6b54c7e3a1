#include "core/sockets/listener_watch.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

#include "core/system/clock.hpp"

namespace velmor {
namespace {


// The order of a listing: port, IPv4 before IPv6, the address as a number, then the protocol.
bool listed_before(const ListenerChange& a, const ListenerChange& b) {
    const SocketInfo& x = a.socket;
    const SocketInfo& y = b.socket;
    return std::tie(x.local.port, x.family, x.local.address, x.protocol) <
           std::tie(y.local.port, y.family, y.local.address, y.protocol);
}

// The pids the system lists now; none where it lists none.
std::optional<std::unordered_set<platform::Pid>> visible_processes() {
    platform::ProcessQueries queries{SocketFilter{}};
    std::vector<platform::Pid> pids;
    if (!queries.list(pids)) return std::nullopt;
    return std::unordered_set<platform::Pid>(pids.begin(), pids.end());
}

}  // namespace

const char* event_name(ListenerEvent event) noexcept {
    switch (event) {
        case ListenerEvent::present:
            return "present";
        case ListenerEvent::appeared:
            return "appeared";
        case ListenerEvent::gone:
            break;
    }
    return "gone";
}

ListenerWatch::ListenerWatch(ListenerWatchRequest request) : request_(std::move(request)) {
    walked_ = visible_processes().value_or(std::unordered_set<platform::Pid>{});
}

ListenerWatch::Identity ListenerWatch::identity_of(const SocketInfo& socket) {
    if (socket.id != 0) return {socket.id, Protocol::tcp, Family::ipv4, {}, 0};
    return {0, socket.protocol, socket.family, socket.local.address, socket.local.port};
}

TableRequest ListenerWatch::request_for(std::optional<std::vector<std::uint16_t>> ports, bool holders) const {
    TableRequest request;
    if (ports) {
        request.filter.add_ports(*ports);
    } else {
        request.filter.add_every_port();
    }
    request.filter.tcp_states = listening_states;
    if (request_.udp) request.filter.udp_states = udp_listening_states;
    request.holders = holders;
    return request;
}

std::vector<ListenerChange> ListenerWatch::look() {
    const timespec when = wall_clock_now();
    SocketTable table = read_socket_table(request_for(request_.ports, false));
    if ((shortage_ = table.shortage) != 0) return {};
    std::vector<SocketInfo> listeners;
    std::set<Identity> identities;
    for (const TableSocket& entry : table.sockets) {
        listeners.push_back(entry.socket);
        identities.insert(identity_of(entry.socket));
    }
    if (last_ && *last_ == identities) return {};  // at rest: nothing else is done
    const bool first = !last_.has_value();

    std::vector<SocketInfo> fresh;
    for (const SocketInfo& socket : listeners) {
        if (!known_.contains(identity_of(socket))) fresh.push_back(socket);
    }
    std::vector<ListenerChange> came = with_holders(fresh, first ? ListenerEvent::present : ListenerEvent::appeared, when);
    if (shortage_ != 0) return {};

    std::vector<ListenerChange> changes;
    for (auto known = known_.begin(); known != known_.end();) {
        if (identities.contains(known->first)) {
            ++known;
            continue;
        }
        ListenerChange gone = std::move(known->second);
        gone.event = ListenerEvent::gone;
        gone.time = when;
        changes.push_back(std::move(gone));
        known = known_.erase(known);
    }
    std::sort(changes.begin(), changes.end(), listed_before);
    for (ListenerChange& change : came) {
        known_.insert_or_assign(identity_of(change.socket), change);
        changes.push_back(std::move(change));
    }
    last_ = std::move(identities);
    return changes;
}

std::vector<ListenerChange> ListenerWatch::with_holders(const std::vector<SocketInfo>& sockets, ListenerEvent event,
                                                        const timespec& when) {
    if (sockets.empty()) return {};
    std::vector<std::uint16_t> ports;
    for (const SocketInfo& socket : sockets) ports.push_back(socket.local.port);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    TableRequest request = request_for(std::move(ports), true);
    request.only = newest_first();
    SocketTable walked = read_socket_table(request);
    if ((shortage_ = walked.shortage) != 0) return {};

    std::map<Identity, const TableSocket*> by_identity;
    for (const TableSocket& entry : walked.sockets) by_identity.emplace(identity_of(entry.socket), &entry);
    std::vector<ListenerChange> changes;
    for (const SocketInfo& socket : sockets) {
        ListenerChange change{event, when, socket, {}, false};
        if (auto found = by_identity.find(identity_of(socket)); found != by_identity.end()) {
            change.socket = found->second->socket;
            change.holders_read = true;
            for (const TableHolder& holder : found->second->holders) {
                change.holders.push_back(walked.processes[holder.process]);
            }
        }
        changes.push_back(std::move(change));
    }
    return changes;
}

// Every process, those started since the last walk first: a listener that
// lives a few milliseconds is most often opened by a process just started,
// and the walk reaches it before it closes. (Pids are reused, so their
// numbers do not tell which are new.) None (every process, in the system's
// order) where the system lists none.
std::optional<std::vector<platform::Pid>> ListenerWatch::newest_first() {
    std::optional<std::unordered_set<platform::Pid>> now = visible_processes();
    if (!now || now->empty()) return std::nullopt;
    std::vector<platform::Pid> started;
    std::vector<platform::Pid> seen;
    for (platform::Pid pid : *now) (walked_.contains(pid) ? seen : started).push_back(pid);
    std::sort(started.begin(), started.end());
    std::sort(seen.begin(), seen.end());
    started.insert(started.end(), seen.begin(), seen.end());
    walked_ = std::move(*now);
    return started;
}

}  // namespace velmor
