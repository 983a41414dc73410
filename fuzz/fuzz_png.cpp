// PNG extent over arbitrary bytes and behind a PNG signature and IHDR chunk.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/pictures.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::png_extent, d, true);
    lk::fuzz::check_extent(
        lk::png_extent,
        lk::fuzz::behind(std::string_view("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16), d), true);
    return 0;
}
