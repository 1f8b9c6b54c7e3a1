// The owner search: walks the processes in list order through the process
// queries and keeps those holding a socket that counts. Platform-independent;
// the platform lives behind owners/process_queries.hpp.

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "owners/find_owners.hpp"
#include "owners/process_queries.hpp"

namespace velmor {
namespace {

using owners::Descriptor;
using owners::Pid;
using owners::ProcessQueries;
using owners::SocketDetails;
using owners::SocketKind;

// Descriptor entries to ask for beyond the reported count, and when there is no count.
constexpr std::size_t descriptor_slack = 32;
constexpr std::size_t descriptors_without_count = 4096;

bool socket_counts(const SocketDetails& socket, bool listening_only) {
    switch (socket.kind) {
        case SocketKind::tcp:
            return !listening_only || socket.listening;
        case SocketKind::internet:
            return !listening_only;
        case SocketKind::other:
            break;
    }
    return false;
}

bool list_descriptors(ProcessQueries& queries, Pid pid, std::vector<Descriptor>& out) {
    std::optional<std::uint32_t> count = queries.descriptor_count(pid);
    std::size_t capacity = count ? std::size_t{*count} + descriptor_slack : descriptors_without_count;
    return queries.descriptors(pid, capacity, out);
}

// The first counting socket of a process, as found in descriptor order.
struct Hit {
    int fd = -1;
    std::uint64_t socket_id = 0;
};

// Every holder of `port`, or only the first `limit` of them.
PortOwners search(std::uint16_t port, bool listening_only, std::size_t limit) {
    const std::uint16_t wanted[] = {port};
    ProcessQueries queries({wanted, listening_only});
    PortOwners found;
    if (!queries.may_be_held(port)) return found;

    std::vector<Pid> pids;
    if (!queries.list(pids)) return found;

    std::unordered_set<Pid> recorded;
    std::vector<Descriptor> descriptors;
    for (Pid pid : pids) {
        if (recorded.contains(pid)) continue;
        if (!list_descriptors(queries, pid, descriptors)) continue;
        std::optional<Hit> hit;
        for (const Descriptor& descriptor : descriptors) {
            if (!descriptor.maybe_socket) continue;
            std::optional<SocketDetails> socket = queries.socket(pid, descriptor);
            if (!socket || socket->local_port != port || !socket_counts(*socket, listening_only)) continue;
            hit = Hit{descriptor.fd, socket->id};
            break;
        }
        if (!hit) continue;
        // A holder without a readable name is left out.
        std::optional<std::string> name = queries.name(pid);
        if (!name) continue;
        recorded.insert(pid);
        found.push_back(PortOwner{pid, std::move(*name), queries.path(pid).value_or(std::string{}), hit->fd,
                                  hit->socket_id});
        if (found.size() >= limit) break;
    }
    return found;
}

}  // namespace

PortOwners find_owners(std::uint16_t port, bool listening_only) {
    return search(port, listening_only, static_cast<std::size_t>(-1));
}

std::optional<PortOwner> find_first_listener(std::uint16_t port) {
    PortOwners found = search(port, true, 1);
    if (found.empty()) return std::nullopt;
    return std::move(found.front());
}

std::vector<std::optional<PortOwner>> find_first_listeners(std::span<const std::uint16_t> ports) {
    std::vector<std::optional<PortOwner>> result(ports.size());
    ProcessQueries queries({ports, true});

    // The distinct ports that some socket may hold, sorted for lookup; a
    // port with no candidate socket keeps no answer and is not waited for.
    std::vector<std::uint16_t> busy;
    for (std::uint16_t port : ports) {
        if (queries.may_be_held(port)) busy.push_back(port);
    }
    std::sort(busy.begin(), busy.end());
    busy.erase(std::unique(busy.begin(), busy.end()), busy.end());
    if (busy.empty()) return result;

    auto slot_of = [&](std::uint16_t port) -> std::optional<std::size_t> {
        auto it = std::lower_bound(busy.begin(), busy.end(), port);
        if (it == busy.end() || *it != port) return std::nullopt;
        return static_cast<std::size_t>(it - busy.begin());
    };

    std::vector<Pid> pids;
    if (!queries.list(pids)) return result;

    std::vector<std::optional<PortOwner>> owners(busy.size());
    std::size_t unowned = busy.size();
    std::unordered_set<Pid> visited;
    std::vector<Descriptor> descriptors;
    // Per process: the ports still without an owner that it holds, each with
    // its first counting socket.
    std::vector<std::pair<std::size_t, Hit>> hits;
    for (Pid pid : pids) {
        if (!visited.insert(pid).second) continue;
        if (!list_descriptors(queries, pid, descriptors)) continue;
        hits.clear();
        for (const Descriptor& descriptor : descriptors) {
            if (!descriptor.maybe_socket) continue;
            std::optional<SocketDetails> socket = queries.socket(pid, descriptor);
            if (!socket || !socket_counts(*socket, true)) continue;
            std::optional<std::size_t> slot = slot_of(socket->local_port);
            if (!slot || owners[*slot]) continue;
            bool seen = std::any_of(hits.begin(), hits.end(), [&](const auto& h) { return h.first == *slot; });
            if (seen) continue;
            hits.emplace_back(*slot, Hit{descriptor.fd, socket->id});
            if (hits.size() == unowned) break;
        }
        if (hits.empty()) continue;
        std::optional<std::string> name = queries.name(pid);
        if (!name) continue;
        std::string cmd = queries.path(pid).value_or(std::string{});
        for (const auto& [slot, hit] : hits) {
            owners[slot] = PortOwner{pid, *name, cmd, hit.fd, hit.socket_id};
        }
        unowned -= hits.size();
        if (unowned == 0) break;
    }

    for (std::size_t i = 0; i < ports.size(); ++i) {
        if (std::optional<std::size_t> slot = slot_of(ports[i])) result[i] = owners[*slot];
    }
    return result;
}

}  // namespace velmor
