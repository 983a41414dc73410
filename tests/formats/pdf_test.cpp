#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/office.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

Buffer text(const std::string& s) {
    return Buffer(s.begin(), s.end());
}

TEST(Pdf, IncrementalUpdateIsCutAfterTheFirstEndMarker) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"pdf_incremental_update.pdf", 8016 + 5 + 1},         // "%%EOF" LF
        {"extra/pdf_incremental_update.pdf", 26878 + 5 + 2},  // "%%EOF" CR LF
    };
    for (const auto& c : cases) {
        const Buffer file = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(file.empty()) << c.file;
        EXPECT_EQ(pdf_extent(file), c.extent) << c.file;
    }
}

TEST(Pdf, EndMarkerSearchBounds) {
    const std::string head = "%PDF-1.4\n";
    auto pdf = [&](std::size_t eof_at, const std::string& tail, std::size_t total) {
        std::string s = head + std::string(eof_at - head.size(), 'x') + "%%EOF" + tail;
        s.resize(std::max(total, s.size()), 'y');
        return text(s);
    };
    struct Case {
        const char* name;
        Buffer bytes;
        std::int32_t extent;
    };
    const Case cases[] = {
        {"at 1024, shortest length", pdf(1024, "\r\n", 1031), 1029},
        {"second line end cut by the tail guard", pdf(1024, "\r\n", 1036), 1030},
        {"two line ends taken at most", pdf(2000, "\n\n\n", 3000), 2007},
        {"no line end", pdf(2000, "abc", 3000), 2005},
        {"shorter than 1,031 bytes", pdf(1024, "", 1030), 0},
        {"marker inside the first 1,024 bytes only", pdf(500, "\n", 3000), 0},
        {"not a PDF", text("%PS-Adobe-3.0\n" + std::string(3000, 'x') + "%%EOF\n"), -1},
    };
    for (const auto& c : cases) EXPECT_EQ(pdf_extent(c.bytes), c.extent) << c.name;
}

}  // namespace
}  // namespace lk
