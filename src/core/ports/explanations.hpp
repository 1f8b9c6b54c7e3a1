#pragma once
// The texts for people on the state of a port: one line on why it is what
// it is, and the notes on what stays on its number without making it busy.
// Every name, command and user name in them passes through the one escape
// (text::printable). Touches nothing of the interpreter.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ports/port_status.hpp"

namespace velmor::ports {

// The name of a user, empty when it has none; each uid is looked up once
// per process.
std::optional<std::string> user_name(std::uint32_t uid);

// 'name (pid N)', the name escaped ('?' for none).
std::string describe(const TableProcess& process);
// 'name (pid N, user U)'.
std::string describe_with_user(const TableProcess& process);

// The possible holders, the first few by name, pid and user.
std::string candidates_text(std::span<const TableProcess> candidates);

// Why the holder of a socket in our own network namespace is not seen,
// from the evidence, and what would help.
std::string hidden_holder_text(const SocketInfo& socket, Hidden hidden, std::span<const TableProcess> candidates);

// One line on why the port is what it is.
std::string explain(const PortStatus& status, const SocketTable& table);

// On a free port with connections left closing: they are on the number,
// and a bind with SO_REUSEADDR takes it all the same. Empty otherwise.
std::optional<std::string> closing_note(const PortStatus& status, const SocketTable& table);

// On UDP sockets on the number, which never make a port busy; empty when there are none.
std::optional<std::string> udp_note(const PortStatus& status, const SocketTable& table);

// For a listener on the port that no visible process holds, why its
// holder is not seen (see hidden_holder_text); empty when there is none.
std::optional<std::string> unseen_listener_text(const PortStatus& status, const SocketTable& table);

}  // namespace velmor::ports

namespace velmor::ports {

// A port's state with its texts, made together so that a face only hands them on.
struct ExplainedStatus {
    PortStatus status;
    std::string line;                             // explain()
    std::optional<std::string> closing;           // closing_note()
    std::optional<std::string> udp;               // udp_note()
    std::optional<std::string> unseen_listener;   // unseen_listener_text()
    std::string candidates;                       // candidates_text() of the status's candidates
};

std::vector<ExplainedStatus> explained(std::vector<PortStatus> statuses, const SocketTable& table);

// What tells why a socket of a listing has no visible holder, with its
// possible holders named for people (candidates_text).
struct SocketEvidence {
    Evidence evidence;
    std::string candidates;
};

// Per socket of `table`, in its order: the evidence for a socket that no
// visible process holds; empty for one that has its holders.
std::vector<std::optional<SocketEvidence>> evidence_of(const SocketTable& table);

}  // namespace velmor::ports
