// GIF extent and the wide GIF test over arbitrary bytes and behind both signatures.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/pictures.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    lk::fuzz::check_extent(lk::gif_extent, d, true);
    for (const char* signature : {"GIF87a", "GIF89a"}) {
        const auto b = lk::fuzz::behind(signature, d);
        (void)lk::is_wide_gif_header(b);
        lk::fuzz::check_extent(lk::gif_extent, b, true);
    }
    return 0;
}
