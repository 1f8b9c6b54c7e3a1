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

    SocketTable finish(ProcessQueries& queries) {
        // Processes in pid order, with what is known of each.
        std::vector<std::size_t> order(table_.processes.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](std::size_t a, std::size_t b) { return table_.processes[a].pid < table_.processes[b].pid; });
        std::vector<std::size_t> place(order.size());
        std::vector<TableProcess> processes(order.size());
        for (std::size_t rank = 0; rank < order.size(); ++rank) {
            place[order[rank]] = rank;
            Pid pid = table_.processes[order[rank]].pid;
            processes[rank] = TableProcess{pid, queries.name_bytes(pid).value_or(std::string{}),
                                           queries.command_bytes(pid).value_or(std::string{}), queries.uid(pid)};
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
    std::size_t process_index(Pid pid) {
        auto [at, added] = processes_.emplace(pid, table_.processes.size());
        if (added) table_.processes.push_back(TableProcess{pid, {}, {}, std::nullopt});
        return at->second;
    }

    SocketTable table_;
    std::unordered_map<std::uint64_t, std::size_t> index_;  // socket id -> place in table_.sockets
    std::unordered_map<Pid, std::size_t> processes_;        // pid -> place in table_.processes
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

std::vector<Pid> process_tree(Pid root, int* shortage) {
    ProcessQueries queries(SocketFilter{});
    std::vector<Pid> pids;
    if (!queries.list(pids)) {
        note_shortage(queries, shortage);
        return {root};
    }
    std::unordered_map<Pid, std::vector<Pid>> children;
    for (Pid pid : pids) {
        if (std::optional<Pid> parent = queries.parent(pid)) children[*parent].push_back(pid);
    }
    std::vector<Pid> tree{root};
    for (std::size_t next = 0; next < tree.size(); ++next) {
        auto it = children.find(tree[next]);
        if (it == children.end()) continue;
        for (Pid child : it->second) {
            if (child != root) tree.push_back(child);
        }
    }
    note_shortage(queries, shortage);
    return tree;
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
