// The command line's previews: reconstruct IN.jpg OUT.jpg, and recover with
// --grade and --thumbnails on a card made with mkfs.fat and mtools.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "preview/jpeg_codec.hpp"
#include "tests/cli/catalogue_json.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/card_builder.hpp"
#include "tests/support/process.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

std::string text_of(const fs::path& p) {
    const std::vector<std::uint8_t> b = read_file(p);
    return {b.begin(), b.end()};
}

void put(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

ProcessResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), LK_CLI_PATH);
    return run_process(args);
}

TEST(ReconstructCommand, RebuildsADamagedJpegAndRefusesWhatIsNone) {
    test::TempDir tmp;
    const fs::path damaged = tmp / "damaged.jpg", out = tmp / "out.jpg";
    const std::vector<std::uint8_t> original = camera_jpeg(5, 800, 600);
    put(damaged, garbage_from(original, original.size() / 2));

    ProcessResult r = cli({"reconstruct", damaged.string(), out.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    JpegPicture p;
    ASSERT_TRUE(DecodeJpeg(read_file(out), 0, 0, JpegOutput::Reencode, p));
    EXPECT_FALSE(p.damaged);
    EXPECT_EQ(p.width, 800);
    EXPECT_EQ(p.height, 600);
    // The lower rows, which did not decode, are black.
    const std::uint8_t* last = p.pixels.data() + (p.pixels.size() - std::size_t(3 * p.width));
    EXPECT_EQ(*std::max_element(last, last + 3 * p.width), 0) << "the last row is not black";

    const fs::path text = tmp / "notes.jpg";
    put(text, std::vector<std::uint8_t>(5000, 'x'));
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* says;
    } cases[] = {
        {{"reconstruct", text.string(), (tmp / "a.jpg").string()}, 1, "Reconstruction failed"},
        {{"reconstruct", (tmp / "missing.jpg").string(), (tmp / "b.jpg").string()},
         1,
         "missing.jpg"},
        {{"reconstruct", damaged.string(), (tmp / "no such folder" / "c.jpg").string()},
         1,
         "c.jpg"},
        {{"reconstruct", damaged.string()}, 2, "OUT"},
    };
    for (const Case& c : cases) {
        const ProcessResult rc = cli(c.args);
        EXPECT_EQ(rc.exit_code, c.code) << c.says;
        EXPECT_NE(rc.err.find(c.says), std::string::npos) << rc.err;
    }
    EXPECT_FALSE(fs::exists(tmp / "a.jpg"));
}

class RecoverPreviews : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        FatOptions o;
        o.image_size = 16u << 20;
        card_.emplace(FatImage::create(tmp_ / "card.img", o));
        card_->add_file("DCIM/100CANON/IMG_0001.JPG", camera_jpeg(1, 1024, 768));
        card_->add_file("DCIM/100CANON/IMG_0002.JPG", camera_jpeg(2, 1024, 768));
        const std::vector<std::uint8_t> cut_short = cut(camera_jpeg(3, 1024, 768), 0.5);
        card_->add_file("DCIM/100CANON/IMG_0003.JPG", cut_short);
        card_->add_file("NOTES.TXT", std::vector<std::uint8_t>(3000, 'n'));
    }
    test::TempDir tmp_;
    std::optional<FatImage> card_;
};

TEST_F(RecoverPreviews, GradesListAndCatalogueEveryPicture) {
    const fs::path json = tmp_ / "catalogue.json";
    ProcessResult r =
        cli({"recover", card_->path().string(), "--grade", "--list", "--json", json.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Pictures graded: 2 complete, 1 damaged, 0 unreadable"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("IMG_0001.JPG  "), std::string::npos);
    EXPECT_NE(r.out.find("Complete picture"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Damaged picture: "), std::string::npos) << r.out;
    const nlohmann::json catalogue = test::read_catalogue(json);
    ASSERT_TRUE(catalogue.is_array()) << text_of(json);
    EXPECT_EQ(test::catalogue_count(catalogue, "grade", "complete"), 2) << catalogue.dump();
    EXPECT_EQ(test::catalogue_count(catalogue, "decoded_rows_percent", 100), 2);
    EXPECT_EQ(test::catalogue_count(catalogue, "grade", "damaged"), 1);
    // Files that are no pictures carry no grade.
    bool notes = false;
    for (const nlohmann::json& item : catalogue)
        if (item.value("path", "").ends_with("NOTES.TXT")) {
            notes = true;
            EXPECT_FALSE(item.contains("grade")) << item.dump();
        }
    EXPECT_TRUE(notes) << catalogue.dump();

    // Without --grade nothing is graded.
    r = cli({"recover", card_->path().string(), "--json", json.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json ungraded = test::read_catalogue(json);
    ASSERT_TRUE(ungraded.is_array());
    for (const nlohmann::json& item : ungraded) EXPECT_FALSE(item.contains("grade")) << item.dump();
}

TEST_F(RecoverPreviews, TheContactSheetGoesBesideTheSavedFiles) {
    ProcessResult r = cli({"recover", card_->path().string(), "--thumbnails", "--list"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("--thumbnails needs --output"), std::string::npos) << r.err;

    const fs::path out = tmp_ / "out";
    r = cli({"recover", card_->path().string(), "--output", out.string(), "--thumbnails"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // In a folder of its own beside the saved files: a photo importer
    // pointed at them does not import the thumbnails too.
    const fs::path sheet = tmp_ / "out-contact-sheet", page = sheet / "index.html";
    EXPECT_NE(r.out.find("Contact sheet: " + page.string()), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out / "index.html"));
    EXPECT_FALSE(fs::exists(out / "thumbnails"));
    const std::string html = text_of(page);
    EXPECT_NE(html.find("IMG_0001.JPG"), std::string::npos);
    EXPECT_NE(html.find("<a href=\"../out/DCIM/100CANON/IMG_0001.JPG\">"), std::string::npos)
        << html;
    EXPECT_NE(html.find("<figure class=\"damaged\">"), std::string::npos);
    EXPECT_NE(html.find("Pictures: 3 (2 complete, 1 damaged, 0 unreadable, 0 not graded)"),
              std::string::npos)
        << html;
    EXPECT_EQ(html.find("NOTES.TXT"), std::string::npos);
    std::size_t thumbnails = 0;
    for (const auto& f : fs::directory_iterator(sheet / "thumbnails"))
        thumbnails += f.path().extension() == ".jpg";
    EXPECT_EQ(thumbnails, 3u);
}

}  // namespace
}  // namespace lk
