// Grading pictures made at test time, damaged as recoveries find them.
#include <gtest/gtest.h>

#include "preview/grade.hpp"
#include "preview/render.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using namespace lk::test;

TEST(Grade, FromTheShareOfCleanRows) {
    struct Case {
        bool damaged;
        double share;
        Grade grade;
        int percent;
    } cases[] = {
        {false, 1.0, Grade::Complete, 100},
        {true, 1.0, Grade::Damaged, 99},  // bytes left over after the last row
        {true, 0.634, Grade::Damaged, 63},
        {true, 0.01, Grade::Damaged, 1},
        {true, 0.004, Grade::Unreadable, 0},
    };
    for (const Case& c : cases) {
        const PictureGrade g = GradeFromShare(c.damaged, c.share);
        EXPECT_EQ(g.grade, c.grade) << c.share;
        EXPECT_EQ(g.decoded_rows_percent, c.percent) << c.share;
    }
    EXPECT_EQ(GradeText({Grade::Damaged, 63}), "Damaged picture: 63% of the rows decoded");
    EXPECT_EQ(GradeText({}), "");
}

TEST(Grade, CameraPicturesDamagedAsRecoveriesFindThem) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        Grade grade;
        int low, high;  // the decoded share expected, in percent
    };
    const std::vector<std::uint8_t> a = camera_jpeg(21, 1600, 1200);
    const std::vector<std::uint8_t> b = camera_jpeg(22, 1600, 1200);
    const std::size_t clusters = a.size() / 4096;
    std::vector<Case> cases = {
        {"complete", a, Grade::Complete, 100, 100},
        {"complete, 3:2", camera_jpeg(23, 1536, 1024), Grade::Complete, 100, 100},
        {"cut at 60 %", cut(a, 0.6), Grade::Damaged, 52, 62},
        {"another picture's clusters from 40 %", swap_clusters(a, b, clusters * 4 / 10, 2),
         Grade::Damaged, 32, 44},
        {"another picture's clusters from 70 %", swap_clusters(a, b, clusters * 7 / 10, 3),
         Grade::Damaged, 62, 74},
        {"random scan data", garbage_from(a, scan_start(a)), Grade::Unreadable, 0, 0},
    };
    for (const Case& c : cases) {
        const PictureGrade g = GradeJpeg(c.bytes);
        EXPECT_EQ(g.grade, c.grade) << c.what;
        EXPECT_GE(g.decoded_rows_percent, c.low) << c.what;
        EXPECT_LE(g.decoded_rows_percent, c.high) << c.what;
    }
    EXPECT_EQ(GradeJpeg(std::vector<std::uint8_t>(1000, 0x55)).grade, Grade::Unreadable);
}

TEST(Grade, TheSeamOfADecoderThatLostItsPlaceIsFoundWithoutAThumbnail) {
    // Smooth content in blocks of 8 x 8 (one pixel each at one eighth); from
    // MCU row 20, column 30 (16 x 16 MCUs) every block decodes with the same
    // wrong offset, as after a piece of another file.
    BgrImage blocks(120, 90);
    for (int y = 0; y < 90; ++y)
        for (int x = 0; x < 120; ++x) {
            std::uint8_t* p = blocks.row(y) + 3 * x;
            p[0] = std::uint8_t(60 + x / 2), p[1] = std::uint8_t(80 + y / 2), p[2] = std::uint8_t(120);
        }
    EXPECT_EQ(SeamBreak(blocks, 8, 2), 1.0);
    BgrImage broken = blocks;
    for (int y = 40; y < 90; ++y)
        for (int x = (y < 42 ? 60 : 0); x < 120; ++x) {
            std::uint8_t* p = broken.row(y) + 3 * x;
            p[0] = std::uint8_t(p[0] + 70), p[2] = std::uint8_t(p[2] - 60);
        }
    EXPECT_NEAR(SeamBreak(broken, 8, 2), 40.0 / 90, 0.01);
    // A natural edge across the whole picture is no seam.
    BgrImage horizon = blocks;
    for (int y = 40; y < 90; ++y)
        for (int x = 0; x < 120; ++x) horizon.row(y)[3 * x + 1] = 20;
    EXPECT_EQ(SeamBreak(horizon, 8, 2), 1.0);
}

TEST(Grade, RealCameraPicturesAndARawPreviewAreComplete) {
    LK_REQUIRE_TESTDATA();
    for (const char* name : {"canon_powershot_s50_exif_thumb.jpg", "extra/kodak_dc280_exif_thumb.jpg"}) {
        const PictureGrade g = GradeJpeg(read_file(testdata(name)));
        EXPECT_EQ(g.grade, Grade::Complete) << name;
    }
    EXPECT_FALSE(ExifThumbnail(read_file(testdata("canon_powershot_s50_exif_thumb.jpg"))).empty());
    // A camera raw file with its JPEG preview: both decode to the end.
    std::vector<std::uint8_t> crw = read_file(testdata("canon_crw_powershot_s40.crw"));
    const Preview p = MakePreview(crw, "CRW", 100, 100, {});
    EXPECT_EQ(p.grade.grade, Grade::Complete);
    EXPECT_FALSE(p.picture.empty());
}

}  // namespace
}  // namespace lk
