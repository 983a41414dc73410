#include "engine/catalogue.hpp"

#include <algorithm>
#include <cstring>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/extent_finder.hpp"
#include "formats/identify.hpp"
#include "formats/office.hpp"
#include "formats/tiff.hpp"

namespace lk {

namespace {
constexpr std::uint64_t kTiffProbeBytes = 256 * 1024;
}

direntry_t direntry_t::decode(const std::uint8_t* p) {
    direntry_t d;
    std::memcpy(d.name.data(), p, 8);
    std::memcpy(d.ext.data(), p + 8, 3);
    d.attr = p[11];
    d.reserved = p[12];
    d.ctime_tenths = p[13];
    d.ctime = load_le16(p + 14);
    d.cdate = load_le16(p + 16);
    d.adate = load_le16(p + 18);
    d.cluster_hi = load_le16(p + 20);
    d.wtime = load_le16(p + 22);
    d.wdate = load_le16(p + 24);
    d.cluster_lo = load_le16(p + 26);
    d.size = load_le32(p + 28);
    return d;
}

void direntry_t::encode(std::uint8_t* p) const {
    std::memcpy(p, name.data(), 8);
    std::memcpy(p + 8, ext.data(), 3);
    p[11] = attr;
    p[12] = reserved;
    p[13] = ctime_tenths;
    store_le16(p + 14, ctime);
    store_le16(p + 16, cdate);
    store_le16(p + 18, adate);
    store_le16(p + 20, cluster_hi);
    store_le16(p + 22, wtime);
    store_le16(p + 24, wdate);
    store_le16(p + 26, cluster_lo);
    store_le32(p + 28, size);
}

std::string_view direntry_t::name11() const {
    // name and ext are adjacent members of a standard-layout struct.
    return std::string_view(reinterpret_cast<const char*>(name.data()), 11);
}

void direntry_t::set_name11(std::string_view text) {
    for (std::size_t i = 0; i < 11; ++i) {
        std::uint8_t c = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
        if (i < 8) name[i] = c;
        else ext[i - 8] = c;
    }
}

void direntry_t::set_extension(std::string_view tag) {
    for (std::size_t i = 0; i < 3; ++i) ext[i] = i < tag.size() ? static_cast<std::uint8_t>(tag[i]) : ' ';
}

void set_item_size(lfn_t& item, std::uint64_t size) {
    if (item.exfat_flags & kExfatSet) {
        item.entry.size = static_cast<std::uint32_t>(size);
        item.size_high = static_cast<std::uint32_t>(size >> 32);
        if (!item.entry.is_directory()) item.valid_length = std::min(item.valid_length, size);
    } else {
        item.entry.size = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, UINT32_MAX));
    }
}

dir_t& add_child(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t shift) {
    dir_t child;
    static_cast<lfn_t&>(child) = entry;
    child.shift = shift;
    ++e.cat.generation;
    if (&dir == &e.cat.root && e.cat.found())
        return *dir.children.insert(dir.children.end() - 1, std::move(child));
    dir.children.push_back(std::move(child));
    return dir.children.back();
}

namespace {

dir_t* find_folder(Engine& e, dir_t& dir, std::int64_t first, int depth) {
    if (depth > kMaxDirectoryDepth) return nullptr;
    for (dir_t& child : dir.children) {
        if (!child.entry.is_directory()) continue;
        if (e.first_cluster(child.entry) == first) return &child;
        if (dir_t* inner = find_folder(e, child, first, depth + 1)) return inner;
    }
    return nullptr;
}

}  // namespace

dir_t* folder_of(Engine& e, std::int64_t folder) {
    if (folder == 0) return &e.cat.root;
    if (folder > 0)
        if (dir_t* d = find_folder(e, e.cat.root, folder, 0)) return d;
    return e.cat.found();
}

dir_t& find_or_add_child(Engine& e, dir_t& dir, const lfn_t& entry, std::int32_t shift, std::int32_t copy) {
    // Items are the same when they start at the same cluster. Entries without
    // data (empty files, first cluster 0) share no cluster, so they are the
    // same only by name: two empty files of one folder stay two files.
    // exFAT short names are made from the long names and may coincide: there
    // the long name tells empty files apart.
    const std::uint32_t first = e.first_cluster(entry.entry);
    const bool has_data = e.valid(first);
    const bool exfat = entry.exfat_flags & kExfatSet;
    auto same_name = [&](const dir_t& child) {
        return child.entry.name11() == entry.entry.name11() &&
               (!exfat || child.long_name == entry.long_name);
    };
    for (dir_t& child : dir.children)
        if (e.first_cluster(child.entry) == first && (has_data || same_name(child))) return child;
    dir_t& child = add_child(e, dir, entry, shift);
    child.fat_copy = copy;
    ++e.cat.generation;
    return child;
}

void mark_recovered(Engine& e, const dir_t& item) {
    Counters& k = e.cat.counters;
    k.recovered_size += round_to_cluster(e.geo, item_size(item));
    e.status.SendStatus(ST_RECOVERED_SIZE, k.recovered_size);
    if (item.entry.is_directory()) return;  // a folder's clusters are claimed as it is walked
    ++k.files;
    e.status.SendStatus(ST_FILES, k.files);
    for (const auto& [first, count] : cluster_runs(e.geo, item.extent, item.shift))
        for (std::uint64_t c = first; c < std::uint64_t(first) + count; ++c) e.fat.used.set(static_cast<std::int64_t>(c));
}

std::vector<std::uint8_t> read_item(Engine& e, const dir_t& item, std::uint64_t max_bytes, std::stop_token stop) {
    const std::uint64_t want = std::min<std::uint64_t>(item.extent.size(), max_bytes);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(want));
    ExtentReader reader(e.input, e.opt.sector_range, item.extent.runs, std::move(stop));
    data.resize(reader.read(data.data(), data.size()));
    return data;
}

bool add_recovered_file(Engine& e, dir_t& item, bool check_content) {
    if (item.accepted) return true;  // found again: counted once
    direntry_t& d = item.entry;
    const std::uint32_t first = e.first_cluster(d);
    if (!d.is_directory() && item.extent.empty()) {
        // Consecutive clusters that leave the sector range are not this
        // range's file. (A chain is followed wherever it goes.)
        if (item.fat_copy == -1) {
            std::int64_t offset = cluster_offset(e.geo, first) + item.shift;
            if (!e.opt.sector_range.RangeContains(true, offset, item_size(item))) return false;
        }
        item.extent = recorded_extent(e, item, item.fat_copy, item.shift);
    }

    // Refinements that need the item's bytes.
    std::string_view ext(reinterpret_cast<const char*>(d.ext.data()), 3);
    const bool compound = ext.substr(0, 2) == kCompoundMarker && (ext[2] == '\0' || ext[2] == ' ');
    const bool sized_raw = check_content && (ext == "CRW" || ext == "X3F");
    bool tiff = ext == "TIF";
    if (tiff && item_size(item) > kTiffProbeBytes) {
        // The maker and model sit near the start of a TIFF; the whole file is
        // read only when the first directory points further.
        try {
            std::vector<std::uint8_t> head = read_item(e, item, kTiffProbeBytes);
            if (TypeTag raw = raw_ext_from_tiff(head); !raw.empty()) {
                d.set_extension(raw);
                tiff = false;
            }
        } catch (const std::bad_alloc&) {
        }
    }
    if (compound || sized_raw || tiff) {
        // A damaged entry may claim gigabytes: nothing is read beyond the
        // type's own largest size.
        const std::uint64_t cap = max_file_size(compound ? kCompoundMarker : ext, e.opt.movie_limit);
        std::vector<std::uint8_t> data;
        try {
            data = read_item(e, item, cap);
        } catch (const std::bad_alloc&) {
            data.clear();  // the refinement is optional; the item keeps its type and size
        }
        if (!data.empty() || item_size(item) == 0) {
            if (compound) {
                TypeTag kind = ole_kind(data);
                d.set_extension(kind.empty() ? "DOC" : kind);
            }
            if (sized_raw) {
                std::int32_t extent = content_extent(data);
                if (extent <= 0) return false;
                set_item_size(item, static_cast<std::uint64_t>(extent));
                item.extent.truncate(item_size(item));
            }
            if (tiff) {
                TypeTag raw = raw_ext_from_tiff(data);
                if (!raw.empty()) d.set_extension(raw);
            }
        }
    }

    // Bytes in sectors that could not be read are fill bytes, not the file's.
    if (!d.is_directory()) {
        std::uint64_t unread = 0;
        for (const ByteRun& r : item.extent.runs)
            if (!r.zeros()) unread += e.input.bad_bytes(r.offset, r.length);
        if (unread != 0) {
            item.extent.how = ExtentHow::Partial;
            item.extent.foreign += unread;
        }
    }
    ++e.cat.generation;  // the size or the type may have changed
    e.status.Trace("add_recovered_file %s size=%Ld cluster=%d\n", display_name(item),
                   item_size(item), first);
    mark_recovered(e, item);
    item.accepted = true;
    return true;
}

namespace {

// Bytes above 127 in an 8.3 name are taken as Latin-1 and written as UTF-8,
// the file-name encoding here.
std::string latin1_to_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace

void set_numbered_name(lfn_t& item, std::string_view base, std::string_view tag) {
    item.entry.set_name11(base);
    if (tag.size() <= 3) {
        item.entry.set_extension(tag);
        return;
    }
    const auto field = extension_field(tag);
    item.entry.set_extension(std::string_view(field.data(), field.size()));
    item.long_name = std::string(base) + "." + std::string(tag);
}

std::string short_name(const direntry_t& entry) {
    // A zero byte ends a name, as in a zeroed entry (the catalogue root).
    std::string_view n(reinterpret_cast<const char*>(entry.name.data()), 8);
    n = n.substr(0, n.find('\0'));
    while (!n.empty() && n.back() == ' ') n.remove_suffix(1);
    // Byte 12 marks 8.3 names that were typed in lower case (0x08 the name,
    // 0x10 the extension) and so got no long name.
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::string s(n);
    if (entry.reserved & 0x08) std::transform(s.begin(), s.end(), s.begin(), lower);
    if (entry.ext[0] != ' ' && entry.ext[0] != 0) {
        s.push_back('.');
        for (std::uint8_t c : entry.ext) {
            if (c == ' ' || c == 0) break;
            s.push_back((entry.reserved & 0x10) ? lower(static_cast<char>(c)) : static_cast<char>(c));
        }
    }
    return s;
}

std::string display_name(const lfn_t& item) {
    std::string s = item.long_name.empty() ? latin1_to_utf8(short_name(item.entry)) : item.long_name;
    if (!s.empty() && s[0] == '.') s[0] = '_';
    for (char& c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || c == '"' || c == '%' || c == '/' || c == ':' || c == '<' || c == '>' || c == '?') c = '_';
    }
    return s;
}

std::string display_extension(const lfn_t& item) {
    std::string name = display_name(item);
    auto dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return ext;
}

}  // namespace lk
