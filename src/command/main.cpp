// The velmor command: parses the call, runs the command on the engine, and
// turns every way out into its exit code and at most one line on stderr.

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "command/arguments.hpp"
#include "command/names.hpp"
#include "command/output.hpp"
#include "command/subcommands.hpp"
#include "core/system/printable.hpp"

namespace velmor::command {
namespace {

#ifndef VELMOR_VERSION
#error "VELMOR_VERSION must be defined by the build"
#endif
constexpr std::string_view version = VELMOR_VERSION;

// Ctrl-C ends the command at once, whatever it is doing: nothing it holds
// outlives the process.
extern "C" void interrupted(int) {
    clear_status_line_on_interrupt();
    ::_exit(exit_interrupted);
}

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = interrupted;
    sigemptyset(&action.sa_mask);
    struct sigaction before {};
    ::sigaction(SIGINT, &action, &before);
    // A command started in the background of a script has Ctrl-C ignored,
    // and keeps it so, as the interpreter does.
    if (before.sa_handler == SIG_IGN) ::sigaction(SIGINT, &before, nullptr);
    // A reader that has gone is seen as EPIPE on a write, not as a signal.
    ::signal(SIGPIPE, SIG_IGN);
}

int run_command(const Arguments& arguments, Answer& answer) {
    const std::string_view name = arguments.command->name;
    if (name == "ls") return run_ls(arguments, answer);
    if (name == "who") return run_who(arguments, answer);
    if (name == "check") return run_check(arguments, answer);
    if (name == "free") return run_free(arguments, answer);
    if (name == "wait") return run_wait(arguments, answer);
    if (name == "kill") return run_kill(arguments, answer);
    if (name == "completion") return run_completion(arguments, answer);
    if (name == "watch") return run_watch(arguments, answer);
    // The parser knows no other command.
    say("velmor: no such command: " + std::string(name));
    return exit_usage;
}

int run(const std::vector<std::string_view>& words, Answer& answer) {
    Arguments arguments;
    try {
        arguments = parse(words, version);
    } catch (const UsageError& error) {
        const std::string help = error.command.empty() ? "velmor --help" : "velmor " + error.command + " --help";
        // The words of the call are bytes: those that are not UTF-8 are
        // escaped one by one (\udcff), as the interpreter reads its argv.
        say(text::printable(text::with_escaped_bytes("velmor: error: " + std::string(error.what()) + " (see '" + help + "')")));
        return exit_usage;
    } catch (const Shown& shown) {
        answer.line(shown.text);
        answer.flush();
        return exit_ok;
    }
    const int code = run_command(arguments, answer);
    answer.flush();
    return code;
}

}  // namespace
}  // namespace velmor::command

int main(int argc, char** argv) {
    using namespace velmor::command;
    guard_standard_streams();
    install_signal_handlers();
    try {
        const std::vector<std::string_view> words(argv + 1, argv + argc);
        Answer answer;
        return run(words, answer);
    } catch (const AnswerNotWritten& failure) {
        say("velmor: cannot write the answer: " + failure.why);
    } catch (const ReaderGone&) {
        // The reader went away (`| head`): stop quietly.
    } catch (const NoAnswer& failure) {
        say("velmor: " + failure.why);
    } catch (const std::bad_alloc&) {
        say("velmor: out of memory");
    } catch (const std::exception& failure) {
        say(std::string("velmor: ") + failure.what());
    }
    return exit_fail;
}
