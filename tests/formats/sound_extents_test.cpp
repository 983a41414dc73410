// End rules of sound recordings: MP3 behind an ID3v2 tag, Ogg, FLAC.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/identify.hpp"
#include "formats/sound.hpp"
#include "tests/support/media.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using test::MediaKind;
using test::MediaOptions;

Buffer with_tail(Buffer b, std::size_t n, std::uint8_t fill = 0) {
    b.resize(b.size() + n, fill);
    return b;
}

// An ID3v2 tag of `size` bytes after its header (one text frame, then
// padding), version 3 or 4.
Buffer id3(std::uint32_t size, std::uint8_t version = 3) {
    Buffer b = {'I', 'D', '3', version, 0, 0};
    for (int i = 3; i >= 0; --i) b.push_back(std::uint8_t((size >> (7 * i)) & 0x7F));
    const Buffer frame = {'T', 'I', 'T', '2', 0, 0, 0, 5, 0, 0, 0, 'C', 'a', 'r', 'd'};
    b.insert(b.end(), frame.begin(), frame.end());
    b.resize(10 + size, 0);  // padding
    return b;
}

Buffer cat(Buffer a, const Buffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Mp3Extent, SampleFilesEndWithTheirLastFrame) {
    LK_REQUIRE_TESTDATA();
    for (const char* f : {"mp3_id3v23_sample.mp3", "mp3_id3v24_sample.mp3",
                          "extra/mp3_id3v23_sample.mp3", "extra/mp3_id3v24_sample.mp3"}) {
        const Buffer data = test::read_file(test::testdata(f));
        EXPECT_EQ(mp3_extent(with_tail(data, 2000)), std::int32_t(data.size())) << f;
    }
}

TEST(Mp3Extent, FramesOfEveryVersionAndLayer) {
    LK_REQUIRE_FFMPEG();
    // Layer III at the MPEG 1, 2 and 2.5 rates, Layer II at MPEG 1 and 2
    // rates, behind an ID3v2.3 tag with padding.
    const std::pair<int, int> streams[] = {{3, 44100}, {3, 22050}, {3, 11025}, {2, 48000},
                                           {2, 32000}, {2, 24000}, {2, 16000}};
    for (const auto& [layer, rate] : streams) {
        SCOPED_TRACE("Layer " + std::to_string(layer) + " at " + std::to_string(rate));
        const Buffer file = cat(id3(2000), test::make_mpeg_audio(layer, rate));
        EXPECT_EQ(mp3_extent(with_tail(file, 3000)), std::int32_t(file.size()));
        EXPECT_EQ(mp3_extent(Bytes(file).first(file.size() - 10)), 0)
            << "cut inside the last frame";
    }
    // As written by ffmpeg: ID3v2.4, the frames, the 128-byte ID3v1 tag.
    const Buffer mp3 = test::make_media(MediaKind::mp3);
    ASSERT_EQ(identify_header(mp3), "MP3");
    EXPECT_EQ(content_extent(with_tail(mp3, 3000, 0x55)), std::int32_t(mp3.size()));
    // An ID3v1 tag cut short is not part of the file.
    EXPECT_EQ(mp3_extent(Bytes(mp3).first(mp3.size() - 1)), std::int32_t(mp3.size() - 128));
    // The first frame one byte after the tag: not an MP3 this rule can walk.
    const Buffer stream = test::make_mpeg_audio(3, 44100);
    Buffer shifted = id3(500);
    shifted.push_back(0);
    EXPECT_EQ(mp3_extent(cat(shifted, stream)), -1);
}

TEST(Mp3Extent, Id3TaggedFlacIsMeasuredAsFlac) {
    LK_REQUIRE_FFMPEG();
    const Buffer flac = test::make_media(MediaKind::flac);
    const Buffer tagged = cat(id3(300, 4), flac);
    ASSERT_EQ(identify_header(tagged), "MP3");
    EXPECT_TRUE(is_id3_tagged_flac(tagged));
    EXPECT_FALSE(is_id3_tagged_flac(id3(300)));
    EXPECT_EQ(mp3_extent(with_tail(tagged, 2000)), std::int32_t(tagged.size()));
    EXPECT_EQ(mp3_extent(Bytes(tagged).first(tagged.size() - 1)), 0);
}

TEST(OggExtent, EndsWithThePageThatClosesTheLastStream) {
    LK_REQUIRE_FFMPEG();
    MediaOptions two;
    two.audio_streams = 2;
    struct Case {
        const char* what;
        Buffer file;
    };
    const Case cases[] = {
        {"Vorbis", test::make_media(MediaKind::ogg_vorbis)},
        {"Opus", test::make_media(MediaKind::ogg_opus)},
        {"two multiplexed streams", test::make_media(MediaKind::ogg_vorbis, two)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(identify_header(c.file), "OGG");
        EXPECT_EQ(content_extent(c.file), std::int32_t(c.file.size()));
        EXPECT_EQ(ogg_extent(with_tail(c.file, 5000, 0x4F)), std::int32_t(c.file.size()));
        EXPECT_EQ(ogg_extent(Bytes(c.file).first(c.file.size() - 1)), 0);
    }
    // The two streams end on pages of their own; the file ends after both.
    const Buffer& muxed = cases[2].file;
    std::size_t first_end = 0;
    for (std::size_t p = 0; p + 27 <= muxed.size();) {
        std::size_t body = 0;
        for (std::size_t i = 0; i < muxed[p + 26]; ++i) body += muxed[p + 27 + i];
        const std::size_t next = p + 27 + muxed[p + 26] + body;
        if ((muxed[p + 5] & 0x04) && first_end == 0) first_end = next;
        p = next;
    }
    EXPECT_GT(first_end, 0u);
    EXPECT_LT(first_end, muxed.size());

    // A damaged page (its CRC no longer matches) ends nothing: the file is
    // not whole.
    Buffer damaged = cases[0].file;
    damaged[damaged.size() / 2] ^= 0x10;
    EXPECT_EQ(ogg_extent(damaged), 0);
}

TEST(OggExtent, AStreamWithoutItsLastPageIsNotWhole) {
    LK_REQUIRE_FFMPEG();
    const Buffer file = test::make_media(MediaKind::ogg_vorbis);
    // Drop the last page: from the last "OggS" on.
    std::size_t last = 0;
    for (std::size_t p = 0; p + 4 <= file.size(); ++p)
        if (file[p] == 'O' && file[p + 1] == 'g' && file[p + 2] == 'g' && file[p + 3] == 'S')
            last = p;
    ASSERT_GT(last, 0u);
    EXPECT_EQ(
        ogg_extent(with_tail(Buffer(file.begin(), file.begin() + std::ptrdiff_t(last)), 4096)), 0);
}

TEST(FlacExtent, EndsWithTheLastFrameDecoded) {
    LK_REQUIRE_FFMPEG();
    MediaOptions noise;
    noise.noise = true;
    noise.seconds = 3;
    struct Case {
        const char* what;
        Buffer file;
    };
    // Frames of noise hold false CRC-16 matches before their true end.
    const Case cases[] = {
        {"mono tone", test::make_media(MediaKind::flac)},
        {"stereo noise", test::make_media(MediaKind::flac, noise)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::int32_t size = std::int32_t(c.file.size());
        ASSERT_EQ(identify_header(c.file), "FLA");
        EXPECT_EQ(content_extent(c.file), size);
        Buffer trailing = c.file;
        for (int i = 0; i < 1024; ++i) trailing.push_back(std::uint8_t(i * 31));
        EXPECT_EQ(flac_extent(trailing), size);
        EXPECT_EQ(flac_extent(Bytes(c.file).first(c.file.size() - 1)), 0);
        EXPECT_EQ(flac_extent(Bytes(c.file).first(c.file.size() / 2)), 0);
        Buffer unknown = c.file;  // no sample count in STREAMINFO (its low 36 bits at 21-25)
        unknown[21] &= 0xF0;
        for (std::size_t i = 22; i < 26; ++i) unknown[i] = 0;
        EXPECT_EQ(flac_extent(unknown), 0);
    }
}

}  // namespace
}  // namespace lk
