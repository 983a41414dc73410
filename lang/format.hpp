// printf-style formatting with the message catalogue's conversions, type-safe.
//
// The message texts are keys of the language files, so they keep the
// conversions they were written with ("%Lu", "%hs", "%LX", "%lX"...). Rather
// than feed them to vsnprintf with matching C types, arguments are captured
// by value with their width and signedness and the format is interpreted
// here: length modifiers are accepted and ignored, the argument decides.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace lk {

class FmtArg {
public:
    enum class Kind { Signed, Unsigned, Floating, Text };

    template <std::integral T>
    FmtArg(T v)  // NOLINT(google-explicit-constructor)
        : kind_(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned), bits_(sizeof(T) * 8) {
        if constexpr (std::is_same_v<T, bool>)
            u_ = v ? 1 : 0, kind_ = Kind::Unsigned;
        else if constexpr (std::is_signed_v<T>)
            i_ = v;
        else
            u_ = v;
    }
    FmtArg(double v) : kind_(Kind::Floating), bits_(64), d_(v) {}  // NOLINT
    FmtArg(const char* s) : kind_(Kind::Text), bits_(0), s_(s ? s : "(null)") {}  // NOLINT
    FmtArg(std::string_view s) : kind_(Kind::Text), bits_(0), s_(s) {}            // NOLINT
    FmtArg(const std::string& s) : kind_(Kind::Text), bits_(0), s_(s) {}          // NOLINT

    Kind kind() const { return kind_; }
    // The value as a signed 64-bit number (text and floating values convert).
    std::int64_t as_signed() const;
    // The value as an unsigned number of the argument's own width, as C
    // would print a negative int with %u or %X.
    std::uint64_t as_unsigned() const;
    double as_double() const;
    std::string_view text() const { return s_; }

private:
    Kind kind_;
    unsigned bits_;
    std::int64_t i_ = 0;
    std::uint64_t u_ = 0;
    double d_ = 0;
    std::string_view s_;
};

// Formats like printf. Conversions: d i u x X o c s % (and e f g for
// floating values); flags "-+ 0#", width, precision ("*" is not supported).
// Missing arguments format as nothing; extra arguments are ignored.
std::string vformat(std::string_view fmt, std::initializer_list<FmtArg> args);

template <class... A>
std::string format(std::string_view fmt, const A&... a) {
    return vformat(fmt, {FmtArg(a)...});
}

// Formats and cuts the result to capacity - 1 characters, as a formatter with
// a fixed buffer of that capacity would.
template <class... A>
std::string format_cut(std::size_t capacity, std::string_view fmt, const A&... a) {
    std::string s = vformat(fmt, {FmtArg(a)...});
    if (capacity > 0 && s.size() > capacity - 1) s.resize(capacity - 1);
    return s;
}

}  // namespace lk
