#include "engine/directories.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/common.hpp"
#include "formats/identify.hpp"
#include "lang/language_file.hpp"

namespace lk {

namespace {

// The 13 UTF-16 code units of a long-name fragment lie at these offsets.
constexpr int kFragmentChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

bool starts_with_dot_entries(const std::uint8_t* s) {
    return std::memcmp(s, ".          ", 11) == 0 && std::memcmp(s + 32, "..         ", 11) == 0;
}

// "." is a directory entry for cluster c, ".." one for parent (0 for the
// root, which on FAT32 some systems write as the root's own cluster).
bool dot_entries_name(const Engine& e, const std::uint8_t* s, std::int64_t c, std::int64_t parent) {
    const direntry_t dot = direntry_t::decode(s), dotdot = direntry_t::decode(s + 32);
    if (!dot.is_directory() || !dotdot.is_directory() || e.first_cluster(dot) != c) return false;
    const std::int64_t up = e.first_cluster(dotdot);
    return up == parent || (parent == 0 && e.geo.fattype == FAT32 && up == e.geo.root_cluster);
}

}  // namespace

// ---- long names ----

// Long names are kept as UTF-8, the file-name encoding of this platform;
// unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::uint8_t short_name_checksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum >> 1) | (sum << 7)) + name11[i]);
    return sum;
}

void LongNameAssembly::reset() {
    pending_checksum_ = -1;
    previous_sequence_ = 0;
    fragment_count_ = 0;
    name_.clear();
}

void LongNameAssembly::fragment(const std::uint8_t* p) {
    const int s = p[0], k = p[13];
    bool taken = (pending_checksum_ == -1 && (s == 0xE5 || (s & 0x40))) ||
                 (k == pending_checksum_ && (s == 0xE5 || previous_sequence_ == s + 1));
    if (!taken) {
        name_.clear();
        fragment_count_ = 0;
        taken = (s & 0x40) != 0;
    }
    if (!taken) {
        pending_checksum_ = -1;
        return;
    }
    pending_checksum_ = k;
    previous_sequence_ = s & ~0x40;
    std::u16string text;
    for (int off : kFragmentChars) {
        char16_t c = static_cast<char16_t>(load_le16(p + off));
        if (c == 0) break;
        text.push_back(c);
    }
    name_.insert(0, text);
    ++fragment_count_;
}

bool LongNameAssembly::take(const std::uint8_t* p, lfn_t& out) {
    out.entry = direntry_t::decode(p);
    // A zero first byte ends the directory even under a fragment's attribute.
    if (out.entry.is_lfn() && p[0] != 0) {
        fragment(p);
        return false;
    }
    out.long_name = finish(out.entry);
    return true;
}

std::string LongNameAssembly::finish(const direntry_t& entry, int* fragments) {
    bool keep = !name_.empty();
    if (pending_checksum_ != -1 && !entry.is_deleted() &&
        short_name_checksum(entry.name.data()) != pending_checksum_)
        keep = false;  // the fragments belong to another entry
    std::string result = keep ? utf16_to_utf8(name_) : std::string();
    if (fragments) *fragments = keep ? fragment_count_ : 0;
    reset();
    return result;
}

// ---- plausibility ----

bool is_plausible_name(const std::uint8_t* n) {
    if (std::memcmp(n, ".          ", 11) == 0 || std::memcmp(n, "..         ", 11) == 0) return true;
    int non_blank = 0, alnum = 0;
    for (int i = 0; i < 11; ++i) {
        const std::uint8_t c = n[i];
        if (c == ' ') continue;
        bool allowed = (c >= 0x21 && c <= 0x29) || (c >= 0x2B && c <= 0x39) || c == 0x3B || c == 0x3D ||
                       (c >= 0x40 && c <= 0xFE);
        if (!allowed) return false;
        ++non_blank;
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') ++alnum;
    }
    return non_blank > 0 && 2 * alnum >= non_blank;
}

std::size_t leading_name_fragments(const std::uint8_t* entries, std::size_t count) {
    // The rest of a name that began in the previous cluster: fragments without
    // the first-on-disk mark, one checksum, sequence numbers falling by one
    // down to 1 (deleted fragments have lost them), closed by the short entry
    // they belong to, or by the end of the block when the name runs on.
    std::size_t n = 0;
    int checksum = -1, previous = -1;
    bool deleted = false;
    for (; n < count; ++n) {
        const std::uint8_t* p = entries + 32 * n;
        if (p[11] != 0x0F || p[0] == 0) break;
        const int s = p[0];
        if (n == 0) {
            deleted = s == 0xE5;
            checksum = p[13];
        } else if (p[13] != checksum || (s == 0xE5) != deleted) {
            return 0;
        }
        if (!deleted) {
            if ((s & 0x40) || s == 0 || (previous != -1 && s != previous - 1)) return 0;
            previous = s;
        }
    }
    if (n == 0 || n == count) return n;
    const std::uint8_t* closing = entries + 32 * n;
    if (closing[0] == 0) return 0;
    if (deleted) return closing[0] == 0xE5 ? n : 0;
    return previous == 1 && short_name_checksum(closing) == checksum ? n : 0;
}

void remember_name_tail(Engine& e, const std::uint8_t* entries, std::size_t count, int fragments) {
    if (fragments <= 0 || static_cast<std::size_t>(fragments) > count) return;
    const std::uint8_t* first = entries + 32 * (count - static_cast<std::size_t>(fragments));
    e.name_tails[first[13]].assign(first, entries + 32 * count);
}

namespace {

bool is_absurd_entry(Engine& e, const direntry_t& d, bool strict) {
    // Fields no file system writes: control bytes in the name (a first byte
    // 0x05 stands for 0xE5), a size beyond the card, a first cluster outside
    // the data area.
    const std::string_view n = d.name11();
    for (std::size_t i = 0; i < n.size(); ++i) {
        const auto c = static_cast<unsigned char>(n[i]);
        if (c < 0x20 && !(i == 0 && c == 0x05)) return true;
    }
    if (e.input.input_size > 0 && d.size > static_cast<std::uint64_t>(e.input.input_size)) return true;
    const std::int64_t first = e.first_cluster(d);
    return strict && !d.is_deleted() && first != 0 && !e.valid(first);
}

}  // namespace

bool is_directory_block(Engine& e, const std::uint8_t* entries, std::size_t count, LostEntries* map, bool strict) {
    LongNameAssembly lfn;
    std::size_t scanned = 0, counted = 0, absurd = 0;
    const std::int64_t input_size = e.input.input_size;
    // The fragments that continue a name from the previous cluster count as
    // plausible; their name is not assembled here.
    const std::size_t leading = leading_name_fragments(entries, count);
    counted += leading;
    scanned = leading;
    bool ends_in_fragments = false;
    for (std::size_t i = leading; i < count; ++i) {
        const std::uint8_t* p = entries + 32 * i;
        if (p[0] == 0) {
            if (i == 0) return false;
            for (std::size_t j = i + 1; j < count; ++j)
                if (entries[32 * j] != 0) return false;
            break;
        }
        scanned = i + 1;
        const direntry_t d = direntry_t::decode(p);
        ends_in_fragments = d.is_lfn();
        if (d.is_lfn()) {
            lfn.fragment(p);
            continue;
        }
        int fragments = 0;
        std::string long_name = lfn.finish(d, &fragments);
        if (d.attr < 0x40 && is_absurd_entry(e, d, strict)) {
            ++absurd;
            continue;
        }
        const std::int64_t first = e.first_cluster(d);
        if (!d.is_deleted()) {
            bool rejected = !is_plausible_name(p) || (d.is_directory() && d.size != 0);
            if (!rejected && strict) {
                if (first != 0) rejected = !e.valid(first);
                else rejected = d.size != 0 || (d.is_directory() && std::memcmp(p, "..         ", 11) != 0);
            } else if (!rejected) {
                rejected = first > input_size / 1024;
            }
            if (rejected) continue;
        }
        if (d.attr >= 0x40 || (d.attr & 0x08) || (d.attr & 0x04) || d.size > input_size) continue;
        counted += 1 + fragments;
        if (map && p[0] != '.') {
            auto it = map->find(static_cast<std::int32_t>(first));
            if (!d.is_deleted() || it == map->end())
                (*map)[static_cast<std::int32_t>(first)] = lost_entry_t{{d, std::move(long_name)}, kUnknownFolder};
        }
    }
    // A name whose short entry lies in the next cluster.
    if (ends_in_fragments) {
        counted += lfn.pending_fragments();
        if (map) remember_name_tail(e, entries, count, lfn.pending_fragments());
    }
    // A few entries with absurd fields are skipped on their own; when they
    // are as many as the good ones, the block is more likely data.
    if (absurd < counted) scanned -= absurd;
    return scanned < 2 * counted;
}

bool is_directory_cluster(Engine& e, std::int64_t c, const std::uint8_t* buffer, LostEntries* map, bool dot_check,
                          std::int64_t parent) {
    if (!e.valid(c)) return false;
    const std::uint32_t cs = e.geo.cluster_size;
    std::vector<std::uint8_t> own;
    if (!buffer) {
        own.resize(cs);
        if (read_cluster(e, c, own.data(), cs, e.carve.data_shift, false) < 0) return false;
        buffer = own.data();
    }
    if (dot_check && !starts_with_dot_entries(buffer)) return false;
    const bool block = is_directory_block(e, buffer, cs / 32, map, true);
    // A cluster that begins with "." naming itself and ".." naming the folder
    // that points to it is that folder, whatever else it holds.
    return block || (dot_check && parent != kUnknownFolder && dot_entries_name(e, buffer, c, parent));
}

// ---- entries ----

std::int32_t classify_entry(Engine& e, const direntry_t& d, bool allow_deleted, std::int64_t parent) {
    if (d.name[0] == 0) return -4;
    if (d.name[0] == 0xE5 && !allow_deleted) return -3;
    if (d.name[0] == '.') return -3;
    if (d.is_lfn()) return -3;
    if (d.attr & 0x08) return -3;
    // An entry with absurd fields (control bytes in its name, a size beyond
    // the card) is unreadable on its own; the entries after it still count.
    if (d.attr < 0x40 && is_absurd_entry(e, d, false)) return -2;
    if (d.attr >= 0x40) return -2;
    if (!d.is_directory() && d.size == 0) return 0;
    const std::int64_t first = e.first_cluster(d);
    if (!e.valid(first)) return -2;
    return choose_fat_copy(e, first, d.size, d.is_directory(), parent);
}

std::int32_t choose_fat_copy(Engine& e, std::int64_t first, std::uint32_t size, bool is_dir, std::int64_t parent) {
    std::int64_t counted[2] = {0, 0};
    for (int copy = 0; copy < 2; ++copy) {
        // Only a copy in which first starts a chain can describe the entry.
        if (e.valid(predecessor(e, first, copy))) continue;
        e.fat.walk.begin(static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)));
        std::int64_t bytes = static_cast<std::int64_t>(round_to_cluster(e.geo, size));
        std::int64_t c = first;
        bool failed = false;
        while ((is_dir || bytes > 0) && e.valid(c)) {
            if (!e.fat.walk.insert(c) || e.fat.used.test(c) ||
                (is_dir && !is_directory_cluster(e, c, nullptr, nullptr, c == first, parent))) {
                failed = true;
                break;
            }
            ++counted[copy];
            c = fat_next(e, c, copy);
            if (!is_dir) bytes -= e.geo.cluster_size;
        }
        if (!is_dir && bytes > 0) failed = true;
        if (!failed) return copy;
    }
    if (!is_dir) return -1;
    if (counted[1] < counted[0]) return 0;
    return counted[1] > 0 ? 1 : -1;
}

lost_entry_t* remember_lost_entry(Engine& e, const lfn_t& entry, std::int64_t folder) {
    const std::int64_t first = e.first_cluster(entry.entry);
    if (!e.valid(first) || e.fat.used.test(first)) return nullptr;
    if (is_deleted(entry) && e.lost.count(static_cast<std::int32_t>(first))) return nullptr;
    if (e.coverage.contains(e.cat, e.geo, e.fat, cluster_offset(e.geo, first))) return nullptr;
    lost_entry_t& kept = e.lost[static_cast<std::int32_t>(first)];
    kept = lost_entry_t{entry, folder, e.carve.data_shift};
    return &kept;
}

void note_names(Engine& e, const std::uint8_t* entries, std::size_t count) {
    LongNameAssembly lfn;
    lfn_t entry;
    for (std::size_t i = 0; i < count; ++i) {
        if (!lfn.take(entries + 32 * i, entry)) continue;
        if (entry.entry.name[0] == 0) break;
        if (entry.entry.name[0] != '.') e.first_letters.note(entry.entry, entry.long_name);
    }
}

std::uint8_t guess_first_letter(const Engine& e, const dir_t& dir, const lfn_t& item) {
    const direntry_t& entry = item.entry;
    // The entry's own long name, then the names of its pattern on the card,
    // then what cameras are known to write.
    if (const auto own = letter_from_long_name(item.long_name)) return *own;
    if (const auto seen = e.first_letters.letter_for(entry)) return *seen;
    const char* n = reinterpret_cast<const char*>(entry.name.data());
    auto at1 = [&](const char* text) { return std::memcmp(n + 1, text, std::strlen(text)) == 0; };
    const std::string_view ext(reinterpret_cast<const char*>(entry.ext.data()), 3);
    if (at1("MG_")) return 'I';
    if (at1("SC_") || at1("SC0") || at1("SCN")) return 'D';
    // Cameras name their movies MVI_.
    if (at1("VI_")) return is_movie_ext(ext.substr(0, ext.find(' '))) ? 'M' : 'A';
    if (at1("RW_")) return 'C';
    if (entry.is_directory() && std::memcmp(n + 1, "CIM       ", 10) == 0) return 'D';
    if (std::all_of(n + 1, n + 8, [](char c) { return c >= '0' && c <= '9'; })) return 'P';
    return dir.children.empty() ? '0' : dir.children.front().entry.name[0];
}

bool content_matches(Engine& e, const direntry_t& d, std::int32_t shift) {
    std::string_view ext(reinterpret_cast<const char*>(d.ext.data()), 3);
    if (ext != "JPG" && ext != "TIF" && ext != "MOV") return true;
    if (d.size == 0) return false;
    std::vector<std::uint8_t> first(std::max<std::uint32_t>(e.geo.cluster_size, 512));
    if (read_cluster(e, e.first_cluster(d), first.data(), e.geo.cluster_size, shift, true) < 0) return false;
    return identify_header(Bytes(first.data(), e.geo.cluster_size), e.signatures) == ext;
}

std::uint32_t read_existing_files(Engine& e, dir_t& dir, std::int64_t remaining, std::int64_t cluster, int depth) {
    if (depth > kMaxDirectoryDepth) return 0;
    const std::int64_t block = cluster < 1 ? remaining * 32 : e.geo.cluster_size;
    e.status.SendStatus(ST_DIRECTORIES, ++e.cat.counters.directories);
    if (block <= 0) return 0;

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(block));
    LongNameAssembly lfn;
    std::uint32_t accepted = 0;
    const std::int64_t own_first = e.first_cluster(dir.entry);
    while (!(remaining < 1 && !e.valid(cluster)) && !e.stopping()) {
        if (e.valid(cluster)) {
            if (e.fat.visited.test(cluster)) break;
            e.fat.visited.set(cluster);
        }
        // A block that cannot be read ends the directory.
        if (read_cluster(e, cluster, buffer.data(), buffer.size(), e.carve.data_shift, true) < 0) break;
        note_names(e, buffer.data(), buffer.size() / 32);
        for (std::size_t i = 0; i + 32 <= buffer.size() && !e.stopping(); i += 32) {
            lfn_t entry;
            if (!lfn.take(buffer.data() + i, entry)) continue;
            const direntry_t& d = entry.entry;
            switch (std::int32_t copy = classify_entry(e, d, false, own_first)) {
                case -1:
                    if (lost_entry_t* kept = remember_lost_entry(e, entry, own_first)) kept->crippled_counted = true;
                    [[fallthrough]];
                case -2:
                    e.status.SendStatus(ST_CRIPPLED, ++e.cat.counters.crippled);
                    break;
                case -3:
                    break;
                case -4:
                    return accepted;
                default: {
                    const std::int64_t first = e.first_cluster(d);
                    if (d.size != 0 && first == own_first) break;
                    if (!content_matches(e, d)) break;
                    dir_t& item = find_or_add_child(e, dir, entry, e.carve.data_shift, copy);
                    if (!item.accepted) item.source = EntrySource::Live;
                    if (item.entry.is_directory())
                        accepted += read_existing_files(e, item, item.entry.size, e.first_cluster(item.entry),
                                                        depth + 1);
                    else if (add_recovered_file(e, item, true))
                        ++accepted;
                }
            }
        }
        remaining -= block / 32;
        cluster = fat_next(e, cluster, dir.fat_copy < 0 ? 0 : dir.fat_copy);
    }
    return accepted;
}

}  // namespace lk
