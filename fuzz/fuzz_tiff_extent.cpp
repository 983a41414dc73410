// TIFF extent over arbitrary bytes and behind both byte orders and the raw magics.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/tiff.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::tiff_extent, d, true);
    for (std::string_view header :
         {std::string_view("II*\0\x08\0\0\0", 8), std::string_view("MM\0*\0\0\0\x08", 8),
          std::string_view("IIU\0\x08\0\0\0", 8)})
        lk::fuzz::check_extent(lk::tiff_extent, lk::fuzz::behind(header, d), true);
    return 0;
}
