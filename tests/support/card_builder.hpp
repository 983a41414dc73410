// Card images for end-to-end tests, made at test time with mkfs.fat and mtools,
// plus raw writes for damage that no file system tool produces.
//
// Names and times on the card, as the tools write them (the tests rely on this):
// - mtools runs with LC_ALL=C.UTF-8: names are given here in UTF-8; a long name
//   is stored as UTF-16LE fragments, the short alias in code page 850 (so
//   "Ünïcödé ñame.txt" gets the alias bytes 9A 4E D8 43 99 44 7E 31 "TXT",
//   i.e. "ÜNÏCÖD~1.TXT").
// - mtools runs with TZ=UTC: the directory entry's write date and time are the
//   file's modification time in UTC, with the seconds rounded down to even.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace lk::test {

enum class FatBits { fat12 = 12, fat16 = 16, fat32 = 32 };

struct FatOptions {
    std::uint64_t image_size = 32ull << 20;  // bytes of the whole image file
    FatBits bits = FatBits::fat16;
    unsigned sectors_per_cluster = 4;
    std::string label;  // empty: no volume label
    // Sector at which the partition starts behind an MBR; none: the volume starts at sector 0.
    std::optional<std::uint32_t> partition_start;
    // MBR partition type; none: 0x01 FAT12, 0x06 FAT16, 0x0C FAT32.
    std::optional<std::uint8_t> partition_type;
    std::uint32_t volume_id = 0x4C4B0001;  // fixed, so images are reproducible
    unsigned root_entries = 0;             // FAT12/16; 0 leaves mkfs.fat's choice
    // The MBR's first bytes: false leaves its code area zero (00 00), true
    // starts it with FA 33 C0 like the boot code of a partitioned card.
    bool mbr_boot_code = false;
};

// The layout read back from a boot sector. Offsets are bytes from the start of
// the image file (the partition offset included).
struct FatLayout {
    std::uint64_t volume_offset = 0;  // where the boot sector is
    std::uint32_t bytes_per_sector = 0;
    std::uint32_t sectors_per_cluster = 0;
    std::uint32_t cluster_size = 0;
    std::uint32_t reserved_sectors = 0;
    std::uint32_t fat_count = 0;
    std::uint32_t root_entries = 0;  // 0 on FAT32
    std::uint64_t total_sectors = 0;
    std::uint32_t fat_sectors = 0;
    std::uint32_t hidden_sectors = 0;
    std::uint32_t root_cluster = 0;  // FAT32 only
    FatBits bits = FatBits::fat16;
    std::uint64_t fat_offset[2] = {0, 0};  // copies 1 and 2 (copy 2 equals copy 1 with one FAT)
    std::uint64_t root_offset = 0;         // FAT12/16 root directory; FAT32: cluster 2
    std::uint64_t cluster2_offset = 0;     // start of the data area
    std::uint32_t cluster_count = 0;       // valid clusters are 2 .. cluster_count + 1

    // Byte offset of cluster c (c >= 2) in the image.
    std::uint64_t cluster_offset(std::uint32_t c) const {
        return cluster2_offset + std::uint64_t(c - 2) * cluster_size;
    }
};

// Decodes a FAT boot sector found at volume_offset; none when the sector is
// not one (no 55 AA, bytes per sector not a power of two from 512 to 4096,
// zero cluster size or FAT count, or sizes that do not fit together).
std::optional<FatLayout> parse_boot_sector(std::span<const std::uint8_t> sector,
                                           std::uint64_t volume_offset);

// Encodes a logical block address as the 3 CHS bytes of an MBR partition entry
// (255 heads, 63 sectors per track, cylinders capped at 1023).
void encode_chs(std::uint32_t lba, std::uint8_t out[3]);

// A UTC time as the DOS date and time mtools writes into a directory entry
// (seconds rounded down to even; years from 1980).
std::uint16_t dos_date(std::time_t utc);
std::uint16_t dos_time(std::time_t utc);

// What was put on the card, so tests can compare recovered files byte for byte.
struct CardFile {
    std::string path;  // '/'-separated from the root, as given (long names, UTF-8)
    std::vector<std::uint8_t> bytes;
    std::time_t mtime = 0;  // as given; the card holds it rounded down to 2 s
    bool read_only = false;
    bool deleted = false;  // removed with mdel or with its folder
};

class FatImage {
  public:
    // Makes the image file (replacing one at that path) and formats it. Throws
    // std::runtime_error with the tool's error text when a tool fails.
    static FatImage create(const std::filesystem::path& image, const FatOptions& options);

    const std::filesystem::path& path() const { return image_; }
    const FatOptions& options() const { return options_; }
    std::uint64_t volume_offset() const;
    // The image as mtools addresses it: "path" or "path@@offset".
    std::string mtools_image() const;

    // Folders are created level by level where missing ("DCIM/100CANON").
    void add_dir(const std::string& path);
    // Adds a file with the given bytes and modification time (UTC seconds);
    // parent folders are created where missing.
    void add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                  std::time_t mtime = default_mtime(), bool read_only = false);
    void set_read_only(const std::string& path);
    void delete_file(const std::string& path);    // mdel
    void delete_folder(const std::string& path);  // mdeltree; files inside count as deleted
    // mkfs.fat again with the same geometry: boot sector, FATs and root are new,
    // the data area (on FAT32 except the new root cluster) keeps its bytes.
    void quick_format();

    // Raw access to the image file.
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const;
    std::vector<std::uint8_t> bytes() const;
    void overwrite(std::uint64_t offset, std::span<const std::uint8_t> data);
    void zero(std::uint64_t offset, std::uint64_t length);
    void zero_boot_sector() { zero(volume_offset(), 512); }
    // Writes bytes starting offset bytes into cluster c (they may run on into
    // the following clusters); nothing in the FAT or a directory refers to
    // them. Returns the image offset written at.
    std::uint64_t write_at_cluster(std::uint32_t cluster, std::uint32_t offset,
                                   std::span<const std::uint8_t> data);

    // The layout as the boot sector says now; throws when the boot sector is
    // not readable (for instance after zero_boot_sector).
    FatLayout layout() const;
    // The layout read when the image was formatted (kept across damage).
    const FatLayout& formatted_layout() const { return formatted_; }

    // Moves files (given by path, with 8.3 names) to the clusters given, in
    // order: their bytes are written there (the last cluster padded with
    // zeros), their chains rewritten in every FAT copy and their entries
    // pointed at the first cluster. The clusters must be free or the moved
    // files' own. FAT16 and FAT32 only. Lays out files as a file system
    // that wrote them side by side would (interleaved, nested).
    void place_files(const std::vector<std::pair<std::string, std::vector<std::uint32_t>>>& placement);

    // The clusters of a file or folder in chain order, as mshowfat reports
    // them (empty for an empty file); throws when the path is not there.
    std::vector<std::uint32_t> clusters(const std::string& path) const;
    // Image offset of the 32-byte entry with the given 11-byte short name
    // ("IMG_0001JPG") in a folder ("" = the root); throws when the entry is
    // not there.
    std::uint64_t entry_offset(const std::string& folder, const std::string& name11) const;

    // mdir's listing of a folder (for checking what the tools see).
    std::string list_dir(const std::string& path, bool all = false) const;
    // Reads a file back through mtools.
    std::vector<std::uint8_t> extract(const std::string& path) const;

    const std::vector<CardFile>& files() const { return files_; }
    std::vector<CardFile> present_files() const;
    std::vector<CardFile> deleted_files() const;
    const std::vector<std::string>& dirs() const { return dirs_; }

    // 2021-06-15 12:34:56 UTC.
    static constexpr std::time_t default_mtime() { return 1623760496; }

  private:
    FatImage(std::filesystem::path image, FatOptions options);
    void format();
    std::string target(const std::string& path) const;  // "::/DCIM/X.JPG"
    CardFile* find_present(const std::string& path);

    std::filesystem::path image_;
    FatOptions options_;
    FatLayout formatted_;
    TempDir scratch_;
    unsigned scratch_counter_ = 0;
    std::vector<CardFile> files_;
    std::vector<std::string> dirs_;
};

// True when mkfs.fat and the mtools programs used here are installed.
bool have_fat_tools();

}  // namespace lk::test

// Skips the current test when the card-making tools are missing.
#define LK_REQUIRE_FAT_TOOLS()                                                             \
    do {                                                                                   \
        if (!::lk::test::have_fat_tools())                                                 \
            GTEST_SKIP() << "mkfs.fat or mtools not installed (scripts/setup.sh installs " \
                            "dosfstools and mtools)";                                      \
    } while (0)
