// Language files made up for tests: bytes in each encoding, and a set of
// built-in files standing in for the program's own.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "lang/builtin_files.hpp"

namespace lk::test {

std::vector<std::uint8_t> latin1(std::string_view text);
std::vector<std::uint8_t> utf16le(std::u16string_view text);  // with the FF FE marker
std::vector<std::uint8_t> utf16be(std::u16string_view text);  // with the FE FF marker

// Built-in files by code; the spans stay valid while the set lives.
class BuiltinSet {
  public:
    void add(std::string_view code, std::vector<std::uint8_t> data);
    std::span<const BuiltinLanguageFile> files() const { return files_; }

  private:
    std::deque<std::vector<std::uint8_t>> data_;
    std::deque<std::string> names_;
    std::vector<BuiltinLanguageFile> files_;
};

}  // namespace lk::test
