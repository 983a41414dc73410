#include "engine/coverage.hpp"

#include <algorithm>
#include <unordered_set>

#include "engine/catalogue.hpp"
#include "engine/directories.hpp"
#include "engine/fat_tables.hpp"
#include "engine/geometry.hpp"
#include "engine/directories.hpp"

namespace lk {

void CoverageIndex::add_item(const card_geometry_t& g, const FatState& fat, const dir_t& item, int depth) {
    const std::uint32_t cs = g.cluster_size;
    const std::int64_t first = item.entry.first_cluster(g.fattype == FAT32 || g.fattype == EXFAT);
    if (!item.entry.is_directory()) {
        // A file covers its runs, each to the end of its last cluster.
        for (const ByteRun& r : item.extent.runs)
            if (!r.zeros())
                ranges_.emplace_back(r.offset, r.offset + static_cast<std::int64_t>(round_to_cluster(g, r.length)));
    } else if (cs && is_valid_cluster(g, first)) {
        // A folder covers its whole chain (an exFAT folder of consecutive
        // clusters its allocation).
        if (item.fat_copy == -1) {
            const std::int64_t start = cluster_offset(g, first) + item.shift;
            ranges_.emplace_back(start, start + static_cast<std::int64_t>(round_to_cluster(g, item.valid_length)));
        } else {
            std::unordered_set<std::int64_t> seen;
            for (std::int64_t c = first; is_valid_cluster(g, c) && seen.insert(c).second;
                 c = fat_next(fat, g, c, item.fat_copy)) {
                const std::int64_t start = cluster_offset(g, c) + item.shift;
                ranges_.emplace_back(start, start + cs);
            }
        }
    }
    if (depth < kMaxDirectoryDepth)
        for (const dir_t& child : item.children) add_item(g, fat, child, depth + 1);
}

void CoverageIndex::rebuild(const Catalogue& cat, const card_geometry_t& g, const FatState& fat) {
    ranges_.clear();
    add_item(g, fat, cat.root, 0);
    std::sort(ranges_.begin(), ranges_.end());
    std::size_t out = 0;
    for (const auto& r : ranges_) {
        if (out > 0 && r.first <= ranges_[out - 1].second)
            ranges_[out - 1].second = std::max(ranges_[out - 1].second, r.second);
        else
            ranges_[out++] = r;
    }
    ranges_.resize(out);
    cat_generation_ = cat.generation;
    fat_generation_ = fat.generation;
}

bool CoverageIndex::contains(const Catalogue& cat, const card_geometry_t& g, const FatState& fat,
                             std::int64_t offset) {
    if (cat_generation_ != cat.generation || fat_generation_ != fat.generation) rebuild(cat, g, fat);
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), std::make_pair(offset, INT64_MAX));
    return it != ranges_.begin() && offset < std::prev(it)->second;
}

}  // namespace lk
