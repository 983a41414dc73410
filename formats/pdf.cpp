// PDF extent: the file ends at its first "%%EOF" past the first 1,024 bytes,
// together with the line end after it.
#include <limits>

#include "formats/office.hpp"

namespace lk {
namespace {

// The header itself may lie anywhere in the first 1,024 bytes; an end marker
// there belongs to an embedded or damaged fragment, so the search starts after.
constexpr std::size_t kSearchStart = 1024;
// The search keeps clear of the last six bytes (room for "%%EOF" and a line end).
constexpr std::size_t kTailGuard = 6;
constexpr std::size_t kMaxLineEnd = 2;

bool is_line_end(std::uint8_t c) {
    return c == '\r' || c == '\n';
}

}  // namespace

// An incrementally updated PDF holds one "%%EOF" per revision; the first one
// ends the original document, which is a complete, readable file by itself,
// while later revisions may already be overwritten on a reused card.
std::int32_t pdf_extent(Bytes data) {
    if (!is_pdf_header(data)) return -1;
    if (data.size() <= kSearchStart + kTailGuard) return 0;
    const std::size_t stop = data.size() - kTailGuard;
    for (std::size_t k = kSearchStart; k < stop; ++k) {
        if (!matches(data, k, "%%EOF")) continue;
        std::size_t end = k + 5;
        for (std::size_t n = 0; n < kMaxLineEnd && end < stop && is_line_end(data[end]); ++n) ++end;
        if (end > std::size_t(std::numeric_limits<std::int32_t>::max())) return 0;
        return std::int32_t(end);
    }
    return 0;
}

}  // namespace lk
