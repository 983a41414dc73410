#include "engine/join_checks.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "engine/engine.hpp"
#include "tests/support/engine_harness.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using test::EngineHarness;

constexpr std::uint32_t kClusterSize = 2048;
constexpr std::int32_t kMaxCluster = 402;  // clusters 2..401
constexpr std::int64_t kCluster2 = 4096;

// Two pictures, each in two pieces around three clusters that another file
// has claimed: at cluster 10 and at cluster 200.
class JoinChecksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::uint8_t> card(kCluster2 + std::size_t(kMaxCluster - 2) * kClusterSize, 0x5A);
        for (const auto& [first, seed] : {std::pair<std::int32_t, std::uint32_t>{10, 1}, {200, 2}}) {
            const std::vector<std::uint8_t> picture = test::camera_picture(seed);
            const std::size_t head = picture.size() / kClusterSize / 2 * kClusterSize;
            std::vector<std::int32_t> clusters;
            for (std::int32_t c = first; clusters.size() * kClusterSize < picture.size(); ++c) {
                if (clusters.size() == head / kClusterSize && c < first + std::int32_t(head / kClusterSize) + 3) {
                    claimed.push_back(c);
                    continue;
                }
                clusters.push_back(c);
            }
            for (std::size_t i = 0; i < clusters.size(); ++i) {
                const std::size_t n = std::min<std::size_t>(kClusterSize, picture.size() - i * kClusterSize);
                std::memcpy(card.data() + kCluster2 + std::size_t(clusters[i] - 2) * kClusterSize,
                            picture.data() + i * kClusterSize, n);
            }
            pictures.push_back({first, picture, clusters, head});
        }
        ASSERT_TRUE(h.open_memory(std::move(card)));
        h.input.input_size = h.input.InputSize(true, -1);
        h.geometry(FAT16, kClusterSize, kMaxCluster, kCluster2);
        Engine& e = h.engine;
        for (std::int32_t c : claimed) e.fat.used.set(c);
        e.carve.tags = {"JPG"};
        e.carve.headers.assign(kClusterSize / 512, {});
        for (const Picture& p : pictures) e.carve.headers[0].emplace_back(p.first, 0);
    }

    struct Picture {
        std::int32_t first;
        std::vector<std::uint8_t> bytes;
        std::vector<std::int32_t> clusters;  // where its bytes lie, in order
        std::size_t head;                    // the bytes of its first piece
    };
    EngineHarness h;
    std::vector<std::int32_t> claimed;
    std::vector<Picture> pictures;
};

// A check made ahead is the check of the bytes the engine would check, and
// it is given only for exactly those: not after a claim changed which
// clusters the picture is carved from, nor for another size. A picture with
// a lost entry is checked without the seam measure (its recorded size
// judges it), and that check is not given where the seam is asked for.
TEST_F(JoinChecksTest, ChecksMadeAheadAreGivenOnlyForTheSameBytes) {
    Engine& e = h.engine;
    for (const Picture& p : pictures) {
        const JpegDecodeCheck inline_check = check_jpeg_decode(p.bytes, p.head);
        ASSERT_TRUE(inline_check.clean);
        ASSERT_GT(inline_check.seam, 0.0);
        const std::int32_t moved = p.clusters.back();  // claimed once the check is planned
        struct Case {
            const char* what;
            bool entry;  // a lost entry names the picture when it is planned
            std::function<void()> change;
            std::uint64_t size;
            bool seam;  // asked for
            bool given;
        };
        const Case cases[] = {
            {"the same bytes", false, [] {}, p.bytes.size(), true, true},
            {"a cluster claimed since", false, [&] { e.fat.used.set(moved); }, p.bytes.size(), true, false},
            {"another size", false, [] {}, p.bytes.size() - 1, true, false},
            {"with an entry, no seam asked", true, [] {}, p.bytes.size(), false, true},
            {"with an entry, the seam asked", true, [] {}, p.bytes.size(), true, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "picture at " << p.first << ": " << c.what);
            if (c.entry) e.lost[p.first] = lost_entry_t{};
            JoinChecks ahead(e);
            ahead.plan_after(2);
            EXPECT_EQ(ahead.planned(), pictures.size());
            c.change();
            std::vector<std::int32_t> now;
            for (std::int64_t k = p.first; now.size() * kClusterSize < c.size; ++k)
                if (!cluster_in_use(e, k)) now.push_back(static_cast<std::int32_t>(k));
            const std::optional<JpegDecodeCheck> check = ahead.take(p.first, now, c.size, c.seam);
            EXPECT_EQ(check.has_value(), c.given);
            if (check) {
                EXPECT_EQ(check->clean, inline_check.clean);
                EXPECT_EQ(check->seam, c.entry ? 0.0 : inline_check.seam);
            }
            EXPECT_EQ(ahead.used(), c.given ? 1u : 0u);
            e.fat.used.unset(moved);
            e.lost.clear();
        }
    }
}

// A picture in one piece needs no check and none is planned for it; each
// header is planned once in a sweep, and a sweep that starts again from the
// first header plans afresh (the claims have changed since the last one).
TEST_F(JoinChecksTest, PlansOnlyPicturesInPiecesOncePerSweep) {
    Engine& e = h.engine;
    for (std::int32_t c : claimed) e.fat.used.unset(c);  // both pictures run on unbroken
    JoinChecks ahead(e);
    ahead.plan_after(2);
    EXPECT_EQ(ahead.planned(), 0u);
    for (std::int32_t c : claimed) e.fat.used.set(c);
    ahead.plan_after(pictures[0].first);  // the same sweep: its headers were planned
    EXPECT_EQ(ahead.planned(), 0u);
    ahead.plan_after(2);  // a new sweep
    EXPECT_EQ(ahead.planned(), 2u);
    const Picture& p = pictures[1];
    EXPECT_TRUE(ahead.take(p.first, p.clusters, p.bytes.size(), true).has_value());
}

}  // namespace
}  // namespace lk
