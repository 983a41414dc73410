// BMP extent: the pixel array's end, or the size field when it says more.
//
//   offset | size | meaning
//   2      | 4    | file size F
//   10     | 4    | pixel data offset O
//   14     | 4    | header size H: 12 (OS/2 core header) or 40 and up
//   core header (H = 12): width 18 (2), height 20 (2), bit count 24 (2)
//   other headers: width 18 (4), height 22 (4, signed: negative = top-down),
//                  bit count 28 (2), compression 30 (4)
// Uncompressed rows (compression 0, 3 bitfields, 6 alpha bitfields) are
// padded to four bytes. Compressed pixel data (RLE, JPEG, PNG) is measured by
// the size field alone.
#include <algorithm>

#include "formats/extent.hpp"
#include "formats/pictures.hpp"

namespace lk {

std::int32_t bmp_extent(Bytes d) {
    if (!matches(d, 0, "BM")) return -1;
    const auto header = le32(d, 14);
    if (!header) return 0;
    std::uint64_t width, height, bits, compression = 0;
    // A file ends after the headers read here at the least; sizes that say
    // less are wrong, and the data cut at such an end would not be a BMP.
    const std::uint64_t headers = *header == 12 ? 26 : 34;
    if (!has(d, 0, headers)) return 0;
    if (*header == 12) {
        width = load_le16(d.data() + 18);
        height = load_le16(d.data() + 20);
        bits = load_le16(d.data() + 24);
    } else {
        width = load_le32(d.data() + 18);
        const std::int32_t h = std::int32_t(load_le32(d.data() + 22));
        height = h < 0 ? std::uint64_t(-std::int64_t(h)) : std::uint64_t(h);
        bits = load_le16(d.data() + 28);
        compression = load_le32(d.data() + 30);
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return -1;
    const std::uint64_t file_size = load_le32(d.data() + 2);
    const std::uint64_t offset = load_le32(d.data() + 10);
    if (compression != 0 && compression != 3 && compression != 6)
        return file_size < headers ? 0 : extent_at(file_size, d.size());
    // A row is at most 2^34 bytes and the height below 2^32: the product fits
    // in 64 bits only when checked.
    const std::uint64_t row = (bits * width + 31) / 32 * 4;
    if (height != 0 && row > (std::uint64_t(1) << 62) / height) return 0;
    // A size field too small for its own pixels is wrong; a larger one covers
    // data after the pixels (a colour profile).
    const std::uint64_t end = std::max(file_size, offset + row * height);
    return end < headers ? 0 : extent_at(end, d.size());
}

}  // namespace lk
