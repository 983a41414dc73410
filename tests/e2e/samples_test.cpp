// Real camera and application files on a formatted card: each is carved and
// named by its content (raw makers, compound document kinds) at the size its
// format defines.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/recovery_check.hpp"
#include "tests/support/testdata.hpp"
#include "tools/jpeg_maker.hpp"

namespace lk {
namespace {

using namespace lk::test;

TEST(Samples, CarvedAndNamedByTheirContent) {
    LK_REQUIRE_TESTDATA();
    LK_REQUIRE_FAT_TOOLS();
    test::TempDir tmp;
    FatOptions o;
    o.image_size = 64u << 20;
    o.sectors_per_cluster = 8;
    FatImage card = FatImage::create(tmp / "card.img", o);

    struct Sample {
        const char* file;
        const char* extension;  // what carving names it
        std::size_t size = 0;   // when not the whole file
    } samples[] = {
        {"canon_crw_powershot_s40.crw", "CRW"},
        {"word97_sample.doc", "DOC"},  // compound files end with their last sector in use
        {"excel_biff5_book.xls", "XLS"},
        {"excel_biff8_workbook.xls", "XLS"},
        {"powerpoint_sample.ppt", "PPT"},
        {"visio_sample.vsd", "VSD"},
        {"msi_installer_sample.msi", "MSI"},
        {"nikon_nef_stub.nef",
         "NEF"},  // TIFF-based raw files end with their last directory or data
        {"pentax_pef_stub.pef", "PEF"},
        {"canon_cr2_stub.cr2", "CR2", 8706},  // its last 18 bytes are no part of the TIFF structure
        {"pdf_incremental_update.pdf", "PDF", 8022},  // cut after the first %%EOF past 1,024
        {"canon_camera_mjpeg.avi", "AVI"},
        {"olympus_camera_voice.wav", "WAV", 32216},  // the RIFF size; four bytes trail the file
        {"rtf_sample.rtf", "RTF"},
        {"png_sample.png", "PNG"},
        {"gif89a_camera_sample.gif", "GIF"},
        {"bmp_sample.bmp", "BMP"},
        {"photoshop_sample.psd", "PSD"},
        {"mp3_id3v23_sample.mp3", "MP3"},
        {"kodak_kdc_dc120.kdc", "KDC"},
    };
    std::map<std::string, std::vector<std::uint8_t>> originals;
    int n = 0;
    for (const Sample& s : samples) {
        auto bytes = read_file(testdata(s.file));
        ASSERT_FALSE(bytes.empty()) << s.file;
        originals[s.file] = bytes;
        card.add_file("F" + std::to_string(n++) + ".BIN", bytes);
    }
    // A small picture beside a CRW is its thumbnail.
    const auto thumbnail = tools::encode_jfif(160, 120, 75, 9);
    ASSERT_LT(thumbnail.size(), 20480u);
    card.add_file("THUMB.BIN", thumbnail);
    card.quick_format();

    EngineHarness h;
    ASSERT_TRUE(h.open_file(card.path().string()));
    ASSERT_EQ(h.analyse(), AnalysisResult::Finished);
    const dir_t* found = h.engine.cat.found();
    ASSERT_NE(found, nullptr);

    // Every carved item starts at its file's first cluster: match them by the
    // first bytes the save reads.
    const auto out = tmp / "out";
    std::filesystem::create_directories(out);
    ASSERT_FALSE(save_all(h, out).failed());
    std::map<std::string, std::vector<std::uint8_t>> saved;  // name -> bytes
    for (const auto& [path, file] : files_under(out)) saved[path] = slurp(file);

    for (const Sample& s : samples) {
        SCOPED_TRACE(s.file);
        const auto& want = originals[s.file];
        const std::size_t size = s.size ? s.size : want.size();
        bool matched = false;
        for (const auto& [path, bytes] : saved) {
            if (bytes.size() < std::min<std::size_t>(size, 4096) ||
                !std::equal(bytes.begin(), bytes.begin() + std::min<std::size_t>(size, 4096), want.begin()))
                continue;
            matched = true;
            EXPECT_EQ(path.substr(path.size() - 3), s.extension) << path;
            EXPECT_TRUE(bytes.size() == size &&
                        std::equal(bytes.begin(), bytes.end(), want.begin()))
                << path << " is " << bytes.size() << " bytes";
        }
        EXPECT_TRUE(matched);
    }
    bool thm = false;
    for (const auto& [path, bytes] : saved) thm = thm || (bytes == thumbnail && path.ends_with(".THM"));
    EXPECT_TRUE(thm) << "the small JPEG beside the CRW is not a THM";
}

}  // namespace
}  // namespace lk
