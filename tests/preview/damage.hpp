// Pictures made at test time and the damage a recovery meets: a file cut
// short, its scan data overwritten, clusters of another picture in its
// middle.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "tools/jpeg_maker.hpp"

namespace lk::test {

inline std::vector<std::uint8_t> camera_jpeg(std::uint32_t seed, int width, int height) {
    tools::JpegOptions o;
    o.seed = seed;
    o.width = width;
    o.height = height;
    return tools::make_jpeg(o);
}

// Where the scan data of a JPEG begins: after its start-of-scan segment.
inline std::size_t scan_start(const std::vector<std::uint8_t>& bytes) {
    std::size_t p = 2;
    while (p + 4 <= bytes.size() && bytes[p] == 0xFF) {
        const std::size_t length = std::size_t(bytes[p + 2]) << 8 | bytes[p + 3];
        if (bytes[p + 1] == 0xDA) return p + 2 + length;
        p += 2 + length;
    }
    return bytes.size();
}

// The first share (0..1) of the bytes.
inline std::vector<std::uint8_t> cut(std::vector<std::uint8_t> bytes, double share) {
    bytes.resize(static_cast<std::size_t>(bytes.size() * share));
    return bytes;
}

// Random bytes from `from` to the end, the last two kept (the end marker).
inline std::vector<std::uint8_t> garbage_from(std::vector<std::uint8_t> bytes, std::size_t from,
                                              std::uint32_t seed = 1) {
    std::mt19937 random(seed);
    for (std::size_t i = from; i + 2 < bytes.size(); ++i) bytes[i] = std::uint8_t(random());
    return bytes;
}

// `count` clusters of `other`, from its middle, in place of the picture's
// clusters from cluster `at` on: a fragmented file carved in one piece.
inline std::vector<std::uint8_t> swap_clusters(std::vector<std::uint8_t> bytes,
                                               const std::vector<std::uint8_t>& other,
                                               std::size_t at, std::size_t count,
                                               std::size_t cluster = 4096) {
    const std::size_t source = other.size() / cluster / 2 * cluster;
    for (std::size_t i = 0; i < count * cluster; ++i) {
        const std::size_t to = at * cluster + i, from = source + i;
        if (to >= bytes.size() || from >= other.size()) break;
        bytes[to] = other[from];
    }
    return bytes;
}

}  // namespace lk::test
