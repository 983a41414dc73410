// Writes files, folders and deletions into an exFAT volume that mkfs.exfat
// has formatted, the way cameras and computers leave them, plus the precise
// damage that no tool makes. Used by the tests' card builder, the demo card
// and the benchmarks; it needs no mount.
//
// What it writes:
// - files in one piece with NoFatChain and no FAT entries, or through a FAT
//   chain (fragmented, or grown after another file was written);
// - entry sets (File, Stream Extension, File Name) with the name hash from the
//   volume's up-case table and the set checksum; times in UTC (UtcOffset
//   valid, +0), 10 ms increments for odd seconds;
// - deletions as exfat-fuse makes them: InUse bits cleared, bitmap bits
//   cleared, the FAT entries of a chained file zeroed;
// - a short valid data length, TexFAT (a second FAT and bitmap, ActiveFat 1),
//   VolumeDirty, and the boot region checksums after any change to it.
//
// The image is read and written in place; every change is on the card when
// the call returns. Errors throw std::runtime_error.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lk::tools {

// The volume as its boot sector describes it; offsets in bytes from the start
// of the image file.
struct ExfatLayout {
    std::uint64_t volume_offset = 0;
    std::uint64_t volume_length = 0;  // bytes
    std::uint32_t sector_size = 0;
    std::uint32_t cluster_size = 0;
    std::uint32_t cluster_count = 0;
    std::uint32_t root_cluster = 0;
    std::uint64_t fat_offset = 0;  // the first FAT
    std::uint32_t fat_length = 0;  // bytes of one FAT
    int fats = 1;
    std::uint64_t heap_offset = 0;  // cluster 2
    std::uint32_t bitmap_cluster = 0;
    std::uint64_t bitmap_length = 0;
    std::uint32_t upcase_cluster = 0;
    std::uint64_t upcase_length = 0;

    std::uint64_t cluster_offset(std::uint32_t c) const {
        return heap_offset + std::uint64_t(c - 2) * cluster_size;
    }
};

struct ExfatFileOptions {
    std::time_t mtime = 1623760496;  // 2021-06-15 12:34:56 UTC
    bool read_only = false;
    // true: one run of clusters with NoFatChain; false: a FAT chain.
    bool contiguous = true;
    // Where the file goes, in order; empty: the next free clusters.
    std::vector<std::uint32_t> clusters;
    // The ValidDataLength; none: the whole size.
    std::optional<std::uint64_t> valid_length;
    // Secondary entries (32 bytes each) added after the File Name entries.
    std::vector<std::vector<std::uint8_t>> extra_secondaries;
};

class ExfatWriter {
  public:
    // Opens an exFAT volume that starts volume_offset bytes into the image.
    explicit ExfatWriter(const std::filesystem::path& image, std::uint64_t volume_offset = 0);
    ~ExfatWriter();
    ExfatWriter(const ExfatWriter&) = delete;
    ExfatWriter& operator=(const ExfatWriter&) = delete;

    const ExfatLayout& layout() const { return layout_; }

    // Paths are '/'-separated from the root, UTF-8; missing parents are made.
    void mkdir(const std::string& path, std::time_t mtime = 1623760496);
    void add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                  const ExfatFileOptions& options = {});
    // A file of size bytes of which only head (at its start) and tail (at
    // its end) are written: on a sparse image the rest costs nothing.
    void add_sparse_file(const std::string& path, std::uint64_t size,
                         std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail,
                         const ExfatFileOptions& options = {});
    // Appends to a file; when its next cluster is taken it becomes a FAT chain.
    void append(const std::string& path, std::span<const std::uint8_t> bytes);
    // Deletes a file, or a folder with everything in it. keep_fat leaves the
    // FAT entries of chained files as they were.
    void remove(const std::string& path, bool keep_fat = false);

    // The clusters of a file or folder in order (empty for an empty file).
    std::vector<std::uint32_t> clusters(const std::string& path) const;
    // Image offset of the File entry of a live set, and its entry count.
    std::uint64_t set_offset(const std::string& path) const;
    std::size_t set_entries(const std::string& path) const;
    // Recomputes the checksum of the set whose File entry lies at offset
    // (its InUse bits as they are: a deleted set is summed as if live).
    void rewrite_set_checksum(std::uint64_t offset);
    void set_valid_length(const std::string& path, std::uint64_t length);

    // Boot region.
    void set_volume_flags(std::uint16_t flags);  // main boot sector only, as a driver does
    std::uint16_t volume_flags() const;
    // Both regions' checksums from their sectors 0-10.
    void update_boot_checksums();
    // Turns the volume into a TexFAT one: a second FAT and a second bitmap,
    // copies of the first, and ActiveFat 1; later writes go to them.
    void make_texfat();
    // Rewrites the boot region for 4,096-byte sectors (clusters of at least
    // 4 KB, offsets that are multiples of 4 KB).
    void use_4k_sectors();

    // Raw access.
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const;
    void write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    std::uint32_t fat_entry(std::uint32_t cluster, int fat = -1) const;  // -1: the active FAT
    void write_fat(std::uint32_t cluster, std::uint32_t value);          // into the active FAT
    bool allocated(std::uint32_t cluster) const;
    // Sets or clears count bits of the active bitmap from first.
    void set_allocated(std::uint32_t first, std::uint32_t count, bool on);

  private:
    // Where a set lies: its folder's clusters and the File entry's index.
    struct Place {
        std::vector<std::uint32_t> folder;
        std::size_t index = 0;
    };
    struct Folder {
        std::uint32_t first = 0;
        bool root = false;
        bool no_fat_chain = false;
        Place place;  // its own set (not for the root)
        std::vector<std::uint32_t> clusters;
    };
    struct Found {
        Place place;
        std::size_t entries = 0;
        std::uint32_t first = 0;
        std::uint64_t length = 0;
        bool no_fat_chain = false;
        bool directory = false;
        std::u16string name;
    };

    void load();
    std::uint64_t active_fat_offset() const;
    std::vector<std::uint32_t> allocate(std::uint64_t bytes, bool contiguous);
    std::vector<std::uint32_t> chain_of(std::uint32_t first, std::uint64_t length,
                                        bool no_fat_chain) const;
    Folder root_folder() const;
    Folder folder_of(const Found& f) const;
    Folder open_folder(const std::string& path, bool create, std::time_t mtime);
    std::vector<Found> list(const Folder& folder) const;
    std::optional<Found> find(const Folder& folder, const std::u16string& name) const;
    Found find_path(const std::string& path) const;
    std::uint64_t entry_offset(const std::vector<std::uint32_t>& clusters, std::size_t index) const;
    std::uint64_t entry_offset(const Place& place, std::size_t k) const;
    std::vector<std::uint8_t> read_set(const Place& place) const;
    void write_entry(const Place& place, std::size_t k, std::span<const std::uint8_t> entry);
    void add_set(Folder& folder, const std::u16string& name, std::uint16_t attributes,
                 std::time_t mtime, std::uint32_t first, std::uint64_t length, std::uint64_t valid,
                 bool no_fat_chain, const std::vector<std::vector<std::uint8_t>>& extra);
    void grow_folder(Folder& folder);
    void update_stream(const Place& place, std::uint32_t first, std::uint64_t length,
                       std::uint64_t valid, bool no_fat_chain);
    void link_chain(const std::vector<std::uint32_t>& clusters);
    void remove_found(const Found& f, bool keep_fat);
    std::uint16_t name_hash(const std::u16string& name) const;
    char16_t upcase(char16_t c) const;
    void write_file_data(const std::vector<std::uint32_t>& clusters, std::uint64_t at,
                         std::span<const std::uint8_t> bytes);

    int fd_ = -1;
    ExfatLayout layout_;
    int active_fat_ = 0;
    std::uint32_t active_bitmap_cluster_ = 0;
    std::vector<std::uint8_t> bitmap_;  // the active bitmap
    std::vector<char16_t> upcase_;      // 65,536 entries
    std::uint32_t next_free_ = 2;       // where the next allocation looks first
};

// Parses a path into its '/'-separated parts.
std::vector<std::string> split_exfat_path(const std::string& path);
// UTF-8 to UTF-16 code units (as exFAT names are stored).
std::u16string utf8_to_utf16(const std::string& text);
// A UTC time as an exFAT timestamp (DOS date and time, the date in the high
// half) and its 10 ms increment.
std::uint32_t exfat_timestamp(std::time_t utc);
std::uint8_t exfat_10ms(std::time_t utc);

}  // namespace lk::tools
