// The subcommands of lumenkeeper-cli and what they share.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/terminal_reporter.hpp"
#include "base/status.hpp"
#include "lang/format.hpp"

namespace lk::cli {

enum ExitCode : int { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// What every command works with; a command's callback sets exit_code.
struct Cli {
    TerminalReporter& reporter;
    Status& status;
    int exit_code = kExitOk;
};

// A command's output on stdout (results; status lines and errors go to
// stderr through the reporter).
template <class... A>
void print(const char* fmt, const A&... a) {
    std::fputs(format(fmt, a...).c_str(), stdout);
}

// Every subcommand, in the order of the help text. Adding one takes a line
// here and its cmd_<name>.cpp, which defines add_<name>_command.
#define LK_CLI_COMMANDS(X) \
    X(drives)              \
    X(info)                \
    X(duplicate)           \
    X(recover)             \
    X(reconstruct)

#define LK_CLI_DECLARE_COMMAND(name) void add_##name##_command(CLI::App& app, Cli& cli);
LK_CLI_COMMANDS(LK_CLI_DECLARE_COMMAND)
#undef LK_CLI_DECLARE_COMMAND

}  // namespace lk::cli
