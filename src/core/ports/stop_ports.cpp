#include "core/ports/stop_ports.hpp"

#include <algorithm>
#include <csignal>
#include <limits>
#include <span>

#include "core/system/clock.hpp"
#include "core/system/poll_loop.hpp"

namespace velmor::ports {
namespace {

// Between checks whether the targets have let go; a target's exit ends a
// pause at once.
constexpr std::int64_t pause_ns = 20'000'000;
constexpr std::int64_t longest = std::numeric_limits<std::int64_t>::max();

// Runs `part` through the face and hands back what it made.
template <class Part>
auto outside(StopFace& face, Part&& part) {
    std::optional<decltype(part())> made;
    face.outside([&] { made.emplace(part()); });
    return std::move(*made);
}

// Waits until the stop is settled or `deadline` passes. The face's
// handlers run whenever a signal cuts a pause short and between the parts
// of the wait, so that a signal that arrives while a check runs is not
// left waiting for the end.
void wait_for(StopRun& stop, const timespec& deadline, StopFace& face) {
    const std::int64_t part = face.part_ns();
    PollPlan plan;
    plan.pause_ns = pause_ns;
    plan.shorten_pause_to_deadline = true;
    plan.end_on_signal = part > 0;
    for (;;) {
        const timespec back = part > 0 ? deadline_after_ns(monotonic_now(), part) : deadline;
        const bool in_parts = !reached(back, deadline);
        plan.deadline = in_parts ? back : deadline;
        plan.check_at_deadline = !in_parts;
        const PollEnd end = outside(face, [&] {
            std::vector<pollfd> watches = stop.exit_watches();
            return poll_until(plan, watches, [&] { return stop.settled(); });
        });
        if (end == PollEnd::met) return;
        face.signal_arrived();
        if (end == PollEnd::deadline && !in_parts) return;
    }
}

// Each port's state and its texts in `state`, from the stop's one walk: the
// processes whose descriptors it could not read, and the process view,
// asked once for before and after when their evidence needs it.
std::vector<ExplainedStatus> states_of(const PortsState& state, std::span<const std::uint16_t> asked,
                                       std::span<const TableProcess> unreadable,
                                       std::optional<platform::ProcessView>& view) {
    Sighting seen{unreadable, state.probe_errors, view, state.lasting};
    std::vector<PortStatus> statuses = port_statuses(state.table, asked, seen);
    view = seen.view;
    return explained(std::move(statuses), state.table);
}

// The states without their texts, for the stop's results.
std::vector<PortStatus> bare(const std::vector<ExplainedStatus>& states) {
    std::vector<PortStatus> statuses;
    statuses.reserve(states.size());
    for (const ExplainedStatus& state : states) statuses.push_back(state.status);
    return statuses;
}

bool short_of_descriptors(StoppedPorts& stopped, const char* doing) {
    if (int error = stopped.run.short_of_descriptors(); error != 0) stopped.shortage = StopShortage{error, doing};
    return stopped.shortage.has_value();
}

// From the first signal sent at `start`: sends SIGKILL to the survivors
// after kill_after (unless the first was SIGKILL), waits until the stop
// settles or `deadline` passes, and reads what the stop left.
void wait_out(StopRun& stop, int first_signal, const StopOrder& order, const timespec& start, const timespec& deadline,
              StopFace& face) {
    if (order.kill_after_ns && first_signal != SIGKILL) {
        wait_for(stop, deadline_after_ns(start, *order.kill_after_ns), face);
        face.outside([&] {
            if (!stop.settled()) stop.send_to_survivors(SIGKILL);
        });
    }
    wait_for(stop, deadline, face);
    face.outside([&] { stop.finish(); });
}

}  // namespace

std::int64_t stop_wait_ns(std::int64_t timeout_ns, std::optional<std::int64_t> kill_after_ns) noexcept {
    if (!kill_after_ns) return timeout_ns;
    const std::int64_t after_second = *kill_after_ns > longest - nanoseconds_per_second
                                          ? longest
                                          : *kill_after_ns + nanoseconds_per_second;
    return std::max(timeout_ns, after_second);
}

StoppedPorts stop_ports(StopOrder order, const StopHints& hints, StopFace& face) {
    const int first_signal = order.force ? SIGKILL : (order.signal != 0 ? order.signal : SIGTERM);
    const std::int64_t wait_ns = stop_wait_ns(order.timeout_ns, order.kill_after_ns);
    std::vector<std::uint16_t> asked = order.request.ports;
    StoppedPorts stopped(std::move(asked), order.dry_run, outside(face, [&] { return StopRun(order.request); }));
    StopRun& stop = stopped.run;
    if (short_of_descriptors(stopped, "to read the socket tables and the processes")) return stopped;
    if (order.dry_run) {
        stop.foresee(first_signal);
    } else {
        const timespec start = monotonic_now();
        face.outside([&] { stop.send(first_signal); });
        // Nothing was signalled: the descriptors to pin and watch the targets were missing.
        if (short_of_descriptors(stopped, "to pin the holders and watch them exit; nothing was signalled")) return stopped;
        wait_out(stop, first_signal, order, start, deadline_after_ns(start, wait_ns), face);
        if (short_of_descriptors(stopped, "to read the socket tables after the stop")) return stopped;
    }
    // The longest wait is the one without end.
    stopped.waited_seconds = wait_ns == longest ? std::numeric_limits<double>::infinity() : static_cast<double>(wait_ns) / 1e9;
    const StopAsked said{order.request.udp, order.request.all_sockets, order.force, order.dry_run, stopped.waited_seconds};
    face.outside([&] {
        const std::span<const TableProcess> unreadable = stop.before().table.unreadable;
        std::optional<platform::ProcessView> view;
        stopped.before = states_of(stop.before(), stopped.ports, unreadable, view);
        if (!order.dry_run) stopped.after = states_of(stop.after(), stopped.ports, unreadable, view);
        const std::vector<PortStatus> before = bare(stopped.before);
        const std::vector<PortStatus> after = order.dry_run ? before : bare(stopped.after);
        stopped.results = stop_results(stop.targets(), {before, &stop.before().table}, {after, &stopped.after_table()},
                                       said, hints);
    });
    return stopped;
}

}  // namespace velmor::ports
