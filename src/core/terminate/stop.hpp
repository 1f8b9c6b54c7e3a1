#pragma once
// Stopping what holds a set of ports, as the command line and the test
// support do it: the targets are the processes that hold the kinds of
// sockets asked for, every one of them; this process and its ancestors are
// never targets; each target is pinned, checked and signalled once, the
// survivors may get a second signal, and the stop is settled once no
// target holds such a socket on the ports any more. Runs without the
// interpreter lock and touches nothing of the interpreter.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/platform/process_handle.hpp"
#include "core/sockets/socket_table.hpp"
#include "core/terminate/termination.hpp"

namespace velmor {

struct StopRequest {
    std::vector<std::uint16_t> ports;
    bool udp = false;          // holders of UDP sockets are targets too
    bool all_sockets = false;  // holders of any internet socket on the ports are
    // Only these processes may be targets (the others are left alone).
    std::optional<std::vector<platform::Pid>> only;
};

struct StopTarget {
    platform::Pid pid = 0;
    std::string name;  // as the system gives it; may be empty or not UTF-8
    std::string command;
    std::vector<std::uint16_t> ports;  // the ports asked for that it holds
    bool skipped = false;              // this process or one of its ancestors
    int signal = 0;                    // the last signal sent, 0 for none
    std::optional<TargetOutcome> outcome;  // once signalled
    // Its parent when it was chosen, read before any signal: a pre-forking
    // server's master, which may respawn the workers it loses.
    std::optional<platform::Pid> parent;
};

// The sockets on the ports at one moment, and what a trial bind says of each port.
struct PortsState {
    // Every socket on the ports, in every state, each with the processes
    // known to hold it; the processes (and those whose descriptors could
    // not be read) are those of the stop's one walk.
    SocketTable table;
    // Per port asked, in that order: the error of a trial bind on
    // 127.0.0.1, 0 when it succeeded or when a TCP listener on the port
    // made the trial needless.
    std::vector<int> probe_errors;
    // The sockets are those seen in two reads in a row: a socket of a
    // moment (another process's trial of the port) is left out.
    bool lasting = false;
};

// One stop in progress, from the choice of its targets to what it leaves
// on the ports (the package's PortStop records are its result, per port).
class StopRun {
public:
    // Reads the socket table of the ports, walking every process once, and
    // chooses the targets.
    explicit StopRun(StopRequest request);

    const std::vector<StopTarget>& targets() const noexcept { return targets_; }
    // The ports as the stop found them.
    const PortsState& before() const noexcept { return before_; }
    // The ports once the stop is over (after finish()): read from the
    // socket tables without a second walk, the holders those the stop
    // knows still hold each socket (from its walk and its last check of
    // the targets that did not exit).
    const PortsState& after() const noexcept { return after_; }

    // EMFILE or ENFILE when the system had no descriptor free to read the
    // table, the processes above this one, or (after send) to pin and
    // watch the targets: then nothing was signalled.
    int short_of_descriptors() const noexcept { return shortage_; }

    // A dry run: records `signal` as what every target that is not skipped would get.
    void foresee(int signal);
    // Sends `signal` to every target that is not skipped; nothing when
    // short of descriptors.
    void send(int signal);
    // Sends `signal` to the signalled targets that have not exited.
    void send_to_survivors(int signal);
    // True once no signalled target is alive and holding a socket of the
    // asked kinds on the ports, and none is in the middle of its exit. Each
    // check walks the surviving targets only, and is kept for after().
    bool settled();
    // Descriptors that turn readable when a signalled target exits.
    std::vector<pollfd> exit_watches() const { return termination_ ? termination_->exit_watches() : std::vector<pollfd>{}; }
    // Fills in what became of each signalled target, leaves out those
    // that held the ports for a moment only, and reads after().
    void finish();

private:
    SocketFilter filter() const;
    void finish_targets();
    void read_after();
    std::vector<TableHolder> holders_after(const TableSocket& before, const SocketFilter& asked) const;
    bool name_holders_again(const std::vector<TableSocket>& lasting);

    StopRequest request_;
    PortsState before_;
    PortsState after_;
    // The holders that the last check of the surviving targets found, by socket.
    std::optional<std::unordered_map<std::uint64_t, std::vector<platform::Pid>>> last_check_;
    std::vector<StopTarget> targets_;
    std::vector<HeldSockets> held_;  // parallel to targets_
    int shortage_ = 0;
    std::optional<Termination> termination_;
    std::vector<std::size_t> signalled_;  // indices into targets_, in the termination's order
};

}  // namespace velmor
