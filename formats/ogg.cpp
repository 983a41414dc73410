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
// value 0 and no final inversion. Every byte of a file is checked, so the
// bytes are taken eight at a time: kCrc[k][b] is the CRC of byte b followed by
// k zero bytes.
constexpr std::array<std::array<std::uint32_t, 256>, 8> kCrc = [] {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i << 24;
        for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
    return t;
}();

std::uint32_t crc_bytes(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint32_t a = crc ^ load_be32(p), b = load_be32(p + 4);
        crc = kCrc[7][a >> 24] ^ kCrc[6][(a >> 16) & 0xFF] ^ kCrc[5][(a >> 8) & 0xFF] ^
              kCrc[4][a & 0xFF] ^ kCrc[3][b >> 24] ^ kCrc[2][(b >> 16) & 0xFF] ^
              kCrc[1][(b >> 8) & 0xFF] ^ kCrc[0][b & 0xFF];
    }
    for (; n > 0; ++p, --n) crc = (crc << 8) ^ kCrc[0][(crc >> 24) ^ *p];
    return crc;
}

// The page's CRC, computed with its own CRC field (bytes 22-25) as zeros.
std::uint32_t page_crc(const std::uint8_t* page, std::size_t length) {
    static constexpr std::uint8_t kZeros[4] = {};
    std::uint32_t crc = crc_bytes(0, page, 22);
    crc = crc_bytes(crc, kZeros, 4);
    return crc_bytes(crc, page + 26, length - 26);
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
