// A cancel keeps what the analysis found: a camera card followed by a
// gigabyte of other data, carved in 512-byte clusters, cancelled while
// step 5 reads the data, still gives back every picture of the card.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

class CancelledRuns : public ::testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() {
        if (!have_fat_tools()) return;
        dir_ = std::make_unique<test::TempDir>();
        FatOptions o;
        o.image_size = 48u << 20;
        o.bits = FatBits::fat16;
        FatImage card = FatImage::create(dir_->path() / "card.img", o);
        pictures_ = std::make_unique<std::vector<std::vector<std::uint8_t>>>();
        for (std::uint32_t i = 1; i <= 23; ++i) {
            pictures_->push_back(camera_picture(i, 640 + 32 * (i % 5), 480));
            card.add_file("DCIM/100CANON/IMG_" + std::to_string(1000 + i) + ".JPG", pictures_->back());
        }
        // The card, then a gigabyte of other data (sparse: it costs nothing).
        image_ = dir_->path() / "card and data.img";
        fs::copy_file(card.path(), image_);
        fs::resize_file(image_, fs::file_size(image_) + (std::uint64_t{1} << 30));
    }
    static void TearDownTestSuite() {
        dir_.reset();
        pictures_.reset();
    }
    void SetUp() override { LK_REQUIRE_FAT_TOOLS(); }

    static std::unique_ptr<test::TempDir> dir_;
    static std::unique_ptr<std::vector<std::vector<std::uint8_t>>> pictures_;
    static fs::path image_;
};

std::unique_ptr<test::TempDir> CancelledRuns::dir_;
std::unique_ptr<std::vector<std::vector<std::uint8_t>>> CancelledRuns::pictures_;
fs::path CancelledRuns::image_;

TEST_P(CancelledRuns, EveryPictureFoundBeforeTheCancelIsKept) {
    const int percent = GetParam();
    EngineHarness h;
    ASSERT_TRUE(h.open_file(image_.string()));
    h.engine.opt.expert_mode = true;
    h.engine.opt.ignore_fat = true;
    h.reporter.answer = [](CardParameters& p) {
        p.ignore_fat = true;
        return accept_offered(p);
    };
    // Cancel once step 5's sequential read has come this far.
    bool step5 = false, cancelled = false;
    h.reporter.on_value = [&](std::uint32_t code, std::uint64_t value) {
        if (!step5) step5 = h.reporter.has_text("5. Recovering contiguous files...");
        if (step5 && !cancelled && code == ST_PROGRESS && value >= static_cast<std::uint64_t>(percent)) {
            h.status.RequestCancel();
            cancelled = true;
        }
    };
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(h.engine.geo.cluster_size, 512u);
    EXPECT_TRUE(h.reporter.has_text("Cancelled: 23 files found so far"));
    EXPECT_FALSE(h.reporter.has_text("Analysis finished, please click Continue"));
    const fs::path out = dir_->path() / ("out " + std::to_string(percent));
    fs::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    std::map<std::vector<std::uint8_t>, std::string> back;
    for (const auto& [path, file] : files_under(out)) back[slurp(file)] = path;
    for (std::size_t i = 0; i < pictures_->size(); ++i) EXPECT_TRUE(back.count((*pictures_)[i])) << "picture " << i + 1;
}

INSTANTIATE_TEST_SUITE_P(AtPercent, CancelledRuns, ::testing::Values(20, 50, 80));

}  // namespace
}  // namespace lk
