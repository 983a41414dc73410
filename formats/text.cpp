// Plain text: ASCII and UTF-8 files (notes, logs, lists, web pages). Text has
// no header, so it is recognised by 512 bytes that are all text, with a line
// break among them, and it ends at the first byte that is not text.
//
// Text bytes: TAB, LF, CR, 20-7E, and well-formed UTF-8 sequences (a lead
// byte C2-DF, E0-EF or F0-F4 followed by 1, 2 or 3 bytes 80-BF).
#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "formats/extent.hpp"
#include "formats/office.hpp"

namespace lk {
namespace {

constexpr std::size_t kTestLength = 512;

// The bytes a sequence starting with c takes: 1 for a text byte of its own,
// 2 to 4 for a UTF-8 lead byte, 0 when c cannot start text.
constexpr std::array<std::uint8_t, 256> kSequenceLength = [] {
    std::array<std::uint8_t, 256> t{};
    t['\t'] = t['\n'] = t['\r'] = 1;
    for (int c = 0x20; c <= 0x7E; ++c) t[c] = 1;
    for (int c = 0xC2; c <= 0xDF; ++c) t[c] = 2;
    for (int c = 0xE0; c <= 0xEF; ++c) t[c] = 3;
    for (int c = 0xF0; c <= 0xF4; ++c) t[c] = 4;
    return t;
}();

bool is_continuation(std::uint8_t c) {
    return (c & 0xC0) == 0x80;
}

// The offset of the first byte of d[0, limit) that does not continue the
// text; a sequence cut by limit counts as text. lf receives whether an LF was
// met before that offset.
std::size_t text_run(Bytes d, std::size_t limit, bool& lf) {
    lf = false;
    std::size_t i = 0;
    while (i < limit) {
        const std::uint8_t c = d[i];
        const std::size_t len = kSequenceLength[c];
        if (len == 0) return i;
        if (c == '\n') lf = true;
        std::size_t k = 1;
        for (; k < len && i + k < limit; ++k)
            if (!is_continuation(d[i + k])) return i;
        i += k;
    }
    return limit;
}

// Whether one of the first 32 bytes is text nowhere, neither on its own, nor
// leading a sequence, nor continuing one (00-08, 0B, 0C, 0E-1F, 7F, C0, C1,
// F5-FF). Inside compressed data, where the test is made at every sector,
// that is almost always so: those offsets are turned away without following
// the bytes one by one.
bool never_text_soon(const std::uint8_t* p) {
#if defined(__SSE2__)
    std::uint32_t bad = 0;
    for (int half = 0; half < 2; ++half) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * half));
        const __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(x, _mm_set1_epi8(0x1F)), _mm_setzero_si128());
        const __m128i allowed = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')),
                                                          _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))),
                                             _mm_cmpeq_epi8(x, _mm_set1_epi8('\r')));
        const __m128i del = _mm_cmpeq_epi8(x, _mm_set1_epi8(0x7F));
        const __m128i overlong = _mm_cmpeq_epi8(_mm_and_si128(x, _mm_set1_epi8(char(0xFE))),
                                                _mm_set1_epi8(char(0xC0)));
        const __m128i bad_low = _mm_or_si128(_mm_andnot_si128(allowed, control), _mm_or_si128(del, overlong));
        // Up to F4: what is left of x after taking F4 away is zero.
        const __m128i up_to_f4 = _mm_cmpeq_epi8(_mm_subs_epu8(x, _mm_set1_epi8(char(0xF4))), _mm_setzero_si128());
        bad |= static_cast<std::uint32_t>(_mm_movemask_epi8(bad_low) | (~_mm_movemask_epi8(up_to_f4) & 0xFFFF));
    }
    return bad != 0;
#else
    bool bad = false;
    for (int i = 0; i < 32; ++i) bad |= kSequenceLength[p[i]] == 0 && !is_continuation(p[i]);
    return bad;
#endif
}

}  // namespace

bool is_text_header(Bytes d) {
    if (d.size() < kTestLength) return false;
    // A visible character or a UTF-8 lead byte (a byte-order mark is one) first.
    const std::uint8_t first = d[0];
    if (!((first >= 0x21 && first <= 0x7E) || kSequenceLength[first] > 1)) return false;
    if (never_text_soon(d.data())) return false;
    bool lf = false;
    return text_run(d, kTestLength, lf) == kTestLength && lf;
}

std::int32_t text_extent(Bytes d) {
    if (!is_text_header(d)) return -1;
    bool lf = false;
    const std::size_t end = text_run(d, d.size(), lf);
    if (end == d.size()) return 0;
    return extent_at(end, d.size());
}

}  // namespace lk
