// The language files built into the program. The build turns every file of
// lang/files into bytes of a generated source; a file's resource identifier
// is 0x2000 plus its language's identifier (0x2000 itself is the master).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "lang/languages.hpp"

namespace lk {

struct BuiltinLanguageFile {
    std::string_view code;       // "xx" for the master
    std::string_view file_name;  // "lumenstr_" + code + ".lng"; names the file in error texts
    std::span<const std::uint8_t> data;
};

inline constexpr LangId kLanguageResourceBase = 0x2000;
inline constexpr std::string_view kMasterCode = "xx";

// Every built-in file, in no particular order.
std::span<const BuiltinLanguageFile> builtin_language_files();

// The resource identifier of a language code: 0x2000 for "xx" (without
// regard to case), 0x2000 + the row's identifier for a known code, 0 for an
// unknown one.
LangId language_resource_id(std::string_view code);

}  // namespace lk
