#include "engine/geometry.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/bytes.hpp"
#include "engine/card_parameters.hpp"
#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/exfat.hpp"
#include "engine/exfat_entries.hpp"

namespace lk {

// Common to every row: 512 bytes per sector, 1 reserved sector, 2 FATs,
// 16-bit total sectors 0, media byte 0xF8, 2 sectors per FAT, 0 hidden sectors.
const std::array<card_size_row, kCardSizeRows> kCardSizeTable = {{
    {1, 2000, 16, 256, 4, 4},
    {2, 4000, 16, 256, 8, 4},
    {4, 8000, 16, 256, 8, 4},
    {8, 16000, 16, 256, 16, 4},
    {16, 32000, 16, 256, 16, 4},
    {32, 64000, 16, 256, 16, 8},
    {48, 96000, 16, 256, 16, 8},
    {64, 128000, 16, 256, 32, 8},
    {96, 192000, 16, 256, 32, 8},
    {128, 256000, 16, 256, 32, 16},
    {192, 384000, 16, 256, 32, 16},
    {256, 512000, 16, 256, 32, 16},
    {384, 768000, 16, 256, 32, 16},
    {512, 1024000, 32, 512, 32, 16},
    {1024, 2048000, 64, 512, 32, 16},
    {2048, 4096000, 64, 512, 32, 16},
    {4096, 8192000, 64, 512, 32, 16},
    {8192, 16384000, 64, 512, 32, 16},
    {16384, 32768000, 64, 512, 32, 16},
    {32768, 65536000, 64, 512, 32, 16},
    {65536, 131072000, 64, 512, 32, 16},
}};

int nearest_card_size(std::int64_t bytes) {
    int best = 0;
    std::uint64_t best_diff = UINT64_MAX;
    for (int row = 0; row < kCardSizeRows; ++row) {
        std::int64_t size = std::int64_t(kCardSizeTable[row].total_sectors) * 512;
        std::uint64_t diff = bytes > size ? std::uint64_t(bytes - size) : std::uint64_t(size - bytes);
        if (diff < best_diff) best = row, best_diff = diff;
    }
    return best;
}

std::array<std::uint8_t, 25> card_size_bpb(int row) {
    // Bytes 11..35 of a boot sector:
    // 11 bytes/sector | 13 sectors/cluster | 14 reserved | 16 FATs | 17 root entries |
    // 19 total16 | 21 media | 22 sectors/FAT | 24 sectors/track | 26 heads |
    // 28 hidden | 32 total32
    const card_size_row& r = kCardSizeTable[row];
    std::array<std::uint8_t, 25> b{};
    auto at = [&](int off) { return b.data() + (off - 11); };
    store_le16(at(11), 512);
    *at(13) = r.sectors_per_cluster;
    store_le16(at(14), 1);
    *at(16) = 2;
    store_le16(at(17), r.root_entries);
    store_le16(at(19), 0);
    *at(21) = 0xF8;
    store_le16(at(22), 2);
    store_le16(at(24), r.sectors_per_track);
    store_le16(at(26), r.heads);
    store_le32(at(28), 0);
    store_le32(at(32), r.total_sectors);
    return b;
}

void reset_geometry(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    g = card_geometry_t{};
    g.fattype = e.input.input_size <= 2'048'000'000 ? FAT16 : FAT32;
    e.cat.root = dir_t{};
    e.cat.has_found = false;
    ++e.cat.generation;
    const std::uint64_t fat_generation = e.fat.generation;
    e.fat = FatState{};
    e.fat.generation = fat_generation + 1;
    e.lost.clear();
    e.name_tails.clear();
    e.first_letters.clear();
    e.carve.reset();
    e.carve.carved_number = 1;
    e.no_rerun_offer = false;
}

std::int64_t size_from_boot_record(const Engine& e) {
    if (e.geo.fattype == EXFAT) return exfat_size_from_boot_record(e);
    const auto& br = e.geo.boot_record;
    std::uint32_t bytes_per_sector = load_le16(br.data() + 11);
    std::uint32_t total16 = load_le16(br.data() + 19);
    std::uint32_t total32 = load_le32(br.data() + 32);
    std::uint32_t sectors = (e.geo.fattype != FAT32 && total16 != 0) ? total16 : total32;
    return std::int64_t(bytes_per_sector) * sectors;
}

// ---- address arithmetic ----

std::int64_t cluster_offset(const card_geometry_t& g, std::int64_t n) {
    if (n <= 0) return g.cluster2 + n;
    return g.cluster2 + (n - 2) * std::int64_t(g.cluster_size);
}

std::int32_t cluster_of_offset(const card_geometry_t& g, std::int64_t offset) {
    if (offset <= g.cluster2) return static_cast<std::int32_t>(std::max<std::int64_t>(offset - g.cluster2, INT32_MIN));
    if (g.cluster_size == 0) return 2;
    return static_cast<std::int32_t>(
        std::min<std::int64_t>((offset - g.cluster2) / g.cluster_size + 2, INT32_MAX));
}

std::uint64_t round_to_cluster(const card_geometry_t& g, std::uint64_t bytes) {
    if (g.cluster_size == 0) return bytes;
    return (bytes + g.cluster_size - 1) / g.cluster_size * g.cluster_size;
}

std::uint64_t clusters_for(const card_geometry_t& g, std::uint64_t bytes) {
    if (g.cluster_size == 0) return 0;
    return (bytes + g.cluster_size - 1) / g.cluster_size;
}

std::int64_t read_cluster(Engine& e, std::int64_t n, void* buffer, std::size_t length, std::int32_t shift,
                          bool honour_range) {
    if (n < e.geo.max_cluster)
        return e.input.read_input(e.opt.sector_range, cluster_offset(e.geo, n) + shift, buffer, length,
                                  honour_range);
    if (buffer) std::memset(buffer, 0, length);
    return -1;
}

std::int32_t range_first_cluster(const Engine& e) {
    std::int64_t start = e.opt.sector_range.start;
    if (start == -1 || start <= e.geo.cluster2) return 2;
    return cluster_of_offset(e.geo, start);
}

std::int32_t range_last_cluster(const Engine& e) {
    std::int64_t end = e.opt.sector_range.end;
    if (end == -1) return e.geo.max_cluster;
    return std::min(cluster_of_offset(e.geo, end), e.geo.max_cluster);
}

void RangeProgress(Engine& e, std::int64_t cluster) {
    std::int64_t first = range_first_cluster(e), last = range_last_cluster(e);
    if (cluster < first || cluster > last || last <= first) return;
    e.status.SendProgress(static_cast<std::uint32_t>((cluster - first) * 100 / (last - first)));
}

// ---- sector tests ----

bool is_partition_entry(const std::uint8_t* p, std::int64_t input_size) {
    // offset | size | field
    //      0 |    1 | status (0x00 or 0x80)
    //      1 |    3 | start head, sector (low 6 bits) + cylinder high bits, cylinder
    //      4 |    1 | type
    //      5 |    3 | end head/sector/cylinder
    //      8 |    4 | first sector
    //     12 |    4 | sector count
    if (p[0] != 0 && p[0] != 0x80) return false;
    // 64-bit products: in 32 bits they wrap and let any entry pass on big cards.
    std::int64_t first = std::int64_t(load_le32(p + 8)) * 512;
    std::int64_t count = std::int64_t(load_le32(p + 12)) * 512;
    if (count > input_size || first > input_size) return false;
    auto chs = [](const std::uint8_t* c) {
        int head = c[0], sector = c[1] & 0x3F, cylinder = (c[1] & 0xC0) << 2 | c[2];
        return std::array<int, 3>{cylinder, head, sector};
    };
    return !(chs(p + 5) < chs(p + 1));
}

bool is_mbr(const std::uint8_t* s, std::int64_t input_size) {
    std::uint16_t w0 = load_le16(s);
    if ((w0 != 0x33FA && w0 != 0) || s[510] != 0x55 || s[511] != 0xAA) return false;
    bool some_range = false;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* p = s + 446 + 16 * i;
        if (!is_partition_entry(p, input_size)) return false;
        if (std::memcmp(p + 1, p + 5, 3) != 0) some_range = true;
    }
    return some_range;
}

bool is_boot_record(const std::uint8_t* s) {
    // offset | size | what a boot record of a FAT volume holds
    //      0 |    1 | a jump, E9 or EB
    //     11 |    2 | bytes per sector: 512, the sectors this program reads
    //     13 |    1 | sectors per cluster: a power of two, 1 to 128
    //     16 |    1 | FAT copies: at least one
    //    510 |    2 | 55 AA
    // A sector that says otherwise is no answer: the card is searched as one
    // whose boot record is gone.
    const std::uint8_t spc = s[13];
    return (s[0] == 0xE9 || s[0] == 0xEB) && s[510] == 0x55 && s[511] == 0xAA && s[16] != 0 &&
           load_le16(s + 11) == 512 && spc != 0 && (spc & (spc - 1)) == 0;
}

bool is_fat_start(const std::uint8_t* s) { return (s[0] == 0xF8 || s[0] == 0xF0) && s[1] == 0xFF && s[2] == 0xFF; }

bool boot_record_is_fat32(const std::array<std::uint8_t, 512>& br) {
    if (std::memcmp(br.data() + 54, "FAT16", 5) == 0 || std::memcmp(br.data() + 54, "FAT12", 5) == 0) return false;
    return std::memcmp(br.data() + 82, "FAT32", 5) == 0 || load_le16(br.data() + 17) == 0 ||
           load_le16(br.data() + 22) == 0;
}

void fat_type_from_label(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    const auto& br = g.boot_record;
    if (std::memcmp(br.data() + 54, "FAT12", 5) == 0) g.fattype = FAT12;
    if (std::memcmp(br.data() + 54, "FAT16", 5) == 0) g.fattype = FAT16;
    if (std::memcmp(br.data() + 82, "FAT32", 5) == 0) g.fattype = FAT32;
}

static std::uint32_t sectors_per_fat(const std::array<std::uint8_t, 512>& br) {
    return boot_record_is_fat32(br) ? load_le32(br.data() + 36) : load_le16(br.data() + 22);
}

// ---- boot structure search ----

namespace {

bool all_equal(const std::uint8_t* p, std::size_t n) {
    return n == 0 || (p[0] == p[n - 1] && std::memcmp(p, p + 1, n - 1) == 0);
}

bool starts_with_dot_entries(const std::uint8_t* s) {
    return std::memcmp(s, ".          ", 11) == 0 && std::memcmp(s + 32, "..         ", 11) == 0;
}

// Both FAT copies were found and loaded before pos, and they agree.
bool behind_consistent_fats(const Engine& e, std::int64_t pos) {
    const card_geometry_t& g = e.geo;
    if (g.fats_found < 2 || !e.fat.loaded || pos <= g.fat_offset[1] || g.fat_size <= 0) return false;
    const auto& a = e.fat.copy[0];
    const auto& b = e.fat.copy[1];
    const std::size_t n = std::min<std::size_t>({a.size(), b.size(), static_cast<std::size_t>(g.fat_size)});
    return n > 0 && std::memcmp(a.data(), b.data(), n) == 0;
}

// Scans the sectors from start while below limit (which a boot record may
// move); returns whether a master boot record was found.
bool scan_boot_structures(Engine& e, std::int64_t start, std::int64_t limit, bool allow_mbr) {
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t input_size = e.input.input_size;
    std::uint8_t s[512];
    bool mbr_found = false;
    std::uint32_t last_percent = UINT32_MAX;
    // Nothing lies past the end of the input, whatever a boot record's fields
    // claim: a forged one could otherwise move the limit by a terabyte.
    auto capped = [&](std::int64_t l) { return input_size > 0 ? std::min(l, input_size) : l; };
    limit = capped(limit);
    for (std::int64_t pos = start; pos < limit && !e.status.IsCancelled(); pos += 512) {
        std::uint32_t percent = static_cast<std::uint32_t>((pos - start) * 100 / (limit - start + 512));
        if (percent != last_percent) e.status.SendProgress(last_percent = percent);
        if (e.input.read_input(e.opt.sector_range, pos, s, 512, false) < 0) continue;

        if (allow_mbr && !mbr_found && is_mbr(s, input_size)) {
            mbr_found = true;
            g.root_offset = -1;
            e.status.TraceHook("Found Master Boot Record at 0x%LX (sector %d)...", pos, pos / 512);
            bool moved = false;
            for (int i = 0; i < 4 && !moved; ++i) {
                const std::uint8_t* p = s + 446 + 16 * i;
                if (is_partition_entry(p, input_size) && p[0] != 0) {
                    // Continue at the active partition's first sector.
                    pos += std::int64_t(load_le32(p + 8)) * 512 - 512;
                    moved = true;
                }
            }
            // No active partition: an exFAT partition (type 0x07) whose
            // first sector is an exFAT boot sector.
            for (int i = 0; i < 4 && !moved; ++i) {
                const std::uint8_t* p = s + 446 + 16 * i;
                const std::int64_t first = std::int64_t(load_le32(p + 8)) * 512;
                if (p[4] != 0x07 || first == 0) continue;
                std::uint8_t boot[512];
                if (e.input.read_input(e.opt.sector_range, pos + first, boot, sizeof boot, false) >= 0 &&
                    is_exfat_boot_sector(Bytes(boot))) {
                    pos += first - 512;
                    moved = true;
                }
            }
            continue;
        }
        // An exFAT boot sector settles the volume: its FAT would pass the
        // FAT test below, and nothing else need be searched.
        if (g.pbr_offset == -1 && is_exfat_boot_sector(Bytes(s))) {
            e.status.TraceHook("Found exFAT Boot Sector at 0x%LX (sector %d)...", pos, pos / 512);
            if (locate_exfat_volume(e, pos)) break;
        }
        // A boot record lies in front of its FAT copies: one found behind a
        // consistent pair already loaded is stray data in the free space and
        // must not make the search forget them.
        if (g.pbr_offset == -1 && is_boot_record(s) && !behind_consistent_fats(e, pos)) {
            e.status.TraceHook("Found Partition Boot Record at 0x%LX (sector %d)...", pos, pos / 512);
            std::memcpy(g.boot_record.data(), s, 512);
            g.pbr_offset = pos;
            g.fat_offset = {-1, -1};
            g.fats_found = 0;
            g.root_offset = -1;
            fat_type_from_label(e);
            const auto& br = g.boot_record;
            limit = capped(pos + std::int64_t(load_le16(br.data() + 14)) * 512 +
                           (std::int64_t(sectors_per_fat(br)) * br[16] + load_le32(br.data() + 28)) * 512 + 5120);
            continue;
        }
        if (is_fat_start(s)) {
            g.root_offset = -1;
            int copy_number = 0;
            if (g.fat_offset[0] == -1) g.fat_offset[0] = pos, copy_number = 1;
            else if (g.fat_offset[1] == -1) g.fat_offset[1] = pos, copy_number = 2;
            if (copy_number == 0) continue;
            g.fats_found = copy_number;
            e.status.TraceHook("Found FAT copy %d at 0x%LX (sector %d)...", copy_number, pos, pos / 512);
            int expected = g.pbr_offset == -1 ? 2 : g.boot_record[16];
            if (copy_number == expected) {
                read_fats(e, true);
                if (g.fat_offset[1] != -1 && g.fat_size > 512) pos += g.fat_size - 512;
            }
            continue;
        }
        if (is_directory_block(e, s, 16, nullptr, false) && !starts_with_dot_entries(s)) {
            std::uint32_t lo = load_le16(s + 26), hi = load_le16(s + 20);
            if (lo == 2 || (hi << 16 | lo) == 3) {
                e.status.TraceHook("Found Root Directory at 0x%LX (sector %d)...", pos, pos / 512);
                g.root_offset = pos;
                break;
            }
        }
    }
    return mbr_found;
}

}  // namespace

namespace {

void search_fat_structures(Engine& e, std::int64_t limit) {
    card_geometry_t& g = e.settle_geometry();
    bool mbr = scan_boot_structures(e, 0, limit, true);
    if (g.fattype == EXFAT) return;
    if (mbr && g.fat_offset[0] != -1 && g.fat_offset[1] == -1) {
        g.pbr_offset = -1;
        g.fat_offset = {-1, -1};
        g.fats_found = 0;
        g.root_offset = -1;
        scan_boot_structures(e, 0, limit, false);
    }
    if (g.pbr_offset != -1 || g.fat_offset[0] == -1) return;

    // FAT copies but no boot record: look past them once more for a better
    // set; keep the first one when that finds nothing.
    auto remembered_fats = g.fat_offset;
    const int remembered_found = g.fats_found;
    std::int64_t remembered_root = g.root_offset;
    std::int64_t from = std::max({remembered_fats[0], remembered_fats[1], remembered_root}) + 512;
    g.fat_offset = {-1, -1};
    g.fats_found = 0;
    g.root_offset = -1;
    scan_boot_structures(e, from, limit, false);
    if (g.fattype == EXFAT) return;
    if (g.fat_offset[0] == -1) {
        g.fat_offset = remembered_fats;
        g.fats_found = remembered_found;
        g.root_offset = remembered_root;
    }
}

}  // namespace

void find_boot_structures(Engine& e) {
    e.status.TraceHook("Looking for PBR, FAT, and Root Directory...");
    const std::int64_t limit = std::min<std::int64_t>(e.input.input_size / 10, 1'024'000'000);
    search_fat_structures(e, limit);
    // No boot record of either kind: an exFAT volume may still be found by
    // its root directory and up-case table.
    if (e.geo.pbr_offset == -1 && e.geo.fattype != EXFAT && !e.status.IsCancelled())
        exfat_geometry_from_structures(e);
}

// ---- FAT copies ----

std::int32_t score_fat(Engine& e, int copy, int type) {
    card_geometry_t& g = e.settle_geometry();
    static constexpr int w_of[3] = {3, 4, 8};
    const int w = w_of[type];
    const std::int64_t limit = cluster_limit(type);
    std::int64_t mc = std::int64_t(g.fat_size) * 2 / w + 2;
    g.max_cluster = static_cast<std::int32_t>(std::min<std::int64_t>(mc, INT32_MAX));
    if (limit < mc - 1024 / w) return INT32_MIN;

    const int previous = g.fattype;
    g.fattype = type;
    allocate_fats(e, 0, false);
    e.fat.dirty[copy] = true;

    // Which clusters some entry points to is all the score asks of the
    // copy: a bit each, rather than the predecessor tables (six scores are
    // taken, each under another type's cluster count).
    const std::size_t clusters = g.max_cluster > 0 ? static_cast<std::size_t>(g.max_cluster) : 0;
    std::vector<bool> pointed_to(clusters), visited(clusters);
    for (std::int64_t c = 2; c < g.max_cluster; ++c)
        if (const std::int32_t next = fat_next(e, c, copy); is_valid_cluster(g, next)) pointed_to[next] = true;
    std::int64_t sum = 0, collisions = 0;
    for (std::int64_t c = 2; c < g.max_cluster && sum <= 0x7FFFFFF; ++c) {
        if (visited[c] || pointed_to[c]) continue;
        std::int64_t length = 0;
        for (std::int64_t x = c; is_valid_cluster(g, x); x = fat_next(e, x, copy)) {
            if (visited[x]) {
                ++collisions;
                break;
            }
            visited[x] = true;
            ++length;
        }
        if (length > 2) sum += std::int64_t{1} << std::min<std::int64_t>(length, 10);
    }
    g.fattype = previous;
    e.fat.dirty[copy] = true;
    std::int64_t score = sum - 4096 * collisions;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(score, INT32_MIN + 1, INT32_MAX));
}

bool read_fats(Engine& e, bool probe) {
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t input_size = e.input.input_size;
    const auto& br = g.boot_record;
    int count = (g.pbr_offset == -1 || br[16] == 0) ? 2 : br[16];

    if (g.fat_offset[0] == -1) {
        // The first FAT follows the reserved sectors (32 on FAT32), not the
        // boot sector itself; 0 reserved sectors cannot be and counts as 1.
        if (g.pbr_offset != -1) {
            const std::int64_t reserved = std::max<std::uint16_t>(load_le16(br.data() + 14), 1);
            g.fat_offset[0] = g.pbr_offset + reserved * 512;
            if (input_size > 0 && g.fat_offset[0] >= input_size) g.fat_offset[0] = g.pbr_offset + 512;
        }
        else if (probe) return false;
        else g.fat_offset[0] = 512;
    }

    std::int64_t fat_size;
    if (g.fat_offset[1] != -1) {
        fat_size = g.fat_offset[1] - g.fat_offset[0];
    } else if (g.pbr_size != 0 && sectors_per_fat(br) != 0) {
        fat_size = std::int64_t(sectors_per_fat(br)) * load_le16(br.data() + 11);
    } else if (g.root_offset == -1) {
        if (g.cluster_size == 0) {
            if (probe) return false;
            e.status.Fatal("internal error: cluster size is still 0");
        }
        std::int64_t n = input_size / g.cluster_size;
        std::int64_t bytes = n <= 4079 ? n * 3 / 2 : n <= 65519 ? n * 4 / 2 : n * 8 / 2;
        fat_size = (bytes + 511) / 512 * 512;
    } else {
        fat_size = g.root_offset - g.fat_offset[0];
        count = 1;
    }
    g.fat_size = static_cast<std::int32_t>(std::clamp<std::int64_t>(fat_size, 0, 32'768'000));
    g.fat_offset[1] = g.fat_offset[0] + g.fat_size;
    // Copies beyond the second are taken only as far as the card holds them:
    // a boot record claiming 255 FATs would otherwise put the root far
    // beyond where the formatter wrote it.
    for (int k = 2; k < count && g.fat_size > 0; ++k) {
        const std::int64_t at = g.fat_offset[0] + std::int64_t(k) * g.fat_size;
        std::uint8_t s[512];
        if (at + 512 > input_size ||
            e.input.read_input(e.opt.sector_range, at, s, sizeof s, false) <= 0 || !is_fat_start(s)) {
            count = k;
            break;
        }
    }

    e.status.TraceHook("Reading FATs into the memory...");
    e.fat.copy[0].clear();
    e.fat.copy[1].clear();
    e.fat.allocated = 0;
    allocate_fats(e, static_cast<std::uint32_t>(g.fat_size), true);
    if (g.fat_size > 0) {
        // A copy that cannot be read keeps free entries (zeros).
        for (int copy = 0; copy < std::min(count, 2); ++copy)
            if (e.input.read_input(e.opt.sector_range, g.fat_offset[copy], e.fat.copy[copy].data(), g.fat_size,
                                   false) < 0)
                e.status.Trace("the FAT copy at %lld could not be read: its entries are free\n",
                               static_cast<long long>(g.fat_offset[copy]));
    }
    e.fat.loaded = true;
    e.fat.dirty = {true, true};
    ++e.fat.generation;

    // Decide the type by how chain-like each copy looks under each type.
    int types = input_size >= 32'768'000 ? 3 : 2;
    std::int64_t best = -1'048'576, lowest = 1'048'576;
    for (int i = 0; i < std::min(count, 2); ++i) {
        for (int j = 0; j < types; ++j) {
            std::int32_t s = score_fat(e, i, j);
            if (s == INT32_MIN) continue;
            if (s >= best) g.fattype = j, best = s;
            lowest = std::min<std::int64_t>(lowest, s);
        }
    }
    if (best == lowest) fat_type_from_label(e);

    static constexpr int w_of[3] = {3, 4, 8};
    for (;;) {
        g.max_cluster = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::int64_t(g.fat_size) * 2 / w_of[g.fattype] + 2, INT32_MAX));
        if (input_size > 2'048'000'000) break;
        if (g.fattype == FAT32 && g.max_cluster <= 65526) g.fattype = FAT16;
        else if (g.fattype == FAT16 && g.max_cluster <= 4086) g.fattype = FAT12;
        else break;
    }
    allocate_fats(e, 0, false);
    e.fat.dirty = {true, true};

    if (g.cluster_size == 0) {
        std::int64_t m = g.max_cluster > 0 ? input_size / g.max_cluster : 0;
        g.cluster_size = m > 700 ? 1024 * kCardSizeTable[nearest_card_size(m * 1000)].nominal_mb : 512;
    }
    g.set_fat_count(static_cast<std::uint8_t>(count));
    return true;
}

std::uint32_t measure_root_dir(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    if (g.fattype == FAT16) return 0x4000;
    if (g.root_offset == -1) return 0;
    std::uint8_t s[512];
    // A sector that cannot be read reads as erased space.
    auto sector_at = [&](std::uint32_t length) {
        if (e.input.read_input(e.opt.sector_range, g.root_offset + length, s, 512, false) < 0)
            std::memset(s, 0, sizeof s);
    };
    std::uint32_t length = 512;
    while (length < 65536) {
        sector_at(length);
        if (all_equal(s, 512)) {
            // Erased space after the entries belongs to the root too.
            while (length < 65536) {
                sector_at(length);
                if (!all_equal(s, 512)) break;
                length += 512;
            }
            break;
        }
        if (std::memcmp(s, ".          ", 11) != 0 && is_directory_block(e, s, 16, nullptr, true)) {
            length += 512;
            continue;
        }
        return length;  // a subdirectory or data starts here
    }
    std::uint32_t sectors = length / 512 - 1;
    if (sectors == 0) return 1024;
    int k = 31 - __builtin_clz(sectors);
    return (std::uint32_t{1} << (k + 1)) * 512;
}

std::uint32_t minimal_cluster_size(const Engine& e, std::int64_t bytes, std::uint32_t start) {
    return minimal_cluster_size(e.geo.fattype, e.opt.ignore_fat, bytes, start);
}

namespace {

constexpr std::uint32_t kMaxRootEntries = 2048;

// Places the root directory and cluster 2 behind root_offset: the FAT32 root
// by its first cluster (the boot record's when one was found and it is
// valid), the FAT12/16 root by the boot record's entry count
// (from_boot_record) or by measuring it.
void place_data_area(Engine& e, bool from_boot_record) {
    card_geometry_t& g = e.settle_geometry();
    const auto& br = g.boot_record;
    if (g.fattype == FAT32) {
        g.cluster2 = g.root_offset;
        std::uint32_t rc = load_le32(br.data() + 44);
        g.root_cluster = (g.pbr_offset != -1 && is_valid_cluster(g, rc)) ? std::int32_t(rc) : 2;
    } else {
        // No formatter writes a root of more than 2,048 entries; a boot record
        // that claims one (65,535) would hide the data behind it.
        const std::uint32_t entries = load_le16(br.data() + 17);
        if (!from_boot_record || entries > kMaxRootEntries) {
            g.root_size = measure_root_dir(e);
            e.status.TraceHook("Root directory size seems to be 0x%lX bytes (%d entries)...", g.root_size,
                               g.root_size / 32);
        } else {
            g.root_size = (entries * 32 + 511) / 512 * 512;
        }
        g.cluster2 = g.root_offset + g.root_size;
        g.root_cluster = -1;
    }
}

}  // namespace

void finish_geometry(Engine& e, bool validated, bool ignore_fat, int template_row) {
    if (e.geo.fattype == EXFAT) return finish_exfat_geometry(e, ignore_fat);
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t input_size = e.input.input_size;
    auto& br = g.boot_record;
    if (g.pbr_offset == -1 || g.pbr_size == 0) {
        // The boot sector template: E9 00 00, eight blanks, a row of the card
        // size table, 55 AA.
        br.fill(0);
        br[0] = 0xE9;
        std::memset(br.data() + 3, ' ', 8);
        auto bpb = card_size_bpb(template_row);
        std::memcpy(br.data() + 11, bpb.data(), bpb.size());
        br[510] = 0x55;
        br[511] = 0xAA;
    }
    if (validated) br[13] = static_cast<std::uint8_t>(g.cluster_size / 512);
    else g.cluster_size = std::uint32_t(br[13]) * 512;

    if (!ignore_fat && !e.fat.loaded) read_fats(e, false);
    if ((!ignore_fat && g.pbr_offset != -1) || g.root_offset == -1)
        g.root_offset = g.fat_offset[0] + std::int64_t(g.fat_count()) * g.fat_size;

    g.cluster2_guessed = g.pbr_offset == -1 || g.pbr_size == 0;
    place_data_area(e, !g.cluster2_guessed);
    // A boot record whose fields put the root or cluster 2 outside the input
    // (255 FATs, 65,535 root entries) describes no card that is here: the
    // data area then follows the FAT copies the search saw, with the root
    // measured as on a card without a boot record.
    if (!ignore_fat && input_size > 0 && (g.root_offset >= input_size || g.cluster2 >= input_size)) {
        g.set_fat_count(static_cast<std::uint8_t>(std::clamp(g.fats_found, 1, 2)));
        g.root_offset = g.fat_offset[0] + std::int64_t(g.fat_count()) * g.fat_size;
        g.cluster2_guessed = true;
        place_data_area(e, false);
        // Not even that fits: carve the whole input as when the FAT is ignored.
        if (g.cluster2 >= input_size) g.cluster2 = 2 * std::int64_t(std::max<std::uint32_t>(g.cluster_size, 512));
    }

    e.carve.reset();
    // Valid clusters are 2 .. max_cluster - 1, so the data area's N clusters
    // need max_cluster = N + 2; without the 2 the card's last two clusters
    // would never be read.
    std::int64_t data_clusters =
        g.cluster_size ? std::max<std::int64_t>(input_size - g.cluster2, 0) / g.cluster_size : 0;
    g.max_cluster = static_cast<std::int32_t>(std::min<std::int64_t>(data_clusters + 2, INT32_MAX));
    prepare_fat_maps(e);

    e.status.SendStatus(ST_FAT, g.fattype == FAT12 ? 12 : g.fattype == FAT16 ? 16 : 32);
    e.status.SendStatus(ST_TOTAL_CLUSTERS, std::uint64_t(g.max_cluster));
    e.status.SendStatus(ST_CLUSTER_SIZE, g.cluster_size);
    if (g.fattype != FAT32) e.status.SendStatus(ST_ROOT_SIZE, g.root_size / 32);
}

}  // namespace lk
