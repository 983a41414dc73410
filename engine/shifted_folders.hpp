// Folders of a card whose data area was shifted: their clusters lie a whole
// number of sectors off the cluster grid the boot sector gives (a card
// reformatted with other parameters, or a data area found at the wrong
// place). The sequential read notes where a block beginning with "." and
// ".." starts inside a cluster; once the carving index tells the shift of
// the files, the blocks at that shift are read as folders, so that their
// files keep their names and folders.
#pragma once

#include <cstdint>
#include <vector>

namespace lk {

struct Engine;
struct dir_t;

// A cluster holding "." and ".." entries at a sector offset other than 0.
struct ShiftedDotEntries {
    std::int64_t cluster = 0;
    std::int32_t shift = 0;
};

// Notes the sector offsets of cluster c's data at which "." and ".." begin.
void note_shifted_dot_entries(Engine& e, std::int64_t c, const std::uint8_t* data,
                              std::vector<ShiftedDotEntries>& out);

// The shift with the most file headers in the carving index, the one the
// carving tries first after shift 0; 0 when no shifted header was seen.
std::int32_t likely_shift(const Engine& e);

// Reads the noted blocks at the likely shift that pass the directory-block
// test: the cluster numbers in their entries are translated by the difference
// between the cluster where a block was found and the cluster its "." entry
// names. Subfolders join the catalogue (under the folder that names them,
// else under found); files are remembered as lost entries at that shift, to
// be named and placed when carving reaches them. Returns the folders added.
std::uint32_t read_shifted_folders(Engine& e, dir_t& found,
                                   const std::vector<ShiftedDotEntries>& blocks);

}  // namespace lk
