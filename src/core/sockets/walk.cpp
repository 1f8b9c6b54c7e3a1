#include "core/sockets/walk.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

namespace velmor {
namespace {

using platform::DescriptorListing;
using platform::Pid;
using platform::ProcessQueries;

// Descriptor entries to ask for beyond the reported count, and when there is no count.
constexpr std::size_t descriptor_slack = 32;
constexpr std::size_t descriptors_without_count = 4096;

class Walk {
public:
    Walk(ProcessQueries& queries, HolderVisitor& visitor) : queries_(queries), visitor_(visitor) {}

    // Visits one process's table; false when the visitor ends the walk.
    bool visit_process(Pid pid) {
        DescriptorListing& listing = listing_;
        std::size_t capacity = descriptors_without_count;
        if (std::optional<std::uint32_t> count = queries_.descriptor_count(pid)) {
            capacity = std::size_t{*count} + descriptor_slack;
        }
        if (!queries_.descriptors(pid, capacity, listing)) {
            if (!listing.inspectable) visitor_.unreadable(queries_, pid);
            return true;
        }
        if (!visit_listing(listing)) return false;
        if (listing.inspectable) {
            listed_.emplace_back(pid, !listing.entries.empty());
        } else {
            visitor_.unreadable(queries_, pid);
        }
        return true;
    }

    // Looks into the threads' own tables of the processes whose tables were
    // read, when a listed socket was held by none of them.
    void visit_threads() {
        if (!unaccounted_sockets() || !visitor_.still_looking()) return;
        std::vector<DescriptorListing> threads;
        for (const auto& [pid, own_table_listed] : listed_) {
            if (!queries_.thread_descriptors(pid, own_table_listed, threads)) continue;
            for (const DescriptorListing& listing : threads) {
                if (!visit_listing(listing)) return;
            }
        }
    }

private:
    bool visit_listing(const DescriptorListing& listing) {
        bool found_any = false;
        bool wanted = true;  // false once the visitor wants nothing more of the process
        for (const platform::Descriptor& descriptor : listing.entries) {
            if (!descriptor.maybe_socket) continue;
            std::optional<SocketInfo> socket = queries_.socket(listing, descriptor);
            if (!listing.inspectable) break;  // the system lets us see none of its descriptors
            if (!socket || !queries_.filter().wants(*socket)) continue;
            if (socket->id != 0) seen_.insert(socket->id);
            if (!wanted) {
                // Only to know which listed sockets have a holder.
                if (!accounting_) break;
                continue;
            }
            found_any = true;
            Step step = visitor_.found(queries_, listing, descriptor.fd, *socket);
            if (step == Step::stop) return false;
            if (step == Step::next_process) wanted = false;
        }
        if (found_any && visitor_.finished_process(queries_, listing.pid) == Step::stop) return false;
        return true;
    }

    bool unaccounted_sockets() const {
        for (const SocketInfo& socket : queries_.listed_sockets()) {
            if (socket.id != 0 && socket.state != SocketState::time_wait && !seen_.contains(socket.id)) return true;
        }
        return false;
    }

    ProcessQueries& queries_;
    HolderVisitor& visitor_;
    DescriptorListing listing_;
    std::vector<std::pair<Pid, bool>> listed_;  // processes whose table was read, and whether it had entries
    std::unordered_set<std::uint64_t> seen_;   // ids of the wanted sockets that some process holds
    // Whether listed sockets exist to account for: then a process's other
    // sockets are still looked at after the visitor is done with it.
    const bool accounting_ = !queries_.listed_sockets().empty();
};

}  // namespace

void walk_holders(ProcessQueries& queries, HolderVisitor& visitor, std::optional<std::span<const Pid>> only) {
    if (queries.lists_every_socket() && queries.listed_sockets().empty()) return;  // nothing to find
    std::vector<Pid> pids;
    if (only) {
        pids.assign(only->begin(), only->end());
    } else if (!queries.list(pids)) {
        return;
    }
    Walk walk(queries, visitor);
    std::unordered_set<Pid> visited;
    for (Pid pid : pids) {
        if (!visited.insert(pid).second) continue;
        if (!walk.visit_process(pid)) return;
    }
    walk.visit_threads();
}

}  // namespace velmor
