#include "formats/signatures.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/reporter.hpp"
#include "lang/format.hpp"
#include "tests/support/process.hpp"

namespace lk {
namespace {

using Buffer = std::vector<std::uint8_t>;

struct Message {
    MessageKind kind;
    std::string caption, text;
};

class RecordingReporter : public Reporter {
  public:
    void status_text(std::uint32_t, const std::string&) override {}
    void notify(std::uint32_t) override {}
    std::uint64_t ask_card_parameters(CardParameters&) override { return 0; }
    void message(MessageKind kind, const std::string& caption, const std::string& text) override {
        messages.push_back({kind, caption, text});
    }
    std::vector<Message> messages;
};

std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

TEST(Signatures, LoadsNamesPatternsAndWildcards) {
    const std::string text =
        "; user file types\r\n"
        "\r\n"
        "JPG : ff d8 FF e1 ? ? 45 78 69 66 ; EXIF first\r\n"
        "Two words:00??7F?\n"
        "CAM:  AA\n";
    SignatureTable table;
    RecordingReporter reporter;
    ASSERT_TRUE(table.load_from_text(text, "/cards/lumenkeeper.sig", &reporter));

    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0].kind, MessageKind::Information);
    EXPECT_EQ(reporter.messages[0].caption, "Lumenkeeper");
    EXPECT_EQ(reporter.messages[0].text,
              "Signatures file /cards/lumenkeeper.sig is successfully loaded");

    const auto& sigs = table.signatures();
    ASSERT_EQ(sigs.size(), 3u);
    EXPECT_EQ(sigs[0].name, "JPG ");  // blanks before the colon are kept
    EXPECT_EQ(sigs[0].value, (Buffer{0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 0x45, 0x78, 0x69, 0x66}));
    EXPECT_EQ(sigs[0].mask, (Buffer{1, 1, 1, 1, 0, 0, 1, 1, 1, 1}));
    EXPECT_EQ(sigs[1].name, "Two words");
    EXPECT_EQ(sigs[1].value, (Buffer{0x00, 0, 0, 0x7F, 0}));
    EXPECT_EQ(sigs[1].mask, (Buffer{1, 0, 0, 1, 0}));
    EXPECT_EQ(sigs[2].name, "CAM");
    EXPECT_EQ(sigs[2].value, Buffer{0xAA});
}

TEST(Signatures, AnErrorNamesItsLineAndEmptiesTheTable) {
    const std::string good = "OK1: 01 02\n";
    const std::string hex =
        "Can't read hexadecimal char for pattern from signatures file at line %d";
    const std::string sig = "Can't read signature from signatures file at line %d";
    const std::string pattern = "Can't read pattern from signatures file at line %d";
    struct Case {
        std::string bad_line;
        std::string message;
    };
    const Case cases[] = {
        {"JPG: FFD8FF", hex},
        {"JPG: FF D8 F", hex},
        {"JPG: 0x12", hex},
        {"JPG:\tFF", hex},
        {"JPG: FG", hex},
        {"JPG: FF, D8", hex},
        {"JPG:", pattern},
        {"JPG:   ; only a comment", pattern},
        {"FF D8 FF", sig},
        {"   ", sig},      // blanks only: not an empty line
        {": FF D8", sig},  // no name
        {"BIG:" + repeat(" 00", 513), pattern},
    };
    for (const Case& c : cases) {
        SignatureTable table;
        ASSERT_TRUE(table.load_from_text(good, "x", nullptr));
        RecordingReporter reporter;
        // The bad line is line 3, after a good one and a comment.
        EXPECT_FALSE(
            table.load_from_text(good + "; comment\n" + c.bad_line + "\n" + good, "x", &reporter))
            << c.bad_line;
        EXPECT_TRUE(table.empty()) << c.bad_line;
        ASSERT_EQ(reporter.messages.size(), 1u) << c.bad_line;
        EXPECT_EQ(reporter.messages[0].kind, MessageKind::Error);
        EXPECT_EQ(reporter.messages[0].caption, "Error");
        EXPECT_EQ(reporter.messages[0].text, format(c.message, 3)) << c.bad_line;
    }
}

TEST(Signatures, TableLimits) {
    SignatureTable table;
    // 512 pattern bytes in a line of more than 1,024 characters.
    const std::string longest =
        "BIG:" + repeat(" ?", 511) + " 42 ; " + std::string(600, 'c') + "\n";
    ASSERT_GT(longest.size(), 1024u);
    ASSERT_TRUE(table.load_from_text(longest, "x", nullptr));
    ASSERT_EQ(table.signatures().size(), 1u);
    EXPECT_EQ(table.signatures()[0].value.size(), 512u);

    std::string many;
    for (int i = 0; i < 127; ++i)
        many += "S" + std::to_string(i) + ": " + std::to_string(10 + i % 90) + "\n";
    ASSERT_TRUE(table.load_from_text(many, "x", nullptr));
    EXPECT_EQ(table.signatures().size(), 127u);

    RecordingReporter reporter;
    EXPECT_FALSE(table.load_from_text("; 128 of them\n" + many + "LAST: 01\n", "x", &reporter));
    EXPECT_TRUE(table.empty());
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0].text, "Can't read signature from signatures file at line 129");
}

TEST(Signatures, FirstMatchInFileOrder) {
    SignatureTable table;
    ASSERT_TRUE(table.load_from_text("AAA: 11 ? 33\nBBB: 11 22\nLNG: 11 22 33 44\n", "x", nullptr));
    struct Case {
        Buffer data;
        std::string_view name;
    };
    const Case cases[] = {
        {{0x11, 0x22, 0x33, 0x44}, "AAA"},
        {{0x11, 0x99, 0x33}, "AAA"},
        {{0x11, 0x22, 0x34, 0x44}, "BBB"},
        {{0x11, 0x22}, "BBB"},  // too short for AAA
        {{0x11}, ""},
        {{0x12, 0x22, 0x33, 0x44}, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(table.match_signature(c.data), c.name);

    // A pattern as long as the buffer matches, one byte more does not.
    ASSERT_TRUE(table.load_from_text("FULL:" + repeat(" 5A", 512) + "\n", "x", nullptr));
    EXPECT_EQ(table.match_signature(Buffer(512, 0x5A)), "FULL");
    EXPECT_EQ(table.match_signature(Buffer(511, 0x5A)), "");
}

TEST(Signatures, LoadFromFile) {
    test::TempDir dir;
    SignatureTable table;
    RecordingReporter reporter;
    EXPECT_FALSE(table.load_signatures((dir / "lumenkeeper.sig").string(), &reporter));
    EXPECT_TRUE(reporter.messages.empty()) << "a missing file is not mentioned";
    EXPECT_TRUE(table.empty());

    const std::string path = (dir / "lumenkeeper.sig").string();
    std::ofstream(path, std::ios::binary) << "; nothing but comments\r\n\r\n;JPG: FF D8\r\n";
    EXPECT_TRUE(table.load_signatures(path, &reporter));
    EXPECT_TRUE(table.empty());
    ASSERT_EQ(reporter.messages.size(), 1u);
    EXPECT_EQ(reporter.messages[0].text, "Signatures file " + path + " is successfully loaded");

    std::ofstream(path, std::ios::binary) << "PNG: 89 50 4E 47\r\n";
    EXPECT_TRUE(table.load_signatures(path, nullptr));
    EXPECT_EQ(table.match_signature(Buffer{0x89, 'P', 'N', 'G', 0x0D}), "PNG");
}

TEST(Signatures, FileLivesNextToTheProgram) {
    const std::filesystem::path path = signature_file_path();
    EXPECT_EQ(path.filename(), "lumenkeeper.sig");
    EXPECT_EQ(std::filesystem::canonical(path.parent_path()),
              std::filesystem::canonical("/proc/self/exe").parent_path());
}

}  // namespace
}  // namespace lk
