#include "input/sector_map.hpp"

#include <gtest/gtest.h>

#include "base/status.hpp"
#include "input/copy_progress.hpp"
#include "input/input.hpp"
#include "tests/input/fault_backend.hpp"

namespace lk {
namespace {

class CountingProgress final : public CopyProgress {
  public:
    void hand_over(int percent, std::uint32_t) override {
        percents.push_back(percent);
        if (cancel_at >= 0 && percent >= cancel_at) cancel();
    }
    std::vector<int> percents;
    int cancel_at = -1;
};

class SectorMap : public ::testing::Test {
  protected:
    void open(std::unique_ptr<ReadBackend> backend) {
        ASSERT_TRUE(input.OpenBackend(std::move(backend), "card"));
        input.input_size = input.InputSize(true, -1);
    }
    test::RecordingReporter reporter;
    Status status{&reporter};
    Input input{status};
    CountingProgress progress;
};

TEST_F(SectorMap, EachSectorIsEmptyDataOrUnreadable) {
    // Sector 0 zeros, 1 all 0xFF, 2 data, 3 data but for its last byte,
    // 4 unreadable, 5 one differing byte at its start; then 1,000 more
    // sectors of data so that the map spans several chunks.
    std::vector<std::uint8_t> bytes(1006 * 512, 0);
    std::fill_n(bytes.begin() + 512, 512, 0xFF);
    for (std::size_t i = 1024; i < 1536; ++i) bytes[i] = static_cast<std::uint8_t>(i);
    bytes[2047] = 1;
    bytes[5 * 512] = 7;
    for (std::size_t i = 6 * 512; i < bytes.size(); ++i)
        bytes[i] = test::pattern_byte(static_cast<std::int64_t>(i));
    auto card = std::make_unique<test::FaultBackend>(std::move(bytes));
    card->bad.insert(4);
    open(std::move(card));

    const auto map = MapSectors(input, progress);
    ASSERT_TRUE(map);
    ASSERT_EQ(map->size(), 1006u);
    EXPECT_EQ((std::vector<std::uint8_t>(map->begin(), map->begin() + 6)),
              (std::vector<std::uint8_t>{kSectorEmpty, kSectorEmpty, kSectorData, kSectorData,
                                         kSectorBad, kSectorData}));
    EXPECT_EQ(std::count(map->begin() + 6, map->end(), kSectorData), 1000);
    EXPECT_EQ(progress.percents.front(), 0);
    EXPECT_EQ(progress.percents.back(), 100);
}

TEST_F(SectorMap, CancelledGivesNoMap) {
    open(std::make_unique<test::FaultBackend>(std::int64_t{64} << 20));
    progress.cancel_at = 10;
    EXPECT_FALSE(MapSectors(input, progress));
    EXPECT_EQ(progress.percents.back(), 100);  // the final hand-over still comes
    EXPECT_LT(progress.percents.size(), 60u);
}

}  // namespace
}  // namespace lk
