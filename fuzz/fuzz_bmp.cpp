// BMP extent over arbitrary bytes and behind "BM".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/pictures.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::bmp_extent, d, true);
    lk::fuzz::check_extent(lk::bmp_extent, lk::fuzz::behind("BM", d), true);
    return 0;
}
