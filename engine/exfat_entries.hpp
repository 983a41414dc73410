// exFAT on-card structures read from bytes alone: the boot sector test, the
// boot region checksum, the root and up-case tests of the search without a
// boot region, and entry sets with their checksum and UTF-16 names.
//
// Nothing here reads the card or knows an analysis: every function takes the
// bytes it judges, so that tests and the fuzz target call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "engine/catalogue.hpp"

namespace lk {

// Entry types (byte 0): bits 0-4 TypeCode, bit 5 benign, bit 6 secondary,
// bit 7 InUse. A deleted entry keeps its type with bit 7 clear.
inline constexpr std::uint8_t kExfatEndOfDirectory = 0x00;
inline constexpr std::uint8_t kExfatInUse = 0x80;
inline constexpr std::uint8_t kExfatSecondary = 0x40;
inline constexpr std::uint8_t kExfatBenign = 0x20;
inline constexpr std::uint8_t kExfatBitmapEntry = 0x81;
inline constexpr std::uint8_t kExfatUpcaseEntry = 0x82;
inline constexpr std::uint8_t kExfatFileEntry = 0x85;
inline constexpr std::uint8_t kExfatStreamEntry = 0xC0;
inline constexpr std::uint8_t kExfatNameEntry = 0xC1;

// A directory's allocation never exceeds 256 MiB.
inline constexpr std::uint64_t kExfatMaxDirectoryBytes = 256u << 20;
// The engine's cluster numbers are 32-bit signed: max_cluster = count + 2
// must fit.
inline constexpr std::uint32_t kExfatMaxClusterCount = 0x7FFFFFFD;

// Boot sector fields (little-endian; bytes beyond 511 of a larger sector are
// not read):
//
// offset | size | field
//      0 |    3 | JumpBoot EB 76 90
//      3 |    8 | FileSystemName "EXFAT   "
//     11 |   53 | MustBeZero
//     72 |    8 | VolumeLength (sectors)
//     80 |    4 | FatOffset (sectors from the boot sector)
//     84 |    4 | FatLength (sectors per FAT)
//     88 |    4 | ClusterHeapOffset (sectors)
//     92 |    4 | ClusterCount
//     96 |    4 | FirstClusterOfRootDirectory
//    104 |    2 | FileSystemRevision (byte 105: major, 1)
//    106 |    2 | VolumeFlags: 0x1 ActiveFat, 0x2 VolumeDirty, 0x4 MediaFailure
//    108 |    1 | BytesPerSectorShift (9 .. 12)
//    109 |    1 | SectorsPerClusterShift (clusters up to 32 MiB)
//    110 |    1 | NumberOfFats (1, or 2 with TexFAT)
//    112 |    1 | PercentInUse
//    510 |    2 | 55 AA
struct exfat_boot_t {
    std::uint64_t volume_length = 0;
    std::uint32_t fat_offset = 0;
    std::uint32_t fat_length = 0;
    std::uint32_t cluster_heap_offset = 0;
    std::uint32_t cluster_count = 0;
    std::uint32_t root_cluster = 0;
    std::uint16_t volume_flags = 0;
    int sector_shift = 0;
    int cluster_shift = 0;  // sectors per cluster, as a power of two
    int fats = 0;

    std::uint32_t sector_size() const { return 1u << sector_shift; }
    std::uint32_t cluster_size() const { return 1u << (sector_shift + cluster_shift); }
};
inline constexpr std::uint16_t kExfatActiveFat = 0x1;
inline constexpr std::uint16_t kExfatVolumeDirty = 0x2;

// The field tests of a boot sector, in 64-bit arithmetic (a sector of at
// least 512 bytes).
bool is_exfat_boot_sector(Bytes sector);
// The fields of a sector that passed is_exfat_boot_sector.
exfat_boot_t decode_exfat_boot_sector(Bytes sector);

// The checksum of sectors 0-10 of a boot region (VolumeFlags and
// PercentInUse skipped); region holds at least 11 sectors of sector_size.
std::uint32_t exfat_boot_checksum(Bytes region, std::uint32_t sector_size);
// Every word of sector 11 equals the checksum of sectors 0-10.
bool exfat_region_verifies(Bytes region, std::uint32_t sector_size);

// What a root sector test knows of the volume, when it knows anything.
struct exfat_root_limits_t {
    std::uint32_t cluster_count = 0;
    int fats = 1;
};
// The first root entries of a 512-byte sector: the Allocation Bitmap and the
// Up-case Table entries, before any end-of-directory entry.
struct exfat_root_facts_t {
    std::uint32_t bitmap_cluster = 0;
    std::uint64_t bitmap_length = 0;
    std::uint32_t upcase_cluster = 0;
    std::uint64_t upcase_length = 0;
    std::uint32_t upcase_checksum = 0;
};
bool is_exfat_root_sector(Bytes sector, const exfat_root_limits_t* limits,
                          exfat_root_facts_t* facts = nullptr);
// A sector that starts an up-case table stored uncompressed from its start:
// its first 128 entries are the mandatory ones.
bool is_upcase_start(Bytes sector);
// The up-case table's TableChecksum step, over bytes; start from 0.
std::uint32_t exfat_table_checksum(Bytes bytes, std::uint32_t sum = 0);

// What a set may claim on this volume.
struct exfat_set_limits_t {
    std::int64_t max_cluster = 0;     // valid clusters are 2 .. max_cluster - 1
    std::uint64_t cluster_count = 0;  // the volume's ClusterCount
    std::uint32_t cluster_size = 0;
};

// One File entry set, parsed in place.
struct exfat_set_t {
    std::size_t consumed = 1;  // entries taken: 1 for a broken set, else SecondaryCount + 1
    bool broken = true;
    bool deleted = false;
    bool checksum_ok = false;
    std::uint16_t attributes = 0;
    std::uint32_t create_time = 0, modify_time = 0, access_time = 0;
    std::uint8_t create_10ms = 0;
    std::uint8_t flags = 0;  // GeneralSecondaryFlags: 0x1 AllocationPossible, 0x2 NoFatChain
    std::uint32_t first_cluster = 0;
    std::uint64_t data_length = 0;
    std::uint64_t valid_data_length = 0;
    std::string name;  // UTF-8

    bool is_directory() const { return attributes & 0x10; }
    bool no_fat_chain() const { return flags & 0x2; }
};

// The set whose File entry is entries[i] (0x85 live, 0x05 deleted), count
// entries of 32 bytes being the directory as far as it is known.
exfat_set_t parse_entry_set(Bytes entries, std::size_t i, bool deleted,
                            const exfat_set_limits_t& limits);
// The SetChecksum of (secondaries + 1) entries; a deleted set is summed with
// its InUse bits set again, as it was when it was written.
std::uint16_t exfat_set_checksum(Bytes set, bool deleted);
// The entries an entry at i takes when it is not the start of a set being
// read: a benign primary takes its secondaries, anything else itself.
std::size_t exfat_entries_taken(Bytes entries, std::size_t i);

// The catalogue record of a set: a directory entry made from its fields (an
// 8.3 name from the long name, FAT32-style first cluster) and the exFAT
// facts that an entry cannot hold.
lfn_t exfat_set_to_entry(const exfat_set_t& set);
// The 11 name bytes an exFAT long name stands for in a FAT directory.
std::string exfat_short_name(std::string_view long_name);

}  // namespace lk
