#include "cli/open_input.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "input/drives.hpp"

namespace lk::cli {

namespace {

bool open_device(Input& input, const std::string& name) {
    std::error_code ec;
    const std::string kernel_name = std::filesystem::canonical(name, ec).filename().string();
    if (!ec) {
        if (kernel_name == "fd0") return input.OpenPhysicalDrive(0);
        const auto disks = PlatformDisks(input.drives);
        auto it = std::find(disks.begin(), disks.end(), kernel_name);
        if (it != disks.end())
            return input.OpenPhysicalDrive(static_cast<int>(it - disks.begin()) + 1);
    }
    return input.OpenLogicalDrive(name);
}

}  // namespace

bool OpenNamedInput(Input& input, const std::string& name) {
    struct stat st {};
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        // A folder would open read-only and read as empty: say what is wanted.
        input.status().Error("%s is a directory: give a file, card image, drive or volume", name);
        return false;
    }
    const bool device = exists && S_ISBLK(st.st_mode);
    const bool ok = device ? open_device(input, name) : input.OpenInputFile(name);
    if (!ok)
        input.status().Error("Can't open the input drive: %hs", InputErrorText(input.last_error()));
    return ok;
}

}  // namespace lk::cli
