// The rules of the input dialog and the card parameters dialog, as a user
// meets them.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <fstream>

#include "engine/fat_tables.hpp"
#include "engine/geometry.hpp"
#include "engine/options.hpp"
#include "input/input.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/ask_drive.hpp"
#include "ui/size_form.hpp"
#include "ui/wait_size.hpp"

namespace lk {
namespace {

using namespace lk::test;
using ui::TAskDrive;
using ui::TSizeForm;

class NullReporter final : public Reporter {
  public:
    void status_text(std::uint32_t, const std::string&) override {}
    void notify(std::uint32_t) override {}
    std::uint64_t ask_card_parameters(CardParameters& p) override { return p.default_size; }
    void message(MessageKind, const std::string&, const std::string& text) override {
        messages.push_back(text);
    }
    std::vector<std::string> messages;
};

// --- The input dialog -------------------------------------------------------

class InputDialog : public ::testing::Test {
  protected:
    InputDialog() {
        std::ofstream(card, std::ios::binary) << std::string(64 * 1024, '\0');
        input.drives = drives.environment();
    }
    test::TempDir tmp;
    std::string card = (tmp / "card.img").string();
    FakeDrives drives{tmp.path(), card};
    NullReporter reporter;
    Status status{&reporter};
    Input input{status};
    AnalysisOptions options;
    TSizeForm size_form;
    ui::TWaitSize wait;
    TAskDrive dialog{input, options, size_form, wait};
    ModalWatchdog watchdog;
};

TEST_F(InputDialog, KindSwitchingShowsItsChoiceAndSetsTheCache) {
    struct Case {
        const char* kind;
        bool combo, list, file, cache;
    };
    const Case cases[] = {{"file", false, false, true, false},
                          {"pdrive", false, true, false, true},
                          {"file", false, false, true, false},
                          {"ldrive", true, false, false, true}};
    when_modal<TAskDrive>([&](TAskDrive& d) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.kind);
            click(d, c.kind);
            EXPECT_EQ(child<QComboBox>(d, "DriveComboBox1").isVisible(), c.combo);
            EXPECT_EQ(child<QListWidget>(d, "ListBox1").isVisible(), c.list);
            EXPECT_EQ(child<QLineEdit>(d, "fname").isVisible(), c.file);
            EXPECT_EQ(child<QPushButton>(d, "askfile").isVisible(), c.file);
            EXPECT_EQ(child<QCheckBox>(d, "cache").isChecked(), c.cache);
        }
        click(d, "Button2");
    });
    const AnalysisOptions before = options;
    EXPECT_FALSE(dialog.ChooseInput(false));  // Cancel changes nothing
    EXPECT_EQ(options.cache, before.cache);
    EXPECT_FALSE(input.is_open());
}

TEST_F(InputDialog, OkNeedsAChoice) {
    when_modal<TAskDrive>([&](TAskDrive& d) {
        auto& ok = child<QPushButton>(d, "Button1");
        click(d, "file");
        EXPECT_FALSE(ok.isEnabled());
        click(d, "Button1");  // does not close
        EXPECT_TRUE(d.isVisible());
        type_into(child<QLineEdit>(d, "fname"), QString::fromStdString(card));
        EXPECT_TRUE(ok.isEnabled());
        click(d, "ldrive");
        EXPECT_TRUE(ok.isEnabled());  // the removable disk is chosen by default
        child<QComboBox>(d, "DriveComboBox1").setCurrentIndex(-1);
        EXPECT_FALSE(ok.isEnabled());
        click(d, "pdrive");
        EXPECT_TRUE(ok.isEnabled());  // the first drive of the list
        click(d, "file");
        click(d, "Button1");
    });
    ASSERT_TRUE(dialog.ChooseInput(false));
    EXPECT_TRUE(input.is_open());
    EXPECT_EQ(input.input_name(), "File " + card);
    EXPECT_EQ(input.input_size, 64 * 1024);  // "Determine the card size" is on
    EXPECT_FALSE(options.cache);
    EXPECT_FALSE(dialog.chosen_drive());
}

TEST_F(InputDialog, SwitchLOffersTheSystemDrives) {
    struct Case {
        bool include_all;
        QStringList volumes;
        int selected;
        QStringList physical;
    };
    const Case cases[] = {
        {false, {"sdz"}, 0, {"Drive 1"}},  // the system disk vda (Drive 2) is left out
        // "-L": every volume as the platform lists them, none chosen, and the system disk.
        {true, {"sdz", "vda1"}, -1, {"Drive 1", "Drive 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.include_all ? "-L" : "without -L");
        when_modal<TAskDrive>([&](TAskDrive& d) {
            auto& combo = child<QComboBox>(d, "DriveComboBox1");
            QStringList shown;
            for (int i = 0; i < combo.count(); ++i)
                shown << combo.itemText(i).section('/', -1).section(' ', 0, 0);
            EXPECT_EQ(shown, c.volumes);
            EXPECT_EQ(combo.currentIndex(), c.selected);
            click(d, "pdrive");
            auto& list = child<QListWidget>(d, "ListBox1");
            QStringList lines;
            for (int i = 0; i < list.count(); ++i) lines << list.item(i)->text().section(' ', 0, 1);
            EXPECT_EQ(lines, c.physical);
            click(d, "ldrive");
            click(d, "Button2");
        });
        EXPECT_FALSE(dialog.ChooseInput(c.include_all));
    }
}

TEST_F(InputDialog, AnInputThatDoesNotOpenIsAskedForAgain) {
    int shown = 0;
    std::function<void(TAskDrive&)> answer = [&](TAskDrive& d) {
        ++shown;
        if (shown == 1) {
            click(d, "file");
            type_into(child<QLineEdit>(d, "fname"),
                      QString::fromStdString((tmp / "missing.img").string()));
            when_modal<TAskDrive>(answer);
            click(d, "Button1");
        } else {
            // The same choices, shown again.
            EXPECT_TRUE(child<QRadioButton>(d, "file").isChecked());
            click(d, "Button2");
        }
    };
    // The box is shown by the reporter of the input's status; this test's
    // reporter only records, so the message is checked there.
    when_modal<TAskDrive>(answer);
    EXPECT_FALSE(dialog.ChooseInput(false));
    EXPECT_EQ(shown, 2);
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0], "Can't open the input drive: No such file or directory");
}

TEST_F(InputDialog, OutsideExpertModeTheExpertChoicesAreReset) {
    size_form.set_ignore_fat(true);
    options.ignore_fat = true;
    options.sector_range = {512, 4096};
    when_modal<TAskDrive>([&](TAskDrive& d) {
        click(d, "file");
        type_into(child<QLineEdit>(d, "fname"), QString::fromStdString(card));
        click(d, "Button1");
    });
    ASSERT_TRUE(dialog.ChooseInput(false));
    EXPECT_FALSE(size_form.ignore_fat());
    EXPECT_TRUE(size_form.fast_read());
    EXPECT_FALSE(options.ignore_fat);
    EXPECT_EQ(options.sector_range.start, -1);
}

// --- The card parameters dialog -------------------------------------------

CardParameters question(std::uint64_t size, bool expert = true) {
    CardParameters p;
    p.default_size = size;
    p.cluster_size = 0;
    p.movie_limit = kDefaultMovieLimit;
    p.expert_mode = expert;
    p.fattype = FAT32;
    return p;
}

class CardDialog : public ::testing::Test {
  protected:
    TSizeForm dialog;
    ModalWatchdog watchdog;
};

TEST_F(CardDialog, TheDefaultSizeSelectsTheNearestCardOrACustomSize) {
    struct Case {
        std::uint64_t size;
        const char* item;
        const char* custom;
    };
    const Case cases[] = {
        {1'000'000'000, "1GB", ""},           // 4.9 % below the 1GB card
        {700'000'000, "Custom size", "684"},  // rounded up to units of 1,024,000
        // 2 GiB is 2.4 % above the "2GB" card: that row would leave 50 MB unread.
        {2'147'483'648, "Custom size", "2098"},
        {16'384'000, "16MB", ""},             // exactly the 16MB card
        {64'000'000'000ull, "64GB", ""},      // 4.6 % below the last row
        {128'000'000'000ull, "Custom size", "125000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        when_modal<TSizeForm>([&](TSizeForm& d) {
            EXPECT_EQ(child<QComboBox>(d, "CardSize").currentText(), c.item);
            EXPECT_EQ(child<QLineEdit>(d, "CustomSize").text(), c.custom);
            click(d, "Cancel");
        });
        CardParameters p = question(c.size);
        EXPECT_EQ(dialog.AskCardParameters(p), 0u);  // Cancel
    }
}

TEST_F(CardDialog, CustomSizesAndTheirLimit) {
    struct Case {
        const char* text;
        std::uint64_t bytes;
    };
    for (const Case& c : {Case{"1073740", 1'099'509'760'000ull}, Case{"1073741", 0}, Case{"12x", 0},
                          Case{"", 0}, Case{"1", 1'024'000}}) {
        SCOPED_TRACE(c.text);
        when_modal<TSizeForm>([&](TSizeForm& d) {
            type_into(child<QLineEdit>(d, "CustomSize"), c.text);
            EXPECT_EQ(child<QComboBox>(d, "CardSize").currentText(),
                      "Custom size");  // typing chose it
            EXPECT_EQ(d.DialogSize(), c.bytes);
            click(d, "Cancel");
        });
        CardParameters p = question(1'000'000'000);
        dialog.AskCardParameters(p);
    }
}

TEST_F(CardDialog, RefusalsKeepTheDialogOpen) {
    struct Case {
        const char* custom;  // typed into CustomSize, or null
        int cluster;         // index chosen in ClusterSize
        int fattype;
        const char* refusal;
    };
    const Case cases[] = {
        {"1073741", 3, FAT32, "Please enter a valid card size"},
        // 1 GB in 512-byte clusters is far beyond FAT12's 4,080 clusters.
        {nullptr, 0, FAT12,
         "The cluster size and the card size are incompatible (too many clusters)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refusal);
        std::string shown;
        when_modal<TSizeForm>([&](TSizeForm& d) {
            if (c.custom) type_into(child<QLineEdit>(d, "CustomSize"), c.custom);
            child<QComboBox>(d, "ClusterSize").setCurrentIndex(c.cluster);
            when_modal<QMessageBox>([&](QMessageBox& box) {
                shown = box.text().toStdString();
                box.accept();
            });
            click(d, "OK");
            EXPECT_TRUE(d.isVisible());
            click(d, "Cancel");
        });
        CardParameters p = question(1'000'000'000);
        p.fattype = c.fattype;
        EXPECT_EQ(dialog.AskCardParameters(p), 0u);
        EXPECT_EQ(shown, c.refusal);
    }
}

TEST_F(CardDialog, RangeFieldsFollowEachOtherAndValidate) {
    CardParameters p = question(1'000'000'000);
    when_modal<TSizeForm>([&](TSizeForm& d) {
        auto& range = child<QPushButton>(d, "Range");
        EXPECT_EQ(range.text(), "Range >>");
        EXPECT_FALSE(child<QGroupBox>(d, "GroupBoxRange").isVisible());
        click(d, "Range");
        EXPECT_EQ(range.text(), "Range <<");
        auto text = [&](const char* name) {
            return child<QLineEdit>(d, name).text().toStdString();
        };
        auto& ok = child<QPushButton>(d, "OK");
        // Refilled with the whole card (the 1GB card: 1,048,576,000 bytes).
        EXPECT_EQ(text("EditStartMB"), "0");
        EXPECT_EQ(text("EditEndMB"), "1024");
        EXPECT_EQ(text("EditStartSector"), "0");
        EXPECT_EQ(text("EditEndSector"), "2048000");
        EXPECT_EQ(text("EditSizeSector"), "2048000");
        EXPECT_TRUE(ok.isEnabled());
        // Start equal to end: no range.
        type_into(child<QLineEdit>(d, "EditStartSector"), "2048000");
        EXPECT_FALSE(ok.isEnabled());
        EXPECT_EQ(text("EditSizeSector"), "");
        EXPECT_EQ(text("EditStartMB"), "1024");  // the other representation follows
        // An end beyond the card.
        type_into(child<QLineEdit>(d, "EditStartMB"), "1");
        type_into(child<QLineEdit>(d, "EditEndSector"), "2048001");
        EXPECT_FALSE(ok.isEnabled());
        type_into(child<QLineEdit>(d, "EditEndMB"), "10");
        EXPECT_TRUE(ok.isEnabled());
        EXPECT_EQ(text("EditStartSector"), "2000");
        EXPECT_EQ(text("EditEndSector"), "20000");
        EXPECT_EQ(text("EditSizeMB"), "9");
        EXPECT_EQ(text("EditSizeSector"), "18000");
        click(d, "OK");
    });
    EXPECT_EQ(dialog.AskCardParameters(p), 1'048'576'000u);
    EXPECT_EQ(p.range.start, 1'024'000);
    EXPECT_EQ(p.range.end, 10'240'000);

    // Collapsed again, the range is cleared.
    when_modal<TSizeForm>([&](TSizeForm& d) {
        click(d, "Range");
        click(d, "OK");
    });
    EXPECT_EQ(dialog.AskCardParameters(p), 1'048'576'000u);
    EXPECT_EQ(p.range.start, -1);
    EXPECT_EQ(p.range.end, -1);
}

TEST_F(CardDialog, OutsideExpertModeTheChecksOpenSafe) {
    dialog.set_ignore_fat(true);
    CardParameters p = question(64'000'000, /*expert=*/false);
    p.fast_read = false;
    p.truncate_uniform = false;
    when_modal<TSizeForm>([&](TSizeForm& d) {
        EXPECT_FALSE(child<QCheckBox>(d, "ignore_fat").isChecked());
        EXPECT_TRUE(child<QCheckBox>(d, "fast_read").isChecked());
        EXPECT_TRUE(child<QCheckBox>(d, "truncate_uniform").isChecked());
        EXPECT_EQ(child<QLineEdit>(d, "EditTruncateMovies").text(), "700");
        type_into(child<QLineEdit>(d, "EditTruncateMovies"), "50");
        click(d, "OK");
    });
    EXPECT_EQ(dialog.AskCardParameters(p), 65'536'000u);  // within a tenth of the 64MB card
    EXPECT_FALSE(p.ignore_fat);
    EXPECT_TRUE(p.fast_read);
    EXPECT_EQ(p.movie_limit, 51'200'000u);
    EXPECT_EQ(p.cluster_size, 4096u);  // FAT32's smallest offered for 64 MB
}

TEST_F(CardDialog, IgnoringTheFatPicksTheSmallestClusterAndUntickingRestores) {
    CardParameters p = question(1'000'000'000);
    when_modal<TSizeForm>([&](TSizeForm& d) {
        auto& cluster = child<QComboBox>(d, "ClusterSize");
        cluster.setCurrentIndex(5);  // 16KB
        auto& ignore = child<QCheckBox>(d, "ignore_fat");
        ignore.click();
        EXPECT_EQ(cluster.currentText(),
                  "512 bytes");  // 2,048,000 clusters are within FAT32's limit
        ignore.click();
        EXPECT_EQ(cluster.currentText(), "16KB");
        click(d, "Cancel");
    });
    dialog.AskCardParameters(p);
}

TEST(CardSizeItems, EachItemAndThe128GBChoice) {
    EXPECT_EQ(ui::CardSizeItemBytes(0), 1'024'000);
    EXPECT_EQ(ui::CardSizeItemBytes(14), 1'048'576'000);
    EXPECT_EQ(ui::CardSizeItemBytes(20), 67'108'864'000);
    EXPECT_EQ(ui::CardSizeItemBytes(21), 134'217'728'000);  // twice the 64GB card
    EXPECT_EQ(ui::CardSizeItemBytes(ui::kCustomSizeItem), -1);
}

}  // namespace
}  // namespace lk
