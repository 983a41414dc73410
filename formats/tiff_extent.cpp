// TIFF and TIFF-based camera raw extent (NEF, CR2, ARW, DNG, PEF, KDC, RW2,
// ORF...): the largest end of anything the directories point at.
//
// Ends counted, for every directory reached (the first, each one's next,
// and those held by SubIFDs 014A, EXIF 8769, GPS 8825 and interoperability
// A005):
// - the directory itself: offset + 2 + 12 x entries + 4;
// - every value too large for its entry's four bytes: offset + count x size;
// - image data: StripOffsets 0111 with StripByteCounts 0117, TileOffsets
//   0144 with TileByteCounts 0145, JPEGInterchangeFormat 0201 with its
//   length 0202, element by element. Panasonic files (magic 85) write
//   FFFFFFFF as the strip offset and give the raw data's place in
//   RawDataOffset 0118.
// Maker notes are not followed: their values lie inside the EXIF block.
#include <algorithm>
#include <optional>
#include <set>
#include <vector>

#include "formats/extent.hpp"
#include "formats/tiff.hpp"

namespace lk {
namespace {

constexpr std::uint16_t kStripOffsets = 0x0111;
constexpr std::uint16_t kStripByteCounts = 0x0117;
constexpr std::uint16_t kRawDataOffset = 0x0118;
constexpr std::uint16_t kTileOffsets = 0x0144;
constexpr std::uint16_t kTileByteCounts = 0x0145;
constexpr std::uint16_t kJpegOffset = 0x0201;
constexpr std::uint16_t kJpegLength = 0x0202;

constexpr std::size_t kMaxDirectories = 1024;
// Entries and array elements one walk reads: real files stay far below, and
// crafted directories pointing into one another cannot make a walk quadratic.
constexpr std::uint64_t kMaxReads = 1u << 22;

// Bytes per value, counting a directory offset (type 13) as four.
std::uint64_t value_size(std::uint16_t type) {
    if (type == 13) return 4;
    if (type == 0 || type > 12) return 0;  // types this walk does not know are not counted
    return tiff_value_size(type);
}

struct Entry {
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint64_t place = 0;  // where the values are: inside the entry or at its offset
    bool present = false;
};

class Walk {
  public:
    Walk(Bytes d, bool big, bool panasonic) : d_(d), big_(big), panasonic_(panasonic) {}

    // The largest end, or 0 when something lies past the data or the walk
    // goes beyond its bounds.
    std::uint64_t run(std::uint32_t first) {
        std::vector<std::uint32_t> pending{first};
        while (!pending.empty()) {
            const std::uint32_t dir = pending.back();
            pending.pop_back();
            if (dir == 0 || !seen_.insert(dir).second) continue;
            if (seen_.size() > kMaxDirectories || !directory(dir, pending)) return 0;
        }
        return end_;
    }

  private:
    bool reach(std::uint64_t end) {
        if (end > d_.size()) return false;
        end_ = std::max(end_, end);
        return true;
    }

    std::optional<std::uint32_t> element(const Entry& e, std::uint64_t i) {
        if (++reads_ > kMaxReads) return std::nullopt;
        if (e.type == 3) return rd16(d_, std::size_t(e.place + 2 * i), big_);
        return rd32(d_, std::size_t(e.place + 4 * i), big_);
    }

    // Data blocks at offsets[i] of counts[i] bytes (SHORT or LONG lists).
    bool blocks(const Entry& offsets, const Entry& counts,
                std::optional<std::uint32_t> raw_offset) {
        if (!offsets.present || !counts.present) return true;
        const auto usable = [](const Entry& e) { return e.type == 3 || e.type == 4; };
        if (!usable(offsets) || !usable(counts)) return true;
        const std::uint64_t n = std::min(offsets.count, counts.count);
        for (std::uint64_t i = 0; i < n; ++i) {
            auto off = element(offsets, i);
            auto len = element(counts, i);
            if (!off || !len) return false;
            std::uint64_t at = *off;
            if (panasonic_ && *off == 0xFFFFFFFF && raw_offset) at = *raw_offset;
            if (!reach(at + *len)) return false;
        }
        return true;
    }

    bool directory(std::uint32_t dir, std::vector<std::uint32_t>& pending) {
        const auto count = rd16(d_, dir, big_);
        if (!count) return false;
        if (!reach(std::uint64_t(dir) + 2 + 12ull * *count + 4)) return false;
        Entry strips, strip_counts, tiles, tile_counts, jpeg, jpeg_length;
        std::optional<std::uint32_t> raw_offset;
        for (std::uint32_t k = 0; k < *count; ++k) {
            if (++reads_ > kMaxReads) return false;
            const std::uint64_t at = std::uint64_t(dir) + 2 + 12ull * k;
            const std::uint8_t* p = d_.data() + at;
            const std::uint16_t tag = big_ ? load_be16(p) : load_le16(p);
            Entry e;
            e.type = big_ ? load_be16(p + 2) : load_le16(p + 2);
            e.count = big_ ? load_be32(p + 4) : load_le32(p + 4);
            const std::uint32_t value = big_ ? load_be32(p + 8) : load_le32(p + 8);
            e.present = true;
            const std::uint64_t bytes = value_size(e.type) * e.count;
            e.place = bytes <= 4 ? at + 8 : value;
            if (bytes > 4 && !reach(std::uint64_t(value) + bytes)) return false;

            switch (tag) {
                case kStripOffsets:
                    strips = e;
                    break;
                case kStripByteCounts:
                    strip_counts = e;
                    break;
                case kTileOffsets:
                    tiles = e;
                    break;
                case kTileByteCounts:
                    tile_counts = e;
                    break;
                case kJpegOffset:
                    jpeg = e;
                    break;
                case kJpegLength:
                    jpeg_length = e;
                    break;
                case kRawDataOffset:
                    raw_offset = value;
                    break;
                case kExifIfd:
                case kGpsIfd:
                case kInteropIfd:
                    pending.push_back(value);
                    break;
                case kSubIfds:
                    if (e.type == 4 || e.type == 13)
                        for (std::uint64_t i = 0; i < e.count; ++i) {
                            auto sub = element(Entry{4, e.count, e.place, true}, i);
                            if (!sub) return false;
                            pending.push_back(*sub);
                        }
                    break;
                default:
                    break;
            }
        }
        const auto next = rd32(d_, std::size_t(dir) + 2 + 12u * *count, big_);
        if (!next) return false;
        pending.push_back(*next);
        return blocks(strips, strip_counts, raw_offset) &&
               blocks(tiles, tile_counts, std::nullopt) && blocks(jpeg, jpeg_length, std::nullopt);
    }

    Bytes d_;
    bool big_;
    bool panasonic_;
    std::set<std::uint32_t> seen_;
    std::uint64_t end_ = 8;  // the header
    std::uint64_t reads_ = 0;
};

}  // namespace

std::int32_t tiff_extent(Bytes d) {
    if (!is_tiff_header(d)) return -1;
    const bool big = d[0] == 'M';
    const std::uint16_t magic = big ? load_be16(d.data() + 2) : load_le16(d.data() + 2);
    Walk walk(d, big, magic == 85);
    return extent_at(walk.run(big ? load_be32(d.data() + 4) : load_le32(d.data() + 4)), d.size());
}

}  // namespace lk
