// MP3 extent: an ID3v2 tag, MPEG audio frames, and an optional ID3v1 tag.
//
// ID3v2 header:
//   offset | size | meaning
//   0      | 3    | "ID3"
//   3      | 1    | major version (4: a 10-byte footer may follow the tag)
//   5      | 1    | flags (0x10: footer present)
//   6      | 4    | tag size without the header, 7 bits per byte, high first
// Frame header (32 bits, big-endian): 11 sync bits, version (2), layer (2),
// protection (1), bitrate index (4), sample-rate index (2), padding (1), ...
// The frames run until something else follows; a 128-byte "TAG" block may end
// the file.
#include "formats/extent.hpp"
#include "formats/sound.hpp"

namespace lk {
namespace {

struct FrameHeader {
    unsigned version;  // 3 MPEG 1, 2 MPEG 2, 0 MPEG 2.5
    unsigned layer;    // 3 Layer I, 2 Layer II, 1 Layer III (as coded)
    unsigned rate_index;
    std::uint32_t length;
};

// kbit/s by bitrate index 1..14.
constexpr std::uint16_t kBitrates[5][14] = {
    {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG 1 Layer I
    {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG 1 Layer II
    {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG 1 Layer III
    {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG 2/2.5 Layer I
    {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},  // MPEG 2/2.5 Layers II, III
};
constexpr std::uint32_t kSampleRates[3] = {44100, 48000, 32000};  // MPEG 1; halved, quartered

bool parse_frame(Bytes d, std::uint64_t p, FrameHeader& f) {
    const auto h = be32(d, p);
    if (!h || (*h & 0xFFE00000u) != 0xFFE00000u) return false;
    f.version = (*h >> 19) & 3;
    f.layer = (*h >> 17) & 3;
    const unsigned bitrate = (*h >> 12) & 15;
    f.rate_index = (*h >> 10) & 3;
    const unsigned padding = (*h >> 9) & 1;
    // Free-format (0) and bad (15) bitrates give no length to walk by.
    if (f.version == 1 || f.layer == 0 || bitrate == 0 || bitrate == 15 || f.rate_index == 3)
        return false;
    const bool mpeg1 = f.version == 3;
    const unsigned table = mpeg1 ? 3 - f.layer : (f.layer == 3 ? 3 : 4);
    const std::uint32_t bps = kBitrates[table][bitrate - 1] * 1000u;
    const std::uint32_t rate = kSampleRates[f.rate_index] >> (mpeg1 ? 0 : f.version == 2 ? 1 : 2);
    if (f.layer == 3)
        f.length = (12 * bps / rate + padding) * 4;
    else if (f.layer == 2 || mpeg1)
        f.length = 144 * bps / rate + padding;
    else
        f.length = 72 * bps / rate + padding;
    return true;
}

// The end of the ID3v2 tag (footer included); false when a size byte has
// its high bit set.
bool id3_tag_end(Bytes d, std::uint64_t& end) {
    if (!matches(d, 0, "ID3") || !has(d, 0, 10)) return false;
    std::uint64_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (d[i] & 0x80) return false;
        size = size << 7 | d[i];
    }
    end = 10 + size;
    if (d[3] == 4 && (d[5] & 0x10)) end += 10;
    return true;
}

}  // namespace

bool is_id3_tagged_flac(Bytes d) {
    std::uint64_t tag_end = 0;
    return id3_tag_end(d, tag_end) && matches(d, tag_end, "fLaC");
}

std::int32_t mp3_extent(Bytes d) {
    if (!matches(d, 0, "ID3")) return -1;
    if (!has(d, 0, 10)) return 0;
    std::uint64_t p = 0;
    if (!id3_tag_end(d, p)) return -1;
    // Some tools tag FLAC files with ID3v2.
    if (matches(d, p, "fLaC")) {
        const std::int32_t flac = flac_extent(d.subspan(std::size_t(p)));
        return flac > 0 ? extent_at(p + std::uint64_t(flac), d.size()) : flac;
    }
    if (!has(d, p, 4)) return 0;
    FrameHeader first{};
    if (!parse_frame(d, p, first)) return -1;
    FrameHeader f{};
    while (p < d.size() && parse_frame(d, p, f) && f.version == first.version &&
           f.layer == first.layer && f.rate_index == first.rate_index) {
        p += f.length;
        if (p > d.size()) return 0;
    }
    if (matches(d, p, "TAG") && p + 128 <= d.size()) p += 128;
    return extent_at(p, d.size());
}

}  // namespace lk
