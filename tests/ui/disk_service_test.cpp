// Opening a drive that this user may not open: the analysis reads it through
// a read-only descriptor from the disk service, here a stand-in on a private
// bus that hands out a card image; without a service the error says how to
// get access.
#include "ui/disk_service.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <fstream>

#include "engine/engine.hpp"
#include "input/messages.hpp"
#include "tests/support/file_permissions.hpp"
#include "tests/support/recovery_check.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/ask_drive.hpp"
#include "ui/main_form.hpp"
#include "ui/status_form.hpp"

namespace lk {
namespace {

using namespace lk::test;
using ui::TAskDrive;
using ui::TMainForm;

// A bus of the test's own, ended with the test.
class PrivateBus {
  public:
    explicit PrivateBus(const std::filesystem::path& dir) {
        const auto config = dir / "bus.conf";
        std::ofstream(config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type>"
            << "<listen>unix:dir=" << dir.string() << "</listen><auth>EXTERNAL</auth>"
            << "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        daemon_.start("dbus-daemon", {"--config-file=" + QString::fromStdString(config.string()),
                                      "--print-address=1", "--nofork", "--nopidfile"});
        if (!daemon_.waitForStarted(10000)) return;
        while (!daemon_.canReadLine() && daemon_.waitForReadyRead(10000)) {
        }
        address = daemon_.readLine().trimmed().toStdString();
    }
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished();
    }
    std::string address;

  private:
    QProcess daemon_;
};

class DiskService : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        if (!find_program("dbus-daemon"))
            GTEST_SKIP() << "dbus-daemon not installed (scripts/setup.sh installs it)";
        use_utc();
        FatOptions o;
        o.image_size = 8u << 20;
        o.bits = FatBits::fat12;
        o.root_entries = 512;
        card.emplace(FatImage::create(tmp / "card.img", o));
        card->add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(11));
        card->add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(12));
        // The device node this user may not open (the service knows the
        // device by the node's own name).
        node = tmp / "sdz";
        std::ofstream(node) << "";
        ::chmod(node.c_str(), 0);
    }

    // The input dialog picks the card's volume and presses OK.
    void pick_volume() {
        when_modal<TAskDrive>([](TAskDrive& d) {
            click(d, "ldrive");
            EXPECT_TRUE(child<QComboBox>(d, "DriveComboBox1").currentText().contains("sdz"));
            click(d, "Button1");
        });
    }

    test::TempDir tmp;
    std::optional<FatImage> card;
    std::filesystem::path node;
    ModalWatchdog watchdog;
};

TEST(DiskServicePath, KernelNamesAreEscapedAsTheServiceNamesItsObjects) {
    EXPECT_EQ(ui::DiskServiceObjectPath("/nonexistent/sdb"),
              "/org/freedesktop/UDisks2/block_devices/sdb");
    EXPECT_EQ(ui::DiskServiceObjectPath("/nonexistent/mmcblk0p1"),
              "/org/freedesktop/UDisks2/block_devices/mmcblk0p1");
    EXPECT_EQ(ui::DiskServiceObjectPath("/nonexistent/dm-0"),
              "/org/freedesktop/UDisks2/block_devices/dm_2d0");
}

TEST_F(DiskService, TheAnalysisReadsTheDriveThroughTheServicesDescriptor) {
    PrivateBus bus(tmp.path());
    ASSERT_FALSE(bus.address.empty()) << "dbus-daemon did not start";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    const auto log = tmp / "calls.log";
    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SYSTEM_BUS_ADDRESS", QString::fromStdString(bus.address));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    service.setProcessEnvironment(env);
    service.start(LK_MOCK_UDISKS,
                  {"--device", QString::fromStdString("sdz=" + card->path().string()), "--log",
                   QString::fromStdString(log.string())});
    ASSERT_TRUE(service.waitForReadyRead(20000)) << service.readAllStandardError().toStdString();

    // The "device" is a node nobody but its owner may read; root too must
    // be refused, as a desktop user is.
    FakeDrives drives(tmp.path(), node);
    ObeyFilePermissions as_a_user;
    TMainForm form;
    form.input().drives = drives.environment();
    pick_volume();
    form.show();
    ASSERT_TRUE(wait_for(
        [&] { return child<QPushButton>(form.status_form(), "Cancel").text() == "Continue"; }));

    EXPECT_EQ(form.input().input_name(), "Volume " + drives.device);
    EXPECT_EQ(form.input().input_size,
              static_cast<std::int64_t>(8u << 20));  // the image's size, through the descriptor
    EXPECT_EQ(form.engine()->cat.counters.files, 2u);
    const auto calls = slurp(log);
    EXPECT_EQ(std::string(calls.begin(), calls.end()), "sdz r\n");  // asked once, read-only
    service.kill();
    service.waitForFinished();
    click(form.status_form(), "Cancel");
    wait_for([&] { return form.isVisible(); });
    form.input().CloseInput();
}

TEST_F(DiskService, WithoutAServiceTheErrorSaysHowToGetAccess) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (tmp / "no-bus").string()).c_str(), 1);
    FakeDrives drives(tmp.path(), node);
    ObeyFilePermissions as_a_user;
    TMainForm form;
    form.input().drives = drives.environment();
    std::string shown;
    when_modal<TAskDrive>([&](TAskDrive& d) {
        when_modal<QMessageBox>([&](QMessageBox& box) {
            shown = box.text().toStdString();
            box.accept();
        });
        // After the box the dialog asks again; this time the user gives up.
        when_modal<TAskDrive>([](TAskDrive& again) { click(again, "Button2"); });
        click(d, "ldrive");
        click(d, "Button1");
    });
    EXPECT_FALSE(form.ask_drive().ChooseInput(false));
    EXPECT_EQ(shown,
              std::string("Can't open the input drive: Permission denied\n\n") + kDriveRights);
    EXPECT_FALSE(form.input().is_open());
}

}  // namespace
}  // namespace lk
