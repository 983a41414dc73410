// exFAT structures from arbitrary bytes: the boot sector test and the boot
// region checksum, the root and up-case tests, entry sets (whole, cut short,
// deleted, behind a plausible File and Stream Extension entry), and a whole
// analysis of a small exFAT volume whose boot fields and directories the
// input overwrites.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/analysis.hpp"
#include "engine/engine.hpp"
#include "engine/exfat_entries.hpp"

namespace {

using lk::Bytes;

void check_set(Bytes entries, std::size_t i, bool deleted, const lk::exfat_set_limits_t& limits) {
    const lk::exfat_set_t set = lk::parse_entry_set(entries, i, deleted, limits);
    const std::size_t count = entries.size() / 32;
    if (set.consumed < 1 || (i < count && set.consumed > count - i)) __builtin_trap();
    if (set.broken) return;
    if (set.name.empty() || set.name.size() > 255 * 3) __builtin_trap();
    const lk::lfn_t record = lk::exfat_set_to_entry(set);
    if (record.entry.name11().size() != 11 || record.long_name != set.name) __builtin_trap();
    if (!record.entry.is_directory() && lk::item_valid_length(record) > lk::item_size(record))
        __builtin_trap();
}

void parsers(Bytes d) {
    (void)lk::is_exfat_boot_sector(d);
    (void)lk::decode_exfat_boot_sector(d);
    for (std::uint32_t sector : {512u, 4096u}) (void)lk::exfat_region_verifies(d, sector);
    const lk::exfat_root_limits_t limits{d.size() > 4 ? lk::load_le32(d.data()) : 0,
                                         d.size() % 2 ? 2 : 1};
    lk::exfat_root_facts_t facts;
    (void)lk::is_exfat_root_sector(d, nullptr, &facts);
    (void)lk::is_exfat_root_sector(d, &limits);
    (void)lk::is_upcase_start(d);
    (void)lk::exfat_table_checksum(d.first(std::min<std::size_t>(d.size(), 4096)));

    // The input as a directory, every entry tried as the start of a set.
    const lk::exfat_set_limits_t set_limits{
        d.size() > 8 ? std::int64_t(lk::load_le32(d.data() + 4) & 0x7FFFFFFF) : 100,
        d.size() > 12 ? lk::load_le32(d.data() + 8) : 1000, 4096};
    const Bytes entries = d.first(std::min<std::size_t>(d.size(), 64 * 1024) / 32 * 32);
    for (std::size_t i = 0; i < entries.size() / 32; ++i) {
        check_set(entries, i, false, set_limits);
        check_set(entries, i, true, set_limits);
        if (lk::exfat_entries_taken(entries, i) < 1) __builtin_trap();
    }
    // Behind a File and Stream Extension entry, so that the name entries and
    // the fields past the first tests are reached.
    for (bool deleted : {false, true}) {
        std::vector<std::uint8_t> dir(64, 0);
        dir[0] = deleted ? 0x05 : 0x85;
        dir[1] = d.empty() ? 2 : std::uint8_t(d[0] % 20);
        dir[32] = deleted ? 0x40 : 0xC0;
        dir[33] = 0x01;
        dir[35] = d.size() > 1 ? d[1] : 1;
        dir.insert(
            dir.end(), d.begin(),
            d.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(d.size(), 20 * 32)));
        for (std::size_t i = 64; i + 32 <= dir.size(); i += 32)
            if (dir[i] % 3 != 0) dir[i] = deleted ? 0x41 : 0xC1;
        check_set(dir, 0, deleted, set_limits);
        check_set(Bytes(dir).first(dir.size() / 2 / 32 * 32), 0, deleted, set_limits);
    }
    (void)lk::exfat_short_name(std::string_view(reinterpret_cast<const char*>(d.data()),
                                                std::min<std::size_t>(d.size(), 300)));
}

// ---- a whole analysis ----

constexpr std::size_t kSector = 512;
constexpr std::uint32_t kVolumeSectors = 2048, kFatOffset = 24, kFatLength = 16, kHeap = 40;
constexpr std::uint32_t kClusters = kVolumeSectors - kHeap;  // 512-byte clusters
constexpr std::uint32_t kBitmap = 2, kUpcase = 3, kRoot = 4, kFolder = 5, kFile = 6;

std::size_t at_cluster(std::uint32_t c) {
    return (kHeap + (c - 2)) * kSector;
}

void write_checksums(std::vector<std::uint8_t>& v) {
    for (std::size_t region = 0; region < 2; ++region) {
        const Bytes r(v.data() + region * 12 * kSector, 12 * kSector);
        const std::uint32_t sum = lk::exfat_boot_checksum(r, kSector);
        for (std::size_t k = 0; k < kSector; k += 4)
            lk::store_le32(v.data() + (region * 12 + 11) * kSector + k, sum);
    }
}

// A 1 MiB volume: bitmap, up-case table, root, a folder holding one file.
std::vector<std::uint8_t> volume() {
    std::vector<std::uint8_t> v(kVolumeSectors * kSector, 0);
    std::uint8_t* b = v.data();
    const std::uint8_t jump[3] = {0xEB, 0x76, 0x90};
    std::memcpy(b, jump, 3);
    std::memcpy(b + 3, "EXFAT   ", 8);
    lk::store_le64(b + 72, kVolumeSectors);
    lk::store_le32(b + 80, kFatOffset);
    lk::store_le32(b + 84, kFatLength);
    lk::store_le32(b + 88, kHeap);
    lk::store_le32(b + 92, kClusters);
    lk::store_le32(b + 96, kRoot);
    b[105] = 1;
    b[108] = 9;
    b[110] = 1;
    b[510] = 0x55;
    b[511] = 0xAA;
    std::memcpy(b + 12 * kSector, b, kSector);
    std::uint8_t* fat = b + kFatOffset * kSector;
    lk::store_le32(fat, 0xFFFFFFF8);
    lk::store_le32(fat + 4, 0xFFFFFFFF);
    for (std::uint32_t c : {kBitmap, kUpcase, kRoot}) lk::store_le32(fat + 4 * c, 0xFFFFFFFF);
    std::uint8_t* bitmap = b + at_cluster(kBitmap);
    bitmap[0] = 0xFF;  // clusters 2 .. 9
    std::uint8_t* upcase = b + at_cluster(kUpcase);
    for (std::uint16_t i = 0; i < 256; ++i)
        lk::store_le16(upcase + 2 * i, i >= 'a' && i <= 'z' ? std::uint16_t(i - 32) : i);
    auto entry = [&](std::uint32_t c, std::size_t i) { return b + at_cluster(c) + 32 * i; };
    std::uint8_t* e = entry(kRoot, 0);
    e[0] = 0x81;
    lk::store_le32(e + 20, kBitmap);
    lk::store_le64(e + 24, (kClusters + 7) / 8);
    e = entry(kRoot, 1);
    e[0] = 0x82;
    lk::store_le32(e + 4, lk::exfat_table_checksum(Bytes(upcase, 512)));
    lk::store_le32(e + 20, kUpcase);
    lk::store_le64(e + 24, 512);
    // A set: File, Stream Extension, File Name.
    auto set = [&](std::uint32_t c, std::size_t i, std::uint16_t attr, std::uint32_t first,
                   std::uint64_t length, const char* name) {
        std::uint8_t* f = entry(c, i);
        f[0] = 0x85;
        f[1] = 2;
        lk::store_le16(f + 4, attr);
        std::uint8_t* s = f + 32;
        s[0] = 0xC0;
        s[1] = 0x03;
        s[3] = static_cast<std::uint8_t>(std::strlen(name));
        lk::store_le64(s + 8, length);
        lk::store_le32(s + 20, first);
        lk::store_le64(s + 24, length);
        std::uint8_t* n = f + 64;
        n[0] = 0xC1;
        for (std::size_t k = 0; name[k]; ++k) lk::store_le16(n + 2 + 2 * k, std::uint8_t(name[k]));
        lk::store_le16(f + 2, lk::exfat_set_checksum(Bytes(f, 96), false));
    };
    set(kRoot, 2, 0x10, kFolder, kSector, "DCIM");
    set(kFolder, 0, 0x20, kFile, 4 * kSector, "IMG_0001.JPG");
    for (std::size_t k = 0; k < 4 * kSector; ++k) b[at_cluster(kFile) + k] = std::uint8_t(k * 7);
    write_checksums(v);
    return v;
}

class Memory final : public lk::ReadBackend {
  public:
    explicit Memory(std::vector<std::uint8_t> b) : b_(std::move(b)) {}
    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        error = 0;
        if (offset < 0) return -1;
        if (std::uint64_t(offset) >= b_.size()) return 0;
        const std::size_t n = std::min<std::size_t>(length, b_.size() - std::size_t(offset));
        std::memcpy(buffer, b_.data() + offset, n);
        return std::int64_t(n);
    }
    std::int64_t size() override { return std::int64_t(b_.size()); }

  private:
    std::vector<std::uint8_t> b_;
};

void analysis(Bytes d) {
    static const std::vector<std::uint8_t> clean = volume();
    std::vector<std::uint8_t> v = clean;
    // The input overwrites the boot fields, the root and the folder, each
    // where its first bytes say.
    const std::size_t places[] = {64, at_cluster(kRoot), at_cluster(kFolder),
                                  at_cluster(kRoot) + 64, kFatOffset * kSector + 4 * kBitmap};
    std::size_t from = 1;
    for (std::size_t k = 0; k < std::size(places) && from < d.size(); ++k) {
        if (!((d[0] >> k) & 1)) continue;
        const std::size_t n = std::min<std::size_t>({d.size() - from, 48, v.size() - places[k]});
        std::memcpy(v.data() + places[k], d.data() + from, n);
        from += n;
    }
    if (d[0] & 0x80) write_checksums(v);
    const std::int64_t most = std::int64_t(v.size() / kSector) + 2;
    lk::Status status;
    lk::Input input(status);
    if (!input.OpenBackend(std::make_unique<Memory>(std::move(v)), "fuzz")) return;
    input.input_size = input.InputSize(true, -1);
    lk::Engine e(status, input);
    e.opt.cache = false;
    // Whatever the fields claim, no cluster lies past the input.
    if (lk::RunAnalysis(e) == lk::AnalysisResult::Finished && e.geo.max_cluster > most)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes d(data, size);
    parsers(d);
    if (!d.empty() && d.size() % 4 == 0) analysis(d);
    return 0;
}
