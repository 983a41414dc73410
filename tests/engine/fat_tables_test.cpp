#include "engine/fat_tables.hpp"

#include <gtest/gtest.h>

#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;

class FatTablesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(h.open_memory(std::vector<std::uint8_t>(1 << 20))); }
    void fat16(std::int32_t max_cluster = 100) { h.geometry(FAT16, 2048, max_cluster); }
    void link(std::int64_t from, std::int64_t to, int copy = 0) { fix_fat_entry(e(), from, to, copy); }
    Engine& e() { return h.engine; }
    EngineHarness h;
};

TEST_F(FatTablesTest, Fat12EntriesArePackedInTwelveBits) {
    h.geometry(FAT12, 512, 4000);
    auto& fat = e().fat.copy[0];
    // Cluster 3 (odd) is the high nibble of byte 4 and all of byte 5.
    fat[4] = 0x45;
    fat[5] = 0x23;
    e().fat.dirty[0] = true;
    EXPECT_EQ(fat_next(e(), 3, 0), 0x234);
    fix_fat_entry(e(), 3, 0xABC, 0);
    EXPECT_EQ(fat[4], 0xC5);  // the low nibble belongs to cluster 2
    EXPECT_EQ(fat[5], 0xAB);
    // Cluster 2 (even) is byte 3 and the low nibble of byte 4.
    fix_fat_entry(e(), 2, 0x678, 0);
    EXPECT_EQ(fat[3], 0x78);
    EXPECT_EQ(fat[4], 0xC6);
    EXPECT_EQ(fat_next(e(), 2, 0), 0x678);
    EXPECT_EQ(fat_next(e(), 3, 0), 0xABC);
}

TEST_F(FatTablesTest, NextClusterOutsideTheDataArea) {
    fat16(100);
    struct Case {
        std::int64_t c;
        std::int32_t next;
    } cases[] = {
        {0, 1},       // byte positions before cluster 2 step by one
        {-512, -511},
        {1, 1},
        {100, -1},    // max_cluster and beyond
        {5000, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(fat_next(e(), c.c, 0), c.next) << c.c;
    free_fats(e());
    EXPECT_EQ(fat_next(e(), 5, 0), 1);  // an unallocated copy
}

TEST_F(FatTablesTest, Fat32EntriesIgnoreTheReservedTopBits) {
    h.geometry(FAT32, 4096, 100);
    store_le32(e().fat.copy[0].data() + 5 * 4, 0xF0000006);
    store_le32(e().fat.copy[0].data() + 6 * 4, 0x0FFFFFFF);  // end of chain as volumes store it
    e().fat.dirty[0] = true;
    EXPECT_EQ(fat_next(e(), 5, 0), 6);
    EXPECT_EQ(chain_bytes(e(), 5, 0), 2u * 4096);
    store_le32(e().fat.copy[1].data() + 7 * 4, 0x0FFFFFF7);  // bad cluster in copy 1
    EXPECT_TRUE(cluster_in_use(e(), 7));
    EXPECT_FALSE(cluster_in_use(e(), 8));
}

TEST_F(FatTablesTest, ChainBytesOnlyForCleanChains) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, int>> links;  // cluster -> next (0xFFFF = end)
        int used = 0;
        std::uint64_t bytes;
    } cases[] = {
        {"clean", {{5, 6}, {6, 7}, {7, 0xFFFF}}, 0, 3 * 2048},
        {"cross-linked", {{5, 6}, {6, 7}, {7, 0xFFFF}, {9, 6}}, 0, 0},
        {"loop", {{5, 6}, {6, 5}}, 0, 0},
        {"runs into a used cluster", {{5, 6}, {6, 7}, {7, 0xFFFF}}, 6, 0},
        {"broken", {{5, 6}, {6, 0}}, 0, 0},
        {"past the data area", {{5, 150}}, 0, 0},
    };
    for (const auto& c : cases) {
        fat16(100);
        for (auto [from, to] : c.links) link(from, to);
        if (c.used) e().fat.used.set(c.used);
        EXPECT_EQ(chain_bytes(e(), 5, 0), c.bytes) << c.name;
    }
}

TEST_F(FatTablesTest, EntriesOutsideTheTablesAreFatal) {
    fat16(20);
    EXPECT_THROW(fix_fat_entry(e(), 20, 1, 0), FatalError);
    EXPECT_THROW(fat_next(e(), 5, -1), FatalError);
    ASSERT_EQ(h.reporter.messages.size(), 2u);
    EXPECT_EQ(h.reporter.messages[0].second, "fix_fat_entry");
    EXPECT_EQ(h.reporter.messages[1].second, "internal error in fat_next");
}

}  // namespace
}  // namespace lk
