#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/office.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;

// A compound file written field by field: header, FAT sectors named in the
// header, directory entries in chosen sectors.
class CompoundBuilder {
  public:
    explicit CompoundBuilder(unsigned shift) : bytes_(512, 0), size_(std::size_t(1) << shift) {
        const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::copy(std::begin(signature), std::end(signature), bytes_.begin());
        store_le16(&bytes_[30], std::uint16_t(shift));
        store_le32(&bytes_[48], kNone);
        for (std::size_t k = 0; k < 109; ++k) store_le32(&bytes_[76 + 4 * k], kNone);
    }

    std::uint8_t* sector(std::uint32_t n) {
        const std::size_t end = (std::size_t(n) + 2) * size_;
        if (bytes_.size() < end) bytes_.resize(end, 0);
        return &bytes_[(std::size_t(n) + 1) * size_];
    }
    // Header FAT slot k names sector n, which starts out all free. (k = 109
    // writes the bytes just past the header's slots, as a 110th would be.)
    void fat_sector(unsigned k, std::uint32_t n) {
        std::fill_n(sector(n), size_, 0xFF);
        store_le32(&bytes_[76 + 4 * k], n);
    }
    void link(std::uint32_t s, std::uint32_t next) {
        const std::uint32_t fat = load_le32(&bytes_[76 + 4 * (s / (size_ / 4))]);
        store_le32(sector(fat) + 4 * (s % (size_ / 4)), next);
    }
    void first_directory_sector(std::uint32_t n) { store_le32(&bytes_[48], n); }
    void entry(std::uint32_t sector_n, unsigned slot, std::string_view name, std::uint32_t left,
               std::uint32_t right, std::uint32_t child) {
        std::uint8_t* e = sector(sector_n) + 128 * slot;
        std::fill_n(e, 128, 0);
        for (std::size_t i = 0; i < name.size(); ++i) e[2 * i] = std::uint8_t(name[i]);
        store_le16(e + 64, std::uint16_t(2 * (name.size() + 1)));
        store_le32(e + 68, left);
        store_le32(e + 72, right);
        store_le32(e + 76, child);
    }
    std::vector<std::uint8_t>& bytes() { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t size_;
};

// 512-byte sectors: FAT in sector 0, directory in sectors 1 and 2. The root
// holds "Contents" and `name` (found through the right sibling link) and a
// storage "ObjectPool"; entry 4, in the second directory sector, lies inside
// ObjectPool and is named `nested`.
std::vector<std::uint8_t> small_document(std::string_view name, std::string_view nested = "Ole") {
    CompoundBuilder b(9);
    b.fat_sector(0, 0);
    b.link(0, kEndOfChain);
    b.first_directory_sector(1);
    b.link(1, 2);
    b.link(2, kEndOfChain);
    b.entry(1, 0, "Root Entry", kNone, kNone, 1);
    b.entry(1, 1, "Contents", kNone, 2, kNone);
    b.entry(1, 2, name, 3, kNone, kNone);
    b.entry(1, 3, "ObjectPool", kNone, kNone, 4);
    b.entry(2, 0, nested, kNone, kNone, kNone);
    return b.bytes();
}

TEST(Ole, RealDocumentsByTheirStreams) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        TypeTag kind;
    };
    const Case cases[] = {
        {"word97_sample.doc", "DOC"},
        {"extra/word_sample.doc", "DOC"},
        {"excel_biff8_workbook.xls", "XLS"},  // "Workbook"
        {"extra/excel_biff8_workbook.xls", "XLS"},
        {"excel_biff5_book.xls", "XLS"},  // "Book"
        {"extra/excel_biff5_book.xls", "XLS"},
        {"powerpoint_sample.ppt", "PPT"},
        {"extra/powerpoint_sample.ppt", "PPT"},
        {"visio_sample.vsd", "VSD"},
        {"extra/visio_sample.vsd", "VSD"},
        {"msi_installer_sample.msi", "MSI"},  // 4,096-byte sectors
        {"extra/msi_installer_putty.msi", "MSI"},
    };
    for (const auto& c : cases) {
        const auto file = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(file.empty()) << c.file;
        EXPECT_EQ(ole_kind(file), c.kind) << c.file;
    }
}

TEST(Ole, KindComesFromTheRootsOwnStreams) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        TypeTag kind;
    };
    const Case cases[] = {
        {"bare storage", small_document("Pictures"), "OLE"},
        {"word stream behind a sibling link", small_document("WordDocument"), "DOC"},
        {"name case differs", small_document("WORKBOOK"), "XLS"},
        {"book stream in the second directory sector is nested", small_document("Pictures", "Book"),
         "OLE"},
    };
    for (const auto& c : cases) EXPECT_EQ(ole_kind(c.bytes), c.kind) << c.name;
}

TEST(Ole, DamagedStructuresAreBad) {
    auto shift6 = small_document("WordDocument");
    shift6[30] = 6;  // 64-byte sectors
    auto sibling_loop = small_document("WordDocument");
    store_le32(&sibling_loop[512 + 512 + 128 * 2 + 68], 1);  // entry 2's left sibling: back to 1
    auto chain_ends_early = small_document("WordDocument");
    store_le32(&chain_ends_early[512 + 4 * 1], kNone);  // entry 4's sector is unreachable
    auto cut = small_document("WordDocument");
    cut.resize(512 + 512 + 300);  // the directory sector is not whole
    struct Case {
        const char* name;
        const std::vector<std::uint8_t>& bytes;
    };
    const Case cases[] = {{"sector shift 6", shift6},
                          {"sibling loop", sibling_loop},
                          {"directory chain ends early", chain_ends_early},
                          {"directory sector cut", cut}};
    for (const auto& c : cases) EXPECT_EQ(ole_kind(c.bytes), "BAD") << c.name;
}

TEST(Ole, InstallerClassWinsOverStreamNames) {
    auto msi = small_document("WordDocument");
    const std::uint8_t installer[] = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
    std::copy(std::begin(installer), std::end(installer), msi.begin() + 1024 + 80);
    EXPECT_EQ(ole_kind(msi), "MSI");
    msi[1024 + 96] = 1;  // state bits must be zero too
    EXPECT_EQ(ole_kind(msi), "DOC");
}

// 128-byte sectors hold one directory entry and 32 FAT entries each, so the
// directory's second sector is found through header FAT slot
// first_sector / 32: slot 108 is the last the header has. The bytes where a
// 110th slot would lie (the start of sector 3) name a FAT sector that links
// the directory on, so only the limit of 109 makes the second file BAD.
TEST(Ole, DirectoryBeyondTheHeadersFatIsBad) {
    struct Case {
        std::uint32_t first_sector;
        TypeTag kind;
    };
    const Case cases[] = {{108 * 32 + 31, "DOC"}, {109 * 32, "BAD"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first_sector);
        CompoundBuilder b(7);
        b.fat_sector(108, 5);
        b.fat_sector(109, 6);
        b.link(c.first_sector, c.first_sector + 1);
        b.first_directory_sector(c.first_sector);
        b.entry(c.first_sector, 0, "Root Entry", kNone, kNone, 1);
        b.entry(c.first_sector + 1, 0, "WordDocument", kNone, kNone, kNone);
        EXPECT_EQ(ole_kind(b.bytes()), c.kind);
    }
}

}  // namespace
}  // namespace lk
