#include "engine/read_ahead.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/geometry.hpp"
#include "formats/identify.hpp"
#include "tests/support/engine_harness.hpp"

namespace lk {
namespace {

using test::EngineHarness;

constexpr std::uint32_t kClusterSize = 2048;
constexpr std::int32_t kMaxCluster = 602;  // clusters 2..601
constexpr std::int64_t kCluster2 = 4096;

// Random bytes, a few clusters of one value, and headers at sector offsets
// (a cluster's start and its later sectors, where shifted files begin).
std::vector<std::uint8_t> card_bytes() {
    std::vector<std::uint8_t> bytes(kCluster2 + std::size_t(kMaxCluster - 2) * kClusterSize);
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    auto at = [&](std::int64_t cluster, std::size_t offset) {
        return bytes.data() + kCluster2 + (cluster - 2) * kClusterSize + offset;
    };
    for (std::int64_t c : {3, 40, 41, 599}) std::memset(at(c, 0), c == 41 ? 0 : 0xE5, kClusterSize);
    for (std::int64_t c : {2, 17, 300, 601}) std::memcpy(at(c, 0), "\x89PNG\r\n\x1A\n", 8);
    for (std::int64_t c : {17, 251}) std::memcpy(at(c, 1024), "%PDF-1.4\n", 9);
    std::memcpy(at(52, 512), "\x89PNG\r\n\x1A\n", 8);
    return bytes;
}

class ReadAheadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.open_memory(card_bytes()));
        h.input.input_size = h.input.InputSize(true, -1);
        h.geometry(FAT16, kClusterSize, kMaxCluster, kCluster2);
    }
    EngineHarness h;
};

// Every run gives the bytes read_cluster reads and, cluster by cluster, the
// headers identify_header finds, whether the thread looked for them while
// the run waited (the engine pauses before some takes to let it) or the
// engine did as it came to them, and whether the thread read the run or,
// in pieces smaller than a run, the engine read some of it while it would
// otherwise have waited. A run from the last cluster on is zeros.
TEST_F(ReadAheadTest, RunsGiveTheClustersBytesAndHeaders) {
    Engine& e = h.engine;
    const std::pair<std::int64_t, std::int64_t> runs[] = {{2, 48}, {50, 1}, {51, 200}, {251, 300},
                                                          {551, 51}, {602, 3}, {10, 5}};
    for (std::size_t piece : {ReadAhead::kPieceBytes, std::size_t{4096}, std::size_t{1000}}) {
        SCOPED_TRACE(piece);
        ReadAhead ahead(e, piece);
        std::size_t next = 0, taken = 0, headers = 0, uniform = 0;
        std::vector<std::uint8_t> expected(kClusterSize);
        for (;;) {
            while (next < std::size(runs) && ahead.has_room()) {
                ahead.start(runs[next].first, runs[next].second);
                ++next;
            }
            if (taken % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const ReadAhead::Run run = ahead.take();
            if (run.count == 0) break;
            ASSERT_LT(taken, std::size(runs));
            EXPECT_EQ(run.first, runs[taken].first);
            EXPECT_EQ(run.count, runs[taken].second);
            ASSERT_EQ(run.bytes.size(), std::size_t(run.count) * kClusterSize);
            for (std::size_t k = 0; k < std::size_t(run.count); ++k) {
                const std::int64_t c = run.first + std::int64_t(k);
                // Past the last cluster a read gives zeros, as the run holds.
                const std::int64_t read = read_cluster(e, c, expected.data(), kClusterSize, 0, true);
                ASSERT_TRUE(read >= 0 || c >= e.geo.max_cluster) << "cluster " << c;
                const std::uint8_t* got = run.bytes.data() + k * kClusterSize;
                ASSERT_EQ(std::memcmp(got, expected.data(), kClusterSize), 0) << "cluster " << c;
                ahead.look_at(run, k);
                const bool same =
                    std::all_of(got, got + kClusterSize, [&](std::uint8_t b) { return b == got[0]; });
                EXPECT_EQ(run.looks->uniform(k), same) << "cluster " << c;
                uniform += same;
                if (same) continue;
                // The marker walk's stops, where listed, are all of them.
                const JpegMarkerHints hints = run.looks->marker_hints(k);
                std::vector<std::uint32_t> stops;
                for (std::size_t i = 0; i + 1 < kClusterSize; ++i) {
                    i = find_pair(got, i, kClusterSize, kJpegMarkerStop);
                    if (i + 1 < kClusterSize) stops.push_back(static_cast<std::uint32_t>(i));
                }
                EXPECT_EQ(hints.complete, stops.size() <= 8) << "cluster " << c;
                if (hints.complete) {
                    EXPECT_EQ(std::vector<std::uint32_t>(hints.at, hints.at + hints.count), stops) << "cluster " << c;
                }
                for (std::size_t s = 0; s < kClusterSize / 512; ++s) {
                    const TypeTag want =
                        identify_header(Bytes(got + 512 * s, kClusterSize - 512 * s), e.signatures);
                    EXPECT_EQ(run.looks->headers(k)[s], want) << "cluster " << c << " sector " << s;
                    headers += !want.empty();
                }
            }
            ++taken;
        }
        EXPECT_EQ(taken, std::size(runs));
        // The card holds what the test is about: headers and uniform clusters,
        // the zeros past the last cluster counted among them.
        EXPECT_GE(headers, 8u);
        EXPECT_GE(uniform, 4u + 3u);
    }
}

// Runs still being read or looked at when the sequential read stops (a
// cancelled analysis) are left behind: the read-ahead ends without waiting
// for them to be taken.
TEST_F(ReadAheadTest, EndsWithRunsNotTaken) {
    ReadAhead ahead(h.engine);
    ahead.start(2, 300);
    ahead.start(302, 300);
    const ReadAhead::Run run = ahead.take();
    EXPECT_EQ(run.count, 300);
}

// A device whose reads from a given offset on fail with an exception (as a
// fatal error does where the front end's handler throws).
class FailingBackend final : public ReadBackend {
  public:
    FailingBackend(std::vector<std::uint8_t> bytes, std::int64_t failing_from)
        : memory_(std::move(bytes)), failing_from_(failing_from) {}
    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        if (offset + static_cast<std::int64_t>(length) > failing_from_) throw std::runtime_error("read failed");
        return memory_.read(offset, buffer, length, error);
    }
    std::int64_t size() override { return memory_.size(); }
    bool concurrent_reads() const override { return true; }  // the failure comes without the lock held

  private:
    test::MemoryBackend memory_;
    std::int64_t failing_from_;
};

// A run whose read fails hands the failure to the engine's thread when it is
// taken, also in a slot that held a run before (whose headers the engine,
// not the thread, looked for), and the runs before it come as read.
TEST(ReadAheadFailure, AFailedReadIsThrownWhenItsRunIsTaken) {
    for (std::size_t piece : {ReadAhead::kPieceBytes, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        EngineHarness h;
        const std::int64_t failing_from = kCluster2 + 350 * std::int64_t(kClusterSize);  // within the fourth run
        ASSERT_TRUE(
            h.input.OpenBackend(std::make_unique<FailingBackend>(card_bytes(), failing_from), "failing card"));
        h.input.input_size = h.input.InputSize(true, -1);
        h.geometry(FAT16, kClusterSize, kMaxCluster, kCluster2);
        ReadAhead ahead(h.engine, piece);
        const std::pair<std::int64_t, std::int64_t> runs[] = {
            {2, 100}, {102, 100}, {202, 100}, {302, 100}, {402, 100}};
        std::size_t next = 0;
        bool failed = false;
        for (std::size_t taken = 0; taken < std::size(runs) && !failed; ++taken) {
            while (next < std::size(runs) && ahead.has_room()) {
                ahead.start(runs[next].first, runs[next].second);
                ++next;
            }
            if (runs[taken].first + runs[taken].second > 350) {
                EXPECT_THROW(ahead.take(), std::runtime_error);
                failed = true;
                break;
            }
            const ReadAhead::Run run = ahead.take();
            EXPECT_EQ(run.first, runs[taken].first);
            EXPECT_EQ(run.bytes[0], card_bytes()[kCluster2 + (run.first - 2) * kClusterSize]);
        }
        EXPECT_TRUE(failed) << "no run failed";
    }
}

}  // namespace
}  // namespace lk
