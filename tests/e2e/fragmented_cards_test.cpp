// Cards that were filled, had files deleted and were filled again: the new
// files lie in two pieces around the ones that stayed, and come back whole.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "base/bytes.hpp"
#include "tests/support/media.hpp"
#include "tests/support/process.hpp"
#include "tests/support/recovery_check.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

// The runs of consecutive clusters of a chain.
std::vector<std::pair<std::uint32_t, std::uint32_t>> runs_of(
    const std::vector<std::uint32_t>& chain) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
    for (std::uint32_t c : chain) {
        if (!runs.empty() && runs.back().first + runs.back().second == c)
            ++runs.back().second;
        else
            runs.emplace_back(c, 1);
    }
    return runs;
}

// Every catalogued file, depth first.
void files_of(const dir_t& dir, std::vector<const dir_t*>& out) {
    for (const dir_t& child : dir.children) {
        if (child.entry.is_directory())
            files_of(child, out);
        else
            out.push_back(&child);
    }
}

// The offsets of the JPEG pictures (FF D8 FF) in a movie, past its first cluster.
std::vector<std::size_t> frames_of(const std::vector<std::uint8_t>& movie) {
    std::vector<std::size_t> at;
    for (std::size_t i = 4096; i + 3 <= movie.size(); ++i)
        if (movie[i] == 0xFF && movie[i + 1] == 0xD8 && movie[i + 2] == 0xFF) at.push_back(i);
    return at;
}

void store_be32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (24 - 8 * i));
}

// Inserts pad bytes into a Motion JPEG AVI's top-level JUNK chunk (the RIFF
// and JUNK sizes grow with it; the index counts from the movie list and
// stays true), moving every frame by pad.
void pad_avi(std::vector<std::uint8_t>& avi, std::size_t pad) {
    std::size_t pos = 12;
    while (pos + 8 <= avi.size() && std::memcmp(avi.data() + pos, "JUNK", 4) != 0)
        pos += 8 + ((load_le32(avi.data() + pos + 4) + 1) & ~1u);
    ASSERT_LT(pos + 8, avi.size()) << "no JUNK chunk";
    avi.insert(avi.begin() + std::ptrdiff_t(pos + 8), pad, 0);
    store_le32(avi.data() + pos + 4, load_le32(avi.data() + pos + 4) + std::uint32_t(pad));
    store_le32(avi.data() + 4, load_le32(avi.data() + 4) + std::uint32_t(pad));
}

// Inserts a "free" atom of pad bytes before a QuickTime movie's "mdat" and
// moves its chunk offsets ("stco") with it.
void pad_mov(std::vector<std::uint8_t>& mov, std::size_t pad) {
    std::size_t pos = 0, mdat = 0;
    while (pos + 8 <= mov.size()) {
        if (std::memcmp(mov.data() + pos + 4, "mdat", 4) == 0) mdat = pos;
        pos += load_be32(mov.data() + pos);
    }
    ASSERT_NE(mdat, 0u) << "no mdat atom";
    ASSERT_GE(pad, 8u);
    for (std::size_t i = mdat; i + 16 <= mov.size(); ++i) {
        if (std::memcmp(mov.data() + i, "stco", 4) != 0) continue;
        const std::uint32_t count = load_be32(mov.data() + i + 8);
        for (std::uint32_t k = 0; k < count && i + 16 + 4 * k <= mov.size(); ++k)
            store_be32(mov.data() + i + 12 + 4 * k,
                       load_be32(mov.data() + i + 12 + 4 * k) + std::uint32_t(pad));
    }
    std::vector<std::uint8_t> free_atom(pad, 0);
    store_be32(free_atom.data(), std::uint32_t(pad));
    std::memcpy(free_atom.data() + 4, "free", 4);
    mov.insert(mov.begin() + std::ptrdiff_t(mdat), free_atom.begin(), free_atom.end());
}

class FragmentedCards : public ::testing::Test {
  protected:
    void SetUp() override {
        LK_REQUIRE_FAT_TOOLS();
        use_utc();
    }

    // Analyses the card (afresh) and saves everything; where each file's
    // bytes came back (relative paths).
    std::map<std::vector<std::uint8_t>, std::string> recover(const fs::path& image,
                                                             const std::string& name) {
        h = std::make_unique<EngineHarness>();
        EXPECT_TRUE(h->open_file(image.string()));
        EXPECT_EQ(h->analyse(), AnalysisResult::Finished);
        const fs::path out = tmp / name;
        fs::create_directories(out);
        EXPECT_FALSE(save_all(*h, out).failed());
        std::map<std::vector<std::uint8_t>, std::string> by_content;
        for (const auto& [path, file] : files_under(out)) by_content[slurp(file)] = path;
        return by_content;
    }
    std::vector<const dir_t*> files() {
        std::vector<const dir_t*> out;
        files_of(h->engine.cat.root, out);
        return out;
    }

    std::unique_ptr<EngineHarness> h;
    test::TempDir tmp;
};

// A card of pictures, two of them deleted; then a picture larger than the
// first hole and a movie larger than what is left of the second are written:
// the file system puts each in two pieces around the survivors. After a
// quick format their folder's entries name them and give their sizes.
TEST_F(FragmentedCards, FilesInTwoPiecesComeBackWholeWithTheirNames) {
    LK_REQUIRE_FFMPEG();
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;  // 4 KB clusters
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::string dir = "DCIM/100CANON/";
    std::map<std::string, std::vector<std::uint8_t>> stays;
    for (int i = 1; i <= 6; ++i) {
        const std::string name = dir + "IMG_000" + std::to_string(i) + ".JPG";
        const auto picture = camera_picture(std::uint32_t(i), 800 + 64 * i, 600);
        card.add_file(name, picture);
        if (i != 2 && i != 4) stays[name] = picture;
    }
    const std::size_t hole = card.clusters(dir + "IMG_0002.JPG").size();
    card.delete_file(dir + "IMG_0002.JPG");
    card.delete_file(dir + "IMG_0004.JPG");
    const auto picture = camera_picture(7, 1280, 960);
    ASSERT_GT(picture.size(), hole * 4096) << "the new picture must not fit the first hole";
    card.add_file(dir + "IMG_0007.JPG", picture);
    MediaOptions mo;
    mo.seconds = 3;
    mo.width = 320;
    mo.height = 240;
    const auto movie = make_media(MediaKind::mp4, mo);
    card.add_file(dir + "MVI_0008.MP4", movie);
    // The chains before the format: each new file in two pieces.
    const auto picture_runs = runs_of(card.clusters(dir + "IMG_0007.JPG"));
    const auto movie_runs = runs_of(card.clusters(dir + "MVI_0008.MP4"));
    ASSERT_EQ(picture_runs.size(), 2u);
    ASSERT_EQ(movie_runs.size(), 2u);
    std::vector<std::uint32_t> folders = card.clusters("DCIM");
    for (std::uint32_t c : card.clusters("DCIM/100CANON")) folders.push_back(c);
    card.quick_format();

    auto back = recover(card.path(), "out");
    EXPECT_EQ(back[picture], "FOUND/100CANON/IMG_0007.JPG");
    EXPECT_EQ(back[movie], "FOUND/100CANON/MVI_0008.MP4");
    for (const auto& [name, bytes] : stays)
        EXPECT_EQ(back[bytes], "FOUND/100CANON/" + name.substr(dir.size()));
    // Marked as put together from the pieces the chain had.
    std::map<std::string, std::vector<std::pair<std::uint32_t, std::uint32_t>>> pieces;
    for (const dir_t* f : files()) pieces[display_name(*f)] = pieces_of(h->engine, *f);
    EXPECT_EQ(pieces["IMG_0007.JPG"], picture_runs);
    EXPECT_EQ(pieces["MVI_0008.MP4"], movie_runs);
    EXPECT_TRUE(pieces["IMG_0001.JPG"].empty());
    EXPECT_NE(h->reporter.traces.find("join IMG_0007.JPG"), std::string::npos);

    // The same card with its folders wiped as well: no entry is left, and
    // the picture is put together by its content alone.
    for (std::uint32_t c : folders) card.zero(card.formatted_layout().cluster_offset(c), 4096);
    back = recover(card.path(), "wiped");
    ASSERT_TRUE(back.count(picture)) << "the picture did not come back whole";
    EXPECT_TRUE(back[picture].starts_with("FOUND/V")) << back[picture];
    for (const auto& [name, bytes] : stays) EXPECT_TRUE(back.count(bytes)) << name;
}

// No entry and no whole file between the pieces: the first piece runs into a
// whole picture, then come a cluster of another file's data and a wiped one,
// then the rest of the picture. Its content alone puts it together.
TEST_F(FragmentedCards, PictureIsJoinedByItsContent) {
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const auto picture = camera_picture(41, 1024, 768);
    const std::size_t head = picture.size() / 4096 / 2 * 4096;
    std::uint32_t cluster = 10;
    card.write_at_cluster(cluster, 0, std::span(picture).first(head));
    cluster += std::uint32_t(head / 4096);
    const auto whole = camera_picture(42, 640, 480);
    card.write_at_cluster(cluster, 0, whole);
    cluster += std::uint32_t((whole.size() + 4095) / 4096);
    std::vector<std::uint8_t> other(4096);
    for (std::size_t i = 0; i < other.size(); ++i) other[i] = std::uint8_t(i * 7919 >> 3);
    card.write_at_cluster(cluster, 0, other);
    cluster += 2;  // and a zero cluster
    card.write_at_cluster(cluster, 0, std::span(picture).subspan(head));
    const std::uint32_t second = cluster;

    auto back = recover(card.path(), "out");
    ASSERT_TRUE(back.count(picture)) << "the picture was not put together";
    EXPECT_TRUE(back.count(whole));
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pieces;
    for (const dir_t* f : files())
        if (!pieces_of(h->engine, *f).empty()) pieces = pieces_of(h->engine, *f);
    EXPECT_EQ(pieces, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                          {10, std::uint32_t(head / 4096)},
                          {second, std::uint32_t((picture.size() - head + 4095) / 4096)}}));
    EXPECT_NE(h->reporter.traces.find("join_jpeg_pieces: 1 joined"), std::string::npos);
}

// Pictures in pieces one after another, each around a whole picture: the
// checks of the later ones are made ahead on a thread of their own while
// the first is checked, and every picture comes back whole all the same.
TEST_F(FragmentedCards, PicturesInPiecesOneAfterAnotherComeBackWhole) {
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    std::vector<std::vector<std::uint8_t>> cut, whole;
    std::uint32_t cluster = 10;
    for (std::uint32_t k = 0; k < 4; ++k) {
        cut.push_back(camera_picture(50 + k, 1024, 768));
        whole.push_back(camera_picture(60 + k, 640, 480));
        const std::size_t head = cut[k].size() / 4096 / 2 * 4096;
        card.write_at_cluster(cluster, 0, std::span(cut[k]).first(head));
        cluster += std::uint32_t(head / 4096);
        card.write_at_cluster(cluster, 0, whole[k]);
        cluster += std::uint32_t((whole[k].size() + 4095) / 4096);
        card.write_at_cluster(cluster, 0, std::span(cut[k]).subspan(head));
        cluster += std::uint32_t((cut[k].size() - head + 4095) / 4096);
    }

    auto back = recover(card.path(), "out");
    for (std::uint32_t k = 0; k < 4; ++k) {
        EXPECT_TRUE(back.count(cut[k])) << "picture " << k << " in pieces";
        EXPECT_TRUE(back.count(whole[k])) << "whole picture " << k;
    }
    std::size_t joined = 0;
    for (const dir_t* f : files()) joined += pieces_of(h->engine, *f).size() == 2;
    EXPECT_EQ(joined, 4u);
    EXPECT_NE(h->reporter.traces.find("pictures in pieces checked ahead: 3 planned, 3 used"), std::string::npos)
        << h->reporter.traces;
}

// A picture whose second piece is gone, followed on the card by the data of
// other pictures of the same camera and size whose first clusters were
// overwritten: those are the only candidate second pieces, and none of them
// may be joined to it.
TEST_F(FragmentedCards, NoPictureIsJoinedToAnotherOnesData) {
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const auto cut = camera_picture(31, 1024, 768);
    const std::size_t head = cut.size() / 4096 / 2 * 4096;
    std::uint32_t cluster = 10;
    card.write_at_cluster(cluster, 0, std::span(cut).first(head));
    cluster += std::uint32_t(head / 4096);
    // A whole picture where the rest of the first one was.
    const auto whole = camera_picture(32, 640, 480);
    card.write_at_cluster(cluster, 0, whole);
    cluster += std::uint32_t(whole.size() / 4096 + 1);
    // Three pictures like the first, their first cluster zeroed.
    for (std::uint32_t seed = 33; seed < 36; ++seed) {
        const auto other = camera_picture(seed, 1024, 768);
        card.write_at_cluster(cluster, 0, other);
        card.zero(card.formatted_layout().cluster_offset(cluster), 4096);
        cluster += std::uint32_t(other.size() / 4096 + 1);
    }

    auto back = recover(card.path(), "out");
    EXPECT_TRUE(back.count(whole));
    EXPECT_FALSE(back.count(cut));
    for (const dir_t* f : files())
        EXPECT_TRUE(pieces_of(h->engine, *f).empty()) << display_name(*f) << " was put together";
    EXPECT_EQ(h->reporter.traces.find("\njoin "), std::string::npos) << h->reporter.traces;
}

// Motion JPEG movies hold complete JPEG pictures; padded so that one of them
// starts a cluster, where the carving index sees it (others may start at a
// sector inside a cluster). The movie comes back whole and no picture is cut out of it.
TEST_F(FragmentedCards, PicturesInsideMoviesStayInTheMovie) {
    LK_REQUIRE_FFMPEG();
    const test::TempDir work;
    const std::filesystem::path mov = work.path() / "mjpeg.mov";
    run_checked({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=d=2:s=320x240:r=10",
                 "-c:v", "mjpeg", "-q:v", "3", mov.string()});
    MediaOptions mo;
    mo.seconds = 2;
    mo.width = 320;
    mo.height = 240;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> movies = {
        {"AVI", make_media(MediaKind::avi_mjpeg, mo)}, {"MOV", read_whole(mov)}};
    for (auto& [ext, movie] : movies) {
        SCOPED_TRACE(ext);
        // The second frame to a cluster's start.
        auto frames = frames_of(movie);
        ASSERT_GE(frames.size(), 4u);
        const std::size_t to_cluster = (4096 - frames[1] % 4096) % 4096;
        if (ext == "AVI")
            pad_avi(movie, to_cluster);
        else
            pad_mov(movie, to_cluster < 8 ? to_cluster + 4096 : to_cluster);
        frames = frames_of(movie);
        ASSERT_EQ(frames[1] % 4096, 0u);
    }

    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "movies.img", o);
    card.add_file("DCIM/100CANON/MVI_0001.AVI", movies[0].second);
    card.add_file("DCIM/100CANON/MVI_0002.MOV", movies[1].second);
    const auto picture = camera_picture(9, 640, 480);
    card.add_file("DCIM/100CANON/IMG_0003.JPG", picture);
    std::vector<std::uint32_t> folders = card.clusters("DCIM");
    for (std::uint32_t c : card.clusters("DCIM/100CANON")) folders.push_back(c);
    card.quick_format();
    for (std::uint32_t c : folders) card.zero(card.formatted_layout().cluster_offset(c), 4096);

    auto back = recover(card.path(), "out");
    for (const auto& [ext, movie] : movies)
        EXPECT_TRUE(back.count(movie)) << ext << " did not come back whole";
    EXPECT_TRUE(back.count(picture));
    // Nothing else: no frame carved as a picture of its own.
    EXPECT_EQ(files().size(), 3u);
    for (const dir_t* f : files()) EXPECT_TRUE(pieces_of(h->engine, *f).empty()) << display_name(*f);
}

// The sequential read of an image file (runs of megabytes read ahead on a
// thread of its own) and of the same card held in memory give the same
// catalogue, to the cluster.
TEST_F(FragmentedCards, ImageFileAndMemoryGiveTheSameCatalogue) {
    FatOptions o;
    o.image_size = 32u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);
    const std::string dir = "DCIM/100CANON/";
    for (int i = 1; i <= 5; ++i)
        card.add_file(dir + "IMG_000" + std::to_string(i) + ".JPG",
                      camera_picture(std::uint32_t(60 + i), 640 + 64 * i, 480));
    card.delete_file(dir + "IMG_0002.JPG");
    card.add_file(dir + "IMG_0006.JPG", camera_picture(66, 1280, 960));  // in two pieces
    card.quick_format();

    auto describe = [](EngineHarness& run) {
        std::vector<const dir_t*> all;
        files_of(run.engine.cat.root, all);
        std::vector<std::string> lines;
        for (const dir_t* f : all) {
            std::string pieces;
            for (const auto& [first, count] : pieces_of(run.engine, *f)) pieces += format(" %u+%u", first, count);
            lines.push_back(format("%s %llu %u %d%s", display_name(*f),
                                   static_cast<unsigned long long>(item_size(*f)),
                                   f->entry.first_cluster(run.engine.wide_clusters()), f->shift, pieces));
        }
        return lines;
    };
    EngineHarness file;
    ASSERT_TRUE(file.open_file(card.path().string()));
    ASSERT_EQ(file.analyse(), AnalysisResult::Finished);
    EngineHarness memory;
    ASSERT_TRUE(memory.open_memory(slurp(card.path())));
    ASSERT_EQ(memory.analyse(), AnalysisResult::Finished);
    const auto lines = describe(file);
    EXPECT_GE(lines.size(), 5u);
    EXPECT_EQ(lines, describe(memory));
    EXPECT_NE(file.reporter.traces.find("join IMG_0006.JPG"), std::string::npos);
}

}  // namespace
}  // namespace lk
