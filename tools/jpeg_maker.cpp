#include "tools/jpeg_maker.hpp"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <random>

namespace lk::tools {

namespace {

constexpr int kMaxSide = 65500;                        // libjpeg's own limit
constexpr std::uint64_t kMaxPixels = 64ull << 20;      // keeps the RGB buffer sane
constexpr std::size_t kMaxSegmentPayload = 65535 - 2;  // a length field counts itself

// libjpeg reports errors through error_exit; jumping back out of the encoder is
// the library's documented way to survive one.
struct ErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void on_error(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}
void no_output(j_common_ptr) {}

struct MallocFree {
    void operator()(unsigned char* p) const { std::free(p); }
};

// Kept free of objects with destructors: a longjmp out of libjpeg must not skip
// any. *out is malloc'ed by libjpeg and owned by the caller whatever happens.
bool encode_rgb(const std::uint8_t* rgb, int width, int height, int quality, bool jfif,
                unsigned char** out, unsigned long* size) {
    jpeg_compress_struct c;
    ErrorJump err;
    c.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = on_error;
    err.pub.output_message = no_output;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&c);
        return false;
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, out, size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.write_JFIF_header = jfif ? TRUE : FALSE;
    jpeg_start_compress(&c, TRUE);
    const std::size_t stride = std::size_t(width) * 3;
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    return true;
}

bool valid_size(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           std::uint64_t(width) * std::uint64_t(height) <= kMaxPixels;
}

std::vector<std::uint8_t> encode_pixels(const std::vector<std::uint8_t>& rgb, int width, int height,
                                        int quality, bool jfif) {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    bool ok = encode_rgb(rgb.data(), width, height, quality, jfif, &buffer, &size);
    std::unique_ptr<unsigned char, MallocFree> owner(buffer);
    if (!ok || !buffer) return {};
    return {buffer, buffer + size};
}

std::vector<std::uint8_t> encode(int width, int height, int quality, std::uint32_t seed,
                                 bool jfif) {
    if (!valid_size(width, height) || quality < 1 || quality > 100) return {};
    return encode_pixels(render_picture(width, height, seed), width, height, quality, jfif);
}

// A TIFF directory under construction: values are kept already in the file's
// byte order; those longer than 4 bytes go right after the directory.
class Ifd {
  public:
    explicit Ifd(bool big_endian) : be_(big_endian) {}

    void ascii(std::uint16_t tag, const std::string& text) {
        std::vector<std::uint8_t> v(text.begin(), text.end());
        v.push_back(0);
        const auto count = std::uint32_t(v.size());
        add(tag, 2, count, std::move(v));
    }
    void undefined(std::uint16_t tag, std::string_view bytes) {
        add(tag, 7, std::uint32_t(bytes.size()), {bytes.begin(), bytes.end()});
    }
    void short_value(std::uint16_t tag, std::uint16_t value) {
        std::vector<std::uint8_t> v(2);
        put16(v.data(), value);
        add(tag, 3, 1, std::move(v));
    }
    void long_value(std::uint16_t tag, std::uint32_t value) {
        std::vector<std::uint8_t> v(4);
        put32(v.data(), value);
        add(tag, 4, 1, std::move(v));
    }
    void rational(std::uint16_t tag, std::uint32_t num, std::uint32_t den) {
        std::vector<std::uint8_t> v(8);
        put32(v.data(), num);
        put32(v.data() + 4, den);
        add(tag, 5, 1, std::move(v));
    }
    // Changes a LONG value set before (offsets known only once sizes are).
    void set_long(std::uint16_t tag, std::uint32_t value) {
        for (auto& e : entries_)
            if (e.tag == tag) put32(e.value.data(), value);
    }

    std::size_t size() const {
        std::size_t n = 2 + 12 * entries_.size() + 4;
        for (const auto& e : entries_)
            if (e.value.size() > 4) n += (e.value.size() + 1) & ~std::size_t(1);
        return n;
    }

    // Writes the directory at offset at (from the TIFF start) into tiff.
    void write(std::vector<std::uint8_t>& tiff, std::size_t at, std::uint32_t next) const {
        std::uint8_t* p = tiff.data() + at;
        put16(p, std::uint16_t(entries_.size()));
        std::size_t data = at + 2 + 12 * entries_.size() + 4;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            std::uint8_t* ep = p + 2 + 12 * i;
            put16(ep, e.tag);
            put16(ep + 2, e.type);
            put32(ep + 4, e.count);
            if (e.value.size() <= 4) {
                std::copy(e.value.begin(), e.value.end(), ep + 8);
            } else {
                put32(ep + 8, std::uint32_t(data));
                std::copy(e.value.begin(), e.value.end(), tiff.data() + data);
                data += (e.value.size() + 1) & ~std::size_t(1);
            }
        }
        put32(p + 2 + 12 * entries_.size(), next);
    }

    void put16(std::uint8_t* p, std::uint16_t v) const {
        p[be_ ? 0 : 1] = std::uint8_t(v >> 8);
        p[be_ ? 1 : 0] = std::uint8_t(v);
    }
    void put32(std::uint8_t* p, std::uint32_t v) const {
        for (int i = 0; i < 4; ++i) p[be_ ? 3 - i : i] = std::uint8_t(v >> (8 * i));
    }

  private:
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> value;
    };
    // Readers expect entries in ascending tag order; callers add them so.
    void add(std::uint16_t tag, std::uint16_t type, std::uint32_t count,
             std::vector<std::uint8_t> value) {
        entries_.push_back({tag, type, count, std::move(value)});
    }

    bool be_;
    std::vector<Entry> entries_;
};

// The TIFF structure of the EXIF block (from the byte-order mark on), and
// where the thumbnail starts inside it.
std::vector<std::uint8_t> build_tiff(const JpegOptions& o, const std::vector<std::uint8_t>& thumb,
                                     std::size_t& thumb_at) {
    const bool be = o.big_endian;
    Ifd ifd0(be), exif(be), ifd1(be);
    ifd0.ascii(0x010F, o.make);
    ifd0.ascii(0x0110, o.model);
    ifd0.rational(0x011A, 180, 1);  // XResolution
    ifd0.rational(0x011B, 180, 1);  // YResolution
    ifd0.short_value(0x0128, 2);    // ResolutionUnit: inches
    ifd0.ascii(0x0132, o.date_time);
    ifd0.long_value(0x8769, 0);  // Exif IFD pointer, set below

    exif.undefined(0x9000, "0230");  // ExifVersion
    exif.ascii(0x9003, o.date_time);
    exif.long_value(0xA002, std::uint32_t(o.width));
    exif.long_value(0xA003, std::uint32_t(o.height));

    ifd1.short_value(0x0103, 6);  // Compression: JPEG thumbnail
    ifd1.long_value(0x0201, 0);   // JPEGInterchangeFormat, set below
    ifd1.long_value(0x0202, std::uint32_t(thumb.size()));

    const std::size_t at0 = 8;
    const std::size_t at_exif = at0 + ifd0.size();
    const std::size_t at1 = at_exif + exif.size();
    thumb_at = at1 + ifd1.size();
    ifd0.set_long(0x8769, std::uint32_t(at_exif));
    ifd1.set_long(0x0201, std::uint32_t(thumb_at));

    std::vector<std::uint8_t> tiff(thumb_at + thumb.size(), 0);
    tiff[0] = tiff[1] = be ? 'M' : 'I';
    ifd0.put16(tiff.data() + 2, 42);
    ifd0.put32(tiff.data() + 4, std::uint32_t(at0));
    ifd0.write(tiff, at0, std::uint32_t(at1));
    exif.write(tiff, at_exif, 0);
    ifd1.write(tiff, at1, 0);
    std::copy(thumb.begin(), thumb.end(), tiff.begin() + std::ptrdiff_t(thumb_at));
    return tiff;
}

}  // namespace

std::vector<std::uint8_t> render_picture(int width, int height, std::uint32_t seed) {
    if (!valid_size(width, height)) return {};
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> freq(0.6, 4.0), phase(0.0, 2 * std::numbers::pi);
    std::uniform_real_distribution<double> where(0.0, 1.0);
    // Per channel: two waves across the frame and a soft blob; measured in
    // fractions of the frame so a thumbnail shows the same picture.
    struct Channel {
        double fx, fy, p1, gx, gy, p2, cx, cy;
    } ch[3];
    for (auto& c : ch)
        c = {freq(rng), freq(rng),  phase(rng), freq(rng),
             freq(rng), phase(rng), where(rng), where(rng)};
    const std::uint32_t grain_key = seed * 0x9E3779B9u + 0x7F4A7C15u;

    std::vector<std::uint8_t> rgb(std::size_t(width) * std::size_t(height) * 3);
    std::size_t i = 0;
    for (int y = 0; y < height; ++y) {
        const double v = double(y) / height;
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            // A little sensor-like grain so the picture does not compress like a drawing.
            std::uint32_t h =
                (std::uint32_t(x) * 73856093u) ^ (std::uint32_t(y) * 19349663u) ^ grain_key;
            h ^= h >> 13;
            h *= 0x5BD1E995u;
            h ^= h >> 15;
            const double grain = double(h & 0x0F) - 7.5;
            for (const auto& c : ch) {
                const double d = (u - c.cx) * (u - c.cx) + (v - c.cy) * (v - c.cy);
                double value = 128 +
                               55 * std::sin(2 * std::numbers::pi * (c.fx * u + c.fy * v) + c.p1) +
                               30 * std::cos(2 * std::numbers::pi * (c.gx * u - c.gy * v) + c.p2) +
                               40 * std::exp(-d * 12) + grain;
                rgb[i++] = std::uint8_t(std::clamp(value, 0.0, 255.0));
            }
        }
    }
    return rgb;
}

std::vector<std::uint8_t> encode_jfif(int width, int height, int quality, std::uint32_t seed) {
    return encode(width, height, quality, seed, true);
}

std::vector<std::uint8_t> make_jpeg(const JpegOptions& o, JpegLayout* layout) {
    if (layout) *layout = {};
    if (!o.exif) return encode(o.width, o.height, o.quality, o.seed, true);
    if (!valid_size(o.thumb_width, o.thumb_height)) return {};

    std::vector<std::uint8_t> main = encode(o.width, o.height, o.quality, o.seed, false);
    if (main.size() < 4) return {};

    // The whole EXIF block must fit one segment: lower the thumbnail's quality
    // until it does, as cameras do for busy scenes.
    std::vector<std::uint8_t> tiff;
    std::size_t thumb_at = 0, thumb_size = 0;
    const auto thumb_rgb = render_picture(o.thumb_width, o.thumb_height, o.seed);
    for (int q = 75; q >= 15; q -= 10) {
        auto thumb = encode_pixels(thumb_rgb, o.thumb_width, o.thumb_height, q, false);
        if (thumb.empty()) return {};
        tiff = build_tiff(o, thumb, thumb_at);
        thumb_size = thumb.size();
        if (6 + tiff.size() <= kMaxSegmentPayload) break;
        tiff.clear();
    }
    if (tiff.empty()) return {};

    const std::size_t seg_len = 2 + 6 + tiff.size();
    std::vector<std::uint8_t> out;
    out.reserve(main.size() + seg_len + 2);
    out.insert(out.end(),
               {0xFF, 0xD8, 0xFF, 0xE1, std::uint8_t(seg_len >> 8), std::uint8_t(seg_len)});
    out.insert(out.end(), {'E', 'x', 'i', 'f', 0, 0});
    out.insert(out.end(), tiff.begin(), tiff.end());
    // libjpeg's file without its FF D8: DQT, SOF, DHT, SOS ... FF D9.
    out.insert(out.end(), main.begin() + 2, main.end());

    if (layout) {
        layout->app1_offset = 2;
        layout->tiff_offset = 12;
        layout->thumbnail_offset = 12 + thumb_at;
        layout->thumbnail_size = thumb_size;
        layout->main_offset = 4 + seg_len;
    }
    return out;
}

}  // namespace lk::tools
