#include "input/sector_map.hpp"

#include <algorithm>
#include <cstring>

#include "input/copy_progress.hpp"
#include "input/input.hpp"

namespace lk {

namespace {

constexpr std::size_t kChunk = 262'144;

std::uint8_t classify(const Input& input, std::int64_t offset, const std::uint8_t* sector,
                      std::size_t length) {
    if (input.IsBadSector(offset)) return kSectorBad;
    // All bytes equal to the first: compare the sector with itself shifted by one.
    return length > 1 && std::memcmp(sector, sector + 1, length - 1) != 0 ? kSectorData
                                                                          : kSectorEmpty;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> MapSectors(Input& input, CopyProgress& progress) {
    struct FinalHandOver {
        CopyProgress& progress;
        Input& input;
        ~FinalHandOver() { progress.hand_over(100, input.read_errors()); }
    } final_hand_over{progress, input};

    const std::int64_t size = std::max<std::int64_t>(input.input_size, 0);
    const auto sectors = static_cast<std::size_t>(size / Input::kSectorSize);
    std::vector<std::uint8_t> map(sectors, kSectorEmpty);
    std::vector<std::uint8_t> buffer(kChunk);
    input.reset_read_errors();
    progress.hand_over(0, 0);
    for (std::int64_t offset = 0; offset < size; offset += kChunk) {
        progress.hand_over(percent_of(offset, size), input.read_errors());
        if (progress.is_cancelled()) return std::nullopt;
        const auto length = static_cast<std::size_t>(std::min<std::int64_t>(kChunk, size - offset));
        // Unreadable sectors come back as fill bytes and land in the
        // bad-sector set, which decides their entry.
        // A read that fails as a whole leaves zeros: its sectors are in the
        // bad-sector set all the same.
        if (input.ReadAt(offset, buffer.data(), length) < 0) std::fill_n(buffer.begin(), length, 0);
        for (std::size_t at = 0; at + Input::kSectorSize <= length; at += Input::kSectorSize) {
            const std::int64_t sector_offset = offset + static_cast<std::int64_t>(at);
            map[static_cast<std::size_t>(sector_offset / 512)] =
                classify(input, sector_offset, buffer.data() + at, Input::kSectorSize);
        }
    }
    return map;
}

}  // namespace lk
