#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "formats/tiff.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

Buffer operator+(Buffer a, const Buffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(CrwExtent, CompleteFilesEndAtTheirRootTableOffset) {
    LK_REQUIRE_TESTDATA();
    const Buffer jpeg = test::read_file(test::testdata("canon_powershot_s50_exif_thumb.jpg"));
    for (const char* file : {"canon_crw_powershot_s40.crw", "extra/canon_crw_powershot_g2.crw"}) {
        const Buffer crw = test::read_file(test::testdata(file));
        ASSERT_GT(crw.size(), 1'000'000u) << file;
        const auto size = std::int32_t(crw.size());
        EXPECT_EQ(crw_extent(crw), size) << file;
        // The carved run goes on into whatever followed on the card.
        EXPECT_EQ(crw_extent(crw + Buffer{0x5A}), size) << file << " + 1 byte";
        EXPECT_EQ(crw_extent(crw + Buffer(7, 0xFF)), size) << file << " + 7 bytes";
        EXPECT_EQ(crw_extent(crw + jpeg), size) << file << " + a JPEG";
    }
}

// A minimal CIFF file: the 26-byte header, 8 bytes of heap data, the record
// table at 34 (one record of that data), the table offset 8 (from byte 26).
Buffer small_crw(bool big) {
    Buffer b = big ? Buffer{'M', 'M', 0, 0, 0, 0x1A} : Buffer{'I', 'I', 0x1A, 0, 0, 0};
    for (char c : "HEAPCCDR\1\0\0\0\0\0\0\0\0\0\0\0"sv) b.push_back(std::uint8_t(c));
    for (char c : "ABCDEFGH"sv) b.push_back(std::uint8_t(c));
    auto put = [&](std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(std::uint8_t(v >> (8 * (big ? n - 1 - i : i))));
    };
    put(1, 2);       // record count, at 34
    put(0x2005, 2);  // tag: data in the heap
    put(8, 4);       // size
    put(0, 4);       // offset in the heap
    put(8, 4);       // table offset
    return b;
}

TEST(CrwExtent, RecordTableChecks) {
    ASSERT_EQ(small_crw(false).size(), 50u);
    EXPECT_EQ(crw_extent(small_crw(false)), 50);
    EXPECT_EQ(crw_extent(small_crw(true)), 50);

    struct Case {
        const char* what;
        std::vector<std::pair<std::size_t, std::uint8_t>> changes;  // offset, new byte
        std::int32_t extent;
    };
    const Case cases[] = {
        {"record count 0", {{34, 0}}, -1},
        {"tag with bit 15 set", {{37, 0xA0}}, -1},
        {"heap data runs into the table", {{38, 9}}, -1},
        {"heap data past the table by its offset", {{42, 1}}, -1},
        {"huge data kept in the record is not checked", {{37, 0x40}, {41, 0xFF}}, 50},
        {"odd table offset", {{46, 7}}, -1},
        {"table offset past itself", {{46, 30}}, -1},
    };
    for (const Case& c : cases) {
        Buffer b = small_crw(false);
        for (auto [at, value] : c.changes) b[at] = value;
        EXPECT_EQ(crw_extent(b), c.extent) << c.what;
    }
    // Not a CIFF at all, and too short to hold one.
    EXPECT_EQ(crw_extent(Buffer{'I', 'I', 0x1A, 0, 0, 0} + Buffer(4096, 0)), -1);
    EXPECT_EQ(crw_extent(Buffer(31, 0)), -1);
}

TEST(CrwExtent, CraftedRepeatedTablesStopTheSearch) {
    // A table at 126 of 16,384 records that are valid up to the last, and
    // 200,000 candidate words that all point at it. Without a bound the
    // backward search would read about 3 x 10^9 records.
    constexpr std::size_t kTable = 126, kRecords = 16384;
    constexpr std::size_t kWords = kTable + 2 + 10 * kRecords;  // 163,968, a multiple of 4
    Buffer b(kWords + 4 * 200'000, 0);
    std::memcpy(b.data(), "II\x1A\0\0\0HEAPCCDR", 14);
    for (std::size_t p = 26; p + 1 < kWords; p += 2) b[p + 1] = 0x40;  // 16-bit 0x4000 everywhere
    b[kTable + 2 + 10 * (kRecords - 1) + 1] = 0x80;                    // the last tag is invalid
    for (std::size_t p = kWords; p < b.size(); p += 4) b[p] = kTable - 26;
    EXPECT_EQ(crw_extent(b), 0);
}

// X3F: "PROP" at a multiple of 4 from 4,096,000 on, followed by the offset of
// the "SECd" directory section.
struct X3f {
    Buffer b = Buffer(4'096'000 + 64, 0);
    X3f() { std::memcpy(b.data(), "FOVb\1\0\2\0", 8); }
    X3f& at(std::size_t off, std::string_view text) {
        std::memcpy(b.data() + off, text.data(), text.size());
        return *this;
    }
    X3f& prop(std::size_t off, std::uint32_t section) {
        at(off, "PROP");
        store_le32(b.data() + off + 4, section);
        return *this;
    }
};

TEST(X3fExtent, ForwardSearchFrom4096000) {
    struct Case {
        const char* what;
        Buffer data;
        std::int32_t extent;
    };
    constexpr std::size_t kFirst = 4'096'000;
    const Case cases[] = {
        {"the file's end", X3f().at(1000, "SECd").prop(kFirst + 16, 1000).b, kFirst + 24},
        {"at the first possible place", X3f().at(1000, "SECd").prop(kFirst, 1000).b, kFirst + 8},
        {"the first match wins",
         X3f().at(1000, "SECd").at(2000, "SECd").prop(kFirst + 8, 1000).prop(kFirst + 40, 2000).b,
         kFirst + 16},
        {"before 4,096,000", X3f().at(1000, "SECd").prop(kFirst - 4, 1000).b, 0},
        {"not at a multiple of 4", X3f().at(1000, "SECd").prop(kFirst + 2, 1000).b, 0},
        {"section offset not a multiple of 4", X3f().at(1002, "SECd").prop(kFirst, 1002).b, 0},
        {"section offset not before PROP",
         X3f().at(kFirst + 16, "SECd").prop(kFirst, kFirst + 16).b, 0},
        {"no SECd there", X3f().prop(kFirst, 1000).b, 0},
        {"nothing", X3f().b, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(x3f_extent(c.data), c.extent) << c.what;

    // The offset must be readable: PROP in the last bytes of the data.
    Buffer tail = X3f().at(1000, "SECd").prop(kFirst + 16, 1000).b;
    EXPECT_EQ(x3f_extent(Bytes(tail).first(kFirst + 24)), std::int32_t(kFirst + 24));
    EXPECT_EQ(x3f_extent(Bytes(tail).first(kFirst + 23)), 0);
}

TEST(X3fExtent, HeaderOnlySamplesAreTooShort) {
    LK_REQUIRE_TESTDATA();
    for (const char* file : {"sigma_x3f_stub.x3f", "extra/sigma_x3f_stub.x3f"})
        EXPECT_EQ(x3f_extent(test::read_file(test::testdata(file))), 0) << file;
}

}  // namespace
}  // namespace lk
