// exFAT structures read from bytes: the boot sector test, the boot region
// checksum, the root and up-case tests, entry sets, and the records made
// from them.
#include "engine/exfat_entries.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace lk {
namespace {

using Sector = std::vector<std::uint8_t>;

// The boot sector mkfs.exfat writes for a 64 MiB image: 512-byte sectors,
// 4 KiB clusters, the FAT at sector 2048, the heap at 4096, 15,872 clusters,
// the root at cluster 5.
Sector boot_sector() {
    Sector s(512, 0);
    const std::uint8_t jump[3] = {0xEB, 0x76, 0x90};
    std::memcpy(s.data(), jump, 3);
    std::memcpy(s.data() + 3, "EXFAT   ", 8);
    store_le64(s.data() + 72, 131072);
    store_le32(s.data() + 80, 2048);
    store_le32(s.data() + 84, 128);
    store_le32(s.data() + 88, 4096);
    store_le32(s.data() + 92, 15872);
    store_le32(s.data() + 96, 5);
    store_le32(s.data() + 100, 0x7F9ABB82);
    store_le16(s.data() + 104, 0x0100);
    s[108] = 9;
    s[109] = 3;
    s[110] = 1;
    s[111] = 0x80;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(ExfatBootSector, FieldTests) {
    struct Case {
        const char* name;
        std::function<void(Sector&)> change;
        bool passes;
    } cases[] = {
        {"as mkfs.exfat writes it", [](Sector&) {}, true},
        {"a byte of MustBeZero", [](Sector& s) { s[40] = 1; }, false},
        {"the last byte of MustBeZero", [](Sector& s) { s[63] = 0x20; }, false},
        {"revision 2", [](Sector& s) { s[105] = 2; }, false},
        {"no 55 AA", [](Sector& s) { s[511] = 0; }, false},
        {"FAT file system name", [](Sector& s) { std::memcpy(s.data() + 3, "MSDOS5.0", 8); },
         false},
        {"sectors of 256 bytes", [](Sector& s) { s[108] = 8; }, false},
        {"sectors of 8 KiB", [](Sector& s) { s[108] = 13; }, false},
        {"4 KiB sectors",
         [](Sector& s) {
             s[108] = 12;
             store_le64(s.data() + 72, 16384);
             store_le32(s.data() + 92, 1984);
             store_le32(s.data() + 84, 16);
             store_le32(s.data() + 80, 256);
             store_le32(s.data() + 88, 512);
             s[109] = 0;
         },
         true},
        {"clusters of 32 MiB",
         [](Sector& s) {
             s[109] = 16;
             store_le64(s.data() + 72, 4096 + 3 * 65536);
             store_le32(s.data() + 92, 3);
             store_le32(s.data() + 96, 2);
         },
         true},
        {"clusters of 64 MiB",
         [](Sector& s) {
             s[109] = 17;
             store_le64(s.data() + 72, UINT64_MAX);
             store_le32(s.data() + 92, 3);
             store_le32(s.data() + 96, 2);
         },
         false},
        {"no FAT", [](Sector& s) { s[110] = 0; }, false},
        {"TexFAT", [](Sector& s) { s[110] = 2; }, true},
        {"three FATs", [](Sector& s) { s[110] = 3; }, false},
        {"FAT inside the boot regions", [](Sector& s) { store_le32(s.data() + 80, 23); }, false},
        {"FAT too short for the clusters", [](Sector& s) { store_le32(s.data() + 84, 124); },
         false},
        {"heap over the FAT", [](Sector& s) { store_le32(s.data() + 88, 2100); }, false},
        {"heap over a second FAT",
         [](Sector& s) {
             s[110] = 2;
             store_le32(s.data() + 88, 2200);
         },
         false},
        {"more clusters than the volume", [](Sector& s) { store_le32(s.data() + 92, 15873); },
         false},
        {"ClusterCount past the engine's limit",
         [](Sector& s) {
             store_le32(s.data() + 92, 0x7FFFFFFE);
             store_le64(s.data() + 72, UINT64_MAX);
             store_le32(s.data() + 84, 0xFFFFFFFF);
             store_le32(s.data() + 88, 0xFFFFFFFF);
         },
         false},
        {"absurd VolumeLength, no overflow",
         [](Sector& s) { store_le64(s.data() + 72, UINT64_MAX); }, true},
        {"volume under 1 MiB", [](Sector& s) { store_le64(s.data() + 72, 2047); }, false},
        {"heap past the volume", [](Sector& s) { store_le64(s.data() + 72, 4000); }, false},
        {"root cluster 1", [](Sector& s) { store_le32(s.data() + 96, 1); }, false},
        {"root past the last cluster", [](Sector& s) { store_le32(s.data() + 96, 15874); }, false},
        {"the last cluster as root", [](Sector& s) { store_le32(s.data() + 96, 15873); }, true},
    };
    for (const Case& c : cases) {
        Sector s = boot_sector();
        c.change(s);
        EXPECT_EQ(is_exfat_boot_sector(s), c.passes) << c.name;
    }
    EXPECT_FALSE(is_exfat_boot_sector(Bytes(boot_sector()).first(511)));

    const exfat_boot_t b = decode_exfat_boot_sector(boot_sector());
    EXPECT_EQ(b.cluster_size(), 4096u);
    EXPECT_EQ(b.sector_size(), 512u);
    EXPECT_EQ(b.cluster_count, 15872u);
    EXPECT_EQ(b.root_cluster, 5u);
}

// Twelve sectors: the boot sector, eight extended boot sectors, two empty
// ones and the checksum sector.
Sector boot_region(std::size_t sector = 512) {
    Sector r(12 * sector, 0);
    const Sector b = boot_sector();
    std::memcpy(r.data(), b.data(), 512);
    for (int s = 1; s <= 8; ++s) {
        r[s * sector + sector - 2] = 0x55;
        r[s * sector + sector - 1] = 0xAA;
    }
    const std::uint32_t sum = exfat_boot_checksum(r, static_cast<std::uint32_t>(sector));
    for (std::size_t k = 0; k < sector; k += 4) store_le32(r.data() + 11 * sector + k, sum);
    return r;
}

TEST(ExfatBootSector, RegionChecksum) {
    for (std::size_t sector : {std::size_t{512}, std::size_t{4096}}) {
        SCOPED_TRACE(sector);
        EXPECT_TRUE(exfat_region_verifies(boot_region(sector), static_cast<std::uint32_t>(sector)));
        // VolumeFlags and PercentInUse change while a card is used.
        for (std::size_t skipped : {106, 107, 112}) {
            Sector r = boot_region(sector);
            r[skipped] ^= 0x5A;
            EXPECT_TRUE(exfat_region_verifies(r, static_cast<std::uint32_t>(sector))) << skipped;
        }
        for (std::size_t changed : {std::size_t{100}, sector + 3, 10 * sector, 12 * sector - 1}) {
            Sector r = boot_region(sector);
            r[changed] ^= 1;
            EXPECT_FALSE(exfat_region_verifies(r, static_cast<std::uint32_t>(sector))) << changed;
        }
        EXPECT_FALSE(exfat_region_verifies(Bytes(boot_region(sector)).first(12 * sector - 1),
                                           static_cast<std::uint32_t>(sector)));
    }
}

using Entry = std::array<std::uint8_t, 32>;

Entry bitmap_entry(std::uint32_t first, std::uint64_t length, bool second = false) {
    Entry e{};
    e[0] = 0x81;
    e[1] = second ? 1 : 0;
    store_le32(e.data() + 20, first);
    store_le64(e.data() + 24, length);
    return e;
}

Entry upcase_entry(std::uint32_t first, std::uint64_t length) {
    Entry e{};
    e[0] = 0x82;
    store_le32(e.data() + 4, 0xE619D30D);
    store_le32(e.data() + 20, first);
    store_le64(e.data() + 24, length);
    return e;
}

Sector sector_of(const std::vector<Entry>& entries) {
    Sector s(512, 0);
    for (std::size_t i = 0; i < entries.size() && i < 16; ++i)
        std::memcpy(s.data() + 32 * i, entries[i].data(), 32);
    return s;
}

TEST(ExfatRootSector, BitmapAndUpcaseEntries) {
    Entry label{};
    label[0] = 0x83;
    const Entry end{};
    const exfat_root_limits_t volume{15872, 1}, texfat{15872, 2};
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        const exfat_root_limits_t* limits;
        bool passes;
    } cases[] = {
        {"as mkfs.exfat writes it",
         {label, bitmap_entry(2, 1984), upcase_entry(3, 5836)},
         &volume,
         true},
        {"without a geometry", {bitmap_entry(2, 1), upcase_entry(3, 5836)}, nullptr, true},
        {"bitmap too short for the volume",
         {bitmap_entry(2, 1983), upcase_entry(3, 5836)},
         &volume,
         false},
        {"bitmap past the last cluster",
         {bitmap_entry(15874, 1984), upcase_entry(3, 5836)},
         &volume,
         false},
        {"no up-case table", {label, bitmap_entry(2, 1984)}, nullptr, false},
        {"up-case table too long",
         {bitmap_entry(2, 1984), upcase_entry(3, 131073)},
         nullptr,
         false},
        {"after the end of the directory",
         {label, end, bitmap_entry(2, 1984), upcase_entry(3, 5836)},
         nullptr,
         false},
        {"only the second bitmap",
         {bitmap_entry(2, 1984, true), upcase_entry(3, 5836)},
         nullptr,
         false},
        {"TexFAT without its second bitmap",
         {bitmap_entry(2, 1984), upcase_entry(3, 5836)},
         &texfat,
         false},
        {"TexFAT",
         {bitmap_entry(2, 1984), bitmap_entry(4, 1984, true), upcase_entry(3, 5836)},
         &texfat,
         true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(is_exfat_root_sector(sector_of(c.entries), c.limits), c.passes) << c.name;

    exfat_root_facts_t facts;
    ASSERT_TRUE(is_exfat_root_sector(
        sector_of({label, bitmap_entry(2, 1984), upcase_entry(3, 5836)}), &volume, &facts));
    EXPECT_EQ(facts.bitmap_cluster, 2u);
    EXPECT_EQ(facts.bitmap_length, 1984u);
    EXPECT_EQ(facts.upcase_cluster, 3u);
    EXPECT_EQ(facts.upcase_length, 5836u);
    EXPECT_EQ(facts.upcase_checksum, 0xE619D30Du);
}

TEST(ExfatRootSector, UpcaseTableStart) {
    Sector table(512, 0);
    for (std::uint16_t i = 0; i < 256; ++i)
        store_le16(table.data() + 2 * i, i >= 'a' && i <= 'z' ? std::uint16_t(i - 32) : i);
    EXPECT_TRUE(is_upcase_start(table));
    Sector lower = table;
    store_le16(lower.data() + 2 * 'q', 'q');
    EXPECT_FALSE(is_upcase_start(lower));
    EXPECT_FALSE(is_upcase_start(Bytes(table).first(255)));
}

// One File entry set: name, attributes, first cluster, size.
struct SetFields {
    std::u16string name = u"IMG_0001.JPG";
    std::uint16_t attributes = 0x20;
    std::uint32_t first = 10;
    std::uint64_t length = 100'000;
    std::uint64_t valid = 100'000;
    std::uint8_t flags = 0x03;
    int name_length = -1;  // -1: the name's own
    std::vector<Entry> extra;
    bool deleted = false;
};

// A SetFields changed from the default one.
SetFields fields(const std::function<void(SetFields&)>& change) {
    SetFields s;
    change(s);
    return s;
}

Sector make_set(const SetFields& f) {
    const std::size_t name_entries = (f.name.size() + 14) / 15;
    std::vector<Entry> set(2 + name_entries);
    set[0][0] = 0x85;
    set[0][1] = static_cast<std::uint8_t>(1 + name_entries + f.extra.size());
    store_le16(set[0].data() + 4, f.attributes);
    store_le32(set[0].data() + 8, 0x52CF6531);   // 2021-06-15 12:41:34
    store_le32(set[0].data() + 12, 0x52CF6532);  // 12:41:36
    store_le32(set[0].data() + 16, 0x52CF0000);
    set[0][20] = 150;
    set[1][0] = 0xC0;
    set[1][1] = f.flags;
    set[1][3] =
        static_cast<std::uint8_t>(f.name_length < 0 ? f.name.size() : f.name_length);
    store_le64(set[1].data() + 8, f.valid);
    store_le32(set[1].data() + 20, f.first);
    store_le64(set[1].data() + 24, f.length);
    for (std::size_t n = 0; n < name_entries; ++n) {
        set[2 + n][0] = 0xC1;
        for (std::size_t u = 0; u < 15 && 15 * n + u < f.name.size(); ++u)
            store_le16(set[2 + n].data() + 2 + 2 * u, f.name[15 * n + u]);
    }
    set.insert(set.end(), f.extra.begin(), f.extra.end());
    Sector bytes;
    for (const Entry& e : set) bytes.insert(bytes.end(), e.begin(), e.end());
    store_le16(bytes.data() + 2, exfat_set_checksum(bytes, false));
    if (f.deleted)
        for (std::size_t i = 0; i < bytes.size(); i += 32) bytes[i] &= 0x7F;
    return bytes;
}

// 100,000 clusters of 4 KiB, of which the first 15,872 are on the card.
const exfat_set_limits_t kLimits{15874, 100000, 4096};

TEST(ExfatEntrySets, ParsedOrBroken) {
    Entry vendor{}, critical{};
    vendor[0] = 0xE0;
    critical[0] = 0xC2;
    struct Case {
        const char* name;
        SetFields fields;
        std::function<void(Sector&)> change;
        bool broken;
        std::string utf8;
    } cases[] = {
        {"a camera's picture", {}, {}, false, "IMG_0001.JPG"},
        {"non-ASCII",
         fields([](SetFields& s) { s.name = u"Stra\u00dfe \u00fcmlaut.png"; }),
         {},
         false,
         "Stra\u00dfe \u00fcmlaut.png"},
        {"a surrogate pair",
         fields([](SetFields& s) { s.name = u"smile \U0001F600.txt"; }),
         {},
         false,
         "smile \U0001F600.txt"},
        {"a lone surrogate", fields([](SetFields& s) { s.name = u"a\xD800z"; }), {}, false, "a\uFFFDz"},
        {"a name of 255 units",
         fields([](SetFields& s) { s.name = std::u16string(255, u'x'); }),
         {},
         false,
         std::string(255, 'x')},
        {"a zero unit ends the name",
         fields([](SetFields& s) { s.name = std::u16string(u"ab\0cd", 5); }),
         {},
         false,
         "ab"},
        {"an empty name",
         fields([](SetFields& s) { s.name = std::u16string(u"\0b", 2); }),
         {},
         true,
         ""},
        {"NameLength beyond its File Name entries",
         fields([](SetFields& s) {
             s.name = u"IMG_0001.JPG";
             s.name_length = 16;
         }),
         {},
         true,
         ""},
        {"NameLength 0", fields([](SetFields& s) { s.name_length = 0; }), {}, true, ""},
        {"a vendor extension after the name",
         fields([&](SetFields& s) { s.extra = {vendor}; }),
         {},
         false,
         "IMG_0001.JPG"},
        {"a foreign critical secondary",
         fields([&](SetFields& s) { s.extra = {critical}; }),
         {},
         true,
         ""},
        {"one secondary", {}, [](Sector& s) { s[1] = 1; }, true, ""},
        {"no Stream Extension", {}, [](Sector& s) { s[32] = 0xC1; }, true, ""},
        {"allocation not possible", fields([](SetFields& s) { s.flags = 0x02; }), {}, true, ""},
        {"a File Name entry of another kind", {}, [](Sector& s) { s[64] = 0xE1; }, true, ""},
        {"data without a first cluster", fields([](SetFields& s) { s.first = 0; }), {}, true, ""},
        {"an empty file",
         fields([](SetFields& s) {
             s.first = 0;
             s.length = 0;
             s.valid = 0;
         }),
         {},
         false,
         "IMG_0001.JPG"},
        {"first cluster past the volume", fields([](SetFields& s) { s.first = 15874; }), {}, true, ""},
        {"larger than the volume",
         fields([](SetFields& s) { s.length = 100000ull * 4096 + 1; }),
         {},
         true,
         ""},
        {"a folder of 256 MiB",
         fields([](SetFields& s) {
             s.attributes = 0x10;
             s.length = 256u << 20;
         }),
         {},
         false,
         "IMG_0001.JPG"},
        {"a folder past 256 MiB",
         fields([](SetFields& s) {
             s.attributes = 0x10;
             s.length = (256u << 20) + 4096;
         }),
         {},
         true,
         ""},
    };
    for (const Case& c : cases) {
        Sector bytes = make_set(c.fields);
        if (c.change) c.change(bytes);
        bytes.resize(bytes.size() + 64, 0);  // the directory goes on
        const exfat_set_t set = parse_entry_set(bytes, 0, false, kLimits);
        EXPECT_EQ(set.broken, c.broken) << c.name;
        EXPECT_EQ(set.consumed, c.broken ? 1u : std::size_t(bytes[1]) + 1) << c.name;
        if (!c.broken) {
            EXPECT_EQ(set.name, c.utf8) << c.name;
            EXPECT_EQ(set.checksum_ok, !c.change) << c.name;
        }
    }
}

TEST(ExfatEntrySets, ChecksumStatesAndDirectoryEnds) {
    const Sector live = make_set({});
    // One flipped timestamp bit costs the checksum, not the file.
    Sector changed = live;
    changed[13] ^= 0x01;
    exfat_set_t set = parse_entry_set(changed, 0, false, kLimits);
    EXPECT_FALSE(set.broken);
    EXPECT_FALSE(set.checksum_ok);

    // A deleted set was summed while it was live.
    const Sector deleted = make_set(fields([](SetFields& s) { s.deleted = true; }));
    set = parse_entry_set(deleted, 0, true, kLimits);
    EXPECT_FALSE(set.broken);
    EXPECT_TRUE(set.checksum_ok);
    EXPECT_TRUE(set.deleted);
    EXPECT_TRUE(parse_entry_set(deleted, 0, false, kLimits).broken);  // states must agree
    EXPECT_TRUE(parse_entry_set(live, 0, true, kLimits).broken);

    // A set that runs past what is known of the directory.
    EXPECT_TRUE(parse_entry_set(Bytes(live).first(live.size() - 32), 0, false, kLimits).broken);
    EXPECT_TRUE(parse_entry_set(live, 5, false, kLimits).broken);
    EXPECT_FALSE(parse_entry_set(live, 0, false, kLimits).broken);

    // Entries stepped over: a benign primary takes its secondaries.
    Sector guid(96, 0);
    guid[0] = 0xA0;
    guid[1] = 2;
    EXPECT_EQ(exfat_entries_taken(guid, 0), 3u);
    guid[1] = 200;
    EXPECT_EQ(exfat_entries_taken(guid, 0), 3u);  // never past the end
    guid[0] = 0x20;                               // deleted: one entry
    EXPECT_EQ(exfat_entries_taken(guid, 0), 1u);
}

TEST(ExfatEntrySets, ShortNames) {
    struct Case {
        const char* long_name;
        const char* name11;
    } cases[] = {
        {"IMG_0001.JPG", "IMG_0001JPG"},
        {"photo.jpeg", "PHOTO   JPE"},
        {"Stra\u00dfe \u00fcmlaut.png", "STRA_E_MPNG"},
        {".hidden", "HIDDEN     "},
        {"...txt", "_       TXT"},
        {"a+b[1].tar.gz", "A_B_1_TAGZ "},
        {"~$Report (2).docx", "~$REPORTDOC"},
        {"\U0001F600", "_          "},
    };
    for (const Case& c : cases) EXPECT_EQ(exfat_short_name(c.long_name), c.name11) << c.long_name;
}

TEST(ExfatEntrySets, CatalogueRecords) {
    // A file of 5 GiB whose valid data ends early, at a cluster past 65,535.
    exfat_set_t set = parse_entry_set(make_set(fields([](SetFields& s) {
                                          s.first = 70'000;
                                          s.length = 0x140000000;
                                          s.valid = 1000;
                                      })),
                                      0, false, {100'000, 0x7FFFFFFD, 32768});
    ASSERT_FALSE(set.broken);
    lfn_t r = exfat_set_to_entry(set);
    EXPECT_EQ(r.entry.size, 0x40000000u);
    EXPECT_EQ(r.size_high, 1u);
    EXPECT_EQ(item_size(r), 5'368'709'120u);
    EXPECT_EQ(item_valid_length(r), 1000u);
    EXPECT_EQ(r.entry.first_cluster(true), 70'000u);
    EXPECT_EQ(r.exfat_flags, kExfatSet | kExfatNoFatChain | kExfatChecksumOk);
    EXPECT_EQ(r.entry.name11(), "IMG_0001JPG");
    EXPECT_EQ(r.long_name, "IMG_0001.JPG");
    EXPECT_EQ(r.entry.attr, 0x20);
    EXPECT_EQ(r.entry.wtime, 0x6532);
    EXPECT_EQ(r.entry.wdate, 0x52CF);
    EXPECT_EQ(r.entry.ctime, 0x6531);
    EXPECT_EQ(r.entry.ctime_tenths, 150);
    EXPECT_EQ(r.entry.adate, 0x52CF);
    EXPECT_FALSE(is_deleted(r));

    // A folder: no size in its entry, its allocation as the valid length.
    set = parse_entry_set(make_set(fields([](SetFields& s) {
                              s.attributes = 0x10 | 0x40;
                              s.length = 8192;
                              s.deleted = true;
                          })),
                          0, true, kLimits);
    r = exfat_set_to_entry(set);
    EXPECT_EQ(r.entry.attr, 0x10);  // 0x40 is no FAT attribute
    EXPECT_EQ(r.entry.size, 0u);
    EXPECT_EQ(r.valid_length, 8192u);
    EXPECT_TRUE(is_deleted(r));
    EXPECT_FALSE(r.entry.is_deleted());  // its name is whole: nothing to guess

    // Sizes set on a record keep the valid length within them; FAT entries
    // stop at 32 bits.
    lfn_t exfat;
    exfat.exfat_flags = kExfatSet;
    exfat.valid_length = 7'000'000'000;
    set_item_size(exfat, 6'000'000'000);
    EXPECT_EQ(item_size(exfat), 6'000'000'000u);
    EXPECT_EQ(exfat.valid_length, 6'000'000'000u);
    lfn_t fat;
    set_item_size(fat, 6'000'000'000);
    EXPECT_EQ(item_size(fat), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace lk
