// Recovery through FAT and directories: deleted entries in the known
// directories, directory clusters and chains found anywhere, lost entries.
#pragma once

#include <cstdint>

#include "engine/catalogue.hpp"

namespace lk {

struct Engine;

// copy: a classification result (classify_entry, or classify_exfat_set,
// whose kExfatConsecutive gives the item FAT copy -1); nothing below 0.
std::uint32_t add_entry(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t copy, int depth = 0);
std::uint32_t recover_directories(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster,
                                  int depth = 0);
std::uint32_t read_sequentially(Engine& e, dir_t& found, bool scan_dirs);
std::uint32_t recover_lost_files(Engine& e, dir_t& found);

}  // namespace lk
