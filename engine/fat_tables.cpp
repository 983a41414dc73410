#include "engine/fat_tables.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/common.hpp"
#include "base/bytes.hpp"

namespace lk {

// Per type: FAT12, FAT16, FAT32, exFAT. exFAT entries are whole 32-bit
// values compared unsigned; its cluster limit keeps max_cluster a signed
// 32-bit number.
std::int64_t end_of_chain_marker(int fattype) {
    static constexpr std::int64_t m[4] = {0xFF8, 0xFFF8, 0x0FFFFFF8, 0xFFFFFFF8};
    return m[fattype];
}

std::int64_t bad_cluster_marker(int fattype) {
    static constexpr std::int64_t m[4] = {0xFF7, 0xFFF7, 0x0FFFFFF7, 0xFFFFFFF7};
    return m[fattype];
}

std::int64_t cluster_limit(int fattype) {
    static constexpr std::int64_t m[4] = {4080, 65520, 8'192'000, 0x7FFFFFFD};
    return m[fattype];
}

namespace {

// A chain value as the type's markers see it: fat_next gives exFAT entries
// signed, its markers are unsigned.
std::int64_t entry_value(int fattype, std::int64_t v) {
    return fattype == EXFAT ? std::int64_t(static_cast<std::uint32_t>(v)) : v;
}

}  // namespace

void allocate_fats(Engine& e, std::uint32_t bytes, bool clear_all) {
    const card_geometry_t& g = e.geo;
    if (bytes == 0) {
        // Entry width 1.5, 2 or 4 bytes, computed as 3, 4 or 8 halves; plus
        // room for the second byte of a packed FAT12 entry.
        static constexpr std::int64_t halves[4] = {3, 4, 8, 8};
        std::int64_t need = std::int64_t(std::max(g.max_cluster, 0)) * halves[g.fattype] / 2 + 2;
        bytes = static_cast<std::uint32_t>(std::min<std::int64_t>(need, UINT32_MAX - 65536));
    }
    if (e.fat.allocated >= bytes && !e.fat.copy[0].empty()) return;
    std::uint32_t rounded = (bytes + 65535) / 65536 * 65536;
    try {
        for (auto& c : e.fat.copy) {
            if (clear_all) c.assign(rounded, 0);
            else c.resize(rounded, 0);
        }
    } catch (const std::bad_alloc&) {
        e.status.Fatal("Not enough memory for fats (need %d bytes)", rounded);
    }
    e.fat.allocated = rounded;
}

void free_fats(Engine& e) {
    for (auto& c : e.fat.copy) LargeTable<std::uint8_t>().swap(c);
    e.fat.allocated = 0;
    e.fat.loaded = false;
}

void snapshot_fats(Engine& e) {
    try {
        for (int i = 0; i < 2; ++i) e.fat.original[i] = e.fat.copy[i];
    } catch (const std::bad_alloc&) {
        e.status.Fatal("Not enough memory for original fat copies (need %d bytes)", e.fat.allocated);
    }
}

void prepare_fat_maps(Engine& e) {
    allocate_fats(e, 0, false);
    snapshot_fats(e);
    rebuild_tables(e, 0);
    rebuild_tables(e, 1);
    std::size_t n = static_cast<std::size_t>(std::max(e.geo.max_cluster, 0));
    e.fat.used.reset(n + 1);
    e.fat.visited.reset(n);
}

namespace {

// The raw entry of c in a copy; entries beyond the allocated bytes read as free.
std::uint32_t raw_entry(const LargeTable<std::uint8_t>& fat, int fattype, std::int64_t c) {
    const std::uint8_t* p = fat.data();
    const std::size_t n = fat.size();
    switch (fattype) {
        case FAT12: {
            std::size_t at = static_cast<std::size_t>(c) * 3 / 2;
            if (at + 1 >= n) return 0;
            std::uint32_t v = load_le16(p + at);
            return (c & 1) ? v >> 4 : v & 0xFFF;
        }
        case FAT16: {
            std::size_t at = static_cast<std::size_t>(c) * 2;
            return at + 1 < n ? load_le16(p + at) : 0;
        }
        case FAT32: {
            std::size_t at = static_cast<std::size_t>(c) * 4;
            // The top four bits of a FAT32 entry are reserved.
            return at + 3 < n ? load_le32(p + at) & 0x0FFFFFFF : 0;
        }
        default: {
            std::size_t at = static_cast<std::size_t>(c) * 4;
            return at + 3 < n ? load_le32(p + at) : 0;
        }
    }
}

}  // namespace

std::int32_t fat_next(const FatState& fat, const card_geometry_t& g, std::int64_t c, int copy) {
    if (c == 1 || fat.copy[copy].empty()) return 1;
    if (c < 1) return static_cast<std::int32_t>(c + 1);
    if (c >= g.max_cluster) return -1;
    // exFAT has no reserved range: its whole entry is returned, signed, so
    // that an end mark (0xFFFFFFFF) reads -1 and ends every walk.
    static constexpr std::int64_t reserved[4] = {4080, 65520, 0x0FFFFFF0, INT64_MAX};
    if (c >= reserved[g.fattype]) return static_cast<std::int32_t>(c);
    return static_cast<std::int32_t>(raw_entry(fat.copy[copy], g.fattype, c));
}

std::int32_t fat_next(Engine& e, std::int64_t c, int copy) {
    if (copy < 0 || copy > 1) e.status.Fatal("internal error in fat_next");
    return fat_next(e.fat, e.geo, c, copy);
}

void fix_fat_entry(Engine& e, std::int64_t c, std::int64_t value, int copy) {
    if (!e.valid(c) || copy < 0 || copy > 1) e.status.Fatal("fix_fat_entry");
    auto& fat = e.fat.copy[copy];
    e.fat.dirty[copy] = true;
    ++e.fat.generation;
    std::uint32_t v = static_cast<std::uint32_t>(value);
    switch (e.geo.fattype) {
        case FAT12: {
            std::size_t at = static_cast<std::size_t>(c) * 3 / 2;
            if (at + 1 >= fat.size()) return;
            std::uint16_t old = load_le16(fat.data() + at);
            std::uint16_t now = (c & 1) ? std::uint16_t((old & 0x000F) | (v & 0xFFF) << 4)
                                        : std::uint16_t((old & 0xF000) | (v & 0xFFF));
            store_le16(fat.data() + at, now);
            break;
        }
        case FAT16: {
            std::size_t at = static_cast<std::size_t>(c) * 2;
            if (at + 1 < fat.size()) store_le16(fat.data() + at, std::uint16_t(v));
            break;
        }
        default: {
            std::size_t at = static_cast<std::size_t>(c) * 4;
            if (at + 3 < fat.size()) store_le32(fat.data() + at, v);
            break;
        }
    }
}

bool cluster_in_use(Engine& e, std::int64_t c) {
    if (e.fat.used.test(c)) return true;
    const int type = e.geo.fattype;
    const std::int64_t bad = bad_cluster_marker(type);
    return entry_value(type, fat_next(e, c, 0)) == bad ||
           entry_value(type, fat_next(e, c, 1)) == bad;
}

bool cluster_allocated(const Engine& e, std::int64_t c) {
    return e.fat.allocation_trusted && e.valid(c) && e.fat.allocation.test(c - 2);
}

void rebuild_tables(Engine& e, int copy) {
    const std::int32_t mc = std::max(e.geo.max_cluster, 0);
    auto& pred = e.fat.pred[copy];
    auto& indeg = e.fat.indeg[copy];
    pred.reset(static_cast<std::size_t>(mc));
    indeg.reset(static_cast<std::size_t>(mc));
    // The exFAT entries of free clusters are undefined: a stale one must not
    // make a cluster look like the middle of a chain.
    const bool allocated_only = e.geo.fattype == EXFAT && e.fat.allocation_trusted;
    for (std::int32_t c = 2; c < mc; ++c) {
        if (allocated_only && !cluster_allocated(e, c)) continue;
        std::int32_t n = fat_next(e, c, copy);
        if (e.valid(n)) {
            pred[n] = c;
            ++indeg[n];
        }
    }
    e.fat.dirty[copy] = false;
}

static void ensure_tables(Engine& e, int copy) {
    if (e.fat.dirty[copy] || e.fat.pred[copy].size() != static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)))
        rebuild_tables(e, copy);
}

std::int32_t predecessor(Engine& e, std::int64_t c, int copy) {
    ensure_tables(e, copy);
    if (!e.valid(c)) return 0;
    const std::int32_t p = e.fat.pred[copy][static_cast<std::size_t>(c)];
    return p == 0 ? -1 : p;
}

std::uint32_t in_degree(Engine& e, std::int64_t c, int copy) {
    ensure_tables(e, copy);
    if (!e.valid(c)) return 0;
    return e.fat.indeg[copy][c];
}

std::uint64_t chain_bytes(Engine& e, std::int64_t first, int copy) {
    const int type = e.geo.fattype;
    const std::int64_t end = end_of_chain_marker(type);
    e.fat.walk.begin(static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)));
    std::uint64_t bytes = 0;
    for (std::int64_t c = first;; c = fat_next(e, c, copy)) {
        if (entry_value(type, c) >= end) return bytes;
        if (!e.valid(c)) return 0;
        if (e.fat.used.test(c) || in_degree(e, c, copy) > 1 || !e.fat.walk.insert(c)) return 0;
        // An exFAT chain runs only through allocated clusters.
        if (type == EXFAT && !cluster_allocated(e, c)) return 0;
        bytes += e.geo.cluster_size;
    }
}

}  // namespace lk
