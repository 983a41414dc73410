#include "formats/identify.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "formats/containers.hpp"
#include "formats/jpeg.hpp"
#include "formats/office.hpp"
#include "formats/pictures.hpp"
#include "formats/signatures.hpp"
#include "formats/sound.hpp"
#include "formats/tiff.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

// A sector of zeros with the given bytes placed at their offsets.
struct Sector {
    Buffer b = Buffer(512, 0);
    Sector& at(std::size_t off, std::string_view bytes) {
        if (b.size() < off + bytes.size()) b.resize(off + bytes.size());
        std::memcpy(b.data() + off, bytes.data(), bytes.size());
        return *this;
    }
    Sector& le32(std::size_t off, std::uint32_t v) {
        store_le32(b.data() + off, v);
        return *this;
    }
};

Sector bmp(std::uint32_t file_size = 22554, std::uint32_t reserved = 0, std::uint32_t pixels = 54,
           std::uint32_t header = 40, std::uint32_t width = 100, std::uint32_t height = 75) {
    return Sector()
        .at(0, "BM")
        .le32(2, file_size)
        .le32(6, reserved)
        .le32(10, pixels)
        .le32(14, header)
        .le32(18, width)
        .le32(22, height);
}

TEST(Identify, HeaderTable) {
    struct Case {
        const char* what;
        Buffer data;
        std::string_view tag;
    };
    const std::string_view mpeg_pack =
        "\x00\x00\x01\xBA\x21\x00\x01\x00\x01\x80\x03\x91\x00\x00\x01\xBB\x00\x0C\x80\x00\x01\x00\x21\xFF"sv;
    const Case cases[] = {
        {"raw", Sector().at(0, "MMMMRawT").b, "RAW"},
        {"compound", Sector().at(0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1").b, kCompoundMarker},
        {"rtf", Sector().at(0, "{\\rtf1\\ansi").b, "RTF"},
        {"rtf without backslash after rtf1", Sector().at(0, "{\\rtf1 ").b, ""},
        {"png", Sector().at(0, "\x89PNG\r\n\x1A\n").b, "PNG"},
        {"id3 v2.3", Sector().at(0, "ID3\x03").b, "MP3"},
        {"id3 v2.4", Sector().at(0, "ID3\x04").b, "MP3"},
        {"id3 v2.2", Sector().at(0, "ID3\x02").b, ""},
        {"id3 revision not 0", Sector().at(0, "ID3\x03\x01").b, ""},
        {"bmp", bmp().b, "BMP"},
        {"exif jpeg", Sector().at(0, "\xFF\xD8\xFF\xE1\x15\xFE\x45xif").b, "JPG"},
        {"jfif jpeg", Sector().at(0, "\xFF\xD8\xFF\xE0\x00\x10JFIF"sv).b, "JPG"},
        {"jfxx jpeg", Sector().at(0, "\xFF\xD8\xFF\xE0\x00\x10JFXX"sv).b, "JPG"},
        {"jfif not terminated", Sector().at(0, "\xFF\xD8\xFF\xE0\x00\x10JFIFx"sv).b, ""},
        {"jpeg without app0/app1", Sector().at(0, "\xFF\xD8\xFF\xDB").b, ""},
        {"gif89a+", Sector().at(0, "GIF89a+").b, "GIF"},
        {"gif89a other 7th byte", Sector().at(0, "GIF89a\xA0").b, ""},
        {"gif87a without a height", Sector().at(0, "GIF87a+").b, ""},
        {"avi", Sector().at(0, "RIFF").at(8, "AVI LIST").b, "AVI"},
        {"wav", Sector().at(0, "RIFF").at(8, "WAVE").b, "WAV"},
        {"riff of another form", Sector().at(0, "RIFF").at(8, "CDXA").b, ""},
        {"dss", Sector().at(0, "\x02\x64ss\x01\x00\x01\x00\x02\x00\x00\x00\x44S-1"sv).b, "DSS"},
        {"ftyp", Sector().at(4, "ftyp").b, "MOV"},
        {"mdat", Sector().at(4, "mdat").b, "MOV"},
        {"moov", Sector().at(4, "moov").b, "MOV"},
        {"pnot", Sector().at(4, "pnot").b, "MOV"},
        {"skip", Sector().at(4, "skip").b, "MOV"},
        {"wide is not a first atom", Sector().at(4, "wide").b, ""},
        {"asf",
         Sector().at(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv).b,
         "ASF"},
        {"mpeg-1 pack + system header", Sector().at(0, mpeg_pack).b, "MPG"},
        {"mpeg-2 pack", Sector().at(0, "\x00\x00\x01\xBA\x44"sv).at(12, "\x00\x00\x01\xBB"sv).b,
         ""},
        {"tiff II 42", Sector().at(0, "II\x2A\x00\x08\x00\x00\x00"sv).b, "TIF"},
        {"tiff MM 42", Sector().at(0, "MM\x00\x2A\x00\x00\x00\x08"sv).b, "TIF"},
        {"tiff II 85", Sector().at(0, "II\x55\x00\x08\x00\x00\x00"sv).b, "TIF"},
        {"tiff IIRO", Sector().at(0, "IIRO\x08\x00\x00\x00"sv).b, "TIF"},
        {"tiff IIRS", Sector().at(0, "IIRS\x08\x00\x00\x00"sv).b, "TIF"},
        {"tiff MMOR", Sector().at(0, "MMOR\x00\x00\x00\x08"sv).b, "TIF"},
        {"tiff directory at 7", Sector().at(0, "II\x2A\x00\x07\x00\x00\x00"sv).b, ""},
        {"tiff directory at 0", Sector().at(0, "II\x2A\x00\x00\x00\x00\x00"sv).b, ""},
        {"tiff mixed byte order", Sector().at(0, "IM\x2A\x00\x08\x00\x00\x00"sv).b, ""},
        {"crw little-endian", Sector().at(0, "II\x1A\x00\x00\x00HEAPCCDR"sv).b, "CRW"},
        {"crw big-endian", Sector().at(0, "MM\x00\x00\x00\x1A"sv).b, "CRW"},
        {"mrw", Sector().at(0, "\x00MRM\x00"sv).b, "MRW"},
        {"raf", Sector().at(0, "FUJIFILMCCD-RAW 0201").b, "RAF"},
        {"x3f 2.1", Sector().at(0, "FOVb\x01\x00\x02\x00"sv).b, "X3F"},
        {"x3f 2.2", Sector().at(0, "FOVb\x02\x00\x02\x00"sv).b, ""},
        {"rdc", Sector().at(0, "DSC-Image <C> by Rollei Fototechnic, Braunschweig").b, "RDC"},
        {"pdf", Sector().at(0, "%PDF-1.4\n").b, "PDF"},
        {"psd", Sector().at(0, "8BPS\x00\x01\x00\x00\x00\x00\x00\x00\x00\x03"sv).b, "PSD"},
        {"psd with 256+ channels", Sector().at(0, "8BPS\x00\x01\x00\x00\x00\x00\x00\x00\x01"sv).b,
         ""},
        {"mts", Sector().at(4, "\x47").at(215, "HDMV").b, "MTS"},
        {"mts without HDMV", Sector().at(4, "\x47").b, ""},
        // Order: bytes 4-7 are tested for QuickTime before the TIFF test,
        // the JPEG test before QuickTime, the PDF search before PSD and MTS.
        {"tiff whose offset reads ftyp", Sector().at(0, "II*\0ftyp"sv).b, "MOV"},
        {"jpeg whose bytes 4-7 read ftyp", Sector().at(0, "\xFF\xD8\xFF\xE1\x66typ").b, "JPG"},
        {"psd holding a pdf header",
         Sector().at(0, "8BPS\x00\x01\x00\x00\x00\x00\x00\x00\x00\x03"sv).at(300, "%PDF-1.3").b,
         "PDF"},
        {"mts holding a pdf header", Sector().at(4, "\x47").at(215, "HDMV").at(300, "%PDF-1.3").b,
         "PDF"},
        {"zeros", Sector().b, ""},
        // Appended after MTS: ZIP, Ogg, FLAC, wide GIF, wide DSS, text.
        {"zip local header",
         Sector().at(0, "PK\x03\x04\x14\0\0\0\x08\0"sv).at(26, "\x08\0\0\0mimetype"sv).b, "ZIP"},
        {"zip stored", Sector().at(0, "PK\x03\x04\x0A\0\0\0\0\0"sv).at(26, "\x01\0\0\0a"sv).b,
         "ZIP"},
        {"zip method 12", Sector().at(0, "PK\x03\x04\x14\0\0\0\x0C\0"sv).at(26, "\x01\0\0\0a"sv).b,
         ""},
        {"zip version 64", Sector().at(0, "PK\x03\x04\x40\0\0\0\x08\0"sv).at(26, "\x01\0\0\0a"sv).b,
         ""},
        {"zip without a name", Sector().at(0, "PK\x03\x04\x14\0\0\0\x08\0"sv).b, ""},
        {"zip name with a control byte",
         Sector().at(0, "PK\x03\x04\x14\0\0\0\x08\0"sv).at(26, "\x02\0\0\0a\x01"sv).b, ""},
        {"ogg first page", Sector().at(0, "OggS\0\x02"sv).at(26, "\x01"sv).b, "OGG"},
        {"ogg page not first", Sector().at(0, "OggS\0\x00"sv).at(26, "\x01"sv).b, ""},
        {"ogg granule not 0", Sector().at(0, "OggS\0\x02\x01"sv).at(26, "\x01"sv).b, ""},
        {"ogg without segments", Sector().at(0, "OggS\0\x02"sv).b, ""},
        {"flac", Sector().at(0, "fLaC\0\0\0\x22"sv).b, "FLA"},
        {"flac streaminfo marked last", Sector().at(0, "fLaC\x80\0\0\x22"sv).b, "FLA"},
        {"flac other block first", Sector().at(0, "fLaC\x04\0\0\x22"sv).b, ""},
        {"gif87a", Sector().at(0, "GIF87a\x10\0\x10\0\x80"sv).b, "GIF"},
        {"gif89a no global table, image", Sector().at(0, "GIF89a\x10\0\x10\0\0\0\0\x2C"sv).b,
         "GIF"},
        {"gif89a no global table, junk", Sector().at(0, "GIF89a\x10\0\x10\0\0\0\0\x00"sv).b, ""},
        {"gif zero width", Sector().at(0, "GIF87a\0\0\x10\0\x80"sv).b, ""},
        {"dss version 3", Sector().at(0, "\x03\x64ss\x01\0\x01\0\x02\0\0\0DS23"sv).b, "DSS"},
        {"dss version 2 other recorder", Sector().at(0, "\x02\x64ss"sv).b, "DSS"},
        {"text", Sector().at(0, std::string(511, 'a') + "\n").b, "TXT"},
        {"text led by a BOM", Sector().at(0, "\xEF\xBB\xBF" + std::string(508, 'b') + "\n").b,
         "TXT"},
        {"text without a line feed", Sector().at(0, std::string(512, 'a')).b, ""},
        {"text led by a blank", Sector().at(0, " " + std::string(510, 'a') + "\n").b, ""},
        {"text with a zero", Sector().at(0, std::string(300, 'a') + "\n" + std::string(100, 'a')).b,
         ""},
        {"text with a bad UTF-8 byte",
         Sector().at(0, std::string(300, 'a') + "\n\xE9" + std::string(210, 'a')).b, ""},
        // An earlier test wins: text passing a header test keeps that tag.
        {"rtf that is text", Sector().at(0, "{\\rtf1\\" + std::string(504, 'a') + "\n").b, "RTF"},
        {"pdf that is text", Sector().at(0, "%PDF-1.4\n" + std::string(503, 'a')).b, "PDF"},
    };
    for (const Case& c : cases) EXPECT_EQ(identify_header(c.data), c.tag) << c.what;
}

TEST(Identify, BmpFieldsAreCheckedAndReadWithinTheBuffer) {
    struct Case {
        const char* what;
        Buffer data;
    };
    const Case rejected[] = {
        {"file size 40,960,000", bmp(40'960'000, 0, 54, 40, 100, 75).b},
        {"reserved word set", bmp(22554, 1).b},
        {"pixel data inside the header", bmp(22554, 0, 53).b},
        {"pixel data past the file", bmp(22554, 0, 22554).b},
        {"header size 11", bmp(22554, 0, 54, 11).b},
        {"header size 257", bmp(22554, 0, 54, 257).b},
        {"width 0", bmp(22554, 0, 54, 40, 0).b},
        {"width 10,001", bmp(22554, 0, 54, 40, 10'001).b},
        {"negative (bottom-up) height", bmp(22554, 0, 54, 40, 100, 0xFFFFFFB5).b},
    };
    for (const Case& c : rejected) EXPECT_EQ(identify_header(c.data), "") << c.what;

    Buffer whole = bmp().b;
    EXPECT_EQ(identify_header(Bytes(whole).first(26)), "BMP");
    EXPECT_EQ(identify_header(Bytes(whole).first(25)), "") << "height cut by the buffer's end";
}

TEST(Identify, ShortBuffersFailTheTestsThatWouldReadPastThem) {
    const std::string_view heads[] = {
        "\xFF\xD8\xFF"sv,
        "\xFF\xD8\xFF\xE0\x00\x10JFI"sv,
        "II\x2A\x00\x08\x00\x00"sv,
        "RIFF\0\0\0\0AV"sv,
        "FOVb\x01\x00\x02"sv,
        "\x00\x00\x01\xBA\x21"sv,
        "ID3\x03"sv,
        "    \x47"sv,
    };
    for (auto h : heads) {
        Bytes data(reinterpret_cast<const std::uint8_t*>(h.data()), h.size());
        EXPECT_EQ(identify_header(data), "") << h.size() << " bytes";
    }
    EXPECT_EQ(identify_header(Bytes{}), "");
}

TEST(Identify, PdfSearchWindow) {
    struct Case {
        std::size_t length;
        std::size_t offset;
        std::string_view text;
        bool found;
    };
    // A pattern of n bytes may start at j < min(length, 1024) - n.
    const Case cases[] = {
        {1024, 1000, "%PDF-1.4", true},
        {1024, 1015, "%PDF-1.4", true},
        {1024, 1016, "%PDF-1.4", false},
        {4096, 1015, "%PDF-1.4", true},
        {4096, 1016, "%PDF-1.4", false},  // the window is capped at 1,024 bytes
        {600, 591, "%PDF-1.4", true},
        {600, 592, "%PDF-1.4", false},
        {8, 0, "%PDF-1.4", false},  // a pattern as long as the buffer is skipped
        {9, 0, "%PDF-1.4", true},
        {1024, 100, "%PDF-x.4", false},
        {1024, 100, "%PDF-1x4", false},
        {1024, 0, "%!PS-Adobe-3.0 PDF-1.3", true},
        {1024, 1001, "%!PS-Adobe-3.0 PDF-1.3", true},
        {1024, 1002, "%!PS-Adobe-3.0 PDF-1.3", false},
        {1024, 0, "%!PS-Adobe-3.0 EPSF-3.0", false},
    };
    for (const Case& c : cases) {
        Buffer b(c.length, ' ');
        std::memcpy(b.data() + c.offset, c.text.data(),
                    std::min(c.text.size(), c.length - c.offset));
        EXPECT_EQ(is_pdf_header(b), c.found) << c.text << " at " << c.offset << " of " << c.length;
        EXPECT_EQ(identify_header(b), c.found ? "PDF" : "") << c.text << " at " << c.offset;
    }
    // A sector full of '%' signs: every position is a candidate, none matches.
    EXPECT_FALSE(is_pdf_header(Buffer(4096, '%')));
}

TEST(Identify, SampleFiles) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::string_view tag;
    };
    const Case cases[] = {
        {"3gp_sample.3gp", "MOV"},
        {"adobe_dng_stub.dng", "TIF"},
        {"asf_wmv_sample.wmv", "ASF"},
        {"bmp_sample.bmp", "BMP"},
        {"extra/bmp_camera_sample.bmp", "BMP"},
        {"canon_camera_mjpeg.avi", "AVI"},
        {"canon_cr2_stub.cr2", "TIF"},
        {"canon_crw_powershot_s40.crw", "CRW"},
        {"canon_powershot_s50_exif_thumb.jpg", "JPG"},
        {"excel_biff5_book.xls", kCompoundMarker},
        {"msi_installer_sample.msi", kCompoundMarker},
        {"fujifilm_raf_stub.raf", "RAF"},
        {"gif89a_camera_sample.gif", "GIF"},  // seventh byte is not '+': the wide test
        {"extra/gif89a_camera_sample.gif", "GIF"},
        {"jpeg_xmp_app1_first_SYNTHETIC.jpg", "JPG"},
        {"kodak_kdc_dc120.kdc", "TIF"},
        {"m4a_sample.m4a", "MOV"},
        {"minolta_mrw_stub.mrw", "MRW"},
        {"mp3_id3v23_sample.mp3", "MP3"},
        {"mp3_id3v24_sample.mp3", "MP3"},
        {"mp4_sample.mp4", "MOV"},
        {"nikon_nef_stub.nef", "TIF"},
        {"olympus_camera_voice.wav", "WAV"},
        {"olympus_dss_stub.dss", "DSS"},  // "DS23" at 12, not "DS-1": the wide test
        {"olympus_orf_stub.orf", "TIF"},
        {"panasonic_camera_mjpeg.mov", "MOV"},
        {"panasonic_rw2_stub.rw2", "TIF"},
        {"pdf_incremental_update.pdf", "PDF"},
        {"pentax_pef_stub.pef", "TIF"},
        {"photoshop_sample.psd", "PSD"},
        {"png_sample.png", "PNG"},
        {"rtf_sample.rtf", "RTF"},
        {"sigma_x3f_stub.x3f", ""},  // version 2.2: bytes 4-7 are 02 00 02 00
        {"sony_arw_stub.arw", "TIF"},
        {"sony_avchd_192byte.mts", "MTS"},
        {"sony_camera_mpeg1_ps.mpg", "MPG"},
        {"extra/sony_camera_mpeg1_ps.mpg", "MPG"},
        {"word97_sample.doc", kCompoundMarker},
    };
    for (const Case& c : cases) {
        Buffer data = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(data.empty()) << c.file;
        // Identification sees a sector's worth of the file's start.
        if (data.size() > 512) data.resize(512);
        EXPECT_EQ(identify_header(data), c.tag) << c.file;
    }
}

// Every sample is tagged as it was before the tests for ZIP, Ogg, FLAC, wide
// GIF, wide DSS and text were appended to the table; a sample that had no
// tag may gain one of those. The table was computed with the earlier code,
// on each file's first 64 KiB and on 4 KiB windows at every 512-byte offset
// inside it (as the carver sees a file's later sectors).
TEST(Identify, SamplesKeepTheirEarlierTags) {
    LK_REQUIRE_TESTDATA();
    const std::string_view C = kCompoundMarker;
    const std::map<std::string, std::string_view> before = {
        {"3gp_sample.3gp", "MOV"},
        {"adobe_dng_stub.dng", "TIF"},
        {"asf_wmv_sample.wmv", "ASF"},
        {"bmp_sample.bmp", "BMP"},
        {"canon_camera_mjpeg.avi", "AVI"},
        {"canon_cr2_stub.cr2", "TIF"},
        {"canon_crw_powershot_s40.crw", "CRW"},
        {"canon_powershot_s50_exif_thumb.jpg", "JPG"},
        {"excel_biff5_book.xls", C},
        {"excel_biff8_workbook.xls", C},
        {"extra/3gp_sample.3gp", "MOV"},
        {"extra/adobe_dng_truncated.dng", "TIF"},
        {"extra/asf_wmv_sample.wmv", "ASF"},
        {"extra/bmp_camera_sample.bmp", "BMP"},
        {"extra/camera_quicktime.mov", "MOV"},
        {"extra/canon_cr2_stub.cr2", "TIF"},
        {"extra/canon_crw_powershot_g2.crw", "CRW"},
        {"extra/excel_biff5_book.xls", C},
        {"extra/excel_biff8_workbook.xls", C},
        {"extra/fujifilm_raf_stub.raf", "RAF"},
        {"extra/gif89a_camera_sample.gif", ""},
        {"extra/hp_camera_mjpeg.avi", "AVI"},
        {"extra/jpeg_xmp_app1_first_SYNTHETIC.jpg", "JPG"},
        {"extra/kodak_dc280_exif_thumb.jpg", "JPG"},
        {"extra/kodak_kdc_dc50.kdc", "TIF"},
        {"extra/m2ts_192byte_stub.mts", "MTS"},
        {"extra/m4a_sample.m4a", "MOV"},
        {"extra/mp3_id3v23_sample.mp3", "MP3"},
        {"extra/mp3_id3v24_sample.mp3", "MP3"},
        {"extra/mp4_phone_video.mp4", "MOV"},
        {"extra/msi_installer_putty.msi", C},
        {"extra/nikon_nef_stub.nef", "TIF"},
        {"extra/panasonic_rw2_stub.rw2", "TIF"},
        {"extra/pdf_incremental_update.pdf", "PDF"},
        {"extra/photoshop_sample.psd", "PSD"},
        {"extra/png_sample.png", "PNG"},
        {"extra/powerpoint_sample.ppt", C},
        {"extra/rtf_sample.rtf", "RTF"},
        {"extra/sigma_x3f_stub.x3f", ""},
        {"extra/sony_arw_truncated.arw", "TIF"},
        {"extra/sony_camera_mpeg1_ps.mpg", "MPG"},
        {"extra/visio_sample.vsd", C},
        {"extra/wav_sample.wav", "WAV"},
        {"extra/word_sample.doc", C},
        {"fujifilm_raf_stub.raf", "RAF"},
        {"gif89a_camera_sample.gif", ""},
        {"jpeg_xmp_app1_first_SYNTHETIC.jpg", "JPG"},
        {"kodak_kdc_dc120.kdc", "TIF"},
        {"m4a_sample.m4a", "MOV"},
        {"minolta_mrw_stub.mrw", "MRW"},
        {"mp3_id3v23_sample.mp3", "MP3"},
        {"mp3_id3v24_sample.mp3", "MP3"},
        {"mp4_sample.mp4", "MOV"},
        {"msi_installer_sample.msi", C},
        {"nikon_nef_stub.nef", "TIF"},
        {"olympus_camera_voice.wav", "WAV"},
        {"olympus_dss_stub.dss", ""},
        {"olympus_orf_stub.orf", "TIF"},
        {"panasonic_camera_mjpeg.mov", "MOV"},
        {"panasonic_rw2_stub.rw2", "TIF"},
        {"pdf_incremental_update.pdf", "PDF"},
        {"pentax_pef_stub.pef", "TIF"},
        {"photoshop_sample.psd", "PSD"},
        {"png_sample.png", "PNG"},
        {"powerpoint_sample.ppt", C},
        {"rtf_sample.rtf", "RTF"},
        {"sigma_x3f_stub.x3f", ""},
        {"sony_arw_stub.arw", "TIF"},
        {"sony_avchd_192byte.mts", "MTS"},
        {"sony_camera_mpeg1_ps.mpg", "MPG"},
        {"visio_sample.vsd", C},
        {"word97_sample.doc", C},
    };
    // The only tags the earlier code found inside a sample.
    const std::map<std::pair<std::string, std::size_t>, std::string_view> inside_before = {
        {{"extra/msi_installer_putty.msi", 309760}, "BMP"},
        {{"extra/msi_installer_putty.msi", 772096}, "BMP"},
        {{"panasonic_rw2_stub.rw2", 1536}, "JPG"},
    };
    const std::set<std::string_view> appended = {"ZIP", "OGG", "FLA", "GIF", "DSS", "TXT"};

    std::size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(test::testdata_dir())) {
        if (!e.is_regular_file() || e.path().extension() == ".md") continue;
        const std::string name =
            std::filesystem::relative(e.path(), test::testdata_dir()).generic_string();
        auto it = before.find(name);
        if (it == before.end()) continue;  // a sample added since: nothing to compare with
        ++files;
        const Buffer data = test::read_file(e.path());
        const TypeTag now =
            identify_header(Bytes(data).first(std::min<std::size_t>(data.size(), 65536)));
        if (it->second.empty())
            EXPECT_TRUE(now.empty() || appended.count(now)) << name << " is now " << now;
        else
            EXPECT_EQ(now, it->second) << name;
        for (std::size_t off = 512; off < data.size(); off += 512) {
            const TypeTag inner = identify_header(
                Bytes(data).subspan(off, std::min<std::size_t>(4096, data.size() - off)));
            auto was = inside_before.find({name, off});
            if (was != inside_before.end())
                EXPECT_EQ(inner, was->second) << name << " at " << off;
            else
                EXPECT_TRUE(inner.empty() || appended.count(inner))
                    << name << " at " << off << " is now " << inner;
        }
    }
    EXPECT_EQ(files, before.size());
}

TEST(Identify, UserSignatureComesFirst) {
    SignatureTable table;
    ASSERT_TRUE(table.load_from_text("EXF: FF D8 FF E1 ? ? 45 78 69 66\n", "sig", nullptr));
    const Buffer exif = Sector().at(0, "\xFF\xD8\xFF\xE1\x15\xFE\x45xif").b;
    const Buffer jfif = Sector().at(0, "\xFF\xD8\xFF\xE0\x00\x10JFIF"sv).b;
    EXPECT_EQ(identify_header(exif, &table), "EXF");
    EXPECT_EQ(identify_header(jfif, &table), "JPG");
    EXPECT_EQ(identify_header(exif, nullptr), "JPG");
}

TEST(Identify, ExtensionClasses) {
    constexpr unsigned Doc = 1, Raw = 2, Jpeg = 4, Picture = 8, Iconic = 16, Movie = 32, Sized = 64,
                       Sound = 128;
    struct Case {
        std::string_view tag;
        unsigned classes;
    };
    const Case cases[] = {
        {"JPG", Jpeg | Picture | Sized},
        {"jpg", Jpeg | Picture},  // content-sized compares exactly
        {"Jpeg", Jpeg | Picture},
        {"JXX", Jpeg | Picture},
        {"JPG ", 0},  // a signature name with a blank is its own type
        {"CRW", Raw | Picture | Sized},
        {"crw", Raw | Picture},
        {"X3F", Raw | Picture | Sized},
        {"NEF", Raw | Picture},
        {"rw2", Raw | Picture},
        {"TIF", Picture | Sized},
        {"psd", Picture},
        {"PSD", Picture | Sized},
        {"PNG", Picture | Sized},
        {"HEI", Picture | Sized},
        {"avf", Picture},
        {"CR3", Raw | Picture | Sized},
        {"BMP", Sized},
        {"GIF", Sized},
        {"DSS", 0},
        {"PDF", Doc | Iconic | Sized},
        {"pdf", Doc | Iconic},
        {"doc", Doc},
        {"TAX", Doc},
        {"RTF", Doc | Sized},
        {"TXT", Doc},  // sized in the final run only
        {"ODT", Doc},
        {"ods", Doc},
        {"ODP", Doc},
        {"ODG", Doc},
        {"ZIP", Sized},
        {kCompoundMarker, Doc | Sized},
        {"MPG", Iconic | Movie | Sized},
        {"AVI", Iconic | Movie | Sized},
        {"WAV", Iconic | Sound | Sized},
        {"mp3", Iconic | Sound},
        {"MP3", Iconic | Sound | Sized},
        {"OGG", Sound | Sized},
        {"fla", Sound},
        {"mov", Movie},
        {"MTS", Movie},
        {"3g2", Movie},
        {"M4V", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        const unsigned got =
            (is_document_ext(c.tag) ? Doc : 0u) | (is_raw_ext(c.tag) ? Raw : 0u) |
            (is_jpeg_ext(c.tag) ? Jpeg : 0u) | (is_picture_ext(c.tag) ? Picture : 0u) |
            (is_iconic_ext(c.tag) ? Iconic : 0u) | (is_movie_ext(c.tag) ? Movie : 0u) |
            (is_content_sized_ext(c.tag) ? Sized : 0u) | (is_sound_ext(c.tag) ? Sound : 0u);
        EXPECT_EQ(got, c.classes) << "'" << c.tag << "'";
    }
}

TEST(Identify, SizeLimits) {
    // 5,000 x 1,024,000: a user's movie limit above 4 GiB survives intact.
    const std::uint64_t big_limit = 5'120'000'000;
    struct Case {
        std::string_view tag;
        std::uint64_t max_size;
        std::uint64_t uniform_stop;
    };
    const Case cases[] = {
        {"MOV", big_limit, big_limit},
        {"mts", big_limit, big_limit},  // class tests ignore case
        {"PDF", big_limit, 102'400},    // documents: the movie limit, no movie stop
        {kCompoundMarker, big_limit, 102'400},
        {"M4V", 21'504'000, 102'400},
        {"TIF", 102'400'000, 4'096'000},
        {"tif", 102'400'000, 102'400},  // uniform_stop_size compares exactly
        {"RAF", 102'400'000, 102'400},
        {"X3F", 21'504'000, 4'096'000},
        {"x3f", 21'504'000, 102'400},
        {"CRW", 21'504'000, 1'024'000},
        {"crw", 21'504'000, 102'400},
        {"JPG", 21'504'000, 102'400},
        // A one-hour MP3 (57,600,000 bytes) or WAV (635,040,000) is not cut.
        {"MP3", big_limit, 102'400},
        {"wav", big_limit, 102'400},
        {"OGG", big_limit, 102'400},
        {"FLA", big_limit, 102'400},
        {"ODT", big_limit, 102'400},
        {"ZIP", big_limit, 102'400},  // a package is named DOC, XLS, PPT... after carving
        {"CR3", 102'400'000, 102'400},
        {"HEI", 21'504'000, 102'400},
        {"PNG", 21'504'000, 102'400},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(max_file_size(c.tag, big_limit), c.max_size) << c.tag;
        EXPECT_EQ(uniform_stop_size(c.tag, big_limit), c.uniform_stop) << c.tag;
    }
    EXPECT_EQ(max_file_size("AVI", kDefaultMovieLimit), 716'800'000u);
}

TEST(Identify, ExtensionFieldOfLongOrOddTags) {
    struct Case {
        std::string_view tag;
        std::string_view field;
    };
    const Case cases[] = {
        {"JPG", "JPG"}, {"JPEG", "JPE"}, {"JPG ", "JPG"}, {"ab", "AB "},
        {"", "   "},    {"A.B:", "A_B"}, {"*?x", "__X"},
    };
    for (const Case& c : cases) {
        const auto f = extension_field(c.tag);
        EXPECT_EQ(std::string_view(f.data(), f.size()), c.field) << "'" << c.tag << "'";
    }
}

TEST(Identify, ContentExtentDispatchesByHeader) {
    EXPECT_EQ(content_extent(Bytes{}), 0);
    const Buffer text = Sector().at(0, "hello, world").b;
    EXPECT_EQ(content_extent(text), -1);
    // A RIFF of another form is not identified but is still sized as RIFF.
    Buffer riff = Sector().at(0, "RIFF").le32(4, 12).at(8, "CDXA").at(12, "data").b;
    riff.resize(20);
    EXPECT_EQ(content_extent(riff), 20);

    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::int32_t (*extent)(Bytes);
    };
    // COMPLETE samples of each content-sized kind.
    const Case cases[] = {
        {"canon_powershot_s50_exif_thumb.jpg", jpeg_extent},
        {"canon_crw_powershot_s40.crw", crw_extent},
        {"olympus_camera_voice.wav", riff_extent},
        {"canon_camera_mjpeg.avi", riff_extent},
        {"sony_camera_mpeg1_ps.mpg", mpeg_extent},
        {"pdf_incremental_update.pdf", pdf_extent},
        {"word97_sample.doc", ole2_extent},
        {"rtf_sample.rtf", rtf_extent},
        {"png_sample.png", png_extent},
        {"mp3_id3v23_sample.mp3", mp3_extent},
        {"bmp_sample.bmp", bmp_extent},
        {"gif89a_camera_sample.gif", gif_extent},
        {"kodak_kdc_dc120.kdc", tiff_extent},
        {"photoshop_sample.psd", psd_extent},
    };
    for (const Case& c : cases) {
        const Buffer data = test::read_file(test::testdata(c.file));
        const std::int32_t size = content_extent(data);
        EXPECT_GT(size, 0) << c.file;
        EXPECT_EQ(size, c.extent(data)) << c.file;
    }
}

}  // namespace
}  // namespace lk

namespace lk {
namespace {

// Searching a cluster once for the PDF patterns gives every offset the answer
// its own search would give, also for patterns near the 1,024-byte window's edge.
TEST(IdentifyHeader, PdfHintsAgreeWithTheSearch) {
    std::mt19937 gen(77);
    std::vector<std::uint8_t> cluster(8192);
    for (int round = 0; round < 200; ++round) {
        for (auto& b : cluster) b = static_cast<std::uint8_t>(gen() % 64 + 32);  // many '%' and digits
        for (int i = 0; i < 3; ++i) {
            const std::size_t at = gen() % (cluster.size() - 24);
            const char* text = (gen() & 1) ? "%PDF-1.4" : "%!PS-Adobe-3.0 PDF-1.3";
            std::memcpy(cluster.data() + at, text, std::strlen(text));
        }
        std::vector<std::pair<std::uint32_t, std::uint32_t>> positions;
        std::vector<std::uint32_t> leads;
        pdf_and_marker_positions(cluster, positions, leads, nullptr, 0);
        for (std::size_t k = 0; k < cluster.size() / 512; ++k) {
            const Bytes at(cluster.data() + 512 * k, cluster.size() - 512 * k);
            const bool hinted = pdf_hint_at(positions, 512 * k, at.size());
            ASSERT_EQ(hinted, is_pdf_header(at)) << "round " << round << ", offset " << 512 * k;
            ASSERT_EQ(identify_header(at, nullptr, hinted ? PdfHint::Present : PdfHint::Absent),
                      identify_header(at));
        }
    }
}

}  // namespace
}  // namespace lk
