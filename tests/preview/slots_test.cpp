// The image list's slots and which image an item shows.
#include <gtest/gtest.h>

#include "preview/render.hpp"
#include "preview/thumbnail_slots.hpp"

namespace lk {
namespace {

TEST(ThumbnailSlots, GrowThenRecycleSixteenLeastRecentlyUsedAtATime) {
    ThumbnailSlots slots(40, kBuiltinImages);
    std::vector<int> recycled;
    for (int i = 0; i < 40; ++i) EXPECT_EQ(slots.Acquire(recycled), kBuiltinImages + i);
    EXPECT_TRUE(recycled.empty());
    EXPECT_FALSE(slots.full());
    slots.Touch(6);  // shown again: now the most recent
    slots.Touch(2);  // built-in images take no part

    // Full: the 16 least recently used (7..22) go; the last pushed is used.
    const int slot = slots.Acquire(recycled);
    EXPECT_TRUE(slots.full());
    std::vector<int> expected;
    for (int i = 7; i <= 22; ++i) expected.push_back(i);
    EXPECT_EQ(recycled, expected);
    EXPECT_EQ(slot, 22);
    // The next ones come off the stack without recycling more.
    recycled.clear();
    EXPECT_EQ(slots.Acquire(recycled), 21);
    slots.Touch(20);  // waiting for reuse: shows nothing, stays on the stack
    EXPECT_EQ(slots.Acquire(recycled), 20);
    EXPECT_TRUE(recycled.empty());

    slots.Clear();
    EXPECT_FALSE(slots.full());
    EXPECT_EQ(slots.Acquire(recycled), kBuiltinImages);
    ThumbnailSlots none(0, kBuiltinImages);
    EXPECT_EQ(none.Acquire(recycled), -1);
}

TEST(ChooseImage, ByPictureSizeAndExtension) {
    struct Case {
        bool picture;
        int full_width;
        const char *ext, *display;
        int image;
        bool icon;
    } cases[] = {
        {true, 4000, "JPG", "JPG", kUsePicture, false},
        {true, 0, "PNG", "PNG", kUsePicture, false},  // size unknown
        {true, 160, "JPG", "JPG", kImageSmall, false},
        {true, 200, "JPG", "JPG", kImageSmall, false},
        {true, 201, "JPG", "JPG", kUsePicture, false},
        {false, 0, "THM", "THM", kImageSmall, false},
        {false, 0, "PNG", "PNG", kImagePicture, false},
        {false, 4000, "JPG", "JPG", kImageFailed, false},  // decoding failed
        {false, 0, "CR2", "CR2", kImageFailed, false},
        {false, 0, "DOC", "DOC", kImageFailed, true},  // the type's icon
        {false, 0, "XLS", "XLSX", kImageFailed, false},
        {false, 0, "PDF", "PDF", kImageBlank, false},
        {false, 0, "TXT", "TXT", kImageBlank, false},
        {false, 0, "AVI", "AVI", kImageBlank, false},
        {false, 0, "MP3", "MP3", kImageBlank, false},
    };
    for (const Case& c : cases) {
        const ImageChoice choice = ChooseImage(c.picture, c.full_width, c.ext, c.display);
        EXPECT_EQ(choice.image, c.image) << c.ext << " " << c.full_width;
        EXPECT_EQ(choice.ask_icon, c.icon) << c.ext;
    }
}

}  // namespace
}  // namespace lk
