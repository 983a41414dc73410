// File type identification: the ordered header table, the extension classes,
// the size limits and the content-extent dispatcher.
//
// identify_header runs at every 512-byte offset of every unclaimed cluster of
// a card, so it is a straight sequence of fixed-offset comparisons that never
// allocates; only the PDF test searches, and it jumps from '%' to '%' with
// memchr instead of comparing a pattern at every byte.
#include "formats/identify.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/byte_scan.hpp"
#include "formats/containers.hpp"
#include "formats/jpeg.hpp"
#include "formats/office.hpp"
#include "formats/pictures.hpp"
#include "formats/signatures.hpp"
#include "formats/sound.hpp"
#include "formats/tiff.hpp"

namespace lk {
namespace {

using namespace std::string_view_literals;

// A byte-exact constant: string literals with embedded zero bytes keep them.
template <std::size_t N>
constexpr std::string_view bytes_of(const char (&s)[N]) {
    return {s, N - 1};
}

bool byte_is(Bytes d, std::size_t off, std::uint8_t v) {
    return off < d.size() && d[off] == v;
}

// Tests 2..24 of the header table, each a few fixed-offset comparisons.

bool is_bmp_header(Bytes d) {
    if (!matches(d, 0, "BM"sv)) return false;
    auto file_size = le32(d, 2);
    auto reserved = le32(d, 6);
    auto pixel_offset = le32(d, 10);
    auto header_size = le32(d, 14);
    auto width = le32(d, 18);
    auto height = le32(d, 22);
    if (!file_size || !reserved || !pixel_offset || !header_size || !width || !height) return false;
    return *file_size < 40'960'000 && *reserved == 0 && *pixel_offset >= 54 &&
           *pixel_offset < *file_size && *header_size >= 12 && *header_size <= 256 && *width >= 1 &&
           *width <= 10'000 && *height >= 1 && *height <= 10'000;
}

// MPEG-1 pack header followed at byte 12 by a 12-byte system header.
constexpr std::array<std::uint8_t, 24> kMpegPattern = {
    0x00, 0x00, 0x01, 0xBA, 0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x00, 0x01,
    0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x80, 0x00, 0x01, 0x00, 0x20, 0xFF};
constexpr std::array<std::uint8_t, 24> kMpegMask = {0xFF, 0xFF, 0xFF, 0xFF, 0xF1, 0x00, 0x01, 0x00,
                                                    0x01, 0x80, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                                    0xFF, 0xFF, 0x80, 0x00, 0x01, 0x00, 0x20, 0xFF};

constexpr std::uint32_t tag32(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) | std::uint32_t(std::uint8_t(s[1])) << 8 |
           std::uint32_t(std::uint8_t(s[2])) << 16 | std::uint32_t(std::uint8_t(s[3])) << 24;
}

bool is_mov_header(Bytes d) {
    if (!has(d, 4, 4)) return false;
    // Tested at every sector of a card: one load, not five string compares.
    const std::uint32_t type = load_le32(d.data() + 4);
    return type == tag32("ftyp") || type == tag32("mdat") || type == tag32("moov") || type == tag32("pnot") ||
           type == tag32("skip");
}

// '#' stands for one decimal digit; every other character matches itself.
bool matches_pdf_pattern(const std::uint8_t* p, std::string_view pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '#') {
            if (p[i] < '0' || p[i] > '9') return false;
        } else if (p[i] != static_cast<std::uint8_t>(pattern[i])) {
            return false;
        }
    }
    return true;
}

// The first bytes of the headers tested at offset 0 (RAW, OLE2, RTF, PNG,
// MP3, BMP, JPEG, GIF, RIFF, DSS, ASF, MPEG, TIFF, CRW, MRW, RAF, X3F, RDC, PSD).
constexpr std::array<bool, 256> kLeadBytes = [] {
    std::array<bool, 256> t{};
    constexpr std::uint8_t leads[] = {'M', 0xD0, '{', 0x89, 'I', 'B', 0xFF, 'G', 'R', 0x02, 0x30, 0x00, 'F', 'D', '8'};
    for (std::uint8_t c : leads) t[c] = true;
    return t;
}();

// ASCII-only upper-casing: tags are ASCII, and the compound marker's bytes
// must not be folded by a locale.
char upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

bool equals_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

template <std::size_t N>
bool in_class(TypeTag tag, const std::array<std::string_view, N>& members) {
    for (auto m : members)
        if (equals_nocase(tag, m)) return true;
    return false;
}

constexpr std::array<std::string_view, 12> kDocumentExts = {
    "DOC", "RTF", "XLS", "PPT", "PDF", "TAX", "TXT", "VSD", "ODT", "ODS", "ODP", "ODG"};
constexpr std::array<std::string_view, 21> kRawExts = {
    "3FR", "ARW", "BMQ", "BAY", "CR2", "CR3", "CRW", "DCR", "DNG", "FFF", "KDC",
    "MRW", "NEF", "ORF", "PEF", "RAF", "RAW", "RDC", "RW2", "SRF", "X3F"};
constexpr std::array<std::string_view, 3> kJpegExts = {"JPG", "JXX", "JPEG"};
constexpr std::array<std::string_view, 5> kOtherPictureExts = {"PNG", "TIF", "PSD", "HEI", "AVF"};
constexpr std::array<std::string_view, 5> kIconicExts = {"MPG", "AVI", "WAV", "PDF", "MP3"};
constexpr std::array<std::string_view, 8> kMovieExts = {"3GP", "3G2", "ASF", "AVI",
                                                        "MOV", "MP4", "MPG", "MTS"};
constexpr std::array<std::string_view, 4> kSoundExts = {"MP3", "WAV", "OGG", "FLA"};
// Types whose end is computed from their content (the compound marker is
// compared separately, as its bytes).
constexpr std::array<std::string_view, 20> kContentSizedExts = {
    "JPG", "CRW", "X3F", "AVI", "MPG", "PDF", "WAV", "RTF", "PNG", "MP3",
    "BMP", "GIF", "TIF", "PSD", "HEI", "AVF", "CR3", "ZIP", "OGG", "FLA"};

}  // namespace

bool is_jpeg_header(Bytes d) {
    if (!has(d, 0, 4) || d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF) return false;
    if (d[3] == 0xE1) return true;  // APP1 (EXIF or XMP): accepted as it is
    if (d[3] != 0xE0) return false;
    // APP0 must name itself JFIF or JFXX, zero-terminated at byte 10.
    return matches(d, 6, bytes_of("JFIF\0")) || matches(d, 6, bytes_of("JFXX\0"));
}

bool is_mpeg_header(Bytes d) {
    if (!has(d, 0, kMpegPattern.size())) return false;
    for (std::size_t i = 0; i < kMpegPattern.size(); ++i)
        if ((d[i] & kMpegMask[i]) != kMpegPattern[i]) return false;
    return true;
}

constexpr std::string_view kPdf = "%PDF-#.#";
constexpr std::string_view kPostScriptPdf = "%!PS-Adobe-#.# PDF-#.#";

std::size_t pdf_and_marker_positions(Bytes d, std::vector<std::pair<std::uint32_t, std::uint32_t>>& out,
                                     std::vector<std::uint32_t>& leads, std::uint32_t* marks,
                                     std::size_t max_marks) {
    out.clear();
    // Both patterns begin "%P" or "%!".
    const std::size_t found =
        find_pairs(d.data(), d.size(), {'%', 'P', '!'}, leads, kJpegMarkerStop, marks, max_marks);
    const std::uint8_t* base = d.data();
    for (const std::uint32_t j : leads) {
        if (j + kPdf.size() > d.size()) break;
        if (matches_pdf_pattern(base + j, kPdf))
            out.emplace_back(j, static_cast<std::uint32_t>(kPdf.size()));
        else if (j + kPostScriptPdf.size() <= d.size() && matches_pdf_pattern(base + j, kPostScriptPdf))
            out.emplace_back(j, static_cast<std::uint32_t>(kPostScriptPdf.size()));
    }
    return found;
}

bool pdf_hint_at(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& positions, std::size_t start,
                 std::size_t size) {
    // The same window as is_pdf_header: a pattern of length n counts when it
    // starts at j < min(size, 1024) - n from start.
    const std::size_t limit = std::min<std::size_t>(size, 1024);
    for (const auto& [at, n] : positions) {
        if (at < start) continue;
        if (at - start >= limit) break;
        if (n < limit && at - start < limit - n) return true;
    }
    return false;
}

bool is_pdf_header(Bytes d) {
    const std::size_t limit = std::min<std::size_t>(d.size(), 1024);
    // A pattern may start at j only when j < limit - n; the shorter pattern
    // bounds every possible start.
    if (limit <= kPdf.size()) return false;
    const std::size_t last_start = limit - kPdf.size();  // exclusive
    const std::uint8_t* base = d.data();
    std::size_t j = 0;
    while (j < last_start) {
        const void* hit = std::memchr(base + j, '%', last_start - j);
        if (!hit) return false;
        j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (matches_pdf_pattern(base + j, kPdf)) return true;
        if (limit > kPostScriptPdf.size() && j < limit - kPostScriptPdf.size() &&
            matches_pdf_pattern(base + j, kPostScriptPdf))
            return true;
        ++j;
    }
    return false;
}

bool is_crw_header(Bytes d) {
    return matches(d, 0, bytes_of("II\x1A\0\0\0")) || matches(d, 0, bytes_of("MM\0\0\0\x1A"));
}

bool is_x3f_header(Bytes d) {
    return matches(d, 0, bytes_of("FOVb\x01\0\x02\0"));
}

bool is_tiff_header(Bytes d, std::uint64_t max_dir_offset) {
    if (!has(d, 0, 8) || d[0] != d[1] || (d[0] != 'I' && d[0] != 'M')) return false;
    const bool big = d[0] == 'M';
    const std::uint16_t magic = big ? load_be16(d.data() + 2) : load_le16(d.data() + 2);
    if (magic != 42 && magic != 85 && magic != 0x4F52 && magic != 0x5352) return false;
    const std::uint32_t first_dir = big ? load_be32(d.data() + 4) : load_le32(d.data() + 4);
    return first_dir > 7 && first_dir < max_dir_offset;
}

namespace {

// The built-in header tests, in the order identify_header applies them. The
// tests appended after MTS (ZIP to text) only see buffers every earlier test
// refused, so they cannot change an earlier answer.
enum class Test : std::uint8_t {
    None,
    Raw,
    Compound,
    Rtf,
    Png,
    Id3,
    Bmp,
    Jpeg,
    Gif,
    Avi,
    Wav,
    AnyRiff,
    Dss,
    QuickTime,
    Asf,
    Mpeg,
    Tiff,
    Crw,
    Mrw,
    Raf,
    X3f,
    Rdc,
    Pdf,
    Psd,
    Mts,
    Zip,
    Ogg,
    Flac,
    WideGif,
    WideDss,
    Text
};

// The first leading bytes of the appended tests: "PK", "OggS", "fLaC", "GIF8".
constexpr std::array<bool, 256> kAppendedLeads = [] {
    std::array<bool, 256> t{};
    for (std::uint8_t c : {std::uint8_t('P'), std::uint8_t('O'), std::uint8_t('f'),
                           std::uint8_t('G'), std::uint8_t(0x02), std::uint8_t(0x03)})
        t[c] = true;
    return t;
}();

// "02 or 03, then dss": DSS and DS2 recorders, whatever the version bytes say.
bool is_wide_dss_header(Bytes d) {
    return (byte_is(d, 0, 2) || byte_is(d, 0, 3)) && matches(d, 1, "dss"sv);
}

Test appended_test(Bytes d) {
    if (kAppendedLeads[d[0]]) {
        if (is_zip_header(d)) return Test::Zip;
        if (is_ogg_header(d)) return Test::Ogg;
        if (is_flac_header(d)) return Test::Flac;
        if (is_wide_gif_header(d)) return Test::WideGif;
        if (is_wide_dss_header(d)) return Test::WideDss;
    }
    if (is_text_header(d)) return Test::Text;
    return Test::None;
}

// The first built-in test that d passes. With any_riff, "RIFF" of any form
// type takes the place of the AVI and WAV tests (the extent dispatch sizes
// every RIFF).
Test first_test(Bytes d, PdfHint pdf, bool any_riff) {
    if (d.empty()) return Test::None;
    auto pdf_test = [&] { return pdf == PdfHint::Search ? is_pdf_header(d) : pdf == PdfHint::Present; };
    // Every test at offset 0 up to MTS needs one of a few first bytes; any
    // other first byte (the common case inside pictures) can only start a
    // QuickTime file (bytes 4-7), a PDF (searched), a transport stream (bytes
    // 4, 215-218) or one of the appended types.
    if (!kLeadBytes[d[0]]) {
        if (is_mov_header(d)) return Test::QuickTime;
        if (pdf_test()) return Test::Pdf;
        if (byte_is(d, 4, 0x47) && matches(d, 215, "HDMV"sv)) return Test::Mts;
        return appended_test(d);
    }
    if (matches(d, 0, "MMMMRawT"sv)) return Test::Raw;
    if (matches(d, 0, bytes_of("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"))) return Test::Compound;
    if (matches(d, 0, "{\\rtf1\\"sv)) return Test::Rtf;
    if (matches(d, 0, bytes_of("\x89PNG\r\n\x1A\n"))) return Test::Png;
    if (matches(d, 0, "ID3"sv) && (byte_is(d, 3, 3) || byte_is(d, 3, 4)) && byte_is(d, 4, 0))
        return Test::Id3;
    if (is_bmp_header(d)) return Test::Bmp;
    if (is_jpeg_header(d)) return Test::Jpeg;
    // The seventh byte, '+', is part of the test; other GIF headers are left
    // to the wide test appended at the end.
    if (matches(d, 0, "GIF89a+"sv)) return Test::Gif;
    if (matches(d, 0, "RIFF"sv)) {
        if (any_riff) return Test::AnyRiff;
        if (matches(d, 8, "AVI LIST"sv)) return Test::Avi;
        if (matches(d, 8, "WAVE"sv)) return Test::Wav;
    }
    if (matches(d, 0, bytes_of("\x02\x64ss\x01\0\x01\0\x02\0\0\0DS-1"))) return Test::Dss;
    if (is_mov_header(d)) return Test::QuickTime;
    if (matches(d, 0, bytes_of("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C")))
        return Test::Asf;
    if (is_mpeg_header(d)) return Test::Mpeg;
    if (is_tiff_header(d)) return Test::Tiff;
    if (is_crw_header(d)) return Test::Crw;
    if (matches(d, 0, bytes_of("\0MRM\0"))) return Test::Mrw;
    if (matches(d, 0, "FUJIFILMCCD-RAW "sv)) return Test::Raf;
    if (is_x3f_header(d)) return Test::X3f;
    if (matches(d, 0, "DSC-Image <C> by Rollei Fototechnic, Braunschweig"sv)) return Test::Rdc;
    if (pdf_test()) return Test::Pdf;
    // "8BPS", version 1, six reserved zero bytes, high byte of the channel count.
    if (matches(d, 0, bytes_of("8BPS\0\x01\0\0\0\0\0\0\0"))) return Test::Psd;
    if (byte_is(d, 4, 0x47) && matches(d, 215, "HDMV"sv)) return Test::Mts;
    return appended_test(d);
}

}  // namespace

TypeTag identify_header(Bytes d, const SignatureTable* signatures, PdfHint pdf) {
    if (signatures && !signatures->empty()) {
        if (TypeTag user = signatures->match_signature(d); !user.empty()) return user;
    }
    switch (first_test(d, pdf, false)) {
        case Test::None:
            return {};
        case Test::Raw:
            return "RAW";
        case Test::Compound:
            return kCompoundMarker;
        case Test::Rtf:
            return "RTF";
        case Test::Png:
            return "PNG";
        case Test::Id3:
            return "MP3";
        case Test::Bmp:
            return "BMP";
        case Test::Jpeg:
            return "JPG";
        case Test::Gif:
        case Test::WideGif:
            return "GIF";
        case Test::Avi:
            return "AVI";
        case Test::Wav:
            return "WAV";
        case Test::AnyRiff:
            return {};  // not asked for here
        case Test::Dss:
        case Test::WideDss:
            return "DSS";
        case Test::QuickTime:
            return "MOV";
        case Test::Asf:
            return "ASF";
        case Test::Mpeg:
            return "MPG";
        case Test::Tiff:
            return "TIF";
        case Test::Crw:
            return "CRW";
        case Test::Mrw:
            return "MRW";
        case Test::Raf:
            return "RAF";
        case Test::X3f:
            return "X3F";
        case Test::Rdc:
            return "RDC";
        case Test::Pdf:
            return "PDF";
        case Test::Psd:
            return "PSD";
        case Test::Mts:
            return "MTS";
        case Test::Zip:
            return "ZIP";
        case Test::Ogg:
            return "OGG";
        case Test::Flac:
            return "FLA";
        case Test::Text:
            return "TXT";
    }
    return {};
}

bool is_document_ext(TypeTag tag) {
    return tag == kCompoundMarker || in_class(tag, kDocumentExts);
}
bool is_raw_ext(TypeTag tag) {
    return in_class(tag, kRawExts);
}
bool is_jpeg_ext(TypeTag tag) {
    return in_class(tag, kJpegExts);
}
bool is_picture_ext(TypeTag tag) {
    return is_raw_ext(tag) || is_jpeg_ext(tag) || in_class(tag, kOtherPictureExts);
}
bool is_iconic_ext(TypeTag tag) {
    return in_class(tag, kIconicExts);
}
bool is_movie_ext(TypeTag tag) {
    return in_class(tag, kMovieExts);
}
bool is_sound_ext(TypeTag tag) {
    return in_class(tag, kSoundExts);
}
bool is_content_sized_ext(TypeTag tag) {
    if (tag == kCompoundMarker) return true;
    for (auto m : kContentSizedExts)
        if (tag == m) return true;
    return false;
}

std::uint64_t max_file_size(TypeTag tag, std::uint64_t movie_limit) {
    // A one-hour MP3 or WAV is far above the picture limit. ZIP packages
    // (office documents before zip_kind names them) are measured exactly by
    // their central directory, and presentations with pictures run to tens
    // of megabytes: they get the document limit too.
    if (is_movie_ext(tag) || is_document_ext(tag) || is_sound_ext(tag) || equals_nocase(tag, "ZIP"))
        return movie_limit;
    if (equals_nocase(tag, "TIF") || equals_nocase(tag, "RAF") || equals_nocase(tag, "CR3"))
        return 102'400'000;
    return 21'504'000;
}

std::uint64_t uniform_stop_size(TypeTag tag, std::uint64_t movie_limit) {
    if (tag == "X3F" || tag == "TIF") return 4'096'000;
    if (tag == "CRW") return 1'024'000;
    if (is_movie_ext(tag)) return max_file_size(tag, movie_limit);
    return 102'400;
}

std::array<char, 3> extension_field(TypeTag tag) {
    std::array<char, 3> field = {' ', ' ', ' '};
    for (std::size_t i = 0; i < field.size() && i < tag.size(); ++i) {
        const auto c = static_cast<unsigned char>(tag[i]);
        // Characters a short name cannot hold become '_'.
        const bool invalid =
            c < 0x20 || c == 0x7F || std::strchr("\"*+,./:;<=>?[\\]|", c) != nullptr;
        field[i] = invalid ? '_' : upper(static_cast<char>(c));
    }
    return field;
}

bool is_measured_as_jpeg(Bytes head) {
    return first_test(head, PdfHint::Search, true) == Test::Jpeg;
}

std::int32_t content_extent(Bytes data) {
    if (data.empty()) return 0;
    switch (first_test(data, PdfHint::Search, true)) {
        case Test::Compound:
            return ole2_extent(data);
        case Test::Rtf:
            return rtf_extent(data);
        case Test::Png:
            return png_extent(data);
        case Test::Id3:
            return mp3_extent(data);
        case Test::Bmp:
            return bmp_extent(data);
        case Test::Jpeg:
            return jpeg_extent(data);
        case Test::Gif:
        case Test::WideGif:
            return gif_extent(data);
        case Test::Avi:
        case Test::Wav:
        case Test::AnyRiff:
            return riff_extent(data);
        case Test::QuickTime:
            return isobmff_image_extent(data);
        case Test::Mpeg:
            return mpeg_extent(data);
        case Test::Tiff:
            return tiff_extent(data);
        case Test::Crw:
            return crw_extent(data);
        case Test::X3f:
            return x3f_extent(data);
        case Test::Pdf:
            return pdf_extent(data);
        case Test::Psd:
            return psd_extent(data);
        case Test::Zip:
            return zip_extent(data);
        case Test::Ogg:
            return ogg_extent(data);
        case Test::Flac:
            return flac_extent(data);
        // Types whose end cannot be read from their content.
        case Test::None:
        case Test::Raw:
        case Test::Dss:
        case Test::Asf:
        case Test::Mrw:
        case Test::Raf:
        case Test::Rdc:
        case Test::Mts:
        case Test::WideDss:
        case Test::Text:
            return -1;
    }
    return -1;
}

}  // namespace lk
