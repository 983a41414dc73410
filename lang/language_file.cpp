#include "lang/language_file.hpp"

#include <limits>

#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

std::u32string decode_utf16(std::span<const std::uint8_t> d, bool big_endian) {
    std::u32string out;
    out.reserve(d.size() / 2);
    auto unit = [&](std::size_t k) -> char32_t {
        const std::uint8_t a = d[2 * k], b = d[2 * k + 1];
        return big_endian ? char32_t(a) << 8 | b : char32_t(b) << 8 | a;
    };
    const std::size_t units = d.size() / 2;  // an odd last byte is no character
    for (std::size_t k = 0; k < units; ++k) {
        const char32_t u = unit(k);
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units) {
            const char32_t low = unit(k + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out += 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++k;
                continue;
            }
        }
        out += u >= 0xD800 && u <= 0xDFFF ? kReplacement : u;
    }
    return out;
}

std::u32string decode_utf8(std::span<const std::uint8_t> d) {
    std::u32string out;
    out.reserve(d.size());
    std::size_t i = 0;
    while (i < d.size()) {
        const std::uint8_t b = d[i];
        if (b < 0x80) {
            out += b;
            ++i;
            continue;
        }
        const int extra = (b & 0xE0) == 0xC0   ? 1
                          : (b & 0xF0) == 0xE0 ? 2
                          : (b & 0xF8) == 0xF0 ? 3
                                               : 0;
        if (extra == 0 || d.size() - i <= static_cast<std::size_t>(extra)) {
            out += kReplacement;
            ++i;
            continue;
        }
        char32_t cp = b & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const std::uint8_t c = d[i + static_cast<std::size_t>(k)];
            if ((c & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = cp << 6 | (c & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800,
                                              0x10000};  // overlong forms are invalid
        if (!ok || cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += kReplacement;
            ++i;
            continue;
        }
        out += cp;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

bool is_blank(char32_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t skip_blanks(std::u32string_view s, std::size_t i) {
    while (i < s.size() && is_blank(s[i])) ++i;
    return i;
}

int hex_value(char32_t c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Decodes a piece's escapes into UTF-8. "&" (a menu or button's mnemonic)
// is kept in every language, so that translated windows are reached from the
// keyboard as the English ones are. A decoded NUL ends the piece, as it ended
// the C text the format comes from.
std::string decode_piece(std::u32string_view body) {
    std::string out;
    for (std::size_t i = 0; i < body.size();) {
        char32_t c = body[i++];
        if (c == '\\') {
            if (i == body.size()) break;  // a backslash with nothing after it
            const char32_t e = body[i++];
            switch (e) {
                case 'a':
                    c = 7;
                    break;
                case 'b':
                    c = 8;
                    break;
                case 'f':
                    c = 12;
                    break;
                case 'n':
                    c = 10;
                    break;
                case 'r':
                    c = 13;
                    break;
                case 't':
                    c = 9;
                    break;
                case 'v':
                    c = 11;
                    break;
                case 'x':
                    c = 'x';  // without a hexadecimal digit it is just "x"
                    if (i < body.size() && hex_value(body[i]) >= 0) {
                        c = static_cast<char32_t>(hex_value(body[i++]));
                        if (i < body.size() && hex_value(body[i]) >= 0)
                            c = c * 16 + static_cast<char32_t>(hex_value(body[i++]));
                    }
                    break;
                default:
                    c = e;
                    if (e >= '0' && e <= '7') {
                        c = e - '0';
                        for (int k = 0;
                             k < 2 && i < body.size() && body[i] >= '0' && body[i] <= '7'; ++k)
                            c = c * 8 + (body[i++] - '0');
                    }
            }
        }
        if (c == 0) break;
        append_utf8(out, c);
    }
    return out;
}

// Finds a line's text piece from `at`: the body between the quotes and
// whether a ")" closes the message. False when the quotes are not there.
bool read_piece(std::u32string_view line, std::size_t at, std::u32string_view& body, bool& closes) {
    const std::size_t open = skip_blanks(line, at);
    if (open >= line.size() || line[open] != '"') return false;
    std::size_t last = line.size();
    while (last > open && is_blank(line[last - 1])) --last;
    if (last == 0) return false;
    --last;  // the last non-blank character
    closes = line[last] == ')';
    const std::size_t quote = closes ? last - 1 : last;
    if (quote <= open || line[quote] != '"') return false;
    body = line.substr(open + 1, quote - open - 1);
    return true;
}

// Reads "number ," after "INTS(": a decimal number, perhaps negative, within
// 32 bits and not 0, then the comma. Returns the index after the comma.
std::optional<std::size_t> read_number(std::u32string_view line, std::size_t i,
                                       std::int32_t& number) {
    i = skip_blanks(line, i);
    const bool negative = i < line.size() && line[i] == '-';
    if (negative) ++i;
    const std::size_t first = i;
    std::int64_t value = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        value = value * 10 + (line[i++] - '0');
        if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    }
    if (i == first || value == 0) return std::nullopt;
    i = skip_blanks(line, i);
    if (i >= line.size() || line[i] != ',') return std::nullopt;
    number = static_cast<std::int32_t>(negative ? -value : value);
    return i + 1;
}

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::u32string decode_language_text(std::span<const std::uint8_t> data) {
    if (data.size() >= 2 && data[0] == 0xFE && data[1] == 0xFF)
        return decode_utf16(data.subspan(2), true);
    if (data.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        return decode_utf16(data.subspan(2), false);
    // A UTF-8 marker would otherwise make the first line a syntax error, so
    // reading such files as UTF-8 changes nothing that used to load.
    if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        return decode_utf8(data.subspan(3));
    return std::u32string(data.begin(), data.end());
}

std::optional<LanguageFileError> parse_language_file(std::span<const std::uint8_t> data,
                                                     std::string_view name,
                                                     MessageMap& map) {
    const std::u32string text = decode_language_text(data);
    const std::u32string_view all(text);
    std::int32_t line_number = 0;
    std::int32_t last_number = 0;
    msg_info_t* open = nullptr;  // the message whose ")" has not come yet

    auto syntax_error = [&] {
        return LanguageFileError{format(translate("%hs, %d, (lastnum %d): syntax error"), name,
                                        line_number, last_number),
                                 line_number};
    };

    // Every line is visited once; the walk ends with the text.
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find(U'\n', start);
        if (end == std::u32string_view::npos) end = all.size();
        const std::u32string_view line = all.substr(start, end - start);
        start = end + 1;
        ++line_number;
        if (line.size() > kMaxLanguageLine) return syntax_error();

        const std::size_t first = skip_blanks(line, 0);
        if (first == line.size() || line[first] == ';') continue;

        std::size_t piece_at = first;
        std::int32_t number = 0;
        if (!open) {
            if (line.substr(first, 5) != U"INTS(") return syntax_error();
            const auto after = read_number(line, first + 5, number);
            if (!after) return syntax_error();
            last_number = number;
            if (map.count(number))
                return LanguageFileError{
                    format(translate("%hs, %d: duplicate number %d"), name, line_number, number),
                    line_number};
            piece_at = *after;
        }
        std::u32string_view body;
        bool closes = false;
        if (!read_piece(line, piece_at, body, closes)) return syntax_error();
        if (!open) {
            open = &map[number];
            open->line = line_number;
        }
        open->text += decode_piece(body);
        if (closes) open = nullptr;
    }
    return std::nullopt;
}

}  // namespace lk
