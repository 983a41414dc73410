// Ogg extent over arbitrary bytes, and over pages built from the input with
// their CRCs made right, so that the walk goes past the first page.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "formats/sound.hpp"
#include "fuzz/extent_check.hpp"

namespace {

std::uint32_t ogg_crc(const std::vector<std::uint8_t>& page) {
    std::uint32_t crc = 0;
    for (std::uint8_t b : page) {
        crc ^= std::uint32_t(b) << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// Pages whose flags, serials and lengths come from the input: each input
// byte pair gives a page (flags from the first, serial and body length from
// the second), the first page always beginning a stream.
std::vector<std::uint8_t> pages_from(lk::Bytes d) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < d.size() && i < 64; i += 2) {
        std::vector<std::uint8_t> page(27, 0);
        page[0] = 'O', page[1] = 'g', page[2] = 'g', page[3] = 'S';
        page[5] = i == 0 ? 0x02 : d[i] & 0x07;
        if (i != 0) page[6] = d[i + 1];  // granule
        page[14] = d[i + 1] & 3;         // serial: a few streams
        const std::uint8_t body = d[i + 1];
        page[26] = 1;
        page.push_back(body);
        page.insert(page.end(), body, std::uint8_t(i));
        lk::store_le32(page.data() + 22, ogg_crc(page));
        out.insert(out.end(), page.begin(), page.end());
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    (void)lk::is_ogg_header(d);
    lk::fuzz::check_extent(lk::ogg_extent, d, true);
    std::vector<std::uint8_t> built = pages_from(d);
    lk::fuzz::check_extent(lk::ogg_extent, built, true);
    // One byte of the built stream changed: a page CRC no longer matches.
    if (!built.empty() && size > 0) {
        built[data[0] % built.size()] ^= 0x5A;
        lk::fuzz::check_extent(lk::ogg_extent, built, true);
    }
    return 0;
}
