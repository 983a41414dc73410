#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/containers.hpp"
#include "formats/memory_stream.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

constexpr std::uint8_t kHeaderObject[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                            0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr std::uint8_t kDataObject[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

// An object header with the given 64-bit size, then `payload` filler bytes.
void object(Buffer& b, const std::uint8_t (&id)[16], std::uint64_t size, std::size_t payload) {
    b.insert(b.end(), id, id + 16);
    for (int i = 0; i < 8; ++i) b.push_back(std::uint8_t(size >> (8 * i)));
    b.insert(b.end(), payload, 0x11);
}

TEST(Asf, RealFilesWalkToTheirLastByte) {
    LK_REQUIRE_TESTDATA();
    for (const char* name : {"asf_wmv_sample.wmv", "extra/asf_wmv_sample.wmv"}) {
        Buffer file = test::read_file(test::testdata(name));
        ASSERT_FALSE(file.empty()) << name;
        const std::size_t size = file.size();
        for (bool trailing_garbage : {false, true}) {
            if (trailing_garbage) file.insert(file.end(), 2000, 0x9C);
            SCOPED_TRACE(std::string(name) + (trailing_garbage ? " + garbage" : ""));
            MemoryStream stream(file, 2048);
            const ContainerWalk w = walk_asf(stream, kDefaultMovieLimit);
            EXPECT_TRUE(w.accepted);
            EXPECT_EQ(w.complete_end, size);
            EXPECT_FALSE(w.last_is_mdat);
        }
    }
}

// A header object of `size` bytes, then a data object: how far the walk gets.
TEST(Asf, ObjectSizesOutsideTheLimitsStopTheWalk) {
    struct Case {
        const char* name;
        std::uint64_t size;
        std::uint64_t complete_end;  // 0: nothing walked, no file
    };
    const Case cases[] = {
        {"ordinary", 100, 100 + 64},
        {"bare header", 24, 24 + 64},
        {"below its own header", 23, 0},
        {"4 GiB and more", (std::uint64_t(1) << 32) | 100, 0},
        {"above the movie limit", kDefaultMovieLimit + 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Buffer b;
        object(b, kHeaderObject, c.size, c.size >= 24 && c.size < 1000 ? c.size - 24 : 76);
        object(b, kDataObject, 64, 40);
        MemoryStream stream(b, 512);
        stream.set_cluster_count(std::int64_t(kDefaultMovieLimit / 512) + 8);
        const ContainerWalk w = walk_asf(stream, kDefaultMovieLimit);
        EXPECT_EQ(w.accepted, c.complete_end != 0);
        EXPECT_EQ(w.complete_end, c.complete_end);
    }
}

}  // namespace
}  // namespace lk
