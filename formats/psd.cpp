// Photoshop (PSD) extent: header, three length-prefixed sections, then the
// composite image.
//
//   offset | size | meaning (big-endian)
//   0      | 4    | "8BPS"
//   4      | 2    | version 1 (2 is the large-document format, not read here)
//   12     | 2    | channels
//   14     | 4    | height
//   18     | 4    | width
//   22     | 2    | depth: 1, 8, 16 or 32 bits
//   26     | ...  | colour mode data, image resources, layer and mask
//          |      | information: each a 4-byte length and that many bytes
// Then a 2-byte compression: 0 raw (channels x height rows of the packed
// width), 1 RLE (a table of channels x height 2-byte row lengths, then the
// rows), 2 and 3 ZIP (no length can be computed).
#include "formats/extent.hpp"
#include "formats/pictures.hpp"

namespace lk {

std::int32_t psd_extent(Bytes d) {
    if (!matches(d, 0, "8BPS")) return -1;
    if (!has(d, 0, 26)) return 0;
    if (load_be16(d.data() + 4) != 1) return -1;
    const std::uint64_t channels = load_be16(d.data() + 12);
    const std::uint64_t height = load_be32(d.data() + 14);
    const std::uint64_t width = load_be32(d.data() + 18);
    const std::uint64_t depth = load_be16(d.data() + 22);
    if (channels == 0 || (depth != 1 && depth != 8 && depth != 16 && depth != 32)) return -1;
    std::uint64_t p = 26;
    for (int section = 0; section < 3; ++section) {
        const auto length = be32(d, p);
        if (!length) return 0;
        p += 4 + *length;
        if (p > d.size()) return 0;
    }
    const auto compression = be16(d, p);
    if (!compression) return 0;
    p += 2;
    const std::uint64_t rows = channels * height;  // below 2^48
    switch (*compression) {
        case 0: {
            const std::uint64_t row = (width * depth + 7) / 8;  // below 2^35
            if (rows != 0 && row > (d.size() - p) / rows) return 0;
            return extent_at(p + rows * row, d.size());
        }
        case 1: {
            if (rows > (d.size() - p) / 2) return 0;
            std::uint64_t sum = 0;
            for (std::uint64_t r = 0; r < rows; ++r) sum += load_be16(d.data() + p + 2 * r);
            return extent_at(p + 2 * rows + sum, d.size());
        }
        case 2:
        case 3:
            return 0;
        default:
            return -1;
    }
}

}  // namespace lk
