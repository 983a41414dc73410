#include "base/byte_scan.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace lk {
namespace {

// The answer of a plain byte-by-byte search.
std::size_t slow_find(const std::vector<std::uint8_t>& d, std::size_t from, PairTest t) {
    for (std::size_t i = from; i + 1 < d.size(); ++i)
        if (d[i] == t.lead && ((d[i + 1] == t.next_a || d[i + 1] == t.next_b) != t.negate))
            return i;
    return d.empty() ? 0 : std::max(from, d.size() - 1);
}

// Every search this processor has, the one find_pair picks among them.
TEST(FindPair, AgreesWithAByteByByteSearchAroundEveryBlockEdge) {
    const PairTest marker{0xFF, 0x00, 0x00, true};  // FF not followed by 00
    const PairTest pdf{'%', 'P', '!'};              // % followed by P or !
    for (ScanWidth width : available_scan_widths()) {
        for (std::size_t n : {0, 1, 2, 15, 16, 17, 63, 64, 65, 66, 127, 128, 129, 130, 200, 257, 300}) {
            for (std::size_t at = 0; at < n; ++at) {
                // Background that almost matches: FF 00 pairs and a lone %.
                std::vector<std::uint8_t> d(n, 0x11);
                for (std::size_t i = 0; i + 1 < n; i += 7) d[i] = 0xFF, d[i + 1] = 0x00;
                for (std::size_t i = 3; i < n; i += 11) d[i] = '%';
                d[at] = 0xFF;
                if (at + 1 < n) d[at + 1] = 0xD9;
                std::vector<std::uint8_t> p = d;
                p[at] = '%';
                if (at + 1 < n) p[at + 1] = at % 2 ? 'P' : '!';
                for (std::size_t from : {std::size_t(0), at / 2, at}) {
                    SCOPED_TRACE(testing::Message() << "width=" << static_cast<int>(width) << " n=" << n
                                                    << " at=" << at << " from=" << from);
                    EXPECT_EQ(find_pair_with(width, d.data(), from, n, marker), slow_find(d, from, marker));
                    EXPECT_EQ(find_pair_with(width, p.data(), from, n, pdf), slow_find(p, from, pdf));
                    EXPECT_EQ(find_pair(p.data(), from, n, pdf), slow_find(p, from, pdf));
                }
            }
        }
    }
}

TEST(FindPair, TheLastByteIsNeverAMatch) {
    const std::vector<std::uint8_t> d(300, 0xFF);
    for (ScanWidth width : available_scan_widths()) {
        SCOPED_TRACE(static_cast<int>(width));
        EXPECT_EQ(find_pair_with(width, d.data(), 0, d.size(), {0xFF, 0x00, 0x00, true}), 0u);
        EXPECT_EQ(find_pair_with(width, d.data(), 299, d.size(), {0xFF, 0x00, 0x00, true}), 299u);
        EXPECT_EQ(find_pair_with(width, d.data(), 0, d.size(), {0xFF, 0x00, 0x00}), 299u);
    }
}

}  // namespace
}  // namespace lk
