// End rules of pictures: PNG, BMP, GIF, PSD, TIFF and TIFF-based raw files,
// HEIF, AVIF and CR3.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "formats/identify.hpp"
#include "formats/pictures.hpp"
#include "formats/tiff.hpp"
#include "tests/support/testdata.hpp"
#include "tests/support/tool_files.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

Buffer with_tail(Buffer b, std::size_t n, std::uint8_t fill = 0) {
    b.resize(b.size() + n, fill);
    return b;
}

// Pictures written by ImageMagick and heif-enc, each measured exactly by its
// rule and by the dispatch, also with bytes after it, and 0 when cut.
class Pictures : public ::testing::TestWithParam<test::ToolFile> {};

TEST_P(Pictures, MeasuredExactly) {
    LK_REQUIRE_TOOL_FILE(GetParam());
    const Buffer file = test::make_tool_file(GetParam());
    const std::int32_t size = std::int32_t(file.size());
    const TypeTag tag = test::tool_file_info(GetParam()).tag;
    // HEIF and AVIF are found as QuickTime; their brand names them.
    const bool heif = tag == "HEI" || tag == "AVF";
    EXPECT_EQ(identify_header(file), heif ? "MOV" : tag);
    if (heif) {
        const std::uint8_t brand[4] = {file[8], file[9], file[10], file[11]};
        EXPECT_EQ(isobmff_image_brand(brand), tag);
    }
    EXPECT_EQ(content_extent(file), size);
    EXPECT_EQ(content_extent(with_tail(file, 3000, 0x00)), size);
    EXPECT_EQ(content_extent(with_tail(file, 3000, 0xFF)), size);
    EXPECT_EQ(content_extent(Bytes(file).first(file.size() - 1)), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Pictures,
    ::testing::Values(test::ToolFile::png, test::ToolFile::gif87a, test::ToolFile::gif89a,
                      test::ToolFile::bmp, test::ToolFile::psd, test::ToolFile::psd_raw,
                      test::ToolFile::tiff, test::ToolFile::heic, test::ToolFile::avif),
    [](const auto& info) { return std::string(test::tool_file_info(info.param).name); });

TEST(PictureExtents, SampleFilesEndExactly) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::int32_t (*rule)(Bytes);
        std::size_t trailer = 0;  // bytes after the structure that are not the picture's
    };
    const Case cases[] = {
        {"png_sample.png", png_extent},
        {"extra/png_sample.png", png_extent},
        {"bmp_sample.bmp", bmp_extent},
        {"extra/bmp_camera_sample.bmp", bmp_extent},
        {"gif89a_camera_sample.gif", gif_extent},
        {"extra/gif89a_camera_sample.gif", gif_extent},
        {"photoshop_sample.psd", psd_extent},
        {"extra/photoshop_sample.psd", psd_extent},
        {"kodak_kdc_dc120.kdc", tiff_extent},
        {"extra/kodak_kdc_dc50.kdc", tiff_extent},
        {"nikon_nef_stub.nef", tiff_extent},
        {"extra/nikon_nef_stub.nef", tiff_extent},
        {"extra/canon_cr2_stub.cr2", tiff_extent},
        {"canon_cr2_stub.cr2", tiff_extent, 18},  // a deliberate non-TIFF trailer
        {"sony_arw_stub.arw", tiff_extent},
        {"adobe_dng_stub.dng", tiff_extent},
        {"pentax_pef_stub.pef", tiff_extent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Buffer data = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(c.rule(data), std::int32_t(data.size() - c.trailer));
        EXPECT_EQ(content_extent(with_tail(data, 4096)), std::int32_t(data.size() - c.trailer));
    }
    // Stubs whose directories point past their bytes.
    for (const char* f :
         {"extra/sony_arw_truncated.arw", "extra/adobe_dng_truncated.dng", "panasonic_rw2_stub.rw2",
          "extra/panasonic_rw2_stub.rw2", "olympus_orf_stub.orf"})
        EXPECT_EQ(tiff_extent(test::read_file(test::testdata(f))), 0) << f;
}

TEST(PngExtent, OnlyAWellFormedChunkSequenceEnds) {
    // Signature, IHDR, IDAT, IEND.
    auto png = [](std::string_view first = "IHDR", std::string_view second = "IDAT") {
        Buffer b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        auto chunk = [&](std::string_view type, std::uint32_t n) {
            for (int i = 3; i >= 0; --i) b.push_back(std::uint8_t(n >> (8 * i)));
            b.insert(b.end(), type.begin(), type.end());
            b.insert(b.end(), n + 4, 0x11);
        };
        chunk(first, 13);
        chunk(second, 100);
        chunk("IEND", 0);
        std::memcpy(b.data() + b.size() - 4, "\xAE\x42\x60\x82", 4);
        return b;
    };
    const Buffer good = png();
    EXPECT_EQ(png_extent(with_tail(good, 100)), std::int32_t(good.size()));
    Buffer bad_crc = good;
    bad_crc.back() ^= 1;
    EXPECT_EQ(png_extent(bad_crc), -1) << "IEND with a wrong CRC";
    EXPECT_EQ(png_extent(png("IHDR", "ID4T")), -1) << "a chunk type with a digit";
    EXPECT_EQ(png_extent(png("IDAT", "IHDR")), -1) << "IHDR not first";
    EXPECT_EQ(png_extent(Bytes(good).first(good.size() - 1)), 0);
}

// A BITMAPINFOHEADER picture: size field, pixel offset, dimensions, bits.
Buffer bmp(std::uint32_t size_field, std::uint32_t width, std::int32_t height, std::uint16_t bits,
           std::uint32_t compression, std::size_t length) {
    Buffer b(length, 0x40);
    b[0] = 'B', b[1] = 'M';
    store_le32(b.data() + 2, size_field);
    store_le32(b.data() + 6, 0);
    store_le32(b.data() + 10, 54);
    store_le32(b.data() + 14, 40);
    store_le32(b.data() + 18, width);
    store_le32(b.data() + 22, std::uint32_t(height));
    store_le16(b.data() + 26, 1);
    store_le16(b.data() + 28, bits);
    store_le32(b.data() + 30, compression);
    return b;
}

TEST(BmpExtent, PixelsOrTheSizeFieldWhicheverIsLarger) {
    struct Case {
        const char* what;
        Buffer data;
        std::int32_t extent;
    };
    const Case cases[] = {
        // 100 x 75 x 24 bits: rows of 300 bytes, 22,500 of pixels after 54.
        {"size field too small for the pixels", bmp(100, 100, 75, 24, 0, 30000), 22554},
        {"size field covering a profile after the pixels", bmp(23000, 100, 75, 24, 0, 30000),
         23000},
        {"top-down rows", bmp(22554, 100, -75, 24, 0, 30000), 22554},
        {"rows padded to four bytes", bmp(0, 3, 2, 24, 0, 1000), 54 + 2 * 12},
        {"bit fields", bmp(0, 10, 10, 32, 3, 1000), 454},
        {"RLE8 within the data", bmp(5000, 100, 75, 8, 1, 6000), 5000},
        {"RLE8 with a size field beyond the data", bmp(50000, 100, 75, 8, 1, 6000), 0},
        {"pixels past the data", bmp(0, 100, 75, 24, 0, 20000), 0},
        {"12 bits per pixel", bmp(22554, 100, 75, 12, 0, 30000), -1},
        // A file cannot end inside its own headers: such fields are wrong.
        {"RLE8 with a size field of 1", bmp(1, 100, 75, 8, 1, 6000), 0},
        {"no pixels, size field and pixel offset inside the headers",
         [] {
             Buffer b = bmp(20, 0, 0, 24, 0, 6000);
             store_le32(b.data() + 10, 20);
             return b;
         }(),
         0},
    };
    for (const Case& c : cases) EXPECT_EQ(bmp_extent(c.data), c.extent) << c.what;

    // The OS/2 core header: 16-bit dimensions and bit count.
    Buffer core(600, 0);
    core[0] = 'B', core[1] = 'M';
    store_le32(core.data() + 10, 26);
    store_le32(core.data() + 14, 12);
    store_le16(core.data() + 18, 10);
    store_le16(core.data() + 20, 10);
    store_le16(core.data() + 24, 8);
    EXPECT_EQ(bmp_extent(core), 26 + 10 * 12);

    LK_REQUIRE_TOOL_FILE(test::ToolFile::bmp_rle8);
    const Buffer rle = test::make_tool_file(test::ToolFile::bmp_rle8);
    EXPECT_EQ(bmp_extent(with_tail(rle, 500)), std::int32_t(rle.size()));
}

TEST(GifExtent, BlocksUpToTheTrailer) {
    // A 2 x 2 picture: header, global table of two colours, an extension, an
    // image, the trailer.
    const Buffer gif = {'G',  'I',  'F',  '8',  '9', 'a', 2, 0, 2, 0,
                        0x80, 0,    0,                                 // screen, table of 2
                        0,    0,    0,    255,  255, 255,              // colours
                        0x21, 0xF9, 4,    0,    0,   0,   0, 0,        // graphic control
                        0x2C, 0,    0,    0,    0,   2,   0, 2, 0, 0,  // image descriptor
                        2,    2,    0x44, 0x01, 0,                     // LZW data
                        0x3B};
    EXPECT_EQ(gif_extent(with_tail(gif, 50, 0x3B)), std::int32_t(gif.size()));
    EXPECT_TRUE(is_wide_gif_header(with_tail(gif, 50)));
    Buffer junk = gif;
    junk[19] = 0x00;  // where the extension block must start
    EXPECT_EQ(gif_extent(junk), -1);
    EXPECT_EQ(gif_extent(Bytes(gif).first(gif.size() - 1)), 0);
    Buffer local = gif;  // a local colour table of two colours in the image
    local[36] = 0x80;
    local.insert(local.begin() + 37, 6, 0x22);
    EXPECT_EQ(gif_extent(local), std::int32_t(local.size()));
}

TEST(PsdExtent, CompositeLengthByItsCompression) {
    LK_REQUIRE_TOOL_FILE(test::ToolFile::psd_raw);
    const Buffer raw = test::make_tool_file(test::ToolFile::psd_raw);
    // The compression field after the three sections.
    std::size_t p = 26;
    for (int i = 0; i < 3; ++i) p += 4 + load_be32(raw.data() + p);
    ASSERT_EQ(load_be16(raw.data() + p), 0) << "not a raw composite";
    EXPECT_EQ(psd_extent(with_tail(raw, 100)), std::int32_t(raw.size()));
    Buffer zip = raw;
    zip[p + 1] = 2;  // ZIP: no length to compute
    EXPECT_EQ(psd_extent(zip), 0);
    zip[p + 1] = 5;
    EXPECT_EQ(psd_extent(zip), -1);
    Buffer depth = raw;
    depth[23] = 12;
    EXPECT_EQ(psd_extent(depth), -1);
}

// A little-endian TIFF built entry by entry: one directory at offset 8.
struct Tiff {
    Buffer b = Buffer(8, 0);
    std::vector<std::array<std::uint32_t, 4>> entries;  // tag, type, count, value
    std::uint32_t next = 0;
    explicit Tiff(std::uint16_t magic = 42) {
        b[0] = b[1] = 'I';
        store_le16(b.data() + 2, magic);
        store_le32(b.data() + 4, 8);
    }
    Tiff& add(std::uint32_t tag, std::uint32_t type, std::uint32_t count, std::uint32_t value) {
        entries.push_back({tag, type, count, value});
        return *this;
    }
    // The bytes, padded to length.
    Buffer build(std::size_t length) const {
        Buffer out = b;
        auto put16 = [&](std::uint32_t v) {
            out.push_back(std::uint8_t(v)), out.push_back(std::uint8_t(v >> 8));
        };
        auto put32 = [&](std::uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
        put16(std::uint32_t(entries.size()));
        for (const auto& e : entries) put16(e[0]), put16(e[1]), put32(e[2]), put32(e[3]);
        put32(next);
        out.resize(std::max(length, out.size()), 0x33);
        return out;
    }
};

TEST(TiffExtent, LargestEndOfDirectoriesValuesAndData) {
    const std::size_t dir_end = 8 + 2 + 12 * 2 + 4;  // two entries
    struct Case {
        const char* what;
        Buffer data;
        std::int32_t extent;
    };
    Tiff arrays;  // three strips: offsets (LONG) at 100, counts (SHORT) at 120
    arrays.add(0x0111, 4, 3, 100).add(0x0117, 3, 3, 120);
    Buffer arrays_data = arrays.build(1000);
    for (int i = 0; i < 3; ++i) {
        store_le32(arrays_data.data() + 100 + 4 * i, 200 + 100 * std::uint32_t(i));
        store_le16(arrays_data.data() + 120 + 2 * i, 50);
    }
    Tiff loop;  // the next directory is the directory itself
    loop.add(0x0100, 3, 1, 64).add(0x0101, 3, 1, 48);
    loop.next = 8;
    Tiff exif;  // an EXIF directory at 60 whose value runs past the data
    exif.add(0x8769, 4, 1, 60).add(0x0100, 3, 1, 64);
    Buffer exif_data = exif.build(300);
    store_le16(exif_data.data() + 60, 1);
    const std::uint8_t maker[] = {0x7C, 0x92, 7,    0, 0x00, 0x10,
                                  0,    0,    0x20, 0, 0,    0};  // 4,096 bytes at 32
    std::memcpy(exif_data.data() + 62, maker, 12);
    store_le32(exif_data.data() + 74, 0);
    Tiff panasonic(85);  // strips at FFFFFFFF: the raw data is at RawDataOffset
    panasonic.add(0x0111, 4, 1, 0xFFFFFFFF).add(0x0117, 4, 1, 300).add(0x0118, 4, 1, 200);
    const Case cases[] = {
        {"one strip", Tiff().add(0x0111, 4, 1, 100).add(0x0117, 4, 1, 50).build(1000), 150},
        {"strip offset past the data",
         Tiff().add(0x0111, 4, 1, 100).add(0x0117, 4, 1, 950).build(1000), 0},
        {"strip arrays, element by element", arrays_data, 450},
        {"a value stored after the directory",
         Tiff().add(0x010F, 2, 40, 300).add(0x0110, 2, 2, 0).build(1000), 340},
        {"a JPEG preview", Tiff().add(0x0201, 4, 1, 500).add(0x0202, 4, 1, 400).build(1000), 900},
        {"a directory that loops", loop.build(100), std::int32_t(dir_end)},
        {"an EXIF value past the data", exif_data, 0},
        {"Panasonic raw data", panasonic.build(1000), 500},
        {"not a TIFF", Buffer(100, 'I'), -1},
    };
    for (const Case& c : cases) EXPECT_EQ(tiff_extent(c.data), c.extent) << c.what;
}

// An ISO base media file from boxes of the given types and payload sizes.
Buffer boxes(std::string_view brand,
             std::initializer_list<std::pair<std::string_view, std::uint32_t>> list) {
    Buffer b = {0, 0, 0, 16, 'f', 't', 'y', 'p'};
    b.insert(b.end(), brand.begin(), brand.end());
    b.insert(b.end(), 4, 0);
    for (const auto& [type, payload] : list) {
        const std::uint32_t n = 8 + payload;
        b.insert(b.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                           std::uint8_t(n)});
        b.insert(b.end(), type.begin(), type.end());
        b.insert(b.end(), payload, 0x5A);
    }
    return b;
}

TEST(IsobmffImageExtent, StillImagesEndWithTheirLastBox) {
    struct Case {
        const char* what;
        Buffer data;
        std::int32_t extent;
    };
    const Buffer cr3 = boxes("crx ", {{"moov", 400}, {"uuid", 120}, {"mdat", 3000}});
    const Buffer heic = boxes("heic", {{"meta", 300}, {"mdat", 2000}});
    const Case cases[] = {
        {"CR3: ftyp moov uuid mdat", with_tail(cr3, 500, 0xEE), std::int32_t(cr3.size())},
        {"HEIC: ftyp meta mdat", with_tail(heic, 500), std::int32_t(heic.size())},
        {"HEIC with free space after", boxes("mif1", {{"meta", 30}, {"mdat", 20}, {"free", 10}}),
         16 + 38 + 28 + 18},
        {"HEIC without meta", boxes("heic", {{"mdat", 2000}}), -1},
        {"CR3 without moov", boxes("crx ", {{"uuid", 100}, {"mdat", 2000}}), -1},
        {"movie brand", boxes("mp42", {{"moov", 100}, {"mdat", 2000}}), -1},
        {"a box past the data", Buffer(heic.begin(), heic.end() - 1), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(isobmff_image_extent(c.data), c.extent) << c.what;

    // Media data "to the end of the file" (size 0) cannot be measured: the
    // walk ends before it, without the media data.
    Buffer open_ended = boxes("avif", {{"meta", 30}});
    const std::uint8_t to_end[] = {0, 0, 0, 0, 'm', 'd', 'a', 't'};
    open_ended.insert(open_ended.end(), std::begin(to_end), std::end(to_end));
    open_ended.insert(open_ended.end(), 500, 0x77);
    EXPECT_EQ(isobmff_image_extent(open_ended), -1);

    // A 64-bit box size.
    Buffer wide = boxes("avif", {{"meta", 40}});
    const std::uint8_t mdat[] = {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 116};
    wide.insert(wide.end(), std::begin(mdat), std::end(mdat));
    wide.insert(wide.end(), 100, 0x77);
    EXPECT_EQ(isobmff_image_extent(with_tail(wide, 64)), std::int32_t(wide.size()));
}

}  // namespace
}  // namespace lk
