// Card image files (".cib"): a copy of a whole card that can later be
// analysed instead of the card, so that a failing card is read only once.
//
// File = header (183 bytes) + the card's bytes + trailer (7 bytes, the magic).
// All integers little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.hpp"
#include "input/copy_progress.hpp"
#include "input/platform.hpp"

namespace lk {

class Input;

// The header. Packed so that its size and offsets can be checked against the
// file layout; it is written through explicit little-endian stores
// (encode_cib) and read through the bounds-checked reader (parse_cib), never
// by casting file bytes.
//
// offset | size | field
//      0 |    7 | magic 3C 43 49 42 3E C1 B0 ("<CIB>" C1 B0)
//      7 |    1 | version, 1
//      8 |    4 | creation time, seconds since 1970-01-01 UTC
//     12 |    8 | card size in bytes
//     20 |    4 | read errors met while duplicating
//     24 |  128 | input display name, NUL-terminated, at most 127 characters
//    152 |   16 | MD5 of the card bytes as written
//    168 |    1 | flags; bit 0 = a trailer is written when the image is complete
//    169 |    7 | zero
//    176 |    7 | magic again
#pragma pack(push, 1)
struct cib_t {
    std::uint8_t magic[7];
    std::uint8_t version;
    std::uint32_t time;
    std::uint64_t size;
    std::uint32_t read_errors;
    char name[128];
    std::uint8_t md5[16];
    std::uint8_t flags;
    std::uint8_t reserved[7];
    std::uint8_t magic2[7];
};
#pragma pack(pop)

inline constexpr std::size_t kCibSize = 183;
inline constexpr std::size_t kCibTrailerSize = 7;
inline constexpr std::size_t kCibNameMax = 127;
inline constexpr std::array<std::uint8_t, 7> kCibMagic = {0x3C, 0x43, 0x49, 0x42, 0x3E, 0xC1, 0xB0};
inline constexpr std::uint8_t kCibVersion = 1;
inline constexpr std::uint8_t kCibTrailerFlag = 0x01;

static_assert(sizeof(cib_t) == kCibSize);
static_assert(offsetof(cib_t, version) == 7);
static_assert(offsetof(cib_t, time) == 8);
static_assert(offsetof(cib_t, size) == 12);
static_assert(offsetof(cib_t, read_errors) == 20);
static_assert(offsetof(cib_t, name) == 24);
static_assert(offsetof(cib_t, md5) == 152);
static_assert(offsetof(cib_t, flags) == 168);
static_assert(offsetof(cib_t, reserved) == 169);
static_assert(offsetof(cib_t, magic2) == 176);

// A new header: magic twice, version 1, trailer flag, the time, the card
// size and the name (cut to 127 characters); digest and error count zero.
cib_t make_cib(std::string_view name, std::uint64_t card_size, std::uint32_t time);
std::array<std::uint8_t, kCibSize> encode_cib(const cib_t& header);
// The header at the start of `bytes` when it is valid: both magic copies
// match and the version is 1. Anything else is an ordinary input.
std::optional<cib_t> parse_cib(Bytes bytes);
bool is_cib_magic(Bytes bytes);

enum class DuplicateResult {
    Done,          // complete image with trailer and digest
    Cancelled,     // stopped by the user; the output is deleted
    NoSpace,       // less than twice the card size free; nothing written
    CreateFailed,  // the output could not be created
    WriteFailed,   // a write failed; an incomplete image may stay on disk
    Failed,        // an internal error stopped the copy
};

// Duplicates the input's first `input.input_size` bytes into a card image at
// `output_path`, reading through ReadAt (cache, read-ahead and read-error
// policy apply). Progress and cancellation go through `progress`; errors are
// shown through the input's Status; while the image is written every status
// line is also appended to "lumenkeeper.log" beside it.
DuplicateResult DuplicateCard(Input& input, const std::string& output_path, CopyProgress& progress,
                              const FreeSpaceFn& free_space = FreeSpace);

}  // namespace lk
