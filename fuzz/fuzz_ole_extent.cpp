// OLE2 compound document extent over arbitrary bytes and behind a valid header start.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/office.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::ole2_extent, d, false);
    // Byte order FE FF, version 3 with 512-byte sectors, mini shift 6: the
    // FAT and DIFAT walks start from the input's own counts and numbers.
    std::vector<std::uint8_t> b = lk::fuzz::behind("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", d);
    if (b.size() >= 34) {
        const std::uint8_t fields[] = {3, 0, 0xFE, 0xFF, 9, 0, 6, 0};
        std::copy(std::begin(fields), std::end(fields), b.begin() + 26);
    }
    lk::fuzz::check_extent(lk::ole2_extent, b, false);
    return 0;
}
