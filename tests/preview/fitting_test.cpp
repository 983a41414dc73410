// Fitting pictures into the thumbnail box.
#include <gtest/gtest.h>

#include <array>

#include "preview/bgr_image.hpp"

namespace lk {
namespace {

TEST(FitIntoBox, PicturesKeepTheirProportionsPanoramasAreLaidOutTwiceAsHigh) {
    struct Case {
        int width, height;
        Placement at;
    } cases[] = {
        {4000, 3000, {0, 12, 99, 74}},  // a camera picture
        {3000, 4000, {12, 0, 74, 99}},  // the same, upright
        {3000, 500, {0, 33, 99, 33}},   // a panorama: as if 3000 x 1000
        {500, 3000, {33, 0, 33, 99}},
        {3000, 1000, {0, 16, 99, 66}},  // three times as wide: also doubled
        {2000, 1000, {0, 25, 99, 49}},  // twice as wide: as it is
        {50, 50, {0, 0, 99, 99}},       // small pictures grow to the box
        {1, 1, {0, 0, 99, 99}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height);
        const Placement p = FitIntoBox(c.width, c.height, 100, 100);
        EXPECT_EQ(p.x, c.at.x);
        EXPECT_EQ(p.y, c.at.y);
        EXPECT_EQ(p.width, c.at.width);
        EXPECT_EQ(p.height, c.at.height);
    }
    // A box twice the size (a screen at twice the density) scales alike.
    const Placement big = FitIntoBox(4000, 3000, 200, 200);
    EXPECT_EQ(big.width, 199);
    EXPECT_EQ(big.height, 149);
}

TEST(FitPicture, WhiteBoxPictureInItsPlaceAndABlackFrame) {
    BgrImage red(400, 300);
    for (std::size_t i = 0; i < red.pixels.size(); i += 3) red.pixels[i + 2] = 255;
    const BgrImage box = FitPicture(red, 100, 100);
    ASSERT_EQ(box.width, 100);
    ASSERT_EQ(box.height, 100);
    auto pixel = [&](int x, int y) {
        const std::uint8_t* p = box.row(y) + 3 * x;
        return std::array<int, 3>{p[0], p[1], p[2]};
    };
    using P = std::array<int, 3>;
    for (int i = 0; i < 100; ++i) {  // the frame
        EXPECT_EQ(pixel(i, 0), (P{0, 0, 0}));
        EXPECT_EQ(pixel(i, 99), (P{0, 0, 0}));
        EXPECT_EQ(pixel(0, i), (P{0, 0, 0}));
        EXPECT_EQ(pixel(99, i), (P{0, 0, 0}));
    }
    EXPECT_EQ(pixel(50, 5), (P{255, 255, 255}));  // above the picture (rows 12..85)
    EXPECT_EQ(pixel(50, 11), (P{255, 255, 255}));
    EXPECT_EQ(pixel(50, 12), (P{0, 0, 255}));
    EXPECT_EQ(pixel(50, 85), (P{0, 0, 255}));
    EXPECT_EQ(pixel(50, 86), (P{255, 255, 255}));
}

TEST(Resample, AveragesTheAreaEachPixelCovers) {
    // Columns alternate black and white: halving gives grey.
    BgrImage stripes(8, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 1; x < 8; x += 2) std::fill_n(stripes.row(y) + 3 * x, 3, 255);
    const BgrImage half = Resample(stripes, 4, 1);
    for (std::uint8_t v : half.pixels) EXPECT_NEAR(v, 128, 1);
    // Growing keeps a single colour as it is.
    const BgrImage grown = Resample(BgrImage(3, 3, 77), 10, 7);
    for (std::uint8_t v : grown.pixels) EXPECT_EQ(v, 77);
}

}  // namespace
}  // namespace lk
