#include "engine/shifted_folders.hpp"

#include <algorithm>
#include <cstring>

#include "engine/common.hpp"
#include "engine/directories.hpp"

namespace lk {
namespace {

// Enough for every folder of a large card; a card that holds more blocks
// looking like folders at a shift is mostly something else.
constexpr std::size_t kMaxShiftedBlocks = 1 << 16;

bool starts_with_dots(const std::uint8_t* p) {
    return std::memcmp(p, ".          ", 11) == 0 && (p[11] & 0x10) &&
           std::memcmp(p + 32, "..         ", 11) == 0 && (p[43] & 0x10);
}

// A folder block read at the shift, its cluster numbers translated.
struct ShiftedFolder {
    std::int64_t own = 0;     // where it was found
    std::int64_t parent = 0;  // translated; 0 for the root
    LostEntries entries;      // keyed by untranslated first cluster
    std::int64_t delta = 0;
    bool done = false;
};

}  // namespace

void note_shifted_dot_entries(Engine& e, std::int64_t c, const std::uint8_t* data,
                              std::vector<ShiftedDotEntries>& out) {
    if (out.size() >= kMaxShiftedBlocks) return;
    for (std::uint32_t off = 512; off + 64 <= e.geo.cluster_size; off += 512)
        if (data[off] == '.' && starts_with_dots(data + off))
            out.push_back({c, static_cast<std::int32_t>(off)});
}

std::int32_t likely_shift(const Engine& e) {
    const auto& headers = e.carve.headers;
    std::size_t best = 0, count = 0;
    for (std::size_t k = 1; k < headers.size(); ++k)
        if (headers[k].size() > count) {
            count = headers[k].size();
            best = k;
        }
    return static_cast<std::int32_t>(512 * best);
}

std::uint32_t read_shifted_folders(Engine& e, dir_t& found,
                                   const std::vector<ShiftedDotEntries>& blocks) {
    if (blocks.empty() || e.opt.ignore_fat || e.exfat()) return 0;
    const std::int32_t shift = likely_shift(e);
    if (shift == 0) return 0;
    const std::uint32_t cs = e.geo.cluster_size;
    std::vector<std::uint8_t> data(cs);
    std::vector<ShiftedFolder> folders;
    for (const ShiftedDotEntries& b : blocks) {
        if (b.shift != shift || e.stopping()) continue;
        if (read_cluster(e, b.cluster, data.data(), cs, shift, false) != cs) continue;
        if (!starts_with_dots(data.data())) continue;
        ShiftedFolder f;
        if (!is_directory_block(e, data.data(), cs / 32, &f.entries, true)) continue;
        const direntry_t dot = direntry_t::decode(data.data()),
                         dotdot = direntry_t::decode(data.data() + 32);
        f.own = b.cluster;
        f.delta = b.cluster - e.first_cluster(dot);
        const std::int64_t up = e.first_cluster(dotdot);
        f.parent =
            up == 0 || (e.geo.fattype == FAT32 && up == e.geo.root_cluster) ? 0 : up + f.delta;
        e.status.Trace("shifted folder at cluster %lld shift %d, \".\" names cluster %u\n",
                       static_cast<long long>(b.cluster), shift, e.first_cluster(dot));
        folders.push_back(std::move(f));
    }
    // Parents before their subfolders, so that a subfolder's entry is in the
    // catalogue when its own block is read; each round reads at least one.
    std::uint32_t added = 0;
    for (std::size_t round = 0; round < folders.size(); ++round) {
        bool any = false;
        for (ShiftedFolder& f : folders) {
            if (f.done) continue;
            const bool waits = std::any_of(
                folders.begin(), folders.end(),
                [&](const ShiftedFolder& p) { return !p.done && &p != &f && p.own == f.parent; });
            if (waits) continue;
            f.done = any = true;
            e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
            for (auto& [key, lost] : f.entries) {
                lfn_t entry = lost;
                const direntry_t& d = entry.entry;
                if (d.name[0] == '.' || (d.attr & 0x08) ||
                    (item_size(entry) == 0 && !d.is_directory()))
                    continue;
                const std::int64_t first = e.first_cluster(d) + f.delta;
                if (!e.valid(first)) continue;
                entry.entry.set_first_cluster(static_cast<std::uint32_t>(first), e.wide_clusters());
                if (!d.is_directory()) {
                    // Named and placed when carving reaches it at this shift.
                    const auto at = static_cast<std::int32_t>(first);
                    if (!e.lost.count(at) || !d.is_deleted())
                        e.lost[at] = lost_entry_t{entry, f.own, shift};
                    continue;
                }
                // Looked up for each entry: an addition may move the folder.
                dir_t* home = folder_of(e, f.own);
                dir_t& dir = home && home != &e.cat.root ? *home : found;
                const bool deleted = d.is_deleted();
                if (deleted) entry.entry.name[0] = guess_first_letter(e, dir, entry);
                dir_t& item = find_or_add_child(e, dir, entry, shift, 0);
                if (item.source == EntrySource::None)
                    item.source = deleted ? EntrySource::Deleted : EntrySource::Live;
                if (add_recovered_file(e, item, false)) ++added;
            }
        }
        if (!any) break;
    }
    return added;
}

}  // namespace lk
