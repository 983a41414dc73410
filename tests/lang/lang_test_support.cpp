#include "lang_test_support.hpp"

namespace lk::test {

std::vector<std::uint8_t> latin1(std::string_view text) {
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> utf16le(std::u16string_view text) {
    std::vector<std::uint8_t> out{0xFF, 0xFE};
    for (char16_t c : text) out.insert(out.end(), {std::uint8_t(c & 0xFF), std::uint8_t(c >> 8)});
    return out;
}

std::vector<std::uint8_t> utf16be(std::u16string_view text) {
    std::vector<std::uint8_t> out{0xFE, 0xFF};
    for (char16_t c : text) out.insert(out.end(), {std::uint8_t(c >> 8), std::uint8_t(c & 0xFF)});
    return out;
}

void BuiltinSet::add(std::string_view code, std::vector<std::uint8_t> data) {
    data_.push_back(std::move(data));
    names_.push_back("lumenstr_" + std::string(code) + ".lng");
    const std::string_view name = names_.back();
    files_.push_back({name.substr(9, code.size()), name, data_.back()});
}

}  // namespace lk::test
