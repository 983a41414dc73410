// lumenkeeper-cli: the engine's input tools on the command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/commands.hpp"
#include "lang/language.hpp"
#include "lang/translate.hpp"

namespace {

// CLI11's own words in its help and errors, in the user's language.
// Subcommands inherit the groups, the help flag and the formatter.
void translate_help(CLI::App& app) {
    // An empty group would hide its options and commands from the help.
    if (const std::string options = lk::translate("Options"); !options.empty())
        app.option_defaults()->group(options);
    if (const std::string commands = lk::translate("Subcommands"); !commands.empty())
        app.group(commands);
    app.set_help_flag("-h,--help", lk::translate("Print this help message and exit"));
    const auto formatter = app.get_formatter();
    formatter->label("Usage", lk::translate("Usage"));
    formatter->label("OPTIONS", lk::translate("OPTIONS"));
    formatter->label("SUBCOMMAND", lk::translate("SUBCOMMAND"));
    formatter->label("Positionals", lk::translate("Positionals"));
    formatter->label("REQUIRED", lk::translate("REQUIRED"));
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return std::string(e.what()) + "\n" +
               lk::translate("Run with --help for more information.") + "\n";
    });
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lk::cli;
    TerminalReporter reporter;

    // The language follows the user's locale (LC_ALL, LC_MESSAGES, LANG);
    // language files that cannot be read end the program like any fatal error.
    const lk::LangId user_language = lk::langid_from_locale(lk::messages_locale(std::getenv));
    lk::Language language(lk::LanguageSources{lk::program_directory()}, user_language);
    if (const auto error = language.select_language(user_language)) {
        reporter.message(lk::MessageKind::Error, lk::translate("Error"), error->text);
        return kExitFailure;
    }

    lk::Status status(&reporter);
    status.attach();
    Cli cli{reporter, status};

    CLI::App app{lk::translate("Recovers photos and other files from damaged memory cards."),
                 "lumenkeeper-cli"};
    translate_help(app);
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
