// GIF extent: the logical screen, then blocks up to the trailer 3B.
//
//   offset | size | meaning
//   0      | 6    | "GIF87a" or "GIF89a"
//   6, 8   | 2, 2 | screen width and height
//   10     | 1    | flags: bit 7 global colour table, bits 0-2 its size
//   13     | ...  | global colour table (3 x 2^(size + 1) bytes), then blocks
// Blocks: 21 (extension: label, sub-blocks), 2C (image: 9 more descriptor
// bytes, an optional local colour table, the LZW code size, sub-blocks), 3B
// (trailer). Sub-blocks: a count byte n and n bytes, until n = 0.
#include "formats/extent.hpp"
#include "formats/pictures.hpp"

namespace lk {
namespace {

constexpr std::uint8_t kExtension = 0x21;
constexpr std::uint8_t kImage = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;

bool is_gif_signature(Bytes d) {
    return matches(d, 0, "GIF87a") || matches(d, 0, "GIF89a");
}

std::uint64_t colour_table_bytes(std::uint8_t flags) {
    return (flags & 0x80) ? 3u << ((flags & 7) + 1) : 0;
}

// Past the sub-blocks starting at p; false when they run past the data.
bool skip_sub_blocks(Bytes d, std::uint64_t& p) {
    for (;;) {
        if (p >= d.size()) return false;
        const std::uint8_t n = d[p];
        p += 1 + n;
        if (n == 0) return true;
    }
}

}  // namespace

bool is_wide_gif_header(Bytes d) {
    if (!is_gif_signature(d) || !has(d, 0, 14)) return false;
    if (load_le16(d.data() + 6) == 0 || load_le16(d.data() + 8) == 0) return false;
    if (d[10] & 0x80) return true;
    return d[13] == kExtension || d[13] == kImage || d[13] == kTrailer;
}

std::int32_t gif_extent(Bytes d) {
    if (!is_gif_signature(d)) return -1;
    if (!has(d, 0, 13)) return 0;
    std::uint64_t p = 13 + colour_table_bytes(d[10]);
    for (;;) {
        if (p >= d.size()) return 0;
        switch (d[p]) {
            case kTrailer:
                return extent_at(p + 1, d.size());
            case kExtension:
                p += 2;
                if (!skip_sub_blocks(d, p)) return 0;
                break;
            case kImage:
                p += 10;
                if (p > d.size()) return 0;
                p += colour_table_bytes(d[p - 1]) + 1;
                if (!skip_sub_blocks(d, p)) return 0;
                break;
            default:
                return -1;
        }
    }
}

}  // namespace lk
