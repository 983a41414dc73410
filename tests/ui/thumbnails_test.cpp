// Thumbnails, dates, grades and the commands that use them, through the real
// main window on a card made at test time: the worker renders what the list
// draws and nothing else, tooltips carry dates and grades, "Sort by date"
// orders folders and their subfolders, "Reconstruct..." rebuilds damaged
// pictures, a double click opens a temporary copy.
#include "ui/thumbnails.hpp"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QUrl>
#include <map>
#include <mutex>
#include <regex>

#include "engine/engine.hpp"
#include "preview/jpeg_codec.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/recovery_check.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/ask_drive.hpp"
#include "output/size_words.hpp"
#include "ui/save_dialog.hpp"
#include "ui/main_form.hpp"
#include "ui/status_form.hpp"

namespace lk {

// Catches what the window asks the desktop to open.
class OpenedUrls : public QObject {
    Q_OBJECT
  public:
    std::vector<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

namespace {

using namespace lk::test;
using ui::TMainForm;

std::vector<std::uint8_t> dated(std::uint32_t seed, const char* date) {
    tools::JpegOptions o;
    o.seed = seed;
    o.date_time = date;
    return tools::make_jpeg(o);
}

QTreeWidgetItem* node_at(TMainForm& form, const QStringList& path) {
    QTreeWidgetItem* node = form.dirs()->topLevelItem(0);
    for (const QString& name : path) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; node && i < node->childCount(); ++i)
            if (node->child(i)->text(0) == name) next = node->child(i);
        node = next;
    }
    return node;
}

QStringList texts(const QListWidget& list) {
    QStringList out;
    for (int i = 0; i < list.count(); ++i) out << list.item(i)->text();
    return out;
}

QListWidgetItem* item_named(const QListWidget& list, const QString& name) {
    for (int i = 0; i < list.count(); ++i)
        if (list.item(i)->text() == name) return list.item(i);
    return nullptr;
}

bool visible(const QListWidget& list, const QListWidgetItem* item) {
    return list.viewport()->rect().intersects(list.visualItemRect(item));
}

// Every item the list shows has its image.
bool rendered(TMainForm& form) {
    const QListWidget& list = *form.files();
    for (int i = 0; i < list.count(); ++i)
        if (visible(list, list.item(i)) && TMainForm::item_image(list.item(i)) == kImagePending)
            return false;
    return form.thumbnails().drained();
}

class Thumbnails : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
        FatOptions o;
        o.image_size = 16u << 20;
        card.emplace(FatImage::create(tmp / "card.img", o));
        const std::time_t t = FatImage::default_mtime();
        card->add_file("DCIM/100CANON/IMG_0001.JPG", dated(1, "2021:06:15 12:00:00"), t);
        card->add_file("DCIM/100CANON/IMG_0002.JPG", dated(2, "2019:01:01 09:00:00"), t);
        card->add_file("DCIM/100CANON/IMG_0003.JPG", tools::encode_jfif(640, 480, 85, 3), t);
        card->add_file("DCIM/100CANON/IMG_0004.JPG", dated(4, "2020:03:03 10:00:00"), t);
        const std::vector<std::uint8_t> whole = camera_jpeg(5, 1280, 960);
        card->add_file("DCIM/100CANON/BROKEN.JPG",
                       swap_clusters(whole, camera_jpeg(6, 1280, 960), whole.size() / 4096 / 2, 2),
                       t);
        card->add_file("DCIM/100CANON/REPORT.DOC", std::vector<std::uint8_t>(4000, 'd'), t);
        card->add_file("DCIM/100CANON/not a picture.jpeg", std::vector<std::uint8_t>(5000, 'x'), t);
        card->add_file("DCIM/100CANON/SUB/LATER.JPG", dated(7, "2022:02:02 02:02:02"), t);
        card->add_file("DCIM/100CANON/SUB/EARLIER.JPG", dated(8, "2018:08:08 08:08:08"), t);
        card->add_dir("EMPTY");
        card->add_dir("MANY");
    }

    // Runs the analysis through the input dialog and opens the main window.
    void analyse(TMainForm& form) {
        when_modal<ui::TAskDrive>([this](ui::TAskDrive& d) {
            click(d, "file");
            type_into(child<QLineEdit>(d, "fname"), QString::fromStdString(card->path().string()));
            click(d, "Button1");
        });
        form.resize(700, 520);
        form.show();
        ASSERT_TRUE(wait_for(
            [&] { return child<QPushButton>(form.status_form(), "Cancel").text() == "Continue"; }));
        click(form.status_form(), "Cancel");
        ASSERT_TRUE(wait_for([&] { return form.isVisible(); }));
        form.rerun_question().hide();
    }

    void open(TMainForm& form, const QStringList& path) {
        QTreeWidgetItem* node = node_at(form, path);
        ASSERT_NE(node, nullptr) << path.join("/").toStdString();
        form.dirs()->setCurrentItem(node);
        ASSERT_TRUE(wait_for([&] { return rendered(form); }));
    }

    const dir_t& record(TMainForm& form, const QString& name) {
        const dir_t* r = form.item_record(item_named(*form.files(), name));
        if (!r) throw std::runtime_error("no item " + name.toStdString());
        return *r;
    }

    test::TempDir tmp;
    std::optional<FatImage> card;
    ModalWatchdog watchdog;
};

TEST_F(Thumbnails, PicturesShowTheirThumbnailsDatesAndGrades) {
    TMainForm form;
    analyse(form);
    open(form, {"DCIM", "100CANON"});
    QListWidget& list = *form.files();
    auto image = [&](const char* name) { return TMainForm::item_image(item_named(list, name)); };
    EXPECT_GE(image("IMG_0001.JPG"), kBuiltinImages);
    EXPECT_GE(image("BROKEN.JPG"), kBuiltinImages);
    EXPECT_GE(image("REPORT.DOC"), kBuiltinImages) << "the type's icon, framed";
    EXPECT_EQ(image("not a picture.jpeg"), kImageFailed);
    EXPECT_EQ(image("SUB"), kImageFolder);

    const QString tip = item_named(list, "IMG_0001.JPG")->toolTip();
    // The date as the language writes it, the whole name, the size with its unit.
    const QString date = QLocale().toString(QDateTime(QDate(2021, 6, 15), QTime(12, 0)), QLocale::ShortFormat);
    EXPECT_TRUE(tip.startsWith("Date: " + date + "\nIMG_0001.JPG\n")) << tip.toStdString();
    EXPECT_TRUE(tip.contains(QString::fromStdString(SizeWithUnit(record(form, "IMG_0001.JPG").entry.size)) + "\nComplete picture"))
        << tip.toStdString();
    EXPECT_FALSE(item_named(list, "IMG_0003.JPG")->toolTip().contains("Date"));  // no EXIF
    EXPECT_EQ(record(form, "BROKEN.JPG").grade, Grade::Damaged);
    EXPECT_TRUE(item_named(list, "BROKEN.JPG")->toolTip().contains("Damaged picture: "));
    EXPECT_EQ(record(form, "not a picture.jpeg").grade, Grade::Unreadable);

    // An empty folder has nothing to sort.
    open(form, {"EMPTY"});
    EXPECT_FALSE(form.findChild<QAction*>("acSortByDate")->isEnabled());
    form.close();
}

TEST_F(Thumbnails, SortByDateOrdersTheFolderAndItsSubfoldersAndSwitchingOffRestoresClusterOrder) {
    TMainForm form;
    analyse(form);
    // The subfolder's dates are known once its thumbnails have been made.
    open(form, {"DCIM", "100CANON", "SUB"});
    open(form, {"DCIM", "100CANON"});
    const QStringList before = texts(*form.files());
    auto* sort = form.findChild<QAction*>("acSortByDate");
    ASSERT_TRUE(wait_for([&] { return sort->isEnabled(); }));
    EXPECT_FALSE(sort->isChecked());

    sort->trigger();
    // Undated first (the folder, the JFIF picture, the other files), then by
    // date; the damaged picture keeps its camera's date, the latest.
    EXPECT_EQ(texts(*form.files()),
              QStringList({"IMG_0003.JPG", "REPORT.DOC", "not a picture.jpeg", "SUB",
                           "IMG_0002.JPG", "IMG_0004.JPG", "IMG_0001.JPG", "BROKEN.JPG"}))
        << before.join(", ").toStdString();
    EXPECT_TRUE(sort->isChecked());
    open(form, {"DCIM", "100CANON", "SUB"});
    EXPECT_EQ(texts(*form.files()), QStringList({"EARLIER.JPG", "LATER.JPG"}));
    EXPECT_FALSE(sort->isChecked()) << "the mark belongs to the folder sorted";

    open(form, {"DCIM", "100CANON"});
    EXPECT_TRUE(sort->isChecked());
    sort->trigger();
    EXPECT_FALSE(sort->isChecked());
    EXPECT_EQ(texts(*form.files()), before);
    open(form, {"DCIM", "100CANON", "SUB"});
    EXPECT_EQ(texts(*form.files()), QStringList({"LATER.JPG", "EARLIER.JPG"}));
    form.close();
}

TEST_F(Thumbnails, CancelInTheDateCollectionLeavesTheFolderUnsorted) {
    // Thumbnails that take until the test lets them go, from before the
    // analysis: no picture of the folder can be drawn before the sort asks
    // for its dates, however the threads are scheduled.
    std::atomic<bool> release{false};
    TMainForm form;
    // Let go before the window waits for its worker, also when a check fails.
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag.store(true); }
    } release_at_exit{release};
    form.thumbnails().SetRender([&](const dir_t&) {
        while (!release.load()) QThread::msleep(5);
        return Preview{};
    });
    analyse(form);
    form.dirs()->setCurrentItem(node_at(form, {"DCIM", "100CANON"}));
    const QStringList before = texts(*form.files());
    QPushButton* cancel = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "WaitSize") cancel = w->findChild<QPushButton*>("Cancel");
    ASSERT_NE(cancel, nullptr);
    // The action is enabled once the analysis thread has ended and the list
    // holds files, which a loaded machine may take a while to show.
    QAction* sort = form.findChild<QAction*>("acSortByDate");
    ASSERT_TRUE(wait_for([&] { return sort->isEnabled(); }));
    bool box_shown = false;
    QTimer::singleShot(300, &form, [&] {
        box_shown = cancel->window()->isVisible();
        cancel->click();
    });
    sort->trigger();
    EXPECT_TRUE(box_shown);
    EXPECT_FALSE(cancel->window()->isVisible());
    EXPECT_EQ(texts(*form.files()), before);
    EXPECT_FALSE(form.findChild<QAction*>("acSortByDate")->isChecked());
    release.store(true);
    form.close();
}

TEST_F(Thumbnails, OnlyTheItemsInViewAreRenderedAndAFileThatCrashesIsNotTriedAgain) {
    TMainForm form;
    form.set_thumbnail_capacity(200);
    analyse(form);
    // Three thousand pictures in a folder of their own.
    Engine& e = *form.engine();
    dir_t* many = nullptr;
    for (dir_t& child : e.cat.root.children)
        if (display_name(child) == "MANY") many = &child;
    ASSERT_NE(many, nullptr);
    for (int i = 0; i < 3000; ++i) {
        dir_t item;
        set_numbered_name(item, format("F%07d", i), "JPG");
        item.entry.size = 1000;
        many->children.push_back(std::move(item));
    }
    std::mutex lock;
    std::map<std::string, int> renders;
    form.thumbnails().SetRender([&](const dir_t& record) {
        const std::string name = display_name(record);
        {
            std::lock_guard<std::mutex> l(lock);
            ++renders[name];
        }
        if (name == "F0000004.JPG") throw std::runtime_error("the decoder fell over");
        Preview p;
        p.picture = BgrImage(100, 100, 128);
        p.full_width = 1000;
        return p;
    });
    auto total = [&] {
        std::lock_guard<std::mutex> l(lock);
        int n = 0;
        for (const auto& [name, count] : renders) n += count;
        return n;
    };
    QListWidget& list = *form.files();
    open(form, {"MANY"});
    int in_view = 0;
    for (int i = 0; i < list.count(); ++i) in_view += visible(list, list.item(i));
    ASSERT_GT(in_view, 5);
    EXPECT_LE(total(), in_view) << "only what is drawn is rendered";
    EXPECT_EQ(TMainForm::item_image(list.item(4)), kImageFailed);

    // Scrolling through renders a screenful at a time, not the folder.
    for (int step = 0; step < 10; ++step) {
        list.verticalScrollBar()->setValue(list.verticalScrollBar()->maximum() * step / 9);
        ASSERT_TRUE(wait_for([&] { return rendered(form); }));
    }
    EXPECT_LT(total(), 20 * in_view);
    EXPECT_LE(form.image_list().count(), kBuiltinImages + 200);
    // Back at the top: everything in view has its image again, and the
    // file that crashed its decoder was tried once.
    list.verticalScrollBar()->setValue(0);
    ASSERT_TRUE(wait_for([&] { return rendered(form); }));
    EXPECT_GE(TMainForm::item_image(list.item(0)), kBuiltinImages);
    std::lock_guard<std::mutex> l(lock);
    EXPECT_EQ(renders["F0000004.JPG"], 1);
    form.close();
}

TEST_F(Thumbnails, ReconstructRebuildsTheSelectedPicturesAndDoubleClickOpensACopy) {
    TMainForm form;
    analyse(form);
    open(form, {"DCIM", "100CANON"});
    QListWidget& list = *form.files();
    auto* reconstruct = form.findChild<QAction*>("acReconstruct");
    item_named(list, "REPORT.DOC")->setSelected(true);
    EXPECT_FALSE(reconstruct->isEnabled());
    item_named(list, "SUB")->setSelected(true);  // holds JPEG files
    EXPECT_TRUE(reconstruct->isEnabled());
    list.clearSelection();
    item_named(list, "BROKEN.JPG")->setSelected(true);
    item_named(list, "not a picture.jpeg")->setSelected(true);

    const auto out = tmp / "rebuilt";
    std::filesystem::create_directories(out);
    when_modal<ui::TSaveDialog>([out](ui::TSaveDialog& d) {
        type_into(child<QLineEdit>(d, "Folder"), QString::fromStdString(out.string()));
        click(d, "Save");
    });
    QString failures;
    when_modal<QMessageBox>([&](QMessageBox& box) {
        failures = box.text();
        box.accept();
    });
    reconstruct->trigger();
    ASSERT_TRUE(wait_for([&] { return !form.busy() && !failures.isEmpty(); }));
    EXPECT_TRUE(failures.contains("not a picture.jpeg: Reconstruction failed"))
        << failures.toStdString();
    JpegPicture p;
    ASSERT_TRUE(DecodeJpeg(slurp(out / "BROKEN.JPG"), 0, 0, JpegOutput::Reencode, p));
    EXPECT_FALSE(p.damaged);
    EXPECT_EQ(p.width, 1280);

    // A double click opens a temporary copy, which goes when the program ends.
    OpenedUrls opened;
    QDesktopServices::setUrlHandler("file", &opened, "open");
    form.FilesDblClick(item_named(list, "IMG_0001.JPG"));
    QDesktopServices::unsetUrlHandler("file");
    ASSERT_EQ(opened.urls.size(), 1u);
    const std::filesystem::path copy = opened.urls[0].toLocalFile().toStdString();
    EXPECT_TRUE(std::regex_match(copy.filename().string(), std::regex("PIC[0-9]{5}\\.JPG")));
    EXPECT_TRUE(slurp(copy) == dated(1, "2021:06:15 12:00:00"));
    form.close();
    EXPECT_FALSE(std::filesystem::exists(copy));
}

}  // namespace
}  // namespace lk

#include "thumbnails_test.moc"
