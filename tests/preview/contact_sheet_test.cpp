// The contact sheet of a card made with mkfs.fat and mtools: a folder of its
// own beside the saved files, links to them, a summary that counts the
// pictures by grade, and a mark for how each picture was found.
#include "preview/contact_sheet.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "engine/engine.hpp"
#include "output/size_words.hpp"
#include "tests/preview/damage.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

namespace fs = std::filesystem;
using namespace lk::test;

std::string text_of(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A link's path as the browser reads it: %XX back to the byte.
std::string unescape(const std::string& link) {
    std::string out;
    for (std::size_t i = 0; i < link.size(); ++i) {
        if (link[i] == '%' && i + 2 < link.size()) {
            out += static_cast<char>(std::stoi(link.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += link[i];
        }
    }
    return out;
}

// Every value of an attribute in the page ("href", "src"), in order.
std::vector<std::string> attributes(const std::string& page, const std::string& name) {
    std::vector<std::string> out;
    const std::regex attribute(name + "=\"([^\"]*)\"");
    for (std::sregex_iterator it(page.begin(), page.end(), attribute), end; it != end; ++it)
        out.push_back(unescape((*it)[1]));
    return out;
}

// The figure (one per picture) that shows the named file.
std::string figure_of(const std::string& page, const std::string& name) {
    const std::size_t at = page.find("<b>" + name + "</b>");
    if (at == std::string::npos) return {};
    const std::size_t start = page.rfind("<figure", at);
    return page.substr(start, page.find("</figure>", at) - start);
}

class SheetCard : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
        FatOptions o;
        o.image_size = 16u << 20;
        card.emplace(FatImage::create(tmp / "card.img", o));
        card->add_file("DCIM/100CANON/IMG_0001.JPG", camera_jpeg(41, 1024, 768));
        card->add_file("DCIM/100CANON/IMG_0002.JPG", camera_jpeg(42, 1024, 768));
        card->add_file("DCIM/100CANON/DAMAGED.JPG",
                       garbage_from(camera_jpeg(43, 1024, 768), 60'000));
        card->add_file("PICTURE.PNG", std::vector<std::uint8_t>(3000, 'p'));  // not graded
        card->add_file("NOTES.TXT", std::vector<std::uint8_t>(3000, 'n'));    // no picture
        card->delete_file("DCIM/100CANON/IMG_0002.JPG");
        ASSERT_TRUE(h.open_file(card->path().string()));
        ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
        fs::create_directories(out);
        ASSERT_FALSE(save_all(h, out).failed());
    }
    // The sheet in the C locale, made at a known time.
    ContactSheet write(const std::string& directory) {
        ContactSheet sheet;
        ContactSheetOptions options;
        options.locale = "C";
        options.made = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
        EXPECT_TRUE(WriteContactSheet(h.engine, directory, {}, {}, sheet, options)) << sheet.error;
        return sheet;
    }
    const CardFile& file(const std::string& path) const {
        for (const CardFile& f : card->files())
            if (f.path == path) return f;
        throw std::runtime_error("no " + path);
    }

    test::TempDir tmp;
    fs::path out = tmp / "out";
    std::optional<FatImage> card;
    EngineHarness h;
};

TEST_F(SheetCard, TheSheetGoesBesideTheSavedFilesAndLinksToThem) {
    const auto saved = files_under(out);
    const ContactSheet sheet = write(out.string());
    EXPECT_EQ(files_under(out), saved) << "nothing of the sheet inside the saved files";
    EXPECT_EQ(sheet.folder, (tmp / "out-contact-sheet").string());
    EXPECT_EQ(sheet.page, (tmp / "out-contact-sheet" / "index.html").string());
    EXPECT_EQ(sheet.thumbnails, (tmp / "out-contact-sheet" / "thumbnails").string());
    const std::string page = text_of(sheet.page);

    // Each link, read from the page's folder, is the saved file, whose bytes
    // are the card's.
    const std::vector<std::string> links = attributes(page, "href");
    EXPECT_EQ(links.size(), 4u) << page;  // three JPEG files and the PNG
    for (const std::string& link : links) {
        SCOPED_TRACE(link);
        const fs::path target = (fs::path(sheet.page).parent_path() / link).lexically_normal();
        const std::string inside = target.lexically_relative(out).generic_string();
        ASSERT_FALSE(inside.starts_with("..")) << "not in the saved files";
        EXPECT_TRUE(slurp(target) == file(inside).bytes);
    }
    // And each thumbnail is in the sheet's own folder.
    for (const std::string& src : attributes(page, "src")) {
        EXPECT_TRUE(src.starts_with("thumbnails/")) << src;
        EXPECT_TRUE(fs::is_regular_file(fs::path(sheet.folder) / src)) << src;
    }

    // A second sheet does not replace the first; "out/" names the same folder.
    const ContactSheet again = write(out.string() + "/");
    EXPECT_EQ(again.folder, (tmp / "out-contact-sheet (2)").string());
    EXPECT_EQ(attributes(text_of(again.page), "href"), links);
    EXPECT_EQ(text_of(sheet.page), page);
}

TEST_F(SheetCard, TheSummaryCountsThePicturesAndEachOneSaysHowItWasFound) {
    const ContactSheet sheet = write(out.string());
    const std::string page = text_of(sheet.page);
    EXPECT_EQ(sheet.pictures, 4u);
    EXPECT_EQ(sheet.complete, 2u);
    EXPECT_EQ(sheet.damaged, 1u);
    EXPECT_EQ(sheet.unreadable, 0u);
    EXPECT_EQ(sheet.not_graded, 1u);
    // The summary, before the first picture.
    const std::size_t first_figure = page.find("<figure");
    for (const std::string& line :
         {"Card: " + h.input.input_name(),
          std::string("Pictures: 4 (2 complete, 1 damaged, 0 unreadable, 1 not graded)"),
          std::string("Made on Tue Nov 14 22:13:20 2023")}) {
        const std::size_t at = page.find(line);
        EXPECT_LT(at, first_figure) << line << "\n" << page;
    }
    // One frame per picture.
    std::size_t figures = 0;
    for (std::size_t at = page.find("<figure"); at != std::string::npos;
         at = page.find("<figure", at + 1))
        ++figures;
    EXPECT_EQ(figures, 4u);

    struct Case {
        const char* name;
        const char* path;
        const char* mark;
        const char* not_mark;
    } cases[] = {
        {"IMG_0001.JPG", "DCIM/100CANON/IMG_0001.JPG", "mark live", "mark deleted"},
        {"IMG_0002.JPG", "DCIM/100CANON/IMG_0002.JPG", "mark deleted", "mark live"},
        {"DAMAGED.JPG", "DCIM/100CANON/DAMAGED.JPG", "mark live", "mark deleted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string figure = figure_of(page, c.name);
        ASSERT_FALSE(figure.empty());
        EXPECT_NE(figure.find(std::string("<span class=\"") + c.mark + "\">"), std::string::npos)
            << figure;
        EXPECT_EQ(figure.find(c.not_mark), std::string::npos) << figure;
        // Its size with a unit, its EXIF date as the locale writes it.
        EXPECT_NE(figure.find(SizeWithUnit(file(c.path).bytes.size())), std::string::npos)
            << figure;
        EXPECT_EQ(figure.find(" bytes"), std::string::npos) << figure;
        EXPECT_NE(figure.find("Date: Tue Jun 15 12:34:56 2021"), std::string::npos) << figure;
        EXPECT_EQ(figure.find("2021:06:15"), std::string::npos) << figure;
    }
}

}  // namespace
}  // namespace lk
