// info INPUT: the input's display name and size, and its card image header.
#include <cstdio>
#include <ctime>

#include "cli/commands.hpp"
#include "cli/open_input.hpp"
#include "input/card_image.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

namespace {

void field(const char* label, const std::string& value) {
    print("%s%s\n", translate(label), value);
}

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += format("%02x", p[i]);
    return out;
}

std::string utc_time(std::uint32_t seconds) {
    const std::time_t t = seconds;
    std::tm tm{};
    char buf[32];
    if (!::gmtime_r(&t, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm))
        return format("%u", seconds);
    return buf;
}

int run_info(Cli& cli, const std::string& name) {
    Input input(cli.status);
    if (!OpenNamedInput(input, name)) return kExitFailure;
    const std::int64_t size = input.InputSize(true, -1);
    field("Input: ", input.input_name());
    field("Size: ", size < 0 ? SizeText(size)
                             : format("%s %s (%s)", GroupedNumber(static_cast<std::uint64_t>(size)),
                                      translate("bytes"), SizeText(size)));
    if (const cib_t* h = input.card_image()) {
        // Copied out of the packed header before use.
        const std::uint32_t time = h->time, errors = h->read_errors;
        const std::uint64_t card_size = h->size;
        print("%s\n", translate("Card image header:"));
        field("  Version: ", format("%u", h->version));
        field("  Flags: ", format("0x%02X", h->flags));
        field("  Created: ", utc_time(time));
        field("  Card size: ", format("%s %s", GroupedNumber(card_size), translate("bytes")));
        field("  Read errors: ", GroupedNumber(errors));
        field("  Name: ", std::string(h->name));
        field("  MD5: ", hex(h->md5, sizeof h->md5));
    }
    return kExitOk;
}

}  // namespace

void add_info_command(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand(
        "info", translate("Show an input's name and size, and the header of a card image"));
    auto input = std::make_shared<std::string>();
    cmd->add_option("INPUT", *input, translate("A file, card image, drive or volume"))->required();
    cmd->callback([&cli, input] { cli.exit_code = run_info(cli, *input); });
}

}  // namespace lk::cli
