// CRW (CIFF) extent over arbitrary bytes, also behind a CIFF header and with
// the buffer cut at several lengths: -1, 0, or an even size within the data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/tiff.hpp"

namespace {

void check(lk::Bytes d) {
    const std::int32_t extent = lk::crw_extent(d);
    if (extent < -1) __builtin_trap();
    if (extent > 0 && (extent <= 30 || std::size_t(extent) > d.size() || extent % 2 != 0))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes plain(data, size);
    std::vector<std::uint8_t> ciff(26, 0);
    std::memcpy(ciff.data(), (size % 2) ? "MM\0\0\0\x1AHEAPCCDR" : "II\x1A\0\0\0HEAPCCDR", 14);
    ciff.insert(ciff.end(), data, data + size);
    check(plain);
    check(plain.first(size / 2));
    check(ciff);
    check(lk::Bytes(ciff).first(std::min<std::size_t>(ciff.size(), 40 + size % 64)));
    return 0;
}
