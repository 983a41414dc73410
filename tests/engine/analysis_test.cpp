#include "engine/analysis.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "formats/signatures.hpp"
#include "tests/support/card_builder.hpp"
#include "tests/support/engine_harness.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

bool has_trace(const RecordingReporter& r, const std::string& text) { return r.traces.find(text) != std::string::npos; }

TEST(Analysis, AnInputThatIsOnePictureIsOneTestFile) {
    std::vector<std::uint8_t> jpeg = tools::make_jpeg({});
    ASSERT_FALSE(jpeg.empty());
    EngineHarness h;
    ASSERT_TRUE(h.open_memory(jpeg));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    ASSERT_EQ(h.engine.cat.root.children.size(), 1u);
    const dir_t& item = h.engine.cat.root.children[0];
    EXPECT_EQ(display_name(item), "TESTFILE.JPG");
    EXPECT_EQ(item.entry.size, jpeg.size());
    EXPECT_EQ(h.reporter.notices, std::vector<std::uint32_t>{ST_FINISHED});
    EXPECT_FALSE(has_trace(h.reporter, "recovery finished"));
    EXPECT_EQ(h.reporter.questions, 0);
}

// Text has no header of its own, but 512 bytes of it are recognised.
TEST(Analysis, AnInputThatIsTextIsOneTestFile) {
    std::string text;
    for (int i = 0; text.size() < 10'000; ++i) text += "line " + std::to_string(i) + " of a note\n";
    EngineHarness h;
    ASSERT_TRUE(h.open_memory(std::vector<std::uint8_t>(text.begin(), text.end())));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    ASSERT_EQ(h.engine.cat.root.children.size(), 1u);
    EXPECT_EQ(display_name(h.engine.cat.root.children[0]), "TESTFILE.TXT");
    EXPECT_EQ(h.engine.cat.root.children[0].entry.size, text.size());
}

// The expert's answer to the card parameters question: carve only.
std::uint64_t ignore_the_fat(CardParameters& p) {
    p.ignore_fat = true;
    p.cluster_size = 512;
    return p.default_size;
}

class AnalysisOfCard : public ::testing::Test {
protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        FatOptions o;
        o.image_size = 16u << 20;
        card_.emplace(FatImage::create(tmp_ / "card.img", o));
        card_->add_file("DCIM/IMG_0001.JPG", tools::make_jpeg({}));
    }
    AnalysisResult analyse(EngineHarness& h) {
        EXPECT_TRUE(h.open_file(card_->path().string()));
        return h.analyse();
    }
    test::TempDir tmp_;
    std::optional<FatImage> card_;
};

TEST_F(AnalysisOfCard, AsksForTheCardParametersOnlyWhenInDoubt) {
    EngineHarness consistent;
    EXPECT_EQ(analyse(consistent), AnalysisResult::Finished);
    EXPECT_EQ(consistent.reporter.questions, 0);
    EXPECT_TRUE(consistent.reporter.has_text("1. Determining the input structure, please wait..."));
    EXPECT_TRUE(consistent.reporter.has_text("Analysis finished, please click Continue"));
    EXPECT_EQ(consistent.status.value(status_slot(ST_TOTAL_SIZE)), 16u << 20);

    EngineHarness expert;
    expert.engine.opt.expert_mode = true;
    EXPECT_EQ(analyse(expert), AnalysisResult::Finished);
    EXPECT_EQ(expert.reporter.questions, 1);
    EXPECT_EQ(expert.engine.cat.counters.files, 1u);
}

TEST_F(AnalysisOfCard, CancellingTheQuestionAbandonsTheRun) {
    EngineHarness h;
    h.engine.opt.expert_mode = true;
    h.reporter.answer = [](CardParameters&) { return std::uint64_t{0}; };
    EXPECT_EQ(analyse(h), AnalysisResult::Abandoned);
    EXPECT_EQ(h.reporter.notices, std::vector<std::uint32_t>{ST_ABANDONED});
    EXPECT_FALSE(has_trace(h.reporter, "recovery finished"));
    EXPECT_TRUE(h.engine.no_rerun_offer);
    EXPECT_EQ(h.input.input_size, 16 << 20);  // the offered size is kept
}

TEST_F(AnalysisOfCard, IgnoringTheFatCarvesOnly) {
    EngineHarness h;
    h.engine.opt.expert_mode = true;
    h.reporter.answer = ignore_the_fat;
    EXPECT_EQ(analyse(h), AnalysisResult::Finished);
    for (const char* text : {"2. Information about the existing files is ignored", "3. FAT is ignored",
                             "4. Existing directories are ignored"})
        EXPECT_TRUE(h.reporter.has_text(text)) << text;
    EXPECT_EQ(h.engine.geo.fattype, FAT32);
    EXPECT_GE(h.engine.geo.cluster2, 2 * std::int64_t(h.engine.geo.cluster_size));
    // No directory was read: the picture comes back carved, in the found-items folder.
    ASSERT_NE(h.engine.cat.found(), nullptr);
    ASSERT_EQ(h.engine.cat.root.children.size(), 1u);
    EXPECT_EQ(display_extension(h.engine.cat.found()->children.at(0)), "JPG");
}

TEST_F(AnalysisOfCard, ChkFilesMakeTheDirectoriesForgotten) {
    card_->add_file("FOUND.000/FILE0000.CHK", std::vector<std::uint8_t>(5000, 'c'));
    for (bool expert : {false, true}) {
        EngineHarness h;
        h.engine.opt.expert_mode = expert;
        EXPECT_EQ(analyse(h), AnalysisResult::Finished);
        bool forgotten = has_trace(h.reporter, "forget_recovered_files\n");
        EXPECT_EQ(forgotten, !expert);
        if (!forgotten) continue;
        // Step 2's counts went back to 0 before carving.
        for (std::uint32_t code : {ST_DIRECTORIES, ST_FILES, ST_CRIPPLED, ST_RECOVERED_SIZE})
            EXPECT_NE(std::find(h.reporter.values.begin(), h.reporter.values.end(), std::make_pair(code, std::uint64_t{0})),
                      h.reporter.values.end());
        // Only the found-items folder is left, with the carved picture.
        ASSERT_EQ(h.engine.cat.root.children.size(), 1u);
        EXPECT_NE(h.engine.cat.found(), nullptr);
    }
}

TEST_F(AnalysisOfCard, AUserSignatureNamesWhatItMatches) {
    // The signature wins over the built-in JPEG test; its four-letter name
    // survives in the long name.
    SignatureTable signatures;
    EngineHarness h;
    ASSERT_TRUE(signatures.load_from_text("JPEG: FF D8 FF E1\n", "test.sig", &h.reporter));
    h.engine.signatures = &signatures;
    h.engine.opt.expert_mode = true;
    h.reporter.answer = ignore_the_fat;
    EXPECT_EQ(analyse(h), AnalysisResult::Finished);
    ASSERT_NE(h.engine.cat.found(), nullptr);
    const dir_t& carved = h.engine.cat.found()->children.at(0);
    EXPECT_EQ(display_name(carved), "N0000001.JPEG");
    EXPECT_EQ(short_name(carved.entry), "N0000001.JPE");
}

}  // namespace
}  // namespace lk
