// The save dialog as a user meets it: where it starts, what a typed path
// means, the desktop's folder dialog, and the summary's button.
#include "ui/save_dialog.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <filesystem>

#include "tests/support/process.hpp"
#include "tests/ui/gui_support.hpp"

namespace lk {

// Catches what the summary asks the desktop to open.
class OpenedFolders : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

namespace {

using namespace lk::test;
using ui::TSaveDialog;

class SaveDialogTest : public ::testing::Test {
  protected:
    test::TempDir tmp;
    ModalWatchdog watchdog;
};

TEST_F(SaveDialogTest, TypedPathsAreTakenFromTheHomeFolder) {
    const QString home = QDir::homePath();
    const std::pair<QString, QString> cases[] = {
        {"/media/photos/", "/media/photos"},
        {"~", home},
        {"~/Pictures/card", home + "/Pictures/card"},
        {"Pictures/card", home + "/Pictures/card"},
        {"  /tmp/a/../b  ", "/tmp/b"},
        {"", ""},
    };
    for (const auto& [typed, full] : cases) {
        TSaveDialog dialog(nullptr, "x", typed, {});
        EXPECT_EQ(dialog.folder(), full) << typed.toStdString();
    }
}

TEST_F(SaveDialogTest, SaveHasTheFocusAndTheFolderDialogStartsAtTheNearestFolderThatExists) {
    const auto base = tmp.path() / "base";
    std::filesystem::create_directories(base / "picked");
    TSaveDialog dialog(nullptr, "x", QString::fromStdString((base / "new" / "deeper").string()), {});
    QString started;
    when_modal<TSaveDialog>([&](TSaveDialog& d) {
        // The dialog's own focus: the application's is the active window's,
        // which the offscreen platform may not have made this one yet.
        QWidget* focused = d.focusWidget();
        EXPECT_EQ(focused ? focused->objectName() : QString("(none)"), QString("Save"));
        when_modal<QFileDialog>([&](QFileDialog& f) {
            started = f.directory().absolutePath();
            f.selectFile(QString::fromStdString((base / "picked").string()));
            static_cast<QDialog&>(f).accept();
        });
        click(d, "Choose");
        click(d, "Save");
    });
    ASSERT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(started, QString::fromStdString(base.string()));
    EXPECT_EQ(dialog.folder(), QString::fromStdString((base / "picked").string()));
}

TEST_F(SaveDialogTest, TheSummaryOpensTheFolderOnlyWhenOneWasWritten) {
    OpenedFolders opened;
    QDesktopServices::setUrlHandler("file", &opened, "open");
    SaveOutcome done;
    done.files_written = 2;
    done.bytes_written = 2'000;
    SaveOutcome refused;
    refused.refusal = "The folder /x cannot be made: Permission denied";
    struct Case {
        const SaveOutcome* outcome;
        bool offers_folder;
        QString first_line;
    };
    const QString folder = QString::fromStdString(tmp.path().string());
    const Case cases[] = {
        {&done, true, "Files saved in " + folder + ": 2 (2.0 KB)"},
        {&refused, false, "Nothing was saved: The folder /x cannot be made: Permission denied"},
    };
    for (const Case& c : cases) {
        bool offered = false;
        QString text;
        when_modal<QMessageBox>([&](QMessageBox& box) {
            text = box.text();
            auto* open = box.findChild<QPushButton*>("OpenFolder");
            offered = open != nullptr;
            if (open)
                open->click();
            else
                box.accept();
        });
        ui::ShowSaveSummary(nullptr, *c.outcome, tmp.path().string());
        EXPECT_EQ(offered, c.offers_folder) << text.toStdString();
        EXPECT_EQ(text.section('\n', 0, 0), c.first_line);
    }
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(opened.urls.size(), 1u);
    EXPECT_EQ(opened.urls[0], QUrl::fromLocalFile(folder));
}

}  // namespace
}  // namespace lk

#include "save_dialog_test.moc"
