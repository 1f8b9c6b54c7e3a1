// The process tree below a process, from the platform's process queries
// (the listing and the parent links), the same on every platform.

#include <unordered_map>

#include "core/platform/process_queries.hpp"

namespace velmor::platform {

std::vector<Pid> process_tree(Pid root, int* shortage) {
    ProcessQueries queries(SocketFilter{});
    auto note_shortage = [&] {
        if (shortage != nullptr && queries.descriptor_shortage() != 0) *shortage = queries.descriptor_shortage();
    };
    std::vector<Pid> pids;
    if (!queries.list(pids)) {
        note_shortage();
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
    note_shortage();
    return tree;
}

}  // namespace velmor::platform
