// The owner searches, each a policy over the one walk (walk.cpp).

#include "core/sockets/find_owners.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <unordered_set>
#include <utility>

#include "core/probe/listener.hpp"
#include "core/sockets/walk.hpp"

namespace velmor {
namespace {

using platform::DescriptorListing;
using platform::Pid;
using platform::ProcessQueries;

SocketFilter port_filter(std::span<const std::uint16_t> ports, bool listening_only) {
    SocketFilter filter;
    filter.add_ports(ports);
    if (listening_only) {
        filter.tcp_states = listening_states;
    } else {
        filter.tcp_states = held_states;
        filter.udp_states = held_states;
        filter.other = true;
    }
    return filter;
}

platform::HeldSocket held_at(const DescriptorListing& listing, int fd, const SocketInfo& socket) {
    return {listing.pid, listing.task, fd, socket.id};
}

// One record per process, at its first counting socket, up to `limit`. A
// holder without a readable name is left out.
class OwnerSearch final : public HolderVisitor {
public:
    explicit OwnerSearch(std::size_t limit) : limit_(limit) {}

    Step found(ProcessQueries& queries, const DescriptorListing& listing, int fd, const SocketInfo& socket) override {
        if (recorded_.contains(listing.pid)) return Step::next_descriptor;
        std::optional<std::string> name = queries.name(listing.pid);
        if (!name) return Step::next_process;
        recorded_.insert(listing.pid);
        owners_.push_back(PortOwner{listing.pid, std::move(*name), queries.command(listing.pid).value_or(std::string{}),
                                    held_at(listing, fd, socket)});
        return owners_.size() >= limit_ ? Step::stop : Step::next_process;
    }

    bool still_looking() const override { return owners_.size() < limit_; }

    PortOwners take() { return std::move(owners_); }

private:
    const std::size_t limit_;
    std::unordered_set<Pid> recorded_;
    PortOwners owners_;
};

// Holders to stop: a socket that is one of this process's own trial
// listeners holds nothing, in this process or in a child that has a copy of
// it between fork and exec.
class HolderSearch final : public HolderVisitor {
public:
    HolderSearch() : trial_ids_(own_trial_ids()) {}

    Step found(ProcessQueries& queries, const DescriptorListing& listing, int fd, const SocketInfo& socket) override {
        if (recorded_.contains(listing.pid) || is_trial(listing, fd, socket)) return Step::next_descriptor;
        recorded_.insert(listing.pid);
        owners_.push_back(PortOwner{listing.pid, queries.name_bytes(listing.pid).value_or(std::string{}),
                                    queries.command_bytes(listing.pid).value_or(std::string{}),
                                    held_at(listing, fd, socket)});
        return Step::next_process;
    }

    PortOwners take() { return std::move(owners_); }

private:
    bool is_trial(const DescriptorListing& listing, int fd, const SocketInfo& socket) const {
        if (trial_ids_.contains(socket.id)) return true;
        return listing.pid == self_ && listing.task == 0 && is_own_trial(fd);
    }

    const Pid self_ = static_cast<Pid>(::getpid());
    const std::unordered_set<std::uint64_t> trial_ids_;
    std::unordered_set<Pid> recorded_;
    PortOwners owners_;
};

// The first listener of each of several ports.
class FirstListeners final : public HolderVisitor {
public:
    explicit FirstListeners(std::vector<std::uint16_t> ports) : ports_(std::move(ports)), owners_(ports_.size()) {
        unowned_ = ports_.size();
    }

    Step found(ProcessQueries&, const DescriptorListing& listing, int fd, const SocketInfo& socket) override {
        std::optional<std::size_t> slot = slot_of(socket.local.port);
        if (!slot || owners_[*slot]) return Step::next_descriptor;
        bool seen = std::any_of(hits_.begin(), hits_.end(), [&](const auto& hit) { return hit.first == *slot; });
        if (!seen) hits_.emplace_back(*slot, held_at(listing, fd, socket));
        return hits_.size() == unowned_ ? Step::next_process : Step::next_descriptor;
    }

    Step finished_process(ProcessQueries& queries, Pid pid) override {
        if (hits_.empty()) return Step::next_descriptor;
        std::optional<std::string> name = queries.name(pid);
        if (name) {
            std::string cmd = queries.command(pid).value_or(std::string{});
            for (const auto& [slot, held] : hits_) owners_[slot] = PortOwner{pid, *name, cmd, held};
            unowned_ -= hits_.size();
        }
        hits_.clear();
        return unowned_ == 0 ? Step::stop : Step::next_descriptor;
    }

    bool still_looking() const override { return unowned_ > 0; }

    std::optional<PortOwner> owner_of(std::uint16_t port) const {
        std::optional<std::size_t> slot = slot_of(port);
        return slot ? owners_[*slot] : std::nullopt;
    }

private:
    std::optional<std::size_t> slot_of(std::uint16_t port) const {
        auto it = std::lower_bound(ports_.begin(), ports_.end(), port);
        if (it == ports_.end() || *it != port) return std::nullopt;
        return static_cast<std::size_t>(it - ports_.begin());
    }

    const std::vector<std::uint16_t> ports_;  // sorted, distinct
    std::vector<std::optional<PortOwner>> owners_;
    std::size_t unowned_ = 0;
    std::vector<std::pair<std::size_t, platform::HeldSocket>> hits_;  // of the process being examined
};

PortOwners search(std::uint16_t port, bool listening_only, std::size_t limit) {
    const std::uint16_t wanted[] = {port};
    ProcessQueries queries(port_filter(wanted, listening_only));
    OwnerSearch visitor(limit);
    walk_holders(queries, visitor);
    return visitor.take();
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

FirstListenerSearch::FirstListenerSearch(std::span<const std::uint16_t> ports)
    : queries_(std::make_unique<ProcessQueries>(port_filter(ports, true))) {
    for (std::uint16_t port : ports) {
        if (queries_->may_be_held(port)) candidates_.push_back(port);
    }
    std::sort(candidates_.begin(), candidates_.end());
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
}

FirstListenerSearch::~FirstListenerSearch() = default;

std::vector<std::optional<PortOwner>> FirstListenerSearch::owners(std::span<const std::uint16_t> ports) {
    std::vector<std::uint16_t> sought;
    for (std::uint16_t port : ports) {
        if (std::binary_search(candidates_.begin(), candidates_.end(), port)) sought.push_back(port);
    }
    std::sort(sought.begin(), sought.end());
    sought.erase(std::unique(sought.begin(), sought.end()), sought.end());

    std::vector<std::optional<PortOwner>> result(ports.size());
    if (sought.empty()) return result;
    FirstListeners visitor(std::move(sought));
    walk_holders(*queries_, visitor);
    for (std::size_t i = 0; i < ports.size(); ++i) result[i] = visitor.owner_of(ports[i]);
    return result;
}

std::vector<std::optional<PortOwner>> find_first_listeners(std::span<const std::uint16_t> ports) {
    return FirstListenerSearch(ports).owners(ports);
}

std::unordered_set<std::uint64_t> own_trial_ids() {
    std::unordered_set<std::uint64_t> ids;
    for (int fd : own_trials()) {
        if (std::optional<std::uint64_t> id = platform::socket_id_of(fd)) ids.insert(*id);
    }
    return ids;
}

SocketFilter holder_filter(std::uint16_t port) {
    const std::uint16_t wanted[] = {port};
    return port_filter(wanted, false);
}

PortOwners find_holders(std::uint16_t port) {
    ProcessQueries queries(holder_filter(port));
    HolderSearch visitor;
    walk_holders(queries, visitor);
    return visitor.take();
}

}  // namespace velmor
