// duplicate INPUT OUTPUT.cib: a card image of the input.
#include <cstdio>

#include "cli/commands.hpp"
#include "cli/copy_progress_bar.hpp"
#include "cli/interrupt.hpp"
#include "cli/open_input.hpp"
#include "input/card_image.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

namespace {

int run_duplicate(Cli& cli, const std::string& name, const std::string& output) {
    // From here on Ctrl-C asks the copy to stop; it then deletes the output.
    InterruptWatch interrupt;
    Input input(cli.status);
    if (!OpenNamedInput(input, name)) return kExitFailure;
    input.input_size = input.InputSize(true, -1);
    if (input.input_size < 0) input.input_size = 0;

    cli.status.StatusText("Creating image of the input into %hs...", output);
    CopyProgressBar progress(cli.reporter, cli.status, interrupt,
                             translate("Creating card image backup..."));
    const DuplicateResult result = DuplicateCard(input, output, progress);
    const std::uint32_t errors = input.read_errors();
    switch (result) {
        case DuplicateResult::Done:
            print("%s\n%s%s\n", translate("Image has been successfully created"),
                  translate("Read errors: "), GroupedNumber(errors));
            return kExitOk;
        case DuplicateResult::Cancelled:
            cli.status.StatusText("Cancelled; the image file has been deleted");
            return kExitFailure;
        default:
            return kExitFailure;  // the error has been shown
    }
}

}  // namespace

void add_duplicate_command(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand(
        "duplicate",
        translate("Copy the input into a card image file (Ctrl-C stops and deletes it)"));
    auto input = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    cmd->add_option("INPUT", *input, translate("A file, drive or volume"))->required();
    cmd->add_option("OUTPUT", *output, translate("The card image to write (.cib)"))->required();
    cmd->callback([&cli, input, output] { cli.exit_code = run_duplicate(cli, *input, *output); });
}

}  // namespace lk::cli
