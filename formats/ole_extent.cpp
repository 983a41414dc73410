// OLE2 compound document extent: the file ends with the last sector its FAT
// marks as in use.
//
// Header (sector -1; all numbers little-endian):
//   offset | size    | meaning
//   26     | 2       | major version: 3 (512-byte sectors) or 4 (4,096)
//   28     | 2       | byte order mark FE FF
//   30     | 2       | sector shift: 9 or 12
//   32     | 2       | mini sector shift: 6
//   44     | 4       | number of FAT sectors nF
//   68     | 4       | first DIFAT sector
//   72     | 4       | number of DIFAT sectors
//   76     | 109 x 4 | the first 109 FAT sector numbers
// Sector n starts at byte (n + 1) x S. Each DIFAT sector holds S / 4 - 1 more
// FAT sector numbers and, in its last four bytes, the next DIFAT sector.
//
// Every sector in use is marked in the FAT: stream and directory sectors by
// their chains, FAT sectors by FFFFFFFD, DIFAT sectors by FFFFFFFC, the mini
// stream as an ordinary chain. Free sectors (FFFFFFFF) left at the end by a
// deleted stream hold no document data and fall outside the size.
#include <unordered_set>
#include <vector>

#include "formats/extent.hpp"
#include "formats/office.hpp"

namespace lk {
namespace {

constexpr std::uint32_t kFree = 0xFFFFFFFF;
// FAT sector numbers from here up are the special marks (FFFFFFFA .. FFFFFFFF).
constexpr std::uint32_t kFirstSpecial = 0xFFFFFFFA;
constexpr std::size_t kHeaderFatSectors = 109;

}  // namespace

std::int32_t ole2_extent(Bytes d) {
    if (!matches(d, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1")) return -1;
    if (!has(d, 0, 76 + 4 * kHeaderFatSectors)) return 0;
    const std::uint16_t version = load_le16(d.data() + 26);
    const std::uint16_t shift = load_le16(d.data() + 30);
    if (load_le16(d.data() + 28) != 0xFFFE || load_le16(d.data() + 32) != 6) return -1;
    if (!((version == 3 && shift == 9) || (version == 4 && shift == 12))) return -1;
    const std::uint32_t fat_count = load_le32(d.data() + 44);
    if (fat_count == 0) return -1;
    const std::uint64_t sector = std::uint64_t(1) << shift;
    // The header and nF distinct FAT sectors: a shorter buffer cannot hold the
    // file (and the list below stays as small as the data).
    if ((std::uint64_t(fat_count) + 1) * sector > d.size()) return 0;
    auto sector_inside = [&](std::uint32_t n) {
        return (std::uint64_t(n) + 2) * sector <= d.size();
    };

    std::vector<std::uint32_t> fat;
    fat.reserve(fat_count);
    for (std::size_t i = 0; i < kHeaderFatSectors && fat.size() < fat_count; ++i) {
        const std::uint32_t n = load_le32(d.data() + 76 + 4 * i);
        if (n >= kFirstSpecial) return -1;
        fat.push_back(n);
    }
    // Beyond 109 FAT sectors the list goes on in the DIFAT chain.
    std::uint32_t difat = load_le32(d.data() + 68);
    std::uint32_t difat_left = load_le32(d.data() + 72);
    std::unordered_set<std::uint32_t> seen;
    const std::size_t per_difat = std::size_t(sector / 4 - 1);
    while (fat.size() < fat_count) {
        if (difat >= kFirstSpecial || difat_left == 0 || !seen.insert(difat).second) return -1;
        if (!sector_inside(difat)) return 0;
        --difat_left;
        const std::uint8_t* s = d.data() + (std::uint64_t(difat) + 1) * sector;
        for (std::size_t i = 0; i < per_difat && fat.size() < fat_count; ++i) {
            const std::uint32_t n = load_le32(s + 4 * i);
            if (n >= kFirstSpecial) return -1;
            fat.push_back(n);
        }
        difat = load_le32(s + 4 * per_difat);
    }

    for (std::uint32_t n : fat)
        if (!sector_inside(n)) return 0;
    // The highest sector whose FAT entry is not free.
    const std::uint64_t per_fat = sector / 4;
    for (std::size_t k = fat.size(); k-- > 0;) {
        const std::uint8_t* s = d.data() + (std::uint64_t(fat[k]) + 1) * sector;
        for (std::uint64_t i = per_fat; i-- > 0;) {
            if (load_le32(s + 4 * i) == kFree) continue;
            const std::uint64_t highest = k * per_fat + i;
            return extent_at((highest + 2) * sector, d.size());
        }
    }
    return -1;
}

}  // namespace lk
