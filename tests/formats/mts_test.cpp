#include <gtest/gtest.h>

#include <vector>

#include "formats/containers.hpp"
#include "formats/memory_stream.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

TEST(Mts, ReadsEveryPacketOfARealStream) {
    LK_REQUIRE_TESTDATA();
    Buffer file = test::read_file(test::testdata("sony_avchd_192byte.mts"));
    ASSERT_EQ(file.size(), 4576u * 192);

    // 2,048-byte clusters divide the file: the walk ends when the clusters do.
    MemoryStream whole(file, 2048);
    ContainerWalk w = walk_mts(whole);
    EXPECT_EQ(whole.position(), file.size());
    EXPECT_EQ(w.complete_end, file.size());
    EXPECT_FALSE(w.clean_end);  // the clusters ran out: the end is not known
    EXPECT_EQ(whole.current_cluster(), whole.end_cluster());

    // A following packet without its sync byte is read, then ends the walk.
    Buffer lost_sync = file;
    lost_sync.insert(lost_sync.end(), file.begin(), file.begin() + 192);
    lost_sync[file.size() + 4] = 0x46;
    lost_sync.insert(lost_sync.end(), file.begin(), file.begin() + 1920);
    MemoryStream cut(lost_sync, 2048);
    ContainerWalk c = walk_mts(cut);
    EXPECT_EQ(cut.position(), file.size() + 192);
    EXPECT_EQ(c.complete_end, file.size());
    EXPECT_TRUE(c.clean_end);
    EXPECT_EQ(cut.current_cluster(), 2 + std::int32_t(file.size() / 2048));
}

TEST(Mts, StopRequestLeavesClusterZero) {
    Buffer packets(192 * 40);
    for (std::size_t i = 4; i < packets.size(); i += 192) packets[i] = 0x47;
    MemoryStream stream(packets, 512);
    stream.stop_after(5);
    walk_mts(stream);
    EXPECT_EQ(stream.current_cluster(), 0);
    EXPECT_LT(stream.position(), packets.size());
}

}  // namespace
}  // namespace lk
