// The exFAT column of the FAT tables (whole 32-bit entries, unsigned markers,
// the bitmap's say over undefined entries) and the classification of sets.
#include "engine/exfat.hpp"

#include <gtest/gtest.h>

#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;

class ExfatTables : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.open_memory(std::vector<std::uint8_t>(1 << 20)));
        h.geometry(EXFAT, 4096, 100);
        e().settle_geometry().exfat.cluster_count = 98;
        e().settle_geometry().exfat.cluster_size = 4096;
    }
    Engine& e() { return h.engine; }
    void entry(std::int64_t c, std::uint32_t value, int copy = 0) {
        store_le32(e().fat.copy[copy].data() + 4 * c, value);
        e().fat.dirty[copy] = true;
    }
    // A bitmap that believes clusters first .. first + n - 1 allocated.
    void allocated(std::vector<std::pair<std::int64_t, std::int64_t>> runs) {
        std::vector<std::uint8_t> bytes(13, 0);
        for (auto [first, n] : runs)
            for (std::int64_t c = first; c < first + n; ++c)
                bytes[(c - 2) / 8] |= std::uint8_t(1 << ((c - 2) % 8));
        e().fat.allocation.load_bytes(bytes.data(), 98);
        e().fat.allocation_trusted = true;
        e().fat.dirty = {true, true};
    }
    lfn_t record(std::uint32_t first, std::uint64_t size, bool no_fat_chain, bool deleted) {
        lfn_t r;
        r.entry.set_first_cluster(first, true);
        r.exfat_flags =
            kExfatSet | (no_fat_chain ? kExfatNoFatChain : 0) | (deleted ? kExfatDeletedSet : 0);
        set_item_size(r, size);
        r.valid_length = size;
        return r;
    }
    EngineHarness h;
};

TEST_F(ExfatTables, WholeEntriesAndUnsignedMarkers) {
    entry(5, 6);
    entry(6, 0xFFFFFFFF);  // end of chain
    entry(7, 0xFFFFFFF7);  // bad cluster
    entry(8, 0xFFFFFFF8);  // also an end mark
    entry(9, 0x10000005);  // no reserved top bits: a value past the volume, not cluster 5
    EXPECT_EQ(fat_next(e(), 5, 0), 6);
    EXPECT_EQ(fat_next(e(), 6, 0), -1);
    EXPECT_EQ(fat_next(e(), 9, 0), 0x10000005);
    EXPECT_TRUE(cluster_in_use(e(), 7));
    EXPECT_FALSE(cluster_in_use(e(), 8));
    EXPECT_EQ(chain_bytes(e(), 5, 0), 0u);  // no trusted bitmap: nothing is allocated
    allocated({{5, 2}, {8, 1}});
    EXPECT_EQ(chain_bytes(e(), 5, 0), 2 * 4096u);
    EXPECT_EQ(chain_bytes(e(), 8, 0), 4096u);
    EXPECT_EQ(chain_bytes(e(), 9, 0), 0u);
}

TEST_F(ExfatTables, FreeClustersTellNoChain) {
    // A stale entry in a free cluster points at 31: with a bitmap to believe
    // it makes no predecessor, without one it does.
    entry(30, 31);
    EXPECT_EQ(predecessor(e(), 31, 0), 30);
    allocated({{31, 1}});
    EXPECT_EQ(predecessor(e(), 31, 0), -1);
    EXPECT_TRUE(cluster_allocated(e(), 31));
    EXPECT_FALSE(cluster_allocated(e(), 30));
    EXPECT_FALSE(cluster_allocated(e(), 100));  // not a valid cluster
}

TEST_F(ExfatTables, Classification) {
    entry(40, 41);
    entry(41, 42);
    entry(42, 0xFFFFFFFF);
    entry(50, 60, 1);  // a chain only the second copy has
    entry(60, 0xFFFFFFFF, 1);
    entry(49, 50);  // a stale entry pointing at a first cluster
    e().fat.used.set(71);
    allocated({{80, 3}});

    struct Case {
        const char* name;
        lfn_t record;
        bool dirty;
        std::int32_t expected;
    } cases[] = {
        {"an empty file", record(0, 0, false, false), false, 0},
        {"NoFatChain", record(10, 3 * 4096, true, false), false, kExfatConsecutive},
        {"NoFatChain over a used cluster", record(70, 3 * 4096, true, false), false, -1},
        {"NoFatChain past the volume", record(98, 3 * 4096, true, false), false, -1},
        {"a chain in the first copy", record(40, 3 * 4096 - 10, false, false), false, 0},
        {"a chain in the second copy only", record(50, 2 * 4096, false, false), false, 1},
        {"a chain shorter than the size", record(40, 4 * 4096, false, false), false, -1},
        {"deleted, clusters free", record(10, 4096, true, true), false, kExfatConsecutive},
        {"deleted, first cluster reused", record(80, 4096, true, true), false, -3},
        {"deleted, a later cluster reused", record(78, 3 * 4096, true, true), false, -1},
        {"deleted, reused, VolumeDirty", record(80, 4096, true, true), true, kExfatConsecutive},
        {"live over allocated clusters", record(80, 3 * 4096, true, false), false,
         kExfatConsecutive},
    };
    for (const Case& c : cases) {
        e().settle_geometry().exfat.volume_flags = c.dirty ? 0x2 : 0;
        EXPECT_EQ(classify_exfat_record(e(), c.record, is_deleted(c.record)), c.expected) << c.name;
    }
    EXPECT_EQ(exfat_item_copy(kExfatConsecutive), -1);
    EXPECT_EQ(exfat_item_copy(1), 1);

    // A chain that loops is no chain.
    entry(90, 91);
    entry(91, 90);
    EXPECT_EQ(classify_exfat_record(e(), record(90, 3 * 4096, false, false), false), -1);
    exfat_set_t broken;
    EXPECT_EQ(classify_exfat_set(e(), broken, false), -2);
}

}  // namespace
}  // namespace lk
