// Opening a drive without running as root: the desktop's disk service
// (UDisks2 on the system bus) hands out a read-only descriptor of the device
// once the user has authorised it.
#pragma once

#include <string>

namespace lk::ui {

struct DiskServiceAnswer {
    int fd = -1;             // the descriptor (read-only), -1 when none was given
    bool available = false;  // false: there is no disk service to ask
    std::string error;       // the service's reason when it refused
};

// UDisks2's object path of a block device: its kernel name with every
// character other than a letter or digit written as _xx (hexadecimal).
std::string DiskServiceObjectPath(const std::string& device);

// Asks org.freedesktop.UDisks2.Block.OpenDevice with mode "r" for `device`
// (a device path). The GUI keeps processing events while the service asks
// the user for authorisation.
DiskServiceAnswer OpenThroughDiskService(const std::string& device);

}  // namespace lk::ui
