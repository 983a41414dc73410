// A camera raw file made at test time (and by the benchmark): LibRaw reads
// it like a camera's.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace lk::test {

// An uncompressed DNG of width x height 16-bit Bayer samples (a gradient).
inline std::vector<std::uint8_t> make_dng(int width, int height) {
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count;
        std::vector<std::uint8_t> value;
    };
    auto shorts = [](std::initializer_list<std::uint16_t> v) {
        std::vector<std::uint8_t> b;
        for (std::uint16_t x : v)
            for (int shift : {0, 8}) b.push_back(std::uint8_t(x >> shift));
        return b;
    };
    auto longs = [](std::initializer_list<std::uint32_t> v) {
        std::vector<std::uint8_t> b;
        for (std::uint32_t x : v)
            for (int shift : {0, 8, 16, 24}) b.push_back(std::uint8_t(x >> shift));
        return b;
    };
    auto text = [](const char* s) { return std::vector<std::uint8_t>(s, s + std::strlen(s) + 1); };
    const std::uint32_t data_size = std::uint32_t(width) * std::uint32_t(height) * 2;
    std::vector<Entry> entries = {
        {0x00FE, 4, 1, longs({0})},
        {0x0100, 4, 1, longs({std::uint32_t(width)})},
        {0x0101, 4, 1, longs({std::uint32_t(height)})},
        {0x0102, 3, 1, shorts({16})},
        {0x0103, 3, 1, shorts({1})},
        {0x0106, 3, 1, shorts({32803})},  // colour filter array
        {0x010F, 2, 6, text("Lumen")},
        {0x0110, 2, 5, text("Test")},
        {0x0111, 4, 1, longs({0})},  // strip offset, set below
        {0x0115, 3, 1, shorts({1})},
        {0x0116, 4, 1, longs({std::uint32_t(height)})},
        {0x0117, 4, 1, longs({data_size})},
        {0x011C, 3, 1, shorts({1})},
        {0x828D, 3, 2, shorts({2, 2})},
        {0x828E, 1, 4, {0, 1, 1, 2}},
        {0xC612, 1, 4, {1, 4, 0, 0}},
        {0xC614, 2, 11, text("Lumen Test")},
        {0xC61D, 4, 1, longs({65535})},  // white level
    };
    std::vector<std::uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const std::size_t ifd_size = 2 + 12 * entries.size() + 4;
    std::size_t extra = 8 + ifd_size;
    std::vector<std::uint8_t> ifd = shorts({std::uint16_t(entries.size())}), values;
    std::size_t strip_entry = 0;
    for (const Entry& e : entries) {
        if (e.tag == 0x0111) strip_entry = ifd.size();
        auto head = shorts({e.tag, e.type});
        ifd.insert(ifd.end(), head.begin(), head.end());
        auto count = longs({e.count});
        ifd.insert(ifd.end(), count.begin(), count.end());
        if (e.value.size() <= 4) {
            std::vector<std::uint8_t> v = e.value;
            v.resize(4, 0);
            ifd.insert(ifd.end(), v.begin(), v.end());
        } else {
            auto at = longs({std::uint32_t(extra + values.size())});
            ifd.insert(ifd.end(), at.begin(), at.end());
            values.insert(values.end(), e.value.begin(), e.value.end());
            if (values.size() % 2) values.push_back(0);
        }
    }
    ifd.resize(ifd.size() + 4, 0);
    const std::uint32_t data_at = std::uint32_t(extra + values.size());
    auto at = longs({data_at});
    std::copy(at.begin(), at.end(), ifd.begin() + std::ptrdiff_t(strip_entry + 8));
    out.insert(out.end(), ifd.begin(), ifd.end());
    out.insert(out.end(), values.begin(), values.end());
    out.reserve(out.size() + data_size);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint16_t v = std::uint16_t(4000 + 20 * x + 10 * y);
            out.push_back(std::uint8_t(v));
            out.push_back(std::uint8_t(v >> 8));
        }
    return out;
}

}  // namespace lk::test
