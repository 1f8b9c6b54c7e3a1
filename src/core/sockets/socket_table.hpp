#pragma once
// The socket table: every socket of the chosen kinds and ports, each with
// every visible process that holds it, from one read of the system's
// socket tables and one walk over the processes. Runs without the
// interpreter lock and touches nothing of the interpreter.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/platform/process_queries.hpp"
#include "core/platform/socket.hpp"

namespace velmor {

struct TableProcess {
    platform::Pid pid = 0;
    std::string name;  // as the system gives it, repaired where it was cut; may be empty or not UTF-8
    std::string command;
    std::optional<std::uint32_t> uid;
};

struct TableHolder {
    std::size_t process = 0;  // index into SocketTable::processes
    platform::Pid task = 0;   // 0: the process's own descriptor table
    int fd = -1;
};

struct TableSocket {
    SocketInfo socket;
    std::vector<TableHolder> holders;  // in pid order, one per process
};

struct SocketTable {
    std::vector<TableSocket> sockets;  // by local port, then family and address
    std::vector<TableProcess> processes;  // in pid order
    // EMFILE or ENFILE when the read ran out of descriptors: then sockets,
    // holders or names may be missing, and the table is no answer.
    int shortage = 0;
    // The processes whose descriptors the system would not show, in pid
    // order: the possible holders of a listed socket that no process was
    // seen to hold. Named only when there is such a socket.
    std::vector<TableProcess> unreadable;
};

struct TableRequest {
    SocketFilter filter;
    bool holders = true;  // walk the processes to find the holders
    // Walk only these processes (and so name only them as holders). The id
    // of a thread that is not its process's leader names no process here.
    std::optional<std::vector<platform::Pid>> only;
};

SocketTable read_socket_table(const TableRequest& request);

// What the system tells of a process, with its parent; empty for a pid
// that names no process.
struct ProcessDetails {
    TableProcess process;
    std::optional<platform::Pid> parent;
    bool descriptors_readable = true;  // false: the system would not show what its descriptors are
};
std::vector<std::optional<ProcessDetails>> process_details(std::span<const platform::Pid> pids);

// `pid`, its parent, and so on up to the first process. `shortage`, when
// given, is set as SocketTable::shortage is.
std::vector<platform::Pid> process_ancestry(platform::Pid pid, int* shortage = nullptr);

}  // namespace velmor
