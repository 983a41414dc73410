// lumenkeeper-cli: the engine's input tools on the command line.
#include <cstdio>
#include <string>

#include "cli/commands.hpp"
#include "lang/translate.hpp"

int main(int argc, char** argv) {
    using namespace lk::cli;
    TerminalReporter reporter;
    lk::Status status(&reporter);
    status.attach();
    Cli cli{reporter, status};

    CLI::App app{lk::translate("Recovers photos and other files from damaged memory cards."),
                 "lumenkeeper-cli"};
    app.set_version_flag("--version", std::string("lumenkeeper-cli ") + LK_VERSION,
                         lk::translate("Print the version and exit"));
    app.require_subcommand(1);
#define LK_CLI_ADD_COMMAND(name) add_##name##_command(app, cli);
    LK_CLI_COMMANDS(LK_CLI_ADD_COMMAND)
#undef LK_CLI_ADD_COMMAND

    try {
        app.parse(argc, argv);  // runs the chosen command's callback
    } catch (const CLI::ParseError& e) {
        // --help is a "successful" parse error with exit code 0.
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    } catch (const lk::FatalError&) {
        return kExitFailure;  // already shown by the reporter
    }
    return cli.exit_code;
}
