// reconstruct IN.jpg OUT.jpg: a damaged JPEG decoded as far as it goes and
// encoded again into a well-formed file; what could not be decoded is black.
#include <cerrno>
#include <fstream>
#include <iterator>

#include "cli/commands.hpp"
#include "input/platform.hpp"
#include "lang/translate.hpp"
#include "preview/reconstruct.hpp"

namespace lk::cli {

namespace {

int run_reconstruct(Cli& cli, const std::string& input, const std::string& output) {
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        cli.status.Error("%hs: %hs", input, InputErrorText(errno));
        return kExitFailure;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    if (const auto error = ReconstructJpeg(bytes, output)) {
        cli.status.Error("%hs: %hs", output, *error);
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

void add_reconstruct_command(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand(
        "reconstruct",
        translate("Rebuild a damaged JPEG: decode it as far as possible and encode it again"));
    auto input = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    cmd->add_option("IN", *input, translate("The damaged JPEG file"))->required();
    cmd->add_option("OUT", *output, translate("The new JPEG file to write"))->required();
    cmd->callback([&cli, input, output] { cli.exit_code = run_reconstruct(cli, *input, *output); });
}

}  // namespace lk::cli
