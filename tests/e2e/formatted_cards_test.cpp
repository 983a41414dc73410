// Cards formatted over their files: pictures and movies come back by their
// content, byte for byte, also when every file starts inside its cluster.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "engine/engine.hpp"
#include "preview/contact_sheet.hpp"
#include "tests/support/media.hpp"
#include "tests/support/recovery_check.hpp"
#include "tests/support/tool_files.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

struct Recovered {
    std::map<std::vector<std::uint8_t>, std::string> by_content;  // bytes -> relative path
};

Recovered analyse_and_save(EngineHarness& h, const std::filesystem::path& image, const std::filesystem::path& out) {
    EXPECT_TRUE(h.open_file(image.string()));
    EXPECT_EQ(h.analyse(), AnalysisResult::Finished);
    std::filesystem::create_directories(out);
    EXPECT_FALSE(save_all(h, out).failed());
    Recovered r;
    for (const auto& [path, file] : files_under(out)) r.by_content[slurp(file)] = path;
    return r;
}

// Grades the catalogue's pictures as the thumbnails do: every one that came
// back byte for byte must be graded complete.
void expect_exact_pictures_complete(Engine& e, const std::vector<std::vector<std::uint8_t>>& originals) {
    EXPECT_GT(GradePictures(e, {}, {}), 0u);
    std::size_t exact = 0;
    const std::function<void(const dir_t&, int)> walk = [&](const dir_t& dir, int depth) {
        for (const dir_t& item : dir.children) {
            if (depth < 8) walk(item, depth + 1);
            if (item.grade == Grade::None) continue;
            const std::vector<std::uint8_t> bytes = read_item(e, item, UINT64_MAX);
            if (std::find(originals.begin(), originals.end(), bytes) == originals.end()) continue;
            ++exact;
            EXPECT_EQ(item.grade, Grade::Complete) << display_name(item);
            EXPECT_EQ(item.decoded_rows_percent, 100) << display_name(item);
        }
    };
    walk(e.cat.root, 0);
    EXPECT_EQ(exact, originals.size());
}

class FormattedCards : public ::testing::Test {
protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }
    test::TempDir tmp;
};

TEST_F(FormattedCards, PicturesComeBackWhole) {
    for (FatBits bits : {FatBits::fat16, FatBits::fat32}) {
        SCOPED_TRACE(bits == FatBits::fat16 ? "FAT16" : "FAT32");
        FatOptions o;
        o.bits = bits;
        o.image_size = bits == FatBits::fat16 ? 64u << 20 : 320u << 20;
        o.sectors_per_cluster = 8;
        FatImage card = FatImage::create(tmp / "card.img", o);
        // Camera pictures in their folder and in the root, one of them a JFIF file.
        for (int i = 1; i <= 6; ++i)
            card.add_file("DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG", camera_picture(i, 640 + 16 * i, 480));
        card.add_file("ROOTPIC.JPG", camera_picture(20, 1024, 768));
        card.add_file("JFIF.JPG", tools::encode_jfif(400, 300, 90, 21));
        card.quick_format();

        EngineHarness h;
        Recovered r = analyse_and_save(h, card.path(), tmp / (bits == FatBits::fat16 ? "out16" : "out32"));
        for (const CardFile& f : card.files()) {
            auto it = r.by_content.find(f.bytes);
            ASSERT_NE(it, r.by_content.end()) << f.path << " did not come back whole";
            EXPECT_EQ(it->second.rfind("FOUND/", 0), 0u) << it->second;
        }
        // Pictures whose folder survived the format keep their names, in
        // that folder.
        EXPECT_EQ(r.by_content[card.files()[0].bytes], "FOUND/100CANON/IMG_0001.JPG");
        std::vector<std::vector<std::uint8_t>> pictures;
        for (const CardFile& f : card.files()) pictures.push_back(f.bytes);
        expect_exact_pictures_complete(h.engine, pictures);
        std::filesystem::remove(card.path());
    }
}

TEST_F(FormattedCards, FilesThatStartInsideTheirClustersAreCarvedAtTheirShift) {
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters: shifts of 512 .. 3,584 bytes
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> pictures;
    std::uint32_t cluster = 10;
    for (int i = 0; i < 5; ++i) {
        pictures.push_back(camera_picture(40 + i, 320 + 32 * i, 240));
        card.write_at_cluster(cluster, 1024, pictures.back());
        cluster += static_cast<std::uint32_t>(pictures.back().size() / 4096 + 3);
    }
    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    for (const auto& p : pictures) EXPECT_TRUE(r.by_content.count(p)) << "a picture did not come back whole";
    ASSERT_NE(h.engine.cat.found(), nullptr);
    ASSERT_EQ(h.engine.cat.found()->children.size(), pictures.size());
    for (const dir_t& item : h.engine.cat.found()->children) EXPECT_EQ(item.shift, 1024) << display_name(item);
    expect_exact_pictures_complete(h.engine, pictures);
}

TEST_F(FormattedCards, MoviesAndSoundEndWhereTheirContainerSays) {
    LK_REQUIRE_FFMPEG();
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::map<std::string, std::vector<std::uint8_t>> movies;  // expected extension -> bytes
    for (MediaKind kind : all_media_kinds()) {
        std::string ext = media_extension(kind);
        // Carving names files by their content, with three-letter tags.
        if (ext == "WMV") ext = "ASF";
        if (ext == "OPUS") ext = "OGG";
        if (ext == "FLAC") ext = "FLA";
        MediaOptions mo;
        mo.seconds = 2;
        movies[ext] = make_media(kind, mo);
        // In the root: the format wipes their entries, so only their content names them.
        card.add_file(std::string("CLIP_") + media_name(kind) + "." + ext, movies[ext]);
    }
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    for (const auto& [ext, bytes] : movies) {
        auto it = r.by_content.find(bytes);
        ASSERT_NE(it, r.by_content.end()) << ext << " did not come back whole";
        // QuickTime brands name the file: MP4 and 3GP rather than MOV.
        EXPECT_EQ(it->second.substr(it->second.size() - ext.size()), ext) << it->second;
    }
}

// Files of every kind that is measured by its content, written by the
// programs people use, each between two camera pictures on a card that is
// then quick-formatted: each comes back byte for byte, named by its tag, and
// the pictures around them come back unchanged.
TEST_F(FormattedCards, EveryMeasuredKindComesBackWholeBetweenPictures) {
    LK_REQUIRE_FFMPEG();
    for (test::ToolFile kind : test::all_tool_files()) LK_REQUIRE_TOOL_FILE(kind);
    struct File {
        std::string tag;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<File> files;
    for (test::ToolFile kind : test::all_tool_files())
        files.push_back({test::tool_file_info(kind).tag, test::make_tool_file(kind)});
    for (MediaKind kind :
         {MediaKind::mp3, MediaKind::ogg_vorbis, MediaKind::ogg_opus, MediaKind::flac}) {
        std::string ext = media_extension(kind);
        files.push_back({ext == "OPUS" ? "OGG" : ext == "FLAC" ? "FLA" : ext, make_media(kind)});
    }
    // Some tools tag FLAC files with ID3v2: an empty tag of 100 bytes.
    std::vector<std::uint8_t> tagged_flac = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 100};
    tagged_flac.resize(110, 0);
    const auto flac = make_media(MediaKind::flac, {.variant = 1});
    tagged_flac.insert(tagged_flac.end(), flac.begin(), flac.end());
    files.push_back({"FLA", tagged_flac});
    std::string text;
    for (int i = 0; text.size() < 10'000; ++i)
        text += "Note " + std::to_string(i) + ": the card was formatted.\n";
    files.push_back({"TXT", std::vector<std::uint8_t>(text.begin(), text.end())});

    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::size_t i = 0; i <= files.size(); ++i) {
        pictures.push_back(camera_picture(100 + std::uint32_t(i), 320, 240));
        card.add_file("IMG_" + std::to_string(1000 + i) + ".JPG", pictures.back());
        if (i < files.size()) card.add_file("FILE_" + std::to_string(i) + ".BIN", files[i].bytes);
    }
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    for (const File& f : files) {
        auto it = r.by_content.find(f.bytes);
        ASSERT_NE(it, r.by_content.end())
            << f.tag << " of " << f.bytes.size() << " bytes did not come back whole";
        EXPECT_TRUE(it->second.ends_with("." + f.tag)) << it->second;
    }
    for (const auto& p : pictures)
        EXPECT_TRUE(r.by_content.count(p)) << "a picture did not come back whole";
}

// A JPEG whose comment holds text: later clusters of the picture start with
// text.
std::vector<std::uint8_t> picture_with_text(std::uint32_t seed) {
    tools::JpegLayout layout;
    std::vector<std::uint8_t> jpeg = tools::make_jpeg({.seed = seed}, &layout);
    std::string text;
    for (int i = 0; text.size() < 12'000; ++i) text += "comment line " + std::to_string(i) + "\n";
    std::vector<std::uint8_t> com(4 + text.size());
    com[0] = 0xFF;
    com[1] = 0xFE;
    com[2] = std::uint8_t((text.size() + 2) >> 8);
    com[3] = std::uint8_t(text.size() + 2);
    std::copy(text.begin(), text.end(), com.begin() + 4);
    jpeg.insert(jpeg.begin() + std::ptrdiff_t(layout.main_offset), com.begin(), com.end());
    return jpeg;
}

// A Pentax raw file: a directory, the JPEG preview at 4,096 (a cluster
// boundary on the card) and then the raw data.
std::vector<std::uint8_t> raw_with_preview(const std::vector<std::uint8_t>& preview) {
    std::vector<std::uint8_t> b(4096, 0);
    std::memcpy(b.data(), "II*\0\x08\0\0\0", 8);
    const std::uint32_t raw_at = 4096 + std::uint32_t(preview.size()), raw_size = 60'000;
    const std::uint32_t entries[][4] = {
        {0x0100, 4, 1, 640},
        {0x0101, 4, 1, 480},
        {0x010F, 2, 19, 200},
        {0x0111, 4, 1, raw_at},
        {0x0117, 4, 1, raw_size},
        {0x0201, 4, 1, 4096},
        {0x0202, 4, 1, std::uint32_t(preview.size())},
    };
    store_le16(b.data() + 8, std::uint16_t(std::size(entries)));
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        std::uint8_t* e = b.data() + 10 + 12 * i;
        store_le16(e, std::uint16_t(entries[i][0]));
        store_le16(e + 2, std::uint16_t(entries[i][1]));
        store_le32(e + 4, entries[i][2]);
        store_le32(e + 8, entries[i][3]);
    }
    std::memcpy(b.data() + 200, "PENTAX Corporation", 19);
    b.insert(b.end(), preview.begin(), preview.end());
    std::uint32_t x = 12345;
    for (std::uint32_t i = 0; i < raw_size; ++i)
        b.push_back(std::uint8_t((x = x * 1103515245 + 12345) >> 16));
    return b;
}

// A Canon CR3 laid out as cameras write it (ftyp "crx ", moov, a uuid box
// with the preview, mdat), the preview's JPEG at 4,096.
std::vector<std::uint8_t> cr3_with_preview(const std::vector<std::uint8_t>& preview) {
    std::vector<std::uint8_t> b;
    auto box = [&](std::string_view type, std::size_t payload) {
        const std::uint32_t n = std::uint32_t(8 + payload);
        b.insert(b.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8),
                           std::uint8_t(n)});
        b.insert(b.end(), type.begin(), type.end());
    };
    box("ftyp", 16);
    b.insert(b.end(), {'c', 'r', 'x', ' ', 0, 0, 0, 1, 'c', 'r', 'x', ' ', 'i', 's', 'o', 'm'});
    box("moov", 4096 - 24 - 24 - 8);
    b.resize(4096 - 24, 0x11);
    box("uuid", 16 + preview.size());
    b.insert(b.end(), 16, 0xEA);
    b.insert(b.end(), preview.begin(), preview.end());
    box("mdat", 80'000);
    std::uint32_t x = 777;
    for (int i = 0; i < 80'000; ++i) b.push_back(std::uint8_t((x = x * 1103515245 + 12345) >> 16));
    return b;
}

// What lies inside a file does not cut it: a raw file's JPEG preview, the
// local headers of a ZIP package's entries and text inside a picture may
// start clusters. Text is carved from what is left, and text files that sit
// back to back come back one by one.
TEST_F(FormattedCards, HeadersInsideFilesDoNotCutThem) {
    LK_REQUIRE_TOOL_FILE(test::ToolFile::zip_aligned);
    const auto preview = camera_picture(7, 320, 240);
    const auto raw = raw_with_preview(preview);
    const auto cr3 = cr3_with_preview(camera_picture(8, 320, 240));
    const auto zip = test::make_tool_file(test::ToolFile::zip_aligned);
    const auto commented = picture_with_text(9);
    auto text_of = [](std::size_t size, bool line_feeds, char letter) {
        std::string t;
        while (t.size() < size) t += line_feeds && t.size() % 50 == 49 ? '\n' : letter;
        return std::vector<std::uint8_t>(t.begin(), t.end());
    };
    const auto text_a = text_of(5000, true, 'a'), text_b = text_of(3000, true, 'b');
    const auto short_text = text_of(600, true, 'c');
    const auto too_short = text_of(511, true, 'd'), no_line_feed = text_of(2000, false, 'e');
    // Text whose clusters run on over data without any header.
    const auto long_text = text_of(100'000, true, 'f');
    std::vector<std::uint8_t> noise(300'000);
    std::uint32_t x = 99;
    for (auto& byte : noise) byte = std::uint8_t((x = x * 1103515245 + 12345) >> 16);

    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> pictures;
    auto picture = [&] {
        pictures.push_back(camera_picture(200 + std::uint32_t(pictures.size()), 320, 240));
        card.add_file("IMG_" + std::to_string(pictures.size()) + ".JPG", pictures.back());
    };
    picture();
    card.add_file("IMGP0001.PEF", raw);
    picture();
    card.add_file("IMG_0002.CR3", cr3);
    picture();
    card.add_file("PACKAGE.ZIP", zip);
    picture();
    card.add_file("COMMENT.JPG", commented);
    card.add_file("A.TXT", text_a);
    card.add_file("B.TXT", text_b);
    picture();
    card.add_file("SHORT.TXT", short_text);
    picture();
    card.add_file("TOOSHORT.TXT", too_short);
    picture();
    card.add_file("NOLF.TXT", no_line_feed);
    picture();
    card.add_file("LONG.TXT", long_text);
    card.add_file("NOISE.BIN", noise);
    picture();
    ASSERT_EQ(card.formatted_layout().cluster_size, 4096u);
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    struct Expected {
        const char* what;
        const std::vector<std::uint8_t>& bytes;
        const char* ext;
        char letter;  // 'V' first pass, 'N' final run
    };
    const Expected expected[] = {
        {"raw file with its preview at a cluster boundary", raw, ".PEF", 'V'},
        {"CR3 with its preview at a cluster boundary", cr3, ".CR3", 'V'},
        {"ZIP with an entry at a cluster boundary", zip, ".ZIP", 'V'},
        {"picture with text in its later clusters", commented, ".JPG", 'V'},
        {"text", text_a, ".TXT", 'N'},
        {"text right after it", text_b, ".TXT", 'N'},
        {"600 bytes of text", short_text, ".TXT", 'N'},
        {"text followed by data without headers", long_text, ".TXT", 'N'},
    };
    for (const Expected& e : expected) {
        auto it = r.by_content.find(e.bytes);
        ASSERT_NE(it, r.by_content.end()) << e.what << " did not come back whole";
        EXPECT_TRUE(it->second.ends_with(e.ext)) << e.what << ": " << it->second;
        EXPECT_EQ(it->second.substr(it->second.find('/') + 1, 1), std::string(1, e.letter))
            << it->second;
    }
    for (const auto& p : pictures)
        EXPECT_TRUE(r.by_content.count(p)) << "a picture did not come back whole";
    // Nothing else: no preview of its own, no text out of a picture or from
    // the text too short or without line breaks.
    EXPECT_FALSE(r.by_content.count(preview));
    EXPECT_EQ(r.by_content.size(), std::size(expected) + pictures.size());
}

// Files whose folder survived the format keep the names their entries give,
// also where their content would name them otherwise (a JAR is a ZIP package).
TEST_F(FormattedCards, EntriesOfASurvivingFolderNameWhatIsMeasured) {
    LK_REQUIRE_TOOL_FILE(test::ToolFile::docx);
    LK_REQUIRE_TOOL_FILE(test::ToolFile::zip_deflated);
    const auto docx = test::make_tool_file(test::ToolFile::docx);
    const auto jar = test::make_tool_file(test::ToolFile::zip_deflated);
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    card.add_file("DOCS/Report of the year.docx", docx);
    card.add_file("DOCS/TOOLS.JAR", jar);
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    // (Where in FOUND they land is not the point here.)
    EXPECT_EQ(std::filesystem::path(r.by_content[docx]).filename(), "Report of the year.docx");
    EXPECT_EQ(std::filesystem::path(r.by_content[jar]).filename(), "TOOLS.JAR");
}

// A one-hour MP3 is above the picture limit of 21,504,000 bytes: sound has
// the movie limit, and the recording comes back whole.
TEST_F(FormattedCards, ALongRecordingIsMeasuredWhole) {
    LK_REQUIRE_FFMPEG();
    // Frames of a short recording repeated to 50,000,000 bytes behind its tag
    // (the walk reads frame headers only).
    const auto mp3 = make_media(MediaKind::mp3);
    const std::size_t tag =
        10 + (std::size_t(mp3[6]) << 21 | std::size_t(mp3[7]) << 14 | mp3[8] << 7 | mp3[9]);
    const std::vector<std::uint8_t> frames(mp3.begin() + std::ptrdiff_t(tag), mp3.end() - 128);
    std::vector<std::uint8_t> long_mp3(mp3.begin(), mp3.begin() + std::ptrdiff_t(tag));
    while (long_mp3.size() + frames.size() <= 50'000'000)
        long_mp3.insert(long_mp3.end(), frames.begin(), frames.end());
    ASSERT_GT(long_mp3.size(), 21'504'000u);

    FatOptions o;
    o.image_size = 128u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const auto before = camera_picture(1, 320, 240), after = camera_picture(2, 320, 240);
    card.add_file("IMG_0001.JPG", before);
    card.add_file("RECORD.MP3", long_mp3);
    card.add_file("IMG_0002.JPG", after);
    card.quick_format();

    EngineHarness h;
    Recovered r = analyse_and_save(h, card.path(), tmp / "out");
    auto it = r.by_content.find(long_mp3);
    ASSERT_NE(it, r.by_content.end()) << "the recording did not come back whole";
    EXPECT_TRUE(it->second.ends_with(".MP3")) << it->second;
    EXPECT_TRUE(r.by_content.count(before) && r.by_content.count(after));
}

}  // namespace
}  // namespace lk
