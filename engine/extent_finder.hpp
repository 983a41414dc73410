// How a file's runs are found on this card: along its chain in a FAT copy,
// over consecutive clusters, over the unclaimed clusters from its first one
// (carving), from pieces, and, for a lost entry whose chain is gone or
// broken, cluster by cluster from its first cluster.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "engine/extent.hpp"

namespace lk {

struct Engine;
struct lfn_t;

// The runs an entry's record describes: consecutive clusters for copy -1,
// else its chain in that copy. Past its valid length a file reads as zeros. A
// chain that ends before the size gives zeros for the rest and is partial.
Extent recorded_extent(Engine& e, const lfn_t& record, std::int32_t copy, std::int32_t shift);

// size bytes from cluster first on, over the clusters that follow it and are
// not in use (a carved file passes over the clusters other files claimed):
// consecutive as the carving sees them; zeros where the card ends first.
Extent unclaimed_extent(Engine& e, std::int64_t first, std::uint64_t size, std::int32_t shift);

// size bytes from runs of consecutive clusters (first cluster, clusters).
Extent pieces_extent(Engine& e, std::span<const std::pair<std::int64_t, std::int64_t>> pieces,
                     std::uint64_t size, std::int32_t shift);

// Lost files: entries whose chain cannot be read whole. Their first clusters
// are claimed for them before any guess is made (reserved: no other lost
// file's guess takes one), and a guess takes no cluster that is in use.

// Whether cluster c may be taken by the guess for the lost file whose first
// cluster is own: valid, not in use, and no other lost entry's first cluster.
bool free_for_guess(Engine& e, std::int64_t c, std::int64_t own);

// The chain of a lost file is gone when its first cluster's entry is free in
// every FAT copy (deleting zeroes a file's chain); otherwise it broke.
bool chain_is_gone(Engine& e, std::int64_t first);

// A file whose chain broke (a cluster number outside the card, a free or bad
// mark before its size, a loop, a cluster another file holds): the clusters
// its chain still reaches from the first, through the copy that reaches
// furthest, then the clusters after the last good one when they are free for
// it and hold the rest, else zeros. Partial, with the bytes that did not
// come from the chain counted.
Extent broken_chain_extent(Engine& e, const lfn_t& record, std::int32_t shift);

// A file whose chain is gone, guessed cluster by cluster from its first
// cluster: with skip, clusters that are not free for it are passed over (at
// most kGuessSkipClusters of them; what is still missing then is zeros);
// without, its clusters are the consecutive ones from the first and any that
// is not free for it makes the guess fail (empty). Guessed.
inline constexpr std::uint64_t kGuessSkipClusters = 4096;
Extent guessed_extent(Engine& e, const lfn_t& record, std::int32_t shift, bool skip);

// An exFAT file of consecutive clusters (NoFatChain) that other files
// partly hold: its clusters, with zeros where they are not free for it.
Extent consecutive_lost_extent(Engine& e, const lfn_t& record, std::int32_t shift);

}  // namespace lk
