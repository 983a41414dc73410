#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/containers.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

TEST(Mpeg, ProgramStreamEndsWithItsEndCode) {
    LK_REQUIRE_TESTDATA();
    for (const char* name : {"sony_camera_mpeg1_ps.mpg", "extra/sony_camera_mpeg1_ps.mpg"}) {
        SCOPED_TRACE(name);
        Buffer file = test::read_file(test::testdata(name));
        ASSERT_GT(file.size(), 4u);
        const auto size = std::int32_t(file.size());
        EXPECT_EQ(mpeg_extent(file), size);

        Buffer followed = file;
        followed.insert(followed.end(), 4096, 0xD7);
        EXPECT_EQ(mpeg_extent(followed), size);

        // Without the final 00 00 01 B9 the stream never ends.
        const Buffer no_end(file.begin(), file.end() - 4);
        EXPECT_EQ(mpeg_extent(no_end), 0);

        // First pack header: bytes 9-11 hold marker, 22-bit mux rate, marker.
        Buffer zero_rate = file;
        zero_rate[9] = 0x80;
        zero_rate[10] = 0x00;
        zero_rate[11] = 0x01;
        EXPECT_EQ(mpeg_extent(zero_rate), 0);
    }
}

TEST(Mpeg, MinimalStreamsAndDamagedPackets) {
    // Pack: start code, '0010' + SCR with markers, mux rate 1 with markers.
    const Buffer pack = {0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x03};
    const Buffer end = {0x00, 0x00, 0x01, 0xB9};
    // Padding stream packet (0xBE), length 6: no time stamps (0x0F), 5 bytes.
    const Buffer pes = {0x00, 0x00, 0x01, 0xBE, 0x00, 0x06, 0x0F, 1, 2, 3, 4, 5};
    auto join = [](std::initializer_list<Buffer> parts) {
        Buffer b;
        for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
        return b;
    };
    Buffer long_pes = pes;
    long_pes[5] = 0x40;  // the packet claims bytes the data does not hold
    Buffer bad_marker = pack;
    bad_marker[4] = 0x20;  // the first SCR marker bit cleared

    struct Case {
        const char* name;
        Buffer bytes;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"pack, end", join({pack, end}), 16},
        {"pack, packet, end", join({pack, pes, end}), 28},
        {"zero byte before the end code", join({pack, pes, {0x00}, end}), 29},
        {"two packs", join({pack, pes, pack, end}), 40},
        {"packet longer than the data", join({pack, long_pes, end}), 0},
        {"clock marker 0", join({bad_marker, end}), 0},
        {"not a pack", join({end, pack, end}), 0},
        {"empty", {}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(mpeg_extent(c.bytes), c.extent) << c.name;
}

}  // namespace
}  // namespace lk
