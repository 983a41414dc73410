// RTF extent: the document is one group, "{\rtf1 ... }"; it ends with the
// brace that closes that group, plus the line end writers put after it.
//
// Braces nest groups; "\{", "\}" and "\\" are literal characters; "\binN"
// is followed by N bytes of binary data, which may hold anything. RTF is
// 7-bit text, so a zero byte outside binary data means the document stopped
// before it closed.
#include <cstddef>

#include "formats/extent.hpp"
#include "formats/office.hpp"

namespace lk {
namespace {

// Writers end the file with CR LF, LF or nothing after the last brace; the
// same two bytes are taken as pdf_extent takes after "%%EOF".
constexpr std::size_t kMaxLineEnd = 2;

bool is_digit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::int32_t rtf_extent(Bytes d) {
    if (!matches(d, 0, "{\\rtf")) return -1;
    const std::size_t n = d.size();
    std::uint64_t depth = 0;
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t c = d[i];
        if (c == '{') {
            ++depth;
            ++i;
        } else if (c == '}') {
            ++i;
            if (--depth == 0) {
                for (std::size_t k = 0; k < kMaxLineEnd && i < n && (d[i] == '\r' || d[i] == '\n');
                     ++k)
                    ++i;
                return extent_at(i, n);
            }
        } else if (c == '\\') {
            if (i + 1 < n && (d[i + 1] == '{' || d[i + 1] == '}' || d[i + 1] == '\\')) {
                i += 2;
            } else if (matches(d, i, "\\bin") && i + 4 < n &&
                       (d[i + 4] == '-' || is_digit(d[i + 4]))) {
                std::size_t j = i + 4;
                const bool negative = d[j] == '-';
                if (negative) ++j;
                if (j >= n || !is_digit(d[j])) {
                    i = j;  // "\bin-" without digits: an ordinary control word
                    continue;
                }
                std::uint64_t count = 0;
                // Counts past the data are cut off early: they end the same way.
                for (; j < n && is_digit(d[j]); ++j)
                    if (count <= n) count = count * 10 + (d[j] - '0');
                if (j < n && d[j] == ' ') ++j;
                if (negative) count = 0;
                if (count > n - j) return 0;
                i = j + std::size_t(count);
            } else {
                ++i;
            }
        } else if (c == 0) {
            return 0;
        } else {
            ++i;
        }
    }
    return 0;
}

}  // namespace lk
