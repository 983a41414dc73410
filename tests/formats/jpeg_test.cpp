#include "formats/jpeg.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "formats/tiff.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

Buffer bytes(std::string_view s) {
    return Buffer(s.begin(), s.end());
}

Buffer operator+(Buffer a, const Buffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A marker segment: FF, code, the 16-bit length (counting itself), payload.
Buffer segment(std::uint8_t code, std::string_view payload) {
    const std::size_t n = payload.size() + 2;
    return Buffer{0xFF, code, std::uint8_t(n >> 8), std::uint8_t(n)} + bytes(payload);
}

const Buffer kSoi = {0xFF, 0xD8};
const Buffer kEoi = {0xFF, 0xD9};
const Buffer kApp0 = segment(0xE0, "JFIF\0\x01\x01\0\0\x01\0\x01\0\0"sv);
// A start-of-scan header, then entropy-coded data holding a stuffed FF 00 and
// a restart marker, as real scans do.
const Buffer kScan =
    segment(0xDA, "\x01\x01\x00\x00\x3F\x00"sv) + bytes("\x12\xFF\x00\x34\xFF\xD0\x56"sv);

TEST(JpegExtent, MarkerWalk) {
    struct Case {
        const char* what;
        Buffer data;
        std::int32_t extent;
    };
    const Buffer plain = kSoi + kApp0 + kScan + kEoi;
    const std::int32_t plain_size = std::int32_t(plain.size());
    const Case cases[] = {
        {"ends after EOI, later data ignored", plain + bytes("more data\xFF\xD9"), plain_size},
        {"EOI right after APP1 does not end it",
         kSoi + segment(0xE1, "Exif\0\0"sv) + kEoi + kScan + kEoi,
         std::int32_t(kSoi.size() + 10 + 2 + kScan.size() + 2)},
        {"EOI inside APP1 payload is skipped",
         kSoi + segment(0xE1, "Exif\0\0\xFF\xD8\xFF\xD9"sv) + kScan + kEoi,
         std::int32_t(kSoi.size() + 14 + kScan.size() + 2)},
        {"fill bytes before EOI", kSoi + kApp0 + kScan + bytes("\xFF\xFF\xFF\xD9"), plain_size + 2},
        {"odd run of fill bytes before EOI", kSoi + kApp0 + kScan + bytes("\xFF\xFF\xD9"),
         plain_size + 1},
        {"length field 0", kSoi + bytes("\xFF\xE0\x00\x00"sv) + kApp0 + kEoi, -1},
        {"length field 1", kSoi + bytes("\xFF\xE0\x00\x01"sv) + kApp0 + kEoi, 0},
        {"not a marker at the start", bytes("\x00\xD8\xFF\xD9"sv), -1},
        {"invalid marker code", kSoi + bytes("\xFF\x05\x00\x10"sv) + kEoi, 0},
        {"segment longer than the data", kSoi + bytes("\xFF\xE0\x01\x00JFIF"sv), 0},
        {"cut inside the scan", kSoi + kApp0 + kScan, 0},
        {"length cut by the end", kSoi + bytes("\xFF\xE0\x00"sv), 0},
        {"a lone 0xFF", bytes("\xFF"), 0},
        {"empty", Buffer(), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jpeg_extent(c.data), c.extent) << c.what;
        if (c.extent > 0) {
            const Bytes cut = Bytes(c.data).first(std::size_t(c.extent) - 1);
            EXPECT_EQ(jpeg_extent(cut), 0) << c.what << " (cut before its end)";
        }
        // The walk fed in pieces, cut anywhere (inside a length, between an
        // FF and what follows it), settles on the same result.
        for (std::size_t piece : {1, 2, 3, 5}) {
            JpegExtentWalk walk;
            for (std::size_t at = 0; at < c.data.size(); at += piece)
                walk.feed(Bytes(c.data).subspan(at, std::min(piece, c.data.size() - at)));
            EXPECT_EQ(walk.result(), c.extent) << c.what << " (pieces of " << piece << ")";
        }
        // Told beforehand where it stops in each piece (all of the stops, or
        // too few to be complete), the walk settles on the same result.
        for (std::size_t piece : {2, 7, 64}) {
            for (std::size_t listed : {0, 1, 16}) {
                JpegExtentWalk walk;
                for (std::size_t at = 0; at < c.data.size(); at += piece) {
                    const Bytes chunk = Bytes(c.data).subspan(at, std::min(piece, c.data.size() - at));
                    std::vector<std::uint32_t> leads, stops(listed);
                    const std::size_t n = find_pairs(chunk.data(), chunk.size(), {'%', 'P', '!'}, leads,
                                                     kJpegMarkerStop, stops.data(), listed);
                    walk.feed(chunk, {stops.data(), std::min(n, listed), n <= listed});
                }
                EXPECT_EQ(walk.result(), c.extent)
                    << c.what << " (pieces of " << piece << ", " << listed << " stops listed)";
            }
        }
        for (std::size_t cut = 0; cut <= c.data.size(); ++cut) {
            JpegExtentWalk walk;
            walk.feed(Bytes(c.data).first(cut));
            walk.feed(Bytes(c.data).subspan(cut));
            EXPECT_EQ(walk.result(), c.extent) << c.what << " (cut at " << cut << ")";
            // Once settled, the bytes that decided are enough.
            if (walk.settled()) {
                EXPECT_EQ(jpeg_extent(Bytes(c.data).first(walk.consumed())), c.extent) << c.what;
            }
        }
    }
}

// COMPLETE camera JPEGs (EXIF with a thumbnail, whose own EOI comes first)
// and the XMP-first ones.
const char* const kCompleteJpegs[] = {
    "canon_powershot_s50_exif_thumb.jpg",
    "extra/kodak_dc280_exif_thumb.jpg",
    "jpeg_xmp_app1_first_SYNTHETIC.jpg",
    "extra/jpeg_xmp_app1_first_SYNTHETIC.jpg",
};

TEST(JpegExtent, SampleFilesEndAtTheirOwnEoi) {
    LK_REQUIRE_TESTDATA();
    for (const char* file : kCompleteJpegs) {
        const Buffer data = test::read_file(test::testdata(file));
        ASSERT_GT(data.size(), 1000u) << file;
        const std::int32_t size = std::int32_t(data.size());
        EXPECT_EQ(jpeg_extent(data), size) << file;
        // The next file on the card follows: another JPEG.
        EXPECT_EQ(jpeg_extent(data + data), size) << file;
        // Cut short: the end is not within the data.
        EXPECT_EQ(jpeg_extent(Bytes(data).first(data.size() - 100)), 0) << file;
    }
    // The camera files carry an EXIF thumbnail whose EOI comes long before
    // the picture's own.
    const Buffer canon = test::read_file(test::testdata(kCompleteJpegs[0]));
    const Buffer eoi = {0xFF, 0xD9};
    auto first_eoi = std::search(canon.begin(), canon.end(), eoi.begin(), eoi.end());
    EXPECT_LT(first_eoi - canon.begin(), 6000);
}

// The first directory entry whose first eight bytes are `entry` (tag, type,
// count, in the file's byte order).
std::size_t find_entry(const Buffer& data, std::string_view text) {
    const Buffer entry = bytes(text);
    auto it = std::search(data.begin(), data.end(), entry.begin(), entry.end());
    return it == data.end() ? 0 : std::size_t(it - data.begin());
}

// The Canon file with an XMP APP1 put in front of its EXIF APP1.
Buffer with_xmp_first(const Buffer& jpeg) {
    return kSoi + segment(0xE1, "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>"sv) +
           Buffer(jpeg.begin() + 2, jpeg.end());
}

TEST(Exif, DateOfSampleFiles) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        const char* date;
    };
    const Case cases[] = {
        {"canon_powershot_s50_exif_thumb.jpg", "2021:09:23 11:11:53"},  // DateTime in IFD0
        {"extra/kodak_dc280_exif_thumb.jpg", "2021:03:11 19:04:58"},    // in the EXIF sub-IFD
        {"nikon_nef_stub.nef", "2005:08:25 13:09:05"},                  // TIFF data, read directly
        {"canon_cr2_stub.cr2", "2005:08:03 18:59:18"},
        {"jpeg_xmp_app1_first_SYNTHETIC.jpg", ""},
        {"extra/jpeg_xmp_app1_first_SYNTHETIC.jpg", ""},
        {"png_sample.png", ""},
    };
    for (const Case& c : cases) {
        const Buffer data = test::read_file(test::testdata(c.file));
        std::string date = "stale";
        EXPECT_EQ(read_exif_date(data, date), *c.date != 0) << c.file;
        EXPECT_EQ(date, c.date) << c.file;
    }
    // Only the first APP1 is looked at: an EXIF block behind XMP is not seen.
    const Buffer canon = test::read_file(test::testdata("canon_powershot_s50_exif_thumb.jpg"));
    std::string date;
    EXPECT_FALSE(read_exif_date(with_xmp_first(canon), date));
    EXPECT_EQ(date, "");
    EXPECT_EQ(find_exif(with_xmp_first(canon), [](Bytes) { return 7; }), 0);
    EXPECT_EQ(find_exif(canon, [](Bytes tiff) { return tiff[0] == 'I' ? 7 : 1; }), 7);
}

TEST(Exif, SanityOfResolutionAndPixelSize) {
    LK_REQUIRE_TESTDATA();
    const Buffer canon = test::read_file(test::testdata("canon_powershot_s50_exif_thumb.jpg"));
    // Canon entries (little-endian): PixelXDimension, SHORT, 1 value in the
    // entry; XResolution, RATIONAL, 1 value at an offset.
    const std::size_t pixel_x = find_entry(canon, "\x02\xA0\x03\x00\x01\x00\x00\x00"sv);
    const std::size_t x_res = find_entry(canon, "\x1A\x01\x05\x00\x01\x00\x00\x00"sv);
    ASSERT_NE(pixel_x, 0u);
    ASSERT_NE(x_res, 0u);

    EXPECT_TRUE(exif_is_sane(canon));
    EXPECT_TRUE(exif_is_sane(with_xmp_first(canon))) << "no EXIF seen: sane";

    Buffer wide = canon;  // 12,000 pixels wide
    wide[pixel_x + 8] = 0xE0;
    wide[pixel_x + 9] = 0x2E;
    EXPECT_FALSE(exif_is_sane(wide));

    Buffer limit = canon;  // exactly 10,000 is still plausible
    limit[pixel_x + 8] = 0x10;
    limit[pixel_x + 9] = 0x27;
    EXPECT_TRUE(exif_is_sane(limit));

    Buffer three = canon;  // three resolution values
    three[x_res + 4] = 3;
    EXPECT_FALSE(exif_is_sane(three));

    Buffer broken = canon;  // XResolution's value past the data: the walk fails
    broken[x_res + 11] = 0x7F;
    EXPECT_FALSE(exif_is_sane(broken));
}

// JPEGInterchangeFormat (0x0201) lives in IFD1, the thumbnail's directory:
// a walk reaches it only through IFD0's link.
std::size_t thumbnail_offset_delivered(const Buffer& jpeg) {
    std::uint8_t value[4];
    TagRequest request[] = {{0x0201, value, sizeof value}};
    EXPECT_TRUE(read_tiff_tags(Bytes(jpeg).subspan(12), request, 1, 1));
    return request[0].delivered;
}

TEST(Exif, UnlinkThumbnail) {
    LK_REQUIRE_TESTDATA();
    for (const char* file :
         {"canon_powershot_s50_exif_thumb.jpg", "extra/kodak_dc280_exif_thumb.jpg"}) {
        Buffer data = test::read_file(test::testdata(file));
        ASSERT_EQ(thumbnail_offset_delivered(data), 4u) << file;
        const Buffer before = data;
        EXPECT_TRUE(unlink_exif_thumbnail(data)) << file;
        EXPECT_EQ(thumbnail_offset_delivered(data), 0u) << file;
        // Only the four link bytes changed, to zero.
        std::size_t first = data.size(), last = 0;
        for (std::size_t i = 0; i < data.size(); ++i)
            if (data[i] != before[i]) first = std::min(first, i), last = i;
        ASSERT_LT(first, data.size()) << file;
        EXPECT_LT(last - first, 4u) << file;
        EXPECT_EQ(data[first], 0) << file;
        EXPECT_EQ(data[last], 0) << file;
    }

    // The Canon link lies at TIFF offset 8 + 2 + 12 x 9 = 118, the TIFF data
    // at file offset 12: the buffer must hold the link's four bytes.
    const Buffer canon = test::read_file(test::testdata("canon_powershot_s50_exif_thumb.jpg"));
    Buffer short_one(canon.begin(), canon.begin() + 12 + 118 + 3);
    Buffer long_enough(canon.begin(), canon.begin() + 12 + 118 + 4);
    const Buffer untouched = short_one;
    EXPECT_FALSE(unlink_exif_thumbnail(short_one));
    EXPECT_EQ(short_one, untouched);
    EXPECT_TRUE(unlink_exif_thumbnail(long_enough));

    for (const char* file : {"jpeg_xmp_app1_first_SYNTHETIC.jpg", "png_sample.png"}) {
        Buffer other = test::read_file(test::testdata(file));
        const Buffer copy = other;
        EXPECT_FALSE(unlink_exif_thumbnail(other)) << file;
        EXPECT_EQ(other, copy) << file;
    }
    Buffer jfif = kSoi + kApp0 + segment(0xE1, "Exif\0\0II*\0\x08\0\0\0\0\0\0\0\0\0"sv) + kEoi;
    EXPECT_FALSE(unlink_exif_thumbnail(jfif)) << "JFIF first";
}

}  // namespace
}  // namespace lk
