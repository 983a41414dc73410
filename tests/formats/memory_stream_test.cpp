#include "formats/memory_stream.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace lk {
namespace {

// The walkers' end decisions rest on these cluster semantics, so the test
// double must keep them exactly.
TEST(MemoryStream, ClustersAdvanceLikeTheBlockReader) {
    std::vector<std::uint8_t> data(4 * 16);
    std::iota(data.begin(), data.end(), std::uint8_t(0));
    MemoryStream s(data, 16, 10);  // clusters 10..13
    s.claim(11);

    EXPECT_EQ(s.current_cluster(), 9);  // opened at 10: nothing advanced yet
    std::uint8_t b[20] = {};
    ASSERT_TRUE(s.peek(b, 4));
    EXPECT_EQ(s.current_cluster(), 9);
    EXPECT_EQ(s.position(), 0u);

    ASSERT_TRUE(s.read(b, 20));  // 16 bytes of cluster 10, then 4 of cluster 12
    EXPECT_EQ(b[15], 15);
    EXPECT_EQ(b[16], 32);  // cluster 11 is claimed: passed over
    EXPECT_EQ(s.current_cluster(), 12);
    EXPECT_EQ(s.position(), 20u);

    ASSERT_TRUE(s.read(nullptr, 12));  // to the end of cluster 12: no advance yet
    EXPECT_EQ(s.current_cluster(), 12);
    ASSERT_TRUE(s.read(nullptr, 16));
    EXPECT_EQ(s.current_cluster(), 13);

    EXPECT_FALSE(s.read(b, 1));  // out of clusters: left at the end of the range
    EXPECT_EQ(s.current_cluster(), s.end_cluster());
    EXPECT_EQ(s.end_cluster(), 14);
}

TEST(MemoryStream, StopLeavesClusterZeroAndPadsTheLastCluster) {
    const std::vector<std::uint8_t> data(40, 0xAB);
    MemoryStream s(data, 16);  // three clusters, the last one 8 bytes of data
    std::uint8_t b[16];
    ASSERT_TRUE(s.read(nullptr, 32));
    ASSERT_TRUE(s.read(b, 16));
    EXPECT_EQ(b[7], 0xAB);
    EXPECT_EQ(b[8], 0x00);

    MemoryStream stopped(data, 16);
    stopped.stop_after(2);
    EXPECT_FALSE(stopped.read(nullptr, 40));
    EXPECT_EQ(stopped.current_cluster(), 0);
    EXPECT_FALSE(stopped.read(b, 1));  // a stop stays seen
}

}  // namespace
}  // namespace lk
