// The raw decoder adapter: the memory file, the PPM sink, LibRaw on the
// camera samples and on a raw file made at test time.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "formats/identify.hpp"
#include "preview/raw_decoder.hpp"
#include "preview/render.hpp"
#include "tests/support/process.hpp"
#include "tests/preview/raw_maker.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using namespace lk::test;

TEST(MemoryFile, SeeksWithinItsBytesOnly) {
    const std::vector<std::uint8_t> bytes(100, 7);
    DCRAWBuffer f(bytes);
    struct Case {
        std::int64_t offset;
        int whence;
        bool ok;
        std::int64_t at;
    } cases[] = {
        {10, SEEK_SET, true, 10},   {100, SEEK_SET, true, 100}, {101, SEEK_SET, false, 100},
        {-1, SEEK_SET, false, 100}, {-30, SEEK_CUR, true, 70},  {-71, SEEK_CUR, false, 70},
        {30, SEEK_CUR, true, 100},  {0, SEEK_END, true, 100},   {-100, SEEK_END, true, 0},
        {-101, SEEK_END, false, 0}, {1, SEEK_END, false, 0},    {5, 17, false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f.seek(c.offset, c.whence), c.ok) << c.offset << " " << c.whence;
        EXPECT_EQ(f.tell(), c.at) << c.offset << " " << c.whence;
    }
    std::uint8_t buffer[8];
    ASSERT_TRUE(f.seek(-3, SEEK_END));
    EXPECT_EQ(f.read(buffer, 8), 3u);
    EXPECT_TRUE(f.at_end());
    EXPECT_EQ(f.write("x", 1), 0u);  // a memory file over bytes takes no writes
    DCRAWBuffer empty;
    EXPECT_EQ(empty.write("abc", 3), 3u);
    EXPECT_EQ(empty.length(), 3);
    empty.close();
    EXPECT_EQ(empty.length(), 0);
}

TEST(PpmSink, RowsCutToAMultipleOfEightBlueGreenRedGreyAsEqualBytes) {
    struct Case {
        const char* header;
        int colours;
        int width, stored;
    } cases[] = {{"P6\n1500 1000\n255\n", 3, 1500, 1496}, {"P6\n1501 1000\n255\n", 3, 1501, 1496},
                 {"P5\n24 2\n255\n", 1, 24, 24}};
    for (const Case& c : cases) {
        DCRAWPPM sink;
        ASSERT_EQ(sink.write(c.header, std::strlen(c.header)), std::strlen(c.header));
        const int height = c.width == 24 ? 2 : 1000;
        std::vector<std::uint8_t> row(std::size_t(c.width) * std::size_t(c.colours));
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = std::uint8_t(i % 251);
        for (int y = 0; y < height; ++y) ASSERT_EQ(sink.write(row.data(), row.size()), row.size());
        sink.close();
        EXPECT_FALSE(sink.failed()) << c.header;
        EXPECT_EQ(sink.width(), c.stored);
        EXPECT_EQ(sink.height(), height);
        ASSERT_EQ(sink.pixels().size(), std::size_t(c.stored) * std::size_t(height) * 3);
        const std::uint8_t* first = sink.pixels().data() + std::size_t(c.stored) * 3;  // row 1, pixel 0
        if (c.colours == 3) {
            EXPECT_EQ(first[0], row[2]);  // red, green, blue arrive; blue is stored first
            EXPECT_EQ(first[2], row[0]);
        } else {
            EXPECT_TRUE(first[0] == row[0] && first[1] == row[0] && first[2] == row[0]);
        }
    }
    // What a decoder never sends is refused: a 16-bit header, a write of
    // an odd size, pixels missing at the end.
    DCRAWPPM deep;
    EXPECT_EQ(deep.write("P6\n8 1\n65535\n", 13), 0u);
    EXPECT_TRUE(deep.failed());
    DCRAWPPM odd;
    odd.write("P6\n8 1\n255\n", 11);
    EXPECT_EQ(odd.write("ab", 2), 0u);
    DCRAWPPM short_;
    short_.write("P6\n8 2\n255\n", 11);
    short_.write(std::vector<std::uint8_t>(24).data(), 24);
    short_.close();
    EXPECT_TRUE(short_.failed());
}

TEST(RawDecoder, A3000By2000RawGivesA1496By1000SinkAndItsThumbnail) {
    std::vector<std::uint8_t> dng = make_dng(3000, 2000);
    DCRAWBuffer file(dng);
    DCRAWImage job(file);
    DCRAWPPM sink;
    ASSERT_TRUE(Decode(job, sink, 100, 100));
    EXPECT_EQ(job.width, 1496);
    EXPECT_EQ(job.height, 1000);
    EXPECT_EQ(sink.width(), 1496);
    EXPECT_EQ(sink.height(), 1000);
    EXPECT_EQ(job.full_width, 3000);
    EXPECT_FALSE(job.read_past_end);

    const Preview p = MakePreview(dng, "DNG", 100, 100, {});
    EXPECT_FALSE(p.picture.empty());
    EXPECT_EQ(p.grade.grade, Grade::Complete);
    // Cut after its header: zeros are read, nothing is shown, nothing breaks.
    std::vector<std::uint8_t> header(dng.begin(), dng.begin() + 4096);
    const Preview cut = MakePreview(header, "DNG", 100, 100, {});
    EXPECT_TRUE(cut.picture.empty());
    EXPECT_EQ(cut.grade.grade, Grade::Unreadable);
}

TEST(RawDecoder, EverySampleTheDecoderReadsWholeGetsAThumbnail) {
    LK_REQUIRE_TESTDATA();
    int thumbnails = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(testdata_dir())) {
        std::string ext = entry.path().extension().string();
        if (ext.size() < 2) continue;
        ext = ext.substr(1);
        for (char& c : ext) c = char(std::toupper(static_cast<unsigned char>(c)));
        if (!is_raw_ext(ext) || ext.size() > 3) continue;
        std::vector<std::uint8_t> bytes = read_file(entry.path());
        DCRAWBuffer file(bytes);
        DCRAWImage job(file);
        DCRAWPPM sink;
        const bool decodes = Decode(job, sink, 100, 100) && !job.read_past_end;
        const Preview p = MakePreview(bytes, ext, 100, 100, {});
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(!p.picture.empty(), decodes);
        thumbnails += !p.picture.empty();
        // Cut after the first kilobyte: no thumbnail, no crash.
        std::vector<std::uint8_t> head(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(1024, std::ssize(bytes)));
        EXPECT_TRUE(MakePreview(head, ext, 100, 100, {}).picture.empty());
    }
    EXPECT_GE(thumbnails, 4);  // two CRW and two KDC files decode whole
}

TEST(RawDecoder, DcrawPpmDumpsEachDecodeToANumberedFile) {
    test::TempDir dir;
    const std::string prefix = dir.path().string() + "/";
    ::setenv("DCRAW_PPM", prefix.c_str(), 1);
    std::vector<std::uint8_t> dng = make_dng(64, 48);
    PpmDumps dumps;
    for (int i = 0; i < 2; ++i) {
        DCRAWBuffer file(dng);
        DCRAWImage job(file);
        DCRAWPPM sink(&dumps);
        ASSERT_TRUE(Decode(job, sink, 100, 100));
    }
    ::unsetenv("DCRAW_PPM");
    for (const char* name : {"00000000.ppm", "00000001.ppm"}) {
        const std::vector<std::uint8_t> ppm = read_file(dir / name);
        ASSERT_GE(ppm.size(), 2u) << name;
        EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + 2), "P6");
        EXPECT_EQ(ppm.size(), std::string("P6\n32 24\n255\n").size() + 32 * 24 * 3);
    }
}

}  // namespace
}  // namespace lk
