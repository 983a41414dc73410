// lumenkeeper-cli recover on a 2 GB exFAT card as a camera leaves it: 500
// pictures in DCIM folders and 3 movies, 100 pictures deleted; then the same
// card quick-formatted by mkfs.exfat.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "tests/cli/catalogue_json.hpp"
#include "tests/support/exfat_builder.hpp"
#include "tests/support/media.hpp"
#include "tests/support/testdata.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;
namespace fs = std::filesystem;

ProcessResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), LK_CLI_PATH);
    return run_process(args);  // TZ=UTC: the card's times are UTC
}

TEST(ExfatRecover, CameraCardLiveDeletedAndFormatted) {
    LK_REQUIRE_EXFAT_TOOLS();
    LK_REQUIRE_FFMPEG();
    test::TempDir tmp;
    ExfatOptions o;
    o.image_size = 2ull << 30;
    ExfatImage card = ExfatImage::create(tmp / "card.img", o);
    std::time_t t = FatImage::default_mtime();
    for (int i = 1; i <= 500; ++i) {
        tools::JpegOptions j;
        j.seed = static_cast<std::uint32_t>(i);
        j.width = 480 + 32 * (i % 8);
        j.height = 360;
        tools::ExfatFileOptions f;
        f.mtime = t + 61 * i;
        char name[64];
        std::snprintf(name, sizeof name, "DCIM/%dCANON/IMG_%04d.JPG", 100 + (i - 1) / 100, i);
        card.add_file(name, tools::make_jpeg(j), f);
    }
    const MediaKind movies[] = {MediaKind::mov, MediaKind::mp4, MediaKind::avi_mjpeg};
    for (int k = 0; k < 3; ++k) {
        MediaOptions mo;
        mo.seconds = 3;
        mo.width = 320;
        mo.height = 240;
        tools::ExfatFileOptions f;
        f.mtime = t + 100'000 + k;
        card.add_file(
            "DCIM/105CANON/MVI_000" + std::to_string(k + 1) + "." + media_extension(movies[k]),
            make_media(movies[k], mo), f);
    }
    for (int i = 5; i <= 500; i += 5) {
        char name[64];
        std::snprintf(name, sizeof name, "DCIM/%dCANON/IMG_%04d.JPG", 100 + (i - 1) / 100, i);
        card.remove(name);
    }
    ASSERT_EQ(card.deleted_files().size(), 100u);

    const fs::path out = tmp / "out", json = tmp / "catalogue.json";
    ProcessResult r =
        cli({"recover", card.path().string(), "--output", out.string(), "--json", json.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Live and deleted files alike: at their paths with their whole names,
    // byte for byte, with their times.
    for (const CardFile& f : card.files()) {
        SCOPED_TRACE(f.path);
        const fs::path saved = out / f.path;
        ASSERT_TRUE(fs::is_regular_file(saved));
        EXPECT_TRUE(read_file(saved) == f.bytes);
        struct stat st {};
        ASSERT_EQ(::stat(saved.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, f.mtime / 2 * 2);
    }
    EXPECT_FALSE(fs::exists(out / "FOUND"));  // nothing needed carving
    const nlohmann::json catalogue = test::read_catalogue(json);
    const nlohmann::json deleted = test::catalogue_item(catalogue, "DCIM/100CANON/IMG_0005.JPG");
    EXPECT_EQ(deleted.value("entry", ""), "deleted") << catalogue.dump();
    EXPECT_EQ(deleted.value("exfat_set", false), true);
    EXPECT_EQ(deleted.value("checksum_verified", false), true);

    // Quick-formatted: every picture and movie comes back by its content.
    card.quick_format();
    const fs::path formatted = tmp / "formatted";
    r = cli({"recover", card.path().string(), "--output", formatted.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::set<std::vector<std::uint8_t>> saved;
    for (const auto& e : fs::recursive_directory_iterator(formatted))
        if (e.is_regular_file()) saved.insert(read_file(e.path()));
    for (const CardFile& f : card.files())
        EXPECT_TRUE(saved.count(f.bytes)) << f.path << " did not come back whole";
}

TEST(ExfatRecover, FilesOfFiveGibibytesAreListedWhole) {
    LK_REQUIRE_EXFAT_TOOLS();
    test::TempDir tmp;
    ExfatOptions o;
    o.image_size = 5'500ull << 20;  // sparse: only what is written takes room
    ExfatImage card = ExfatImage::create(tmp / "card.img", o);
    card.writer().add_sparse_file("DCIM/100CANON/MVI_0001.MP4", 0x140000000, noise(4096, 1),
                                  noise(4096, 2));
    const fs::path json = tmp / "catalogue.json";
    const ProcessResult r =
        cli({"recover", card.path().string(), "--list", "--json", json.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("    MVI_0001.MP4  5,368,709,120\n"), std::string::npos) << r.out;
    const nlohmann::json catalogue = test::read_catalogue(json);
    EXPECT_EQ(test::catalogue_item(catalogue, "DCIM/100CANON/MVI_0001.MP4").value("size", 0ull),
              5'368'709'120ull)
        << catalogue.dump();
}

}  // namespace
}  // namespace lk
