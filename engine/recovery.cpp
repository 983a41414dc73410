#include "engine/recovery.hpp"

#include <algorithm>
#include <vector>

#include "engine/common.hpp"
#include "formats/identify.hpp"

namespace lk {

namespace {

std::uint32_t walk_directory(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, bool from_deleted,
                             int depth);

std::uint32_t add_entry_impl(Engine& e, dir_t& dir, lfn_t entry, std::int32_t copy, int depth) {
    if (copy < 0) return 0;
    const bool deleted = entry.entry.is_deleted();
    if (deleted) entry.entry.name[0] = guess_first_letter(dir, entry.entry);
    dir_t& item = find_or_add_child(e, dir, entry, e.geo.data_shift, copy);
    if (!item.accepted && item.source == EntrySource::None)
        item.source = deleted ? EntrySource::Deleted : EntrySource::Live;
    if (!add_recovered_file(e, item, true)) return 0;
    if (!item.entry.is_directory()) return 1;
    return walk_directory(e, item, item.entry.size, e.first_cluster(item.entry), deleted, depth + 1);
}

std::uint32_t walk_directory(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, bool from_deleted,
                             int depth) {
    if (depth > kMaxDirectoryDepth) return 0;
    const std::int64_t block = cluster < 1 ? remaining * 32 : e.geo.cluster_size;
    if (from_deleted) e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
    if (block <= 0) return 0;

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block));
    std::uint32_t accepted = 0;
    const std::int64_t own_first = e.first_cluster(dir.entry);
    bool ended = false;
    while (!ended && !(remaining < 1 && !e.valid(cluster)) && !e.status.IsCancelled()) {
        if (e.valid(cluster)) {
            if (e.fat.visited.test(cluster)) break;
            e.fat.visited.set(cluster);
            e.fat.used.set(cluster);
        }
        read_cluster(e, cluster, buffer.data(), buffer.size(), e.geo.data_shift, true);
        // Live entries first, so that a deleted entry never takes the place
        // of a live one with the same first cluster.
        for (int pass = 1; pass <= 2; ++pass) {
            LongNameAssembly lfn;
            for (std::size_t i = 0; i + 32 <= buffer.size() && !e.status.IsCancelled(); i += 32) {
                lfn_t entry;
                if (!lfn.take(buffer.data() + i, entry)) continue;
                const direntry_t& d = entry.entry;
                if (d.is_deleted() != (pass == 2)) continue;
                const std::int32_t copy = classify_entry(e, d, true);
                if (copy == -1) {
                    remember_lost_entry(e, entry);
                } else if (copy == -4) {
                    ended = true;  // no further block; the deleted pass still reads this one
                    break;
                } else if (copy >= 0) {
                    if (d.size != 0 && e.first_cluster(d) == own_first) continue;
                    if (content_matches(e, d)) accepted += add_entry_impl(e, dir, entry, copy, depth);
                }
            }
        }
        remaining -= block / 32;
        cluster = fat_next(e, cluster, dir.fat_copy < 0 ? 0 : dir.fat_copy);
    }
    return accepted;
}

}  // namespace

std::uint32_t add_entry(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t copy, int depth) {
    return add_entry_impl(e, dir, entry, copy, depth);
}

std::uint32_t recover_directories(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, int depth) {
    return walk_directory(e, dir, remaining, cluster, false, depth);
}

std::uint32_t read_sequentially(Engine& e, dir_t& found, bool scan_dirs) {
    const std::int64_t first = range_first_cluster(e), last = range_last_cluster(e);
    const std::uint32_t cs = e.geo.cluster_size;
    std::uint32_t accepted = 0;
    if (cs == 0) return 0;
    std::vector<std::uint8_t> buffer(cs);

    // Directory pass: every unclaimed cluster is read once here; the same
    // read feeds the carving index. Runs of unclaimed clusters are read about
    // a megabyte at a time (one cluster at a time within a sector range,
    // whose first cluster may begin before the range).
    const std::int64_t batch = e.opt.sector_range.is_set() ? 1 : std::max<std::int64_t>(1, (1 << 20) / cs);
    std::vector<std::uint8_t> run(static_cast<std::size_t>(batch) * cs);
    for (std::int64_t i = first, run_start = 0, run_end = 0; i < last && !e.status.IsCancelled(); ++i) {
        if (cluster_in_use(e, i)) continue;
        if (i >= run_end) {
            run_start = i;
            run_end = i + 1;
            while (run_end < last && run_end - run_start < batch && !cluster_in_use(e, run_end)) ++run_end;
            read_cluster(e, run_start, run.data(), static_cast<std::size_t>(run_end - run_start) * cs, 0, true);
        }
        const std::uint8_t* data = run.data() + static_cast<std::size_t>(i - run_start) * cs;
        RangeProgress(e, i);
        index_cluster(e, i, data);
        if (!scan_dirs || !is_directory_cluster(e, i, data, nullptr, true)) continue;
        e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
        LostEntries entries;
        is_directory_block(e, data, cs / 32, &entries, true);
        for (auto& [cluster, entry] : entries) {
            if (e.status.IsCancelled()) break;
            const std::int32_t d = classify_entry(e, entry.entry, true);
            if (d < 0) {
                remember_lost_entry(e, entry);
            } else if (entry.entry.is_directory() || entry.entry.size == 0 || entry.entry.size > cs) {
                accepted += add_entry(e, found, entry, d);
            } else {
                // A file of one cluster: its entry waits for carving, which
                // confirms the content first.
                remember_lost_entry(e, entry);
            }
        }
    }

    // Chain pass: chains that no directory describes.
    if (e.opt.ignore_fat) return accepted;
    std::uint32_t n = 0;
    const std::uint64_t min_size = std::max<std::uint32_t>(2048, cs);
    for (std::int64_t j = first; j < last && !e.status.IsCancelled(); ++j) {
        if (cluster_in_use(e, j)) continue;
        RangeProgress(e, j);
        if (e.valid(predecessor(e, j, 0))) continue;  // not a chain head
        const std::uint64_t size = chain_bytes(e, j, 0);
        if (size <= min_size) continue;
        read_cluster(e, j, buffer.data(), cs, 0, true);
        TypeTag tag = identify_header(Bytes(buffer.data(), cs), e.signatures);
        if (tag.empty()) continue;
        ++n;
        lfn_t entry;
        set_numbered_name(entry, format("F%07d", n), tag);
        entry.entry.set_first_cluster(static_cast<std::uint32_t>(j), e.fat32());
        entry.entry.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX));
        dir_t& item = find_or_add_child(e, found, entry, 0, 0);
        if (add_recovered_file(e, item, true)) ++accepted;
    }
    return accepted;
}

std::uint32_t recover_lost_files(Engine& e, dir_t& found) {
    std::uint32_t accepted = 0;
    // By key, so that entries remembered meanwhile (by directories recovered
    // here) are visited too, and no iterator is held across a change.
    auto it = e.lost.begin();
    while (it != e.lost.end() && !e.status.IsCancelled()) {
        const std::int32_t key = it->first;
        if (!cluster_in_use(e, key)) {
            lfn_t entry = it->second;
            accepted += add_entry(e, found, entry, classify_entry(e, entry.entry, true));
        }
        it = e.lost.upper_bound(key);
    }
    return accepted;
}

}  // namespace lk
