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

#include "base/byte_scan.hpp"
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

// The payload length of the marker with this code, whose length bytes (if
// any) start at p; p moves past them. kInvalid for codes that are not
// markers and for a length that is not within the data.
bool stands_alone(std::uint8_t code) {
    return code == 0x01 || (code >= 0xD0 && code <= 0xD9);
}

bool is_marker_code(std::uint8_t code) {
    return !(code == 0x00 || (code >= 0x02 && code <= 0xBF) || (code >= 0xF1 && code <= 0xFC) || code == 0xFF);
}

std::int64_t payload_length(Bytes d, std::uint8_t code, std::size_t& p) {
    if (stands_alone(code)) return 0;
    if (!is_marker_code(code)) return kInvalid;
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
    JpegExtentWalk walk;
    walk.feed(data);
    return walk.result();
}

bool JpegExtentWalk::settle(std::int64_t result) {
    settled_ = true;
    result_ = static_cast<std::int32_t>(result);
    return false;
}

// The walk of jpeg_extent, one step per marker part, so that it can stop at
// the end of any piece and go on with the next: a marker's 0xFF, its code,
// the two length bytes, the payload, then the search for the next marker
// (in which a 0xFF ending a piece waits for the byte that follows it).
bool JpegExtentWalk::feed(Bytes chunk, JpegMarkerHints hints) {
    if (settled_) return false;
    constexpr std::uint64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (pos_ >= kMax) return true;
    const Bytes d = chunk.size() > kMax - pos_ ? chunk.first(static_cast<std::size_t>(kMax - pos_)) : chunk;
    const std::uint8_t* base = d.data();
    const std::size_t n = d.size();
    std::size_t i = 0;
    std::size_t hint = 0;  // the first of the hints not behind i
    while (i < n) {
        switch (step_) {
            case Step::Marker:
                ++pos_;
                if (base[i++] != 0xFF) return settle(kInvalid);
                step_ = Step::Code;
                break;
            case Step::Code: {
                code_ = base[i++];
                ++pos_;
                if (stands_alone(code_)) {
                    // An EOI straight after APP1 does not end the file.
                    if (code_ == kEndOfImage && previous_ != kApp1) return settle(static_cast<std::int64_t>(pos_));
                    previous_ = code_;
                    step_ = Step::Scan;
                } else if (!is_marker_code(code_)) {
                    return settle(0);
                } else {
                    step_ = Step::LengthHigh;
                }
                break;
            }
            case Step::LengthHigh:
                length_ = std::uint32_t(base[i++]) << 8;
                ++pos_;
                step_ = Step::LengthLow;
                break;
            case Step::LengthLow: {
                length_ |= base[i++];
                ++pos_;
                const std::int64_t payload = std::int64_t(length_) - 2;
                // A length field of 0 is as impossible as a huge segment.
                if (payload != kInvalid && static_cast<std::uint32_t>(payload) > kJpegLimit) return settle(kInvalid);
                if (payload < 0) return settle(0);
                skip_ = static_cast<std::uint64_t>(payload);
                step_ = Step::Payload;
                break;
            }
            case Step::Payload: {
                const std::uint64_t take = std::min<std::uint64_t>(skip_, n - i);
                i += static_cast<std::size_t>(take);
                pos_ += take;
                skip_ -= take;
                if (skip_ == 0) {
                    previous_ = code_;
                    step_ = Step::Scan;
                }
                break;
            }
            case Step::Scan: {
                // As next_marker: stuffed zeros are data, and of a run of
                // 0xFF bytes only the last can begin a marker. The search
                // passes over FF 00 pairs; it stops at an FF before another
                // byte, or at the last byte, whose follower is not here.
                std::size_t at;
                if (hints.complete) {
                    // As find_pair answers: the last byte is never a stop here.
                    while (hint < hints.count && hints.at[hint] < i) ++hint;
                    at = hint < hints.count && hints.at[hint] + 1 < n ? hints.at[hint] : std::max(i, n - 1);
                } else {
                    at = find_pair(base, i, n, kJpegMarkerStop);
                }
                pos_ += at - i;
                i = at;
                if (base[i] != 0xFF) {
                    ++i;
                    ++pos_;
                } else if (i + 1 == n) {
                    ++i;
                    ++pos_;
                    step_ = Step::ScanFF;
                } else if (base[i + 1] == 0xFF) {
                    ++i;
                    ++pos_;
                } else {
                    step_ = Step::Marker;
                }
                break;
            }
            case Step::ScanFF:
                // The byte after a 0xFF that ended the previous piece.
                if (base[i] == 0x00) {
                    ++i;
                    ++pos_;
                    step_ = Step::Scan;
                } else if (base[i] == 0xFF) {
                    ++i;
                    ++pos_;
                } else {
                    step_ = Step::Code;
                }
                break;
        }
    }
    return true;
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
