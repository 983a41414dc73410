#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/containers.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

void put_le32(Buffer& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (8 * i)));
}

void chunk(Buffer& b, std::string_view id, std::uint32_t size, bool pad) {
    b.insert(b.end(), id.begin(), id.end());
    put_le32(b, size);
    b.insert(b.end(), size + (pad ? 1 : 0), 0x80);
}

// RIFF header with the size field filled from the chunks that follow.
Buffer wave(std::uint32_t data_size, bool pad) {
    Buffer b = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    chunk(b, "fmt ", 16, false);
    chunk(b, "data", data_size, pad);
    const std::uint32_t riff = std::uint32_t(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + i] = std::uint8_t(riff >> (8 * i));
    return b;
}

TEST(Riff, RealFilesEndWhereTheirChunksEnd) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"canon_camera_mjpeg.avi", 799102},
        {"extra/hp_camera_mjpeg.avi", 2159032},
        {"extra/wav_sample.wav", 3884},
        // The camera left 4 bytes after the declared RIFF end (32,220-byte file).
        {"olympus_camera_voice.wav", 32216},
    };
    for (const auto& c : cases) {
        Buffer file = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(file.empty()) << c.file;
        EXPECT_EQ(riff_extent(file), c.extent) << c.file;
        file.insert(file.end(), 5000, 0xC3);  // the next file's clusters
        EXPECT_EQ(riff_extent(file), c.extent) << c.file << " + garbage";
        file.resize(std::size_t(c.extent) - 1);
        EXPECT_EQ(riff_extent(file), 0) << c.file << " cut by one byte";
    }
}

TEST(Riff, OddChunkIsMeasuredThroughItsPadByte) {
    const Buffer odd = wave(3, true);
    ASSERT_EQ(odd.size(), 12u + 24 + 8 + 4);
    EXPECT_EQ(riff_extent(odd), std::int32_t(odd.size()));
    // Without the pad byte in the data the last chunk runs past it.
    const Buffer no_pad(odd.begin(), odd.end() - 1);
    EXPECT_EQ(riff_extent(no_pad), 0);
}

TEST(Riff, ImplausibleSizesMeasureNothing) {
    Buffer huge_chunk = wave(100, false);
    huge_chunk.insert(huge_chunk.end(), 64, 0);
    for (int i = 0; i < 4; ++i) huge_chunk[40 + i] = 0xFF;  // data chunk size 0xFFFFFFFF
    Buffer zero_riff = wave(100, false);
    for (int i = 0; i < 4; ++i) zero_riff[4 + i] = 0;
    Buffer riff_past_data = wave(100, false);
    riff_past_data[7] = 0x10;
    const Buffer header_only = {'R', 'I', 'F', 'F', 0x10};
    struct Case {
        const char* name;
        const Buffer& bytes;
    };
    const Case cases[] = {{"chunk size 0xFFFFFFFF", huge_chunk},
                          {"RIFF size 0", zero_riff},
                          {"RIFF size past the data", riff_past_data},
                          {"short header", header_only}};
    for (const auto& c : cases) EXPECT_EQ(riff_extent(c.bytes), 0) << c.name;
}

}  // namespace
}  // namespace lk
