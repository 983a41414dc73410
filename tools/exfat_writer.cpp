#include "tools/exfat_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace lk::tools {

namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;

std::uint16_t le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(le16(p)) | std::uint32_t(le16(p + 2)) << 16;
}
std::uint64_t le64(const std::uint8_t* p) {
    return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32;
}
void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, std::uint16_t(v));
    put16(p + 2, std::uint16_t(v >> 16));
}
void put64(std::uint8_t* p, std::uint64_t v) {
    put32(p, std::uint32_t(v));
    put32(p + 4, std::uint32_t(v >> 32));
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("exFAT writer: " + what);
}

// The exFAT checksums: rotate right by one within the width, then add.
template <class T>
T checksum_step(T v, std::uint8_t b) {
    return static_cast<T>(((v & 1) ? T(T(1) << (sizeof(T) * 8 - 1)) : T(0)) + (v >> 1) + b);
}

std::uint16_t set_checksum(const std::vector<std::uint8_t>& set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        std::uint8_t b = set[i];
        if (i % kEntry == 0) b |= 0x80;  // a deleted set was summed while live
        sum = checksum_step(sum, b);
    }
    return sum;
}

bool same_name(const std::u16string& a, const std::u16string& b, const std::vector<char16_t>& up) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (up[a[i]] != up[b[i]]) return false;
    return true;
}

}  // namespace

// ---- helpers ----

std::vector<std::string> split_exfat_path(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path + "/") {
        if (c != '/') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

std::u16string utf8_to_utf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp;
        std::size_t n;
        if (c < 0x80)
            cp = c, n = 1;
        else if (c < 0xE0)
            cp = c & 0x1F, n = 2;
        else if (c < 0xF0)
            cp = c & 0x0F, n = 3;
        else
            cp = c & 0x07, n = 4;
        for (std::size_t k = 1; k < n && i + k < text.size(); ++k)
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::uint32_t exfat_timestamp(std::time_t utc) {
    std::tm tm{};
    gmtime_r(&utc, &tm);
    const std::uint32_t date = std::uint32_t(tm.tm_year - 80) << 9 |
                               std::uint32_t(tm.tm_mon + 1) << 5 | std::uint32_t(tm.tm_mday);
    const std::uint32_t time = std::uint32_t(tm.tm_hour) << 11 | std::uint32_t(tm.tm_min) << 5 |
                               std::uint32_t(tm.tm_sec / 2);
    return date << 16 | time;
}

std::uint8_t exfat_10ms(std::time_t utc) {
    std::tm tm{};
    gmtime_r(&utc, &tm);
    return static_cast<std::uint8_t>(tm.tm_sec % 2 * 100);
}

// ---- opening ----

ExfatWriter::ExfatWriter(const std::filesystem::path& image, std::uint64_t volume_offset) {
    fd_ = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "open " + image.string());
    layout_.volume_offset = volume_offset;
    try {
        load();
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

ExfatWriter::~ExfatWriter() {
    if (fd_ >= 0) ::close(fd_);
}

std::vector<std::uint8_t> ExfatWriter::read(std::uint64_t offset, std::size_t length) const {
    std::vector<std::uint8_t> out(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t r =
            ::pread(fd_, out.data() + done, length - done, static_cast<off_t>(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // past the end: zeros
        done += static_cast<std::size_t>(r);
    }
    return out;
}

void ExfatWriter::write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw std::system_error(errno, std::generic_category(), "exFAT writer: pwrite");
        done += static_cast<std::size_t>(w);
    }
}

void ExfatWriter::load() {
    ExfatLayout& l = layout_;
    const std::vector<std::uint8_t> b = read(l.volume_offset, 512);
    if (std::memcmp(b.data() + 3, "EXFAT   ", 8) != 0) fail("no exFAT boot sector");
    l.sector_size = 1u << b[108];
    l.cluster_size = l.sector_size << b[109];
    l.volume_length = le64(b.data() + 72) * l.sector_size;
    l.fat_offset = l.volume_offset + std::uint64_t(le32(b.data() + 80)) * l.sector_size;
    l.fat_length = le32(b.data() + 84) * l.sector_size;
    l.heap_offset = l.volume_offset + std::uint64_t(le32(b.data() + 88)) * l.sector_size;
    l.cluster_count = le32(b.data() + 92);
    l.root_cluster = le32(b.data() + 96);
    l.fats = b[110];
    active_fat_ = (l.fats == 2 && (le16(b.data() + 106) & 1)) ? 1 : 0;

    // The root's bitmap (of the active FAT) and up-case table.
    const Folder root = root_folder();
    active_bitmap_cluster_ = 0;
    for (std::uint32_t c : root.clusters) {
        const std::vector<std::uint8_t> data = read(l.cluster_offset(c), l.cluster_size);
        for (std::size_t i = 0; i + kEntry <= data.size(); i += kEntry) {
            const std::uint8_t* p = data.data() + i;
            if (p[0] == 0x81 && (p[1] & 1) == 0) {
                l.bitmap_cluster = le32(p + 20);
                l.bitmap_length = le64(p + 24);
            }
            if (p[0] == 0x81 && (p[1] & 1) == active_fat_) active_bitmap_cluster_ = le32(p + 20);
            if (p[0] == 0x82) {
                l.upcase_cluster = le32(p + 20);
                l.upcase_length = le64(p + 24);
            }
        }
    }
    if (!active_bitmap_cluster_ || !l.upcase_cluster)
        fail("no bitmap or up-case table in the root");

    const std::vector<std::uint32_t> bitmap_clusters =
        chain_of(active_bitmap_cluster_, l.bitmap_length, false);
    bitmap_.clear();
    for (std::uint32_t c : bitmap_clusters) {
        const std::vector<std::uint8_t> part = read(l.cluster_offset(c), l.cluster_size);
        bitmap_.insert(bitmap_.end(), part.begin(), part.end());
    }
    bitmap_.resize(static_cast<std::size_t>(l.bitmap_length));

    // The up-case table, compressed as mkfs writes it: FFFF n stands for n
    // characters that map to themselves.
    upcase_.resize(65536);
    for (std::size_t i = 0; i < upcase_.size(); ++i) upcase_[i] = static_cast<char16_t>(i);
    std::vector<std::uint8_t> table;
    for (std::uint32_t c : chain_of(l.upcase_cluster, l.upcase_length, false)) {
        const std::vector<std::uint8_t> part = read(l.cluster_offset(c), l.cluster_size);
        table.insert(table.end(), part.begin(), part.end());
    }
    table.resize(static_cast<std::size_t>(l.upcase_length));
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < table.size() && at < upcase_.size(); i += 2) {
        const std::uint16_t w = le16(table.data() + i);
        if (w == 0xFFFF && i + 3 < table.size()) {
            at += le16(table.data() + i + 2);
            i += 2;
        } else {
            upcase_[at++] = static_cast<char16_t>(w);
        }
    }
    next_free_ = 2;
    while (next_free_ < l.cluster_count + 2 && allocated(next_free_)) ++next_free_;
}

// ---- FAT and bitmap ----

std::uint64_t ExfatWriter::active_fat_offset() const {
    return layout_.fat_offset + std::uint64_t(active_fat_) * layout_.fat_length;
}

std::uint32_t ExfatWriter::fat_entry(std::uint32_t cluster, int fat) const {
    const std::uint64_t base = fat < 0
                                   ? active_fat_offset()
                                   : layout_.fat_offset + std::uint64_t(fat) * layout_.fat_length;
    return le32(read(base + 4ull * cluster, 4).data());
}

void ExfatWriter::write_fat(std::uint32_t cluster, std::uint32_t value) {
    std::uint8_t v[4];
    put32(v, value);
    write(active_fat_offset() + 4ull * cluster, v);
}

bool ExfatWriter::allocated(std::uint32_t c) const {
    if (c < 2 || c - 2 >= bitmap_.size() * 8) return false;
    return (bitmap_[(c - 2) / 8] >> ((c - 2) % 8)) & 1;
}

void ExfatWriter::set_allocated(std::uint32_t first, std::uint32_t count, bool on) {
    if (count == 0) return;
    for (std::uint32_t c = first; c < first + count; ++c) {
        const std::uint8_t bit = std::uint8_t(1u << ((c - 2) % 8));
        if (on)
            bitmap_[(c - 2) / 8] |= bit;
        else
            bitmap_[(c - 2) / 8] &= std::uint8_t(~bit);
    }
    const std::size_t from = (first - 2) / 8, to = (first + count - 3) / 8 + 1;
    write_file_data(chain_of(active_bitmap_cluster_, layout_.bitmap_length, false), from,
                    std::span<const std::uint8_t>(bitmap_).subspan(from, to - from));
}

std::vector<std::uint32_t> ExfatWriter::allocate(std::uint64_t bytes, bool contiguous) {
    const std::uint32_t cs = layout_.cluster_size;
    const std::uint64_t n = (bytes + cs - 1) / cs;
    const std::uint32_t end = layout_.cluster_count + 2;
    std::vector<std::uint32_t> out;
    if (n == 0) return out;
    if (n > layout_.cluster_count) fail("the volume is too small");
    // The next free clusters after the last allocation, as a camera writes,
    // then from the start.
    for (int round = 0; round < 2 && out.size() < n; ++round) {
        const std::uint32_t from = round == 0 ? next_free_ : 2;
        for (std::uint32_t c = from; c < end && out.size() < n; ++c) {
            if (allocated(c)) {
                if (contiguous) out.clear();
                continue;
            }
            out.push_back(c);
        }
        if (out.size() < n) out.clear();
    }
    if (out.size() < n) fail("no room for " + std::to_string(bytes) + " bytes");
    for (std::size_t i = 0; i < out.size();) {
        std::size_t j = i + 1;
        while (j < out.size() && out[j] == out[j - 1] + 1) ++j;
        set_allocated(out[i], static_cast<std::uint32_t>(j - i), true);
        i = j;
    }
    next_free_ = out.back() + 1;
    return out;
}

std::vector<std::uint32_t> ExfatWriter::chain_of(std::uint32_t first, std::uint64_t length,
                                                 bool no_fat_chain) const {
    std::vector<std::uint32_t> out;
    const std::uint32_t cs = layout_.cluster_size;
    const std::uint64_t n = length == UINT64_MAX ? layout_.cluster_count : (length + cs - 1) / cs;
    std::uint32_t c = first;
    for (std::uint64_t k = 0; k < n && c >= 2 && c < layout_.cluster_count + 2; ++k) {
        out.push_back(c);
        c = no_fat_chain ? c + 1 : fat_entry(c);
    }
    return out;
}

void ExfatWriter::link_chain(const std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i)
        write_fat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : kEndOfChain);
}

void ExfatWriter::write_file_data(const std::vector<std::uint32_t>& clusters, std::uint64_t at,
                                  std::span<const std::uint8_t> bytes) {
    const std::uint32_t cs = layout_.cluster_size;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::uint64_t pos = at + done;
        const std::size_t index = static_cast<std::size_t>(pos / cs);
        if (index >= clusters.size()) fail("data beyond the allocation");
        // Consecutive clusters are written at once.
        std::size_t last = index;
        while (last + 1 < clusters.size() && clusters[last + 1] == clusters[last] + 1) ++last;
        const std::uint64_t run_end = std::uint64_t(last + 1) * cs;
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(run_end - pos, bytes.size() - done));
        write(layout_.cluster_offset(clusters[index]) + pos % cs, bytes.subspan(done, n));
        done += n;
    }
}

// ---- folders ----

ExfatWriter::Folder ExfatWriter::root_folder() const {
    Folder f;
    f.root = true;
    f.first = layout_.root_cluster;
    f.clusters = chain_of(f.first, UINT64_MAX, false);
    return f;
}

ExfatWriter::Folder ExfatWriter::folder_of(const Found& found) const {
    Folder f;
    f.first = found.first;
    f.no_fat_chain = found.no_fat_chain;
    f.place = found.place;
    f.clusters = chain_of(found.first, found.length, found.no_fat_chain);
    return f;
}

std::uint64_t ExfatWriter::entry_offset(const std::vector<std::uint32_t>& clusters,
                                        std::size_t index) const {
    const std::uint32_t per = layout_.cluster_size / kEntry;
    if (index / per >= clusters.size()) fail("entry beyond the folder");
    return layout_.cluster_offset(clusters[index / per]) + (index % per) * kEntry;
}

std::uint64_t ExfatWriter::entry_offset(const Place& place, std::size_t k) const {
    return entry_offset(place.folder, place.index + k);
}

std::vector<std::uint8_t> ExfatWriter::read_set(const Place& place) const {
    const std::size_t count = std::size_t(read(entry_offset(place, 0), 2)[1]) + 1;
    std::vector<std::uint8_t> set;
    for (std::size_t k = 0; k < count; ++k) {
        const std::vector<std::uint8_t> entry = read(entry_offset(place, k), kEntry);
        set.insert(set.end(), entry.begin(), entry.end());
    }
    return set;
}

void ExfatWriter::write_entry(const Place& place, std::size_t k,
                              std::span<const std::uint8_t> entry) {
    write(entry_offset(place, k), entry.first(kEntry));
}

std::vector<ExfatWriter::Found> ExfatWriter::list(const Folder& folder) const {
    std::vector<std::uint8_t> all;
    for (std::uint32_t c : folder.clusters) {
        const std::vector<std::uint8_t> data =
            read(layout_.cluster_offset(c), layout_.cluster_size);
        all.insert(all.end(), data.begin(), data.end());
    }
    std::vector<Found> out;
    const std::size_t count = all.size() / kEntry;
    for (std::size_t i = 0; i < count;) {
        const std::uint8_t* p = all.data() + i * kEntry;
        if (p[0] == 0) break;
        if (p[0] != 0x85 || i + p[1] >= count) {
            ++i;
            continue;
        }
        const std::uint8_t* stream = p + kEntry;
        Found f;
        f.place = {folder.clusters, i};
        f.entries = std::size_t(p[1]) + 1;
        f.directory = le16(p + 4) & 0x10;
        f.no_fat_chain = stream[1] & 2;
        f.first = le32(stream + 20);
        f.length = le64(stream + 24);
        for (std::size_t n = 0; n < stream[3]; ++n)
            f.name.push_back(
                static_cast<char16_t>(le16(stream + kEntry * (1 + n / 15) + 2 + 2 * (n % 15))));
        out.push_back(f);
        i += f.entries;
    }
    return out;
}

std::optional<ExfatWriter::Found> ExfatWriter::find(const Folder& folder,
                                                    const std::u16string& name) const {
    for (const Found& f : list(folder))
        if (same_name(f.name, name, upcase_)) return f;
    return std::nullopt;
}

ExfatWriter::Found ExfatWriter::find_path(const std::string& path) const {
    const std::vector<std::string> parts = split_exfat_path(path);
    if (parts.empty()) fail("no path");
    Folder folder = root_folder();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::optional<Found> f = find(folder, utf8_to_utf16(parts[i]));
        if (!f) fail(path + " not found");
        if (i + 1 == parts.size()) return *f;
        if (!f->directory) fail(path + ": not a folder on the way");
        folder = folder_of(*f);
    }
    fail("unreachable");
}

ExfatWriter::Folder ExfatWriter::open_folder(const std::string& path, bool create,
                                             std::time_t mtime) {
    Folder folder = root_folder();
    for (const std::string& part : split_exfat_path(path)) {
        const std::u16string name = utf8_to_utf16(part);
        std::optional<Found> f = find(folder, name);
        if (!f) {
            if (!create) fail(path + " not found");
            // A new folder: one zeroed cluster.
            const std::vector<std::uint32_t> c = allocate(layout_.cluster_size, true);
            write(layout_.cluster_offset(c[0]), std::vector<std::uint8_t>(layout_.cluster_size, 0));
            add_set(folder, name, 0x10, mtime, c[0], layout_.cluster_size, layout_.cluster_size,
                    true, {});
            f = find(folder, name);
        }
        if (!f->directory) fail(part + " is a file");
        folder = folder_of(*f);
    }
    return folder;
}

void ExfatWriter::grow_folder(Folder& folder) {
    const std::uint32_t last = folder.clusters.back();
    std::uint32_t next;
    if (last + 1 < layout_.cluster_count + 2 && !allocated(last + 1)) {
        next = last + 1;
        set_allocated(next, 1, true);
    } else {
        next = allocate(layout_.cluster_size, true)[0];
    }
    write(layout_.cluster_offset(next), std::vector<std::uint8_t>(layout_.cluster_size, 0));
    if (folder.root || !folder.no_fat_chain || next != last + 1) {
        if (!folder.root && folder.no_fat_chain)
            link_chain(folder.clusters);  // no longer in one piece
        folder.no_fat_chain = false;
        write_fat(last, next);
        write_fat(next, kEndOfChain);
    }
    folder.clusters.push_back(next);
    if (!folder.root) {
        const std::uint64_t length = std::uint64_t(folder.clusters.size()) * layout_.cluster_size;
        update_stream(folder.place, folder.first, length, length, folder.no_fat_chain);
    }
}

void ExfatWriter::add_set(Folder& folder, const std::u16string& name, std::uint16_t attributes,
                          std::time_t mtime, std::uint32_t first, std::uint64_t length,
                          std::uint64_t valid, bool no_fat_chain,
                          const std::vector<std::vector<std::uint8_t>>& extra) {
    if (name.empty() || name.size() > 255) fail("a name has 1 to 255 UTF-16 units");
    const std::size_t name_entries = (name.size() + 14) / 15;
    const std::size_t count = 2 + name_entries + extra.size();
    std::vector<std::uint8_t> set(count * kEntry, 0);
    std::uint8_t* file = set.data();
    file[0] = 0x85;
    file[1] = static_cast<std::uint8_t>(count - 1);
    put16(file + 4, attributes);
    const std::uint32_t ts = exfat_timestamp(mtime);
    put32(file + 8, ts);
    put32(file + 12, ts);
    put32(file + 16, ts);
    file[20] = file[21] = exfat_10ms(mtime);
    file[22] = file[23] = file[24] = 0x80;  // UTC, offset valid
    std::uint8_t* stream = file + kEntry;
    stream[0] = 0xC0;
    stream[1] = static_cast<std::uint8_t>(0x01 | (no_fat_chain && length > 0 ? 0x02 : 0));
    stream[3] = static_cast<std::uint8_t>(name.size());
    put16(stream + 4, name_hash(name));
    put64(stream + 8, valid);
    put32(stream + 20, first);
    put64(stream + 24, length);
    for (std::size_t n = 0; n < name_entries; ++n) {
        std::uint8_t* p = stream + (n + 1) * kEntry;
        p[0] = 0xC1;
        for (std::size_t u = 0; u < 15 && n * 15 + u < name.size(); ++u)
            put16(p + 2 + 2 * u, name[n * 15 + u]);
    }
    for (std::size_t k = 0; k < extra.size(); ++k)
        std::memcpy(set.data() + (2 + name_entries + k) * kEntry, extra[k].data(),
                    std::min(extra[k].size(), kEntry));
    put16(file + 2, set_checksum(set));

    // After the last entry in use: the first end-of-directory entry.
    const std::size_t capacity_per = layout_.cluster_size / kEntry;
    std::size_t end = 0;
    while (end < folder.clusters.size() * capacity_per &&
           read(entry_offset(folder.clusters, end), 1)[0] != 0)
        ++end;
    while (end + count > folder.clusters.size() * capacity_per) grow_folder(folder);
    const Place place{folder.clusters, end};
    for (std::size_t k = 0; k < count; ++k)
        write_entry(place, k, std::span<const std::uint8_t>(set).subspan(k * kEntry, kEntry));
}

void ExfatWriter::update_stream(const Place& place, std::uint32_t first, std::uint64_t length,
                                std::uint64_t valid, bool no_fat_chain) {
    std::vector<std::uint8_t> set = read_set(place);
    std::uint8_t* stream = set.data() + kEntry;
    stream[1] =
        static_cast<std::uint8_t>((stream[1] & ~0x02) | (no_fat_chain && length > 0 ? 0x02 : 0));
    put64(stream + 8, valid);
    put32(stream + 20, first);
    put64(stream + 24, length);
    put16(set.data() + 2, set_checksum(set));
    write_entry(place, 0, std::span<const std::uint8_t>(set).first(kEntry));
    write_entry(place, 1, std::span<const std::uint8_t>(set).subspan(kEntry, kEntry));
}

void ExfatWriter::rewrite_set_checksum(std::uint64_t offset) {
    const std::uint8_t k = read(offset, 2)[1];
    std::vector<std::uint8_t> set = read(offset, (std::size_t(k) + 1) * kEntry);
    std::uint8_t sum[2];
    put16(sum, set_checksum(set));
    write(offset + 2, sum);
}

// ---- files ----

void ExfatWriter::mkdir(const std::string& path, std::time_t mtime) {
    open_folder(path, true, mtime);
}

void ExfatWriter::add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                           const ExfatFileOptions& options) {
    add_sparse_file(path, bytes.size(), bytes, {}, options);
}

void ExfatWriter::add_sparse_file(const std::string& path, std::uint64_t size,
                                  std::span<const std::uint8_t> head,
                                  std::span<const std::uint8_t> tail,
                                  const ExfatFileOptions& options) {
    std::vector<std::string> parts = split_exfat_path(path);
    if (parts.empty()) fail("no file name");
    const std::u16string name = utf8_to_utf16(parts.back());
    parts.pop_back();
    std::string parent_path;
    for (const std::string& p : parts) parent_path += p + "/";
    Folder folder = open_folder(parent_path, true, options.mtime);
    if (find(folder, name)) fail(path + " exists");

    std::vector<std::uint32_t> clusters = options.clusters;
    if (clusters.empty()) {
        clusters = allocate(size, options.contiguous);
    } else {
        for (std::uint32_t c : clusters) {
            if (allocated(c)) fail("cluster " + std::to_string(c) + " is taken");
            set_allocated(c, 1, true);
        }
    }
    const std::uint64_t cs = layout_.cluster_size;
    if (std::uint64_t(clusters.size()) * cs < size) fail("too few clusters for " + path);
    bool consecutive = true;
    for (std::size_t i = 1; i < clusters.size(); ++i)
        consecutive = consecutive && clusters[i] == clusters[i - 1] + 1;
    const bool no_fat_chain = options.contiguous && consecutive && size > 0;
    if (!no_fat_chain) link_chain(clusters);
    write_file_data(clusters, 0, head);
    if (!tail.empty()) write_file_data(clusters, size - tail.size(), tail);
    add_set(folder, name, static_cast<std::uint16_t>(0x20 | (options.read_only ? 0x01 : 0)),
            options.mtime, clusters.empty() ? 0 : clusters[0], size,
            options.valid_length.value_or(size), no_fat_chain, options.extra_secondaries);
}

void ExfatWriter::append(const std::string& path, std::span<const std::uint8_t> bytes) {
    const Found f = find_path(path);
    if (f.directory) fail(path + " is a folder");
    std::vector<std::uint32_t> clusters = chain_of(f.first, f.length, f.no_fat_chain);
    const std::uint32_t cs = layout_.cluster_size;
    const std::uint64_t length = f.length + bytes.size();
    const std::size_t need = static_cast<std::size_t>((length + cs - 1) / cs);
    bool no_fat_chain = f.no_fat_chain || clusters.empty();
    if (need > clusters.size()) {
        const std::size_t more = need - clusters.size();
        // Right behind the file when that is free; elsewhere it takes a chain.
        bool behind = !clusters.empty();
        for (std::size_t k = 1; behind && k <= more; ++k) {
            const std::uint32_t c = clusters.back() + static_cast<std::uint32_t>(k);
            behind = c < layout_.cluster_count + 2 && !allocated(c);
        }
        if (behind) {
            const std::uint32_t from = clusters.back() + 1;
            set_allocated(from, static_cast<std::uint32_t>(more), true);
            for (std::size_t k = 0; k < more; ++k)
                clusters.push_back(from + static_cast<std::uint32_t>(k));
        } else {
            const std::vector<std::uint32_t> extra = allocate(std::uint64_t(more) * cs, false);
            clusters.insert(clusters.end(), extra.begin(), extra.end());
            no_fat_chain = no_fat_chain && clusters.size() == extra.size();
        }
        bool consecutive = true;
        for (std::size_t i = 1; i < clusters.size(); ++i)
            consecutive = consecutive && clusters[i] == clusters[i - 1] + 1;
        no_fat_chain = no_fat_chain && consecutive;
        if (!no_fat_chain) link_chain(clusters);
    }
    write_file_data(clusters, f.length, bytes);
    update_stream(f.place, clusters.empty() ? 0 : clusters[0], length, length, no_fat_chain);
}

void ExfatWriter::remove_found(const Found& f, bool keep_fat) {
    if (f.directory) {
        const Folder inner = folder_of(f);
        for (const Found& child : list(inner)) remove_found(child, keep_fat);
    }
    // The set's entries lose their InUse bit; everything else stays.
    for (std::size_t k = 0; k < f.entries; ++k) {
        const std::uint64_t at = entry_offset(f.place, k);
        std::uint8_t type = read(at, 1)[0];
        type &= 0x7F;
        write(at, std::span<const std::uint8_t>(&type, 1));
    }
    const std::vector<std::uint32_t> clusters = chain_of(f.first, f.length, f.no_fat_chain);
    for (std::uint32_t c : clusters) {
        set_allocated(c, 1, false);
        if (!f.no_fat_chain && !keep_fat) write_fat(c, 0);
    }
}

void ExfatWriter::remove(const std::string& path, bool keep_fat) {
    remove_found(find_path(path), keep_fat);
}

std::vector<std::uint32_t> ExfatWriter::clusters(const std::string& path) const {
    const Found f = find_path(path);
    return chain_of(f.first, f.length, f.no_fat_chain);
}

std::uint64_t ExfatWriter::set_offset(const std::string& path) const {
    return entry_offset(find_path(path).place, 0);
}

std::size_t ExfatWriter::set_entries(const std::string& path) const {
    return find_path(path).entries;
}

void ExfatWriter::set_valid_length(const std::string& path, std::uint64_t length) {
    const Found f = find_path(path);
    update_stream(f.place, f.first, f.length, length, f.no_fat_chain);
}

std::uint16_t ExfatWriter::name_hash(const std::u16string& name) const {
    std::uint16_t hash = 0;
    for (char16_t c : name) {
        const char16_t u = upcase(c);
        hash = checksum_step(hash, std::uint8_t(u & 0xFF));
        hash = checksum_step(hash, std::uint8_t(u >> 8));
    }
    return hash;
}

char16_t ExfatWriter::upcase(char16_t c) const {
    return upcase_[c];
}

// ---- boot region ----

void ExfatWriter::set_volume_flags(std::uint16_t flags) {
    std::uint8_t v[2];
    put16(v, flags);
    write(layout_.volume_offset + 106, v);
}

std::uint16_t ExfatWriter::volume_flags() const {
    return le16(read(layout_.volume_offset + 106, 2).data());
}

void ExfatWriter::update_boot_checksums() {
    const std::uint64_t S = layout_.sector_size;
    for (int region = 0; region < 2; ++region) {
        const std::uint64_t base = layout_.volume_offset + region * 12 * S;
        const std::vector<std::uint8_t> sectors = read(base, static_cast<std::size_t>(11 * S));
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < sectors.size(); ++i)
            if (i != 106 && i != 107 && i != 112) sum = checksum_step(sum, sectors[i]);
        std::vector<std::uint8_t> last(static_cast<std::size_t>(S));
        for (std::size_t k = 0; k < last.size(); k += 4) put32(last.data() + k, sum);
        write(base + 11 * S, last);
    }
}

void ExfatWriter::make_texfat() {
    ExfatLayout& l = layout_;
    if (l.fats != 1) fail("already two FATs");
    const std::vector<std::uint8_t> boot = read(l.volume_offset, 512);
    const std::uint64_t S = l.sector_size;
    if (le32(boot.data() + 80) + 2ull * le32(boot.data() + 84) > le32(boot.data() + 88))
        fail("no room for a second FAT");

    // The second bitmap, allocated (and chained) like the first.
    const std::vector<std::uint32_t> second = allocate(l.bitmap_length, true);
    link_chain(second);
    write_file_data(second, 0, bitmap_);
    const Folder root = root_folder();
    std::size_t end = 0;
    while (read(entry_offset(root.clusters, end), 1)[0] != 0) ++end;
    std::uint8_t entry[kEntry] = {};
    entry[0] = 0x81;
    entry[1] = 0x01;
    put32(entry + 20, second[0]);
    put64(entry + 24, l.bitmap_length);
    write(entry_offset(root.clusters, end), entry);
    // The second FAT: a copy of the first.
    write(l.fat_offset + l.fat_length, read(l.fat_offset, l.fat_length));

    for (int region = 0; region < 2; ++region) {
        const std::uint8_t two = 2;
        write(l.volume_offset + region * 12 * S + 110, std::span<const std::uint8_t>(&two, 1));
    }
    update_boot_checksums();
    set_volume_flags(static_cast<std::uint16_t>(volume_flags() | 1));
    l.fats = 2;
    active_fat_ = 1;
    active_bitmap_cluster_ = second[0];
}

void ExfatWriter::use_4k_sectors() {
    ExfatLayout& l = layout_;
    if (l.sector_size != 512 || l.cluster_size < 4096)
        fail("4K sectors need 512-byte sectors and 4K clusters");
    std::vector<std::uint8_t> boot = read(l.volume_offset, 512);
    for (int field : {72, 80, 84, 88})
        if ((field == 72 ? le64(boot.data() + field) : le32(boot.data() + field)) % 8)
            fail("offsets not 4K-aligned");
    put64(boot.data() + 72, le64(boot.data() + 72) / 8);
    for (int field : {80, 84, 88}) put32(boot.data() + field, le32(boot.data() + field) / 8);
    boot[108] = 12;
    boot[109] = static_cast<std::uint8_t>(boot[109] - 3);
    // Two regions of twelve 4,096-byte sectors: the boot sector, eight
    // extended boot sectors, OEM parameters, a reserved one, the checksum.
    std::vector<std::uint8_t> region(12 * 4096, 0);
    std::memcpy(region.data(), boot.data(), 512);
    for (int s = 1; s <= 8; ++s) {
        region[std::size_t(s) * 4096 + 4094] = 0x55;
        region[std::size_t(s) * 4096 + 4095] = 0xAA;
    }
    write(l.volume_offset, region);
    write(l.volume_offset + region.size(), region);
    load();
    update_boot_checksums();
}

}  // namespace lk::tools
