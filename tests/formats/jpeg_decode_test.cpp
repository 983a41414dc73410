#include "formats/jpeg_decode.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

std::vector<std::uint8_t> picture(std::uint32_t seed) {
    tools::JpegOptions o;
    o.seed = seed;
    o.width = 1024;
    o.height = 768;
    return tools::make_jpeg(o);
}

// A picture decodes cleanly only when it is whole, and whether it does is
// the same whether its rows are kept for the seam measure or passed over.
TEST(JpegDecode, CleanOnlyForAWholePictureWithOrWithoutItsRows) {
    const std::vector<std::uint8_t> one = picture(71), other = picture(72);
    const std::size_t half = one.size() / 4096 / 2 * 4096;
    auto joined = [&](const std::vector<std::uint8_t>& first, const std::vector<std::uint8_t>& second,
                      std::size_t from) {
        std::vector<std::uint8_t> out(first.begin(), first.begin() + std::ptrdiff_t(half));
        out.insert(out.end(), second.begin() + std::ptrdiff_t(from), second.end());
        return out;
    };
    std::vector<std::uint8_t> cut(one.begin(), one.begin() + std::ptrdiff_t(one.size() * 3 / 5));
    std::vector<std::uint8_t> extra = one;
    extra.insert(extra.end() - 2, {0x12, 0x34, 0x56});  // bytes between the scan and the end marker
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
        std::size_t join;
        bool clean;
    };
    const Case cases[] = {
        {"whole", one, 0, true},
        {"whole, measured at its middle", one, half, true},
        {"cut short", cut, 0, false},
        {"bytes before the end marker", extra, 0, false},
        {"another picture's second half", joined(one, other, half), half, false},
        {"its own second half a cluster late", joined(one, one, half + 4096), half, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const JpegDecodeCheck rows = check_jpeg_decode(c.data, c.join, true);
        const JpegDecodeCheck last = check_jpeg_decode(c.data, c.join, false);
        EXPECT_EQ(rows.clean, c.clean);
        EXPECT_EQ(last.clean, c.clean);
        EXPECT_EQ(last.seam, 0.0);
        if (c.join != 0 && c.clean) {
            EXPECT_LT(rows.seam, 2.0);
        }
    }
}

}  // namespace
}  // namespace lk
