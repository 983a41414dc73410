#include "input/drives.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "base/status.hpp"
#include "input/messages.hpp"
#include "tests/input/fault_backend.hpp"
#include "tests/support/file_permissions.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;

// A small machine: a system disk (vda, root on vda1), a card reader with two
// partitions (sdb), an unpartitioned disk (sdc), a used and an unused loop
// device, an optical drive, RAM disks and a device-mapper volume on sdb2.
class Drives : public ::testing::Test {
protected:
    void SetUp() override {
        env.sys_root = (tmp.path() / "sys").string();
        env.dev_root = (tmp.path() / "dev").string();
        env.root_device = makedev(254, 1);
        fs::create_directories(env.dev_root);
        disk("vda", "254:0", 128, false, 65536);
        part("vda", "vda1", 1, "254:1", 100);
        disk("sdb", "8:16", 64, true, 32768);
        part("sdb", "sdb1", 1, "8:17", 32);
        part("sdb", "sdb2", 2, "8:18", 16);
        disk("sdc", "8:32", 32, false, 16384);
        disk("loop0", "7:0", 0, false, 0);
        disk("loop1", "7:1", 16, false, 8192);
        fs::create_directories(block("loop1") / "loop");
        write(block("loop1") / "loop" / "backing_file", "/images/card.img");
        disk("sr0", "11:0", 0, true, 0);
        disk("ram0", "1:0", 8192, false, 0);
        disk("zram0", "252:0", 8192, false, 0);
        // Device-mapper volumes live under /sys/devices/virtual.
        const fs::path dm = fs::path(env.sys_root) / "devices" / "virtual" / "block" / "dm-0";
        fs::create_directories(dm / "slaves");
        write(dm / "dev", "253:0");
        write(dm / "size", "16");
        write(dm / "removable", "0");
        write(dm / "slaves" / "sdb2", "");
        fs::create_directory_symlink("../devices/virtual/block/dm-0", block("dm-0"));
    }

    fs::path block(const std::string& name) const {
        return fs::path(env.sys_root) / "block" / name;
    }
    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path) << text << "\n";
    }
    void disk(const std::string& name, const std::string& dev, int sectors, bool removable,
              std::size_t node_bytes) {
        fs::create_directories(block(name));
        write(block(name) / "dev", dev);
        write(block(name) / "size", std::to_string(sectors));
        write(block(name) / "removable", removable ? "1" : "0");
        if (node_bytes)
            std::ofstream(fs::path(env.dev_root) / name) << std::string(node_bytes, 'd');
    }
    void part(const std::string& disk, const std::string& name, int number, const std::string& dev,
              int sectors) {
        fs::create_directories(block(disk) / name);
        write(block(disk) / name / "partition", std::to_string(number));
        write(block(disk) / name / "dev", dev);
        write(block(disk) / name / "size", std::to_string(sectors));
    }
    std::vector<std::string> lines(bool with_sizes, bool include_system, bool list_denied = false) {
        std::vector<std::string> out;
        for (const auto& d :
             ListPhysicalDrives(status, env, with_sizes, include_system, list_denied))
            out.push_back(DriveLine(d) + " " + d.device.substr(env.dev_root.size()));
        return out;
    }

    test::TempDirectory tmp;
    DriveEnvironment env;
    test::RecordingReporter reporter;
    Status status{&reporter};
};

TEST_F(Drives, PlatformDisksAreWholeRealDisks) {
    EXPECT_EQ(PlatformDisks(env), (std::vector<std::string>{"loop1", "sdb", "sdc", "vda"}));
    EXPECT_EQ(PhysicalDrivePath(2, env), env.dev_root + "/sdb");
    EXPECT_EQ(PhysicalDrivePath(0, env), "") << "no floppy";
    EXPECT_EQ(PhysicalDrivePath(5, env), "");
}

TEST_F(Drives, PhysicalDriveListNumbering) {
    using V = std::vector<std::string>;
    EXPECT_EQ(lines(true, false),
              (V{"Drive 1 (8 KB) /loop1", "Drive 2 (32 KB) /sdb", "Drive 3 (16 KB) /sdc"}));
    EXPECT_EQ(lines(false, true), (V{"Drive 1 (-1 bytes) /loop1", "Drive 2 (-1 bytes) /sdb",
                                     "Drive 3 (-1 bytes) /sdc", "Drive 4 (-1 bytes) /vda"}));

    // A floppy is number 0 and shifts the display numbers of the disks down.
    disk("fd0", "2:0", 2, true, 1024);
    EXPECT_EQ(lines(true, false), (V{"Floppy Drive 0 (1 KB) /fd0", "Drive 0 (8 KB) /loop1",
                                     "Drive 1 (32 KB) /sdb", "Drive 2 (16 KB) /sdc"}));

    // A disk that cannot be opened ends the list.
    fs::remove(fs::path(env.dev_root) / "sdb");
    EXPECT_EQ(lines(false, true),
              (V{"Floppy Drive 0 (-1 bytes) /fd0", "Drive 0 (-1 bytes) /loop1"}));
    EXPECT_TRUE(reporter.messages.empty());
}

TEST_F(Drives, ADiskThisUserMayNotOpen) {
    using V = std::vector<std::string>;
    ::chmod((fs::path(env.dev_root) / "sdb").c_str(), 0);
    test::ObeyFilePermissions as_a_user;
    // Alone, the list ends there and says how to get access.
    EXPECT_EQ(lines(true, false), (V{"Drive 1 (8 KB) /loop1"}));
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0], kDriveRights);
    // A front end with a disk service lists it, sized by the platform's count.
    EXPECT_EQ(lines(true, false, true),
              (V{"Drive 1 (8 KB) /loop1", "Drive 2 (32 KB) /sdb", "Drive 3 (16 KB) /sdc"}));
    EXPECT_EQ(reporter.messages.size(), 1u);
}

TEST_F(Drives, SystemDisksFollowPartitionsAndDeviceMapper) {
    struct Case {
        dev_t root;
        std::set<std::string> want;
    };
    const Case cases[] = {
        {makedev(254, 1), {"vda"}},
        {makedev(8, 18), {"sdb"}},
        {makedev(253, 0), {"dm-0", "sdb"}},
        {makedev(0, 99), {}},  // an overlay or network root: no local disk
    };
    for (const Case& c : cases) {
        env.root_device = c.root;
        EXPECT_EQ(SystemDisks(env), c.want) << major(c.root) << ":" << minor(c.root);
    }
}

TEST_F(Drives, LogicalDriveFilter) {
    auto names = [](const std::vector<volume_info_t>& v) {
        std::vector<std::string> out;
        for (const auto& x : v) out.push_back(x.name);
        return out;
    };
    using V = std::vector<std::string>;
    const auto all = PlatformVolumes(env);
    EXPECT_EQ(names(all), (V{"dm-0", "loop1", "sdb1", "sdb2", "sdc", "sr0", "vda1"}));
    EXPECT_EQ(all[2].device, env.dev_root + "/sdb1");
    EXPECT_EQ(all[2].size, 32 * 512);

    struct Case {
        std::string preferred;
        std::string selected;
    };
    const Case cases[] = {
        {"", "sdb1"},                      // the first removable volume
        {env.dev_root + "/sdc", "sdc"},    // the preferred one
        {env.dev_root + "/vda1", "sdb1"},  // preferred but filtered out
    };
    for (const Case& c : cases) {
        const VolumeChoice choice = FilterLogicalDrives(all, c.preferred);
        EXPECT_EQ(names(choice.volumes), (V{"dm-0", "loop1", "sdb1", "sdb2", "sdc"}));
        ASSERT_GE(choice.selected, 0);
        EXPECT_EQ(choice.volumes[static_cast<std::size_t>(choice.selected)].name, c.selected);
    }
}

}  // namespace
}  // namespace lk
