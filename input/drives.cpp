#include "input/drives.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "base/status.hpp"
#include "input/input.hpp"
#include "input/messages.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

namespace fs = std::filesystem;

namespace {

std::string read_line(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool starts_with(const std::string& s, std::string_view prefix) {
    return s.rfind(prefix, 0) == 0;
}

fs::path block_dir(const DriveEnvironment& env) {
    return fs::path(env.sys_root) / "block";
}

// Kernel names of the disks, sorted, as sysfs lists them.
std::vector<std::string> all_disks(const DriveEnvironment& env) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(block_dir(env), ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool is_loop_without_file(const DriveEnvironment& env, const std::string& name) {
    std::error_code ec;
    return starts_with(name, "loop") &&
           !fs::exists(block_dir(env) / name / "loop" / "backing_file", ec);
}

// RAM disks, compressed swap and unused loop devices hold no card.
bool is_memory_device(const DriveEnvironment& env, const std::string& name) {
    return starts_with(name, "ram") || starts_with(name, "zram") || is_loop_without_file(env, name);
}

bool is_virtual(const DriveEnvironment& env, const std::string& name) {
    std::error_code ec;
    fs::path real = fs::canonical(block_dir(env) / name, ec);
    return !ec && real.string().find("/devices/virtual/") != std::string::npos;
}

struct BlockDevice {
    std::string name;   // kernel name
    std::string disk;   // the whole disk it belongs to
    std::string dev;    // "major:minor"
    fs::path dir;       // its sysfs directory
    int partition = 0;  // partition number, 0 for a whole disk
};

std::vector<BlockDevice> block_devices(const DriveEnvironment& env) {
    std::vector<BlockDevice> out;
    for (const std::string& disk : all_disks(env)) {
        const fs::path dir = block_dir(env) / disk;
        out.push_back({disk, disk, read_line(dir / "dev"), dir, 0});
        std::vector<BlockDevice> parts;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            std::error_code ec2;
            if (!entry.is_directory(ec2) || !fs::exists(entry.path() / "partition", ec2)) continue;
            int number = std::atoi(read_line(entry.path() / "partition").c_str());
            parts.push_back({entry.path().filename().string(), disk,
                             read_line(entry.path() / "dev"), entry.path(), number});
        }
        std::sort(parts.begin(), parts.end(), [](const BlockDevice& a, const BlockDevice& b) {
            return a.partition < b.partition;
        });
        out.insert(out.end(), parts.begin(), parts.end());
    }
    return out;
}

dev_t root_device(const DriveEnvironment& env) {
    if (env.root_device != 0) return env.root_device;
    struct stat st {};
    return ::stat("/", &st) == 0 ? st.st_dev : 0;
}

// The devices that hold the root file system: the one it is mounted from and
// everything beneath it (the partitions under a device-mapper or RAID volume).
std::set<std::string> system_devices(const DriveEnvironment& env,
                                     const std::vector<BlockDevice>& devices) {
    std::set<std::string> found;
    const dev_t root = root_device(env);
    if (root == 0) return found;
    const std::string want = format("%u:%u", ::major(root), ::minor(root));
    std::vector<const BlockDevice*> queue;
    for (const auto& d : devices)
        if (d.dev == want) queue.push_back(&d);
    // Each device is visited once, so the walk ends however the slaves link.
    while (!queue.empty()) {
        const BlockDevice* d = queue.back();
        queue.pop_back();
        if (!found.insert(d->name).second) continue;
        std::error_code ec;
        for (const auto& slave : fs::directory_iterator(d->dir / "slaves", ec)) {
            const std::string name = slave.path().filename().string();
            for (const auto& other : devices)
                if (other.name == name) queue.push_back(&other);
        }
    }
    return found;
}

std::int64_t sysfs_size(const fs::path& dir) {
    // sysfs counts 512-byte units whatever the device's sector size.
    return std::atoll(read_line(dir / "size").c_str()) * 512;
}

}  // namespace

std::vector<std::string> PlatformDisks(const DriveEnvironment& env) {
    std::vector<std::string> disks;
    for (const std::string& name : all_disks(env)) {
        if (starts_with(name, "fd") || starts_with(name, "sr") || is_memory_device(env, name))
            continue;
        if (!starts_with(name, "loop") && is_virtual(env, name)) continue;
        disks.push_back(name);
    }
    return disks;
}

std::string PhysicalDrivePath(int number, const DriveEnvironment& env) {
    if (number == 0) {
        std::error_code ec;
        return fs::exists(block_dir(env) / "fd0", ec) ? env.dev_root + "/fd0" : std::string();
    }
    if (number < 0) return {};
    const auto disks = PlatformDisks(env);
    if (static_cast<std::size_t>(number) > disks.size()) return {};
    return env.dev_root + "/" + disks[static_cast<std::size_t>(number) - 1];
}

std::set<std::string> SystemDisks(const DriveEnvironment& env) {
    const auto devices = block_devices(env);
    std::set<std::string> disks;
    for (const std::string& name : system_devices(env, devices))
        for (const auto& d : devices)
            if (d.name == name) disks.insert(d.disk);
    return disks;
}

std::vector<drive_info_t> ListPhysicalDrives(Status& status, const DriveEnvironment& env,
                                             bool with_sizes, bool include_system_disk,
                                             bool list_denied) {
    std::vector<drive_info_t> list;
    const auto disks = PlatformDisks(env);
    const auto system = SystemDisks(env);
    bool floppy = false;
    for (int i = 0; list.size() < kMaxPhysicalDrives; ++i) {
        if (i > 0 && !include_system_disk && static_cast<std::size_t>(i) <= disks.size() &&
            system.count(disks[static_cast<std::size_t>(i) - 1]))
            continue;
        Input drive(status);
        drive.drives = env;
        bool denied = false;
        if (!drive.OpenPhysicalDrive(i)) {
            const int error = drive.last_error();
            denied = error == EACCES || error == EPERM;
            if (denied && !list_denied) {
                status.Error(kDriveRights);
                break;
            }
            if (!denied && i > 0) break;
            if (!denied) continue;  // no floppy: the disks follow
        }
        if (i == 0) floppy = true;
        drive_info_t info;
        info.number = i;
        const int display = floppy && i > 0 ? i - 1 : i;
        info.name = format("%s %d", translate(i == 0 ? "Floppy Drive" : "Drive"), display);
        if (with_sizes)
            info.size =
                denied ? sysfs_size(block_dir(env) / fs::path(PhysicalDrivePath(i, env)).filename())
                       : drive.InputSize(false, -1);
        info.device = PhysicalDrivePath(i, env);
        list.push_back(std::move(info));
    }
    return list;
}

std::string DriveLine(const drive_info_t& drive) {
    return drive.name + " (" + SizeText(drive.size) + ")";
}

std::vector<volume_info_t> PlatformVolumes(const DriveEnvironment& env) {
    const auto devices = block_devices(env);
    const auto system = system_devices(env, devices);
    std::vector<volume_info_t> volumes;
    for (const auto& d : devices) {
        if (is_memory_device(env, d.disk)) continue;
        if (d.partition == 0) {
            // A whole disk is a volume only when it has no partitions (a card
            // formatted without a partition table).
            bool has_parts = std::any_of(devices.begin(), devices.end(), [&](const BlockDevice& p) {
                return p.disk == d.name && p.partition != 0;
            });
            if (has_parts) continue;
        }
        volume_info_t v;
        v.name = d.name;
        v.device = env.dev_root + "/" + d.name;
        v.size = sysfs_size(d.dir);
        // Built-in card slots (mmcblk) report themselves as fixed.
        v.removable = read_line(block_dir(env) / d.disk / "removable") == "1" ||
                      starts_with(d.disk, "mmcblk");
        v.system = system.count(d.name) != 0;
        v.optical = starts_with(d.disk, "sr");
        v.network = starts_with(d.disk, "nbd") || starts_with(d.disk, "rbd");
        volumes.push_back(std::move(v));
    }
    return volumes;
}

VolumeChoice FilterLogicalDrives(std::vector<volume_info_t> volumes, const std::string& preferred) {
    VolumeChoice choice;
    for (auto& v : volumes)
        if (!v.system && !v.optical && !v.network) choice.volumes.push_back(std::move(v));
    for (std::size_t i = 0; i < choice.volumes.size(); ++i)
        if (!preferred.empty() &&
            (choice.volumes[i].device == preferred || choice.volumes[i].name == preferred))
            choice.selected = static_cast<int>(i);
    for (std::size_t i = 0; choice.selected < 0 && i < choice.volumes.size(); ++i)
        if (choice.volumes[i].removable) choice.selected = static_cast<int>(i);
    return choice;
}

}  // namespace lk
