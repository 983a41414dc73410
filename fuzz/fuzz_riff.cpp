// RIFF extent over arbitrary bytes: the result is 0 or a size within the data.
#include <cstddef>
#include <cstdint>

#include "formats/containers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::int32_t extent = lk::riff_extent(lk::Bytes(data, size));
    if (extent < 0 || std::size_t(extent) > size) __builtin_trap();
    return 0;
}
