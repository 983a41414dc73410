// Bounds-checked little- and big-endian reads over card and file bytes.
//
// Card bytes are never cast to structs: every field is read through these
// helpers, which fail (std::nullopt, or a sticky error flag in ByteReader)
// instead of reading past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace lk {

using Bytes = std::span<const std::uint8_t>;

// True when n bytes starting at off lie inside d (no overflow for any inputs).
constexpr bool has(Bytes d, std::size_t off, std::size_t n) {
    return off <= d.size() && n <= d.size() - off;
}

// Raw loads for callers that have already checked the bounds.
constexpr std::uint16_t load_le16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
constexpr std::uint16_t load_be16(const std::uint8_t* p) { return std::uint16_t(p[0] << 8 | p[1]); }
constexpr std::uint32_t load_le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
constexpr std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}
constexpr std::uint64_t load_le64(const std::uint8_t* p) {
    return std::uint64_t(load_le32(p)) | std::uint64_t(load_le32(p + 4)) << 32;
}
constexpr std::uint64_t load_be64(const std::uint8_t* p) {
    return std::uint64_t(load_be32(p)) << 32 | std::uint64_t(load_be32(p + 4));
}

inline void store_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void store_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = std::uint8_t(v >> (8 * i));
}

inline std::optional<std::uint8_t> u8(Bytes d, std::size_t off) {
    if (off >= d.size()) return std::nullopt;
    return d[off];
}
inline std::optional<std::uint16_t> le16(Bytes d, std::size_t off) {
    if (!has(d, off, 2)) return std::nullopt;
    return load_le16(d.data() + off);
}
inline std::optional<std::uint16_t> be16(Bytes d, std::size_t off) {
    if (!has(d, off, 2)) return std::nullopt;
    return load_be16(d.data() + off);
}
inline std::optional<std::uint32_t> le32(Bytes d, std::size_t off) {
    if (!has(d, off, 4)) return std::nullopt;
    return load_le32(d.data() + off);
}
inline std::optional<std::uint32_t> be32(Bytes d, std::size_t off) {
    if (!has(d, off, 4)) return std::nullopt;
    return load_be32(d.data() + off);
}
inline std::optional<std::uint64_t> le64(Bytes d, std::size_t off) {
    if (!has(d, off, 8)) return std::nullopt;
    return load_le64(d.data() + off);
}
inline std::optional<std::uint64_t> be64(Bytes d, std::size_t off) {
    if (!has(d, off, 8)) return std::nullopt;
    return load_be64(d.data() + off);
}
// 16- and 32-bit reads in a byte order chosen at run time (TIFF "II"/"MM").
inline std::optional<std::uint16_t> rd16(Bytes d, std::size_t off, bool big_endian) {
    return big_endian ? be16(d, off) : le16(d, off);
}
inline std::optional<std::uint32_t> rd32(Bytes d, std::size_t off, bool big_endian) {
    return big_endian ? be32(d, off) : le32(d, off);
}

// True when the bytes at off equal `text` (the text's terminator excluded).
// The first byte is compared before the rest: header tests are made at
// every sector of a card, and almost all of them fail on it.
inline bool matches(Bytes d, std::size_t off, std::string_view text) {
    return has(d, off, text.size()) && (text.empty() || d[off] == static_cast<std::uint8_t>(text[0])) &&
           std::memcmp(d.data() + off, text.data(), text.size()) == 0;
}
inline bool matches(Bytes d, std::size_t off, std::span<const std::uint8_t> bytes) {
    return has(d, off, bytes.size()) && (bytes.empty() || d[off] == bytes[0]) &&
           std::memcmp(d.data() + off, bytes.data(), bytes.size()) == 0;
}

// A cursor over a span. A failed read sets a sticky error flag and yields 0,
// so a parser can read a header field by field and test ok() once.
class ByteReader {
public:
    explicit ByteReader(Bytes data, std::size_t pos = 0, bool big_endian = false)
        : d_(data), pos_(pos), big_(big_endian), ok_(pos <= data.size()) {}

    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return pos_ <= d_.size() ? d_.size() - pos_ : 0; }
    void set_big_endian(bool big) { big_ = big; }

    bool seek(std::size_t pos) {
        if (pos > d_.size()) return ok_ = false;
        pos_ = pos;
        return true;
    }
    bool skip(std::size_t n) {
        if (!has(d_, pos_, n)) return ok_ = false;
        pos_ += n;
        return true;
    }
    std::uint8_t u8() { return take<1>() ? d_[pos_ - 1] : 0; }
    std::uint16_t u16() {
        if (!take<2>()) return 0;
        const std::uint8_t* p = d_.data() + pos_ - 2;
        return big_ ? load_be16(p) : load_le16(p);
    }
    std::uint32_t u32() {
        if (!take<4>()) return 0;
        const std::uint8_t* p = d_.data() + pos_ - 4;
        return big_ ? load_be32(p) : load_le32(p);
    }
    std::uint64_t u64() {
        if (!take<8>()) return 0;
        const std::uint8_t* p = d_.data() + pos_ - 8;
        return big_ ? load_be64(p) : load_le64(p);
    }
    // n bytes as a sub-span; empty (and failed) when they are not there.
    Bytes bytes(std::size_t n) {
        if (!has(d_, pos_, n)) {
            ok_ = false;
            return {};
        }
        pos_ += n;
        return d_.subspan(pos_ - n, n);
    }

private:
    template <std::size_t N>
    bool take() {
        if (!ok_ || !has(d_, pos_, N)) return ok_ = false;
        pos_ += N;
        return true;
    }

    Bytes d_;
    std::size_t pos_;
    bool big_;
    bool ok_;
};

}  // namespace lk
