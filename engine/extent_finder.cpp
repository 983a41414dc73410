#include "engine/extent_finder.hpp"

#include <algorithm>

#include "engine/common.hpp"

namespace lk {

namespace {

// Adds cluster c's share of the bytes left; returns what is left after it.
std::uint64_t take_cluster(Extent& x, const card_geometry_t& g, std::int64_t c, std::int32_t shift,
                           std::uint64_t left) {
    const std::uint64_t n = std::min<std::uint64_t>(left, g.cluster_size);
    add_cluster(x, g, c, shift, n);
    return left - n;
}

// The bytes no cluster held are zeros: the file is partial.
void end_short(Extent& x, std::uint64_t left) {
    if (left == 0) return;
    x.add_zeros(left);
    x.foreign += left;
    x.how = ExtentHow::Partial;
}

}  // namespace

Extent recorded_extent(Engine& e, const lfn_t& record, std::int32_t copy, std::int32_t shift) {
    Extent x;
    const card_geometry_t& g = e.geo;
    const std::uint64_t size = item_size(record);
    const std::uint64_t valid = std::min(item_valid_length(record), size);
    const std::int64_t first = e.first_cluster(record.entry);
    if (copy < 0) {
        x.how = ExtentHow::Consecutive;
        if (valid != 0) x.add(cluster_offset(g, first) + shift, valid);
    } else if (valid != 0 && g.cluster_size != 0) {
        x.how = ExtentHow::Chain;
        // Bounded by the file's clusters and a walk mark per cluster: a
        // chain that loops or leaves the card ends there.
        e.fat.walk.begin(static_cast<std::size_t>(std::max(g.max_cluster, 0)));
        std::uint64_t left = valid;
        for (std::int64_t c = first; left > 0 && e.valid(c) && e.fat.walk.insert(c); c = fat_next(e, c, copy))
            left = take_cluster(x, g, c, shift, left);
        end_short(x, left);
    }
    x.add_zeros(size - valid);
    return x;
}

Extent unclaimed_extent(Engine& e, std::int64_t first, std::uint64_t size, std::int32_t shift) {
    Extent x;
    x.how = ExtentHow::Consecutive;
    const card_geometry_t& g = e.geo;
    std::uint64_t left = size;
    for (std::int64_t c = first; left > 0 && e.valid(c);) {
        left = take_cluster(x, g, c, shift, left);
        do {
            ++c;
        } while (c < g.max_cluster && cluster_in_use(e, c));
    }
    end_short(x, left);
    return x;
}

Extent pieces_extent(Engine& e, std::span<const std::pair<std::int64_t, std::int64_t>> pieces,
                     std::uint64_t size, std::int32_t shift) {
    Extent x;
    x.how = ExtentHow::Pieces;
    const card_geometry_t& g = e.geo;
    std::uint64_t left = size;
    for (const auto& [first, count] : pieces)
        for (std::int64_t c = first; c < first + count && left > 0; ++c) left = take_cluster(x, g, c, shift, left);
    end_short(x, left);
    return x;
}

bool free_for_guess(Engine& e, std::int64_t c, std::int64_t own) {
    if (!e.valid(c) || cluster_in_use(e, c)) return false;
    return c == own || !e.lost.count(static_cast<std::int32_t>(c));
}

bool chain_is_gone(Engine& e, std::int64_t first) {
    for (int copy = 0; copy < 2; ++copy)
        if (!e.fat.copy[copy].empty() && fat_next(e, first, copy) != 0) return false;
    return true;
}

namespace {

// The clusters the chain from first reaches in one copy, at most n: each
// valid, seen once, and free for the file.
std::vector<std::int64_t> chain_reach(Engine& e, std::int64_t first, int copy, std::uint64_t n) {
    std::vector<std::int64_t> reach;
    if (e.fat.copy[copy].empty()) return reach;
    e.fat.walk.begin(static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)));
    for (std::int64_t c = first; reach.size() < n && free_for_guess(e, c, first) && e.fat.walk.insert(c);
         c = fat_next(e, c, copy))
        reach.push_back(c);
    return reach;
}

// size bytes over the clusters given, then zeros; how and the bytes not from
// the clusters' own source as given.
Extent over_clusters(Engine& e, const std::vector<std::int64_t>& clusters, std::uint64_t valid, std::uint64_t size,
                     std::int32_t shift) {
    Extent x;
    std::uint64_t left = valid;
    for (std::int64_t c : clusters)
        if (left != 0) left = take_cluster(x, e.geo, c, shift, left);
    x.add_zeros(left);
    x.add_zeros(size - valid);
    return x;
}

}  // namespace

Extent broken_chain_extent(Engine& e, const lfn_t& record, std::int32_t shift) {
    const std::uint64_t size = item_size(record);
    const std::uint64_t valid = std::min(item_valid_length(record), size);
    const std::uint64_t n = clusters_for(e.geo, valid);
    const std::int64_t first = e.first_cluster(record.entry);
    std::vector<std::int64_t> clusters = chain_reach(e, first, 0, n);
    if (std::vector<std::int64_t> other = chain_reach(e, first, 1, n); other.size() > clusters.size())
        clusters = std::move(other);
    const std::uint64_t chained = clusters.size();
    // The rest, when the clusters after the last good one hold it.
    bool rest_fits = !clusters.empty() && chained < n;
    for (std::uint64_t k = 1; rest_fits && k <= n - chained; ++k)
        rest_fits = free_for_guess(e, clusters.back() + static_cast<std::int64_t>(k), first);
    if (rest_fits)
        for (std::uint64_t k = 1, last = static_cast<std::uint64_t>(clusters.back()); k <= n - chained; ++k)
            clusters.push_back(static_cast<std::int64_t>(last + k));
    Extent x = over_clusters(e, clusters, valid, size, shift);
    x.how = ExtentHow::Partial;
    const std::uint64_t from_chain = std::min<std::uint64_t>(chained * e.geo.cluster_size, valid);
    x.foreign = valid - from_chain;
    return x;
}

Extent guessed_extent(Engine& e, const lfn_t& record, std::int32_t shift, bool skip) {
    const std::uint64_t size = item_size(record);
    const std::uint64_t valid = std::min(item_valid_length(record), size);
    const std::uint64_t n = clusters_for(e.geo, valid);
    const std::int64_t first = e.first_cluster(record.entry);
    std::vector<std::int64_t> clusters;
    std::uint64_t skipped = 0;
    for (std::int64_t c = first; clusters.size() < n && e.valid(c); ++c) {
        if (free_for_guess(e, c, first)) {
            clusters.push_back(c);
        } else if (!skip || c == first) {
            return {};
        } else if (++skipped > kGuessSkipClusters) {
            break;
        }
    }
    Extent x = over_clusters(e, clusters, valid, size, shift);
    x.how = ExtentHow::Guessed;
    if (clusters.size() < n) {
        // The card ended, or the guess went too far: the rest is not known.
        x.how = ExtentHow::Partial;
        x.foreign = valid - std::min<std::uint64_t>(clusters.size() * std::uint64_t(e.geo.cluster_size), valid);
    }
    return x;
}

Extent consecutive_lost_extent(Engine& e, const lfn_t& record, std::int32_t shift) {
    const std::uint64_t size = item_size(record);
    const std::uint64_t valid = std::min(item_valid_length(record), size);
    const std::int64_t first = e.first_cluster(record.entry);
    Extent x;
    x.how = ExtentHow::Consecutive;
    std::uint64_t left = valid;
    for (std::int64_t c = first; left > 0; ++c) {
        const std::uint64_t bytes = std::min<std::uint64_t>(left, e.geo.cluster_size);
        if (free_for_guess(e, c, first)) {
            add_cluster(x, e.geo, c, shift, bytes);
        } else {
            x.add_zeros(bytes);
            x.foreign += bytes;
            x.how = ExtentHow::Partial;
        }
        left -= bytes;
    }
    x.add_zeros(size - valid);
    return x;
}

}  // namespace lk
