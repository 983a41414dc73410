// End rules of office documents: compound files, RTF, ZIP packages (with the
// application that wrote them) and plain text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "formats/identify.hpp"
#include "formats/office.hpp"
#include "tests/support/testdata.hpp"
#include "tests/support/tool_files.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

Buffer bytes_of(std::string_view s) {
    return Buffer(s.begin(), s.end());
}

Buffer with_zeros(Buffer b, std::size_t n) {
    b.resize(b.size() + n, 0);
    return b;
}

TEST(CompoundExtent, SampleFilesEndWithTheirLastSectorInUse) {
    LK_REQUIRE_TESTDATA();
    // Word, Excel 5 and 8, PowerPoint, Visio, and installers with 4,096-byte
    // sectors and with 44 FAT sectors.
    const char* files[] = {
        "word97_sample.doc",
        "excel_biff5_book.xls",
        "excel_biff8_workbook.xls",
        "powerpoint_sample.ppt",
        "visio_sample.vsd",
        "msi_installer_sample.msi",
        "extra/word_sample.doc",
        "extra/excel_biff5_book.xls",
        "extra/excel_biff8_workbook.xls",
        "extra/powerpoint_sample.ppt",
        "extra/visio_sample.vsd",
        "extra/msi_installer_putty.msi",
    };
    for (const char* f : files) {
        SCOPED_TRACE(f);
        const Buffer data = test::read_file(test::testdata(f));
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(ole2_extent(data), std::int32_t(data.size()));
        EXPECT_EQ(ole2_extent(with_zeros(data, 4096)), std::int32_t(data.size()));
        EXPECT_EQ(ole2_extent(Bytes(data).first(data.size() / 2)), 0);
        EXPECT_EQ(content_extent(data), std::int32_t(data.size()))
            << "dispatch by the compound header";
    }
}

TEST(CompoundExtent, HeaderFieldsOutsideTheTwoLayoutsAreRefused) {
    LK_REQUIRE_TESTDATA();
    const Buffer doc = test::read_file(test::testdata("word97_sample.doc"));
    ASSERT_GE(doc.size(), 512u);
    struct Case {
        const char* what;
        std::size_t offset;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"sector shift 12 with version 3", 30, {12, 0}},
        {"version 4 with sector shift 9", 26, {4, 0}},
        {"byte order FF FE", 28, {0xFF, 0xFE}},
        {"mini sector shift 7", 32, {7, 0}},
        {"no FAT sectors", 44, {0, 0, 0, 0}},
        {"a FAT sector number that is a mark", 76, {0xFE, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case& c : cases) {
        Buffer b = doc;
        std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + std::ptrdiff_t(c.offset));
        EXPECT_EQ(ole2_extent(b), -1) << c.what;
    }
    EXPECT_EQ(ole2_extent(Bytes(doc).first(511)), 0) << "header cut";
}

// A compound file with 110 FAT sectors: the last one is listed in a DIFAT
// sector, and the file's last sector in use is counted in it.
struct DifatFile {
    static constexpr std::uint32_t kSector = 512, kFatSectors = 110, kDifat = kFatSectors;
    static constexpr std::uint32_t kLast = 109 * 128 + 40;  // counted in the 110th FAT sector
    Buffer b = Buffer((kLast + 2) * kSector, 0);

    DifatFile() {
        const std::uint8_t magic[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::memcpy(b.data(), magic, 8);
        store_le16(b.data() + 26, 3);
        store_le16(b.data() + 28, 0xFFFE);
        store_le16(b.data() + 30, 9);
        store_le16(b.data() + 32, 6);
        store_le32(b.data() + 44, kFatSectors);
        store_le32(b.data() + 68, kDifat);
        store_le32(b.data() + 72, 1);
        // FAT sectors 0..109 are sectors 0..109; all entries free at first.
        for (std::uint32_t k = 0; k < 109; ++k) store_le32(b.data() + 76 + 4 * k, k);
        std::memset(b.data() + kSector, 0xFF, kFatSectors * kSector);
        std::uint8_t* difat = sector(kDifat);
        std::memset(difat, 0xFF, kSector);
        store_le32(difat, 109);                       // the 110th FAT sector
        store_le32(difat + kSector - 4, 0xFFFFFFFE);  // end of the DIFAT chain
        for (std::uint32_t k = 0; k < kFatSectors; ++k) fat(k, 0xFFFFFFFD);
        fat(kDifat, 0xFFFFFFFC);
        for (std::uint32_t s = kDifat + 1; s < kLast; ++s) fat(s, s + 1);  // one long stream
        fat(kLast, 0xFFFFFFFE);
    }
    std::uint8_t* sector(std::uint32_t n) { return b.data() + (std::size_t(n) + 1) * kSector; }
    void fat(std::uint32_t s, std::uint32_t v) { store_le32(sector(s / 128) + 4 * (s % 128), v); }
};

TEST(CompoundExtent, FatSectorsBeyond109AreFoundThroughTheDifat) {
    DifatFile f;
    EXPECT_EQ(ole2_extent(f.b), std::int32_t(f.b.size()));
    EXPECT_EQ(ole2_extent(with_zeros(f.b, 4096)), std::int32_t(f.b.size()));

    DifatFile loop;  // a DIFAT chain that comes back to itself before the list is full
    store_le32(loop.b.data() + 44, 300);
    store_le32(loop.b.data() + 72, 5);
    store_le32(loop.sector(DifatFile::kDifat) + DifatFile::kSector - 4, DifatFile::kDifat);
    EXPECT_EQ(ole2_extent(loop.b), -1);

    DifatFile short_chain;  // ends before the list is full
    store_le32(short_chain.b.data() + 44, 111);
    EXPECT_EQ(ole2_extent(short_chain.b), -1);

    DifatFile outside;  // the DIFAT sector lies past the data
    store_le32(outside.b.data() + 68, 0x00FFFFFF);
    EXPECT_EQ(ole2_extent(outside.b), 0);
}

TEST(RtfExtent, EndsWithTheBraceThatClosesTheDocument) {
    struct Case {
        const char* what;
        std::string_view text;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"CR LF after the brace, then zeros", "{\\rtf1\\ansi hello}\r\n\0\0\0\0"sv, 20},
        {"LF only", "{\\rtf1\\ansi hello}\n}\0"sv, 19},
        {"three line ends: two are taken", "{\\rtf1\\ansi hello}\n\n\n"sv, 20},
        {"nested groups", "{\\rtf1{\\fonttbl{\\f0 Arial;}}{\\b bold}}xyz"sv, 38},
        {"escaped braces are text", "{\\rtf1 a\\}b\\{c\\\\}rest"sv, 17},
        {"binary data holding braces", "{\\rtf1{\\pict\\bin4 {{{{}}tail"sv, 24},
        {"binary data holding a zero", "{\\rtf1\\bin2 \0}}end"sv, 15},
        {"a negative count skips nothing", "{\\rtf1\\bin-5 }"sv, 14},
        {"\\binary is an ordinary word", "{\\rtf1\\binary}"sv, 14},
        {"a zero before the last brace", "{\\rtf1\\ansi hello\0}"sv, 0},
        {"binary data past the end", "{\\rtf1\\bin100 abc}"sv, 0},
        {"not closed", "{\\rtf1{\\b bold}"sv, 0},
        {"not RTF", "{\\pdf1 }"sv, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(rtf_extent(bytes_of(c.text)), c.extent) << c.what;

    LK_REQUIRE_TESTDATA();
    // Word 11 ends with "}}", WordPad with a line feed and "}".
    for (const char* f : {"rtf_sample.rtf", "extra/rtf_sample.rtf"}) {
        const Buffer data = test::read_file(test::testdata(f));
        EXPECT_EQ(rtf_extent(with_zeros(data, 512)), std::int32_t(data.size())) << f;
    }
}

class ZipPackages : public ::testing::TestWithParam<test::ToolFile> {};

// Every package is measured to its end record (and comment), whatever
// trails it; a cut one gives 0; the kind names the application.
TEST_P(ZipPackages, MeasuredToTheEndRecordAndNamedByTheirParts) {
    LK_REQUIRE_TOOL_FILE(GetParam());
    const Buffer file = test::make_tool_file(GetParam());
    const std::int32_t size = std::int32_t(file.size());
    ASSERT_EQ(identify_header(file), "ZIP");
    EXPECT_EQ(zip_extent(file), size);
    EXPECT_EQ(content_extent(file), size);
    Buffer trailing = file;
    for (int i = 0; i < 1024; ++i) trailing.push_back(std::uint8_t(i * 7));
    EXPECT_EQ(zip_extent(trailing), size);
    EXPECT_EQ(zip_extent(Bytes(file).first(file.size() - 1)), 0);
    EXPECT_EQ(zip_extent(Bytes(file).first(file.size() / 2)), 0);
    EXPECT_EQ(zip_kind(file), test::tool_file_info(GetParam()).tag);
    EXPECT_EQ(zip_kind(trailing), test::tool_file_info(GetParam()).tag);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ZipPackages,
    ::testing::Values(test::ToolFile::docx, test::ToolFile::xlsx, test::ToolFile::pptx,
                      test::ToolFile::odt, test::ToolFile::ods, test::ToolFile::odp,
                      test::ToolFile::zip_deflated, test::ToolFile::zip_nested,
                      test::ToolFile::zip_pipe, test::ToolFile::zip64, test::ToolFile::zip_aligned),
    [](const auto& info) { return std::string(test::tool_file_info(info.param).name); });

TEST(ZipKind, AnOpenDocumentMediaTypeMustBeStoredFirst) {
    // A stored "mimetype" entry: 30-byte header, the name, then the type.
    auto local = [](std::uint16_t method, std::string_view name, std::string_view type) {
        Buffer b(30, 0);
        std::memcpy(b.data(), "PK\x03\x04", 4);
        b[4] = 20;
        store_le16(b.data() + 8, method);
        store_le32(b.data() + 18, std::uint32_t(type.size()));
        store_le16(b.data() + 26, std::uint16_t(name.size()));
        b.insert(b.end(), name.begin(), name.end());
        b.insert(b.end(), type.begin(), type.end());
        return b;
    };
    EXPECT_EQ(zip_kind(local(0, "mimetype", "application/vnd.oasis.opendocument.graphics")), "ODG");
    EXPECT_EQ(zip_kind(local(0, "mimetype", "application/vnd.oasis.opendocument.presentation")),
              "ODP");
    EXPECT_EQ(zip_kind(local(8, "mimetype", "application/vnd.oasis.opendocument.text")), "ZIP")
        << "deflated";
    EXPECT_EQ(zip_kind(local(0, "mimetypes", "application/vnd.oasis.opendocument.text")), "ZIP");
    EXPECT_EQ(zip_kind(local(0, "mimetype", "application/epub+zip")), "ZIP");
    EXPECT_EQ(zip_kind(Bytes{}), "ZIP");
}

TEST(TextExtent, TextRunsToItsFirstForeignByte) {
    const std::string line =
        "A line of a note taken on the camera, with numbers 0123456789.\n";  // 64 bytes
    std::string text;
    while (text.size() < 600) text += line;
    text.resize(600);
    struct Case {
        const char* what;
        std::string data;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"600 bytes, then zeros", text + std::string(424, '\0'), 600},
        {"then a byte that is no UTF-8", text + "\x80" + text, 600},
        {"then DEL", text + "\x7F", 600},
        {"then a cut UTF-8 sequence", text + "\xC3" + "x", 600},
        {"UTF-8 throughout",
         "\xEF\xBB\xBF" + text + "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7\n" + '\0', 618},
        {"Windows line ends and tabs",
         std::string(300, 'x') + "\r\n\t" + std::string(300, 'y') + '\0', 603},
        {"all of it text", text, 0},
        {"511 bytes", text.substr(0, 511) + std::string(100, '\0'), -1},
        {"no line feed in 512 bytes", std::string(600, 'a') + "\n", -1},
        {"led by a line feed", "\n" + text, -1},
        {"UTF-16",
         std::string("\xFF\xFE"
                     "a\0b\0",
                     6) +
             text,
         -1},
    };
    for (const Case& c : cases) EXPECT_EQ(text_extent(bytes_of(c.data)), c.extent) << c.what;
}

// The first 32 bytes are looked at together before the bytes are followed
// one by one: a text byte or a whole UTF-8 sequence anywhere among them must
// not turn the text away; any other byte must.
TEST(TextExtent, EveryByteValueInTheFirstThirtyTwoBytes) {
    std::string text;
    while (text.size() < 600) text += "Notes\tand\r\nlines.\n";
    for (std::size_t at : {1, 2, 15, 16, 17, 31, 32, 100}) {
        for (int c = 0; c < 256; ++c) {
            std::string d = text;
            d[at] = static_cast<char>(c);
            const bool alone = c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0x7E);
            EXPECT_EQ(is_text_header(bytes_of(d)), alone) << "byte " << c << " at " << at;
        }
        for (std::string_view sequence : {"\xC3\xA9"sv, "\xE2\x82\xAC"sv, "\xF0\x9F\x93\xB7"sv}) {
            std::string d = text;
            d.replace(at, sequence.size(), sequence);
            EXPECT_TRUE(is_text_header(bytes_of(d))) << sequence.size() << "-byte sequence at " << at;
        }
    }
}

}  // namespace
}  // namespace lk
