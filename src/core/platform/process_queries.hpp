#pragma once
// The queries through which the core reaches the processes and sockets of
// the system, bundled as one object per pass. The walk over them
// (core/sockets/walk.cpp) is the same on every platform; each platform
// supplies this class in its own folder under core/platform/, which the
// build picks.
//
// A failed query is an empty optional or false; the cause is never needed.
// Nothing here throws except std::bad_alloc.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/platform/socket.hpp"
#include "core/system/unique_fd.hpp"

namespace velmor::platform {

using Pid = std::uint32_t;

// One open descriptor of a process. `maybe_socket` is false when the listing
// already tells that it is not a socket, so that it needs no socket query.
struct Descriptor {
    int fd = -1;
    bool maybe_socket = true;
};

// The descriptor table of one process, as listed: the process's own table,
// or (Linux) the table of one of its threads, `task`, when the process's
// own is empty (its main thread has exited) or the thread has a table of its
// own (after unshare(CLONE_FILES)).
struct DescriptorListing {
    Pid pid = 0;
    Pid task = 0;  // 0: the process's own table
    std::vector<Descriptor> entries;
    UniqueFd directory;  // Linux: the directory the entries were read from
    // Cleared when the system refuses, for lack of permission, to list the
    // table or to say what one of its descriptors is: then the other
    // descriptors of the table are refused too, and the process may hold
    // sockets that nobody can attribute to it.
    mutable bool inspectable = true;
};

// The lowest TCP port this process may bind: 1 when it may bind every port
// (Linux: with CAP_NET_BIND_SERVICE), else the system's first port open to
// every user. Below it a bind fails with EACCES whatever is on the port.
std::uint16_t lowest_port_we_may_bind() noexcept;

class ProcessQueries {
public:
    // Prepares a pass for `filter`. A platform with system-wide socket
    // tables loads them here, once, restricted to the filter.
    explicit ProcessQueries(const SocketFilter& filter);
    ~ProcessQueries();
    ProcessQueries(const ProcessQueries&) = delete;
    ProcessQueries& operator=(const ProcessQueries&) = delete;

    const SocketFilter& filter() const noexcept;

    // The sockets the system lists without a walk, restricted to the filter
    // (Linux: the socket tables of the caller's network namespace), sorted by
    // id. Empty where sockets are only known through their holders (macOS).
    std::span<const SocketInfo> listed_sockets() const noexcept;
    // True when listed_sockets() holds every socket the filter wants, so
    // that a port without a listed socket has none.
    bool lists_every_socket() const noexcept;
    // False when no socket can count for `port`, so that a walk need not
    // look for it.
    bool may_be_held(std::uint16_t port) const noexcept;

    // The visible processes, in the order the system lists them.
    bool list(std::vector<Pid>& pids);

    // The number of open descriptors of `pid`, a sizing hint for `descriptors`.
    std::optional<std::uint32_t> descriptor_count(Pid pid);

    // The descriptors of `pid` in the system's order, replacing `out`.
    // `capacity` is the number of entries to ask for where the system needs
    // a fixed-size buffer.
    bool descriptors(Pid pid, std::size_t capacity, DescriptorListing& out);

    // The tables of the threads of `pid` that hold descriptor tables of
    // their own, apart from the process's own table when `descriptors` gave
    // it and it was not empty. Empty where threads always share their
    // process's table.
    bool thread_descriptors(Pid pid, bool own_table_listed, std::vector<DescriptorListing>& out);

    // The socket behind one descriptor of a listing; empty when it is not an
    // internet socket of the filter's kinds or cannot be inspected.
    std::optional<SocketInfo> socket(const DescriptorListing& listing, const Descriptor& descriptor);

    // The process name as the system gives it, where the system cut it
    // short repaired (Linux: completed from the command line). May be empty
    // or not valid UTF-8.
    std::optional<std::string> name_bytes(Pid pid);
    // name_bytes when it is not empty and valid UTF-8.
    std::optional<std::string> name(Pid pid);

    // The command: the full command line on Linux (arguments joined by
    // spaces), the executable path on macOS. May not be valid UTF-8.
    std::optional<std::string> command_bytes(Pid pid);
    // command_bytes when it is valid UTF-8 (Linux: cut between characters).
    std::optional<std::string> command(Pid pid);

    // The user the process runs as (effective uid).
    std::optional<std::uint32_t> uid(Pid pid);

    // The parent of `pid`.
    std::optional<Pid> parent(Pid pid);

    // The process that `pid` names: itself for a process, the thread
    // group's leader for the id of one of its other threads (which Linux
    // lets /proc name as if it were a process).
    std::optional<Pid> process_of(Pid pid);

    // EMFILE or ENFILE once a query of this pass found no descriptor free
    // (so that what it gave may lack sockets, holders or names); 0 otherwise.
    int descriptor_shortage() const noexcept;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// True when the pids the system's process listing gives are the pids of
// this process's own pid namespace, so that a pid found there names the same
// process to a signal or a wait (Linux: /proc was mounted for our pid
// namespace). Always true where there are no pid namespaces.
bool pids_are_ours();

// How much of the system's processes this process sees.
enum class ProcessView {
    every,          // no pid namespace hides processes from this one (Linux: we run in the
                    // system's first pid namespace, whose kernel threads are in view, and
                    // /proc is mounted for it); a socket that no process was seen to hold
                    // is held by a process whose descriptors could not be read, or by none
    own_namespace,  // /proc shows our own pid namespace, which is not the system's first
    foreign,        // /proc belongs to another pid namespace: its pids mean other processes here
};
ProcessView process_view();

// `root` and every process below it, as the system's parent links show them.
// `shortage`, when given, is set to EMFILE or ENFILE when the listing ran
// short of descriptors (see ProcessQueries::descriptor_shortage).
std::vector<Pid> process_tree(Pid root, int* shortage = nullptr);

// The identity (as SocketInfo::id) of the socket behind descriptor `fd` of
// this process; empty when it is not a socket.
std::optional<std::uint64_t> socket_id_of(int fd);

}  // namespace velmor::platform
