// Finding an exFAT volume and loading its FAT copies and allocation bitmap.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/common.hpp"
#include "engine/exfat.hpp"

namespace lk {

namespace {

constexpr std::int64_t kRegionSectors = 12;

std::vector<std::uint8_t> read_bytes(Engine& e, std::int64_t offset, std::size_t length) {
    std::vector<std::uint8_t> out(length);
    // Bytes that cannot be read are none: no structure is found in them.
    if (offset < 0 || e.input.read_input(e.opt.sector_range, offset, out.data(), length, false) < 0) out.clear();
    return out;
}

std::int64_t sector_of(std::int64_t offset) {
    return offset / 512;
}

// The root directory's first sector for a volume starting at V with the
// fields of boot passes the root sector test.
bool root_sector_passes(Engine& e, std::int64_t V, const exfat_boot_t& boot) {
    const std::int64_t S = boot.sector_size();
    const std::int64_t at = V + std::int64_t(boot.cluster_heap_offset) * S +
                            std::int64_t(boot.root_cluster - 2) * boot.cluster_size();
    if (at < 0 || (e.input.input_size > 0 && at >= e.input.input_size)) return false;
    const exfat_root_limits_t limits{boot.cluster_count, boot.fats};
    return is_exfat_root_sector(read_bytes(e, at, 512), &limits);
}

// The clusters of a system structure of length bytes from first: along its
// chain in copy 0 and, where an entry is no valid next cluster, on with the
// next cluster number (mkfs writes them contiguous, a chain may be gone).
template <class F>
bool for_structure_clusters(Engine& e, std::uint32_t first, std::uint64_t length, F&& visit) {
    const std::uint32_t cs = e.geo.cluster_size;
    if (cs == 0 || length == 0) return false;
    const std::uint64_t n = (length + cs - 1) / cs;
    if (n > std::uint64_t(std::max(e.geo.max_cluster, 0))) return false;
    e.fat.walk.begin(static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)));
    std::int64_t c = first;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!e.valid(c) || !e.fat.walk.insert(c)) return false;
        if (!visit(c, k)) return false;
        const std::int32_t next = fat_next(e, c, 0);
        c = e.valid(next) ? next : c + 1;
    }
    return true;
}

}  // namespace

// ---- discovery ----

bool locate_exfat_volume(Engine& e, std::int64_t P) {
    card_geometry_t& g = e.settle_geometry();
    const std::vector<std::uint8_t> at_P = read_bytes(e, P, 512);
    if (!is_exfat_boot_sector(at_P)) return false;
    const exfat_boot_t found = decode_exfat_boot_sector(at_P);
    const std::int64_t S = found.sector_size();
    const std::vector<std::uint8_t> regions =
        read_bytes(e, P, static_cast<std::size_t>(2 * kRegionSectors * S));
    const Bytes R0 = Bytes(regions).first(static_cast<std::size_t>(kRegionSectors * S));
    const Bytes R1 = Bytes(regions).subspan(static_cast<std::size_t>(kRegionSectors * S));

    // P is the backup of a destroyed main region when the root lies where a
    // volume starting 12 sectors earlier puts it, and not where one starting
    // at P would.
    std::int64_t V = P;
    bool has_main = true;
    if (P >= kRegionSectors * S &&
        !is_exfat_boot_sector(read_bytes(e, P - kRegionSectors * S, 512)) &&
        root_sector_passes(e, P - kRegionSectors * S, found) && !root_sector_passes(e, P, found)) {
        V = P - kRegionSectors * S;
        has_main = false;
    }
    const Bytes main = has_main ? R0 : Bytes();
    const Bytes backup = has_main ? R1 : R0;
    const std::int64_t backup_at = V + kRegionSectors * S;

    const std::uint32_t sector_size = static_cast<std::uint32_t>(S);
    Bytes used;
    int source;
    if (has_main && exfat_region_verifies(main, sector_size)) {
        used = main, source = kExfatMainVerified;
    } else {
        if (has_main)
            e.status.TraceHook("exFAT boot region checksum mismatch at 0x%LX (sector %d)...", V,
                               sector_of(V));
        if (is_exfat_boot_sector(backup) && exfat_region_verifies(backup, sector_size)) {
            used = backup, source = kExfatBackupVerified;
        } else {
            e.status.TraceHook("exFAT boot region checksum mismatch at 0x%LX (sector %d)...",
                               backup_at, sector_of(backup_at));
            if (has_main)
                used = main, source = kExfatMainUnverified;
            else
                used = backup, source = kExfatBackupUnverified;
        }
        if (source == kExfatBackupVerified || source == kExfatBackupUnverified)
            e.status.TraceHook("Using the exFAT backup boot region at 0x%LX (sector %d)...",
                               backup_at, sector_of(backup_at));
    }
    // A backup that failed its own test leaves the fields of the sector found.
    const Bytes fields = is_exfat_boot_sector(used) ? used.first(512) : Bytes(at_P);
    const exfat_boot_t boot = decode_exfat_boot_sector(fields);

    exfat_volume_t& x = g.exfat;
    x = exfat_volume_t{};
    x.volume_start = V;
    x.sector_shift = boot.sector_shift;
    x.cluster_size = boot.cluster_size();
    x.cluster_count = boot.cluster_count;
    x.boot_source = source;
    x.fats = boot.fats;
    // The flags live in the main boot sector only: the backup's are stale.
    const std::vector<std::uint8_t> at_V = read_bytes(e, V, 512);
    if (has_main && is_exfat_boot_sector(at_V))
        x.volume_flags = decode_exfat_boot_sector(at_V).volume_flags;
    else
        x.volume_flags = kExfatVolumeDirty;
    x.active_fat = (boot.fats == 2 && (x.volume_flags & kExfatActiveFat)) ? 1 : 0;

    const std::int64_t sector = boot.sector_size();
    g.pbr_offset = V;
    std::memcpy(g.boot_record.data(), fields.data(), 512);
    g.fattype = EXFAT;
    g.cluster_size = x.cluster_size;
    g.cluster2 = V + std::int64_t(boot.cluster_heap_offset) * sector;
    const std::int64_t fat1 = V + std::int64_t(boot.fat_offset) * sector;
    const std::int64_t fat2 = boot.fats == 2 ? fat1 + std::int64_t(boot.fat_length) * sector : fat1;
    g.fat_offset = x.active_fat == 1 ? std::array<std::int64_t, 2>{fat2, fat1}
                                     : std::array<std::int64_t, 2>{fat1, fat2};
    g.fat_size = (std::int64_t(boot.cluster_count) + 2) * 4;
    g.root_cluster = static_cast<std::int32_t>(boot.root_cluster);
    g.root_offset = cluster_offset(g, g.root_cluster);
    g.root_size = 0;
    return true;
}

std::int64_t exfat_size_from_boot_record(const Engine& e) {
    const card_geometry_t& g = e.geo;
    if (g.pbr_offset == -1) return 0;
    const exfat_boot_t b = decode_exfat_boot_sector(g.boot_record);
    // A length beyond what 63 bits hold describes no card.
    if (b.volume_length > (std::uint64_t(INT64_MAX) >> b.sector_shift)) return INT64_MAX;
    return static_cast<std::int64_t>(b.volume_length << b.sector_shift);
}

bool exfat_geometry_from_structures(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t limit =
        std::min<std::int64_t>({e.input.input_size / 10, 1'024'000'000, e.input.input_size});
    std::uint8_t s[512];
    auto scan = [&](auto&& test) -> std::int64_t {
        for (std::int64_t pos = 0; pos < limit && !e.status.IsCancelled(); pos += 512) {
            e.status.SendProgress(static_cast<std::uint32_t>(pos * 100 / (limit + 512)));
            if (e.input.read_input(e.opt.sector_range, pos, s, 512, false) < 0) continue;
            if (test(pos)) return pos;
        }
        return -1;
    };

    // The root: its first sector holds the bitmap's and up-case table's entries.
    exfat_root_facts_t facts;
    const std::int64_t R =
        scan([&](std::int64_t) { return is_exfat_root_sector(Bytes(s), nullptr, &facts); });
    if (R < 0) return false;
    // The up-case table: the first that starts with the mandatory entries and
    // has the checksum the root gives.
    const std::int64_t U_at = scan([&](std::int64_t pos) {
        if (!is_upcase_start(Bytes(s))) return false;
        const std::vector<std::uint8_t> table =
            read_bytes(e, pos, static_cast<std::size_t>(facts.upcase_length));
        return exfat_table_checksum(table) == facts.upcase_checksum;
    });
    if (U_at < 0) return false;

    // The bitmap's length bounds the cluster count: N - 7 .. N.
    const std::uint64_t N = std::min<std::uint64_t>(
        8 * std::min<std::uint64_t>(facts.bitmap_length, UINT32_MAX), kExfatMaxClusterCount);
    const std::int64_t B = facts.bitmap_cluster, U = facts.upcase_cluster;
    std::int64_t F = -1;
    if (g.fat_offset[0] >= 0) {
        static constexpr std::uint8_t kFatStart[8] = {0xF8, 0xFF, 0xFF, 0xFF,
                                                      0xFF, 0xFF, 0xFF, 0xFF};
        if (std::memcmp(read_bytes(e, g.fat_offset[0], 8).data(), kFatStart, 8) == 0)
            F = g.fat_offset[0];
    }
    auto bit_set = [&](std::int64_t bitmap_at, std::int64_t c) {
        const std::vector<std::uint8_t> byte = read_bytes(e, bitmap_at + (c - 2) / 8, 1);
        return (byte[0] >> ((c - 2) % 8)) & 1;
    };
    auto fat_entry_fits = [&](std::int64_t c) {
        const std::uint32_t v = load_le32(read_bytes(e, F + 4 * c, 4).data());
        return v == 0xFFFFFFFF || (v >= 2 && v <= N + 1);
    };
    for (std::int64_t size = 512; size <= (32 << 20); size *= 2) {
        const std::int64_t c2 = U_at - (U - 2) * size;
        if (c2 < 0 || c2 > R || (R - c2) % size != 0) continue;
        const std::int64_t r = (R - c2) / size + 2;
        if (r < 2 || r > std::int64_t(N) + 1 || r == B || r == U) continue;
        const std::int64_t bitmap_at = c2 + (B - 2) * size;
        if (!bit_set(bitmap_at, B) || !bit_set(bitmap_at, U) || !bit_set(bitmap_at, r)) continue;
        if (F >= 0 && (F + 4 * (std::int64_t(N) + 2) > c2 || !fat_entry_fits(B) ||
                       !fat_entry_fits(U) || !fat_entry_fits(r)))
            continue;

        free_fats(e);
        g.pbr_offset = -1;
        g.boot_record.fill(0);
        g.fattype = EXFAT;
        g.cluster_size = static_cast<std::uint32_t>(size);
        g.cluster2 = c2;
        g.root_cluster = static_cast<std::int32_t>(r);
        g.root_offset = R;
        g.root_size = 0;
        g.fat_offset = {F, F};
        g.fat_size = (std::int64_t(N) + 2) * 4;
        exfat_volume_t& x = g.exfat;
        x = exfat_volume_t{};
        x.volume_start = -1;
        x.cluster_size = g.cluster_size;
        x.cluster_count = static_cast<std::uint32_t>(N);
        x.volume_flags = kExfatVolumeDirty;
        x.boot_source = kExfatSearched;
        x.fats = 1;
        e.status.TraceHook(
            "exFAT structures found without boot region: cluster size %d, cluster 2 at 0x%LX...",
            g.cluster_size, c2);
        return true;
    }
    return false;
}

// ---- FAT copies and the allocation bitmap ----

void read_exfat_fats(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    free_fats(e);
    allocate_fats(e, 0, true);
    for (int copy = 0; copy < 2; ++copy) {
        if (g.fat_offset[copy] < 0) continue;
        auto& fat = e.fat.copy[copy];
        const std::size_t n =
            std::min<std::size_t>(fat.size(), std::size_t(std::max(g.max_cluster, 0)) * 4);
        if (e.input.read_input(e.opt.sector_range, g.fat_offset[copy], fat.data(), n, false) < 0)
            e.status.Trace("the FAT copy at %lld could not be read: its entries are free\n",
                           static_cast<long long>(g.fat_offset[copy]));
    }
    e.fat.loaded = true;
    e.fat.dirty = {true, true};
    ++e.fat.generation;
}

void load_allocation_bitmap(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    exfat_volume_t& x = g.exfat;
    e.fat.allocation.clear();
    e.fat.allocation_trusted = false;
    const std::uint32_t cs = g.cluster_size;
    if (cs == 0) return;

    // The root's entries: the bitmap of the active FAT and the up-case table.
    bool have_bitmap = false, have_upcase = false;
    std::vector<std::uint8_t> cluster(cs);
    const std::int64_t most = std::max<std::int64_t>(1, std::int64_t(kExfatMaxDirectoryBytes / cs));
    e.fat.walk.begin(static_cast<std::size_t>(std::max(g.max_cluster, 0)));
    bool ended = false;
    for (std::int64_t c = g.root_cluster, k = 0;
         !ended && k < most && e.valid(c) && e.fat.walk.insert(c); ++k, c = fat_next(e, c, 0)) {
        if (read_cluster(e, c, cluster.data(), cs, 0, false) < 0) break;
        for (std::size_t i = 0; i + 32 <= cs; i += 32) {
            const std::uint8_t* p = cluster.data() + i;
            if (p[0] == kExfatEndOfDirectory) {
                ended = true;
                break;
            }
            if (p[0] == kExfatBitmapEntry && (p[1] & 1) == x.active_fat && !have_bitmap) {
                have_bitmap = true;
                x.bitmap_cluster = load_le32(p + 20);
                x.bitmap_length = load_le64(p + 24);
            } else if (p[0] == kExfatUpcaseEntry && !have_upcase) {
                have_upcase = true;
                x.upcase_cluster = load_le32(p + 20);
                x.upcase_length = load_le64(p + 24);
                x.upcase_checksum = load_le32(p + 4);
            }
        }
    }
    if (!have_bitmap) return;

    // Only the bits of the volume's clusters are read: a length beyond them
    // adds nothing, one short of them cannot be trusted.
    const std::uint64_t need = (std::uint64_t(x.cluster_count) + 7) / 8;
    if (x.bitmap_length < need || need == 0) return;
    std::vector<std::uint8_t> bytes;
    std::vector<std::int64_t> own;
    try {
        bytes.resize(static_cast<std::size_t>(need));
    } catch (const std::bad_alloc&) {
        e.status.Fatal("Not enough memory for fats (need %d bytes)", need);
    }
    const bool read =
        for_structure_clusters(e, x.bitmap_cluster, need, [&](std::int64_t c, std::uint64_t k) {
            const std::uint64_t at = k * cs;
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(cs, need - at));
            own.push_back(c);
            return read_cluster(e, c, bytes.data() + at, n, 0, false) == std::int64_t(n);
        });
    if (!read) return;
    e.fat.allocation.load_bytes(bytes.data(), x.cluster_count);
    auto set = [&](std::int64_t c) { return e.valid(c) && e.fat.allocation.test(c - 2); };
    e.fat.allocation_trusted =
        std::all_of(own.begin(), own.end(), set) && set(x.upcase_cluster) && set(g.root_cluster);
}

void mark_exfat_system_clusters(Engine& e) {
    const exfat_volume_t& x = e.geo.exfat;
    auto mark = [&](std::int64_t c, std::uint64_t) {
        e.fat.used.set(c);
        return true;
    };
    if (x.bitmap_cluster) for_structure_clusters(e, x.bitmap_cluster, x.bitmap_length, mark);
    if (x.upcase_cluster) for_structure_clusters(e, x.upcase_cluster, x.upcase_length, mark);
}

void finish_exfat_geometry(Engine& e, bool ignore_fat) {
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t input_size = e.input.input_size;
    // The volume's own cluster size; one chosen in the card parameters
    // question counts only when the FAT is ignored (the card is then carved
    // as FAT32).
    if (!ignore_fat || g.cluster_size == 0) g.cluster_size = g.exfat.cluster_size;
    const std::int64_t cs = g.cluster_size;
    g.max_cluster =
        input_size <= g.cluster2 || cs == 0
            ? 2
            : static_cast<std::int32_t>(
                  std::min<std::int64_t>(g.exfat.cluster_count, (input_size - g.cluster2) / cs) +
                  2);
    g.root_offset = cluster_offset(g, g.root_cluster);
    e.carve.reset();
    if (!ignore_fat) {
        read_exfat_fats(e);
        load_allocation_bitmap(e);
    }
    prepare_fat_maps(e);
    if (!ignore_fat) mark_exfat_system_clusters(e);

    // "FAT" shows 64: exFAT entries are 32 bits wide too, and 32 would read
    // as FAT32.
    e.status.SendStatus(ST_FAT, 64);
    e.status.SendStatus(ST_TOTAL_CLUSTERS, std::uint64_t(g.max_cluster));
    e.status.SendStatus(ST_CLUSTER_SIZE, g.cluster_size);
}

}  // namespace lk
