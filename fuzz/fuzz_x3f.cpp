// X3F extent. The search starts at 4,096,000, so the input is placed there,
// behind an X3F header, with a "SECd" section planted where the input's first
// bytes say and a "PROP" entry pointing at it: 0, or a size from 4,096,008
// within the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "formats/tiff.hpp"

namespace {

constexpr std::size_t kFirst = 4'096'000;

void check(lk::Bytes d) {
    const std::int32_t extent = lk::x3f_extent(d);
    if (extent < 0 ||
        (extent > 0 && (std::size_t(extent) < kFirst + 8 || std::size_t(extent) > d.size())))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check(lk::Bytes(data, size));  // always too short
    // calloc: fresh zero pages, of which the search touches only a few.
    const std::size_t total = kFirst + size;
    const std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(
        static_cast<std::uint8_t*>(std::calloc(total, 1)), &std::free);
    if (!buffer) return 0;
    const std::span<std::uint8_t> x3f(buffer.get(), total);
    std::memcpy(x3f.data(), "FOVb\x01\0\x02\0", 8);
    if (size > 0) {
        std::memcpy(x3f.data() + 8, data, std::min<std::size_t>(size, 4096));
        std::memcpy(x3f.data() + kFirst, data, size);
    }
    if (size >= 8) {
        std::uint32_t section = (lk::load_le32(data) % (kFirst - 4)) & ~3u;
        if (data[4] & 1) section |= data[4] & 3;  // sometimes misaligned
        std::memcpy(x3f.data() + section, "SECd", 4);
        const std::size_t prop = kFirst + (lk::load_le16(data + 5) % (size - 7));
        if (prop + 8 <= x3f.size()) {
            std::memcpy(x3f.data() + prop, "PROP", 4);
            lk::store_le32(x3f.data() + prop + 4, (data[7] & 1) ? section : lk::load_le32(data));
        }
    }
    const lk::Bytes d(x3f);
    for (std::size_t n :
         {d.size(), d.size() - 1, d.size() - std::min<std::size_t>(size, 5), kFirst + 8})
        if (n <= d.size()) check(d.first(n));
    return 0;
}
