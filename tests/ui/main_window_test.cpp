// Whole runs through the real windows: the input dialog picks a card image
// made at test time, the status window counts what the engine counts, the
// tree and the list show what was recovered, and saving writes it.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include "engine/engine.hpp"
#include "output/size_words.hpp"
#include "tests/support/file_permissions.hpp"
#include "tests/support/recovery_check.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/ask_drive.hpp"
#include "ui/main_form.hpp"
#include "ui/save_dialog.hpp"
#include "ui/size_form.hpp"
#include "ui/status_form.hpp"

namespace lk {
namespace {

using namespace lk::test;
using ui::TAskDrive;
using ui::TSaveDialog;
using ui::TMainForm;

std::uint64_t shown_number(ui::Tstform& form, int slot) {
    QString text = child<QLineEdit>(form, QString("Edit%1").arg(slot).toUtf8().constData()).text();
    text.remove(',');
    return text.toULongLong();  // an empty field shows nothing sent: 0
}

QStringList list_texts(const QListWidget& list) {
    QStringList texts;
    for (int i = 0; i < list.count(); ++i) texts << list.item(i)->text();
    return texts;
}

QTreeWidgetItem* find_node(QTreeWidgetItem* node, const QString& caption) {
    for (int i = 0; node && i < node->childCount(); ++i)
        if (node->child(i)->text(0) == caption) return node->child(i);
    return nullptr;
}

class GuiRun : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
        FatOptions o;
        o.image_size = 16u << 20;
        o.bits = FatBits::fat16;
        card.emplace(FatImage::create(tmp / "card.img", o));
        const std::time_t t = FatImage::default_mtime();
        card->add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(1), t);
        card->add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(2, 320, 240), t + 60);
        card->add_file("DCIM/100CANON/IMG_0003.JPG", camera_picture(3), t + 120);
        card->add_file("Holiday 2021/Beach at sunset.jpg", camera_picture(4, 800, 600), t + 180);
        card->add_file("notes.txt", std::vector<std::uint8_t>(5000, 'n'), t + 240);
        card->add_file("gone.txt", std::vector<std::uint8_t>(3000, 'g'), t + 300);
        card->delete_file("gone.txt");
    }

    // Picks the card image in the input dialog as soon as the window is up.
    void pick_file(const std::string& path, bool expert = false) {
        when_modal<TAskDrive>([path, expert](TAskDrive& d) {
            click(d, "file");
            child<QCheckBox>(d, "ExpertMode").setChecked(expert);
            type_into(child<QLineEdit>(d, "fname"), QString::fromStdString(path));
            click(d, "Button1");
        });
    }

    bool wait_continue(TMainForm& form) {
        return wait_for(
            [&] { return child<QPushButton>(form.status_form(), "Cancel").text() == "Continue"; });
    }

    // Answers the save dialog with `dir` and the summary at the end, whose
    // text lands in `summary`.
    void choose_folder(const std::filesystem::path& dir) {
        summary = std::make_shared<QString>();
        when_modal<TSaveDialog>([dir](TSaveDialog& d) {
            type_into(child<QLineEdit>(d, "Folder"), QString::fromStdString(dir.string()));
            click(d, "Save");
        });
        when_modal<QMessageBox>([shown = summary](QMessageBox& box) {
            *shown = box.text();
            box.accept();
        });
    }
    // The save started after choose_folder() has ended and said so.
    bool saved(TMainForm& form) {
        return wait_for([&] { return !form.busy() && !summary->isEmpty(); });
    }
    std::shared_ptr<QString> summary;

    test::TempDir tmp;
    std::optional<FatImage> card;
    ModalWatchdog watchdog;
};

TEST_F(GuiRun, WholeRunThroughTheWindows) {
    TMainForm form;
    pick_file(card->path().string());
    form.show();  // the input dialog opens by itself
    ASSERT_TRUE(wait_continue(form));
    ASSERT_NE(form.engine(), nullptr);

    // The counters shown are the engine's, and the totals are the card's.
    ui::Tstform& status = form.status_form();
    const Counters& k = form.engine()->cat.counters;
    EXPECT_EQ(shown_number(status, 2), k.directories);
    EXPECT_EQ(shown_number(status, 3), k.files);
    EXPECT_EQ(shown_number(status, 4), k.crippled);
    EXPECT_EQ(shown_number(status, 5), k.contiguous);
    // Sizes with their unit, as the language writes them.
    EXPECT_EQ(child<QLineEdit>(status, "Edit6").text(), QString::fromStdString(SizeWithUnit(k.recovered_size)));
    EXPECT_EQ(child<QLineEdit>(status, "Edit12").text(), QString::fromStdString(SizeWithUnit(16 << 20)));
    EXPECT_EQ(child<QLineEdit>(status, "Edit10").text(), "FAT16");
    EXPECT_GE(k.files, card->present_files().size());
    EXPECT_TRUE(status.isVisible());
    EXPECT_TRUE(form.isVisible());  // it stays, under the status window
    EXPECT_EQ(list_texts(child<QListWidget>(status, "ListBox1")).last(),
              "Analysis finished, please click Continue");

    click(status, "Cancel");  // now "Continue"
    ASSERT_TRUE(wait_for([&] { return form.isVisible() && !status.isVisible(); }));
    EXPECT_TRUE(form.rerun_question().isVisible());  // outside expert mode it is offered

    // The tree holds the recovered folders; the root's list their entries.
    QTreeWidgetItem* root = form.dirs()->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0), "/");
    QTreeWidgetItem* camera = find_node(find_node(root, "DCIM"), "100CANON");
    ASSERT_NE(camera, nullptr);
    ASSERT_NE(find_node(root, "Holiday 2021"), nullptr);
    const QStringList top = list_texts(*form.files());
    EXPECT_TRUE(top.contains("DCIM") && top.contains("Holiday 2021") && top.contains("notes.txt"))
        << top.join(", ").toStdString();
    form.dirs()->setCurrentItem(camera);
    EXPECT_EQ(list_texts(*form.files()),
              QStringList({"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"}));

    // Save all: every file, byte for byte, with its time. The windows may
    // come back while the worker thread is still ending; the action waits
    // for that end.
    EXPECT_TRUE(wait_for([&] { return form.findChild<QAction*>("acSaveAll")->isEnabled(); }));
    EXPECT_FALSE(form.findChild<QAction*>("acSave")->isEnabled());  // nothing selected
    const auto all = tmp / "all";
    std::filesystem::create_directories(all);
    choose_folder(all);
    form.acSaveAllExecute();
    ASSERT_TRUE(saved(form));
    expect_recovered(card->present_files(), all);
    EXPECT_EQ(files_under(all).size(), k.files);

    // Save: only the selection.
    form.files()->item(1)->setSelected(true);
    EXPECT_TRUE(form.findChild<QAction*>("acSave")->isEnabled());
    const auto some = tmp / "some";
    std::filesystem::create_directories(some);
    choose_folder(some);
    form.acSaveExecute();
    ASSERT_TRUE(saved(form));
    const auto written = files_under(some);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.begin()->first, "IMG_0002.JPG");
    EXPECT_TRUE(slurp(written.begin()->second) == camera_picture(2, 320, 240));

    // Dragging out: nothing is written until the drop target asks, then the
    // selected items arrive as files, directories with their contents.
    form.dirs()->setCurrentItem(root);
    form.files()->clearSelection();
    for (int i = 0; i < form.files()->count(); ++i)
        if (form.files()->item(i)->text() == "DCIM" || form.files()->item(i)->text() == "notes.txt")
            form.files()->item(i)->setSelected(true);
    std::unique_ptr<QMimeData> data(form.DragData());
    ASSERT_TRUE(data);
    EXPECT_TRUE(data->hasUrls());
    const QList<QUrl> urls = data->urls();
    ASSERT_EQ(urls.size(), 2);
    const std::filesystem::path dropped =
        std::filesystem::path(urls[0].toLocalFile().toStdString()).parent_path();
    EXPECT_EQ(files_under(dropped).size(), 4u);  // three pictures and the notes
    EXPECT_TRUE(slurp(dropped / "DCIM/100CANON/IMG_0003.JPG") == camera_picture(3));
    EXPECT_EQ(data->urls(), urls);  // written once
    form.close();
    EXPECT_FALSE(std::filesystem::exists(dropped)) << "the drag folder goes with the program";
}

TEST(FileList, ADragStartsTenPixelsAwayAlongEitherAxis) {
    struct Case {
        QPoint to;
        bool starts;
    };
    for (const Case& c :
         {Case{{9, 9}, false}, Case{{10, 0}, true}, Case{{0, -10}, true}, Case{{-9, 3}, false}}) {
        SCOPED_TRACE(::testing::Message() << c.to.x() << "," << c.to.y());
        EXPECT_EQ(ui::TFileList::DragDistanceReached({100, 100}, QPoint(100, 100) + c.to),
                  c.starts);
    }
}

// Saving the card twice into one folder writes nothing the second time, and
// the summary says what was saved where and what was already there.
TEST_F(GuiRun, SavingTwiceIntoOneFolderWritesNothingTheSecondTime) {
    TMainForm form;
    pick_file(card->path().string());
    form.show();
    ASSERT_TRUE(wait_continue(form));
    click(form.status_form(), "Cancel");
    ASSERT_TRUE(wait_for([&] { return form.findChild<QAction*>("acSaveAll")->isEnabled(); }));
    const std::size_t files = form.engine()->cat.counters.files;

    const auto all = tmp / "all";
    choose_folder(all);  // not there yet: made by the save
    form.acSaveAllExecute();
    ASSERT_TRUE(saved(form));
    const auto first = files_under(all);
    EXPECT_EQ(first.size(), files);
    EXPECT_TRUE(summary->startsWith(QString::fromStdString("Files saved in " + all.string() + ": " +
                                                           std::to_string(files) + " (")))
        << summary->toStdString();
    std::map<std::string, std::filesystem::file_time_type> written;
    for (const auto& [name, path] : first) written[name] = std::filesystem::last_write_time(path);

    choose_folder(all);
    form.acSaveAllExecute();
    ASSERT_TRUE(saved(form));
    EXPECT_TRUE(summary->contains(QString::fromStdString(": 0 (0 bytes)"))) << summary->toStdString();
    EXPECT_TRUE(summary->contains(QString::fromStdString(
        "Already there with the same content, not written again: " + std::to_string(files))))
        << summary->toStdString();
    const auto second = files_under(all);
    EXPECT_EQ(second.size(), files) << "no numbered copies";
    for (const auto& [name, path] : second)
        EXPECT_EQ(std::filesystem::last_write_time(path), written[name]) << name;
    form.close();
}

// A folder that cannot take the files is refused in the save dialog, with
// the reason, before anything is written; the dialog stays for another.
TEST_F(GuiRun, AFolderThatCannotTakeTheFilesIsRefusedBeforeAnythingIsWritten) {
    TMainForm form;
    pick_file(card->path().string());
    form.show();
    ASSERT_TRUE(wait_continue(form));
    click(form.status_form(), "Cancel");
    ASSERT_TRUE(wait_for([&] { return form.findChild<QAction*>("acSaveAll")->isEnabled(); }));

    const auto locked = tmp / "locked";
    std::filesystem::create_directories(locked);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    test::ObeyFilePermissions as_a_user;  // the dialog checks on this thread
    QString problem;
    bool stayed = false;
    when_modal<TSaveDialog>([&](TSaveDialog& d) {
        type_into(child<QLineEdit>(d, "Folder"), QString::fromStdString((locked / "new").string()));
        click(d, "Save");
        stayed = d.isVisible();
        problem = child<QLabel>(d, "Problem").text();
        d.reject();
    });
    form.acSaveAllExecute();
    ASSERT_TRUE(wait_for([&] { return !problem.isEmpty(); }));
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(problem.contains("cannot be")) << problem.toStdString();
    EXPECT_TRUE(problem.contains(QString::fromStdString(locked.string()))) << problem.toStdString();
    EXPECT_FALSE(form.busy());
    EXPECT_TRUE(std::filesystem::is_empty(locked));
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    form.close();
}

TEST_F(GuiRun, CancelEndsTheRunWithWhatWasFound) {
    TMainForm form;
    pick_file(card->path().string());
    // Cancel as the third step begins: the existing files have been read.
    ui::Tstform& status = form.status_form();
    auto& lines = child<QListWidget>(status, "ListBox1");
    QObject::connect(lines.model(), &QAbstractItemModel::rowsInserted, &status, [&] {
        if (lines.item(lines.count() - 1)->text().startsWith("3.")) click(status, "Cancel");
    });
    form.show();
    ASSERT_TRUE(
        wait_for([&] { return form.isVisible() && form.engine() && !form.analysis_running(); }));
    EXPECT_FALSE(status.isVisible());  // closed at once, no Continue
    EXPECT_FALSE(list_texts(lines).contains("Analysis finished, please click Continue"));
    EXPECT_EQ(child<QPushButton>(status, "Cancel").text(), "Cancel");  // ready for the next run
    EXPECT_FALSE(form.status().IsCancelled());

    // What step 2 found is shown; nothing was carved.
    EXPECT_EQ(form.engine()->cat.found(), nullptr);
    QTreeWidgetItem* root = form.dirs()->topLevelItem(0);
    ASSERT_NE(root, nullptr);
    EXPECT_NE(find_node(find_node(root, "DCIM"), "100CANON"), nullptr);
    EXPECT_TRUE(list_texts(*form.files()).contains("notes.txt"));
    form.close();
}

// A camera card followed by a gigabyte of other data, carved in 512-byte
// clusters (FAT ignored): Cancel while step 5 reads the data keeps every
// picture found, which the list shows and Save all writes.
TEST_F(GuiRun, CancelInStepFiveKeepsEveryPictureFound) {
    FatOptions o;
    o.image_size = 48u << 20;
    FatImage camera = FatImage::create(tmp / "camera.img", o);
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::uint32_t i = 1; i <= 23; ++i) {
        pictures.push_back(camera_picture(100 + i, 320, 240));
        camera.add_file("DCIM/100CANON/IMG_" + std::to_string(1000 + i) + ".JPG", pictures.back());
    }
    const auto image = tmp / "camera and data.img";
    std::filesystem::copy_file(camera.path(), image);
    std::filesystem::resize_file(image, std::filesystem::file_size(image) + (std::uint64_t{1} << 30));

    for (int percent : {20, 50, 80}) {
        SCOPED_TRACE(percent);
        TMainForm form;
        pick_file(image.string(), /*expert=*/true);
        when_modal<ui::TSizeForm>([](ui::TSizeForm& d) {
            child<QCheckBox>(d, "ignore_fat").setChecked(true);
            child<QComboBox>(d, "ClusterSize").setCurrentIndex(0);  // 512 bytes
            click(d, "OK");
        });
        // Cancel once step 5's reading has come this far (without the FAT,
        // step 5 follows the fourth step's line at once).
        ui::Tstform& status = form.status_form();
        auto& lines = child<QListWidget>(status, "ListBox1");
        bool cancelled = false, below = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (cancelled || !list_texts(lines).contains("4. Existing directories are ignored")) return;
            // The bar still shows step 1's end until the reading sends its own.
            const bool reached = form.status().progress() >= static_cast<std::uint32_t>(percent);
            below = below || !reached;
            if (!below || !reached) return;
            click(status, "Cancel");
            cancelled = true;
        });
        watch.start(5);
        form.show();
        ASSERT_TRUE(wait_for([&] {
            return (cancelled && form.isVisible() && !form.analysis_running()) ||
                   child<QPushButton>(status, "Cancel").text() == "Continue";
        }));
        watch.stop();
        ASSERT_TRUE(cancelled) << "the analysis ended before it was cancelled";
        EXPECT_EQ(form.engine()->geo.cluster_size, 512u);
        EXPECT_TRUE(list_texts(lines).contains("Cancelled: 23 files found so far")) << list_texts(lines).join("\n").toStdString();
        // The list shows the found pictures.
        QTreeWidgetItem* found = find_node(form.dirs()->topLevelItem(0), "FOUND");
        ASSERT_NE(found, nullptr);
        form.dirs()->setCurrentItem(found);
        EXPECT_EQ(form.files()->count(), 23);
        EXPECT_TRUE(wait_for([&] { return form.findChild<QAction*>("acSaveAll")->isEnabled(); }));
        const auto all = tmp / ("all " + std::to_string(percent));
        std::filesystem::create_directories(all);
        choose_folder(all);
        form.acSaveAllExecute();
        ASSERT_TRUE(saved(form));
        std::map<std::vector<std::uint8_t>, std::string> back;
        for (const auto& [path, file] : files_under(all)) back[slurp(file)] = path;
        for (std::size_t i = 0; i < pictures.size(); ++i) EXPECT_TRUE(back.count(pictures[i])) << "picture " << i + 1;
        form.close();
    }
}

TEST_F(GuiRun, ExpertRunAsksForTheCardParametersAndOffersNoRerun) {
    TMainForm form;
    pick_file(card->path().string(), /*expert=*/true);
    int asked = 0;
    when_modal<ui::TSizeForm>([&](ui::TSizeForm& d) {
        ++asked;
        // 16 MiB is a little more than the "16MB" card (16,384,000 bytes), so
        // the whole card is offered as a custom size of 17 units.
        EXPECT_EQ(d.DialogSize(), 17u * 1'024'000);
        click(d, "OK");
    });
    form.show();
    ASSERT_TRUE(wait_continue(form));
    EXPECT_EQ(asked, 1);
    click(form.status_form(), "Cancel");
    ASSERT_TRUE(wait_for([&] { return form.isVisible(); }));
    EXPECT_FALSE(form.rerun_question().isVisible());
    EXPECT_GE(form.engine()->cat.counters.files, card->present_files().size());
    form.close();
}

TEST_F(GuiRun, CancellingTheCardParametersAbandonsTheRun) {
    TMainForm form;
    pick_file(card->path().string(), /*expert=*/true);
    when_modal<ui::TSizeForm>([](ui::TSizeForm& d) { click(d, "Cancel"); });
    form.show();
    ASSERT_TRUE(
        wait_for([&] { return form.isVisible() && form.engine() && !form.analysis_running(); }));
    EXPECT_FALSE(form.status_form().isVisible());
    EXPECT_TRUE(form.engine()->no_rerun_offer);
    EXPECT_FALSE(form.rerun_question().isVisible());
    EXPECT_EQ(form.dirs()->topLevelItem(0)->childCount(), 0);  // nothing was read
    form.close();
}

TEST(BackupQuestion, DueOnlyForADriveWithoutImage) {
    struct Case {
        bool open, drive, image_made, due;
    };
    for (const Case& c : {Case{true, true, false, true}, Case{true, true, true, false},
                          Case{true, false, false, false}, Case{false, true, false, false}}) {
        SCOPED_TRACE(::testing::Message() << c.open << c.drive << c.image_made);
        EXPECT_EQ(TMainForm::BackupQuestionDue(c.open, c.drive, c.image_made), c.due);
    }
}

TEST_F(GuiRun, ClosingAfterADriveAsksForABackup) {
    FakeDrives drives(tmp.path(), card->path());
    TMainForm form;
    form.input().drives = drives.environment();
    when_modal<TAskDrive>([](TAskDrive& d) {
        click(d, "ldrive");
        // The removable disk is chosen by default; the system volume is not offered.
        auto& combo = child<QComboBox>(d, "DriveComboBox1");
        EXPECT_EQ(combo.count(), 1);
        EXPECT_TRUE(combo.currentText().contains("sdz"));
        click(d, "Button1");
    });
    form.show();
    ASSERT_TRUE(wait_continue(form));
    click(form.status_form(), "Cancel");
    ASSERT_TRUE(wait_for([&] { return form.isVisible(); }));

    int asked = 0;
    auto answer = [&](QMessageBox::StandardButton button) {
        when_modal<QMessageBox>([&asked, button](QMessageBox& box) {
            EXPECT_EQ(box.objectName(), "BackupQuestion");
            ++asked;
            box.button(button)->click();
        });
    };
    answer(QMessageBox::Cancel);
    form.close();
    ASSERT_TRUE(wait_for([&] { return asked == 1; }));
    EXPECT_TRUE(form.isVisible());  // Cancel keeps the window
    answer(QMessageBox::No);
    form.close();
    ASSERT_TRUE(wait_for([&] { return asked == 2; }));
    EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace lk
