// Plain text: ASCII and UTF-8 files (notes, logs, lists, web pages). Text has
// no header, so it is recognised by 512 bytes that are all text, with a line
// break among them, and it ends at the first byte that is not text.
//
// Text bytes: TAB, LF, CR, 20-7E, and well-formed UTF-8 sequences (a lead
// byte C2-DF, E0-EF or F0-F4 followed by 1, 2 or 3 bytes 80-BF).
#include <array>

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

}  // namespace

bool is_text_header(Bytes d) {
    if (d.size() < kTestLength) return false;
    // A visible character or a UTF-8 lead byte (a byte-order mark is one) first.
    const std::uint8_t first = d[0];
    if (!((first >= 0x21 && first <= 0x7E) || kSequenceLength[first] > 1)) return false;
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
