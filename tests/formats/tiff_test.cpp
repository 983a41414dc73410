#include "formats/tiff.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "formats/jpeg.hpp"
#include "tests/support/testdata.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

struct Entry {
    std::uint16_t tag;
    std::uint16_t type;
    std::uint32_t count;
    std::uint32_t value;  // the value itself (SHORT values left-justified) or its offset
};

constexpr std::uint16_t kExif = 0x8769, kGps = 0x8825, kInterop = 0xA005;

// A TIFF structure put together directory by directory.
class Tiff {
  public:
    explicit Tiff(bool big = false, std::uint16_t magic = 42) : big_(big) {
        b_ = big ? Buffer{'M', 'M'} : Buffer{'I', 'I'};
        put16(magic);
        put32(0);
    }
    // Appends a directory and returns its offset; the first one made is the
    // first directory.
    std::uint32_t dir(const std::vector<Entry>& entries, std::uint32_t next = 0) {
        const auto at = std::uint32_t(b_.size());
        put16(std::uint16_t(entries.size()));
        for (const Entry& e : entries) {
            put16(e.tag);
            put16(e.type);
            put32(e.count);
            if ((e.type == 3 || e.type == 8) && e.count <= 2) {
                put16(std::uint16_t(e.value));
                put16(0);
            } else if (tiff_value_size(e.type) == 1 && e.count <= 4) {
                for (int i = 0; i < 4; ++i) b_.push_back(std::uint8_t(e.value >> (8 * i)));
            } else {
                put32(e.value);
            }
        }
        put32(next);
        if (at32(4) == 0) patch32(4, at);
        return at;
    }
    std::uint32_t blob(std::string_view bytes) {
        const auto at = std::uint32_t(b_.size());
        b_.insert(b_.end(), bytes.begin(), bytes.end());
        if (b_.size() % 2) b_.push_back(0);
        return at;
    }
    std::uint32_t blob32(std::initializer_list<std::uint32_t> words) {
        const auto at = std::uint32_t(b_.size());
        for (auto w : words) put32(w);
        return at;
    }
    void set_value(std::uint32_t dir, int k, std::uint32_t v) { patch32(dir + 2 + 12 * k + 8, v); }
    void set_next(std::uint32_t dir, std::uint32_t next) {
        patch32(dir + 2 + 12 * std::uint32_t(at16(dir)), next);
    }
    const Buffer& bytes() const { return b_; }

  private:
    void put16(std::uint16_t v) {
        b_.resize(b_.size() + 2);
        patch16(std::uint32_t(b_.size() - 2), v);
    }
    void put32(std::uint32_t v) {
        b_.resize(b_.size() + 4);
        patch32(std::uint32_t(b_.size() - 4), v);
    }
    void patch16(std::uint32_t at, std::uint16_t v) {
        b_[at + (big_ ? 0 : 1)] = std::uint8_t(v >> 8);
        b_[at + (big_ ? 1 : 0)] = std::uint8_t(v);
    }
    void patch32(std::uint32_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b_[at + (big_ ? 3 - i : i)] = std::uint8_t(v >> (8 * i));
    }
    std::uint16_t at16(std::uint32_t at) const { return *rd16(b_, at, big_); }
    std::uint32_t at32(std::uint32_t at) const { return *rd32(b_, at, big_); }

    bool big_;
    Buffer b_;
};

// Four-byte ASCII values ("ABC" and its terminator) sit in the entry itself.
Entry text4(std::uint16_t tag, std::string_view abc) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 3; ++i) v |= std::uint32_t(std::uint8_t(abc[i])) << (8 * i);
    return {tag, 2, 4, v};
}
Entry sub(std::uint16_t tag) {
    return {tag, 4, 1, 0};
}  // offset set later

std::string date_of(const Buffer& tiff) {
    std::string date;
    read_exif_date(tiff, date);
    return date;
}

TEST(TiffWalk, ChainBeforeSubDirectoriesThenSubDirectoriesDepthFirst) {
    // Offsets grow in the order the directories are made: IFD0 < EXIF < GPS <
    // interoperability < IFD1. Each date tag holds the name of its directory.
    Tiff t;
    const auto ifd0 = t.dir({{0x0100, 3, 1, 640}, sub(kExif), sub(kGps)});
    const auto exif = t.dir({sub(kInterop)});
    const auto gps = t.dir({text4(0x9004, "GPS")});
    const auto interop = t.dir({text4(0x9003, "IOP")});
    const auto ifd1 = t.dir({text4(0x0132, "CHN")});
    t.set_value(ifd0, 1, exif);
    t.set_value(ifd0, 2, gps);
    t.set_value(exif, 0, interop);
    // EXIF's own sub-directory is walked before GPS, though it lies later.
    EXPECT_EQ(date_of(t.bytes()), "IOP");
    t.set_next(ifd0, ifd1);
    EXPECT_EQ(date_of(t.bytes()), "CHN") << "the chain comes before the sub-directories";
}

TEST(TiffWalk, DateTextIsCutTo1023Characters) {
    Tiff t;
    const auto d = t.dir({{0x0132, 2, 2001, 0}});
    t.set_value(d, 0, t.blob(std::string(2000, '7') + '\0'));
    EXPECT_EQ(date_of(t.bytes()), std::string(1023, '7'));
}

// Walks with one request per tag, still_wanted and mode as given; returns the
// walk's result and the values delivered (first four bytes of each, LE).
struct WalkResult {
    bool ok;
    std::vector<std::size_t> delivered;
    std::vector<std::array<std::uint8_t, 16>> values;
};
WalkResult walk(const Buffer& data, std::vector<std::uint32_t> tags, int still_wanted, int mode,
                std::size_t capacity = 16) {
    WalkResult r;
    r.values.resize(tags.size());
    std::vector<TagRequest> requests;
    for (std::size_t i = 0; i < tags.size(); ++i)
        requests.push_back({tags[i], r.values[i].data(), capacity});
    r.ok = read_tiff_tags(data, requests, still_wanted, mode);
    for (const TagRequest& q : requests) r.delivered.push_back(q.delivered);
    return r;
}

TEST(TiffWalk, EveryDirectoryIsReadOnce) {
    // IFD0 -> IFD1 -> IFD0 (a chain loop); EXIF points at itself and at IFD0.
    Tiff t;
    const auto ifd0 = t.dir({{0x0100, 4, 1, 7}, sub(kExif)});
    const auto exif = t.dir({{0x0100, 4, 1, 9}, sub(kGps), sub(kInterop)});
    const auto ifd1 = t.dir({{0x0100, 4, 1, 8}}, ifd0);
    t.set_next(ifd0, ifd1);
    t.set_value(ifd0, 1, exif);
    t.set_value(exif, 1, exif);
    t.set_value(exif, 2, ifd0);
    WalkResult r = walk(t.bytes(), {0x0100}, 5, 1);
    EXPECT_TRUE(r.ok);
    ASSERT_EQ(r.delivered[0], 12u) << "three directories, each once";
    EXPECT_EQ(load_le32(&r.values[0][0]), 7u);
    EXPECT_EQ(load_le32(&r.values[0][4]), 8u);
    EXPECT_EQ(load_le32(&r.values[0][8]), 9u);

    // IFD0 lists X directly and through EXIF, which is walked first and
    // reaches X before IFD0's own entry for it comes up.
    Tiff d;
    const auto root = d.dir({sub(kExif), sub(kGps)});
    const auto e = d.dir({sub(kInterop)});
    const auto x = d.dir({{0x0100, 4, 1, 5}});
    d.set_value(root, 0, e);
    d.set_value(root, 1, x);
    d.set_value(e, 0, x);
    r = walk(d.bytes(), {0x0100}, 5, 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.delivered[0], 4u);
}

TEST(TiffWalk, DamageFailsTheWalkOnlyWhereItIsRead) {
    Tiff t;
    // Width first, then Make and Model whose texts lie past the data.
    t.dir({{0x0100, 4, 1, 5}, {0x010F, 2, 20, 0x00FFFF00}, {0x0110, 2, 20, 0x00FFFF00}});
    WalkResult r = walk(t.bytes(), {0x0100, 0x010F}, 5, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.delivered[0], 4u) << "filled before the failure";
    EXPECT_TRUE(walk(t.bytes(), {0x0100}, 5, 0).ok) << "the damage is in tags nobody asked for";
    EXPECT_TRUE(walk(t.bytes(), {0x0100, 0x010F}, 1, 0).ok) << "the walk stopped before it";

    struct Case {
        const char* what;
        Buffer data;
    };
    Tiff chained;
    const auto first = chained.dir({{0x0101, 4, 1, 1}});
    chained.set_next(first, 0x10000);
    Buffer cut_entries = t.bytes();
    cut_entries.resize(8 + 2 + 12 + 6);
    Buffer cut_count = t.bytes();
    cut_count.resize(9);
    const Case broken[] = {
        {"chain leads past the data", chained.bytes()},
        {"entries cut short", cut_entries},
        {"entry count cut short", cut_count},
        {"header only", Buffer(t.bytes().begin(), t.bytes().begin() + 7)},
    };
    for (const Case& c : broken) EXPECT_FALSE(walk(c.data, {0x0100}, 5, 1).ok) << c.what;
}

std::uint32_t float_bits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

TEST(TiffWalk, ValuesBecome32BitIntegersInEitherByteOrder) {
    struct Inline {
        std::uint16_t type;
        std::uint32_t value;
        std::uint32_t expected;
    };
    const Inline in_entry[] = {
        {3, 0xFFFE, 0xFFFE},                  // SHORT
        {8, 0xFFFE, 0xFFFFFFFE},              // SSHORT, sign-extended
        {4, 0x12345678, 0x12345678},          // LONG
        {9, 0xFFFFFFF0, 0xFFFFFFF0},          // SLONG
        {11, float_bits(3.7f), 3},            // FLOAT
        {11, float_bits(-3.7f), 0xFFFFFFFD},  //
        {11, float_bits(1e20f), 0x7FFFFFFF},  // saturates
        {11, float_bits(std::numeric_limits<float>::quiet_NaN()), 0},
        {1, 0xAB, 0xAB},   // BYTE
        {6, 0xF0, 0xF0},   // SBYTE: as it is
        {7, 0x11, 0x11},   // UNDEFINED
        {99, 0x22, 0x22},  // unknown types are bytes
    };
    struct Pair {
        std::uint16_t type;
        std::uint32_t a, b;  // numerator and denominator, or a double's high and low words
        std::uint32_t expected;
    };
    const std::uint64_t minus_2_5 = std::bit_cast<std::uint64_t>(-2.5);
    const std::uint64_t huge = std::bit_cast<std::uint64_t>(1e300);
    const Pair at_offset[] = {
        {5, 10, 4, 2},                             // RATIONAL
        {5, 5, 0, 0},                              // zero denominator
        {10, std::uint32_t(-9), 2, 0xFFFFFFFC},    // SRATIONAL: -4
        {10, 0x80000000, 0xFFFFFFFF, 0x80000000},  // INT_MIN / -1 must not trap
        {12, std::uint32_t(minus_2_5 >> 32), std::uint32_t(minus_2_5), 0xFFFFFFFE},  // DOUBLE
        {12, std::uint32_t(huge >> 32), std::uint32_t(huge), 0x7FFFFFFF},
    };
    for (bool big : {false, true}) {
        for (const Inline& c : in_entry) {
            Tiff t(big);
            t.dir({{0x0100, c.type, 1, c.value}});
            WalkResult r = walk(t.bytes(), {0x0100}, 1, 0);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(load_le32(r.values[0].data()), c.expected)
                << "type " << c.type << (big ? " MM" : " II");
        }
        for (const Pair& c : at_offset) {
            Tiff t(big);
            const auto d = t.dir({{0x0100, c.type, 1, 0}});
            const bool words_reversed =
                c.type == 12 && !big;  // a little-endian double: low word first
            t.set_value(d, 0, words_reversed ? t.blob32({c.b, c.a}) : t.blob32({c.a, c.b}));
            WalkResult r = walk(t.bytes(), {0x0100}, 1, 0);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(load_le32(r.values[0].data()), c.expected)
                << "type " << c.type << (big ? " MM" : " II");
        }
    }
}

TEST(TiffWalk, CapacityDecidesHowValuesAreStored) {
    Tiff t;
    const auto d = t.dir({{0x0102, 3, 3, 0}, {0x010F, 2, 8, 0}});
    t.set_value(d, 0, t.blob("\x01\x00\x02\x00\x03\x00"sv));  // SHORTs 1, 2, 3
    t.set_value(d, 1, t.blob("ABCDEFG\0"sv));
    struct Case {
        std::size_t capacity;
        std::size_t delivered;
        std::vector<std::uint8_t> head;
    };
    const Case cases[] = {
        {1, 1, {1, 0}},                            // one byte
        {3, 2, {1, 0, 0, 0}},                      // two bytes, capacity used up
        {6, 6, {1, 0, 0, 0, 2, 0, 0}},             // four bytes, then two
        {16, 12, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0}},  // four bytes each
    };
    for (const Case& c : cases) {
        WalkResult r = walk(t.bytes(), {0x0102}, 1, 0, c.capacity);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.delivered[0], c.delivered) << c.capacity;
        EXPECT_TRUE(std::equal(c.head.begin(), c.head.end(), r.values[0].begin())) << c.capacity;
    }
    // Text is cut to the capacity and terminated; it counts as nothing delivered.
    WalkResult r = walk(t.bytes(), {0x010F}, 1, 0, 4);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.delivered[0], 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.values[0].data())), "ABC");

    Tiff empty_text;
    empty_text.dir({{0x010F, 2, 0, 0}});
    EXPECT_FALSE(walk(empty_text.bytes(), {0x010F}, 1, 0).ok) << "ASCII count 0";
    Buffer cut_text = t.bytes();
    cut_text.resize(cut_text.size() - 2);
    EXPECT_FALSE(walk(cut_text, {0x010F}, 1, 0).ok) << "text ends past the data";
}

TEST(TiffWalk, ModesAndStillWanted) {
    Tiff t;
    const auto ifd0 = t.dir({{0x0100, 4, 1, 1}, sub(kExif)});
    const auto exif = t.dir({{0x0102, 4, 1, 3}});
    const auto ifd1 = t.dir({{0x0101, 4, 1, 2}});
    t.set_value(ifd0, 1, exif);
    t.set_next(ifd0, ifd1);
    struct Case {
        int still_wanted, mode;
        std::vector<std::size_t> delivered;
    };
    const Case cases[] = {
        {3, 0, {4, 0, 0}},  // first directory only
        {1, 1, {4, 0, 0}},  // stops once one tag was met
        {2, 1, {4, 4, 0}},  // the chain before the sub-directories
        {3, 1, {4, 4, 4}},
    };
    for (const Case& c : cases) {
        WalkResult r = walk(t.bytes(), {0x0100, 0x0101, 0x0102}, c.still_wanted, c.mode);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.delivered, c.delivered) << c.still_wanted << " wanted, mode " << c.mode;
    }
}

TEST(TiffWalk, DeepNestingIsWalkedWithoutRecursion) {
    // 100,000 EXIF directories, each pointing at the next.
    constexpr int kDepth = 100'000;
    Tiff t;
    std::uint32_t previous = t.dir({sub(kExif)});
    for (int i = 1; i < kDepth; ++i) {
        const auto d = t.dir({sub(kExif)});
        t.set_value(previous, 0, d);
        previous = d;
    }
    t.set_value(previous, 0, t.dir({{0x0100, 4, 1, 42}}));
    WalkResult r = walk(t.bytes(), {0x0100}, 1, 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(load_le32(r.values[0].data()), 42u);
}

// Directories of 65,535 entries that overlap: directory j starts 196,608
// bytes (16,384 entries) after directory j-1, so each reads mostly the same
// bytes as its neighbours, and the first entry of each points at the next.
// Big-endian, so that the low half of every entry's value (FF FF) is the
// entry count of a directory that starts there.
Buffer overlapping_directories(int count) {
    constexpr std::uint64_t kFirst = 65535, kStep = 196'608, kEntries = 65535;
    const std::uint64_t size = kFirst + kStep * (count - 1) + 2 + 12 * kEntries + 4;
    Buffer b(size, 0);
    std::memcpy(b.data(), "MM\0\x2A\0\0\xFF\xFF", 8);
    b[kFirst] = b[kFirst + 1] = 0xFF;
    for (std::uint64_t e = kFirst + 2; e + 12 <= size; e += 12) b[e + 10] = b[e + 11] = 0xFF;
    for (int j = 0; j + 1 < count; ++j) {
        std::uint8_t* e = b.data() + kFirst + kStep * j + 2;
        const std::uint32_t next = std::uint32_t(kFirst + kStep * (j + 1));
        const std::uint8_t entry[12] = {
            0x87, 0x69, 0, 4, 0, 0, 0, 1, std::uint8_t(next >> 24), std::uint8_t(next >> 16),
            0xFF, 0xFF};
        std::memcpy(e, entry, 12);
    }
    return b;
}

TEST(TiffWalk, EntriesReadPerWalkAreBounded) {
    // 16 x 65,535 entries fit the bound of 2^20; 17 directories do not.
    EXPECT_TRUE(walk(overlapping_directories(16), {0x0101}, 1, 1).ok);
    EXPECT_FALSE(walk(overlapping_directories(17), {0x0101}, 1, 1).ok);
}

struct RawCase {
    const char* what;
    std::uint16_t magic;
    const char* make;
    const char* model;
    std::uint32_t width, height;
    bool sub_ifds, b4c3;
    std::string_view ext;
    bool is_raw;
};

Buffer raw_tiff(const RawCase& c) {
    Tiff t(false, c.magic);
    std::vector<Entry> entries;
    if (*c.make) entries.push_back({0x010F, 2, std::uint32_t(std::strlen(c.make) + 1), 0});
    if (*c.model) entries.push_back({0x0110, 2, std::uint32_t(std::strlen(c.model) + 1), 0});
    if (c.width) entries.push_back({0x0100, 3, 1, c.width});
    if (c.height) entries.push_back({0x0101, 4, 1, c.height});
    if (c.sub_ifds) entries.push_back({0x014A, 4, 1, 8});
    if (c.b4c3) entries.push_back({0xB4C3, 4, 1, 1});
    const auto d = t.dir(entries);
    int k = 0;
    // Texts longer than four bytes lie after the directory.
    if (*c.make) t.set_value(d, k++, t.blob(std::string_view(c.make, std::strlen(c.make) + 1)));
    if (*c.model) t.set_value(d, k++, t.blob(std::string_view(c.model, std::strlen(c.model) + 1)));
    return t.bytes();
}

TEST(RawExtension, MakerAndModelRules) {
    const RawCase cases[] = {
        {"kodak dcs", 42, "EASTMAN KODAK COMPANY", "DCS Pro 14N", 0, 0, false, false, "DCR", true},
        {"kodak p850", 42, "EASTMAN KODAK COMPANY", "KODAK P850 ZOOM", 0, 0, false, false, "KDC",
         true},
        {"kodak other", 42, "Eastman Kodak Company", "DC50", 0, 0, false, false, "", true},
        {"nikon", 42, "NIKON CORPORATION", "NIKON D70", 0, 0, true, false, "NEF", true},
        {"nikon, no SubIFDs", 42, "NIKON CORPORATION", "COOLPIX P7000", 0, 0, false, false, "",
         true},
        {"canon", 85, "Canon", "Canon EOS 350D DIGITAL", 0, 0, false, false, "CR2", true},
        {"sony a100", 42, "SONY", "DSLR-A100", 0, 0, false, false, "ARW", true},
        {"sony a700", 0x4F52, "SONY", "DSLR-A700", 0, 0, false, false, "ARW", true},
        {"sony other", 42, "SONY", "DSLR-A200", 0, 0, false, false, "SRF", true},
        {"sony model with a blank", 42, "SONY", "DSLR-A700 ", 0, 0, false, false, "SRF", true},
        {"no model, 680 x 680", 42, "Leaf", "", 680, 680, false, false, "", true},
        {"no model, 680 x 681", 42, "Leaf", "", 680, 681, false, false, "", false},
        {"pentax", 42, "PENTAX Corporation", "PENTAX K-7", 0, 0, false, false, "PEF", true},
        {"hasselblad H3D", 42, "Hasselblad", "Hasselblad H3D-39", 0, 0, false, false, "3FR", true},
        {"make not exactly hasselblad", 42, "Hasselblad AB", "H3D-39", 0, 0, false, false, "",
         false},
        {"olympus RO", 0x4F52, "OLYMPUS IMAGING CORP.", "E-3", 0, 0, false, false, "ORF", true},
        {"olympus RS", 0x5352, "OLYMPUS OPTICAL CO.,LTD", "C5050Z", 0, 0, false, false, "ORF",
         true},
        {"imacon with 0xB4C3", 42, "Imacon", "Ixpress 96", 0, 0, false, true, "FFF", false},
        {"plain tiff", 42, "Acme", "Scanner", 0, 0, false, false, "", false},
        {"panasonic lx3", 85, "Panasonic", "DMC-LX3", 0, 0, false, false, "RW2", true},
        {"panasonic other", 85, "Panasonic", "DMC-FZ8", 0, 0, false, false, "RAW", true},
    };
    for (const RawCase& c : cases) {
        RawProbe probe;
        probe.is_raw = !c.is_raw;  // must be overwritten
        EXPECT_EQ(raw_ext_from_tiff(raw_tiff(c), &probe), c.ext) << c.what;
        EXPECT_EQ(probe.is_raw, c.is_raw) << c.what;
        EXPECT_EQ(probe.width, c.width) << c.what;
        EXPECT_EQ(probe.height, c.height) << c.what;
    }
}

TEST(RawExtension, SampleFiles) {
    LK_REQUIRE_TESTDATA();
    struct Case {
        const char* file;
        std::string_view ext;
        bool is_raw;
    };
    const Case cases[] = {
        {"nikon_nef_stub.nef", "NEF", true},
        {"extra/nikon_nef_stub.nef", "NEF", true},
        {"canon_cr2_stub.cr2", "CR2", true},
        {"extra/canon_cr2_stub.cr2", "CR2", true},
        {"adobe_dng_stub.dng", "CR2", true},  // converted from a Canon file: Make is "Canon"
        {"extra/adobe_dng_truncated.dng", "", false},  // Apple: stays TIF
        {"sony_arw_stub.arw", "SRF", true},            // NEX-6 is not one of the two ARW models
        {"extra/sony_arw_truncated.arw", "SRF", true},
        {"pentax_pef_stub.pef", "PEF", true},
        {"panasonic_rw2_stub.rw2", "RW2", true},
        {"extra/panasonic_rw2_stub.rw2", "", false},  // cut inside its first directory
        {"olympus_orf_stub.orf", "", false},          // likewise
        {"kodak_kdc_dc120.kdc", "KDC", true},
        {"extra/kodak_kdc_dc50.kdc", "", true},
    };
    for (const Case& c : cases) {
        const Buffer data = test::read_file(test::testdata(c.file));
        RawProbe probe;
        EXPECT_EQ(raw_ext_from_tiff(data, &probe), c.ext) << c.file;
        EXPECT_EQ(probe.is_raw, c.is_raw) << c.file;
    }
    RawProbe nikon;
    raw_ext_from_tiff(test::read_file(test::testdata("nikon_nef_stub.nef")), &nikon);
    EXPECT_EQ(nikon.width, 160u);
    EXPECT_EQ(nikon.height, 106u);
}

}  // namespace
}  // namespace lk
