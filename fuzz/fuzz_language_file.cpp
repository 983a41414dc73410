// Language files: any bytes, in any of the encodings. An error names a line;
// every message has a number other than 0 and the line it starts on.
#include <cstddef>
#include <cstdint>

#include "lang/language_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    lk::MessageMap map;
    const auto error = lk::parse_language_file(bytes, "fuzz.lng", map);
    if (error && (error->line < 1 || error->text.empty())) __builtin_trap();
    for (const auto& [number, info] : map)
        if (number == 0 || info.line < 1 || (error && info.line > error->line)) __builtin_trap();
    return 0;
}
