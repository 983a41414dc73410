// The input graph and the card image from the GUI: both run on a copy worker
// with the progress dialog, and both stop on its Cancel.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QImage>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "input/card_image.hpp"
#include "input/sector_map.hpp"
#include "input/text.hpp"
#include "lang/format.hpp"
#include "tests/input/fault_backend.hpp"
#include "tests/ui/gui_support.hpp"
#include "ui/copy_progress.hpp"
#include "ui/graph_box.hpp"
#include "ui/main_form.hpp"

namespace lk {
namespace {

using namespace lk::test;
using ui::GraphRun;
using ui::GraphRuns;
using ui::GraphSectorAt;

TEST(GraphPainting, WideBoxesLeaveAGapBetweenSectors) {
    const std::vector<std::uint8_t> map = {0, 1, 255, 1};
    EXPECT_EQ(GraphRuns(map, 400),
              (std::vector<GraphRun>{{0, 99, 0}, {100, 199, 1}, {200, 299, 255}, {300, 399, 1}}));
    // The readout names the sector drawn under the pointer.
    EXPECT_EQ(GraphSectorAt(0, 4, 400), 0);
    EXPECT_EQ(GraphSectorAt(150, 4, 400), 1);
    EXPECT_EQ(GraphSectorAt(399, 4, 400), 3);
    EXPECT_EQ(GraphSectorAt(400, 4, 400), -1);
}

TEST(GraphPainting, NarrowBoxesGroupSectorsAndTheWorstWins) {
    // 1,000 sectors in 400 columns: 2 per column plus one, as 400 x 2 < 1,000.
    std::vector<std::uint8_t> map(1000, kSectorData);
    map[500] = kSectorBad;    // column 166 covers sectors 498..500
    map[999] = kSectorEmpty;  // the last column holds sector 999 alone
    EXPECT_EQ(GraphRuns(map, 400),
              (std::vector<GraphRun>{{0, 166, 1}, {166, 167, 255}, {167, 333, 1}, {333, 334, 0}}));
    EXPECT_EQ(GraphSectorAt(10, 1000, 400), 30);
    EXPECT_EQ(GraphSectorAt(333, 1000, 400), 999);
    EXPECT_EQ(GraphSectorAt(334, 1000, 400), -1);
    // Data outweighs nothing.
    EXPECT_EQ(GraphRuns({0, 0, 1, 0, 0, 0}, 2), (std::vector<GraphRun>{{0, 1, 1}, {1, 2, 0}}));
}

// A card of 3,000 sectors: nothing, data, nothing, and 100 unreadable
// sectors in the last third.
std::unique_ptr<FaultBackend> regions_card() {
    std::vector<std::uint8_t> bytes(3000 * 512, 0);
    for (std::size_t i = 1000 * 512; i < 2000 * 512; ++i)
        bytes[i] = pattern_byte(static_cast<std::int64_t>(i));
    auto card = std::make_unique<FaultBackend>(std::move(bytes));
    for (std::int64_t s = 2500; s < 2600; ++s) card->bad.insert(s);
    return card;
}

class GuiCopy : public ::testing::Test {
  protected:
    void open(std::unique_ptr<ReadBackend> backend, const std::string& name) {
        ASSERT_TRUE(form.input().OpenBackend(std::move(backend), name));
        form.input().input_size = form.input().InputSize(true, -1);
    }
    // Presses the progress dialog's Cancel as soon as it shows.
    void cancel_when_shown() {
        auto* timer = new QTimer(&form);
        QObject::connect(timer, &QTimer::timeout, &form, [this, timer] {
            if (!form.copy_progress().isVisible()) return;
            click(form.copy_progress(), "Cancel");
            timer->stop();
        });
        timer->start(1);
    }
    ui::TMainForm form;
    ModalWatchdog watchdog;
    test::TempDir tmp;
};

TEST_F(GuiCopy, GraphPaintsEmptyDataAndUnreadableSectorsWhereTheyAre) {
    open(regions_card(), "regions");
    form.acGraphExecute();
    ui::TGraphBox& graph = form.graph_box();
    ASSERT_TRUE(wait_for([&] { return !form.busy(); }));
    ASSERT_TRUE(graph.isVisible());
    EXPECT_EQ(graph.windowTitle(), "Graph of regions (1,536,000 bytes)");
    ASSERT_EQ(graph.map().size(), 3000u);

    ui::GraphPaintBox* box = graph.paint_box();
    const QImage image = box->grab().toImage();
    const int width = box->width();
    auto colour_at_sector = [&](std::int64_t sector) {
        int x = 0;
        while (x < width && GraphSectorAt(x, 3000, width) < sector) ++x;
        return image.pixelColor(x, box->height() / 2);
    };
    EXPECT_EQ(colour_at_sector(500), box->empty);
    EXPECT_EQ(colour_at_sector(1500), box->data);
    EXPECT_EQ(colour_at_sector(2200), box->empty);
    EXPECT_EQ(colour_at_sector(2550), box->bad);
    EXPECT_EQ(colour_at_sector(2800), box->empty);

    // The readout follows the pointer.
    int x = 0;
    while (GraphSectorAt(x, 3000, width) < 1500) ++x;
    const std::int64_t sector = GraphSectorAt(x, 3000, width);
    QTest::mouseMove(box, QPoint(x, 5));
    EXPECT_EQ(graph.status_text().toStdString(),
              format("Sector %d, Offset %s (%08lX)", sector,
                     GroupedNumber(static_cast<std::uint64_t>(sector * 512)),
                     static_cast<std::uint32_t>(sector * 512)));
}

TEST_F(GuiCopy, CancellingTheGraphShowsNone) {
    open(std::make_unique<FaultBackend>(std::int64_t{512} << 20), "big");
    cancel_when_shown();
    form.acGraphExecute();
    ASSERT_TRUE(wait_for([&] { return !form.busy(); }));
    EXPECT_FALSE(form.graph_box().isVisible());
    EXPECT_FALSE(form.copy_progress().isVisible());
    EXPECT_FALSE(form.status().IsCancelled());  // a cancelled copy leaves no cancel behind
}

// Answers the image file question with `path`.
void choose_image(const std::filesystem::path& path) {
    when_modal<QFileDialog>([path](QFileDialog& d) {
        EXPECT_EQ(d.windowTitle(), "Please specify the image output file");
        d.selectFile(QString::fromStdString(path.string()));
        QMetaObject::invokeMethod(&d, "accept");
    });
}

TEST_F(GuiCopy, DuplicateTheCardWritesAnImageAndCancelDeletesIt) {
    open(regions_card(), "regions");
    const auto image = tmp / "copy.cib";
    choose_image(image);
    form.acImageExecute();
    ASSERT_TRUE(wait_for([&] { return !form.busy(); }));
    ASSERT_TRUE(std::filesystem::exists(image));
    EXPECT_EQ(std::filesystem::file_size(image), 3000u * 512 + kCibSize + kCibTrailerSize);
    EXPECT_TRUE(form.card_image_made());

    open(std::make_unique<FaultBackend>(std::int64_t{512} << 20), "big");
    const auto cancelled = tmp / "cancelled.cib";
    choose_image(cancelled);
    cancel_when_shown();
    form.acImageExecute();
    ASSERT_TRUE(wait_for([&] { return !form.busy(); }));
    EXPECT_FALSE(std::filesystem::exists(cancelled));
}

}  // namespace
}  // namespace lk
