#include "engine/recovery.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>
#include <vector>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/exfat.hpp"
#include "engine/extent_finder.hpp"
#include "engine/read_ahead.hpp"
#include "engine/shifted_folders.hpp"
#include "formats/identify.hpp"
#include "formats/jpeg.hpp"
#include "formats/jpeg_decode.hpp"

namespace lk {

namespace {

std::uint32_t walk_directory(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, bool from_deleted,
                             int depth);

std::uint32_t add_entry_impl(Engine& e, dir_t& dir, lfn_t entry, std::int32_t copy, int depth) {
    if (copy < 0) return 0;
    const bool deleted = is_deleted(entry);
    // A deleted FAT entry has lost its first letter; an exFAT set keeps its name.
    if (entry.entry.is_deleted()) entry.entry.name[0] = guess_first_letter(e, dir, entry);
    dir_t& item = find_or_add_child(e, dir, entry, e.carve.data_shift, exfat_item_copy(copy));
    if (!item.accepted && item.source == EntrySource::None)
        item.source = deleted ? EntrySource::Deleted : EntrySource::Live;
    if (!add_recovered_file(e, item, true)) return 0;
    if (!item.entry.is_directory()) return 1;
    if (e.exfat()) return recover_exfat_directories(e, item, depth + 1);
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
    // One long-name assembly per pass, kept from block to block: a name may
    // begin at the end of one cluster and end in the next.
    LongNameAssembly names[2];
    while (!ended && !(remaining < 1 && !e.valid(cluster)) && !e.stopping()) {
        if (e.valid(cluster)) {
            if (e.fat.visited.test(cluster)) break;
            e.fat.visited.set(cluster);
            e.fat.used.set(cluster);
        }
        // A block that cannot be read ends the directory.
        if (read_cluster(e, cluster, buffer.data(), buffer.size(), e.carve.data_shift, true) < 0) break;
        // Step 2 noted the names of the live folders; a deleted one's are new.
        if (from_deleted) note_names(e, buffer.data(), buffer.size() / 32);
        // Live entries first, so that a deleted entry never takes the place
        // of a live one with the same first cluster.
        for (int pass = 1; pass <= 2; ++pass) {
            LongNameAssembly& lfn = names[pass - 1];
            for (std::size_t i = 0; i + 32 <= buffer.size() && !e.stopping(); i += 32) {
                lfn_t entry;
                if (!lfn.take(buffer.data() + i, entry)) continue;
                const direntry_t& d = entry.entry;
                if (d.is_deleted() != (pass == 2)) continue;
                const std::int32_t copy = classify_entry(e, d, true, own_first);
                if (copy == -1) {
                    remember_lost_entry(e, entry, own_first);
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
        if (!ended && !e.valid(cluster))
            for (const LongNameAssembly& lfn : names)
                remember_name_tail(e, buffer.data(), buffer.size() / 32, lfn.pending_fragments());
    }
    return accepted;
}

// Whether a name fragment holds the end of its name: its text stops at a zero
// character. (A name whose length is a multiple of 13 has none, and is taken
// as incomplete.)
bool names_its_end(const std::uint8_t* fragment) {
    static constexpr int chars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    return std::any_of(std::begin(chars), std::end(chars), [&](int off) { return load_le16(fragment + off) == 0; });
}

// The remembered fragments that begin the name whose rest, or whose short
// entry, opens this block: found by the checksum they share. A deleted short
// entry has lost the first byte its checksum covers; the name's own first
// letter stands in for it, as it does in the short name.
const std::vector<std::uint8_t>* opening_name_tail(Engine& e, const std::uint8_t* data, std::size_t leading) {
    if (data[0] == 0 || e.name_tails.empty()) return nullptr;
    if (leading > 0) {
        auto it = e.name_tails.find(data[13]);
        return it == e.name_tails.end() ? nullptr : &it->second;
    }
    if (data[11] == 0x0F) return nullptr;
    if (data[0] != 0xE5) {
        auto it = e.name_tails.find(short_name_checksum(data));
        return it == e.name_tails.end() ? nullptr : &it->second;
    }
    for (const auto& [checksum, tail] : e.name_tails) {
        LongNameAssembly names;
        lfn_t entry;
        for (std::size_t i = 0; i + 32 <= tail.size(); i += 32) names.take(tail.data() + i, entry);
        const std::string name = names.finish(direntry_t::decode(data));
        const auto first = std::find_if(name.begin(), name.end(), [](char c) { return c != ' ' && c != '.'; });
        if (first == name.end() || static_cast<unsigned char>(*first) >= 0x80) continue;
        std::uint8_t name11[11];
        std::memcpy(name11, data, 11);
        name11[0] = static_cast<std::uint8_t>(std::toupper(static_cast<unsigned char>(*first)));
        if (short_name_checksum(name11) == checksum) return &tail;
    }
    return nullptr;
}

// A cluster of directory entries without "." and "..": a later cluster of a
// folder whose chain is gone. Its entries are remembered as lost (their
// folder unknown), to be recovered through their chains or their free
// clusters once carving has had the first say. A name that opens the cluster
// is completed from the cluster that ended with its first fragments; without
// that, a deleted name whose first fragment is not here is dropped rather
// than given in part.
void read_directory_piece(Engine& e, const std::uint8_t* data) {
    const std::size_t count = e.geo.cluster_size / 32;
    LongNameAssembly lfn;
    lfn_t entry;
    std::size_t start = 0;
    const std::size_t leading = leading_name_fragments(data, count);
    if (const std::vector<std::uint8_t>* tail = opening_name_tail(e, data, leading)) {
        for (std::size_t i = 0; i + 32 <= tail->size(); i += 32) lfn.take(tail->data() + i, entry);
    } else if (leading > 0 && data[0] == 0xE5 && !names_its_end(data)) {
        start = leading;
    }
    note_names(e, data + 32 * start, count - start);
    for (std::size_t i = start; i < count && !e.stopping(); ++i) {
        if (!lfn.take(data + 32 * i, entry)) continue;
        if (entry.entry.name[0] == 0) break;
        if (entry.entry.name[0] == '.' || (entry.entry.attr & 0x08)) continue;
        if (classify_entry(e, entry.entry, true) == -4) break;
        remember_lost_entry(e, entry);
    }
    if (const int pending = lfn.pending_fragments(); pending > 0) remember_name_tail(e, data, count, pending);
}

// A cheap first look before the whole block is tested: a piece of a
// directory begins with a name fragment or with a short entry whose name
// could be one.
bool may_start_directory_piece(const std::uint8_t* p) {
    if (p[0] == 0) return false;
    if (p[11] == 0x0F) return true;
    return p[11] < 0x40 && is_plausible_name(p);
}

// The directory pass's look at an unclaimed cluster: it goes into the
// carving index and, when directories are scanned, a directory cluster gives
// its entries. The result is the number of items accepted.
std::uint32_t look_at_cluster(Engine& e, dir_t& found, std::int64_t i, const std::uint8_t* data,
                              const HeaderLooks& looks, std::size_t index, bool scan_dirs,
                              std::vector<ShiftedDotEntries>& shifted) {
    const std::uint32_t cs = e.geo.cluster_size;
    RangeProgress(e, i);
    index_cluster(e, i, data, looks, index);
    if (!scan_dirs) return 0;
    if (e.exfat()) {
        // Entry sets with their checksums stand in for "." and "..".
        if (!is_exfat_directory_cluster(e, i, data)) return 0;
        e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
        return read_exfat_directory_cluster(e, found, data);
    }
    note_shifted_dot_entries(e, i, data, shifted);
    if (!is_directory_cluster(e, i, data, nullptr, true)) {
        if (may_start_directory_piece(data) && is_directory_cluster(e, i, data, nullptr, false))
            read_directory_piece(e, data);
        return 0;
    }
    e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
    note_names(e, data, cs / 32);
    std::uint32_t accepted = 0;
    LostEntries entries;
    is_directory_block(e, data, cs / 32, &entries, true);
    for (auto& [cluster, entry] : entries) {
        if (e.stopping()) break;
        const std::int32_t d = classify_entry(e, entry.entry, true, i);
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
    return accepted;
}

// Catalogues a lost file in dir with the runs found for it.
std::uint32_t add_lost_file(Engine& e, dir_t& dir, lfn_t entry, std::int32_t shift, Extent extent) {
    if (!content_matches(e, entry.entry, shift)) return 0;
    const bool deleted = is_deleted(entry);
    if (entry.entry.is_deleted()) entry.entry.name[0] = guess_first_letter(e, dir, entry);
    dir_t& item = find_or_add_child(e, dir, entry, shift, -1);
    if (item.accepted) return 0;
    if (item.source == EntrySource::None) item.source = deleted ? EntrySource::Deleted : EntrySource::Live;
    item.extent = std::move(extent);
    return add_recovered_file(e, item, true) ? 1 : 0;
}

// Whether the bytes a guess gives are one whole file of the kind whose
// header its first cluster holds: a JPEG that ends within them and decodes
// cleanly, or a file whose format measures exactly its size. False for kinds
// that cannot be checked so (movies are walked, not measured; text has no
// end of its own) and for more bytes than such a file has.
bool guess_holds(Engine& e, TypeTag tag, const Extent& x, std::uint64_t size) {
    if (tag.empty() || tag == "TXT" || tag == "MOV" || !is_content_sized_ext(tag) || x.empty() ||
        size > max_file_size(tag, e.opt.movie_limit))
        return false;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    ExtentReader reader(e.input, e.opt.sector_range, x.runs);
    if (reader.read(bytes.data(), bytes.size()) < bytes.size()) return false;
    if (tag != "JPG") return content_extent(bytes) == static_cast<std::int64_t>(size);
    const std::int32_t end = jpeg_extent(bytes);
    return end > 0 && check_jpeg_decode(Bytes(bytes.data(), static_cast<std::size_t>(end)), 0, false).clean;
}

// The runs of a lost file whose chain cannot be read whole.
Extent lost_extent(Engine& e, const lost_entry_t& entry) {
    const std::int64_t first = e.first_cluster(entry.entry);
    // An exFAT file of consecutive clusters keeps them, whoever holds some.
    if (entry.exfat_flags & kExfatNoFatChain) return consecutive_lost_extent(e, entry, entry.shift);
    // A chain that broke keeps what it reaches; an entry read at a shift
    // names clusters this FAT does not describe, like a chain that is gone.
    if (entry.shift == 0 && !chain_is_gone(e, first)) return broken_chain_extent(e, entry, entry.shift);
    Extent skipping = guessed_extent(e, entry, entry.shift, true);
    const TypeTag tag = header_at(e, first, entry.shift);
    if (guess_holds(e, tag, skipping, item_size(entry))) return skipping;
    // The content tells between the clusters that follow the first one and
    // those the guess took passing over others; when it holds for neither,
    // the guess stands.
    if (Extent consecutive = guessed_extent(e, entry, entry.shift, false);
        consecutive.runs != skipping.runs && guess_holds(e, tag, consecutive, item_size(entry)))
        return consecutive;
    return skipping;
}

// Lost files whose chain cannot be read whole, in order of certainty: a file
// of fewer clusters first (small files are rarely written in pieces; the
// large ones that are were written around them), then one whose clusters
// follow its first one unhindered, then by first cluster.
std::uint32_t recover_lost_extents(Engine& e, const std::vector<std::int32_t>& keys) {
    struct Candidate {
        std::uint64_t clusters;
        bool hindered;
        std::int32_t key;
    };
    std::vector<Candidate> order;
    for (std::int32_t key : keys) {
        auto it = e.lost.find(key);
        if (it == e.lost.end()) continue;
        const lost_entry_t& entry = it->second;
        const bool hindered = guessed_extent(e, entry, entry.shift, false).empty();
        order.push_back({clusters_for(e.geo, item_size(entry)), hindered, key});
    }
    std::sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.clusters, a.hindered, a.key) < std::tie(b.clusters, b.hindered, b.key);
    });
    std::uint32_t accepted = 0;
    for (const Candidate& c : order) {
        if (e.stopping()) break;
        auto it = e.lost.find(c.key);
        if (it == e.lost.end() || cluster_in_use(e, c.key)) continue;
        const lost_entry_t entry = it->second;
        dir_t* dir = folder_of(e, entry.folder);
        if (!dir) continue;
        Extent extent = lost_extent(e, entry);
        const bool partial = extent.how == ExtentHow::Partial;
        if (add_lost_file(e, *dir, entry, entry.shift, std::move(extent)) == 0) continue;
        ++accepted;
        // A partial file is crippled; one step 2 met is counted already.
        if (partial && !entry.crippled_counted)
            e.status.SendStatus(ST_CRIPPLED, ++e.cat.counters.crippled);
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
    // read feeds the carving index. Runs of unclaimed clusters are read a
    // few megabytes at a time, the next one while this one is looked at
    // (one cluster at a time within a sector range, whose first cluster may
    // begin before the range).
    const std::int64_t batch = e.opt.sector_range.is_set() ? 1 : std::max<std::int64_t>(1, (4 << 20) / cs);
    // The next run from cluster c: its first cluster and its length (0 when
    // none is left). A cluster claimed after its run was chosen is passed
    // over when its turn comes, as if its run had ended before it.
    auto next_run = [&](std::int64_t c) {
        while (c < last && cluster_in_use(e, c)) ++c;
        std::int64_t end = c;
        while (end < last && end - c < batch && !cluster_in_use(e, end)) ++end;
        return std::pair<std::int64_t, std::int64_t>(c, end - c);
    };
    std::vector<ShiftedDotEntries> shifted;
    ReadAhead ahead(e);
    std::int64_t next = first;  // where the next run to start is looked for
    auto start_runs = [&] {
        while (ahead.has_room()) {
            const auto [start, count] = next_run(next);
            if (count == 0) break;
            ahead.start(start, count);
            next = start + count;
        }
    };
    start_runs();
    std::int64_t looked = first;  // every cluster before it has been looked at
    while (!e.stopping()) {
        const ReadAhead::Run run = ahead.take();
        if (run.count == 0) {
            looked = last;
            break;
        }
        start_runs();
        for (std::int64_t i = run.first; i < run.first + run.count && !e.stopping(); ++i) {
            const auto k = static_cast<std::size_t>(i - run.first);
            const std::uint8_t* data = run.bytes.data() + k * cs;
            if (i + 1 < run.first + run.count) prefetch_cluster(data + cs, cs);
            looked = i + 1;
            if (cluster_in_use(e, i)) continue;
            ahead.look_at(run, k);
            accepted += look_at_cluster(e, found, i, data, *run.looks, k, scan_dirs, shifted);
        }
    }
    // Cancelled: what follows carves only what was looked at.
    if (e.stopping()) {
        e.carve.read_end = looked;
        end_index(e, looked);
        return accepted;
    }

    end_index(e, last);
    // Folders at the shift the files lie at, now that the index tells it.
    if (scan_dirs && !e.stopping()) accepted += read_shifted_folders(e, found, shifted);

    // Chain pass: chains that no directory describes. An exFAT FAT's entries
    // mean something only where the bitmap says allocated: without a bitmap
    // to believe there is no chain to follow.
    if (e.opt.ignore_fat || (e.exfat() && !e.fat.allocation_trusted)) return accepted;
    std::uint32_t n = 0;
    const std::uint64_t min_size = std::max<std::uint32_t>(2048, cs);
    for (std::int64_t j = first; j < last && !e.stopping(); ++j) {
        if (cluster_in_use(e, j) || (e.exfat() && !cluster_allocated(e, j))) continue;
        RangeProgress(e, j);
        // A chain longer than min_size goes on from its head: a cluster
        // whose entry is free or ends a chain heads none (most clusters of
        // a formatted card), and needs no look at its predecessors.
        if (!e.valid(fat_next(e, j, 0))) continue;
        if (e.valid(predecessor(e, j, 0))) continue;  // not a chain head
        const std::uint64_t size = chain_bytes(e, j, 0);
        if (size <= min_size) continue;
        if (read_cluster(e, j, buffer.data(), cs, 0, true) < 0) continue;
        TypeTag tag = identify_header(Bytes(buffer.data(), cs), e.signatures);
        if (tag.empty()) continue;
        ++n;
        lfn_t entry;
        set_numbered_name(entry, format("F%07d", n), tag);
        entry.entry.set_first_cluster(static_cast<std::uint32_t>(j), e.wide_clusters());
        entry.entry.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX));
        dir_t& item = find_or_add_child(e, found, entry, 0, 0);
        if (add_recovered_file(e, item, true)) ++accepted;
    }
    return accepted;
}

// The entries go to their own folders where the catalogue has them, else to
// the found-items folder, which is looked up each time (additions to the
// root move it). Entries whose chain can be read are catalogued through it;
// the others, once every readable one of the round has taken its clusters,
// get the runs their broken chain or a guess gives.
std::uint32_t recover_lost_files(Engine& e, dir_t&) {
    std::uint32_t accepted = 0;
    // Recovering a folder remembers the entries it holds, which may lie below
    // the key reached: the map is gone over again while that adds anything.
    // Each round takes at least one cluster, so the rounds are bounded.
    for (bool again = true; again && !e.stopping();) {
        again = false;
        std::vector<std::int32_t> unreadable;
        // By key, so that no iterator is held across a change of the map.
        auto it = e.lost.begin();
        while (it != e.lost.end() && !e.stopping()) {
            const std::int32_t key = it->first;
            if (!cluster_in_use(e, key)) {
                const lost_entry_t entry = it->second;
                dir_t* dir = folder_of(e, entry.folder);
                // An entry of a folder found at a shift names clusters that
                // this FAT does not describe.
                const std::int32_t copy = entry.shift != 0 ? -1
                                          : e.exfat()
                                              ? classify_exfat_record(e, entry, is_deleted(entry))
                                              : classify_entry(e, entry.entry, true, entry.folder);
                std::uint32_t n = 0;
                if (dir && copy >= 0) n = add_entry(e, *dir, entry, copy);
                else if (dir && copy == -1 && !entry.entry.is_directory() && item_size(entry) != 0)
                    unreadable.push_back(key);
                accepted += n;
                again = again || n != 0;
            }
            it = e.lost.upper_bound(key);
        }
        const std::uint32_t n = recover_lost_extents(e, unreadable);
        accepted += n;
        again = again || n != 0;
    }
    return accepted;
}

}  // namespace lk
