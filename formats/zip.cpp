// ZIP packages: Office Open XML (DOCX, XLSX, PPTX), OpenDocument (ODT, ODS,
// ODP, ODG) and plain archives. A package ends with its end-of-central-
// directory record; what wrote it is told by its entries.
//
// Local file header (at the archive's start):
//   offset | size | meaning (little-endian)
//   0      | 4    | 50 4B 03 04
//   4      | 2    | version needed
//   8      | 2    | method: 0 stored, 8 deflated
//   18     | 4    | compressed size
//   26     | 2    | name length
//   28     | 2    | extra field length
//   30     | ...  | name, extra field, data
// End of central directory record (at e):
//   0      | 4    | 50 4B 05 06
//   10     | 2    | entries in the directory
//   12     | 4    | directory size
//   16     | 4    | directory offset, from the archive's start
//   20     | 2    | comment length; the comment follows
// Zip64 (Info-ZIP writing to a pipe, archives past 4 GiB or 65,535 entries):
// a locator 50 4B 06 07 just before the record, holding at 8 the offset Z of
// the Zip64 record 50 4B 06 06: its size at 4 (after the first 12 bytes),
// entry count at 32, directory size at 40 and offset at 48 (8 bytes each).
// Central directory entry: 50 4B 01 02; name length at 28, extra length at
// 30, comment length at 32, name at 46.
#include <cstring>
#include <optional>
#include <string_view>

#include "formats/extent.hpp"
#include "formats/office.hpp"

namespace lk {
namespace {

using namespace std::string_view_literals;

constexpr std::size_t kLocalHeader = 30;
constexpr std::size_t kEndRecord = 22;
constexpr std::size_t kDirectoryEntry = 46;

struct EndRecord {
    std::uint64_t end;  // past the record and its comment
    std::uint64_t directory;
    std::uint64_t directory_size;
    std::uint64_t entries;
};

// The Zip64 record's directory fields when the locator before the end record
// at e leads to a record that ends at the locator.
std::optional<EndRecord> zip64_fields(Bytes d, std::uint64_t e) {
    if (e < 20 || !matches(d, e - 20, "PK\x06\x07")) return std::nullopt;
    const std::uint64_t z = load_le64(d.data() + e - 12);
    if (!has(d, z, 56) || !matches(d, z, "PK\x06\x06")) return std::nullopt;
    const std::uint64_t record = load_le64(d.data() + z + 4);
    if (record > e - 20 || z + 12 != e - 20 - record) return std::nullopt;
    return EndRecord{0, load_le64(d.data() + z + 48), load_le64(d.data() + z + 40),
                     load_le64(d.data() + z + 32)};
}

// The first end record from offset 30 on whose directory lies just before it
// (or before its Zip64 record) and starts with a directory entry. An archive
// stored inside another fails this at its own record: its directory offset
// counts from the inner archive's start.
std::optional<EndRecord> find_end_record(Bytes d) {
    if (d.size() < kLocalHeader + kEndRecord) return std::nullopt;
    const std::uint64_t last = d.size() - kEndRecord;
    for (std::uint64_t e = kLocalHeader; e <= last; ++e) {
        const void* hit = std::memchr(d.data() + e, 'P', std::size_t(last + 1 - e));
        if (!hit) break;
        e = std::uint64_t(static_cast<const std::uint8_t*>(hit) - d.data());
        if (!matches(d, e, "PK\x05\x06")) continue;
        EndRecord r{};
        std::uint64_t directory_end = e;
        if (auto wide = zip64_fields(d, e)) {
            r = *wide;
            directory_end = load_le64(d.data() + e - 12);
        } else {
            r.entries = load_le16(d.data() + e + 10);
            r.directory_size = load_le32(d.data() + e + 12);
            r.directory = load_le32(d.data() + e + 16);
        }
        if (r.directory > directory_end || r.directory_size != directory_end - r.directory)
            continue;
        if (!matches(d, r.directory, "PK\x01\x02")) continue;
        r.end = e + kEndRecord + load_le16(d.data() + e + 20);
        return r;
    }
    return std::nullopt;
}

// Main parts by which Office packages are told apart.
struct PartKind {
    std::string_view name;
    TypeTag kind;
};
constexpr PartKind kOfficeParts[] = {
    {"word/document.xml", "DOC"},
    {"xl/workbook.xml", "XLS"},
    {"ppt/presentation.xml", "PPT"},
};

struct MimeKind {
    std::string_view suffix;
    TypeTag kind;
};
constexpr std::string_view kOpenDocument = "application/vnd.oasis.opendocument.";
constexpr MimeKind kOpenDocumentKinds[] = {
    {"text", "ODT"},
    {"spreadsheet", "ODS"},
    {"presentation", "ODP"},
    {"graphics", "ODG"},
};

// OpenDocument packages store their media type first and uncompressed, so
// that it can be read at a fixed place.
TypeTag open_document_kind(Bytes d) {
    if (!has(d, 0, kLocalHeader) || load_le16(d.data() + 8) != 0) return {};
    const std::uint64_t name_length = load_le16(d.data() + 26);
    if (name_length != 8 || !matches(d, kLocalHeader, "mimetype")) return {};
    const std::uint64_t at = kLocalHeader + name_length + load_le16(d.data() + 28);
    const std::uint64_t length = load_le32(d.data() + 18);
    if (!has(d, at, length)) return {};
    const std::string_view type(reinterpret_cast<const char*>(d.data() + at), std::size_t(length));
    if (!type.starts_with(kOpenDocument)) return {};
    for (const auto& k : kOpenDocumentKinds)
        if (type.substr(kOpenDocument.size()).starts_with(k.suffix)) return k.kind;
    return {};
}

TypeTag office_kind(Bytes d, const EndRecord& r) {
    std::uint64_t p = r.directory;
    const std::uint64_t end = r.directory + r.directory_size;
    for (std::uint64_t i = 0; i < r.entries && p + kDirectoryEntry <= end; ++i) {
        if (!matches(d, p, "PK\x01\x02")) break;
        const std::uint64_t name_length = load_le16(d.data() + p + 28);
        const std::uint64_t next = p + kDirectoryEntry + name_length +
                                   load_le16(d.data() + p + 30) + load_le16(d.data() + p + 32);
        if (next > end) break;
        const std::string_view name(reinterpret_cast<const char*>(d.data() + p + kDirectoryEntry),
                                    std::size_t(name_length));
        for (const auto& k : kOfficeParts)
            if (name == k.name) return k.kind;
        p = next;
    }
    return {};
}

}  // namespace

bool is_zip_header(Bytes d) {
    if (!matches(d, 0, "PK\x03\x04") || !has(d, 0, kLocalHeader)) return false;
    if (d[4] > 63) return false;
    const std::uint16_t method = load_le16(d.data() + 8);
    if (method != 0 && method != 8) return false;
    const std::size_t name_length = load_le16(d.data() + 26);
    if (name_length < 1 || name_length > 1024) return false;
    const std::size_t present = std::min(name_length, d.size() - kLocalHeader);
    for (std::size_t i = 0; i < present; ++i)
        if (d[kLocalHeader + i] < 0x20) return false;
    return true;
}

std::int32_t zip_extent(Bytes d) {
    if (!is_zip_header(d)) return -1;
    const auto r = find_end_record(d);
    return r ? extent_at(r->end, d.size()) : 0;
}

TypeTag zip_kind(Bytes d) {
    if (TypeTag kind = open_document_kind(d); !kind.empty()) return kind;
    if (const auto r = find_end_record(d); r && r->end <= d.size())
        if (TypeTag kind = office_kind(d, *r); !kind.empty()) return kind;
    return "ZIP";
}

}  // namespace lk
