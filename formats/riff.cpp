// RIFF (AVI, WAV) extent.
//
//   offset | size | meaning
//   0      | 4    | "RIFF"
//   4      | 4    | RIFF size s, little-endian: the file is 8 + s bytes
//   8      | 4    | form type ("AVI ", "WAVE", ...)
//   12     | ...  | chunks: 4-byte identifier, 4-byte little-endian size c,
//          |      | c bytes of data and one pad byte when c is odd
#include <limits>

#include "formats/containers.hpp"

namespace lk {

// The declared RIFF size alone is not trusted: the chunks must lead up to it,
// each inside the data, so a header over foreign clusters measures nothing.
std::int32_t riff_extent(Bytes data) {
    const auto riff_size = le32(data, 4);
    if (!riff_size) return 0;
    const std::uint64_t riff_end = 8 + std::uint64_t(*riff_size);
    if (riff_end <= 8 || riff_end > data.size()) return 0;

    std::uint64_t pos = 12;
    while (pos < riff_end) {
        const std::uint64_t chunk = le32(data, std::size_t(pos) + 4).value_or(0);
        pos += 8 + chunk + (chunk & 1);  // 64-bit: cannot wrap
        if (pos > data.size()) return 0;
    }
    if (pos > data.size() || pos > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        return 0;
    return std::int32_t(pos);
}

}  // namespace lk
