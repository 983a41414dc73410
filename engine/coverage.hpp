// The byte ranges that catalogued items occupy on the card, so that a lost
// entry pointing into a known file is not remembered.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace lk {

struct Catalogue;
struct FatState;
struct card_geometry_t;
struct dir_t;

class CoverageIndex {
public:
    // True when offset lies inside the data of any catalogue item: a file's
    // runs (each to the end of its last cluster), or a directory's whole
    // chain. Rebuilt when the catalogue or a FAT copy has changed.
    bool contains(const Catalogue& cat, const card_geometry_t& g, const FatState& fat, std::int64_t offset);

private:
    void rebuild(const Catalogue& cat, const card_geometry_t& g, const FatState& fat);
    void add_item(const card_geometry_t& g, const FatState& fat, const dir_t& item, int depth);

    std::uint64_t cat_generation_ = UINT64_MAX;
    std::uint64_t fat_generation_ = UINT64_MAX;
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges_;  // sorted, merged
};

}  // namespace lk
