#include "tests/support/card_builder.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "base/bytes.hpp"

namespace lk::test {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSector = 512;

std::string hex32(std::uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

// FAT compares names without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
        return up(x) == up(y);
    });
}

std::string trim_slashes(const std::string& path) {
    std::size_t b = path.find_first_not_of('/');
    if (b == std::string::npos) return {};
    std::size_t e = path.find_last_not_of('/');
    return path.substr(b, e - b + 1);
}

void write_file(const fs::path& file, std::span<const std::uint8_t> bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

void set_mtime(const fs::path& file, std::time_t mtime) {
    timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (::utimensat(AT_FDCWD, file.c_str(), times, 0) != 0)
        throw std::system_error(errno, std::generic_category(), "utimensat " + file.string());
}

std::uint8_t default_partition_type(FatBits bits) {
    switch (bits) {
        case FatBits::fat12:
            return 0x01;
        case FatBits::fat16:
            return 0x06;
        case FatBits::fat32:
            return 0x0C;
    }
    return 0x06;
}


}  // namespace

void encode_chs(std::uint32_t lba, std::uint8_t out[3]) {
    constexpr std::uint32_t heads = 255, sectors = 63;
    std::uint32_t cylinder = lba / (heads * sectors);
    std::uint32_t head = (lba / sectors) % heads;
    std::uint32_t sector = lba % sectors + 1;
    if (cylinder > 1023) {  // beyond CHS reach: the conventional "maximum" triple
        cylinder = 1023;
        head = 254;
        sector = 63;
    }
    out[0] = std::uint8_t(head);
    out[1] = std::uint8_t(sector | ((cylinder >> 2) & 0xC0));
    out[2] = std::uint8_t(cylinder);
}

// Boot sector fields (offset | size | meaning):
//   11 | 2 | bytes per sector       13 | 1 | sectors per cluster
//   14 | 2 | reserved sectors       16 | 1 | number of FATs
//   17 | 2 | root entries           19 | 2 | total sectors (16-bit)
//   22 | 2 | sectors per FAT (12/16) 28 | 4 | hidden sectors
//   32 | 4 | total sectors (32-bit) 36 | 4 | sectors per FAT (32)
//   44 | 4 | root cluster (32)     510 | 2 | 55 AA
std::optional<FatLayout> parse_boot_sector(std::span<const std::uint8_t> s,
                                           std::uint64_t volume_offset) {
    if (le16(s, 510) != 0xAA55) return std::nullopt;
    auto bps = le16(s, 11);
    auto spc = u8(s, 13);
    auto reserved = le16(s, 14);
    auto fats = u8(s, 16);
    auto root_entries = le16(s, 17);
    auto total16 = le16(s, 19);
    auto fat16 = le16(s, 22);
    auto hidden = le32(s, 28);
    auto total32 = le32(s, 32);
    auto fat32 = le32(s, 36);
    auto root_cluster = le32(s, 44);
    if (!bps || !spc || !reserved || !fats || !root_entries || !total16 || !fat16 || !hidden ||
        !total32 || !fat32 || !root_cluster)
        return std::nullopt;
    if (*bps < 512 || *bps > 4096 || (*bps & (*bps - 1)) || *spc == 0 || *fats == 0)
        return std::nullopt;

    FatLayout l;
    l.volume_offset = volume_offset;
    l.bytes_per_sector = *bps;
    l.sectors_per_cluster = *spc;
    l.cluster_size = std::uint32_t(*bps) * *spc;
    l.reserved_sectors = *reserved;
    l.fat_count = *fats;
    l.root_entries = *root_entries;
    l.total_sectors = *total16 ? *total16 : *total32;
    l.fat_sectors = *fat16 ? *fat16 : *fat32;
    l.hidden_sectors = *hidden;
    std::uint64_t root_sectors = (std::uint64_t(l.root_entries) * 32 + *bps - 1) / *bps;
    std::uint64_t data_start = std::uint64_t(l.reserved_sectors) +
                               std::uint64_t(l.fat_count) * l.fat_sectors + root_sectors;
    if (l.fat_sectors == 0 || data_start >= l.total_sectors) return std::nullopt;
    std::uint64_t clusters = (l.total_sectors - data_start) / l.sectors_per_cluster;
    l.cluster_count = std::uint32_t(std::min<std::uint64_t>(clusters, 0x0FFFFFF5));
    if (*fat16 == 0)
        l.bits = FatBits::fat32;
    else
        l.bits = clusters < 4085 ? FatBits::fat12 : FatBits::fat16;

    std::uint64_t fat1 = volume_offset + std::uint64_t(l.reserved_sectors) * *bps;
    l.fat_offset[0] = fat1;
    l.fat_offset[1] = fat1 + (l.fat_count > 1 ? std::uint64_t(l.fat_sectors) * *bps : 0);
    std::uint64_t after_fats = fat1 + std::uint64_t(l.fat_count) * l.fat_sectors * *bps;
    l.cluster2_offset = after_fats + root_sectors * *bps;
    if (l.bits == FatBits::fat32) {
        l.root_cluster = *root_cluster;
        l.root_offset = l.cluster2_offset;
    } else {
        l.root_offset = after_fats;
    }
    return l;
}

std::uint16_t dos_date(std::time_t utc) {
    std::tm tm{};
    gmtime_r(&utc, &tm);
    return std::uint16_t((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

std::uint16_t dos_time(std::time_t utc) {
    std::tm tm{};
    gmtime_r(&utc, &tm);
    return std::uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

bool have_fat_tools() {
    for (const char* p : {"mkfs.fat", "mcopy", "mmd", "mdel", "mdeltree", "mattrib", "mdir"})
        if (!find_program(p)) return false;
    return true;
}

FatImage::FatImage(fs::path image, FatOptions options)
    : image_(std::move(image)), options_(std::move(options)), scratch_("lk-card") {}

FatImage FatImage::create(const fs::path& image, const FatOptions& options) {
    if (options.image_size % kSector != 0 || options.image_size == 0)
        throw std::invalid_argument("image size must be a positive multiple of 512");
    if (options.partition_start) {
        if (*options.partition_start == 0 ||
            std::uint64_t(*options.partition_start) * kSector >= options.image_size)
            throw std::invalid_argument("partition start outside the image");
        if (options.image_size / kSector - *options.partition_start > 0xFFFFFFFFull)
            throw std::invalid_argument("partition too large for an MBR entry");
    }
    FatImage img(image, options);
    std::error_code ec;
    fs::remove(image, ec);
    { std::ofstream create(image, std::ios::binary); }
    fs::resize_file(image, options.image_size);  // sparse: zeros until written

    img.format();

    if (options.partition_start) {
        // Master boot record (offset | size | meaning):
        //   0 | 446 | boot code      446 | 16 | partition entry 1
        //   entry: status, CHS first, type, CHS last, first sector (LE32), count (LE32)
        //   510 | 2 | 55 AA
        std::array<std::uint8_t, kSector> mbr{};
        if (options.mbr_boot_code) {
            mbr[0] = 0xFA;
            mbr[1] = 0x33;
            mbr[2] = 0xC0;
        }
        std::uint32_t first = *options.partition_start;
        auto count = std::uint32_t(options.image_size / kSector - first);
        std::uint8_t* e = mbr.data() + 446;
        e[0] = 0x80;
        encode_chs(first, e + 1);
        e[4] = options.partition_type.value_or(default_partition_type(options.bits));
        encode_chs(first + count - 1, e + 5);
        store_le32(e + 8, first);
        store_le32(e + 12, count);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        img.overwrite(0, mbr);
    }
    img.formatted_ = img.layout();
    return img;
}

void FatImage::format() {
    std::vector<std::string> argv = {"mkfs.fat",
                                     "-F",
                                     std::to_string(int(options_.bits)),
                                     "-s",
                                     std::to_string(options_.sectors_per_cluster),
                                     "-i",
                                     hex32(options_.volume_id),
                                     "--mbr=n"};
    if (!options_.label.empty()) argv.insert(argv.end(), {"-n", options_.label});
    if (options_.root_entries)
        argv.insert(argv.end(), {"-r", std::to_string(options_.root_entries)});
    if (options_.partition_start) {
        // The hidden-sector count tells the file system where its partition starts.
        argv.insert(argv.end(), {"-h", std::to_string(*options_.partition_start),
                                 "--offset=" + std::to_string(*options_.partition_start)});
    }
    argv.push_back(image_.string());
    run_checked(argv);
}

std::uint64_t FatImage::volume_offset() const {
    return options_.partition_start ? std::uint64_t(*options_.partition_start) * kSector : 0;
}

std::string FatImage::mtools_image() const {
    std::string s = image_.string();
    if (options_.partition_start) s += "@@" + std::to_string(volume_offset());
    return s;
}

std::string FatImage::target(const std::string& path) const {
    return "::/" + trim_slashes(path);
}

CardFile* FatImage::find_present(const std::string& path) {
    std::string p = trim_slashes(path);
    for (auto& f : files_)
        if (!f.deleted && same_name(f.path, p)) return &f;
    return nullptr;
}

void FatImage::add_dir(const std::string& path) {
    std::string p = trim_slashes(path);
    std::size_t pos = 0;
    while (pos <= p.size() && !p.empty()) {
        std::size_t slash = p.find('/', pos);
        std::string prefix = p.substr(0, slash);
        bool known = std::any_of(dirs_.begin(), dirs_.end(),
                                 [&](const std::string& d) { return same_name(d, prefix); });
        if (!known) {
            run_checked({"mmd", "-i", mtools_image(), target(prefix)});
            dirs_.push_back(prefix);
        }
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
}

void FatImage::add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                        std::time_t mtime, bool read_only) {
    std::string p = trim_slashes(path);
    if (auto slash = p.rfind('/'); slash != std::string::npos) add_dir(p.substr(0, slash));
    fs::path source = scratch_.path() / ("f" + std::to_string(scratch_counter_++));
    write_file(source, bytes);
    set_mtime(source, mtime);
    // -m keeps the modification time; -D o replaces a file of the same name
    // instead of asking (standard input is not a terminal).
    run_checked({"mcopy", "-m", "-D", "o", "-i", mtools_image(), source.string(), target(p)});
    fs::remove(source);
    // A file of the same name was replaced on the card.
    std::erase_if(files_, [&](const CardFile& f) { return !f.deleted && same_name(f.path, p); });
    files_.push_back(CardFile{p, {bytes.begin(), bytes.end()}, mtime, false, false});
    if (read_only) set_read_only(p);
}

void FatImage::set_read_only(const std::string& path) {
    run_checked({"mattrib", "-i", mtools_image(), "+r", target(path)});
    if (CardFile* f = find_present(path)) f->read_only = true;
}

void FatImage::delete_file(const std::string& path) {
    CardFile* f = find_present(path);
    // Without a terminal mdel deletes read-only files too; their deleted entry
    // keeps the attribute.
    run_checked({"mdel", "-i", mtools_image(), target(path)});
    if (f) f->deleted = true;
}

void FatImage::delete_folder(const std::string& path) {
    std::string p = trim_slashes(path);
    run_checked({"mdeltree", "-i", mtools_image(), target(p)});
    auto inside = [&](const std::string& q) {
        return q.size() > p.size() && q[p.size()] == '/' && same_name(q.substr(0, p.size()), p);
    };
    for (auto& f : files_)
        if (inside(f.path)) f.deleted = true;
    std::erase_if(dirs_, [&](const std::string& d) { return same_name(d, p) || inside(d); });
}

void FatImage::quick_format() {
    format();
    dirs_.clear();
}

std::vector<std::uint8_t> FatImage::read(std::uint64_t offset, std::size_t length) const {
    std::ifstream in(image_, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<std::uint8_t> out(length);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(length));
    out.resize(std::size_t(std::max<std::streamsize>(in.gcount(), 0)));
    return out;
}

std::vector<std::uint8_t> FatImage::bytes() const {
    return read(0, fs::file_size(image_));
}

void FatImage::overwrite(std::uint64_t offset, std::span<const std::uint8_t> data) {
    if (offset > options_.image_size || data.size() > options_.image_size - offset)
        throw std::out_of_range("write past the end of the image");
    std::fstream io(image_, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(std::streamoff(offset));
    io.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!io) throw std::runtime_error("cannot write " + image_.string());
}

void FatImage::zero(std::uint64_t offset, std::uint64_t length) {
    constexpr std::uint64_t chunk = 1 << 20;
    std::vector<std::uint8_t> zeros(std::size_t(std::min(length, chunk)), 0);
    for (std::uint64_t done = 0; done < length;) {
        std::uint64_t n = std::min(chunk, length - done);
        overwrite(offset + done, std::span(zeros).first(std::size_t(n)));
        done += n;
    }
}

std::uint64_t FatImage::write_at_cluster(std::uint32_t cluster, std::uint32_t offset,
                                         std::span<const std::uint8_t> data) {
    if (cluster < 2 || cluster - 2 >= formatted_.cluster_count)
        throw std::out_of_range("cluster outside the data area");
    std::uint64_t at = formatted_.cluster_offset(cluster) + offset;
    overwrite(at, data);
    return at;
}

FatLayout FatImage::layout() const {
    auto sector = read(volume_offset(), kSector);
    auto l = parse_boot_sector(sector, volume_offset());
    if (!l) throw std::runtime_error("no readable boot sector in " + image_.string());
    return *l;
}

std::string FatImage::list_dir(const std::string& path, bool all) const {
    std::vector<std::string> argv = {"mdir", "-i", mtools_image()};
    if (all) argv.push_back("-a");
    argv.push_back(target(path));
    return run_checked(argv).out;
}

std::vector<std::uint32_t> FatImage::clusters(const std::string& path) const {
    // "::/DIR/A.JPG <3-8> <12>": runs of consecutive clusters in chain order.
    const std::string out = run_checked({"mshowfat", "-i", mtools_image(), target(path)}).out;
    std::vector<std::uint32_t> chain;
    for (std::size_t at = out.find('<'); at != std::string::npos; at = out.find('<', at + 1)) {
        const std::size_t close = out.find('>', at);
        if (close == std::string::npos) break;
        const std::string run = out.substr(at + 1, close - at - 1);
        const std::size_t dash = run.find('-');
        const std::uint32_t first = std::uint32_t(std::stoul(run.substr(0, dash)));
        const std::uint32_t last = dash == std::string::npos ? first : std::uint32_t(std::stoul(run.substr(dash + 1)));
        for (std::uint32_t c = first; c <= last; ++c) chain.push_back(c);
    }
    return chain;
}

std::uint64_t FatImage::entry_offset(const std::string& folder, const std::string& name11) const {
    const FatLayout l = formatted_;
    // The folder's blocks of entries: the FAT12/16 root in one piece, any
    // other folder cluster by cluster along its chain.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    if (trim_slashes(folder).empty() && l.bits != FatBits::fat32) {
        blocks.emplace_back(l.root_offset, std::uint64_t(l.root_entries) * 32);
    } else {
        const auto chain = trim_slashes(folder).empty() ? std::vector<std::uint32_t>{l.root_cluster} : clusters(folder);
        for (std::uint32_t c : chain) blocks.emplace_back(l.cluster_offset(c), l.cluster_size);
    }
    for (const auto& [start, length] : blocks) {
        const auto dir = read(start, std::size_t(length));
        for (std::size_t i = 0; i + 32 <= dir.size(); i += 32)
            if (dir[i + 11] != 0x0F && std::memcmp(dir.data() + i, name11.data(), 11) == 0) return start + i;
    }
    throw std::runtime_error("no entry " + name11 + " in " + folder);
}

void FatImage::place_files(const std::vector<std::pair<std::string, std::vector<std::uint32_t>>>& placement) {
    const FatLayout l = formatted_;
    if (l.bits == FatBits::fat12) throw std::logic_error("place_files: FAT12 is not supported");
    const unsigned width = l.bits == FatBits::fat16 ? 2 : 4;
    auto set_entry = [&](std::uint32_t c, std::uint32_t value) {
        for (std::uint32_t copy = 0; copy < l.fat_count; ++copy) {
            const std::uint64_t at = l.fat_offset[0] + std::uint64_t(copy) * l.fat_sectors * l.bytes_per_sector +
                                     std::uint64_t(c) * width;
            std::uint8_t bytes[4];
            for (unsigned i = 0; i < width; ++i) bytes[i] = std::uint8_t(value >> (8 * i));
            overwrite(at, std::span<const std::uint8_t>(bytes, width));
        }
    };
    // Every chain is freed before any is written, so that files may move
    // into each other's old clusters.
    std::vector<std::vector<std::uint8_t>> contents;
    for (const auto& [path, chain] : placement) {
        const CardFile* f = find_present(path);
        if (!f) throw std::runtime_error("place_files: no file " + path);
        if ((f->bytes.size() + l.cluster_size - 1) / l.cluster_size != chain.size())
            throw std::runtime_error("place_files: " + path + " needs another number of clusters");
        contents.push_back(f->bytes);
        for (std::uint32_t c : clusters(path)) set_entry(c, 0);
    }
    const std::uint32_t end = l.bits == FatBits::fat16 ? 0xFFFF : 0x0FFFFFFF;
    for (std::size_t i = 0; i < placement.size(); ++i) {
        const auto& [path, chain] = placement[i];
        std::vector<std::uint8_t> bytes = contents[i];
        bytes.resize(chain.size() * l.cluster_size);
        for (std::size_t k = 0; k < chain.size(); ++k) {
            write_at_cluster(chain[k], 0,
                             std::span<const std::uint8_t>(bytes.data() + k * l.cluster_size, l.cluster_size));
            set_entry(chain[k], k + 1 < chain.size() ? chain[k + 1] : end);
        }
        // The entry: the 8.3 name of the path's last part, in its folder.
        const std::string p = trim_slashes(path);
        const std::size_t slash = p.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : p.substr(0, slash);
        std::string leaf = slash == std::string::npos ? p : p.substr(slash + 1);
        for (char& ch : leaf) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        const std::size_t dot = leaf.rfind('.');
        std::string name11 = leaf.substr(0, dot).substr(0, 8);
        name11.resize(8, ' ');
        std::string ext = dot == std::string::npos ? "" : leaf.substr(dot + 1, 3);
        ext.resize(3, ' ');
        name11 += ext;
        const std::uint64_t entry = entry_offset(folder, name11);
        const std::uint32_t first = chain.front();
        const std::uint8_t lo[2] = {std::uint8_t(first), std::uint8_t(first >> 8)};
        const std::uint8_t hi[2] = {std::uint8_t(first >> 16), std::uint8_t(first >> 24)};
        overwrite(entry + 26, lo);
        if (l.bits == FatBits::fat32) overwrite(entry + 20, hi);
    }
}

std::vector<std::uint8_t> FatImage::extract(const std::string& path) const {
    TempDir out("lk-extract");
    fs::path file = out.path() / "file";
    run_checked({"mcopy", "-n", "-i", mtools_image(), target(path), file.string()});
    return read_whole(file);
}

std::vector<CardFile> FatImage::present_files() const {
    std::vector<CardFile> out;
    std::copy_if(files_.begin(), files_.end(), std::back_inserter(out),
                 [](const CardFile& f) { return !f.deleted; });
    return out;
}

std::vector<CardFile> FatImage::deleted_files() const {
    std::vector<CardFile> out;
    std::copy_if(files_.begin(), files_.end(), std::back_inserter(out),
                 [](const CardFile& f) { return f.deleted; });
    return out;
}

}  // namespace lk::test
