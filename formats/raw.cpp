// End-of-file rules of the two raw formats whose extent is computed from their
// content: Canon CRW (CIFF) and Sigma X3F.
#include <cstdint>
#include <limits>
#include <string_view>

#include "formats/tiff.hpp"

namespace lk {
namespace {

// Extents are signed 32-bit; only the first 2 GiB - 1 bytes can be measured.
Bytes measurable(Bytes d) {
    constexpr std::size_t kMax = std::numeric_limits<std::int32_t>::max();
    return d.size() > kMax ? d.first(kMax) : d;
}

// CIFF: a 26-byte header, then the root heap. The heap's last four bytes give
// the offset of its record table, counted from byte 26. The table:
//
//   offset | size   | meaning
//   -------+--------+-------------------------------------------------
//   0      | 2      | record count n
//   2      | 10 x n | records: tag (2), size (4), offset (4)
//
// Bit 15 of a tag is never set; tags below 0x4000 keep their data in the
// heap (offset counted from byte 26), which must end before the table.
constexpr std::uint64_t kCiffHeader = 26;

// Record reads allowed over one search. Candidates in a real file or in the
// data after it fail within a record or two; the budget only stops crafted
// data in which many candidate tables share long runs of valid records, which
// would make the backward search quadratic. Exhausting it ends the search
// without an end (0), so the carver falls back to its other end rules.
std::uint64_t crw_record_budget(std::size_t size) {
    return std::uint64_t(size) + 1'000'000;
}

enum class Table { Valid, Invalid, OutOfBudget };

Table crw_table(Bytes d, std::uint64_t table, std::uint64_t end, bool big, std::uint64_t& budget) {
    // Everything the table holds must lie below end (the table-offset word).
    if (table + 2 > end) return Table::Invalid;
    const std::uint16_t n = *rd16(d, table, big);
    if (n == 0 || table + 2 + 10ull * n > end) return Table::Invalid;
    for (std::uint64_t r = table + 2; r < table + 2 + 10ull * n; r += 10) {
        if (budget == 0) return Table::OutOfBudget;
        --budget;
        const std::uint16_t tag = *rd16(d, r, big);
        if (tag & 0x8000) return Table::Invalid;
        if (tag < 0x4000) {
            const std::uint64_t size = *rd32(d, r + 2, big);
            const std::uint64_t offset = *rd32(d, r + 6, big);
            if (offset + kCiffHeader + size > table) return Table::Invalid;
        }
    }
    return Table::Valid;
}

}  // namespace

std::int32_t crw_extent(Bytes data) {
    const Bytes d = measurable(data);
    if (d.size() < kCiffHeader + 6) return -1;  // no candidate above byte 26
    const bool big = d[0] == 'M';
    std::uint64_t budget = crw_record_budget(d.size());
    // Linear search backwards, two bytes at a time: trailing data after the
    // file (the next clusters of a carved run) is stepped over.
    for (std::uint64_t i = (d.size() & ~std::size_t{1}) - 4; i > kCiffHeader; i -= 2) {
        const std::uint8_t* word = d.data() + i;  // i + 4 <= size
        const std::uint64_t table =
            std::uint64_t(big ? load_be32(word) : load_le32(word)) + kCiffHeader;
        if (table % 2 != 0 || table >= i) continue;
        switch (crw_table(d, table, i, big, budget)) {
            case Table::Valid:
                return static_cast<std::int32_t>(i + 4);
            case Table::OutOfBudget:
                return 0;
            case Table::Invalid:
                break;
        }
    }
    return -1;
}

// X3F ends with its directory section's "PROP" entry type followed by the
// 32-bit little-endian offset of the section, which starts "SECd". No X3F is
// shorter than 4,096,000 bytes, so the search starts there and goes forward
// four bytes at a time; the first match ends the file.
std::int32_t x3f_extent(Bytes data) {
    static constexpr std::uint64_t kFirst = 4'096'000;
    const Bytes d = measurable(data);
    for (std::uint64_t o = kFirst; o + 4 < d.size(); o += 4) {
        if (!matches(d, o, std::string_view("PROP"))) continue;
        // A section offset that cannot be read does not match: taking it as 0
        // could only point at the start, which never holds "SECd" in an X3F.
        auto v = le32(d, o + 4);
        if (v && *v % 4 == 0 && *v < o && matches(d, *v, std::string_view("SECd")))
            return static_cast<std::int32_t>(o + 8);
    }
    return 0;
}

}  // namespace lk
