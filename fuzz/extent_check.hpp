// Checks shared by the fuzz targets of the end rules.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"

namespace lk::fuzz {

using Rule = std::int32_t (*)(Bytes);

// The result keeps the content-extent convention: -1, 0, or a size within
// the data. When prefix_stable, the rule reads nothing past the end it
// finds: the data cut at that end measures the same.
inline std::int32_t check_extent(Rule rule, Bytes d, bool prefix_stable) {
    const std::int32_t e = rule(d);
    if (e < -1 || (e > 0 && std::size_t(e) > d.size())) __builtin_trap();
    if (d.empty() && e > 0) __builtin_trap();
    if (prefix_stable && e > 0 && rule(d.first(std::size_t(e))) != e) __builtin_trap();
    return e;
}

// The data with its first bytes replaced by a header, so that random inputs
// get past the header test into the walk.
inline std::vector<std::uint8_t> behind(std::string_view header, Bytes d) {
    std::vector<std::uint8_t> out(d.begin(), d.end());
    if (out.size() < header.size()) out.resize(header.size());
    std::copy(header.begin(), header.end(), out.begin());
    return out;
}

// A real file with a few bytes changed where the input says (two bytes of
// position, one of value, at most four times), and cut where the input's last
// byte says when its length is odd: damage that random bytes alone would
// rarely bring past a format's first checks.
inline std::vector<std::uint8_t> edited(Bytes seed, Bytes d) {
    std::vector<std::uint8_t> b(seed.begin(), seed.end());
    if (b.empty()) return b;
    for (std::size_t i = 0; i + 3 <= d.size() && i < 12; i += 3)
        b[(d[i] | std::size_t(d[i + 1]) << 8) % b.size()] ^= d[i + 2];
    if (d.size() % 2 == 1) b.resize(b.size() - d.back() % b.size());
    return b;
}

}  // namespace lk::fuzz
