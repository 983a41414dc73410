#include "input/size_search.hpp"

#include <vector>

#include "input/platform.hpp"

namespace lk {

namespace {

constexpr std::int64_t kSector = 512;

// The search interval for a hint: a small drive is measured to the KB, a
// medium one to the MB, a large one to the GB.
std::int64_t hint_step(std::int64_t hint) {
    if (hint <= 1'048'576) return 1'024;
    if (hint <= 1'073'741'824) return 1'048'576;
    return 1'073'741'824;
}

// Precision of the non-exact search once `low` is known to be readable.
std::int64_t coarse_precision(std::int64_t low) {
    if (low <= 1'024'000) return 1'024;
    if (low <= 1'024'000'000) return 1'024'000;
    return 1'024'000'000;
}

}  // namespace

std::int64_t SearchSize(ReadBackend& backend, bool exact, std::int64_t hint,
                        const SizeSearchPoll& poll) {
    std::int64_t low = 0;
    std::int64_t high = std::int64_t{1} << 37;
    if (hint >= 0) {
        low = hint;
        high = hint + hint_step(hint) / 2;
    }
    std::int64_t precision = kSector;
    std::vector<std::uint8_t> sector(kSector);
    while (high - low > precision) {
        if (poll && poll(low, high)) break;
        const std::int64_t mid = (low + (high - low) / 2) / kSector * kSector;
        // An unaligned low end can round the midpoint onto or below it; the
        // interval then cannot shrink any further.
        if (mid <= low || mid >= high) break;
        int error = 0;
        if (backend.read(mid - kSector, sector.data(), sector.size(), error) == kSector) {
            low = mid;
            if (!exact) precision = coarse_precision(low);
        } else {
            high = mid;
        }
    }
    return (low + kSector - 1) / kSector * kSector;
}

}  // namespace lk
