// The generated pictures must be what a camera writes: EXIF first, a working
// thumbnail reachable through IFD1, and a main picture a decoder accepts.
#include "tools/jpeg_maker.hpp"

#include <gtest/gtest.h>

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <cmath>
#include <csetjmp>
#include <cstring>
#include <map>

#include "base/bytes.hpp"

namespace lk::tools {
namespace {

struct Decoded {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<std::uint8_t> rgb;
};

struct ErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
[[noreturn]] void on_error(j_common_ptr c) {
    std::longjmp(reinterpret_cast<ErrorJump*>(c->err)->jump, 1);
}
void quiet(j_common_ptr) {}

// No objects with destructors live across the setjmp.
bool decode_into(const std::uint8_t* data, std::size_t size, std::uint8_t* rgb,
                 std::size_t capacity, int* width, int* height) {
    jpeg_decompress_struct d;
    ErrorJump err;
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    err.pub.output_message = quiet;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data, static_cast<unsigned long>(size));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    *width = int(d.output_width);
    *height = int(d.output_height);
    const std::size_t stride = std::size_t(d.output_width) * 3;
    if (stride * d.output_height > capacity) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = rgb + d.output_scanline * stride;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

Decoded decode(Bytes jpeg, std::size_t max_pixels = 1 << 20) {
    Decoded r;
    r.rgb.resize(max_pixels * 3);
    r.ok = decode_into(jpeg.data(), jpeg.size(), r.rgb.data(), r.rgb.size(), &r.width, &r.height);
    r.rgb.resize(std::size_t(r.width) * std::size_t(r.height) * 3);
    return r;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    double se = 0;
    for (std::size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return 10 * std::log10(255.0 * 255.0 / (se / double(a.size())));
}

// The segments from SOI to SOS, by their lengths: marker -> offset of its FF.
std::vector<std::pair<std::uint8_t, std::size_t>> segments(Bytes f) {
    std::vector<std::pair<std::uint8_t, std::size_t>> out;
    std::size_t p = 2;
    while (p + 4 <= f.size() && f[p] == 0xFF) {
        out.emplace_back(f[p + 1], p);
        if (f[p + 1] == 0xDA) break;
        p += 2 + *be16(f, p + 2);
    }
    return out;
}

// A TIFF directory read back: tag -> (type, count, value or offset field).
struct Field {
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;  // the 4-byte field: inline value (SHORT: first) or offset
};
struct Tiff {
    Bytes t;
    bool be;
    std::uint16_t r16(std::size_t o) const { return *(be ? be16(t, o) : le16(t, o)); }
    std::uint32_t r32(std::size_t o) const { return *(be ? be32(t, o) : le32(t, o)); }
    std::map<std::uint16_t, Field> ifd(std::uint32_t at, std::uint32_t* next) const {
        std::map<std::uint16_t, Field> m;
        const std::uint16_t n = r16(at);
        for (std::uint16_t i = 0; i < n; ++i) {
            const std::size_t e = at + 2 + 12u * i;
            const std::uint16_t type = r16(e + 2);
            m[r16(e)] = {type, r32(e + 4), type == 3 ? r16(e + 8) : r32(e + 8)};
        }
        *next = r32(at + 2 + 12u * n);
        return m;
    }
    std::string ascii(const Field& f) const {
        // Every text used here is longer than 4 bytes, so it lies at an offset.
        EXPECT_EQ(f.type, 2);
        if (f.count <= 4 || !has(t, f.value, f.count)) {
            ADD_FAILURE() << "ASCII field of " << f.count << " bytes at " << f.value;
            return {};
        }
        return std::string(reinterpret_cast<const char*>(t.data() + f.value), f.count - 1);
    }
};

class CameraJpeg : public ::testing::TestWithParam<bool> {};

TEST_P(CameraJpeg, LaidOutLikeACameraFile) {
    JpegOptions o;
    o.width = 320;
    o.height = 240;
    o.seed = 7;
    o.big_endian = GetParam();
    o.make = "NIKON CORPORATION";
    o.model = "NIKON D70";
    o.date_time = "2005:04:03 10:20:30";
    JpegLayout layout;
    const std::vector<std::uint8_t> file = make_jpeg(o, &layout);
    ASSERT_GT(file.size(), 1000u);
    Bytes f(file);

    // SOI, then APP1 "Exif\0\0" first; no JFIF APP0 anywhere in the header.
    EXPECT_EQ(be32(f, 0), 0xFFD8FFE1u);
    EXPECT_EQ(std::memcmp(&file[6], "Exif\0\0", 6), 0);
    auto segs = segments(f);
    ASSERT_GE(segs.size(), 4u);
    EXPECT_EQ(segs.front().first, 0xE1);
    EXPECT_EQ(segs.back().first, 0xDA);
    for (auto [marker, at] : segs) EXPECT_NE(marker, 0xE0) << "APP0 at " << at;
    EXPECT_EQ(segs[1].second, layout.main_offset);
    EXPECT_EQ(be16(f, file.size() - 2), 0xFFD9);

    // TIFF structure.
    ASSERT_EQ(layout.tiff_offset, 12u);
    Tiff t{f.subspan(12, layout.main_offset - 12), o.big_endian};
    EXPECT_EQ(t.t[0], o.big_endian ? 'M' : 'I');
    EXPECT_EQ(t.r16(2), 42);
    std::uint32_t next0 = 0, next_exif = 0, next1 = 0;
    auto ifd0 = t.ifd(t.r32(4), &next0);
    EXPECT_EQ(t.ascii(ifd0.at(0x010F)), o.make);
    EXPECT_EQ(t.ascii(ifd0.at(0x0110)), o.model);
    EXPECT_EQ(t.ascii(ifd0.at(0x0132)), o.date_time);
    auto exif = t.ifd(ifd0.at(0x8769).value, &next_exif);
    EXPECT_EQ(t.ascii(exif.at(0x9003)), o.date_time);
    EXPECT_EQ(exif.at(0xA002).value, 320u);
    EXPECT_EQ(exif.at(0xA003).value, 240u);
    EXPECT_EQ(next_exif, 0u);
    ASSERT_NE(next0, 0u) << "IFD0 must link to IFD1";
    auto ifd1 = t.ifd(next0, &next1);
    EXPECT_EQ(next1, 0u);
    EXPECT_EQ(ifd1.at(0x0103).value, 6u);
    const std::uint32_t thumb_at = ifd1.at(0x0201).value, thumb_len = ifd1.at(0x0202).value;
    EXPECT_EQ(12 + thumb_at, layout.thumbnail_offset);
    EXPECT_EQ(thumb_len, layout.thumbnail_size);
    ASSERT_LE(std::size_t(thumb_at) + thumb_len, t.t.size());

    // The thumbnail is a complete JPEG of its own.
    Bytes thumb = t.t.subspan(thumb_at, thumb_len);
    EXPECT_EQ(be16(thumb, 0), 0xFFD8);
    EXPECT_EQ(be16(thumb, thumb.size() - 2), 0xFFD9);
    Decoded td = decode(thumb);
    ASSERT_TRUE(td.ok);
    EXPECT_EQ(td.width, 160);
    EXPECT_EQ(td.height, 120);

    // The main picture decodes to what was rendered.
    Decoded md = decode(f);
    ASSERT_TRUE(md.ok);
    EXPECT_EQ(md.width, 320);
    EXPECT_EQ(md.height, 240);
    EXPECT_GT(psnr(md.rgb, render_picture(320, 240, 7)), 30.0);
    // and the thumbnail shows the same scene.
    EXPECT_GT(psnr(td.rgb, render_picture(160, 120, 7)), 25.0);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, CameraJpeg, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "motorola" : "intel"; });

TEST(JpegMaker, JfifOnlyHasNoExif) {
    JpegOptions o;
    o.exif = false;
    JpegLayout layout;
    auto file = make_jpeg(o, &layout);
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(be32(file, 0), 0xFFD8FFE0u);
    EXPECT_EQ(std::memcmp(&file[6], "JFIF\0", 5), 0);
    for (auto [marker, at] : segments(file)) EXPECT_NE(marker, 0xE1) << "APP1 at " << at;
    EXPECT_EQ(layout.thumbnail_offset, 0u);
    EXPECT_TRUE(decode(file).ok);
}

TEST(JpegMaker, SeedDecidesThePicture) {
    JpegOptions o;
    o.seed = 1;
    auto a = make_jpeg(o), again = make_jpeg(o);
    o.seed = 2;
    auto b = make_jpeg(o);
    EXPECT_EQ(a, again);
    EXPECT_NE(a, b);
    // Different scenes, not the same scene with other grain.
    EXPECT_LT(psnr(render_picture(64, 48, 1), render_picture(64, 48, 2)), 15.0);
}

// A photograph at quality 85 takes well over a bit per pixel; a flat or
// striped drawing takes a fraction of that and would make carving too easy.
TEST(JpegMaker, CompressesLikeAPhoto) {
    JpegOptions o;
    o.width = 640;
    o.height = 480;
    o.quality = 85;
    for (std::uint32_t seed : {1u, 5u, 9u}) {
        o.seed = seed;
        auto file = make_jpeg(o);
        const double bpp = double(file.size()) * 8 / (640.0 * 480.0);
        EXPECT_GT(bpp, 1.0) << "seed " << seed;
        EXPECT_LT(bpp, 8.0) << "seed " << seed;
    }
}

TEST(JpegMaker, RejectsImpossibleOptions) {
    struct Case {
        int w, h, q, tw, th;
    } cases[] = {{0, 10, 85, 160, 120}, {10, 0, 85, 160, 120},   {70000, 10, 85, 160, 120},
                 {10, 10, 0, 160, 120}, {10, 10, 101, 160, 120}, {10, 10, 85, 0, 120}};
    for (const auto& c : cases) {
        JpegOptions o;
        o.width = c.w;
        o.height = c.h;
        o.quality = c.q;
        o.thumb_width = c.tw;
        o.thumb_height = c.th;
        EXPECT_TRUE(make_jpeg(o).empty()) << c.w << "x" << c.h << " q" << c.q << " thumb " << c.tw;
    }
    EXPECT_TRUE(encode_jfif(10, 10, 0, 1).empty());
}

// A thumbnail that cannot fit one segment at any quality gives no file rather
// than a broken length field.
TEST(JpegMaker, OversizedThumbnailIsRefused) {
    JpegOptions o;
    o.width = 64;
    o.height = 48;
    o.thumb_width = 2400;  // about 76 KB even at the lowest thumbnail quality
    o.thumb_height = 1800;
    EXPECT_TRUE(make_jpeg(o).empty());
    o.thumb_width = 320;  // fits after lowering the thumbnail's quality if need be
    o.thumb_height = 240;
    auto file = make_jpeg(o);
    ASSERT_FALSE(file.empty());
    // The APP1 length field leads to the main picture's segments.
    auto segs = segments(file);
    ASSERT_GE(segs.size(), 2u);
    EXPECT_EQ(segs.back().first, 0xDA);
    EXPECT_TRUE(decode(file).ok);
}

}  // namespace
}  // namespace lk::tools
