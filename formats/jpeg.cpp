// JPEG extent by marker walk, and the small EXIF services built on it.
//
// A JPEG is a run of markers, 0xFF then a code. Codes 0x01 and 0xD0..0xD9
// stand alone; 0x00, 0x02..0xBF, 0xF1..0xFC and 0xFF are not markers; every
// other code is followed by a 16-bit big-endian length that counts itself.
// Between segments (after a start-of-scan: the entropy-coded data) the walk
// resynchronises on the next 0xFF that is followed by a marker code.
//
// EXIF: the first APP1 (0xE1) segment's payload starts "Exif\0\0"; the TIFF
// structure follows, and EXIF offsets count from its start (payload + 6).
#include "formats/jpeg.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

#include "formats/identify.hpp"
#include "formats/tiff.hpp"

namespace lk {
namespace {

constexpr std::uint8_t kApp1 = 0xE1;
constexpr std::uint8_t kEndOfImage = 0xD9;
constexpr std::int64_t kInvalid = -1;

// max_file_size("JPG"): JPEGs are never measured against the movie limit.
constexpr std::uint32_t kJpegLimit = 21'504'000;

constexpr std::string_view kExifId{"Exif\0", 5};

Bytes measurable(Bytes d) {
    constexpr std::size_t kMax = std::numeric_limits<std::int32_t>::max();
    return d.size() > kMax ? d.first(kMax) : d;
}

// The payload length of the marker with this code, whose length bytes (if
// any) start at p; p moves past them. kInvalid for codes that are not
// markers and for a length that is not within the data.
std::int64_t payload_length(Bytes d, std::uint8_t code, std::size_t& p) {
    if (code == 0x01 || (code >= 0xD0 && code <= 0xD9)) return 0;
    if (code == 0x00 || (code >= 0x02 && code <= 0xBF) || (code >= 0xF1 && code <= 0xFC) ||
        code == 0xFF)
        return kInvalid;
    auto length = be16(d, p);
    if (!length) return kInvalid;
    p += 2;
    return std::int64_t(*length) - 2;
}

// The position of the next marker's 0xFF at or after p, or d.size(). Stuffed
// zero bytes (FF 00) are data. A 0xFF followed by another 0xFF is a fill byte
// that may precede a marker: only the first is stepped over, so that an odd
// run of fill bytes cannot swallow the marker's 0xFF.
std::size_t next_marker(Bytes d, std::size_t p) {
    const std::uint8_t* base = d.data();
    while (p < d.size()) {
        const void* hit = std::memchr(base + p, 0xFF, d.size() - p);
        if (!hit) return d.size();
        p = std::size_t(static_cast<const std::uint8_t*>(hit) - base);
        if (p + 1 >= d.size()) return d.size();  // a trailing 0xFF is stepped over
        const std::uint8_t next = d[p + 1];
        if (next == 0x00)
            p += 2;
        else if (next == 0xFF)
            p += 1;
        else
            return p;
    }
    return d.size();
}

std::string c_text(const std::uint8_t* p, std::size_t capacity) {
    const auto* s = reinterpret_cast<const char*>(p);
    return std::string(s, std::find(s, s + capacity, '\0'));
}

}  // namespace

std::int32_t jpeg_extent(Bytes data) {
    const Bytes d = measurable(data);
    if (d.empty()) return 0;
    std::size_t p = 0;
    int previous = -1;
    for (;;) {
        if (d[p] != 0xFF) return -1;
        if (p + 1 >= d.size()) return 0;
        const std::uint8_t code = d[p + 1];
        p += 2;
        const std::int64_t n = payload_length(d, code, p);
        // A length field of 0 (n = -2) is as impossible as a huge segment.
        if (n != kInvalid && static_cast<std::uint32_t>(n) > kJpegLimit) return -1;
        // An EOI straight after APP1 does not end the file.
        if (code == kEndOfImage && previous != kApp1) return static_cast<std::int32_t>(p);
        if (n < 0 || std::uint64_t(n) > d.size() - p) return 0;
        p += std::size_t(n);
        previous = code;
        p = next_marker(d, p);
        if (p >= d.size()) return 0;
    }
}

int find_exif(Bytes d, const std::function<int(Bytes tiff)>& visitor) {
    std::size_t p = 0;
    for (;;) {
        if (p + 1 >= d.size() || d[p] != 0xFF) return 0;
        const std::uint8_t code = d[p + 1];
        p += 2;
        const std::int64_t n = payload_length(d, code, p);
        if (n < 0 || code == kEndOfImage) return 0;
        if (code == kApp1) {
            // Only the first APP1 counts, EXIF or not.
            if (n < 14 || !has(d, p, 6) || !matches(d, p, kExifId)) return 0;
            return visitor(d.subspan(p + 6));
        }
        if (std::uint64_t(n) > d.size() - p) return 0;
        p = next_marker(d, p + std::size_t(n));
    }
}

bool read_exif_date(Bytes data, std::string& text) {
    // DateTime, DateTimeOriginal, DateTimeDigitized share one text buffer;
    // whichever the walk meets first fills it and ends the walk.
    std::array<std::uint8_t, 1024> buffer{};
    TagRequest requests[] = {
        {0x0132, buffer.data(), buffer.size()},
        {0x9003, buffer.data(), buffer.size()},
        {0x9004, buffer.data(), buffer.size()},
    };
    auto walk = [&](Bytes tiff) { return read_tiff_tags(tiff, requests, 1, 1) ? 1 : 0; };
    const bool ok = is_tiff_header(data) ? walk(data) == 1 : find_exif(data, walk) == 1;
    text = ok ? c_text(buffer.data(), buffer.size()) : std::string();
    return !text.empty();
}

bool exif_is_sane(Bytes data) {
    // XResolution, YResolution, PixelXDimension, PixelYDimension: at most two
    // values each, the first not above 10,000.
    static constexpr std::uint32_t kTags[] = {0x011A, 0x011B, 0xA002, 0xA003};
    std::array<std::array<std::uint8_t, 40>, 4> values{};
    TagRequest requests[4];
    for (std::size_t i = 0; i < 4; ++i)
        requests[i] = {kTags[i], values[i].data(), values[i].size()};
    auto insane = [&](Bytes tiff) {
        // still_wanted 5 of 4 tags: the walk never stops early.
        if (!read_tiff_tags(tiff, requests, 5, 1)) return 1;
        for (std::size_t i = 0; i < 4; ++i)
            if (requests[i].delivered > 8 || load_le32(values[i].data()) > 10'000) return 1;
        return 0;
    };
    return find_exif(data, insane) == 0;
}

bool unlink_exif_thumbnail(std::span<std::uint8_t> buffer) {
    const Bytes d(buffer.data(), buffer.size());
    static constexpr std::size_t kTiff = 12;
    if (!matches(d, 0, std::string_view("\xFF\xD8\xFF\xE1")) || !matches(d, 6, kExifId))
        return false;
    if (!has(d, kTiff, 8)) return false;
    const bool big = d[kTiff] == 'M' && d[kTiff + 1] == 'M';
    const std::uint16_t magic = *rd16(d, kTiff + 2, big);
    if (magic != 42 && magic != 0x4F52 && magic != 0x5352) return false;
    const std::uint64_t first_dir = *rd32(d, kTiff + 4, big);
    if (first_dir > d.size() - 14) return false;  // d.size() >= 20 here
    const std::uint64_t entries = *rd16(d, kTiff + first_dir, big);
    const std::uint64_t link = first_dir + 2 + 12 * entries;  // from the TIFF start
    if (d.size() < 16 || link > d.size() - 16) return false;
    std::fill_n(buffer.begin() + std::ptrdiff_t(kTiff + link), 4, std::uint8_t{0});
    return true;
}

}  // namespace lk
