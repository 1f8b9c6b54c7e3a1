#pragma once
// Watching the listeners: what appears on the listening table and what goes
// from it, one look at a time. A look reads the table of listening sockets
// without walking the processes (one query of the system's socket tables),
// compares it with the look before by the identity of each socket (its id,
// which the system never gives to two live sockets), and walks the
// processes' descriptors only for sockets not seen before, to name their
// holders. At rest a look costs the query alone, however many processes
// run. A listener that opens and closes between two looks is never seen.
// Runs without the interpreter lock and touches nothing of the interpreter.

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "core/platform/process_queries.hpp"
#include "core/platform/socket.hpp"
#include "core/sockets/socket_table.hpp"

namespace velmor {

// The pause between two looks of a watch, in every face: a listener that
// lives 20 ms is seen by three or four looks, and a look (tens of
// microseconds) every 5 ms stays well under 1% of a core.
inline constexpr std::int64_t watch_interval_ns = 5'000'000;
// How often a watch asks whether anyone still reads what it reports, so
// that a watch with nothing to report still ends when its reader goes.
inline constexpr std::int64_t watch_reader_check_ns = 250'000'000;

enum class ListenerEvent : std::uint8_t {
    present,   // there at the first look
    appeared,  // came since the look before
    gone,      // went since the look before
};

// "present", "appeared" or "gone": the event's name in every face.
const char* event_name(ListenerEvent event) noexcept;

struct ListenerChange {
    ListenerEvent event = ListenerEvent::present;
    timespec time{};  // the wall clock when the look that saw it began
    SocketInfo socket;
    // In pid order; for "gone", those seen when the listener appeared.
    std::vector<TableProcess> holders;
    // False for a listener that closed before the walk over the processes
    // reached it: it has no holders because none could be read, not
    // because they are hidden.
    bool holders_read = true;
};

struct ListenerWatchRequest {
    std::optional<std::vector<std::uint16_t>> ports;  // none: every port
    bool udp = false;                                 // bound UDP sockets count as listeners too
};

class ListenerWatch {
public:
    explicit ListenerWatch(ListenerWatchRequest request);

    // Reads the listening table once: the changes since the look before
    // (the first look: every listener, "present"), those gone first, by
    // port and address, then those come, in the table's order. Empty when
    // nothing changed, and when the read ran out of descriptors (shortage()).
    std::vector<ListenerChange> look();

    // EMFILE or ENFILE when the last look could not read a table; it then
    // changed nothing of what is known.
    int shortage() const noexcept { return shortage_; }

private:
    // What tells one socket from another across looks: its id; the
    // protocol and local address where the system gives none.
    using Identity = std::tuple<std::uint64_t, Protocol, Family, std::array<std::uint8_t, 16>, std::uint16_t>;
    static Identity identity_of(const SocketInfo& socket);

    TableRequest request_for(std::optional<std::vector<std::uint16_t>> ports, bool holders) const;
    std::vector<ListenerChange> with_holders(const std::vector<SocketInfo>& sockets, ListenerEvent event,
                                             const timespec& when);
    std::optional<std::vector<platform::Pid>> newest_first();

    ListenerWatchRequest request_;
    std::optional<std::set<Identity>> last_;       // the identities of the last look; none before the first
    std::map<Identity, ListenerChange> known_;     // every listener seen and not gone, as it appeared
    std::unordered_set<platform::Pid> walked_;     // the processes there at the last walk
    int shortage_ = 0;
};

}  // namespace velmor
