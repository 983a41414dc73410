// Searches for a pair of bytes, sixteen positions at a time where the
// processor allows (SSE2, which every x86-64 processor has), for the scans
// that go over whole cards: the JPEG marker search and the PDF pattern
// search. A byte-by-byte search stops at every candidate lead byte, and
// inside compressed data that is every few hundred bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lk {

// What must follow the lead byte.
struct PairTest {
    std::uint8_t lead;
    std::uint8_t next_a;
    std::uint8_t next_b;  // a second byte that may follow, or next_a again
    bool negate = false;  // the following byte must be neither next_a nor next_b
};

// The first i in [from, n - 1) where p[i] is the lead byte and p[i + 1]
// passes the test; n - 1 (or from, when that is larger) when there is none.
// The last byte is never a match: it has no follower here.
inline std::size_t find_pair(const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t) {
    if (n == 0) return 0;
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i lead = _mm_set1_epi8(static_cast<char>(t.lead));
    const __m128i a = _mm_set1_epi8(static_cast<char>(t.next_a));
    const __m128i b = _mm_set1_epi8(static_cast<char>(t.next_b));
    auto mask = [&](const std::uint8_t* q) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        __m128i follows = _mm_or_si128(_mm_cmpeq_epi8(next, a), _mm_cmpeq_epi8(next, b));
        const __m128i hit = t.negate ? _mm_andnot_si128(follows, _mm_cmpeq_epi8(here, lead))
                                     : _mm_and_si128(follows, _mm_cmpeq_epi8(here, lead));
        return static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
    };
    // Each position reads its follower, so a block of 64 needs 65 bytes.
    while (i + 65 <= n) {
        const std::uint64_t m = std::uint64_t(mask(p + i)) | std::uint64_t(mask(p + i + 16)) << 16 |
                                std::uint64_t(mask(p + i + 32)) << 32 |
                                std::uint64_t(mask(p + i + 48)) << 48;
        if (m) return i + static_cast<std::size_t>(__builtin_ctzll(m));
        i += 64;
    }
#endif
    for (; i + 1 < n; ++i) {
        if (p[i] != t.lead) continue;
        const bool follows = p[i + 1] == t.next_a || p[i + 1] == t.next_b;
        if (follows != t.negate) return i;
    }
    return i;
}

}  // namespace lk
