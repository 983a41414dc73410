// RTF extent over arbitrary bytes and behind "{\\rtf1\\".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/office.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::rtf_extent, d, true);
    lk::fuzz::check_extent(lk::rtf_extent, lk::fuzz::behind("{\\rtf1\\", d), true);
    return 0;
}
