// The JPEG codec as the previews and the reconstruction use it.
#include <gtest/gtest.h>

#include "formats/jpeg.hpp"
#include "preview/jpeg_codec.hpp"
#include "preview/reconstruct.hpp"
#include "preview/render.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/process.hpp"

namespace lk {
namespace {

using namespace lk::test;

bool white_row(const BgrImage& box, int y) {
    for (int x = 1; x < box.width - 1; ++x)
        for (int c = 0; c < 3; ++c)
            if (box.row(y)[3 * x + c] != 255) return false;
    return true;
}

// The mean of a band of rows of a decoded picture (all channels).
double mean_rows(const JpegPicture& p, int from, int to) {
    const std::size_t row = std::size_t(p.width) * std::size_t(p.channels);
    double sum = 0;
    for (std::size_t i = std::size_t(from) * row; i < std::size_t(to) * row; ++i) sum += p.pixels[i];
    return sum / double((to - from) * row);
}

TEST(JpegPreview, LargePicturesAreDecodedAtOneEighthAndFittedIntoTheBox) {
    std::vector<std::uint8_t> jpeg = tools::encode_jfif(4000, 3000, 80, 7);
    JpegPicture decoded;
    ASSERT_TRUE(DecodeJpeg(jpeg, 100, 100, JpegOutput::Thumbnail, decoded));
    EXPECT_EQ(decoded.width, 500);
    EXPECT_EQ(decoded.height, 375);
    EXPECT_EQ(decoded.channels, 3);
    EXPECT_EQ(decoded.full_width, 4000);
    EXPECT_EQ(decoded.full_height, 3000);

    const Preview p = MakePreview(jpeg, "JPG", 100, 100, {});
    ASSERT_FALSE(p.picture.empty());
    EXPECT_EQ(p.full_width, 4000);
    EXPECT_EQ(p.grade.grade, Grade::Complete);
    // 99 x 74 at (0, 12): white above and below.
    EXPECT_TRUE(white_row(p.picture, 11));
    EXPECT_FALSE(white_row(p.picture, 12));
    EXPECT_FALSE(white_row(p.picture, 85));
    EXPECT_TRUE(white_row(p.picture, 86));
    EXPECT_EQ(ChooseImage(true, p.full_width, "JPG", "JPG").image, kUsePicture);
}

TEST(JpegPreview, PanoramasSmallPicturesAndCameraThumbnailFiles) {
    std::vector<std::uint8_t> wide = tools::encode_jfif(3000, 500, 80, 3);
    const Preview panorama = MakePreview(wide, "JPG", 100, 100, {});
    // As if 3000 x 1000: 99 x 33 at (0, 33).
    EXPECT_TRUE(white_row(panorama.picture, 32));
    EXPECT_FALSE(white_row(panorama.picture, 33));
    EXPECT_FALSE(white_row(panorama.picture, 65));
    EXPECT_TRUE(white_row(panorama.picture, 66));

    // A camera's 160-pixel picture decodes, but shows blank; so does a THM file.
    std::vector<std::uint8_t> small = camera_jpeg(4, 160, 120);
    const Preview p = MakePreview(small, "JPG", 100, 100, {});
    EXPECT_FALSE(p.picture.empty());
    EXPECT_EQ(ChooseImage(true, p.full_width, "JPG", "JPG").image, kImageSmall);
    std::vector<std::uint8_t> thm = small;
    const Preview t = MakePreview(thm, "THM", 100, 100, {});
    EXPECT_TRUE(t.picture.empty());
    EXPECT_EQ(ChooseImage(false, t.full_width, "THM", "THM").image, kImageSmall);
    // Its date comes from the EXIF block all the same.
    EXPECT_EQ(t.date, "2021:06:15 12:34:56");
}

TEST(JpegPreview, ASecondHalfOfGarbageShowsTheFirstHalfAndBlackBelow) {
    std::vector<std::uint8_t> intact = tools::encode_jfif(1600, 1200, 85, 11);
    std::vector<std::uint8_t> damaged = garbage_from(intact, intact.size() / 2);
    JpegPicture a, b;
    ASSERT_TRUE(DecodeJpeg(intact, 100, 100, JpegOutput::Thumbnail, a));
    ASSERT_TRUE(DecodeJpeg(damaged, 100, 100, JpegOutput::Thumbnail, b));
    EXPECT_FALSE(a.damaged);
    EXPECT_TRUE(b.damaged);
    EXPECT_GT(b.clean_share, 0.3);
    EXPECT_LT(b.clean_share, 0.7);
    ASSERT_EQ(b.height, 150);
    // The top is the picture, row for row; the bottom is black.
    const std::size_t top = std::size_t(b.width) * 3 * 40;
    EXPECT_TRUE(std::equal(b.pixels.begin(), b.pixels.begin() + std::ptrdiff_t(top), a.pixels.begin()));
    EXPECT_EQ(mean_rows(b, 110, 150), 0.0);
    EXPECT_GT(mean_rows(a, 110, 150), 40.0);
}

TEST(Reconstruction, ADamagedPictureBecomesAValidJpegOfTheSameSizeBlackBelow) {
    std::vector<std::uint8_t> intact = camera_jpeg(12, 800, 600);
    std::vector<std::uint8_t> damaged = garbage_from(intact, intact.size() / 2);
    std::vector<std::uint8_t> rebuilt;
    ASSERT_FALSE(ReconstructJpeg(damaged, rebuilt).has_value());
    JpegPicture p;
    ASSERT_TRUE(DecodeJpeg(rebuilt, 0, 0, JpegOutput::Reencode, p));
    EXPECT_FALSE(p.damaged) << "the new file is well-formed to its end";
    EXPECT_EQ(p.width, 800);
    EXPECT_EQ(p.height, 600);
    EXPECT_EQ(p.channels, 3);
    EXPECT_LT(mean_rows(p, 520, 600), 3.0);  // black, give or take the encoder's rounding
    EXPECT_GT(mean_rows(p, 0, 200), 40.0);
    // The EXIF block travels along: the date stays the picture's.
    std::string date;
    EXPECT_TRUE(read_exif_date(rebuilt, date));
    EXPECT_EQ(date, "2021:06:15 12:34:56");
}

TEST(Reconstruction, WhatIsNoJpegOrCannotBeWrittenSaysWhy) {
    std::vector<std::uint8_t> out;
    const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
    EXPECT_EQ(ReconstructJpeg(png, out), std::optional<std::string>("Reconstruction failed"));
    EXPECT_EQ(ReconstructJpeg(std::vector<std::uint8_t>{}, out),
              std::optional<std::string>("Reconstruction failed"));
    // A header that claims no width.
    std::vector<std::uint8_t> jpeg = tools::encode_jfif(64, 48, 90, 1);
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 7] = jpeg[i + 8] = 0;  // SOF0 width
            break;
        }
    EXPECT_EQ(ReconstructJpeg(jpeg, out), std::optional<std::string>("Reconstruction failed"));

    test::TempDir dir;
    const std::vector<std::uint8_t> good = tools::encode_jfif(64, 48, 90, 1);
    EXPECT_FALSE(ReconstructJpeg(good, (dir / "ok.jpg").string()).has_value());
    EXPECT_TRUE(std::filesystem::exists(dir / "ok.jpg"));
    EXPECT_EQ(ReconstructJpeg(good, (dir / "missing" / "x.jpg").string()),
              std::optional<std::string>("No such file or directory"));
}

}  // namespace
}  // namespace lk
