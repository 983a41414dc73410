// Ogg extent (Vorbis, Opus, FLAC and Theora in Ogg): pages from the first
// up to the page that ends the last open logical stream.
//
// Page header:
//   offset | size | meaning (little-endian)
//   0      | 4    | "OggS"
//   4      | 1    | version 0
//   5      | 1    | flags: 0x01 continued packet, 0x02 beginning of stream,
//          |      | 0x04 end of stream
//   6      | 8    | granule position
//   14     | 4    | serial number of the logical stream
//   18     | 4    | page sequence number
//   22     | 4    | CRC-32 of the page with this field zeroed
//   26     | 1    | segment count n
//   27     | n    | segment table: the body is the sum of these lengths
// The page CRCs are checked, so a page of foreign bytes that happens to
// begin "OggS" (or a damaged page) does not pass for the file's next page.
#include <array>
#include <set>

#include "formats/extent.hpp"
#include "formats/sound.hpp"

namespace lk {
namespace {

constexpr std::uint8_t kBeginning = 0x02;
constexpr std::uint8_t kEnd = 0x04;
constexpr std::size_t kHeader = 27;

// CRC-32 with the polynomial 04C11DB7, most significant bit first, initial
// value 0 and no final inversion.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}();

std::uint32_t page_crc(const std::uint8_t* page, std::size_t length) {
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = (i >= 22 && i < 26) ? 0 : page[i];
        crc = (crc << 8) ^ kCrcTable[(crc >> 24) ^ b];
    }
    return crc;
}

}  // namespace

bool is_ogg_header(Bytes d) {
    if (!matches(d, 0, "OggS") || !has(d, 0, kHeader)) return false;
    if (d[4] != 0 || (d[5] & 0xF8) != 0 || !(d[5] & kBeginning)) return false;
    return load_le64(d.data() + 6) == 0 && d[26] >= 1;
}

std::int32_t ogg_extent(Bytes d) {
    if (!is_ogg_header(d)) return -1;
    std::set<std::uint32_t> open;
    std::uint64_t p = 0;
    for (;;) {
        // Anything but a page before the last stream ended: the file was cut.
        if (!matches(d, p, "OggS") || !has(d, p, kHeader) || d[p + 4] != 0) return 0;
        const std::uint8_t* page = d.data() + p;
        const std::size_t segments = page[26];
        if (!has(d, p + kHeader, segments)) return 0;
        std::uint64_t body = 0;
        for (std::size_t i = 0; i < segments; ++i) body += page[kHeader + i];
        const std::uint64_t length = kHeader + segments + body;
        if (!has(d, p, length)) return 0;
        if (page_crc(page, std::size_t(length)) != load_le32(page + 22)) return 0;
        const std::uint32_t serial = load_le32(page + 14);
        if (page[5] & kBeginning) open.insert(serial);
        p += length;
        if ((page[5] & kEnd) && open.erase(serial) && open.empty()) return extent_at(p, d.size());
    }
}

}  // namespace lk
