// The two FAT copies in memory, their untouched snapshots, the predecessor and
// in-degree tables rebuilt lazily, and the two cluster bitmaps.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "base/large_table.hpp"
#include "engine/bitmap.hpp"

namespace lk {

struct Engine;
struct card_geometry_t;

// The clusters seen by one chain walk, forgotten in O(1) when the next walk
// begins (a stamp per cluster rather than a set that allocates per walk).
class WalkMarks {
public:
    void begin(std::size_t clusters) {
        if (stamps_.size() < clusters) stamps_.assign(clusters, 0), epoch_ = 0;
        if (++epoch_ == 0) {
            std::fill(stamps_.begin(), stamps_.end(), 0);
            epoch_ = 1;
        }
    }
    // False when c was seen before on this walk (c must be below the size given).
    bool insert(std::int64_t c) {
        std::uint32_t& s = stamps_[static_cast<std::size_t>(c)];
        if (s == epoch_) return false;
        s = epoch_;
        return true;
    }

private:
    LargeTable<std::uint32_t> stamps_;
    std::uint32_t epoch_ = 0;
};

struct FatState {
    // Entry c of a copy is stored as on the card: FAT12 packed 12 bits,
    // FAT16 16-bit and FAT32 32-bit little-endian. Empty = not allocated.
    std::array<LargeTable<std::uint8_t>, 2> copy;
    std::array<LargeTable<std::uint8_t>, 2> original;
    std::uint32_t allocated = 0;  // bytes allocated for each in-memory copy
    std::array<bool, 2> dirty{true, true};
    // The predecessor tables hold 0 where nothing points (cluster numbers
    // begin at 2): predecessor() gives -1 there.
    std::array<ZeroedTable<std::int32_t>, 2> pred;
    std::array<ZeroedTable<std::uint32_t>, 2> indeg;
    std::uint64_t generation = 0;  // grows whenever an entry of a copy is written or reloaded
    bool loaded = false;  // read_fats has read the copies from the card
    Bitmap used;          // clusters that belong to a catalogued item
    Bitmap visited;       // directory clusters already read
    // exFAT: the allocation bitmap as read from the card (bit c - 2 for
    // cluster c), used only when trusted.
    Bitmap allocation;
    bool allocation_trusted = false;
    WalkMarks walk;       // for chain walks that call no other walk
};

// Per-type markers. FAT32 entries are compared on their low 28 bits (the top
// four bits are reserved): volumes store 0x0FFFFFF8..F for the end of a chain
// and 0x0FFFFFF7 for a bad cluster. exFAT entries are compared whole.
std::int64_t end_of_chain_marker(int fattype);
std::int64_t bad_cluster_marker(int fattype);
// The type's cluster-count limit: 4080, 65520, 8,192,000, 0x7FFFFFFD.
std::int64_t cluster_limit(int fattype);

void allocate_fats(Engine& e, std::uint32_t bytes, bool clear_all);
void free_fats(Engine& e);
void snapshot_fats(Engine& e);
void prepare_fat_maps(Engine& e);

// The next cluster of c's chain in a copy: 1 for c = 1 or an unallocated copy,
// c + 1 for c < 1, -1 for c >= max_cluster, c itself in the reserved range.
std::int32_t fat_next(Engine& e, std::int64_t c, int copy);
// The same on the tables alone (copy 0 or 1), for the parts that need
// nothing else of the analysis.
std::int32_t fat_next(const FatState& fat, const card_geometry_t& g, std::int64_t c, int copy);
// Writes one entry of an in-memory copy (the tests lay out chains with it;
// the analysis only reads the copies).
void fix_fat_entry(Engine& e, std::int64_t c, std::int64_t value, int copy);
bool cluster_in_use(Engine& e, std::int64_t c);
// exFAT: the trusted allocation bitmap has c's bit set (false without one).
bool cluster_allocated(const Engine& e, std::int64_t c);
std::int32_t predecessor(Engine& e, std::int64_t c, int copy);
std::uint32_t in_degree(Engine& e, std::int64_t c, int copy);
std::uint64_t chain_bytes(Engine& e, std::int64_t first, int copy);
// Rebuilds a copy's predecessor and in-degree tables.
void rebuild_tables(Engine& e, int copy);

}  // namespace lk
