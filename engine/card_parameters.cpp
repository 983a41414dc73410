#include "engine/card_parameters.hpp"

#include "engine/fat_tables.hpp"
#include "engine/geometry.hpp"

namespace lk {

std::uint32_t minimal_cluster_size(int fattype, bool ignore_fat, std::int64_t bytes, std::uint32_t start) {
    std::uint32_t size = start ? start : ignore_fat ? 512 : fattype == FAT32 ? 4096 : 1024;
    const std::int64_t limit = cluster_limit(ignore_fat ? FAT32 : fattype);
    while (bytes / size > limit && size < (1u << 30)) size *= 2;
    return size;
}

std::uint32_t offered_cluster_size(const CardParameters& p) {
    std::uint32_t size = minimal_cluster_size(p.fattype, p.ignore_fat,
                                              static_cast<std::int64_t>(p.default_size), p.cluster_size);
    for (std::uint32_t choice = 512; choice <= kLargestClusterChoice; choice *= 2)
        if (choice == size) return size;
    return 1024;
}

const char* check_card_parameters(std::uint64_t size, const CardParameters& p) {
    if (size == 0) return "Please enter a valid card size";
    const std::int64_t limit = cluster_limit(p.ignore_fat ? FAT32 : p.fattype);
    if (p.cluster_size == 0 || static_cast<std::int64_t>(size / p.cluster_size) > limit)
        return "The cluster size and the card size are incompatible (too many clusters)";
    return nullptr;
}

std::uint64_t accept_offered(CardParameters& p) {
    p.cluster_size = offered_cluster_size(p);
    return p.default_size;
}

}  // namespace lk
