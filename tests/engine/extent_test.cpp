#include "engine/extent.hpp"

#include <gtest/gtest.h>

#include "engine/extent_finder.hpp"
#include "tests/support/engine_harness.hpp"

namespace lk {

void PrintTo(const ByteRun& r, std::ostream* out) {
    if (r.zeros()) *out << "[zeros, " << r.length << "]";
    else *out << "[" << r.offset << ", " << r.length << "]";
}

namespace {

using test::EngineHarness;

TEST(Extent, AdjacentRunsMergeAndTruncateKeepsTheFirstBytes) {
    Extent x;
    x.add(1000, 100);
    x.add(1100, 50);  // follows on: one run
    x.add(5000, 10);
    x.add_zeros(7);
    x.add_zeros(3);
    x.add(ByteRun::kZeros, 5);  // a zero offset is a zero run
    EXPECT_EQ(x.runs, (std::vector<ByteRun>{{1000, 150}, {5000, 10}, {ByteRun::kZeros, 15}}));
    EXPECT_EQ(x.size(), 175u);
    EXPECT_EQ(x.data_bytes(), 160u);
    x.truncate(155);
    EXPECT_EQ(x.runs, (std::vector<ByteRun>{{1000, 150}, {5000, 5}}));
    x.truncate(0);
    EXPECT_TRUE(x.empty());
}

// A FAT16 card whose data area starts at 0 in 2048-byte clusters; cluster c
// holds bytes of value c.
class ExtentOnACard : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::uint8_t> card(100 * 2048);
        for (std::size_t i = 0; i < card.size(); ++i) card[i] = static_cast<std::uint8_t>(i / 2048 + 2);
        ASSERT_TRUE(h.open_memory(card));
        h.input.input_size = static_cast<std::int64_t>(card.size());
        h.geometry(FAT16, 2048, 100);
    }
    static std::int64_t at(std::int64_t c) { return (c - 2) * 2048; }
    void link(std::vector<std::int64_t> chain) {
        for (std::size_t i = 0; i + 1 < chain.size(); ++i) fix_fat_entry(h.engine, chain[i], chain[i + 1], 0);
        fix_fat_entry(h.engine, chain.back(), 0xFFFF, 0);
    }
    static lfn_t file(std::uint32_t first, std::uint64_t size) {
        lfn_t f;
        f.entry.set_name11("FILE    BIN");
        f.entry.set_first_cluster(first, false);
        set_item_size(f, size);
        return f;
    }
    std::vector<std::uint8_t> read(const Extent& x) {
        std::vector<std::uint8_t> bytes(x.size());
        ExtentReader reader(h.input, h.engine.opt.sector_range, x.runs);
        bytes.resize(reader.read(bytes.data(), bytes.size()));
        return bytes;
    }
    EngineHarness h;
};

TEST_F(ExtentOnACard, RecordedExtents) {
    link({5, 6, 9});
    link({20, 21});
    fix_fat_entry(h.engine, 30, 31, 0);  // a loop
    fix_fat_entry(h.engine, 31, 30, 0);
    struct Case {
        const char* what;
        lfn_t record;
        std::int32_t copy, shift;
        std::vector<ByteRun> runs;
        ExtentHow how;
        std::uint64_t foreign;
    } cases[] = {
        {"a chain", file(5, 3 * 2048 - 10), 0, 0, {{at(5), 4096}, {at(9), 2038}}, ExtentHow::Chain, 0},
        {"a chain at a shift", file(20, 4096), 0, 512, {{at(20) + 512, 4096}}, ExtentHow::Chain, 0},
        {"consecutive", file(40, 5000), -1, 0, {{at(40), 5000}}, ExtentHow::Consecutive, 0},
        {"a chain shorter than the size", file(20, 3 * 2048), 0, 0, {{at(20), 4096}, {ByteRun::kZeros, 2048}},
         ExtentHow::Partial, 2048},
        {"a loop", file(30, 4 * 2048), 0, 0, {{at(30), 4096}, {ByteRun::kZeros, 4096}}, ExtentHow::Partial, 4096},
        {"empty", file(0, 0), 0, 0, {}, ExtentHow::Chain, 0},
    };
    for (const Case& c : cases) {
        const Extent x = recorded_extent(h.engine, c.record, c.copy, c.shift);
        EXPECT_EQ(x.runs, c.runs) << c.what;
        EXPECT_EQ(x.how, c.how) << c.what;
        EXPECT_EQ(x.foreign, c.foreign) << c.what;
        EXPECT_EQ(x.size(), item_size(c.record)) << c.what;
    }
}

TEST_F(ExtentOnACard, ExfatFilesReadAsZerosPastTheirValidLength) {
    lfn_t f = file(10, 2'100'000);
    f.exfat_flags = kExfatSet | kExfatNoFatChain;
    f.valid_length = 3000;
    const Extent x = recorded_extent(h.engine, f, -1, 0);
    EXPECT_EQ(x.runs, (std::vector<ByteRun>{{at(10), 3000}, {ByteRun::kZeros, 2'097'000}}));
    const std::vector<std::uint8_t> bytes = read(x);
    ASSERT_EQ(bytes.size(), 2'100'000u);
    EXPECT_EQ(bytes[2047], 10);
    EXPECT_EQ(bytes[2999], 11);
    EXPECT_EQ(bytes[3000], 0);
}

TEST_F(ExtentOnACard, CarvedFilesPassOverClaimedClusters) {
    h.engine.fat.used.set(11);
    const Extent x = unclaimed_extent(h.engine, 10, 3 * 2048, 0);
    EXPECT_EQ(x.runs, (std::vector<ByteRun>{{at(10), 2048}, {at(12), 4096}}));
    EXPECT_EQ(x.how, ExtentHow::Consecutive);
    EXPECT_EQ(cluster_runs(h.engine.geo, x, 0), (ClusterRuns{{10, 1}, {12, 2}}));
    // The card ends first: zeros for the rest.
    const Extent cut = unclaimed_extent(h.engine, 98, 3 * 2048, 0);
    EXPECT_EQ(cut.how, ExtentHow::Partial);
    EXPECT_EQ(cut.foreign, 2048u);
    // Bytes at a shift still claim the clusters of the grid they start in.
    const Extent shifted = unclaimed_extent(h.engine, 20, 2048, 1024);
    EXPECT_EQ(cluster_runs(h.engine.geo, shifted, 1024), (ClusterRuns{{20, 1}}));
    const std::vector<std::uint8_t> bytes = read(shifted);
    EXPECT_EQ(bytes[1023], 20);
    EXPECT_EQ(bytes[1024], 21);
}

TEST_F(ExtentOnACard, AStopRequestEndsTheReading) {
    std::stop_source stop;
    Extent x;
    x.add(at(5), 4096);
    ExtentReader reader(h.input, h.engine.opt.sector_range, x.runs, stop.get_token());
    std::uint8_t buffer[4096];
    EXPECT_EQ(reader.read(buffer, 100), 100u);
    stop.request_stop();
    EXPECT_EQ(reader.read(buffer, 100), 0u);
    EXPECT_TRUE(reader.stopped());
}

// Lost entries whose chain is gone: the guess passes over clusters that are
// claimed and over other entries' first clusters, never takes one, and goes
// no further than its bound.
TEST_F(ExtentOnACard, GuessesPassOverClaimedClustersAndOtherEntriesFirstClusters) {
    h.engine.lost[3] = lost_entry_t{file(3, 4 * 2048), 0, 0};
    h.engine.lost[7] = lost_entry_t{file(7, 2048), 0, 0};
    h.engine.fat.used.set(4);
    const lfn_t a = file(2, 3 * 2048);
    const Extent skipping = guessed_extent(h.engine, a, 0, true);
    EXPECT_EQ(cluster_runs(h.engine.geo, skipping, 0), (ClusterRuns{{2, 1}, {5, 2}}));
    EXPECT_EQ(skipping.how, ExtentHow::Guessed);
    // Without passing over, the cluster after the first is another's.
    EXPECT_TRUE(guessed_extent(h.engine, a, 0, false).empty());
    // The entry's own first cluster is its own.
    const Extent own = guessed_extent(h.engine, file(7, 2 * 2048), 0, false);
    EXPECT_EQ(cluster_runs(h.engine.geo, own, 0), (ClusterRuns{{7, 2}}));
    // Past the card's end the rest is not known.
    const Extent cut = guessed_extent(h.engine, file(98, 4 * 2048), 0, true);
    EXPECT_EQ(cut.how, ExtentHow::Partial);
    EXPECT_EQ(cut.foreign, 2u * 2048);
}

TEST_F(ExtentOnACard, BrokenChainsKeepWhatTheyReachThenTheClustersAfter) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, std::int64_t>> links;  // cluster -> next
        std::vector<std::int64_t> claimed;
        ClusterRuns clusters;
        std::uint64_t foreign;  // bytes not from the chain
        bool zeros;             // the rest is zeros
    } cases[] = {
        // 20 -> 21 -> (free): the clusters after 21 hold the rest.
        {"a free mark before the size", {{20, 21}, {21, 0}}, {}, {{20, 4}}, 2 * 2048, false},
        {"a cluster number outside the card", {{20, 21}, {21, 5000}}, {}, {{20, 4}}, 2 * 2048, false},
        // A bad mark in 21's entry says 21 itself is bad: nothing takes it.
        {"a bad mark", {{20, 21}, {21, 0xFFF7}}, {}, {{20, 1}}, 3 * 2048, true},
        {"a loop", {{20, 21}, {21, 20}}, {}, {{20, 4}}, 2 * 2048, false},
        // The chain goes on into a cluster another file holds: it stops
        // there; the clusters after its last good one hold the rest.
        {"a cluster another file holds", {{20, 30}, {30, 22}, {22, 23}, {23, 0xFFFF}}, {22}, {{20, 1}, {30, 3}},
         2 * 2048, false},
        // One of them is held too: the rest is zeros.
        {"no room after the break", {{20, 30}, {30, 22}, {22, 23}, {23, 0xFFFF}}, {22, 32}, {{20, 1}, {30, 1}},
         2 * 2048, true},
    };
    for (const Case& c : cases) {
        h.geometry(FAT16, 2048, 100);
        for (auto [from, to] : c.links) fix_fat_entry(h.engine, from, to, 0);
        for (std::int64_t claimed : c.claimed) h.engine.fat.used.set(claimed);
        const Extent x = broken_chain_extent(h.engine, file(20, 4 * 2048), 0);
        EXPECT_EQ(x.how, ExtentHow::Partial) << c.what;
        EXPECT_EQ(cluster_runs(h.engine.geo, x, 0), c.clusters) << c.what;
        EXPECT_EQ(x.foreign, c.foreign) << c.what;
        EXPECT_EQ(!x.runs.empty() && x.runs.back().zeros(), c.zeros) << c.what;
        EXPECT_EQ(x.size(), 4u * 2048) << c.what;
    }
}

}  // namespace
}  // namespace lk
