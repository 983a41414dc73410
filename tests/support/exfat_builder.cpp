#include "tests/support/exfat_builder.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace lk::test {

namespace fs = std::filesystem;

namespace {

// exFAT compares names through its up-case table; ASCII case is enough here.
bool same_path(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
        return up(x) == up(y);
    });
}

bool inside(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path[folder.size()] == '/' &&
           same_path(path.substr(0, folder.size()), folder);
}

std::string trimmed(const std::string& path) {
    std::string out;
    for (const std::string& part : tools::split_exfat_path(path))
        out += (out.empty() ? "" : "/") + part;
    return out;
}

}  // namespace

bool have_exfat_tools() {
    for (const char* p : {"mkfs.exfat", "fsck.exfat", "dump.exfat"})
        if (!find_program(p)) return false;
    return true;
}

ExfatImage::ExfatImage(fs::path image, ExfatOptions options)
    : image_(std::move(image)), options_(std::move(options)) {}

ExfatImage ExfatImage::create(const fs::path& image, const ExfatOptions& options) {
    if (options.image_size % 512 != 0 ||
        options.image_size <= options.partition_start.value_or(0) * 512ull)
        throw std::runtime_error("an image of whole sectors, the partition inside it");
    std::error_code ec;
    fs::remove(image, ec);
    std::ofstream(image, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(image, options.image_size);
    ExfatImage card(image, options);
    card.format();
    return card;
}

namespace {

void copy_bytes(const fs::path& from, std::uint64_t from_at, const fs::path& to,
                std::uint64_t to_at, std::uint64_t length) {
    std::ifstream in(from, std::ios::binary);
    std::fstream out(to, std::ios::binary | std::ios::in | std::ios::out);
    in.seekg(static_cast<std::streamoff>(from_at));
    out.seekp(static_cast<std::streamoff>(to_at));
    std::vector<char> buffer(1 << 20);
    while (length > 0 && in) {
        in.read(buffer.data(),
                static_cast<std::streamsize>(std::min<std::uint64_t>(buffer.size(), length)));
        out.write(buffer.data(), in.gcount());
        length -= static_cast<std::uint64_t>(in.gcount());
    }
}

}  // namespace

void ExfatImage::format() {
    writer_.reset();
    const std::uint64_t start = options_.partition_start.value_or(0) * 512ull;
    // mkfs.exfat formats a whole file: a partitioned card's volume is
    // formatted on its own, with the bytes it held, and put back.
    const fs::path volume = start ? fs::path(image_.string() + ".volume") : image_;
    if (start) {
        std::ofstream(volume, std::ios::binary | std::ios::trunc).close();
        fs::resize_file(volume, options_.image_size - start);
        copy_bytes(image_, start, volume, 0, options_.image_size - start);
    }
    std::vector<std::string> argv = {"mkfs.exfat", "-L", options_.label};
    if (options_.cluster_size)
        argv.insert(argv.end(), {"-c", std::to_string(options_.cluster_size)});
    argv.push_back(volume.string());
    run_checked(argv);
    if (start) {
        copy_bytes(volume, 0, image_, start, options_.image_size - start);
        fs::remove(volume);
        // The MBR: one inactive entry of type 0x07 over the volume.
        std::vector<std::uint8_t> mbr(512, 0);
        std::uint8_t* entry = mbr.data() + 446;
        const std::uint32_t first = *options_.partition_start;
        const std::uint32_t count = static_cast<std::uint32_t>((options_.image_size - start) / 512);
        encode_chs(first, entry + 1);
        entry[4] = 0x07;
        encode_chs(first + count - 1, entry + 5);
        for (int i = 0; i < 4; ++i) {
            entry[8 + i] = std::uint8_t(first >> (8 * i));
            entry[12 + i] = std::uint8_t(count >> (8 * i));
        }
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        std::fstream out(image_, std::ios::binary | std::ios::in | std::ios::out);
        out.write(reinterpret_cast<const char*>(mbr.data()), 512);
    }
    writer_ = std::make_unique<tools::ExfatWriter>(image_, start);
}

void ExfatImage::add_dir(const std::string& path, std::time_t mtime) {
    writer_->mkdir(path, mtime);
    std::string so_far;
    for (const std::string& part : tools::split_exfat_path(path)) {
        so_far += (so_far.empty() ? "" : "/") + part;
        if (std::none_of(dirs_.begin(), dirs_.end(),
                         [&](const std::string& d) { return same_path(d, so_far); }))
            dirs_.push_back(so_far);
    }
}

void ExfatImage::add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                          const tools::ExfatFileOptions& options) {
    const std::vector<std::string> parts = tools::split_exfat_path(path);
    if (parts.size() > 1) {
        std::string folder;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i)
            folder += (folder.empty() ? "" : "/") + parts[i];
        add_dir(folder, options.mtime);
    }
    writer_->add_file(path, bytes, options);
    files_.push_back(
        {trimmed(path), {bytes.begin(), bytes.end()}, options.mtime, options.read_only, false});
}

void ExfatImage::append(const std::string& path, std::span<const std::uint8_t> bytes) {
    writer_->append(path, bytes);
    for (CardFile& f : files_)
        if (!f.deleted && same_path(f.path, trimmed(path)))
            f.bytes.insert(f.bytes.end(), bytes.begin(), bytes.end());
}

void ExfatImage::remove(const std::string& path, bool keep_fat) {
    writer_->remove(path, keep_fat);
    const std::string p = trimmed(path);
    for (CardFile& f : files_)
        if (!f.deleted && (same_path(f.path, p) || inside(f.path, p))) f.deleted = true;
    std::erase_if(dirs_, [&](const std::string& d) { return same_path(d, p) || inside(d, p); });
}

void ExfatImage::quick_format() {
    format();
    dirs_.clear();
}

void ExfatImage::zero(std::uint64_t offset, std::uint64_t length) {
    overwrite(offset, std::vector<std::uint8_t>(static_cast<std::size_t>(length), 0));
}

ProcessResult ExfatImage::fsck() const {
    return run_process({"fsck.exfat", "-n", image_.string()});
}

ProcessResult ExfatImage::dump() const {
    return run_process({"dump.exfat", image_.string()});
}

std::vector<CardFile> ExfatImage::present_files() const {
    std::vector<CardFile> out;
    std::copy_if(files_.begin(), files_.end(), std::back_inserter(out),
                 [](const CardFile& f) { return !f.deleted; });
    return out;
}

std::vector<CardFile> ExfatImage::deleted_files() const {
    std::vector<CardFile> out;
    std::copy_if(files_.begin(), files_.end(), std::back_inserter(out),
                 [](const CardFile& f) { return f.deleted; });
    return out;
}

}  // namespace lk::test
