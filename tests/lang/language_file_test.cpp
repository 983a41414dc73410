#include "lang/language_file.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lang_test_support.hpp"

namespace lk {
namespace {

using test::latin1;
using test::utf16be;
using test::utf16le;

std::map<std::int32_t, std::string> texts(const MessageMap& map) {
    std::map<std::int32_t, std::string> out;
    for (const auto& [number, info] : map) out[number] = info.text;
    return out;
}

TEST(LanguageFile, ReadsEveryEncodingAndTheGrammar) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> data;
        std::map<std::int32_t, std::string> want;
    };
    const Case cases[] = {
        {"8-bit: bytes are code points 0-255",
         latin1("INTS(1, \"caf\xE9\")"),
         {{1, "caf\u00e9"}}},
        {"FF FE: UTF-16 little-endian",
         utf16le(u"INTS(1, \"Gr\u00f6\u00dfe\")\n"),
         {{1, "Gr\u00f6\u00dfe"}}},
        {"FE FF: UTF-16 big-endian",
         utf16be(u"INTS(2, \"\u6587\u4ef6\")\n"),
         {{2, "\u6587\u4ef6"}}},
        {"a surrogate pair", utf16le(u"INTS(3, \"\U0001F4F7\")"), {{3, "\U0001F4F7"}}},
        {"EF BB BF: UTF-8",
         latin1("\xEF\xBB\xBFINTS(4, \"\xC3\xA9t\xC3\xA9\")"),
         {{4, "\u00e9t\u00e9"}}},
        {"a message over two lines", latin1("INTS(70, \"a \"\n\"b\")\n"), {{70, "a b"}}},
        {"comments, blank lines, CR LF and blanks around the parts",
         latin1("; header\r\n\r\n   ; indented\r\n\tINTS( -5 ,\t\"x\"  \r\n  \"y\")  \r\n"),
         {{-5, "xy"}}},
        {"escapes",
         latin1(R"(INTS(1, "\a\b\f\n\r\t\v|\x41\x4a5\xg|\101\7777|\q\\\"|"))"),
         {{1, "\a\b\f\n\r\t\v|AJ5xg|A\u01ff7|q\\\"|"}}},
        {"a trailing backslash is dropped", latin1(R"(INTS(1, "ab\"))"), {{1, "ab"}}},
        {"quotes inside the text", latin1("INTS(1, \"say \"hi\"\")"), {{1, "say \"hi\""}}},
        {"an empty text", latin1("INTS(1, \"\")"), {{1, ""}}},
        {"a decoded NUL ends the piece",
         latin1(R"(INTS(1, "ab\0cd" )"
                "\n\"ef\")"),
         {{1, "abef"}}},
        // The mnemonic marks of menus and buttons, in every language.
        {"\"&\" is kept", latin1("INTS(1, \"&Datei && B&eenden\")"), {{1, "&Datei && B&eenden"}}},
        {"a line of 1,023 characters",
         latin1("INTS(1, \"" + std::string(1023 - 11, 'a') + "\")"),
         {{1, std::string(1023 - 11, 'a')}}},
        {"a file of comments", latin1(";\n; nothing\n"), {}},
    };
    for (const Case& c : cases) {
        MessageMap map;
        const auto error = parse_language_file(c.data, "t.lng", map);
        EXPECT_FALSE(error) << c.what << ": " << error->text;
        EXPECT_EQ(texts(map), c.want) << c.what;
    }
}

TEST(LanguageFile, MessagesRememberTheLineWhereTheyStart) {
    MessageMap map;
    ASSERT_FALSE(parse_language_file(latin1("; c\n\nINTS(1, \"a\"\n\"b\")\nINTS(2, \"c\")\n"),
                                     "t.lng", map));
    EXPECT_EQ(map.at(1).line, 3);
    EXPECT_EQ(map.at(2).line, 5);
}

TEST(LanguageFile, SyntaxErrorsAndDuplicatesNameTheFileAndLine) {
    struct Case {
        const char* what;
        std::string data;
        std::string want;
        std::int32_t line;
    };
    const Case cases[] = {
        {"number 0", "INTS(7, \"a\")\n; c\nINTS(0, \"x\")\n", "t.lng, 3, (lastnum 7): syntax error",
         3},
        {"a missing comma", "INTS(5 \"x\")\n", "t.lng, 1, (lastnum 0): syntax error", 1},
        {"a piece without its closing quote", "INTS(5, \"x)\n",
         "t.lng, 1, (lastnum 5): syntax error", 1},
        {"a piece without its opening quote", "INTS(5, x\")\n",
         "t.lng, 1, (lastnum 5): syntax error", 1},
        {"a continuation without quotes", "INTS(5, \"a\"\nb\")\n",
         "t.lng, 2, (lastnum 5): syntax error", 2},
        {"a blank between quote and parenthesis", "INTS(5, \"a\" )\n",
         "t.lng, 1, (lastnum 5): syntax error", 1},
        {"text after the parenthesis", "INTS(5, \"a\");\n", "t.lng, 1, (lastnum 5): syntax error",
         1},
        {"a new message inside an open one", "INTS(1, \"a\"\nINTS(2, \"b\")\n",
         "t.lng, 2, (lastnum 1): syntax error", 2},
        {"no number", "INTS(, \"a\")\n", "t.lng, 1, (lastnum 0): syntax error", 1},
        {"a number past 32 bits", "INTS(4294967297, \"a\")\n",
         "t.lng, 1, (lastnum 0): syntax error", 1},
        {"a line that is no message", "INTS(1, \"a\")\nhello\n",
         "t.lng, 2, (lastnum 1): syntax error", 2},
        {"a lower-case keyword", "ints(1, \"a\")\n", "t.lng, 1, (lastnum 0): syntax error", 1},
        {"a line longer than 1,023 characters", "INTS(1, \"" + std::string(1024 - 11, 'a') + "\")",
         "t.lng, 1, (lastnum 0): syntax error", 1},
        {"a duplicate number names the second line", "INTS( 5, \"a\")\n\nINTS( 5, \"b\")\n",
         "t.lng, 3: duplicate number 5", 3},
    };
    for (const Case& c : cases) {
        MessageMap map;
        const auto error = parse_language_file(latin1(c.data), "t.lng", map);
        ASSERT_TRUE(error) << c.what;
        EXPECT_EQ(error->text, c.want) << c.what;
        EXPECT_EQ(error->line, c.line) << c.what;
    }
}

TEST(LanguageFile, BrokenUnicodeBecomesReplacementCharacters) {
    // A lone surrogate, an overlong UTF-8 form and a cut-off sequence.
    const std::u16string lone = u"INTS(1, \"a\xD800z\")";
    std::vector<std::uint8_t> utf8 = latin1("\xEF\xBB\xBFINTS(2, \"\xC0\xAF|\xE6\x96\")");
    MessageMap map;
    ASSERT_FALSE(parse_language_file(utf16le(lone), "t.lng", map));
    ASSERT_FALSE(parse_language_file(utf8, "t.lng", map));
    EXPECT_EQ(map.at(1).text, "a\uFFFDz");
    EXPECT_EQ(map.at(2).text, "\uFFFD\uFFFD|\uFFFD\uFFFD");
}

}  // namespace
}  // namespace lk
