#include "engine/geometry.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;

std::array<std::uint8_t, 512> boot_record(const char* label54, const char* label82) {
    std::array<std::uint8_t, 512> br{};
    br[0] = 0xEB;
    store_le16(br.data() + 11, 512);
    br[13] = 4;
    store_le16(br.data() + 14, 1);
    br[16] = 2;
    if (label54) std::memcpy(br.data() + 54, label54, 5);
    if (label82) std::memcpy(br.data() + 82, label82, 5);
    br[510] = 0x55;
    br[511] = 0xAA;
    return br;
}

// Two FAT copies of fat_size bytes from offset 512, as read_fats finds them.
void place_fats(Engine& e, std::int32_t fat_size, const std::array<std::uint8_t, 512>& br) {
    e.settle_geometry().boot_record = br;
    e.settle_geometry().pbr_offset = 0;
    e.settle_geometry().fat_offset = {512, 512 + fat_size};
}

TEST(CardSizeTable, NearestRow) {
    struct Case {
        std::int64_t bytes;
        int row;
    } cases[] = {
        {0, 0},
        {1'536'000, 0},  // halfway between rows 0 and 1: the lower row
        {1'536'001, 1},
        {1'000'000'000, 14},
        {std::int64_t{64} << 30, 20},
    };
    for (const auto& c : cases) EXPECT_EQ(nearest_card_size(c.bytes), c.row) << c.bytes;
}

TEST(CardSizeTable, MinimalClusterSize) {
    struct Case {
        int fattype;
        bool ignore;
        std::int64_t bytes;
        std::uint32_t start, size;
    } cases[] = {
        {FAT12, false, 8 << 20, 0, 4096},       // 8 MB / 2 KB = 4096 clusters > 4080
        {FAT16, false, 64 << 20, 0, 2048},        // 65,536 clusters of 1 KB are too many
        {FAT16, false, std::int64_t{2} << 30, 512, 65536},
        {FAT32, false, std::int64_t{16} << 30, 0, 4096},
        {FAT12, true, 8 << 20, 0, 512},         // ignoring the FAT uses the FAT32 limit
    };
    for (const auto& c : cases) {
        EngineHarness h;
        h.engine.settle_geometry().fattype = c.fattype;
        h.engine.opt.ignore_fat = c.ignore;
        EXPECT_EQ(minimal_cluster_size(h.engine, c.bytes, c.start), c.size) << c.bytes;
    }
}

TEST(ReadFats, EqualScoresAreDecidedByTheLabel) {
    // Empty FATs score the same under every type; on a card above 2,048,000,000
    // bytes no demotion follows, so the label alone decides.
    struct Case {
        const char* label54;
        const char* label82;
        int type;
    } cases[] = {
        {"FAT12", nullptr, FAT12},
        {"FAT16", nullptr, FAT16},
        {nullptr, "FAT32", FAT32},
        {nullptr, nullptr, FAT32},  // no label: the last type with the best score stands
    };
    for (const auto& c : cases) {
        EngineHarness h;
        ASSERT_TRUE(h.open_memory(std::vector<std::uint8_t>(64 << 10)));
        h.input.input_size = 2'100'000'000;
        place_fats(h.engine, 6144, boot_record(c.label54, c.label82));
        ASSERT_TRUE(read_fats(h.engine, false));
        EXPECT_EQ(h.engine.geo.fattype, c.type) << (c.label54 ? c.label54 : c.label82 ? c.label82 : "none");
        EXPECT_EQ(h.engine.geo.fat_size, 6144);
    }
}

TEST(ReadFats, ScoringFindsTheTypeWhoseChainsLookReal) {
    EngineHarness h;
    // FAT16 entries: ten chains of twenty clusters each.
    std::vector<std::uint8_t> card(1 << 20);
    const std::int32_t fat_size = 8192;
    for (int copy = 0; copy < 2; ++copy) {
        std::uint8_t* fat = card.data() + 512 + copy * fat_size;
        fat[0] = 0xF8, fat[1] = 0xFF, fat[2] = 0xFF, fat[3] = 0xFF;
        for (int chain = 0; chain < 10; ++chain)
            for (int i = 0; i < 20; ++i) {
                int c = 2 + chain * 20 + i;
                store_le16(fat + 2 * c, i == 19 ? 0xFFFF : c + 1);
            }
    }
    ASSERT_TRUE(h.open_memory(card));
    h.input.input_size = 100'000'000;
    place_fats(h.engine, fat_size, boot_record(nullptr, nullptr));
    ASSERT_TRUE(read_fats(h.engine, false));
    EXPECT_EQ(h.engine.geo.fattype, FAT16);
    EXPECT_EQ(h.engine.geo.max_cluster, fat_size / 2 + 2);
    EXPECT_EQ(score_fat(h.engine, 0, FAT16), 10 * 1024);  // ten chains of more than ten clusters
    EXPECT_LT(score_fat(h.engine, 0, FAT32), 10 * 1024);
    EXPECT_EQ(score_fat(h.engine, 0, FAT12), INT32_MIN);  // too many clusters for FAT12
}

TEST(ReadFats, SmallFat16CardsAreDemotedToFat12) {
    EngineHarness h;
    ASSERT_TRUE(h.open_memory(std::vector<std::uint8_t>(2'048'000)));
    h.input.input_size = 2'048'000;
    place_fats(h.engine, 3072, boot_record("FAT16", nullptr));
    ASSERT_TRUE(read_fats(h.engine, false));
    EXPECT_EQ(h.engine.geo.fattype, FAT12);
    EXPECT_LE(h.engine.geo.max_cluster, 4086);
}

TEST(MeasureRootDir, StopsAtDataAndRoundsErasedSpace) {
    // A plausible root sector: 16 entries of files in valid clusters.
    std::vector<std::uint8_t> entries(512);
    for (int i = 0; i < 16; ++i) {
        std::uint8_t* p = entries.data() + 32 * i;
        std::memcpy(p, "FILE0000TXT", 11);
        p[7] = static_cast<std::uint8_t>('A' + i);
        p[11] = 0x20;
        store_le16(p + 26, 5);
        store_le32(p + 28, 100);
    }
    std::vector<std::uint8_t> dots(512);
    std::memcpy(dots.data(), ".          ", 11);
    std::memcpy(dots.data() + 32, "..         ", 11);
    dots[11] = dots[43] = 0x10;

    struct Case {
        int erased_sectors;  // zero sectors between the 17 root sectors and cluster 2
        std::uint32_t size;
    } cases[] = {{0, 8704}, {15, 16384}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> card(256 << 10);
        const std::int64_t root = 4096;
        for (int s = 0; s < 17; ++s) std::memcpy(card.data() + root + 512 * s, entries.data(), 512);
        std::memcpy(card.data() + root + 512 * (17 + c.erased_sectors), dots.data(), 512);
        EngineHarness h;
        ASSERT_TRUE(h.open_memory(card));
        h.input.input_size = static_cast<std::int64_t>(card.size());
        h.engine.settle_geometry().fattype = FAT12;
        h.engine.settle_geometry().max_cluster = 100;
        h.engine.settle_geometry().root_offset = root;
        EXPECT_EQ(measure_root_dir(h.engine), c.size) << c.erased_sectors;
    }
}

TEST(BootSearch, FollowsTheActivePartition) {
    // A decoy boot record at sector 5 and the real one at sector 32: an MBR
    // whose entry is active sends the scan straight to sector 32; without an
    // active entry the scan goes on sector by sector.
    for (std::uint8_t status : {std::uint8_t{0x80}, std::uint8_t{0x00}}) {
        std::vector<std::uint8_t> card(1 << 20);
        std::uint8_t* mbr = card.data();
        mbr[446] = status;
        mbr[446 + 1] = 0, mbr[446 + 2] = 33, mbr[446 + 3] = 0;  // start CHS
        mbr[446 + 4] = 0x06;
        mbr[446 + 5] = 63, mbr[446 + 6] = 63, mbr[446 + 7] = 10;  // end CHS
        store_le32(mbr + 446 + 8, 32);
        store_le32(mbr + 446 + 12, 2048 - 32);
        mbr[510] = 0x55, mbr[511] = 0xAA;
        auto br = boot_record("FAT16", nullptr);
        std::memcpy(card.data() + 5 * 512, br.data(), 512);
        std::memcpy(card.data() + 32 * 512, br.data(), 512);

        EngineHarness h;
        ASSERT_TRUE(h.open_memory(card));
        h.input.input_size = static_cast<std::int64_t>(card.size());
        reset_geometry(h.engine);
        find_boot_structures(h.engine);
        EXPECT_NE(h.reporter.traces.find("Found Master Boot Record at 0x0 (sector 0)..."), std::string::npos);
        EXPECT_EQ(h.engine.geo.pbr_offset, status ? 32 * 512 : 5 * 512);
    }
}

TEST(BootSearch, PartitionEntriesLargerThanTheInputAreRejected) {
    std::uint8_t entry[16] = {0x80, 0, 2, 0, 0x0C, 254, 255, 255};
    store_le32(entry + 8, 2048);
    // 0x00800001 sectors: 4 GiB + 512 bytes, which wraps to 512 in 32 bits.
    store_le32(entry + 12, 0x00800001);
    EXPECT_FALSE(is_partition_entry(entry, std::int64_t{1} << 30));
    EXPECT_TRUE(is_partition_entry(entry, std::int64_t{5} << 30));
    // The end address may not lie before the start address.
    std::uint8_t backwards[16] = {0x00, 0, 9, 5, 0x06, 0, 2, 5};
    EXPECT_FALSE(is_partition_entry(backwards, std::int64_t{1} << 30));
}

}  // namespace
}  // namespace lk
