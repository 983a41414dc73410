// The card parameters question as every front end asks it: what it offers by
// default and what it accepts, so that the window, the command line and the
// tests agree.
#pragma once

#include <cstdint>

#include "base/reporter.hpp"

namespace lk {

// Starting from start (or, when 0, from 512 when the FAT is ignored, 4,096
// on FAT32, else 1,024), doubles the cluster size until bytes / size is within
// the type's cluster limit (the FAT32 limit whenever the FAT is ignored).
std::uint32_t minimal_cluster_size(int fattype, bool ignore_fat, std::int64_t bytes, std::uint32_t start);

// The question's cluster sizes: choice i stands for 512 × 2^i bytes, from 512
// bytes to 32 MB (exFAT clusters reach 32 MB; FAT ones stop at 64 KB).
inline constexpr std::uint32_t kLargestClusterChoice = 32u << 20;
inline constexpr int kClusterSizeChoices = 17;

// The cluster size the question offers: the minimal size for the default card
// size, as one of its choices (anything else shows as 1 KB).
std::uint32_t offered_cluster_size(const CardParameters& p);

// Null when size and p.cluster_size may be accepted, else the English text of
// the refusal ("Please enter a valid card size", "...too many clusters").
const char* check_card_parameters(std::uint64_t size, const CardParameters& p);

// What pressing OK on the question as offered does: the offered cluster size
// is chosen and the default size is the answer.
std::uint64_t accept_offered(CardParameters& p);

}  // namespace lk
