// The movie and sound makers must deliver files laid out as their container
// says, since the carving tests measure them by that layout.
#include "tests/support/media.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "base/bytes.hpp"

namespace lk::test {
namespace {

std::string fourcc(Bytes d, std::size_t off) {
    if (!has(d, off, 4)) return {};
    return std::string(reinterpret_cast<const char*>(d.data() + off), 4);
}

// QuickTime family: top-level atoms (size, type) cover the file exactly.
void check_atoms(Bytes d, const std::string& brand_prefix) {
    std::set<std::string> seen;
    std::size_t p = 0;
    while (p < d.size()) {
        auto size = be32(d, p);
        ASSERT_TRUE(size) << "atom header cut at " << p;
        std::uint64_t n = *size;
        if (n == 1) n = *be64(d, p + 8);  // 64-bit size
        ASSERT_GE(n, 8u) << "atom at " << p;
        ASSERT_LE(n, d.size() - p) << "atom " << fourcc(d, p + 4) << " at " << p;
        if (seen.empty()) {
            EXPECT_EQ(fourcc(d, p + 4), "ftyp");
            EXPECT_EQ(fourcc(d, p + 8).substr(0, brand_prefix.size()), brand_prefix);
        }
        seen.insert(fourcc(d, p + 4));
        p += std::size_t(n);
    }
    EXPECT_EQ(p, d.size());
    EXPECT_TRUE(seen.count("moov"));
    EXPECT_TRUE(seen.count("mdat"));
}

// RIFF: the size field covers the file; returns the chunk ids at the top of
// the form, each with the offset of its data.
std::vector<std::pair<std::string, std::size_t>> riff_chunks(Bytes d, const std::string& form) {
    std::vector<std::pair<std::string, std::size_t>> out;
    EXPECT_EQ(fourcc(d, 0), "RIFF");
    EXPECT_EQ(fourcc(d, 8), form);
    EXPECT_EQ(std::uint64_t(*le32(d, 4)) + 8, d.size());
    std::size_t p = 12;
    while (p + 8 <= d.size()) {
        const std::uint32_t n = *le32(d, p + 4);
        out.emplace_back(fourcc(d, p), p + 8);
        p += 8 + n + (n & 1);
    }
    EXPECT_EQ(p, d.size());
    return out;
}

// MPEG-1 program stream: packs and packets by their lengths, to the end code.
void check_mpeg1_ps(Bytes d) {
    std::size_t p = 0, packs = 0, system_headers = 0, pes = 0;
    bool ended = false;
    while (p + 4 <= d.size() && !ended) {
        const std::uint32_t code = *be32(d, p);
        ASSERT_EQ(code >> 8, 1u) << "start code expected at " << p;
        if (code == 0x1BA) {
            ASSERT_TRUE(has(d, p, 12));
            EXPECT_EQ(d[p + 4] & 0xF1, 0x21) << "MPEG-1 '0010' marker and marker bit at " << p;
            ++packs;
            p += 12;
        } else if (code == 0x1B9) {
            ended = true;
            p += 4;
        } else {
            if (code == 0x1BB) ++system_headers;
            if (code >= 0x1C0 && code <= 0x1EF) ++pes;
            auto n = be16(d, p + 4);
            ASSERT_TRUE(n);
            p += 6 + *n;
        }
    }
    EXPECT_TRUE(ended) << "no end code";
    EXPECT_EQ(p, d.size());
    EXPECT_GE(packs, 2u);
    EXPECT_GE(system_headers, 1u);
    EXPECT_GE(pes, 2u);
}

void check_m2ts(Bytes d) {
    ASSERT_EQ(d.size() % 192, 0u);
    std::uint32_t last = 0;
    for (std::size_t p = 0; p < d.size(); p += 192) {
        ASSERT_EQ(d[p + 4], 0x47) << "packet at " << p;
        const std::uint32_t stamp = *be32(d, p) & 0x3FFFFFFF;
        EXPECT_GE(stamp, last) << "arrival time goes back at " << p;
        last = stamp;
    }
}

// ASF: top-level objects (GUID, 64-bit size) cover the file; header first, then data.
void check_asf(Bytes d) {
    static const std::uint8_t header_guid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    static const std::uint8_t data_guid[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    ASSERT_GE(d.size(), 48u);
    EXPECT_EQ(std::memcmp(d.data(), header_guid, 16), 0);
    std::size_t p = 0;
    int objects = 0;
    while (p < d.size()) {
        auto n = le64(d, p + 16);
        ASSERT_TRUE(n);
        ASSERT_GE(*n, 24u);
        ASSERT_LE(*n, d.size() - p);
        if (objects == 1) {
            EXPECT_EQ(std::memcmp(d.data() + p, data_guid, 16), 0);
        }
        ++objects;
        p += std::size_t(*n);
    }
    EXPECT_EQ(p, d.size());
    EXPECT_GE(objects, 2);
}

// ID3v2 tag, an MPEG audio frame right after it, a 128-byte ID3v1 tag last.
void check_mp3(Bytes d) {
    ASSERT_EQ(fourcc(d, 0).substr(0, 3), "ID3");
    std::size_t tag = 10;
    for (int i = 6; i < 10; ++i) tag += std::size_t(d[i]) << (7 * (9 - i));
    ASSERT_TRUE(has(d, tag, 2));
    EXPECT_EQ(*be16(d, tag) & 0xFFE0, 0xFFE0) << "no frame after the tag";
    ASSERT_GE(d.size(), 128u);
    EXPECT_EQ(fourcc(d, d.size() - 128).substr(0, 3), "TAG");
}

// Ogg pages (by their segment tables) cover the file; the first begins the
// stream, the last ends it.
void check_ogg(Bytes d) {
    std::size_t p = 0, pages = 0;
    std::uint8_t last_flags = 0;
    while (p < d.size()) {
        ASSERT_EQ(fourcc(d, p), "OggS") << "page expected at " << p;
        ASSERT_TRUE(has(d, p, 27));
        const std::size_t segments = d[p + 26];
        ASSERT_TRUE(has(d, p + 27, segments));
        std::size_t body = 0;
        for (std::size_t i = 0; i < segments; ++i) body += d[p + 27 + i];
        if (pages++ == 0) {
            EXPECT_TRUE(d[p + 5] & 0x02) << "first page does not begin the stream";
        }
        last_flags = d[p + 5];
        p += 27 + segments + body;
    }
    EXPECT_EQ(p, d.size());
    EXPECT_TRUE(last_flags & 0x04) << "last page does not end the stream";
}

// STREAMINFO first, with the sample count and the largest frame size filled
// in (the muxer writes them back when the file is seekable).
void check_flac(Bytes d) {
    ASSERT_EQ(fourcc(d, 0), "fLaC");
    ASSERT_TRUE(has(d, 0, 42));
    EXPECT_EQ(d[4] & 0x7F, 0) << "STREAMINFO is not first";
    EXPECT_NE(*be64(d, 18) & 0xFFFFFFFFFull, 0u) << "no sample count";
    EXPECT_NE(*be32(d, 14) & 0xFFFFFF, 0u) << "no largest frame size";
}

void check_layout(MediaKind kind, Bytes d) {
    switch (kind) {
        case MediaKind::mov:
            return check_atoms(d, "qt  ");
        case MediaKind::mp4:
            return check_atoms(d, "mp42");
        case MediaKind::m4a:
            return check_atoms(d, "M4A ");
        case MediaKind::three_gp:
            return check_atoms(d, "3gp");
        case MediaKind::avi_mjpeg: {
            bool jpeg_frame = false;
            for (auto& [id, at] : riff_chunks(d, "AVI ")) {
                if (id != "LIST" || fourcc(d, at) != "movi") continue;
                // The first video chunk inside the movie list holds a JPEG picture.
                for (std::size_t p = at + 4; p + 10 <= d.size();
                     p += 8 + *le32(d, p + 4) + (*le32(d, p + 4) & 1)) {
                    if (fourcc(d, p) == "00dc") {
                        jpeg_frame = be16(d, p + 8) == 0xFFD8;
                        break;
                    }
                }
            }
            EXPECT_TRUE(jpeg_frame);
            return;
        }
        case MediaKind::wav: {
            auto chunks = riff_chunks(d, "WAVE");
            ASSERT_GE(chunks.size(), 2u);
            EXPECT_EQ(chunks[0].first, "fmt ");
            EXPECT_EQ(le16(d, chunks[0].second), 1) << "PCM";
            EXPECT_EQ(chunks.back().first, "data");
            return;
        }
        case MediaKind::mpeg1_ps:
            return check_mpeg1_ps(d);
        case MediaKind::m2ts:
            return check_m2ts(d);
        case MediaKind::asf:
            return check_asf(d);
        case MediaKind::mp3:
            return check_mp3(d);
        case MediaKind::ogg_vorbis:
        case MediaKind::ogg_opus:
            return check_ogg(d);
        case MediaKind::flac:
            return check_flac(d);
    }
}

class Media : public ::testing::TestWithParam<MediaKind> {};

TEST_P(Media, LaidOutAsItsContainerSays) {
    LK_REQUIRE_FFMPEG();
    const auto bytes = make_media(GetParam());
    ASSERT_GT(bytes.size(), 1000u);
    check_layout(GetParam(), bytes);

    // Same options give the same file; another variant gives another one.
    EXPECT_EQ(make_media(GetParam()), bytes);
    MediaOptions other;
    other.variant = 1;
    other.seconds = 1.5;
    const auto second = make_media(GetParam(), other);
    EXPECT_NE(second, bytes);
    check_layout(GetParam(), second);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Media, ::testing::ValuesIn(all_media_kinds()),
                         [](const auto& info) { return std::string(media_name(info.param)); });

TEST(MediaOptions, OutOfRangeIsRefused) {
    MediaOptions o;
    o.seconds = 0;
    EXPECT_THROW(make_media(MediaKind::wav, o), std::invalid_argument);
    o.seconds = 1;
    o.width = 8;
    EXPECT_THROW(make_media(MediaKind::mov, o), std::invalid_argument);
}

TEST(ToM2ts, PrefixesEveryPacketWithARisingStamp) {
    std::vector<std::uint8_t> ts(188 * 5, 0xAB);
    for (std::size_t p = 0; p < ts.size(); p += 188) ts[p] = 0x47;
    const auto m2ts = to_m2ts(ts);
    ASSERT_EQ(m2ts.size(), 192u * 5);
    check_m2ts(m2ts);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_TRUE(std::equal(ts.begin() + std::ptrdiff_t(188 * i),
                               ts.begin() + std::ptrdiff_t(188 * (i + 1)),
                               m2ts.begin() + std::ptrdiff_t(192 * i + 4)));
    EXPECT_GT(*be32(m2ts, 192 * 4) & 0x3FFFFFFF, *be32(m2ts, 0) & 0x3FFFFFFF);
    // The copy-permission bits stay clear.
    EXPECT_EQ(m2ts[192 * 4] & 0xC0, 0);
}

}  // namespace
}  // namespace lk::test
