// Previews of recovered files read along their chains, saving in reconstruct
// mode and the contact sheet, on a card made with mkfs.fat and mtools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "engine/engine.hpp"
#include "preview/contact_sheet.hpp"
#include "preview/jpeg_codec.hpp"
#include "preview/reconstruct.hpp"
#include "preview/render.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;

const dir_t* find(const dir_t& dir, const std::string& name) {
    for (const dir_t& child : dir.children) {
        if (display_name(child) == name) return &child;
        if (const dir_t* inner = find(child, name)) return inner;
    }
    return nullptr;
}

class Card : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
        FatOptions o;
        o.image_size = 16u << 20;
        card.emplace(FatImage::create(tmp / "card.img", o));
        intact = camera_jpeg(31, 1024, 768);
        damaged = garbage_from(camera_jpeg(32, 1024, 768), 60'000);
        card->add_file("DCIM/100CANON/IMG_0001.JPG", intact);
        card->add_file("DCIM/100CANON/DAMAGED.JPG", damaged);
        // The engine lists a .JPG file only when it starts like one; a long
        // name with "jpeg" takes any content.
        card->add_file("DCIM/100CANON/not a picture.jpeg", std::vector<std::uint8_t>(9000, 'x'));
        card->add_file("PICTURE.PNG", std::vector<std::uint8_t>(3000, 'p'));
        card->add_file("NOTES.TXT", std::vector<std::uint8_t>(3000, 'n'));
        ASSERT_TRUE(h.open_file(card->path().string()));
        ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    }
    const dir_t& record(const std::string& name) {
        const dir_t* r = find(h.engine.cat.root, name);
        if (!r) throw std::runtime_error("no " + name);
        return *r;
    }

    test::TempDir tmp;
    std::optional<FatImage> card;
    std::vector<std::uint8_t> intact, damaged;
    EngineHarness h;
};

TEST_F(Card, PreviewsReadTheFileAlongItsChainAndOnlyWhatTheyCanShow) {
    const Preview good = RenderPreview(h.engine, record("IMG_0001.JPG"), 100, 100, {});
    EXPECT_FALSE(good.picture.empty());
    EXPECT_EQ(good.date, "2021:06:15 12:34:56");
    EXPECT_EQ(good.full_width, 1024);
    EXPECT_EQ(good.grade.grade, Grade::Complete);
    const Preview bad = RenderPreview(h.engine, record("DAMAGED.JPG"), 100, 100, {});
    EXPECT_FALSE(bad.picture.empty());
    EXPECT_EQ(bad.grade.grade, Grade::Damaged);
    EXPECT_EQ(RenderPreview(h.engine, record("not a picture.jpeg"), 100, 100, {}).grade.grade,
              Grade::Unreadable);

    // Other pictures go to the front end's readers as a read-only copy that
    // is gone afterwards; files no reader takes are not read at all.
    TempNames names(tmp.path().string() + "/");
    std::vector<std::string> read;
    ImageReaders readers;
    readers.takes = [](const std::string& ext) { return ext == "PNG"; };
    readers.read = [&](const std::string& path, int& w, int& h) {
        read.push_back(path);
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 3000);
        EXPECT_EQ(st.st_mode & 0777, S_IRUSR);
        w = 640, h = 480;
        return BgrImage(64, 48, 90);
    };
    PreviewServices services;
    services.readers = &readers;
    services.temp_names = &names;
    services.status = &h.status;
    const Preview png = RenderPreview(h.engine, record("PICTURE.PNG"), 100, 100, services);
    EXPECT_FALSE(png.picture.empty());
    EXPECT_EQ(png.full_width, 640);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(read[0]));
    EXPECT_TRUE(RenderPreview(h.engine, record("NOTES.TXT"), 100, 100, services).picture.empty());
    EXPECT_EQ(read.size(), 1u);
}

TEST_F(Card, ReconstructModeRebuildsPicturesAndStopsAtOneThatIsNoJpeg) {
    const std::vector<const dir_t*> selection = {&record("DAMAGED.JPG"), &record("not a picture.jpeg"),
                                                 &record("IMG_0001.JPG"), &record("NOTES.TXT")};
    const std::vector<SaveItem> list = BuildSaveList(h.engine, selection, true);
    ASSERT_EQ(list.size(), 3u);  // JPEG files only
    const WholeFileFilter reconstruct = [](Bytes in, std::vector<std::uint8_t>& out) {
        return ReconstructJpeg(in, out);
    };
    QuietProgress progress;
    const auto out = tmp / "out";
    std::filesystem::create_directories(out);
    const SaveOutcome saved = SaveItems(h.engine, list, out.string(), progress, &reconstruct);
    ASSERT_EQ(saved.failures.size(), 1u);
    EXPECT_EQ(saved.failures[0].path, "not a picture.jpeg");
    EXPECT_EQ(saved.failures[0].reason, "Reconstruction failed");
    EXPECT_EQ(saved.written, 1u);
    EXPECT_FALSE(std::filesystem::exists(out / "not a picture.jpeg"));
    EXPECT_FALSE(std::filesystem::exists(out / "IMG_0001.JPG")) << "the save stops at the failure";
    // The damaged picture is a well-formed JPEG of the same size now.
    JpegPicture p;
    ASSERT_TRUE(DecodeJpeg(slurp(out / "DAMAGED.JPG"), 0, 0, JpegOutput::Reencode, p));
    EXPECT_FALSE(p.damaged);
    EXPECT_EQ(p.width, 1024);
    EXPECT_EQ(p.height, 768);
}

TEST_F(Card, TheContactSheetShowsEveryPictureWithItsGradeBesideTheSavedFiles) {
    const auto out = tmp / "out";
    std::filesystem::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    std::ofstream(out / "index.html") << "a recovered page";  // not to be replaced
    std::filesystem::create_directory(tmp / "out-contact-sheet");  // someone else's: kept
    ContactSheet sheet;
    std::size_t calls = 0;
    ContactSheetOptions options;
    options.locale = "C";
    ASSERT_TRUE(WriteContactSheet(
        h.engine, out.string(), {},
        [&](std::size_t done, std::size_t total) {
            ++calls;
            EXPECT_EQ(total, 4u);  // three JPEG and one PNG
            return done <= total;
        },
        sheet, options))
        << sheet.error;
    EXPECT_EQ(calls, 4u);
    EXPECT_EQ(sheet.page, (tmp / "out-contact-sheet (2)" / "index.html").string());
    EXPECT_TRUE(std::filesystem::is_empty(tmp / "out-contact-sheet"));
    EXPECT_EQ(slurp(out / "index.html").size(), 16u);
    const std::string page(std::istreambuf_iterator<char>(std::ifstream(sheet.page).rdbuf()), {});
    EXPECT_NE(page.find("<h2>DCIM/100CANON</h2>"), std::string::npos);
    EXPECT_NE(page.find("<a href=\"../out/DCIM/100CANON/IMG_0001.JPG\"><img src=\"thumbnails/"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<figure class=\"damaged\">"), std::string::npos);
    EXPECT_NE(page.find("<figure class=\"unreadable\">"), std::string::npos);
    EXPECT_NE(page.find("Date: Tue Jun 15 12:34:56 2021"), std::string::npos);
    EXPECT_NE(page.find("No thumbnail"), std::string::npos);  // the PNG, without a reader
    // The thumbnails are JPEG files of the sheet's box, one per picture shown.
    int thumbnails = 0;
    for (const auto& file : std::filesystem::directory_iterator(sheet.thumbnails)) {
        JpegPicture thumb;
        ASSERT_TRUE(DecodeJpeg(slurp(file.path()), 0, 0, JpegOutput::Thumbnail, thumb));
        EXPECT_EQ(thumb.width, 160);
        ++thumbnails;
    }
    EXPECT_EQ(thumbnails, 2);  // the unreadable file and the PNG have none
    // Grading kept the grades in the catalogue.
    EXPECT_EQ(record("IMG_0001.JPG").grade, Grade::Complete);
    EXPECT_EQ(record("DAMAGED.JPG").grade, Grade::Damaged);
    EXPECT_EQ(GradePictures(h.engine, {}, {}), 3u);  // the PNG is not graded
}

}  // namespace
}  // namespace lk
