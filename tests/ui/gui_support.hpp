// Driving the real windows from tests: waiting with the event loop running,
// answering modal dialogs as a user would, reading what the windows show.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>

#include "input/platform.hpp"
#include "tests/support/process.hpp"
#include "ui/automation.hpp"

namespace lk::test {

// Processes events until `done` holds; false when timeout_ms passed first.
bool wait_for(const std::function<bool()>& done, int timeout_ms = 120'000);

// Answers the next modal dialog of type T once it is up.
template <class T>
void when_modal(std::function<void(T&)> act) {
    ui::WhenModal<T>(std::move(act));
}

// The child of `parent` named `name`, failing the test when there is none.
template <class T>
T& child(QObject& parent, const char* name) {
    T* found = parent.findChild<T*>(name);
    if (!found) throw std::runtime_error(std::string("no child named ") + name);
    return *found;
}

inline void click(QObject& parent, const char* name) {
    child<QAbstractButton>(parent, name).click();
}

// Types into a line edit as a user would (textEdited fires).
void type_into(QLineEdit& edit, const QString& text);

// Per test: closes every modal dialog left open after `seconds`, so that a
// test that waits for the wrong dialog fails instead of hanging.
class ModalWatchdog {
  public:
    explicit ModalWatchdog(int seconds = 300);
    ~ModalWatchdog();

  private:
    QTimer* timer_;
};

// A fake machine for the drive lists: one removable disk "sdz" (no
// partitions) whose device node is `node`, and a system disk "vda" with
// root on "vda1".
struct FakeDrives {
    explicit FakeDrives(const std::filesystem::path& root, const std::filesystem::path& node);
    std::string sys_root;
    std::string dev_root;
    std::string device;  // dev_root + "/sdz"
    DriveEnvironment environment() const;
};

}  // namespace lk::test
