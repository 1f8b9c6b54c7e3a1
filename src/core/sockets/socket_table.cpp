#include "core/sockets/socket_table.hpp"

#include <algorithm>
#include <bitset>
#include <tuple>
#include <unordered_map>

#include "core/probe/listener.hpp"
#include "core/system/clock.hpp"
#include "core/sockets/walk.hpp"

namespace velmor {
namespace {

using platform::DescriptorListing;
using platform::Pid;
using platform::ProcessQueries;

// Collects holders per socket: listed sockets by their place in the
// listing, others (platforms without socket tables) as they are found.
class TableBuilder final : public HolderVisitor {
public:
    TableBuilder(const TableRequest& request, const ProcessQueries& queries)
        : pick_(request.pick), order_(request.order) {
        std::span<const SocketInfo> listed = queries.listed_sockets();
        table_.lists_every_socket = queries.lists_every_socket();
        table_.sockets.reserve(listed.size());
        for (const SocketInfo& socket : listed) {
            if (socket.id != 0) index_.emplace(socket.id, table_.sockets.size());
            table_.sockets.push_back(TableSocket{socket, {}});
        }
        if (pick_ == HolderPick::first_named) count_unowned_ports(request.filter, queries);
    }

    Step found(ProcessQueries& queries, const DescriptorListing& listing, int fd, const SocketInfo& socket) override {
        if (pick_ == HolderPick::first_named) return found_first(queries, listing, fd, socket);
        if (socket.id == 0) return Step::next_descriptor;
        add_holder(entry_of(socket), process_index(listing.pid), listing.task, fd);
        return Step::next_descriptor;
    }

    Step finished_process(ProcessQueries& queries, Pid pid) override {
        if (pick_ != HolderPick::first_named || pending_.empty()) return Step::next_descriptor;
        return settle(queries, pid) == Step::stop ? Step::stop : Step::next_descriptor;
    }

    void unreadable(ProcessQueries&, Pid pid) override { unreadable_.push_back(pid); }

    bool still_looking() const override { return pick_ == HolderPick::every || unowned_ > 0; }

    SocketTable finish(ProcessQueries& queries) {
        if (pick_ == HolderPick::every) describe_processes(queries);
        table_.shortage = queries.descriptor_shortage();
        std::sort(table_.sockets.begin(), table_.sockets.end(), [](const TableSocket& a, const TableSocket& b) {
            const SocketInfo& x = a.socket;
            const SocketInfo& y = b.socket;
            return std::tie(x.local.port, x.family, x.local.address, x.protocol, x.state, x.remote.address,
                            x.remote.port, x.id) < std::tie(y.local.port, y.family, y.local.address, y.protocol,
                                                            y.state, y.remote.address, y.remote.port, y.id);
        });
        return std::move(table_);
    }

private:
    struct Pending {
        SocketInfo socket;
        Pid task = 0;
        int fd = -1;
    };

    // first_named: a socket of the process being examined on a port that
    // has no holder yet. Once the process holds every such port, it is
    // named (or passed over) at once, and its other descriptors are spared.
    Step found_first(ProcessQueries& queries, const DescriptorListing& listing, int fd, const SocketInfo& socket) {
        const std::uint16_t port = socket.local.port;
        if (owned_.test(port)) return Step::next_descriptor;
        // A port the tables did not list (a socket opened since they were read) is looked for too.
        if (!sought_.test(port)) {
            sought_.set(port);
            ++unowned_;
        }
        bool new_port = std::none_of(pending_.begin(), pending_.end(),
                                     [&](const Pending& hit) { return hit.socket.local.port == port; });
        pending_.push_back(Pending{socket, listing.task, fd});
        if (new_port) ++pending_ports_;
        return pending_ports_ == unowned_ ? settle(queries, listing.pid) : Step::next_descriptor;
    }

    // Names the process of the pending sockets, which become its holdings,
    // or passes it over when its name does not read: stop once every port
    // has its holder, else on to the next process.
    Step settle(ProcessQueries& queries, Pid pid) {
        if (std::optional<std::string> name = queries.name(pid)) {
            std::size_t process = process_index(pid);
            table_.processes[process].name = std::move(*name);
            table_.processes[process].command = queries.command(pid).value_or(std::string{});
            for (const Pending& hit : pending_) {
                add_holder(entry_of(hit.socket), process, hit.task, hit.fd);
                if (!owned_.test(hit.socket.local.port)) {
                    owned_.set(hit.socket.local.port);
                    --unowned_;
                }
            }
        }
        pending_.clear();
        pending_ports_ = 0;
        return unowned_ == 0 ? Step::stop : Step::next_process;
    }

    static TableProcess described(ProcessQueries& queries, Pid pid) {
        return TableProcess{pid, queries.name_bytes(pid).value_or(std::string{}),
                            queries.command_bytes(pid).value_or(std::string{}), queries.uid(pid)};
    }

    // The ports a first_named read looks for: those that may be held.
    void count_unowned_ports(const SocketFilter& filter, const ProcessQueries& queries) {
        for (std::uint32_t port = filter.lowest_port(); port <= filter.highest_port(); ++port) {
            auto number = static_cast<std::uint16_t>(port);
            if (filter.wants_port(number) && queries.may_be_held(number)) {
                sought_.set(number);
                ++unowned_;
            }
        }
    }

    // Names every process the walk found (and, when a socket was left
    // without a holder, those whose descriptors could not be read), in the
    // order asked for.
    void describe_processes(ProcessQueries& queries) {
        if (has_unheld_socket()) {
            std::sort(unreadable_.begin(), unreadable_.end());
            unreadable_.erase(std::unique(unreadable_.begin(), unreadable_.end()), unreadable_.end());
            for (Pid pid : unreadable_) table_.unreadable.push_back(described(queries, pid));
        }
        std::vector<std::size_t> order(table_.processes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        if (order_ == ProcessOrder::by_pid) {
            std::sort(order.begin(), order.end(),
                      [&](std::size_t a, std::size_t b) { return table_.processes[a].pid < table_.processes[b].pid; });
        }
        std::vector<std::size_t> place(order.size());
        std::vector<TableProcess> processes(order.size());
        for (std::size_t rank = 0; rank < order.size(); ++rank) {
            place[order[rank]] = rank;
            processes[rank] = described(queries, table_.processes[order[rank]].pid);
        }
        table_.processes = std::move(processes);
        for (TableSocket& entry : table_.sockets) {
            for (TableHolder& holder : entry.holders) holder.process = place[holder.process];
            std::sort(entry.holders.begin(), entry.holders.end(),
                      [](const TableHolder& a, const TableHolder& b) { return a.process < b.process; });
        }
    }

    // A socket with an identity (a TIME-WAIT socket and a closing one that
    // its process left have none) that no process was seen to hold.
    bool has_unheld_socket() const {
        return std::any_of(table_.sockets.begin(), table_.sockets.end(),
                           [](const TableSocket& entry) { return entry.socket.id != 0 && entry.holders.empty(); });
    }

    // The table's entry for `socket`, added when it was not listed. A socket
    // without an identity is an entry of its own each time.
    TableSocket& entry_of(const SocketInfo& socket) {
        if (socket.id == 0) return table_.sockets.emplace_back(TableSocket{socket, {}});
        auto [at, added] = index_.emplace(socket.id, table_.sockets.size());
        if (added) table_.sockets.push_back(TableSocket{socket, {}});
        return table_.sockets[at->second];
    }

    // One holder per process for each socket.
    static void add_holder(TableSocket& entry, std::size_t process, Pid task, int fd) {
        bool known = std::any_of(entry.holders.begin(), entry.holders.end(),
                                 [&](const TableHolder& holder) { return holder.process == process; });
        if (!known) entry.holders.push_back(TableHolder{process, task, fd});
    }

    std::size_t process_index(Pid pid) {
        auto [at, added] = processes_.emplace(pid, table_.processes.size());
        if (added) table_.processes.push_back(TableProcess{pid, {}, {}, std::nullopt});
        return at->second;
    }

    const HolderPick pick_;
    const ProcessOrder order_;
    SocketTable table_;
    std::unordered_map<std::uint64_t, std::size_t> index_;  // socket id -> place in table_.sockets
    std::unordered_map<Pid, std::size_t> processes_;        // pid -> place in table_.processes
    std::vector<Pid> unreadable_;                           // as the walk reported them
    // first_named: the ports looked for, those that have their holder, how
    // many may still get one, and the sockets found so far in the process
    // being examined.
    std::bitset<65536> sought_;
    std::bitset<65536> owned_;
    std::size_t unowned_ = 0;
    std::vector<Pending> pending_;
    std::size_t pending_ports_ = 0;  // distinct ports among pending_
};

// The pids of `pids` that name processes: a thread's id is left out, so
// that a thread of this process (or of an ancestor) is never taken for
// another process, and no thread is signalled apart from its process.
std::vector<Pid> processes_among(ProcessQueries& queries, std::span<const Pid> pids) {
    std::vector<Pid> processes;
    processes.reserve(pids.size());
    for (Pid pid : pids) {
        if (queries.process_of(pid) == pid) processes.push_back(pid);
    }
    return processes;
}

void note_shortage(const ProcessQueries& queries, int* shortage) {
    if (shortage != nullptr && queries.descriptor_shortage() != 0) *shortage = queries.descriptor_shortage();
}

// Whether the system shows what the descriptors of `pid` are: its table is
// listed, and the first of its descriptors can be inspected.
bool descriptors_readable(ProcessQueries& queries, Pid pid) {
    DescriptorListing listing;
    if (!queries.descriptors(pid, 64, listing)) return listing.inspectable;
    if (!listing.entries.empty()) queries.socket(listing, listing.entries.front());
    return listing.inspectable;
}

}  // namespace

SocketTable read_socket_table(const TableRequest& request) {
    ProcessQueries queries(request.filter);
    const timespec listed_by = monotonic_now();
    TableBuilder builder(request, queries);
    if (request.holders) {
        if (request.only) {
            walk_holders(queries, builder, std::span<const Pid>(processes_among(queries, *request.only)));
        } else {
            walk_holders(queries, builder);
        }
    }
    SocketTable table = builder.finish(queries);
    table.listed_by = listed_by;
    return table;
}

std::vector<std::optional<ProcessDetails>> process_details(std::span<const Pid> pids) {
    ProcessQueries queries(SocketFilter{});
    std::vector<std::optional<ProcessDetails>> found;
    found.reserve(pids.size());
    for (Pid pid : pids) {
        std::optional<std::string> name = queries.name_bytes(pid);
        if (!name) {
            found.emplace_back();
            continue;
        }
        found.push_back(ProcessDetails{TableProcess{pid, std::move(*name), queries.command_bytes(pid).value_or(std::string{}),
                                                    queries.uid(pid)},
                                       queries.parent(pid), descriptors_readable(queries, pid)});
    }
    return found;
}

std::vector<Pid> process_ancestry(Pid pid, int* shortage) {
    ProcessQueries queries(SocketFilter{});
    std::vector<Pid> line{pid};
    // Bounded, should the links ever loop while processes come and go.
    constexpr std::size_t most = 4096;
    while (line.size() < most) {
        std::optional<Pid> parent = queries.parent(line.back());
        if (!parent || *parent == 0 || std::find(line.begin(), line.end(), *parent) != line.end()) break;
        line.push_back(*parent);
    }
    note_shortage(queries, shortage);
    return line;
}

std::vector<PortHolder> holders_of(const SocketTable& table, std::uint16_t port) {
    std::vector<PortHolder> found;
    std::vector<std::size_t> place(table.processes.size(), static_cast<std::size_t>(-1));
    auto first = std::lower_bound(table.sockets.begin(), table.sockets.end(), port,
                                  [](const TableSocket& entry, std::uint16_t wanted) { return entry.socket.local.port < wanted; });
    for (auto entry = first; entry != table.sockets.end() && entry->socket.local.port == port; ++entry) {
        for (const TableHolder& holder : entry->holders) {
            if (place[holder.process] == static_cast<std::size_t>(-1)) {
                place[holder.process] = found.size();
                found.push_back(PortHolder{holder.process, {}});
            }
            found[place[holder.process]].held.push_back(
                platform::HeldSocket{table.processes[holder.process].pid, holder.task, holder.fd, entry->socket.id});
        }
    }
    std::sort(found.begin(), found.end(), [](const PortHolder& a, const PortHolder& b) { return a.process < b.process; });
    for (PortHolder& holder : found) {
        std::sort(holder.held.begin(), holder.held.end(), [](const platform::HeldSocket& a, const platform::HeldSocket& b) {
            return std::tie(a.task, a.fd) < std::tie(b.task, b.fd);
        });
    }
    return found;
}

TableRequest owner_lookup(std::span<const std::uint16_t> ports) {
    TableRequest request;
    request.filter.add_ports(ports);
    request.filter.tcp_states = listening_states;
    request.pick = HolderPick::first_named;
    request.order = ProcessOrder::as_walked;
    return request;
}

std::vector<bool> may_have_owner(std::span<const std::uint16_t> ports) {
    TableRequest request = owner_lookup(ports);
    request.holders = false;
    SocketTable table = read_socket_table(request);
    std::bitset<65536> listened;
    for (const TableSocket& entry : table.sockets) listened.set(entry.socket.local.port);
    std::vector<bool> found(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        found[i] = ports[i] != 0 && (!table.lists_every_socket || listened.test(ports[i]));
    }
    return found;
}

const TableProcess* owner_in(const SocketTable& table, std::uint16_t port) {
    std::vector<PortHolder> holders = holders_of(table, port);
    return holders.empty() ? nullptr : &table.processes[holders.front().process];
}

std::unordered_set<std::uint64_t> own_trial_ids() {
    std::unordered_set<std::uint64_t> ids;
    for (int fd : own_trials()) {
        if (std::optional<std::uint64_t> id = platform::socket_id_of(fd)) ids.insert(*id);
    }
    return ids;
}

}  // namespace velmor
