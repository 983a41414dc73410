// Cards made with mkfs.fat and mtools: every live file comes back, also when
// the boot sector has been wiped.
#include <gtest/gtest.h>

#include "tests/support/recovery_check.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

struct CardCase {
    const char* name;
    FatOptions options;
};

std::vector<std::uint8_t> text(std::size_t n, char c) { return std::vector<std::uint8_t>(n, std::uint8_t(c)); }

// Nested folders, long names (blanks, several fragments, non-ASCII), empty
// files, a read-only file and pictures.
void fill(FatImage& card) {
    std::time_t t = FatImage::default_mtime();
    card.add_file("DCIM/100CANON/IMG_0001.JPG", camera_picture(1), t);
    card.add_file("DCIM/100CANON/IMG_0002.JPG", camera_picture(2, 800, 600), t + 61);
    card.add_file("DCIM/100CANON/IMG_0003.JPG", camera_picture(3, 320, 240), t + 3600);
    card.add_file("Holiday 2021/Day one at the lake, morning light.jpg", camera_picture(4), t + 86400);
    card.add_file("Holiday 2021/Notes/\u00dcn\u00efc\u00f6d\u00e9 \u00f1ame.txt", text(3000, 'u'), t + 7);
    card.add_file("Holiday 2021/Notes/empty one.txt", {}, t + 9);
    card.add_file("Holiday 2021/Notes/empty two.txt", {}, t + 11);
    card.add_file("readme.txt", text(100, 'r'), t + 13, /*read_only=*/true);
    card.add_file("big.bin", text(200'000, 'b'), t + 15);
}

class LiveCards : public ::testing::TestWithParam<CardCase> {
protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }
    test::TempDir tmp;
};

TEST_P(LiveCards, EveryLiveFileComesBack) {
    FatImage card = FatImage::create(tmp / "card.img", GetParam().options);
    fill(card);
    for (bool wiped : {false, true}) {
        SCOPED_TRACE(wiped ? "boot sector wiped" : "intact");
        if (wiped) card.zero_boot_sector();
        EngineHarness h;
        ASSERT_TRUE(h.open_file(card.path().string()));
        ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
        EXPECT_EQ(h.engine.cat.counters.directories, card.dirs().size() + 1);  // the root too
        EXPECT_EQ(h.engine.cat.counters.files, card.present_files().size());
        EXPECT_EQ(h.engine.cat.found(), nullptr);  // nothing lost, nothing carved

        const auto out = tmp / (wiped ? "wiped" : "intact");
        std::filesystem::create_directories(out);
        SaveOutcome saved = save_all(h, out);
        EXPECT_FALSE(saved.failed()) << (h.reporter.messages.empty() ? "" : h.reporter.messages.back().second);
        expect_recovered(card.present_files(), out);
        EXPECT_EQ(files_under(out).size(), card.present_files().size());
    }
}

FatOptions options(FatBits bits, std::uint64_t size, unsigned spc, std::optional<std::uint32_t> partition = {}) {
    FatOptions o;
    o.bits = bits;
    o.image_size = size;
    o.sectors_per_cluster = spc;
    o.partition_start = partition;
    if (bits == FatBits::fat12) o.root_entries = 512;
    return o;
}

INSTANTIATE_TEST_SUITE_P(
    Cards, LiveCards,
    ::testing::Values(CardCase{"fat12_8mb", options(FatBits::fat12, 8u << 20, 8)},
                      CardCase{"fat16_64mb", options(FatBits::fat16, 64u << 20, 4)},
                      // 4 KB clusters need a little more than 256 MB for the
                      // 65,525 clusters that make a volume FAT32.
                      CardCase{"fat32_320mb", options(FatBits::fat32, 320u << 20, 8)},
                      CardCase{"fat32_partition_8192", options(FatBits::fat32, 100u << 20, 1, 8192)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lk
