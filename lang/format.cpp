#include "lang/format.hpp"

#include <cstdio>
#include <vector>

namespace lk {

std::int64_t FmtArg::as_signed() const {
    switch (kind_) {
        case Kind::Signed: return i_;
        case Kind::Unsigned: return static_cast<std::int64_t>(u_);
        case Kind::Floating: return static_cast<std::int64_t>(d_);
        case Kind::Text: return 0;
    }
    return 0;
}

std::uint64_t FmtArg::as_unsigned() const {
    switch (kind_) {
        case Kind::Signed:
            if (bits_ < 64) return static_cast<std::uint64_t>(i_) & ((std::uint64_t{1} << bits_) - 1);
            return static_cast<std::uint64_t>(i_);
        case Kind::Unsigned: return u_;
        case Kind::Floating: return static_cast<std::uint64_t>(d_);
        case Kind::Text: return 0;
    }
    return 0;
}

double FmtArg::as_double() const {
    switch (kind_) {
        case Kind::Signed: return static_cast<double>(i_);
        case Kind::Unsigned: return static_cast<double>(u_);
        case Kind::Floating: return d_;
        case Kind::Text: return 0;
    }
    return 0;
}

namespace {

// Applies width, left adjustment and zero padding to an already converted
// number or text. `sign` is "-", "+", " " or empty; `prefix` is "0x" etc.
void pad(std::string& out, std::string_view sign, std::string_view prefix, std::string_view body,
         int width, bool left, bool zero) {
    std::size_t len = sign.size() + prefix.size() + body.size();
    std::size_t fill = width > 0 && static_cast<std::size_t>(width) > len ? width - len : 0;
    if (left) {
        out.append(sign).append(prefix).append(body).append(fill, ' ');
    } else if (zero) {
        out.append(sign).append(prefix).append(fill, '0').append(body);
    } else {
        out.append(fill, ' ').append(sign).append(prefix).append(body);
    }
}

std::string digits(std::uint64_t v, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buf[24];
    int n = 0;
    do {
        buf[n++] = set[v % base];
        v /= base;
    } while (v != 0);
    std::string s;
    s.reserve(n);
    while (n > 0) s.push_back(buf[--n]);
    return s;
}

}  // namespace

std::string vformat(std::string_view fmt, std::initializer_list<FmtArg> args) {
    std::string out;
    out.reserve(fmt.size() + 16);
    auto next = args.begin();
    std::size_t i = 0;
    while (i < fmt.size()) {
        char ch = fmt[i++];
        if (ch != '%') {
            out.push_back(ch);
            continue;
        }
        if (i < fmt.size() && fmt[i] == '%') {
            out.push_back('%');
            ++i;
            continue;
        }
        bool left = false, plus = false, space = false, zero = false, alt = false;
        for (; i < fmt.size(); ++i) {
            char f = fmt[i];
            if (f == '-') left = true;
            else if (f == '+') plus = true;
            else if (f == ' ') space = true;
            else if (f == '0') zero = true;
            else if (f == '#') alt = true;
            else break;
        }
        int width = 0;
        while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') width = width * 10 + (fmt[i++] - '0');
        int precision = -1;
        if (i < fmt.size() && fmt[i] == '.') {
            ++i;
            precision = 0;
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9')
                precision = precision * 10 + (fmt[i++] - '0');
        }
        // Length modifiers of any C library dialect: the argument knows its size.
        while (i < fmt.size() && (fmt[i] == 'h' || fmt[i] == 'l' || fmt[i] == 'L' || fmt[i] == 'q' ||
                                  fmt[i] == 'j' || fmt[i] == 'z' || fmt[i] == 't'))
            ++i;
        if (fmt.substr(i, 3) == "I64") i += 3;
        if (i >= fmt.size()) break;
        char conv = fmt[i++];
        const FmtArg* arg = next != args.end() ? &*next++ : nullptr;
        if (!arg) continue;
        switch (conv) {
            case 'd':
            case 'i': {
                std::int64_t v = arg->as_signed();
                std::uint64_t mag = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                std::string body = digits(mag, 10, false);
                if (precision >= 0 && body.size() < static_cast<std::size_t>(precision))
                    body.insert(0, precision - body.size(), '0');
                std::string_view sign = v < 0 ? "-" : plus ? "+" : space ? " " : "";
                pad(out, sign, "", body, width, left, zero && precision < 0);
                break;
            }
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
                std::uint64_t v = arg->as_unsigned();
                std::string body = digits(v, base, conv == 'X');
                if (precision >= 0 && body.size() < static_cast<std::size_t>(precision))
                    body.insert(0, precision - body.size(), '0');
                std::string_view prefix = alt && v != 0 && base == 16 ? (conv == 'X' ? "0X" : "0x")
                                          : alt && base == 8      ? "0"
                                                                  : "";
                pad(out, "", prefix, body, width, left, zero && precision < 0);
                break;
            }
            case 'c': {
                char c = static_cast<char>(arg->as_unsigned());
                pad(out, "", "", std::string_view(&c, 1), width, left, false);
                break;
            }
            case 's': {
                std::string_view s = arg->kind() == FmtArg::Kind::Text ? arg->text() : std::string_view{};
                // A text argument stops at an embedded terminator, as in C.
                if (auto nul = s.find('\0'); nul != std::string_view::npos) s = s.substr(0, nul);
                if (precision >= 0 && s.size() > static_cast<std::size_t>(precision)) s = s.substr(0, precision);
                pad(out, "", "", s, width, left, false);
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G': {
                std::string conversion = "%";
                if (left) conversion += '-';
                if (plus) conversion += '+';
                if (space) conversion += ' ';
                if (zero) conversion += '0';
                if (alt) conversion += '#';
                if (width > 0) conversion += std::to_string(width);
                if (precision >= 0) {
                    conversion += '.';
                    conversion += std::to_string(precision);
                }
                conversion += conv;
                char buf[512];
                std::snprintf(buf, sizeof buf, conversion.c_str(), arg->as_double());
                out += buf;
                break;
            }
            default:
                // Unknown conversion: keep it visible rather than guess.
                out.push_back('%');
                out.push_back(conv);
                break;
        }
    }
    return out;
}

}  // namespace lk
