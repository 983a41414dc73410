// exFAT volumes in an analysis: finding the volume (by its boot region, or
// by its root directory and up-case table when the boot region is gone), the
// FAT copies and the allocation bitmap, and the directory walks of steps 2, 3
// and 5 over entry sets.
#pragma once

#include <cstdint>

#include "engine/catalogue.hpp"
#include "engine/exfat_entries.hpp"

namespace lk {

struct Engine;

// Discovery (step 1).
//
// P is the offset of a sector that passed is_exfat_boot_sector: settles the
// volume's start (P, or the main region 12 sectors before a backup found
// first) and the boot sector whose fields are used, and fills the geometry.
bool locate_exfat_volume(Engine& e, std::int64_t P);
// The search without a boot region: the root directory's first sector and
// the up-case table give the cluster size and cluster 2.
bool exfat_geometry_from_structures(Engine& e);
// VolumeLength in bytes, from the boot sector copy; 0 without one.
std::int64_t exfat_size_from_boot_record(const Engine& e);

// The exFAT branch of finish_geometry: max_cluster, the FAT copies, the
// allocation bitmap, the FAT maps, the system clusters and the status.
void finish_exfat_geometry(Engine& e, bool ignore_fat);
void read_exfat_fats(Engine& e);
void load_allocation_bitmap(Engine& e);
// Marks the bitmap's and the up-case table's clusters used, so that neither
// the directory pass nor carving takes them.
void mark_exfat_system_clusters(Engine& e);

// Classification of a set or of a record made from one: -3 ignore (a deleted
// set whose clusters were reused), -2 broken, -1 lost, else the FAT copy to
// read it through (-1 stands for consecutive clusters and is returned as
// kExfatConsecutive, so that it is not taken for "lost").
inline constexpr std::int32_t kExfatConsecutive = 2;
std::int32_t classify_exfat_set(Engine& e, const exfat_set_t& set, bool deleted);
std::int32_t classify_exfat_record(Engine& e, const lfn_t& record, bool deleted);
// The FAT copy an item keeps for a classification result of 0, 1 or
// kExfatConsecutive.
inline std::int32_t exfat_item_copy(std::int32_t d) {
    return d == kExfatConsecutive ? -1 : d;
}

// Step 2 over one directory (the root when dir is the catalogue root);
// returns the files accepted.
std::uint32_t read_exfat_directory(Engine& e, dir_t& dir, int depth = 0);
// Step 3: the deleted sets of one directory, and of every directory found.
std::uint32_t recover_exfat_directories(Engine& e, dir_t& dir, int depth = 0);
// The sequential read's directory test for a cluster's bytes.
bool is_exfat_directory_cluster(Engine& e, std::int64_t c, const std::uint8_t* buffer);
// The whole sets of a directory cluster found by the sequential read: those
// that can be read go to found, the others are remembered as lost.
std::uint32_t read_exfat_directory_cluster(Engine& e, dir_t& found, const std::uint8_t* buffer);

}  // namespace lk
