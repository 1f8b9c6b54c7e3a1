#pragma once
// The Python values the socket-table module hands back: plain tuples,
// lists, str, int, bool and None, which the package turns into its records.

#include <vector>

#include "bindings/boundary/object_ref.hpp"
#include "core/ports/explanations.hpp"
#include "core/ports/stop_result.hpp"
#include "core/sockets/free_check.hpp"
#include "core/sockets/listener_watch.hpp"
#include "core/sockets/socket_table.hpp"
#include "core/terminate/stop.hpp"

namespace velmor::table_results {

// One tuple per socket: (protocol, family, address, port, remote_address,
// remote_port, state, uid, inode, v6only, processes), the processes a tuple
// of (pid, name, cmd, uid). Texts the system gave as bytes that are not
// UTF-8 come with U+FFFD in place of what does not decode.
OwnedRef socket_list(const SocketTable& table);

// One (event, time, socket, holders_read) per change of a watch: the event
// "present", "appeared" or "gone", the time in seconds since the epoch, the
// socket as socket_list gives it.
OwnedRef change_list(const std::vector<ListenerChange>& changes);

// One (pid, name, cmd, uid) per process.
OwnedRef process_list(const std::vector<TableProcess>& processes);

// Per pid, (pid, parent, name, cmd, uid, descriptors readable), or None for a pid that names no process.
OwnedRef details_list(const std::vector<std::optional<ProcessDetails>>& details);

// Per port, True (free), False (taken) or None (undecided).
OwnedRef verdict_list(const std::vector<FreeVerdict>& verdicts);

// One tuple per port: (port, state, reason, owner, sockets, probe_error,
// hidden, candidates, texts), the owner and the candidates as process_list
// gives them, the sockets as socket_list does, and the texts (explanation,
// closing note, UDP note, why an unseen listener's holder is not seen, the
// candidates named for people), each note None when there is none.
OwnedRef status_list(const std::vector<ports::ExplainedStatus>& statuses, const SocketTable& table);

// Per port, (result, error or None, processes), each process (pid, name,
// cmd, ports, signal name or None, outcome).
OwnedRef stop_result_list(const std::vector<ports::PortStopResult>& results, const std::vector<StopTarget>& targets);

// Per socket, None, or (hidden, candidates as process_list gives them, the
// candidates named for people).
OwnedRef evidence_list(const std::vector<std::optional<ports::SocketEvidence>>& told);

// "every", "own-namespace" or "foreign".
OwnedRef view_name(platform::ProcessView view);

OwnedRef pid_list(const std::vector<platform::Pid>& pids);
OwnedRef port_list(const std::vector<std::uint16_t>& ports);

}  // namespace velmor::table_results
