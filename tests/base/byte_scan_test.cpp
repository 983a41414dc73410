#include "base/byte_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// The two-test search lists every match of both tests, as many find_pair
// calls would, and of the second only the first max_b, counting them all.
TEST(FindPairs, ListsWhatFindPairFindsForBothTests) {
    const PairTest pdf{'%', 'P', '!'};
    const PairTest marker{0xFF, 0x00, 0x00, true};
    auto all = [](const std::vector<std::uint8_t>& d, PairTest t) {
        std::vector<std::uint32_t> out;
        for (std::size_t i = 0; i + 1 < d.size(); ++i) {
            i = find_pair_with(ScanWidth::Bytes, d.data(), i, d.size(), t);
            if (i + 1 < d.size()) out.push_back(static_cast<std::uint32_t>(i));
        }
        return out;
    };
    std::uint32_t seed = 1;
    for (ScanWidth width : available_scan_widths()) {
        for (std::size_t n : {0, 1, 2, 63, 64, 65, 129, 200, 4096}) {
            for (int density : {0, 3, 40}) {  // planted pairs per 1,000 bytes
                std::vector<std::uint8_t> d(n);
                for (std::size_t i = 0; i < n; ++i) {
                    seed = seed * 1103515245 + 12345;
                    d[i] = static_cast<std::uint8_t>(seed >> 16);
                    if (static_cast<int>(seed % 1000) < density) d[i] = (seed >> 8) & 1 ? 0xFF : '%';
                    if (static_cast<int>(seed % 1000) < density / 2 && i + 1 < n) d[++i] = 'P';
                }
                const std::vector<std::uint32_t> want_a = all(d, pdf), want_b = all(d, marker);
                for (std::size_t max_b : {std::size_t{0}, std::size_t{2}, std::size_t{64}}) {
                    SCOPED_TRACE(testing::Message() << "width=" << static_cast<int>(width) << " n=" << n
                                                    << " density=" << density << " max_b=" << max_b);
                    std::vector<std::uint32_t> a{99}, b(max_b);
                    const std::size_t count = find_pairs_with(width, d.data(), n, pdf, a, marker, b.data(), max_b);
                    EXPECT_EQ(a, want_a);
                    ASSERT_EQ(count, want_b.size());
                    b.resize(std::min(max_b, count));
                    EXPECT_EQ(b, std::vector<std::uint32_t>(want_b.begin(), want_b.begin() + b.size()));
                }
            }
        }
    }
}

}  // namespace
}  // namespace lk
