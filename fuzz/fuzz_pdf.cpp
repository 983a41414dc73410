// PDF extent over arbitrary bytes: -1, 0 or a size within the data.
#include <cstddef>
#include <cstdint>

#include "formats/office.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::int32_t extent = lk::pdf_extent(lk::Bytes(data, size));
    if (extent < -1 || (extent > 0 && std::size_t(extent) > size)) __builtin_trap();
    return 0;
}
