// exFAT directories in steps 2, 3 and 5: entry sets classified, catalogued
// or remembered, deleted sets recovered with their whole names.
#include <algorithm>
#include <vector>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/exfat.hpp"
#include "engine/recovery.hpp"

namespace lk {

namespace {

constexpr std::size_t kEntry = 32;

exfat_set_limits_t limits_of(const Engine& e) {
    return {e.geo.max_cluster, e.geo.exfat.cluster_count, e.geo.cluster_size};
}

// A directory's bytes as far as the files need them: a directory's
// allocation, a file's size.
std::uint64_t data_length(const lfn_t& record) {
    return record.entry.is_directory() ? record.valid_length : item_size(record);
}

// The first cluster of a catalogue folder: the root's is the volume's.
std::int64_t folder_cluster(const Engine& e, const dir_t& dir) {
    return &dir == &e.cat.root ? e.geo.root_cluster : e.first_cluster(dir.entry);
}

// The folder a lost entry names as its own (0 for the root).
std::int64_t folder_key(const Engine& e, const dir_t& dir) {
    return &dir == &e.cat.root ? 0 : e.first_cluster(dir.entry);
}

// The entries of a directory's clusters in chain order, handed out as they
// are read. A set may begin in one cluster and end in the next: the entries
// not yet taken stay for the next cluster (a set has at most 256).
struct EntryStream {
    std::vector<std::uint8_t> bytes;
    std::size_t pos = 0;  // entries taken
    bool ended = false;   // an end-of-directory entry was met

    void append(const std::uint8_t* data, std::size_t n) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(pos * kEntry));
        pos = 0;
        bytes.insert(bytes.end(), data, data + n);
    }
};

// Takes entries from the stream until the end of the directory or of what
// has been read: on_set receives every set that begins with a File entry of
// the pass's state (live, or deleted), parsed with deleted as given. Other
// entries are stepped over as a directory holds them. With more, a set or a
// benign primary that runs past what has been read waits for the next cluster.
template <class F>
void take_entries(Engine& e, EntryStream& s, bool more, bool deleted_pass, F&& on_set) {
    const Bytes entries(s.bytes);
    const std::size_t count = entries.size() / kEntry;
    const exfat_set_limits_t limits = limits_of(e);
    while (s.pos < count && !s.ended && !e.stopping()) {
        const std::uint8_t type = entries[s.pos * kEntry];
        if (type == kExfatEndOfDirectory) {
            s.ended = true;
            break;
        }
        const bool live_set = type == kExfatFileEntry;
        const bool deleted_set = deleted_pass && type == (kExfatFileEntry & 0x7F);
        const bool benign =
            (type & kExfatInUse) && !(type & kExfatSecondary) && (type & kExfatBenign);
        if ((live_set || deleted_set || benign) && more &&
            s.pos + entries[s.pos * kEntry + 1] >= count)
            break;
        if (live_set || deleted_set) {
            const exfat_set_t set = parse_entry_set(entries, s.pos, deleted_set, limits);
            if (live_set != deleted_pass) on_set(set);
            s.pos += set.consumed;
        } else {
            s.pos += exfat_entries_taken(entries, s.pos);
        }
    }
}

// Walks the clusters of a folder: the root along its chain in copy 0, a
// folder over its allocation through its FAT copy (consecutive for -1); at
// most 256 MiB; stopping at a cluster that is not valid or was read before.
// read(data, more) takes each cluster's bytes; more tells whether another
// cluster will follow.
template <class F>
void walk_folder(Engine& e, dir_t& dir, bool mark_used, F&& read) {
    const card_geometry_t& g = e.geo;
    const std::uint32_t cs = g.cluster_size;
    if (cs == 0) return;
    const bool root = &dir == &e.cat.root;
    const std::int32_t copy = root ? 0 : dir.fat_copy;
    std::int64_t left = std::max<std::int64_t>(1, std::int64_t(kExfatMaxDirectoryBytes / cs));
    if (!root) left = std::min<std::int64_t>(left, std::int64_t(clusters_for(g, dir.valid_length)));
    auto usable = [&](std::int64_t c) { return left > 0 && e.valid(c) && !e.fat.visited.test(c); };
    std::vector<std::uint8_t> data(cs);
    std::int64_t c = folder_cluster(e, dir);
    while (usable(c) && !e.stopping()) {
        e.fat.visited.set(c);
        if (mark_used) e.fat.used.set(c);
        --left;
        // A cluster that cannot be read ends the folder.
        if (read_cluster(e, c, data.data(), cs, e.carve.data_shift, true) < 0) break;
        const std::int64_t next = copy == -1 ? c + 1 : fat_next(e, c, copy);
        if (!read(data.data(), usable(next))) break;
        c = next;
    }
}

void count_crippled(Engine& e) {
    e.status.SendStatus(ST_CRIPPLED, ++e.cat.counters.crippled);
}

// A set of one of the folder's own entries that names the folder itself
// holds nothing of its own.
bool names_its_folder(const Engine& e, const lfn_t& record, std::int64_t own) {
    return data_length(record) != 0 && e.first_cluster(record.entry) == own;
}

}  // namespace

// ---- classification ----

std::int32_t classify_exfat_record(Engine& e, const lfn_t& record, bool deleted) {
    const card_geometry_t& g = e.geo;
    const std::int64_t first = e.first_cluster(record.entry);
    // A deleted set's clusters, checked against a bitmap that can be
    // believed: allocated means reused since.
    const bool check_bitmap = deleted && e.fat.allocation_trusted && !g.exfat.dirty();
    if (check_bitmap && cluster_allocated(e, first)) return -3;
    const std::uint64_t length = data_length(record);
    if (length == 0) return 0;
    const std::uint64_t n = clusters_for(g, length);
    if (n == 0 || n > std::uint64_t(std::max(g.max_cluster, 0))) return -1;
    auto fits = [&](std::int64_t c) {
        return e.valid(c) && !e.fat.used.test(c) && !(check_bitmap && cluster_allocated(e, c));
    };
    if (record.exfat_flags & kExfatNoFatChain) {
        for (std::uint64_t k = 0; k < n; ++k)
            if (!fits(first + std::int64_t(k))) return -1;
        return kExfatConsecutive;
    }
    // Unlike a FAT entry's, the first cluster need not start a chain: stale
    // entries elsewhere may point at it.
    for (int copy = 0; copy < 2; ++copy) {
        e.fat.walk.begin(static_cast<std::size_t>(std::max(g.max_cluster, 0)));
        std::int64_t c = first;
        std::uint64_t k = 0;
        for (; k < n; ++k, c = fat_next(e, c, copy))
            if (!fits(c) || !e.fat.walk.insert(c)) break;
        if (k == n) return copy;
    }
    return -1;
}

std::int32_t classify_exfat_set(Engine& e, const exfat_set_t& set, bool deleted) {
    if (set.broken) return -2;
    return classify_exfat_record(e, exfat_set_to_entry(set), deleted);
}

// ---- step 2 ----

std::uint32_t read_exfat_directory(Engine& e, dir_t& dir, int depth) {
    if (depth > kMaxDirectoryDepth) return 0;
    e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
    const std::int64_t own = folder_cluster(e, dir);
    std::uint32_t accepted = 0;
    EntryStream stream;
    walk_folder(e, dir, false, [&](const std::uint8_t* data, bool more) {
        stream.append(data, e.geo.cluster_size);
        take_entries(e, stream, more, false, [&](const exfat_set_t& set) {
            const std::int32_t d = classify_exfat_set(e, set, false);
            if (d == -2) return count_crippled(e);
            const lfn_t record = exfat_set_to_entry(set);
            if (d < 0) {
                if (lost_entry_t* kept = remember_lost_entry(e, record, folder_key(e, dir)))
                    kept->crippled_counted = true;
                return count_crippled(e);
            }
            if (names_its_folder(e, record, own) || !content_matches(e, record.entry)) return;
            dir_t& item = find_or_add_child(e, dir, record, e.carve.data_shift, exfat_item_copy(d));
            if (!item.accepted) item.source = EntrySource::Live;
            if (item.entry.is_directory())
                accepted += read_exfat_directory(e, item, depth + 1);
            else if (add_recovered_file(e, item, true))
                ++accepted;
        });
        return !stream.ended;
    });
    return accepted;
}

// ---- step 3 ----

std::uint32_t recover_exfat_directories(Engine& e, dir_t& dir, int depth) {
    if (depth > kMaxDirectoryDepth) return 0;
    if (is_deleted(dir)) e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
    const std::int64_t own = folder_cluster(e, dir);
    std::uint32_t accepted = 0;
    // Live sets first, so that a deleted set never takes the place of a live
    // one; each pass keeps its own place in the entries.
    EntryStream passes[2];
    walk_folder(e, dir, true, [&](const std::uint8_t* data, bool more) {
        for (int pass = 0; pass < 2; ++pass) {
            EntryStream& stream = passes[pass];
            stream.append(data, e.geo.cluster_size);
            take_entries(e, stream, more, pass == 1, [&](const exfat_set_t& set) {
                const std::int32_t d = classify_exfat_set(e, set, pass == 1);
                if (d == -2 || d == -3) return;
                const lfn_t record = exfat_set_to_entry(set);
                if (d == -1) {
                    remember_lost_entry(e, record, folder_key(e, dir));
                    return;
                }
                if (names_its_folder(e, record, own) || !content_matches(e, record.entry)) return;
                accepted += add_entry(e, dir, record, d, depth);
            });
        }
        // The live pass decides where the directory ends.
        return !passes[0].ended;
    });
    return accepted;
}

// ---- step 5 ----

bool is_exfat_directory_cluster(Engine& e, std::int64_t c, const std::uint8_t* buffer) {
    if (!e.valid(c) || !buffer) return false;
    const std::size_t count = e.geo.cluster_size / kEntry;
    const Bytes entries(buffer, count * kEntry);
    const exfat_set_limits_t limits = limits_of(e);
    // Secondaries at the start are the tail of a set begun in the previous
    // cluster.
    std::size_t i = 0;
    while (i < count && (entries[i * kEntry] & kExfatSecondary)) ++i;
    std::size_t scanned = 0, verified = 0;
    while (i < count) {
        const std::uint8_t type = entries[i * kEntry];
        if (type == kExfatEndOfDirectory) break;
        std::size_t n;
        if ((type & 0x7F) == (kExfatFileEntry & 0x7F)) {
            const exfat_set_t set =
                parse_entry_set(entries, i, type == (kExfatFileEntry & 0x7F), limits);
            if (!set.broken && set.checksum_ok) verified += set.consumed;
            n = set.consumed;
        } else {
            n = exfat_entries_taken(entries, i);
        }
        scanned += n;
        i += n;
    }
    return verified >= 3 && scanned < 2 * verified;
}

std::uint32_t read_exfat_directory_cluster(Engine& e, dir_t& found, const std::uint8_t* buffer) {
    const std::uint32_t cs = e.geo.cluster_size;
    std::uint32_t accepted = 0;
    // The cluster alone is the directory: a set that runs past its end is
    // not whole here and is left out.
    for (int pass = 0; pass < 2; ++pass) {
        EntryStream stream;
        stream.append(buffer, cs);
        take_entries(e, stream, false, pass == 1, [&](const exfat_set_t& set) {
            if (set.broken) return;
            const std::int32_t d = classify_exfat_set(e, set, true);
            const lfn_t record = exfat_set_to_entry(set);
            const std::uint64_t length = data_length(record);
            if (d < 0 || (!record.entry.is_directory() && length != 0 && length <= cs)) {
                // A file of one cluster waits for carving, which confirms
                // its content first.
                remember_lost_entry(e, record);
            } else {
                accepted += add_entry(e, found, record, d);
            }
        });
    }
    return accepted;
}

}  // namespace lk
