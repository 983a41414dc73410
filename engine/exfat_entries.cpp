#include "engine/exfat_entries.hpp"

#include <algorithm>
#include <cstring>

#include "engine/directories.hpp"

namespace lk {

namespace {

constexpr std::size_t kEntry = 32;

// One checksum step: rotate right by one within the width, then add.
template <class T>
T checksum_step(T value, std::uint8_t byte) {
    constexpr int top = sizeof(T) * 8 - 1;
    return static_cast<T>(((value & 1) ? T(T(1) << top) : T(0)) + (value >> 1) + byte);
}

std::uint8_t type_at(Bytes entries, std::size_t i) {
    return entries[i * kEntry];
}

}  // namespace

// ---- boot region ----

bool is_exfat_boot_sector(Bytes s) {
    if (s.size() < 512) return false;
    // Cheap byte tests first.
    static constexpr std::uint8_t kJump[3] = {0xEB, 0x76, 0x90};
    if (!matches(s, 0, Bytes(kJump)) || !matches(s, 3, "EXFAT   ") || s[510] != 0x55 ||
        s[511] != 0xAA)
        return false;
    if (std::any_of(s.begin() + 11, s.begin() + 64, [](std::uint8_t b) { return b != 0; }))
        return false;
    const int sector_shift = s[108], cluster_shift = s[109], fats = s[110];
    if (sector_shift < 9 || sector_shift > 12 || cluster_shift > 25 - sector_shift ||
        (fats != 1 && fats != 2) || s[105] != 1)
        return false;
    // The ranges, in 64-bit arithmetic: nothing here can overflow.
    const std::uint64_t sector = std::uint64_t{1} << sector_shift;
    const std::uint64_t volume_length = load_le64(s.data() + 72);
    const std::uint64_t fat_offset = load_le32(s.data() + 80);
    const std::uint64_t fat_length = load_le32(s.data() + 84);
    const std::uint64_t heap_offset = load_le32(s.data() + 88);
    const std::uint64_t cluster_count = load_le32(s.data() + 92);
    const std::uint64_t root = load_le32(s.data() + 96);
    if (volume_length < (std::uint64_t{1} << 20) / sector || fat_offset < 24) return false;
    if (fat_length < ((cluster_count + 2) * 4 + sector - 1) / sector) return false;
    if (heap_offset < fat_offset + fat_length * std::uint64_t(fats)) return false;
    if (cluster_count < 2 + std::uint64_t(fats) || cluster_count > kExfatMaxClusterCount)
        return false;
    // VolumeLength is compared, never multiplied.
    if (volume_length < heap_offset ||
        cluster_count > (volume_length - heap_offset) >> cluster_shift)
        return false;
    return root >= 2 && root <= cluster_count + 1;
}

exfat_boot_t decode_exfat_boot_sector(Bytes s) {
    exfat_boot_t b;
    if (s.size() < 512) return b;
    b.volume_length = load_le64(s.data() + 72);
    b.fat_offset = load_le32(s.data() + 80);
    b.fat_length = load_le32(s.data() + 84);
    b.cluster_heap_offset = load_le32(s.data() + 88);
    b.cluster_count = load_le32(s.data() + 92);
    b.root_cluster = load_le32(s.data() + 96);
    b.volume_flags = load_le16(s.data() + 106);
    b.sector_shift = s[108];
    b.cluster_shift = s[109];
    b.fats = s[110];
    return b;
}

std::uint32_t exfat_boot_checksum(Bytes region, std::uint32_t sector_size) {
    const std::size_t n = std::min<std::size_t>(region.size(), std::size_t{11} * sector_size);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;  // VolumeFlags, PercentInUse
        sum = checksum_step(sum, region[i]);
    }
    return sum;
}

bool exfat_region_verifies(Bytes region, std::uint32_t sector_size) {
    if (sector_size < 512 || region.size() < std::size_t{12} * sector_size) return false;
    const std::uint32_t sum = exfat_boot_checksum(region, sector_size);
    const std::size_t at = std::size_t{11} * sector_size;
    for (std::size_t k = 0; k < sector_size; k += 4)
        if (load_le32(region.data() + at + k) != sum) return false;
    return true;
}

// ---- root and up-case table ----

bool is_exfat_root_sector(Bytes s, const exfat_root_limits_t* limits, exfat_root_facts_t* facts) {
    if (s.size() < 512) return false;
    // Entries (offset | size): 0x81 Allocation Bitmap: 1 | 1 BitmapFlags
    // (bit 0: second bitmap), 20 | 4 FirstCluster, 24 | 8 DataLength.
    // 0x82 Up-case Table: 4 | 4 TableChecksum, 20 | 4 FirstCluster,
    // 24 | 8 DataLength.
    exfat_root_facts_t f;
    bool bitmap = false, second_bitmap = false, upcase = false;
    for (std::size_t i = 0; i < 16; ++i) {
        const std::uint8_t* p = s.data() + i * kEntry;
        if (p[0] == kExfatEndOfDirectory) break;
        const std::uint32_t first = load_le32(p + 20);
        const std::uint64_t length = load_le64(p + 24);
        if (p[0] == kExfatBitmapEntry && first >= 2 && length >= 1) {
            if ((p[1] & 1) == 0 && !bitmap) {
                bitmap = true;
                f.bitmap_cluster = first;
                f.bitmap_length = length;
            } else if (p[1] & 1) {
                second_bitmap = true;
            }
        } else if (p[0] == kExfatUpcaseEntry && first >= 2 && length >= 1 && length <= 131'072 &&
                   !upcase) {
            upcase = true;
            f.upcase_cluster = first;
            f.upcase_length = length;
            f.upcase_checksum = load_le32(p + 4);
        }
    }
    if (!bitmap || !upcase) return false;
    if (limits) {
        const std::uint64_t last = std::uint64_t(limits->cluster_count) + 1;
        if (f.bitmap_cluster > last || f.upcase_cluster > last) return false;
        if (f.bitmap_length < (std::uint64_t(limits->cluster_count) + 7) / 8) return false;
        if (limits->fats == 2 && !second_bitmap) return false;
    }
    if (facts) *facts = f;
    return true;
}

bool is_upcase_start(Bytes s) {
    if (s.size() < 256) return false;
    for (std::uint16_t i = 0; i < 128; ++i) {
        const std::uint16_t want = (i >= 0x61 && i <= 0x7A) ? std::uint16_t(i - 0x20) : i;
        if (load_le16(s.data() + 2 * i) != want) return false;
    }
    return true;
}

std::uint32_t exfat_table_checksum(Bytes bytes, std::uint32_t sum) {
    for (std::uint8_t b : bytes) sum = checksum_step(sum, b);
    return sum;
}

// ---- entry sets ----

std::uint16_t exfat_set_checksum(Bytes set, bool deleted) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;  // the checksum's own place
        std::uint8_t b = set[i];
        if (deleted && i % kEntry == 0) b |= kExfatInUse;
        sum = checksum_step(sum, b);
    }
    return sum;
}

std::size_t exfat_entries_taken(Bytes entries, std::size_t i) {
    const std::size_t count = entries.size() / kEntry;
    if (i >= count) return 1;
    const std::uint8_t type = type_at(entries, i);
    // A benign primary in use (Volume GUID, TexFAT Padding) carries its own
    // secondaries; it never goes past the end of what is known.
    if ((type & kExfatInUse) && !(type & kExfatSecondary) && (type & kExfatBenign))
        return std::min<std::size_t>(1 + entries[i * kEntry + 1], count - i);
    return 1;
}

exfat_set_t parse_entry_set(Bytes entries, std::size_t i, bool deleted,
                            const exfat_set_limits_t& limits) {
    // File entry (0x85)            Stream Extension (0xC0)
    //   1 | 1 SecondaryCount         1 | 1 GeneralSecondaryFlags
    //   2 | 2 SetChecksum            3 | 1 NameLength (UTF-16 units)
    //   4 | 2 FileAttributes         8 | 8 ValidDataLength
    //   8 | 4 CreateTimestamp       20 | 4 FirstCluster
    //  12 | 4 LastModified          24 | 8 DataLength
    //  16 | 4 LastAccessed
    //  20 | 1 Create10msIncrement   File Name (0xC1): 2 | 30, 15 UTF-16 units
    exfat_set_t set;
    set.deleted = deleted;
    const std::size_t count = entries.size() / kEntry;
    if (i >= count) return set;
    const std::uint8_t state = deleted ? 0 : kExfatInUse;
    const std::uint8_t* file = entries.data() + i * kEntry;
    const std::size_t k = file[1];
    if (k < 2 || i + k >= count) return set;
    const std::uint8_t* stream = file + kEntry;
    if (stream[0] != ((kExfatStreamEntry & 0x7F) | state)) return set;
    set.flags = stream[1];
    if ((set.flags & 1) == 0) return set;
    const std::size_t name_length = stream[3];
    const std::size_t name_entries = (name_length + 14) / 15;
    if (name_length == 0 || name_entries > k - 1) return set;
    std::u16string units;
    for (std::size_t n = 0; n < name_entries; ++n) {
        const std::uint8_t* p = stream + (n + 1) * kEntry;
        if (p[0] != ((kExfatNameEntry & 0x7F) | state)) return set;
        for (std::size_t u = 0; u < 15 && units.size() < name_length; ++u)
            units.push_back(static_cast<char16_t>(load_le16(p + 2 + 2 * u)));
    }
    for (std::size_t n = 2 + name_entries; n <= k; ++n) {
        const std::uint8_t type = file[n * kEntry];
        const bool secondary = (type & kExfatSecondary) && (type & kExfatInUse) == state;
        const std::uint8_t live = type | kExfatInUse;
        const bool critical_other =
            !(type & kExfatBenign) && live != kExfatStreamEntry && live != kExfatNameEntry;
        if (!secondary || critical_other) return set;
    }
    set.first_cluster = load_le32(stream + 20);
    set.data_length = load_le64(stream + 24);
    set.valid_data_length = load_le64(stream + 8);
    set.attributes = load_le16(file + 4);
    if (set.first_cluster == 0 && set.data_length != 0) return set;
    if (set.first_cluster != 0 &&
        (set.first_cluster < 2 || set.first_cluster >= limits.max_cluster))
        return set;
    // cluster_count × cluster_size stays below 2^57.
    if (set.data_length > limits.cluster_count * limits.cluster_size) return set;
    if (set.is_directory() && set.data_length > kExfatMaxDirectoryBytes) return set;
    if (const auto zero = units.find(u'\0'); zero != std::u16string::npos) units.resize(zero);
    if (units.empty()) return set;

    set.name = utf16_to_utf8(units);
    set.create_time = load_le32(file + 8);
    set.modify_time = load_le32(file + 12);
    set.access_time = load_le32(file + 16);
    set.create_10ms = file[20];
    set.checksum_ok = exfat_set_checksum(entries.subspan(i * kEntry, (k + 1) * kEntry), deleted) ==
                      load_le16(file + 2);
    set.consumed = k + 1;
    set.broken = false;
    return set;
}

// ---- the catalogue record ----

std::string exfat_short_name(std::string_view long_name) {
    // Split at the last dot unless the name begins with it; each character,
    // however many bytes its UTF-8 takes, gives one byte.
    const std::size_t dot = long_name.rfind('.');
    const bool split = dot != std::string_view::npos && dot != 0;
    auto map = [](std::string_view part, std::size_t width) {
        static constexpr std::string_view kKept = "!#$%&'()-@^_`{}~";
        std::string out;
        for (std::size_t i = 0; i < part.size() && out.size() < width;) {
            const unsigned char c = static_cast<unsigned char>(part[i]);
            std::size_t length = 1;
            if (c >= 0xF0)
                length = 4;
            else if (c >= 0xE0)
                length = 3;
            else if (c >= 0xC0)
                length = 2;
            i += length;
            if (c == ' ' || c == '.') continue;
            if (c >= 0x80)
                out.push_back('_');
            else if (c >= 'a' && c <= 'z')
                out.push_back(static_cast<char>(c - 'a' + 'A'));
            else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     kKept.find(char(c)) != kKept.npos)
                out.push_back(static_cast<char>(c));
            else
                out.push_back('_');
        }
        return out;
    };
    std::string base = map(split ? long_name.substr(0, dot) : long_name, 8);
    std::string ext = split ? map(long_name.substr(dot + 1), 3) : std::string();
    if (base.empty()) base.push_back('_');
    base.resize(8, ' ');
    ext.resize(3, ' ');
    return base + ext;
}

lfn_t exfat_set_to_entry(const exfat_set_t& set) {
    // bytes | synthesised from
    //  0-10 | the long name (exfat_short_name)
    //    11 | FileAttributes AND 0x37
    //    13 | Create10msIncrement (0 above 199)
    // 14-17 | CreateTimestamp: DOS time, then date
    // 18-19 | LastAccessedTimestamp's date
    // 20-21 | FirstCluster bits 16-31; 26-27: bits 0-15
    // 22-25 | LastModifiedTimestamp: DOS time, then date
    // 28-31 | files: DataLength bits 0-31; directories: 0
    lfn_t out;
    direntry_t& d = out.entry;
    d.set_name11(exfat_short_name(set.name));
    d.attr = static_cast<std::uint8_t>(set.attributes & 0x37);
    d.ctime_tenths = set.create_10ms <= 199 ? set.create_10ms : 0;
    d.ctime = static_cast<std::uint16_t>(set.create_time);
    d.cdate = static_cast<std::uint16_t>(set.create_time >> 16);
    d.adate = static_cast<std::uint16_t>(set.access_time >> 16);
    d.wtime = static_cast<std::uint16_t>(set.modify_time);
    d.wdate = static_cast<std::uint16_t>(set.modify_time >> 16);
    d.set_first_cluster(set.first_cluster, true);
    out.long_name = set.name;
    out.exfat_flags = kExfatSet;
    if (set.deleted) out.exfat_flags |= kExfatDeletedSet;
    if (set.no_fat_chain()) out.exfat_flags |= kExfatNoFatChain;
    if (set.checksum_ok) out.exfat_flags |= kExfatChecksumOk;
    if (set.is_directory()) {
        out.valid_length = set.data_length;
    } else {
        d.size = static_cast<std::uint32_t>(set.data_length);
        out.size_high = static_cast<std::uint32_t>(set.data_length >> 32);
        out.valid_length = std::min(set.valid_data_length, set.data_length);
    }
    return out;
}

}  // namespace lk
