// The drives the user can pick: whole disks (physical drives, by number)
// and the volumes on them (logical drives, by device path).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "input/platform.hpp"

namespace lk {

class Status;

// One entry of the physical drive list.
struct drive_info_t {
    std::string name;         // "Drive %d" or "Floppy Drive 0" (looked up)
    std::string description;  // empty for physical drives
    std::int32_t number = 0;  // what OpenPhysicalDrive takes: 0 = first floppy, n = disk n - 1
    std::int64_t size = -1;   // bytes; -1 when sizes were not asked for
    std::string device;       // the device path, for front ends that show it
};

inline constexpr std::size_t kMaxPhysicalDrives = 128;

// The platform's disks in a stable order (kernel names): index k is drive
// number k + 1. Whole disks only; floppies (number 0), RAM disks, compressed
// swap, optical drives, virtual devices and loop devices without a backing
// file are left out.
std::vector<std::string> PlatformDisks(const DriveEnvironment& env);
// The device path of a drive number, empty when there is no such drive.
std::string PhysicalDrivePath(int number, const DriveEnvironment& env);
// Kernel names of the disks that hold the root file system (through
// partitions and device-mapper or RAID layers).
std::set<std::string> SystemDisks(const DriveEnvironment& env);

// The physical drive list: candidate 0 is the first floppy, then the
// platform's disks; the disk holding the system is skipped unless
// `include_system_disk` ("-L"). Stops at the first disk that cannot be
// opened; access denied is shown as an error (the list then holds the drives
// found before). Display numbers count from 1 without a floppy, from 0
// (the floppy) with one.
// With `list_denied` (a front end that can have the desktop's disk service
// open drives for it) a disk that this user may not open is listed anyway,
// sized by the platform's own count, and the enumeration goes on.
std::vector<drive_info_t> ListPhysicalDrives(Status& status, const DriveEnvironment& env,
                                             bool with_sizes, bool include_system_disk,
                                             bool list_denied = false);
// "Drive 2 (64 MB)".
std::string DriveLine(const drive_info_t& drive);

// One volume: a partition, or a whole disk without a partition table.
struct volume_info_t {
    std::string name;    // kernel name, "sdb1"
    std::string device;  // "/dev/sdb1"
    std::int64_t size = 0;
    bool removable = false;  // on a removable disk or a memory card slot
    bool system = false;     // holds the root file system
    bool optical = false;
    bool network = false;
};

// Every volume, as the platform gives them.
std::vector<volume_info_t> PlatformVolumes(const DriveEnvironment& env);

struct VolumeChoice {
    std::vector<volume_info_t> volumes;
    int selected = -1;  // index of the default, -1 for none
};
// Removes the system, optical and network volumes and picks the default:
// the preferred device when it is still there, else the first removable one.
// Not used with "-L", which offers every volume and chooses none.
VolumeChoice FilterLogicalDrives(std::vector<volume_info_t> volumes, const std::string& preferred);

}  // namespace lk
