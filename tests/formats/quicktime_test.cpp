#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/containers.hpp"
#include "formats/memory_stream.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

void put_be32(Buffer& b, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(std::uint8_t(v >> (8 * i)));
}

// An atom with a 32-bit size and `payload` filler bytes.
void atom(Buffer& b, std::string_view type, std::uint32_t payload) {
    put_be32(b, 8 + payload);
    b.insert(b.end(), type.begin(), type.end());
    b.insert(b.end(), payload, 0x5A);
}

// A 64-bit-size atom header (size 1, type, high word, low word), then
// `payload` filler bytes, whatever the declared size.
void atom64(Buffer& b, std::string_view type, std::uint32_t high, std::uint32_t low,
            std::uint32_t payload) {
    put_be32(b, 1);
    b.insert(b.end(), type.begin(), type.end());
    put_be32(b, high);
    put_be32(b, low);
    b.insert(b.end(), payload, 0x5A);
}

void ftyp(Buffer& b, std::string_view brand) {
    put_be32(b, 24);
    b.insert(b.end(), {'f', 't', 'y', 'p'});
    b.insert(b.end(), brand.begin(), brand.end());
    b.insert(b.end(), 12, 0);
}

void garbage(Buffer& b, std::size_t n) {
    b.insert(b.end(), n, 0x9C);
}

TEST(QuickTime, RealMoviesWalkToTheirLastByte) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        TypeTag tag;
        bool last_is_mdat;  // the media data comes last (moov first)
    };
    const Case cases[] = {
        {"panasonic_camera_mjpeg.mov", "MOV", false},  // no ftyp: mdat, moov
        {"mp4_sample.mp4", "MP4", false},              // mp42
        {"3gp_sample.3gp", "3GP", true},               // 3gp5
        {"m4a_sample.m4a", "M4A", true},               // "M4A "
        {"extra/camera_quicktime.mov", "MOV", false},  // "qt  "
        {"extra/mp4_phone_video.mp4", "MP4", true},
        {"extra/3gp_sample.3gp", "3GP", true},
        {"extra/m4a_sample.m4a", "M4A", false},
    };
    for (const auto& c : cases) {
        Buffer file = test::read_file(test::testdata(c.file));
        ASSERT_FALSE(file.empty()) << c.file;
        const std::size_t size = file.size();
        for (bool trailing_garbage : {false, true}) {
            if (trailing_garbage) garbage(file, 3000);
            for (std::uint32_t cluster_size : {512u, 4096u}) {
                SCOPED_TRACE(std::string(c.file) + " cluster " + std::to_string(cluster_size) +
                             (trailing_garbage ? " + garbage" : ""));
                MemoryStream stream(file, cluster_size);
                TypeTag tag = "MOV";
                const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
                EXPECT_TRUE(w.accepted);
                EXPECT_EQ(tag, c.tag);
                EXPECT_EQ(w.complete_end, size);
                EXPECT_EQ(w.last_is_mdat, c.last_is_mdat);
            }
        }
    }
}

// ftyp (unknown brand) at 0, mdat at 24, moov after it, then garbage. The
// start cluster noted for moov is the stream's cluster when the walk got
// there: the previous cluster when moov begins exactly on a boundary.
TEST(QuickTime, RecordsTheClusterWhereTheLastCompleteAtomStarted) {
    struct Case {
        std::uint32_t mdat_payload;
        std::int32_t moov_cluster;
    };
    const Case cases[] = {
        {992, 101},   // moov at 1024: the stream still stands on cluster 101
        {1000, 102},  // moov at 1032, inside cluster 102
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mdat_payload);
        Buffer b;
        ftyp(b, "abcd");
        atom(b, "mdat", c.mdat_payload);
        atom(b, "moov", 600);
        const std::uint64_t moov_end = b.size();
        garbage(b, 500);

        MemoryStream stream(b, 512, 100);
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        EXPECT_EQ(tag, "MOV");
        EXPECT_TRUE(w.accepted);
        EXPECT_EQ(w.last_complete_start, c.moov_cluster);
        EXPECT_EQ(w.complete_end, moov_end);
        EXPECT_TRUE(w.clean_end);  // the garbage is no atom: the movie ends at moov_end
        EXPECT_FALSE(w.last_is_mdat);
        // The walk stopped on the garbage's first eight bytes.
        EXPECT_EQ(stream.current_cluster(), 100 + std::int32_t((moov_end + 7) / 512));
    }
}

TEST(QuickTime, AcceptsOnlyWithMediaDataAndACompleteAtom) {
    struct Case {
        const char* name;
        Buffer bytes;
        bool accepted;
        std::uint64_t complete_end;
        bool last_is_mdat;
    };
    Buffer no_mdat, meta_first, mdat_cut, ftyp_then_cut_mdat;
    ftyp(no_mdat, "isom");
    atom(no_mdat, "moov", 100);
    ftyp(meta_first, "isom");
    atom(meta_first, "meta", 40);  // lives inside moov, never at the top
    atom(meta_first, "mdat", 100);
    atom(meta_first, "moov", 100);
    atom(mdat_cut, "mdat", 5000);  // cut inside its first cluster
    mdat_cut.resize(300);
    ftyp(ftyp_then_cut_mdat, "isom");
    atom(ftyp_then_cut_mdat, "mdat", 5000);
    ftyp_then_cut_mdat.resize(300);
    // (A cut atom must end past the last cluster: the stream's last cluster
    // reads as zeros up to its end.)
    const Case cases[] = {
        {"ftyp and moov only", no_mdat, false, 132, false},
        {"meta at the top level", meta_first, false, 24, false},
        {"cut mdat alone", mdat_cut, false, 0, true},
        {"ftyp then cut mdat", ftyp_then_cut_mdat, true, 24, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryStream stream(c.bytes, 512);
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        EXPECT_EQ(w.accepted, c.accepted);
        EXPECT_EQ(w.complete_end, c.complete_end);
        EXPECT_EQ(w.last_is_mdat, c.last_is_mdat);
    }
}

TEST(QuickTime, BrandTableIgnoresCase) {
    struct Case {
        const char* brand;
        TypeTag tag;
    };
    const Case cases[] = {
        {"mp42", "MP4"},
        {"Mp41", "MP4"},
        {"avc1", "MP4"},
        {"AVC1", "MP4"},
        {"avc2", "MOV"},
        {"3gp5", "3GP"},
        {"3G2A", "3G2"},
        {"KDDI", "3G2"},
        {"kddx", "MOV"},
        {"M4A ", "M4A"},
        {"m4b ", "M4B"},
        {"M4P ", "M4P"},
        {"m4V ", "M4V"},
        {"isom", "MOV"},
        {"qt  ", "MOV"},
        // Still pictures: HEIF, AVIF, Canon CR3 (four bytes, the blank included).
        {"heic", "HEI"},
        {"HEIX", "HEI"},
        {"mif1", "HEI"},
        {"avif", "AVF"},
        {"crx ", "CR3"},
        {"crx1", "MOV"},
        {"heim", "MOV"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.brand);
        Buffer b;
        ftyp(b, c.brand);
        atom(b, "mdat", 100);
        MemoryStream stream(b, 512);
        TypeTag tag = "MOV";
        EXPECT_TRUE(walk_quicktime(stream, tag, kDefaultMovieLimit).accepted);
        EXPECT_EQ(tag, c.tag);
    }
}

// "meta" stands at the top level of HEIF and AVIF pictures; in a movie it
// lives inside "moov", and at the top level it ends the walk.
TEST(QuickTime, TopLevelMetaOnlyInPictures) {
    for (const char* brand : {"heic", "avif", "mp42"}) {
        SCOPED_TRACE(brand);
        Buffer b;
        ftyp(b, brand);
        atom(b, "meta", 300);
        atom(b, "mdat", 2000);
        const std::size_t end = b.size();
        garbage(b, 700);
        MemoryStream stream(b, 512);
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        const bool picture = std::string(brand) != "mp42";
        EXPECT_EQ(w.accepted, picture);
        EXPECT_EQ(w.complete_end, picture ? end : 24u);
        EXPECT_TRUE(w.clean_end);
    }
}

// The size limit applies to the tag as the brand refined it: audio and
// video-podcast brands are not movie tags and get 21,504,000 bytes.
TEST(QuickTime, RefinedTagSetsTheSizeLimit) {
    struct Case {
        const char* brand;
        std::uint32_t mdat_size;
        bool mdat_complete;
    };
    const Case cases[] = {
        {"M4V ", 21'504'000, true},
        {"M4V ", 21'504'001, false},
        {"m4a ", 21'504'001, false},
        {"mp42", 21'504'001, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.brand) + " " + std::to_string(c.mdat_size));
        Buffer b;
        ftyp(b, c.brand);
        atom(b, "mdat", 0);
        b[24] = std::uint8_t(c.mdat_size >> 24);
        b[25] = std::uint8_t(c.mdat_size >> 16);
        b[26] = std::uint8_t(c.mdat_size >> 8);
        b[27] = std::uint8_t(c.mdat_size);
        MemoryStream stream(b, 4096);
        stream.set_cluster_count(6000);  // the payload is zeros past the buffer
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        EXPECT_EQ(w.complete_end, c.mdat_complete ? 24u + c.mdat_size : 24u);
    }
}

// A 64-bit size of 4 GiB or more, or one below the 16-byte header, cannot be
// walked; a following valid atom shows whether the walk went on regardless.
TEST(QuickTime, UnrepresentableSizesStopTheWalk) {
    struct Case {
        const char* name;
        std::uint32_t size32;  // 1 selects the 64-bit form
        std::uint32_t high, low;
        std::uint32_t payload;
        std::uint64_t complete_end;  // 24: only ftyp; else also the atom and moov
    };
    const Case cases[] = {
        {"64-bit, 116 bytes", 1, 0, 116, 100, 24 + 116 + 108},
        {"64-bit, empty", 1, 0, 16, 0, 24 + 16 + 108},
        {"64-bit, 4 GiB + 116", 1, 1, 116, 100, 24},
        {"64-bit, 8: back over its own size", 1, 0, 8, 100, 24},
        {"64-bit, 15", 1, 0, 15, 100, 24},
        {"64-bit, 0", 1, 0, 0, 100, 24},
        {"32-bit, 7", 7, 0, 0, 100, 24},
        {"32-bit, 0", 0, 0, 0, 100, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Buffer b;
        ftyp(b, "isom");
        if (c.size32 == 1) {
            atom64(b, "mdat", c.high, c.low, c.payload);
        } else {
            put_be32(b, c.size32);
            b.insert(b.end(), {'m', 'd', 'a', 't'});
            b.insert(b.end(), c.payload, 0x5A);
        }
        atom(b, "moov", 100);
        garbage(b, 64);
        MemoryStream stream(b, 512);
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        EXPECT_EQ(w.complete_end, c.complete_end);
    }
}

TEST(QuickTime, PassesClaimedClustersAndYieldsNothingOnStop) {
    LK_REQUIRE_TESTDATA();
    const Buffer file = test::read_file(test::testdata("panasonic_camera_mjpeg.mov"));
    ASSERT_EQ(file.size(), 166866u);
    // Another file's cluster lies inside the movie's media data.
    Buffer card(file.begin(), file.begin() + 10 * 512);
    card.insert(card.end(), 512, 0xFF);
    card.insert(card.end(), file.begin() + 10 * 512, file.end());

    for (bool claimed : {true, false}) {
        SCOPED_TRACE(claimed);
        MemoryStream stream(card, 512, 2);
        if (claimed) stream.claim(12);
        TypeTag tag = "MOV";
        const ContainerWalk w = walk_quicktime(stream, tag, kDefaultMovieLimit);
        EXPECT_TRUE(w.accepted);
        // Unclaimed, the foreign cluster shifts moov by 512 bytes out of reach.
        EXPECT_EQ(w.complete_end, claimed ? file.size() : 165712u);
    }

    MemoryStream stream(file, 512);
    stream.stop_after(3);
    TypeTag tag = "MOV";
    EXPECT_FALSE(walk_quicktime(stream, tag, kDefaultMovieLimit).accepted);
    EXPECT_EQ(stream.current_cluster(), 0);
}

}  // namespace
}  // namespace lk
