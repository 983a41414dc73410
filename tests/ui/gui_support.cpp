#include "tests/ui/gui_support.hpp"

#include <sys/sysmacros.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QThread>
#include <fstream>

#include "ui/gui_thread.hpp"

namespace lk::test {

namespace fs = std::filesystem;

bool wait_for(const std::function<bool()>& done, int timeout_ms) {
    return ui::WaitProcessingEvents(done, 20, timeout_ms);
}

void type_into(QLineEdit& edit, const QString& text) {
    edit.selectAll();
    edit.del();
    edit.insert(text);  // insert() emits textEdited, as typing does
}

ModalWatchdog::ModalWatchdog(int seconds) : timer_(new QTimer(qApp)) {
    timer_->setSingleShot(true);
    QObject::connect(timer_, &QTimer::timeout, qApp, [] {
        ADD_FAILURE() << "a dialog was left open";
        while (QWidget* modal = QApplication::activeModalWidget())
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            else
                modal->close();
    });
    timer_->start(seconds * 1000);
}

ModalWatchdog::~ModalWatchdog() {
    delete timer_;
}

FakeDrives::FakeDrives(const fs::path& root, const fs::path& node) {
    sys_root = (root / "sys").string();
    dev_root = (root / "dev").string();
    auto write = [](const fs::path& path, const std::string& text) {
        std::ofstream(path) << text << "\n";
    };
    const fs::path block = fs::path(sys_root) / "block";
    fs::create_directories(block / "sdz");
    write(block / "sdz" / "dev", "8:250");
    write(block / "sdz" / "size", std::to_string(fs::exists(node) ? fs::file_size(node) / 512 : 0));
    write(block / "sdz" / "removable", "1");
    fs::create_directories(block / "vda" / "vda1");
    write(block / "vda" / "dev", "254:0");
    write(block / "vda" / "size", "65536");
    write(block / "vda" / "removable", "0");
    write(block / "vda" / "vda1" / "dev", "254:1");
    write(block / "vda" / "vda1" / "partition", "1");
    write(block / "vda" / "vda1" / "size", "65000");
    fs::create_directories(dev_root);
    device = dev_root + "/sdz";
    fs::create_symlink(node, device);
    std::ofstream(dev_root + "/vda") << "system disk";
    std::ofstream(dev_root + "/vda1") << "system volume";
}

}  // namespace lk::test

namespace lk::test {

DriveEnvironment FakeDrives::environment() const {
    DriveEnvironment env;
    env.sys_root = sys_root;
    env.dev_root = dev_root;
    env.root_device = makedev(254, 1);
    return env;
}

}  // namespace lk::test
