// Language files: numbered messages, one file per language, joined with the
// master file by number.
//
// A file is text in one of these encodings, told apart by its first bytes:
//   FE FF     UTF-16 big-endian        (marker skipped)
//   FF FE     UTF-16 little-endian     (marker skipped)
//   EF BB BF  UTF-8                    (marker skipped)
//   other     8-bit, one byte per character, taken as code points 0-255
// Per line, after leading white space:
//   empty or ";..."            a comment
//   INTS(number, "piece"       a new message (number decimal, "-" allowed, 0 not)
//   "piece"                    the next piece of the open message
// A piece's closing quote is the last non-blank character of its line; a ")"
// right after it closes the message. Pieces are joined; backslash escapes are
// decoded (a "&", a mnemonic, is kept). Texts come out as UTF-8.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lk {

// One parsed message: where it starts in its file and its text (UTF-8).
struct msg_info_t {
    std::int32_t line = 0;
    std::string text;
};

// A parsed file: message number to message.
using MessageMap = std::map<std::int32_t, msg_info_t>;

// A language file that cannot be used: the message to show in the "Error"
// box (looked up and formatted, naming the file and line) and the line.
struct LanguageFileError {
    std::string text;
    std::int32_t line = 0;
};

// The longest line, line feed excluded; a longer one is a syntax error.
inline constexpr std::size_t kMaxLanguageLine = 1023;

// Parses `data` into `map`; `name` names the file in error texts. Messages
// already in `map` count as read before (a number seen again is a duplicate).
std::optional<LanguageFileError> parse_language_file(std::span<const std::uint8_t> data,
                                                     std::string_view name,
                                                     MessageMap& map);

// The Unicode text of a language file, decoded by its marker as above.
std::u32string decode_language_text(std::span<const std::uint8_t> data);

// UTF-8 of a code point; surrogates and values past U+10FFFF become U+FFFD.
void append_utf8(std::string& out, char32_t cp);

}  // namespace lk
