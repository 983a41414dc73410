// Text test and extent over arbitrary bytes and over text with a few foreign bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formats/office.hpp"
#include "fuzz/extent_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lk::Bytes d(data, size);
    const std::int32_t e = lk::fuzz::check_extent(lk::text_extent, d, false);
    if ((e != -1) != lk::is_text_header(d)) __builtin_trap();
    // The input's bytes folded into printable text with line feeds, except
    // where they are already text or UTF-8: the extent must stop at or after
    // the first 512 bytes when the test passes (or inside a UTF-8 sequence
    // the test saw cut at byte 512).
    std::vector<std::uint8_t> t(d.begin(), d.end());
    for (std::size_t i = 0; i < t.size(); ++i)
        if (i < 600 && (t[i] < 0x20 || t[i] >= 0x7F))
            t[i] = (i % 61 == 60) ? '\n' : std::uint8_t('a' + t[i] % 26);
    const std::int32_t te = lk::fuzz::check_extent(lk::text_extent, t, false);
    if (te > 0 && te < 509) __builtin_trap();
    return 0;
}
