#include "core/sockets/socket_table.hpp"

#include <algorithm>
#include <tuple>
#include <unordered_map>

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
    explicit TableBuilder(std::span<const SocketInfo> listed) {
        table_.sockets.reserve(listed.size());
        for (const SocketInfo& socket : listed) {
            if (socket.id != 0) index_.emplace(socket.id, table_.sockets.size());
            table_.sockets.push_back(TableSocket{socket, {}});
        }
    }

    Step found(ProcessQueries&, const DescriptorListing& listing, int fd, const SocketInfo& socket) override {
        if (socket.id == 0) return Step::next_descriptor;
        auto [at, added] = index_.emplace(socket.id, table_.sockets.size());
        if (added) table_.sockets.push_back(TableSocket{socket, {}});
        std::vector<TableHolder>& holders = table_.sockets[at->second].holders;
        std::size_t process = process_index(listing.pid);
        bool known = std::any_of(holders.begin(), holders.end(),
                                 [&](const TableHolder& holder) { return holder.process == process; });
        if (!known) holders.push_back(TableHolder{process, listing.task, fd});
        return Step::next_descriptor;
    }

    void unreadable(ProcessQueries&, Pid pid) override { unreadable_.push_back(pid); }

    SocketTable finish(ProcessQueries& queries) {
        if (has_unheld_socket()) {
            std::sort(unreadable_.begin(), unreadable_.end());
            unreadable_.erase(std::unique(unreadable_.begin(), unreadable_.end()), unreadable_.end());
            for (Pid pid : unreadable_) table_.unreadable.push_back(described(queries, pid));
        }
        // Processes in pid order, with what is known of each.
        std::vector<std::size_t> order(table_.processes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return table_.processes[a].pid < table_.processes[b].pid; });
        std::vector<std::size_t> place(order.size());
        std::vector<TableProcess> processes(order.size());
        for (std::size_t rank = 0; rank < order.size(); ++rank) {
            place[order[rank]] = rank;
            processes[rank] = described(queries, table_.processes[order[rank]].pid);
        }
        table_.processes = std::move(processes);
        table_.shortage = queries.descriptor_shortage();
        for (TableSocket& entry : table_.sockets) {
            for (TableHolder& holder : entry.holders) holder.process = place[holder.process];
            std::sort(entry.holders.begin(), entry.holders.end(),
                      [](const TableHolder& a, const TableHolder& b) { return a.process < b.process; });
        }
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
    static TableProcess described(ProcessQueries& queries, Pid pid) {
        return TableProcess{pid, queries.name_bytes(pid).value_or(std::string{}),
                            queries.command_bytes(pid).value_or(std::string{}), queries.uid(pid)};
    }

    // A socket with an identity (a TIME-WAIT socket and a closing one that
    // its process left have none) that no process was seen to hold.
    bool has_unheld_socket() const {
        return std::any_of(table_.sockets.begin(), table_.sockets.end(),
                           [](const TableSocket& entry) { return entry.socket.id != 0 && entry.holders.empty(); });
    }

    std::size_t process_index(Pid pid) {
        auto [at, added] = processes_.emplace(pid, table_.processes.size());
        if (added) table_.processes.push_back(TableProcess{pid, {}, {}, std::nullopt});
        return at->second;
    }

    SocketTable table_;
    std::unordered_map<std::uint64_t, std::size_t> index_;  // socket id -> place in table_.sockets
    std::unordered_map<Pid, std::size_t> processes_;        // pid -> place in table_.processes
    std::vector<Pid> unreadable_;                           // as the walk reported them
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
    TableBuilder builder(queries.listed_sockets());
    if (request.holders) {
        if (request.only) {
            walk_holders(queries, builder, std::span<const Pid>(processes_among(queries, *request.only)));
        } else {
            walk_holders(queries, builder);
        }
    }
    return builder.finish(queries);
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

}  // namespace velmor
