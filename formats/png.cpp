// PNG extent: the signature, then chunks up to the empty IEND chunk.
//
// Chunk:
//   offset | size | meaning
//   0      | 4    | data length n, big-endian, at most 2^31 - 1
//   4      | 4    | type, four ASCII letters
//   8      | n    | data
//   8 + n  | 4    | CRC of type and data
// The first chunk is IHDR with 13 bytes of data; IEND has no data, so its
// CRC is always AE 42 60 82.
#include "formats/extent.hpp"
#include "formats/pictures.hpp"

namespace lk {
namespace {

bool is_letter(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

std::int32_t png_extent(Bytes d) {
    if (!matches(d, 0, "\x89PNG\r\n\x1A\n")) return -1;
    std::uint64_t p = 8;
    for (bool first = true;; first = false) {
        if (!has(d, p, 8)) return 0;
        const std::uint32_t n = load_be32(d.data() + p);
        const std::uint8_t* type = d.data() + p + 4;
        if (n > 0x7FFFFFFF) return -1;
        for (int i = 0; i < 4; ++i)
            if (!is_letter(type[i])) return -1;
        const bool ihdr = matches(d, p + 4, "IHDR");
        if (first && !(ihdr && n == 13)) return -1;
        const bool iend = matches(d, p + 4, "IEND");
        const std::uint64_t end = p + 12 + n;
        if (end > d.size()) return 0;
        if (iend)
            return n == 0 && matches(d, p + 8, "\xAE\x42\x60\x82") ? extent_at(end, d.size()) : -1;
        p = end;
    }
}

}  // namespace lk
