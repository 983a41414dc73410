// Directory entries on a damaged card: long-name assembly, the plausibility
// tests, entry classification, the FAT copy choice, lost entries, and step 2
// (reading the existing files into the catalogue).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/catalogue.hpp"

namespace lk {

struct Engine;

// Assembles long names from the fragments that precede a short entry.
class LongNameAssembly {
public:
    // Feeds one fragment (an entry whose attribute is 0x0F).
    void fragment(const std::uint8_t* entry);
    // At a short entry: the long name that belongs to it (UTF-8, possibly
    // empty); the state is then cleared. *fragments receives the number of
    // fragments that made up the name that was kept.
    std::string finish(const direntry_t& entry, int* fragments = nullptr);
    void reset();
    // Feeds one 32-byte entry: a fragment is taken in and false returned; a
    // short entry is decoded into out with its long name and true returned.
    bool take(const std::uint8_t* p, lfn_t& out);
    // The fragments of a name taken so far whose short entry has not come.
    int pending_fragments() const { return pending_checksum_ == -1 ? 0 : fragment_count_; }

private:
    int pending_checksum_ = -1;
    int previous_sequence_ = 0;
    int fragment_count_ = 0;
    std::u16string name_;
};

// UTF-16 code units as UTF-8; a surrogate without its partner becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view s);

std::uint8_t short_name_checksum(const std::uint8_t* name11);
bool is_plausible_name(const std::uint8_t* name11);
bool is_directory_block(Engine& e, const std::uint8_t* entries, std::size_t count, LostEntries* map, bool strict);
// parent: the first cluster of the folder whose entry points at c (0 for the
// root), or kUnknownFolder; with dot_check, a cluster whose "." and ".."
// entries name c and parent is a directory whatever its other entries hold.
bool is_directory_cluster(Engine& e, std::int64_t c, const std::uint8_t* buffer, LostEntries* map, bool dot_check,
                          std::int64_t parent = kUnknownFolder);
// parent: the first cluster of the folder holding the entry (0 for the root),
// or kUnknownFolder.
std::int32_t classify_entry(Engine& e, const direntry_t& entry, bool allow_deleted,
                            std::int64_t parent = kUnknownFolder);
std::int32_t choose_fat_copy(Engine& e, std::int64_t first, std::uint32_t size, bool is_dir,
                             std::int64_t parent = kUnknownFolder);
// folder: the first cluster of the folder whose directory held the entry (0
// for the root), or kUnknownFolder.
// Returns the map's entry when the entry was kept.
lost_entry_t* remember_lost_entry(Engine& e, const lfn_t& entry, std::int64_t folder = kUnknownFolder);
// Notes the first letters of a block of entries' names (live ones, and
// deleted ones whose long name survived) for the guesses below.
void note_names(Engine& e, const std::uint8_t* entries, std::size_t count);
// The lost first letter of a deleted entry (its own long name, the names of
// its pattern on the card, the table of camera names, else dir's first
// child's).
std::uint8_t guess_first_letter(const Engine& e, const dir_t& dir, const lfn_t& item);
// shift: of the cluster grid the entry's first cluster counts on.
bool content_matches(Engine& e, const direntry_t& entry, std::int32_t shift = 0);
std::uint32_t read_existing_files(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, int depth = 0);

// Keeps the last `fragments` entries of a directory block, name fragments
// whose short entry lies in a cluster the folder's chain no longer reaches.
void remember_name_tail(Engine& e, const std::uint8_t* entries, std::size_t count, int fragments);
// The number of entries that open a block with the rest of a name begun in
// another cluster (0 when the block does not open so).
std::size_t leading_name_fragments(const std::uint8_t* entries, std::size_t count);

// Nested directories deeper than this are not walked (a crafted card could
// otherwise nest them until the stack runs out).
inline constexpr int kMaxDirectoryDepth = 256;

}  // namespace lk
