#pragma once
// The one walk over the processes of the system: every visible process's
// descriptor table, in the order the system lists them, and for each socket
// that the pass's filter wants, a call of the visitor. What to keep and when
// to stop is the visitor's policy. Runs without the interpreter lock and
// touches nothing of the interpreter.

#include <optional>
#include <span>

#include "core/platform/process_queries.hpp"

namespace velmor {

enum class Step {
    next_descriptor,  // go on with the process's other descriptors
    next_process,     // nothing more is wanted from this process
    stop,             // end the walk
};

class HolderVisitor {
public:
    virtual ~HolderVisitor() = default;
    HolderVisitor() = default;
    HolderVisitor(const HolderVisitor&) = delete;
    HolderVisitor& operator=(const HolderVisitor&) = delete;

    // `listing.pid` holds `socket`, which the filter wants, at descriptor
    // `fd` of `listing`'s table.
    virtual Step found(platform::ProcessQueries& queries, const platform::DescriptorListing& listing, int fd,
                       const SocketInfo& socket) = 0;
    // After the last descriptor of a process in which something was found.
    virtual Step finished_process(platform::ProcessQueries& /*queries*/, platform::Pid /*pid*/) {
        return Step::next_descriptor;
    }
    // The system would not show what the descriptors of `pid` are (for lack
    // of permission): whatever the walk did not find may be held there.
    virtual void unreadable(platform::ProcessQueries& /*queries*/, platform::Pid /*pid*/) {}
    // True while the visitor still looks for holders. When the walk ends
    // with listed sockets that no process was seen to hold, it then looks
    // into the tables that threads keep of their own.
    virtual bool still_looking() const { return true; }
};

// Walks every visible process, or only the processes `only`, in that order.
void walk_holders(platform::ProcessQueries& queries, HolderVisitor& visitor,
                  std::optional<std::span<const platform::Pid>> only = std::nullopt);

}  // namespace velmor
