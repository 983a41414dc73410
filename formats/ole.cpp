// Which application wrote an OLE2 compound document, read from the names of
// the root storage's streams.
//
// Header (sector -1; all numbers little-endian):
//   offset | size    | meaning
//   0      | 8       | D0 CF 11 E0 A1 B1 1A E1
//   30     | 2       | sector shift: sector size = 2^(shift & 31)
//   48     | 4       | first directory sector
//   76     | 109 x 4 | the first 109 FAT sector numbers
// Sector n starts at byte (n + 1) x sector size. FAT entry 0xFFFFFFFF ends a
// chain; other special values point far outside the data and fail there.
//
// Directory entry (128 bytes):
//   offset | size | meaning
//   0      | 64   | name, UTF-16LE
//   64     | 2    | name length in bytes, terminator included
//   68     | 4    | left sibling (0xFFFFFFFF none)
//   72     | 4    | right sibling
//   76     | 4    | child
//   80     | 16   | class identifier
//   96     | 4    | state bits
#include <array>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "formats/office.hpp"

namespace lk {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::size_t kEntrySize = 128;
constexpr std::size_t kHeaderFatSectors = 109;
constexpr std::size_t kMinSectorSize = 128;

// Installer databases are told by the root's class identifier (with zero
// state bits), not by a stream name: they may carry any streams.
constexpr std::array<std::uint8_t, 20> kInstallerClass1 = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00,
                                                           0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                           0x00, 0x46, 0x00, 0x00, 0x00, 0x00};
constexpr std::array<std::uint8_t, 20> kInstallerClass2 = {0x86, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00,
                                                           0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                           0x00, 0x46, 0x00, 0x00, 0x00, 0x00};

// Compound files compare entry names without regard to case, and writers
// differ: Excel 97 and later name the stream "Workbook", not "WorkBook".
struct StreamKind {
    std::string_view name;
    TypeTag kind;
};
constexpr StreamKind kStreamKinds[] = {
    {"WordDocument", "DOC"},        {"WorkBook", "XLS"},      {"Book", "XLS"},
    {"PowerPoint Document", "PPT"}, {"VisioDocument", "VSD"},
};

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// The compound file as read here. Directory entries are reached by following
// the directory chain through the FAT; the chain is walked once and kept.
class Compound {
  public:
    explicit Compound(Bytes data, std::uint64_t sector_size)
        : d_(data), sector_size_(sector_size), whole_sectors_(data.size() / sector_size) {
        walk_directory_chain();
    }

    // The 128 bytes of entry i, or nothing when the chain or the data do not
    // reach it.
    std::optional<Bytes> entry(std::uint32_t i) const {
        const std::uint64_t per_sector = sector_size_ / kEntrySize;
        const std::uint64_t steps = i / per_sector;
        if (steps > whole_sectors_ || steps >= chain_.size()) return std::nullopt;
        const std::uint32_t sector = chain_[std::size_t(steps)];
        if (sector == kNone) return std::nullopt;
        const std::uint64_t at = sector_start(sector) + (i % per_sector) * kEntrySize;
        if (!inside(sector_start(sector), sector_size_)) return std::nullopt;
        return d_.subspan(std::size_t(at), kEntrySize);
    }

  private:
    std::uint64_t sector_start(std::uint32_t n) const {
        return (std::uint64_t(n) + 1) * sector_size_;
    }
    bool inside(std::uint64_t off, std::uint64_t n) const {
        return off <= d_.size() && n <= d_.size() - off;
    }

    // The FAT entry of sector s, read from one of the header's 109 FAT sectors.
    std::optional<std::uint32_t> next_sector(std::uint32_t s) const {
        const std::uint64_t per_fat_sector = sector_size_ / 4;
        const std::uint64_t index = s / per_fat_sector;
        if (index >= kHeaderFatSectors) return std::nullopt;
        const auto fat_sector = le32(d_, std::size_t(76 + 4 * index));
        if (!fat_sector || !inside(sector_start(*fat_sector), sector_size_)) return std::nullopt;
        return load_le32(d_.data() + sector_start(*fat_sector) + (s % per_fat_sector) * 4);
    }

    // chain_[k] is the directory sector reached after k steps. A loop in the
    // FAT cannot make it grow past the number of sectors the data holds.
    void walk_directory_chain() {
        const auto first = le32(d_, 48);
        if (!first) return;
        std::uint32_t sector = *first;
        chain_.push_back(sector);
        while (chain_.size() <= whole_sectors_ && sector != kNone) {
            const auto next = next_sector(sector);
            if (!next) break;
            sector = *next;
            chain_.push_back(sector);
        }
    }

    Bytes d_;
    std::uint64_t sector_size_;
    std::uint64_t whole_sectors_;
    std::vector<std::uint32_t> chain_;
};

// The root's children in the order the tree walk meets them (child, then the
// right and then the left sibling subtrees, depth first); nothing when an
// entry is missing or the links loop. The walk keeps its own stack: its depth
// is the input's to choose.
std::optional<std::vector<std::uint32_t>> root_children(const Compound& file) {
    struct Visit {
        std::uint32_t entry;
        std::uint32_t parent;  // kNone: the top level, where the root lives
    };
    std::vector<std::uint32_t> children;
    std::unordered_set<std::uint32_t> visited;
    std::vector<Visit> stack{{0, kNone}};
    while (!stack.empty()) {
        const Visit v = stack.back();
        stack.pop_back();
        if (!visited.insert(v.entry).second) return std::nullopt;
        const auto e = file.entry(v.entry);
        if (!e) return std::nullopt;
        if (v.parent == 0) children.push_back(v.entry);
        const std::uint32_t left = load_le32(e->data() + 68);
        const std::uint32_t right = load_le32(e->data() + 72);
        const std::uint32_t child = load_le32(e->data() + 76);
        // Pushed in reverse of the order they are walked.
        if (left != kNone) stack.push_back({left, v.parent});
        if (right != kNone) stack.push_back({right, v.parent});
        if (child != kNone) stack.push_back({child, v.entry});
    }
    return children;
}

// The entry's name with each UTF-16 unit narrowed to its low byte, up to the
// first zero. The length field counts bytes but is used as a unit count,
// which reaches at most 64 units (the whole 128-byte entry).
std::string narrow_name(Bytes entry) {
    const std::size_t units = std::min<std::size_t>(load_le16(entry.data() + 64), 64);
    std::string name;
    for (std::size_t u = 0; u < units; ++u) {
        const std::uint8_t c = entry[2 * u];
        if (c == 0) break;
        name.push_back(char(c));
    }
    return name;
}

}  // namespace

TypeTag ole_kind(Bytes data) {
    const auto shift = le16(data, 30);
    if (!shift) return "BAD";
    const std::uint64_t sector_size = std::uint64_t(1) << (*shift & 31);
    if (sector_size < kMinSectorSize) return "BAD";

    const Compound file(data, sector_size);
    const auto children = root_children(file);
    if (!children) return "BAD";

    const auto root = file.entry(0);
    if (!root) return "BAD";
    if (matches(*root, 80, kInstallerClass1) || matches(*root, 80, kInstallerClass2)) return "MSI";

    for (std::uint32_t i : *children) {
        const auto e = file.entry(i);
        if (!e) return "BAD";
        const std::string name = narrow_name(*e);
        for (const auto& k : kStreamKinds)
            if (same_name(k.name, name)) return k.kind;
    }
    return "OLE";
}

}  // namespace lk
