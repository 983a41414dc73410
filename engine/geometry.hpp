// The analysed card's layout: where the boot record, the FAT copies, the root
// directory and cluster 2 lie, the cluster size and the FAT type; the search
// that finds them on a damaged card; and the cluster address arithmetic.
#pragma once

#include <array>
#include <cstdint>

namespace lk {

struct Engine;

// FAT type codes, which index every per-type table.
enum : int { FAT12 = 0, FAT16 = 1, FAT32 = 2, EXFAT = 3 };

// Where an exFAT volume's fields came from.
enum : int {
    kExfatMainVerified = 0,
    kExfatMainUnverified = 1,
    kExfatBackupVerified = 2,
    kExfatBackupUnverified = 3,
    kExfatSearched = 4,  // found without a boot region
};

// What an exFAT volume adds to the geometry; all zero on a FAT card.
struct exfat_volume_t {
    std::int64_t volume_start =
        0;                 // the main boot sector's offset; -1 when found without boot region
    int sector_shift = 0;  // bytes per sector as a power of two
    std::uint32_t cluster_size =
        0;  // the volume's own, whatever the card parameters question chose
    std::uint32_t cluster_count = 0;
    std::uint16_t volume_flags =
        0;  // VolumeDirty assumed when the main boot sector failed its test
    int boot_source = kExfatMainVerified;
    int fats = 0;  // NumberOfFats
    int active_fat = 0;
    std::uint32_t bitmap_cluster = 0;
    std::uint64_t bitmap_length = 0;
    std::uint32_t upcase_cluster = 0;
    std::uint64_t upcase_length = 0;
    std::uint32_t upcase_checksum = 0;

    bool dirty() const { return volume_flags & 0x2; }
};

struct card_geometry_t {
    std::int64_t size_from_pbr = 0;  // the boot record's size as found by the search
    std::int64_t pbr_size = 0;       // size_from_pbr once accepted, else 0
    std::int64_t pbr_offset = -1;    // partition boot record, -1 = not found
    std::array<std::int64_t, 2> fat_offset{-1, -1};
    std::int64_t root_offset = -1;  // FAT12/16 root directory, FAT32 cluster 2
    // Offset of cluster 2. 64-bit: a partition that starts beyond 2 GB would
    // overflow a 32-bit offset.
    std::int64_t cluster2 = -1;
    std::uint32_t cluster_size = 0;  // 0 = not yet decided
    int fattype = FAT16;
    // Bytes of one FAT copy. 64-bit: an exFAT FAT may exceed 2 GiB.
    std::int64_t fat_size = 0;
    std::int32_t max_cluster = 0;    // valid clusters are 2 .. max_cluster - 1
    std::array<std::uint8_t, 512> boot_record{};
    std::uint32_t root_size = 0;     // FAT12/16: bytes of the root directory
    std::int32_t root_cluster = -1;  // FAT32: first cluster of the root directory
    // FAT copies the boot structure search saw on the card (0, 1 or 2), as
    // opposed to those placed by the boot record's fields or by default.
    int fats_found = 0;
    // The data area's place did not follow from the boot record (absent, or
    // its fields put the root or cluster 2 outside the input).
    bool cluster2_guessed = false;
    exfat_volume_t exfat;

    // The number of FAT copies counted by read_fats lives in the boot record
    // copy (byte 16), as on the card; an exFAT boot sector has no such byte.
    std::uint8_t fat_count() const {
        return fattype == EXFAT ? static_cast<std::uint8_t>(exfat.fats) : boot_record[16];
    }
    void set_fat_count(std::uint8_t n) { boot_record[16] = n; }
};

// The card size table: the BIOS parameter block of a freshly formatted card
// of each nominal size (a megabyte being 1,024,000 bytes).
struct card_size_row {
    std::uint32_t nominal_mb;
    std::uint32_t total_sectors;
    std::uint8_t sectors_per_cluster;
    std::uint16_t root_entries;
    std::uint16_t sectors_per_track;
    std::uint16_t heads;
};
inline constexpr int kCardSizeRows = 21;
extern const std::array<card_size_row, kCardSizeRows> kCardSizeTable;

// Row whose size is nearest to bytes; the lower row on a tie.
int nearest_card_size(std::int64_t bytes);
// The table row as bytes 11..35 of a boot sector.
std::array<std::uint8_t, 25> card_size_bpb(int row);

void reset_geometry(Engine& e);
void find_boot_structures(Engine& e);
std::int64_t size_from_boot_record(const Engine& e);
bool read_fats(Engine& e, bool probe);
std::int32_t score_fat(Engine& e, int copy, int type);
void fat_type_from_label(Engine& e);
bool boot_record_is_fat32(const std::array<std::uint8_t, 512>& br);
std::uint32_t measure_root_dir(Engine& e);
std::uint32_t minimal_cluster_size(const Engine& e, std::int64_t bytes, std::uint32_t start);
void finish_geometry(Engine& e, bool validated, bool ignore_fat, int template_row);

// Sector tests of the boot structure search.
bool is_mbr(const std::uint8_t* sector, std::int64_t input_size);
bool is_partition_entry(const std::uint8_t* entry, std::int64_t input_size);
bool is_boot_record(const std::uint8_t* sector);
bool is_fat_start(const std::uint8_t* sector);

// Address arithmetic. Cluster numbers <= 0 are byte distances before cluster
// 2 (the FAT12/16 root directory is cluster -root_size).
inline bool is_valid_cluster(const card_geometry_t& g, std::int64_t c) { return c > 1 && c < g.max_cluster; }
std::int64_t cluster_offset(const card_geometry_t& g, std::int64_t n);
std::int32_t cluster_of_offset(const card_geometry_t& g, std::int64_t offset);
std::uint64_t round_to_cluster(const card_geometry_t& g, std::uint64_t bytes);
std::uint64_t clusters_for(const card_geometry_t& g, std::uint64_t bytes);
// Reads length bytes of cluster n plus shift; -1 (buffer zeroed) past max_cluster.
[[nodiscard]] std::int64_t read_cluster(Engine& e, std::int64_t n, void* buffer, std::size_t length,
                                        std::int32_t shift, bool honour_range);

// The sector range in cluster terms, from the current geometry.
std::int32_t range_first_cluster(const Engine& e);
std::int32_t range_last_cluster(const Engine& e);
// Progress within the range for a cluster loop.
void RangeProgress(Engine& e, std::int64_t cluster);

}  // namespace lk
