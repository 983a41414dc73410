// HEIF, AVIF and CR3 extent over arbitrary bytes and behind each brand.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/pictures.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::isobmff_image_extent, d, true);
    for (std::string_view brand : {"heic", "AVIF", "crx "}) {
        std::vector<std::uint8_t> b = lk::fuzz::behind(std::string_view("\0\0\0\x10" "ftyp", 8), d);
        if (b.size() < 12) b.resize(12);
        std::copy(brand.begin(), brand.end(), b.begin() + 8);
        lk::fuzz::check_extent(lk::isobmff_image_extent, b, true);
    }
    return 0;
}
