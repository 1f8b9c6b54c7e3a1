#pragma once
// How the command writes sockets and processes: table cells (every string
// from the system escaped), the table itself with its columns lined up and
// its lines cut to a terminal, the JSON entries of the schema, and what a
// cell says of a socket whose holder is out of sight.

#include <optional>
#include <string>
#include <vector>

#include "command/json.hpp"
#include "core/ports/explanations.hpp"
#include "core/platform/process_queries.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor::command {

using Row = std::vector<std::string>;

// A system string as one line of printable text (bytes that are not UTF-8
// read as U+FFFD first).
std::string escaped(std::string_view bytes);

// The local address as ss writes it: IPv6 in brackets, '*' for an IPv6
// wildcard that takes IPv4 too.
std::string address_cell(const SocketInfo& socket);
// The user's name, or the uid when it has none; "-" for none.
std::string user_cell(std::optional<std::uint32_t> uid);
// PID, USER, NAME and COMMAND of a holder.
Row process_cells(const TableProcess& process);
// The COMMAND cell of a socket whose holder is not seen, from the engine's
// evidence.
std::string hidden_cell(const ports::SocketEvidence& told);
// The rows of one socket: `start` followed by each holder's cells, or by
// "-", the socket's owner, "-" and the hidden cell when no holder is seen.
void add_socket_rows(const Row& start, const TableSocket& entry, const SocketTable& table,
                     const ports::SocketEvidence& told, std::vector<Row>& rows);

// Rows of printable cells as left-aligned columns, one line each, cut to
// `width` characters when given.
std::vector<std::string> table_lines(const std::vector<Row>& rows, std::optional<std::size_t> width);
// Columns of the terminal on stdout, none when stdout is not one.
std::optional<std::size_t> terminal_width();

Json process_json(const TableProcess& process);
Json socket_json(const TableSocket& entry, const SocketTable& table);
// The keys of a socket's JSON entry, with its holders' entries given.
Json::Object socket_fields(const SocketInfo& socket, Json::Array processes);

}  // namespace velmor::command
