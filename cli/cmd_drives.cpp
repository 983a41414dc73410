// drives [-L]: the physical drives and the volumes that can be analysed.
#include <cstdio>

#include "cli/commands.hpp"
#include "input/drives.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

namespace {

int run_drives(Cli& cli, bool list_all) {
    const DriveEnvironment env;
    print("%s\n", translate("Physical drives:"));
    for (const auto& drive : ListPhysicalDrives(cli.status, env, true, list_all))
        print("  %-32s %s\n", DriveLine(drive), drive.device);

    print("%s\n", translate("Logical drives:"));
    VolumeChoice choice;
    choice.volumes = PlatformVolumes(env);
    // "-L" offers every volume as the system lists them and picks none.
    if (!list_all) choice = FilterLogicalDrives(std::move(choice.volumes), "");
    for (std::size_t i = 0; i < choice.volumes.size(); ++i) {
        const auto& v = choice.volumes[i];
        // The default choice is marked with a star.
        print("%c %-32s (%s)\n", static_cast<int>(i) == choice.selected ? '*' : ' ', v.device,
              SizeText(v.size));
    }
    return kExitOk;
}

}  // namespace

void add_drives_command(CLI::App& app, Cli& cli) {
    auto* cmd = app.add_subcommand(
        "drives", translate("List the physical drives and the volumes that can be analysed"));
    auto list_all = std::make_shared<bool>(false);
    cmd->add_flag("-L", *list_all, translate("Also offer the drives that hold the system"));
    cmd->callback([&cli, list_all] { cli.exit_code = run_drives(cli, *list_all); });
}

}  // namespace lk::cli
