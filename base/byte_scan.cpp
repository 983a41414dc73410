#include "base/byte_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define LK_X86_SCAN 1
#include <immintrin.h>
#endif

namespace lk {
namespace {

using Search = std::size_t (*)(const std::uint8_t*, std::size_t, std::size_t, PairTest);

bool passes(const std::uint8_t* q, PairTest t) {
    return q[0] == t.lead && ((q[1] == t.next_a || q[1] == t.next_b) != t.negate);
}

// From i on, a byte at a time: the tail after the last whole block.
std::size_t rest_by_bytes(const std::uint8_t* p, std::size_t i, std::size_t n, PairTest t) {
    for (; i + 1 < n; ++i)
        if (passes(p + i, t)) return i;
    return i;
}

std::size_t by_bytes(const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t) {
    return n == 0 ? 0 : rest_by_bytes(p, from, n, t);
}

// Where the two-test searches put what they find.
struct Hits {
    std::vector<std::uint32_t>& a;
    std::uint32_t* b;
    std::size_t max_b;
    std::size_t b_count = 0;

    void add_b(std::size_t at) {
        if (b_count < max_b) b[b_count] = static_cast<std::uint32_t>(at);
        ++b_count;
    }
    // The matches of one block of 64 positions from i, a bit each.
    void add(std::size_t i, std::uint64_t ma, std::uint64_t mb) {
        for (; ma; ma &= ma - 1) a.push_back(static_cast<std::uint32_t>(i + __builtin_ctzll(ma)));
        for (; mb; mb &= mb - 1) add_b(i + static_cast<std::size_t>(__builtin_ctzll(mb)));
    }
    void rest(const std::uint8_t* p, std::size_t i, std::size_t n, PairTest ta, PairTest tb) {
        for (; i + 1 < n; ++i) {
            if (passes(p + i, ta)) a.push_back(static_cast<std::uint32_t>(i));
            if (passes(p + i, tb)) add_b(i);
        }
    }
};

using TwoSearch = void (*)(const std::uint8_t*, std::size_t, PairTest, PairTest, Hits&);

void two_by_bytes(const std::uint8_t* p, std::size_t n, PairTest a, PairTest b, Hits& hits) {
    hits.rest(p, 0, n, a, b);
}

#ifdef LK_X86_SCAN

// The matches among the 16 positions whose bytes are here and whose
// followers are next, a bit each.
std::uint32_t sse2_mask(__m128i here, __m128i next, PairTest t) {
    const __m128i follows = _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8(static_cast<char>(t.next_a))),
                                         _mm_cmpeq_epi8(next, _mm_set1_epi8(static_cast<char>(t.next_b))));
    const __m128i leads = _mm_cmpeq_epi8(here, _mm_set1_epi8(static_cast<char>(t.lead)));
    const __m128i hit = t.negate ? _mm_andnot_si128(follows, leads) : _mm_and_si128(follows, leads);
    return static_cast<std::uint32_t>(_mm_movemask_epi8(hit));
}

// Each position reads its follower, so a block of B bytes needs B + 1.
std::size_t sse2(const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t) {
    if (n == 0) return 0;
    std::size_t i = from;
    auto mask = [&](const std::uint8_t* q) {
        return sse2_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1)), t);
    };
    while (i + 65 <= n) {
        const std::uint64_t m = std::uint64_t(mask(p + i)) | std::uint64_t(mask(p + i + 16)) << 16 |
                                std::uint64_t(mask(p + i + 32)) << 32 |
                                std::uint64_t(mask(p + i + 48)) << 48;
        if (m) return i + static_cast<std::size_t>(__builtin_ctzll(m));
        i += 64;
    }
    return rest_by_bytes(p, i, n, t);
}

void two_sse2(const std::uint8_t* p, std::size_t n, PairTest a, PairTest b, Hits& hits) {
    std::size_t i = 0;
    for (; i + 65 <= n; i += 64) {
        std::uint64_t ma = 0, mb = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k + 1));
            ma |= std::uint64_t(sse2_mask(here, next, a)) << (16 * k);
            mb |= std::uint64_t(sse2_mask(here, next, b)) << (16 * k);
        }
        if (ma | mb) hits.add(i, ma, mb);
    }
    hits.rest(p, i, n, a, b);
}

// As sse2_mask, 32 positions at a time.
__attribute__((target("avx2"))) inline std::uint32_t avx2_mask(__m256i here, __m256i next, PairTest t) {
    const __m256i follows = _mm256_or_si256(_mm256_cmpeq_epi8(next, _mm256_set1_epi8(static_cast<char>(t.next_a))),
                                            _mm256_cmpeq_epi8(next, _mm256_set1_epi8(static_cast<char>(t.next_b))));
    const __m256i leads = _mm256_cmpeq_epi8(here, _mm256_set1_epi8(static_cast<char>(t.lead)));
    const __m256i hit = t.negate ? _mm256_andnot_si256(follows, leads) : _mm256_and_si256(follows, leads);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hit));
}

__attribute__((target("avx2"))) void two_avx2(const std::uint8_t* p, std::size_t n, PairTest a, PairTest b,
                                              Hits& hits) {
    std::size_t i = 0;
    for (; i + 65 <= n; i += 64) {
        const __m256i here0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i next0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const __m256i here1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
        const __m256i next1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 33));
        const std::uint64_t ma = std::uint64_t(avx2_mask(here0, next0, a)) | std::uint64_t(avx2_mask(here1, next1, a)) << 32;
        const std::uint64_t mb = std::uint64_t(avx2_mask(here0, next0, b)) | std::uint64_t(avx2_mask(here1, next1, b)) << 32;
        if (ma | mb) hits.add(i, ma, mb);
    }
    hits.rest(p, i, n, a, b);
}

// The matches among the 32 positions from q, a bit each.
__attribute__((target("avx2"))) inline std::uint32_t avx2_mask(const std::uint8_t* q, PairTest t) {
    return avx2_mask(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)),
                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + 1)), t);
}

__attribute__((target("avx2"))) std::size_t avx2(const std::uint8_t* p, std::size_t from, std::size_t n,
                                                 PairTest t) {
    if (n == 0) return 0;
    std::size_t i = from;
    while (i + 129 <= n) {
        const std::uint64_t lo = std::uint64_t(avx2_mask(p + i, t)) | std::uint64_t(avx2_mask(p + i + 32, t)) << 32;
        const std::uint64_t hi =
            std::uint64_t(avx2_mask(p + i + 64, t)) | std::uint64_t(avx2_mask(p + i + 96, t)) << 32;
        if (lo) return i + static_cast<std::size_t>(__builtin_ctzll(lo));
        if (hi) return i + 64 + static_cast<std::size_t>(__builtin_ctzll(hi));
        i += 128;
    }
    return rest_by_bytes(p, i, n, t);
}

bool has(ScanWidth w) {
    __builtin_cpu_init();
    switch (w) {
        case ScanWidth::Bytes:
        case ScanWidth::Sse2:
            return true;
        case ScanWidth::Avx2:
            return __builtin_cpu_supports("avx2");
    }
    return false;
}

#else

bool has(ScanWidth w) {
    return w == ScanWidth::Bytes;
}

#endif

// The searches of one width.
struct Searches {
    Search one;
    TwoSearch two;
};

Searches searches_for(ScanWidth w) {
#ifdef LK_X86_SCAN
    switch (w) {
        case ScanWidth::Bytes:
            return {by_bytes, two_by_bytes};
        case ScanWidth::Sse2:
            return {sse2, two_sse2};
        case ScanWidth::Avx2:
            return {avx2, two_avx2};
    }
#else
    (void)w;
#endif
    return {by_bytes, two_by_bytes};
}

// Chosen once, by what the processor has. (64-byte vectors were tried: on a
// card they were no faster than 32.)
const Searches& widest() {
    static const Searches chosen = searches_for(available_scan_widths().back());
    return chosen;
}

std::size_t find_both(TwoSearch search, const std::uint8_t* p, std::size_t n, PairTest a,
                      std::vector<std::uint32_t>& a_out, PairTest b, std::uint32_t* b_out, std::size_t max_b) {
    a_out.clear();
    Hits hits{a_out, b_out, max_b};
    search(p, n, a, b, hits);
    return hits.b_count;
}

}  // namespace

std::vector<ScanWidth> available_scan_widths() {
    std::vector<ScanWidth> out;
    for (ScanWidth w : {ScanWidth::Bytes, ScanWidth::Sse2, ScanWidth::Avx2})
        if (has(w)) out.push_back(w);
    return out;
}

std::size_t find_pair_with(ScanWidth width, const std::uint8_t* p, std::size_t from, std::size_t n,
                           PairTest t) {
    return searches_for(has(width) ? width : ScanWidth::Bytes).one(p, from, n, t);
}

std::size_t find_pair(const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t) {
    return widest().one(p, from, n, t);
}

std::size_t find_pairs_with(ScanWidth width, const std::uint8_t* p, std::size_t n, PairTest a,
                            std::vector<std::uint32_t>& a_out, PairTest b, std::uint32_t* b_out, std::size_t max_b) {
    return find_both(searches_for(has(width) ? width : ScanWidth::Bytes).two, p, n, a, a_out, b, b_out, max_b);
}

std::size_t find_pairs(const std::uint8_t* p, std::size_t n, PairTest a, std::vector<std::uint32_t>& a_out,
                       PairTest b, std::uint32_t* b_out, std::size_t max_b) {
    return find_both(widest().two, p, n, a, a_out, b, b_out, max_b);
}

}  // namespace lk
