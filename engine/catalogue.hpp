// The catalogue: one tree of recovered directories and files, the records it
// is made of, how items are named, accepted and counted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.hpp"
#include "engine/extent.hpp"

namespace lk {

struct Engine;

// A FAT directory entry as stored on the card (32 bytes, little-endian).
//
// offset | size | field
//      0 |    8 | name, blank-padded; 0xE5 = deleted, 0x00 = end of directory
//      8 |    3 | extension, blank-padded
//     11 |    1 | attributes (0x01 RO, 0x02 hidden, 0x04 system, 0x08 label,
//                 0x10 directory, 0x20 archive; 0x0F = long-name fragment)
//     12 |    1 | reserved
//     13 |    1 | creation time, tenths (long-name fragment: checksum)
//     14 |    2 | creation time
//     16 |    2 | creation date
//     18 |    2 | last access date
//     20 |    2 | first cluster, high 16 bits (FAT32 only)
//     22 |    2 | write time (DOS)
//     24 |    2 | write date (DOS)
//     26 |    2 | first cluster, low 16 bits
//     28 |    4 | size in bytes
struct direntry_t {
    std::array<std::uint8_t, 8> name{};
    std::array<std::uint8_t, 3> ext{};
    std::uint8_t attr = 0;
    std::uint8_t reserved = 0;
    std::uint8_t ctime_tenths = 0;
    std::uint16_t ctime = 0;
    std::uint16_t cdate = 0;
    std::uint16_t adate = 0;
    std::uint16_t cluster_hi = 0;
    std::uint16_t wtime = 0;
    std::uint16_t wdate = 0;
    std::uint16_t cluster_lo = 0;
    std::uint32_t size = 0;

    // Decodes 32 bytes (which must be there) field by field.
    static direntry_t decode(const std::uint8_t* p);
    void encode(std::uint8_t* p) const;

    bool is_deleted() const { return name[0] == 0xE5; }
    bool is_directory() const { return attr & 0x10; }
    bool is_lfn() const { return attr == 0x0F; }
    // FAT32 entries carry the high half; FAT12/16 only the low one.
    std::uint32_t first_cluster(bool fat32) const {
        return fat32 ? std::uint32_t(cluster_hi) << 16 | cluster_lo : cluster_lo;
    }
    void set_first_cluster(std::uint32_t c, bool fat32) {
        cluster_lo = std::uint16_t(c);
        if (fat32) cluster_hi = std::uint16_t(c >> 16);
    }
    // The 11 name bytes (name and extension) as one view.
    std::string_view name11() const;
    // Writes the 11 name bytes from a formatted "NNNNNNNNEXT" text: the first
    // 8 characters fill the name, the next 3 the extension, blanks pad.
    void set_name11(std::string_view text);
    void set_extension(std::string_view tag);
};
static_assert(sizeof(direntry_t) == 32);
static_assert(offsetof(direntry_t, attr) == 11 && offsetof(direntry_t, ctime) == 14 &&
              offsetof(direntry_t, cluster_hi) == 20 && offsetof(direntry_t, cluster_lo) == 26 &&
              offsetof(direntry_t, size) == 28);

// exfat_flags of an item read from an exFAT entry set.
inline constexpr std::uint8_t kExfatSet = 0x01;         // the item comes from an exFAT set
inline constexpr std::uint8_t kExfatDeletedSet = 0x02;  // its InUse bits were clear
inline constexpr std::uint8_t kExfatNoFatChain = 0x04;  // its clusters are consecutive
inline constexpr std::uint8_t kExfatChecksumOk = 0x08;  // its SetChecksum verified

// An entry and its long name (UTF-8; empty when the entry has none). The
// fields after the name are zero for FAT items: an exFAT set holds what a
// 32-byte entry cannot.
struct lfn_t {
    direntry_t entry;
    std::string long_name;
    std::uint32_t size_high = 0;  // bits 32-63 of a file's size
    std::uint64_t valid_length =
        0;  // files: bytes past it read as zeros; directories: their allocation
    std::uint8_t exfat_flags = 0;
};

// The item's size: 64-bit for exFAT files, the entry's 32 bits otherwise.
inline std::uint64_t item_size(const lfn_t& item) {
    return std::uint64_t(item.size_high) << 32 | item.entry.size;
}
// Where the item's recorded bytes end; from there on it reads as zeros.
inline std::uint64_t item_valid_length(const lfn_t& item) {
    return (item.exfat_flags & kExfatSet) ? item.valid_length : item_size(item);
}
// Deleted: a FAT entry whose first byte is 0xE5, or an exFAT set found unused.
inline bool is_deleted(const lfn_t& item) {
    return item.entry.is_deleted() || (item.exfat_flags & kExfatDeletedSet);
}
// Sets the size: 64-bit on an exFAT item, whose valid length never exceeds
// it; a FAT entry keeps at most 32 bits.
void set_item_size(lfn_t& item, std::uint64_t size);

// Where an item's name and size came from.
enum class EntrySource : std::uint8_t {
    None,     // no directory entry: a chain or carved data, named by number
    Live,     // a directory entry in use
    Deleted,  // a deleted directory entry (its first letter guessed)
};

// How much of a picture decodes cleanly, as its preview found: complete
// (to its last row without damage), damaged (the share of rows before the
// damage in decoded_rows_percent) or unreadable. None until a preview of the
// item has been made, and for items that are not graded.
enum class Grade : std::uint8_t { None, Complete, Damaged, Unreadable };

// One catalogue item: a file or a directory.
struct dir_t : lfn_t {
    std::uint32_t thumbnail_index = 0;
    bool has_thumbnail = false;
    // FAT copy through which the item's chain was read; -1 = consecutive
    // clusters, or bytes not found through a FAT copy (carved, joined,
    // guessed from a lost entry).
    std::int32_t fat_copy = 0;
    std::int32_t shift = 0;  // bytes added to every cluster read of this item
    std::string date_text;
    bool sorted_by_date = false;
    Grade grade = Grade::None;
    std::uint8_t decoded_rows_percent = 0;
    // Accepted by add_recovered_file: an item found again by a later step is
    // neither counted nor marked a second time.
    bool accepted = false;
    EntrySource source = EntrySource::None;
    // A file's bytes on the input, settled when the catalogue accepts it;
    // empty for directories (their clusters are read by the walks) and
    // before acceptance.
    Extent extent;
    // Children by value: adding one may move its siblings, so nobody keeps a
    // reference to a child across an addition to the same directory.
    std::vector<dir_t> children;
};

struct Counters {
    std::uint32_t directories = 0;
    std::uint32_t files = 0;
    std::uint32_t crippled = 0;
    std::uint32_t contiguous = 0;
    std::uint64_t recovered_size = 0;
};

struct Catalogue {
    dir_t root;
    // The found-items folder is the root's last child while it exists.
    bool has_found = false;
    Counters counters;
    // Changes whenever an item is added, so derived indexes know when to rebuild.
    std::uint64_t generation = 0;

    dir_t* found() { return has_found && !root.children.empty() ? &root.children.back() : nullptr; }
};

// The folder of a lost entry that was read from a piece of a directory found
// on its own, or whose folder is not in the catalogue.
inline constexpr std::int64_t kUnknownFolder = -1;

// A directory entry that points at data no catalogue item covers, and the
// folder whose directory held it.
struct lost_entry_t : lfn_t {
    // First cluster of that folder (0 for the root), or kUnknownFolder.
    std::int64_t folder = kUnknownFolder;
    // The shift of the directory that held it: its first cluster counts on
    // the cluster grid displaced by this many bytes.
    std::int32_t shift = 0;
    // Step 2 counted it among the crippled files already.
    bool crippled_counted = false;
};

// First cluster to a lost directory entry, for entries that point at
// unclaimed data.
using LostEntries = std::map<std::int32_t, lost_entry_t>;

// Adds a child to dir. Children of the root go in front of the found-items
// folder, which stays the root's last child: a reference to it is valid only
// until the next child of the root is added.
dir_t& add_child(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t shift);
dir_t& find_or_add_child(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t shift, std::int32_t copy);
// The acceptance step. A file whose extent is still empty gets the extent its
// FAT copy and shift describe (extent_finder.hpp); one found otherwise
// (carved, joined, guessed) comes with its extent set.
bool add_recovered_file(Engine& e, dir_t& item, bool check_content);
// Counts an accepted item and claims the clusters its runs cover.
void mark_recovered(Engine& e, const dir_t& item);

// Names an item that has no entry of its own: base (8 characters, such as
// "V0000012") and the type tag as the extension. A tag longer than three
// characters (a user signature's name) keeps its whole text in the long name.
void set_numbered_name(lfn_t& item, std::string_view base, std::string_view tag);

// The catalogue folder whose first cluster is folder (0: the root), or the
// found-items folder when there is none (or folder is kUnknownFolder); null
// when that does not exist either.
dir_t* folder_of(Engine& e, std::int64_t folder);

std::string short_name(const direntry_t& entry);
std::string display_name(const lfn_t& item);
std::string display_extension(const lfn_t& item);

// The item's first bytes (at most max_bytes of its size) read along its runs.
std::vector<std::uint8_t> read_item(Engine& e, const dir_t& item, std::uint64_t max_bytes,
                                    std::stop_token stop = {});

}  // namespace lk
