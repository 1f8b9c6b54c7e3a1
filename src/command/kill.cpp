// velmor kill: stops exactly what holds each port (the engine's stop),
// then says what became of each port and of every process signalled for
// it, with a note on what the stop leaves on the port on purpose; or all
// of that as JSON. Why a port was not freed goes to stderr, one line each.

#include <algorithm>
#include <csignal>

#include "command/rendering.hpp"
#include "command/subcommands.hpp"
#include "core/ports/stop_ports.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

// What helps, in the command's words: its flags.
ports::StopHints command_hints() { return {"--all-sockets", "--kill-after SECONDS"}; }

ports::StopOrder order_of(const Arguments& arguments) {
    ports::StopOrder order;
    order.request.ports = arguments.ports;
    order.request.udp = arguments.flag("udp");
    order.request.all_sockets = arguments.flag("all-sockets");
    order.signal = SIGTERM;
    order.force = arguments.flag("force");
    order.dry_run = arguments.flag("dry-run");
    // The parse gives the timeout's default when none is given.
    order.timeout_ns = nanoseconds_of(arguments.seconds("timeout").value_or(0));
    if (const std::optional<double> kill_after = arguments.seconds("kill-after")) {
        order.kill_after_ns = nanoseconds_of(*kill_after);
    }
    return order;
}

std::string heading(ports::StopResult result, bool dry_run) {
    switch (result) {
        case ports::StopResult::already_free:
            return "already free";
        case ports::StopResult::freed:
            return "freed";
        case ports::StopResult::dry_run:
            return "would signal";
        case ports::StopResult::failed:
            break;
    }
    return dry_run ? "would not be freed" : "not freed";
}

// On a dry run, what a target would meet rather than what it met.
std::string outcome_text(ports::Outcome outcome, bool dry_run) {
    if (dry_run && outcome == ports::Outcome::running) return "would get it";
    if (dry_run && outcome == ports::Outcome::refused) return "would be refused";
    return ports::outcome_name(outcome);
}

std::string without_trailing_spaces(std::string line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string process_line(const ports::Signalled& signalled, const StopTarget& target, bool dry_run) {
    const std::string name = text::printable(target.name);
    return without_trailing_spaces("  " + (name.empty() ? std::string("?") : name) + " (pid " +
                                   std::to_string(target.pid) + ")  " +
                                   ports::signal_name(signalled.signal).value_or("-") + "  " +
                                   outcome_text(signalled.outcome, dry_run) + "  " + text::printable(target.command));
}

// What the stop leaves on the port on purpose: UDP sockets of processes it
// did not stop (without --udp or --all-sockets), connections left closing.
std::vector<std::string> kill_notes(const ports::StoppedPorts& stopped, std::size_t i, bool udp) {
    std::vector<std::string> notes;
    const ports::PortStopResult& result = stopped.results[i];
    const ports::ExplainedStatus& after = stopped.after_state(i);
    const SocketTable& table = stopped.after_table();
    if (!udp) {
        auto signalled = [&](platform::Pid pid) {
            return std::any_of(result.processes.begin(), result.processes.end(), [&](const ports::Signalled& s) {
                return stopped.run.targets()[s.target].pid == pid;
            });
        };
        std::vector<std::string> names;
        for (std::size_t index : after.status.sockets) {
            const TableSocket& entry = table.sockets[index];
            if (entry.socket.protocol != Protocol::udp) continue;
            for (const TableHolder& holder : entry.holders) {
                const TableProcess& process = table.processes[holder.process];
                if (signalled(process.pid)) continue;
                std::string name = ports::describe(process);
                if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
            }
        }
        if (!names.empty()) {
            std::string listed;
            for (const std::string& name : names) listed += (listed.empty() ? "" : ", ") + name;
            notes.push_back("UDP on " + std::to_string(result.port) + " too: " + listed +
                            ", left alone (--udp stops it too)");
        }
    }
    if (after.closing) notes.push_back(*after.closing);
    return notes;
}

std::vector<std::string> kill_lines(const ports::StoppedPorts& stopped, std::size_t i, bool udp) {
    const ports::PortStopResult& result = stopped.results[i];
    std::vector<std::string> lines{"port " + std::to_string(result.port) + ": " + heading(result.result, stopped.dry_run)};
    for (const ports::Signalled& signalled : result.processes) {
        lines.push_back(process_line(signalled, stopped.run.targets()[signalled.target], stopped.dry_run));
    }
    for (const std::string& note : kill_notes(stopped, i, udp)) lines.push_back("note: " + text::printable(note));
    return lines;
}

// The owner as scripts have read it: {"pid", "name", "cmd"} of the first
// holder of a listener before the stop.
Json owner_json(const ports::StoppedPorts& stopped, std::size_t i) {
    const ports::PortStatus& before = stopped.before[i].status;
    if (!before.owner) return Json();
    const TableProcess& process = stopped.run.before().table.processes[*before.owner];
    return Json::Object{{"pid", Json(static_cast<std::int64_t>(process.pid))},
                        {"name", text::repaired(process.name)},
                        {"cmd", text::repaired(process.command)}};
}

Json port_json(const ports::StoppedPorts& stopped, std::size_t i) {
    const ports::PortStopResult& result = stopped.results[i];
    Json::Array processes;
    for (const ports::Signalled& signalled : result.processes) {
        const StopTarget& target = stopped.run.targets()[signalled.target];
        processes.push_back(Json::Object{{"pid", Json(static_cast<std::int64_t>(target.pid))},
                                         {"name", text::repaired(target.name)},
                                         {"cmd", text::repaired(target.command)},
                                         {"signal", Json::optional_text(ports::signal_name(signalled.signal))},
                                         {"outcome", ports::outcome_name(signalled.outcome)}});
    }
    return Json::Object{{"port", Json(static_cast<std::int64_t>(result.port))},
                        {"result", ports::result_name(result.result)},
                        {"error", Json::optional_text(result.error)},
                        {"owner", owner_json(stopped, i)},
                        {"processes", std::move(processes)}};
}

}  // namespace

int run_kill(const Arguments& arguments, Answer& answer) {
    // The command's Ctrl-C handler ends it at once: the stop runs its parts
    // in place and waits each wait out whole.
    ports::StopFace face;
    const ports::StoppedPorts stopped = ports::stop_ports(order_of(arguments), command_hints(), face);
    if (stopped.shortage) require_descriptors(stopped.shortage->error, stopped.shortage->doing);
    const bool all_free = std::none_of(stopped.results.begin(), stopped.results.end(),
                                       [](const ports::PortStopResult& r) { return r.result == ports::StopResult::failed; });
    if (arguments.flag("json")) {
        Json::Array entries;
        for (std::size_t i = 0; i < stopped.results.size(); ++i) entries.push_back(port_json(stopped, i));
        answer.line(Json(Json::Object{{"all_free", all_free}, {"ports", std::move(entries)}}).text());
    } else {
        // With --udp or --all-sockets, UDP holders were stopped too: no note on them.
        const bool every_kind = arguments.flag("udp") || arguments.flag("all-sockets");
        for (std::size_t i = 0; i < stopped.results.size(); ++i) {
            for (const std::string& line : kill_lines(stopped, i, every_kind)) answer.line(text::printable(line));
        }
    }
    for (const ports::PortStopResult& result : stopped.results) {
        if (result.error) say(text::printable("velmor kill: " + *result.error));
    }
    return all_free ? exit_ok : exit_fail;
}

}  // namespace velmor::command
