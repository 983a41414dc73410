// Photoshop extent over arbitrary bytes and behind a version 1 header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/pictures.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::psd_extent, d, true);
    lk::fuzz::check_extent(lk::psd_extent, lk::fuzz::behind(std::string_view("8BPS\0\x01", 6), d),
                           true);
    return 0;
}
