#include "base/large_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace lk {
namespace {

// Tables keep their contents as they grow from small (the usual allocator)
// to large (memory of their own) and shrink back; a large one begins at a
// huge-page boundary, where the system can back it with huge pages.
TEST(LargeTable, GrowsAcrossTheHugePageSizeKeepingItsContents) {
    constexpr std::size_t kHuge = LargeTableAllocator<std::uint32_t>::kHuge;
    auto value = [](std::size_t i) { return static_cast<std::uint32_t>(i * 2654435761u); };
    LargeTable<std::uint32_t> table;
    std::size_t filled = 0;
    for (const std::size_t n : {std::size_t{0}, std::size_t{100}, kHuge / 4 - 1, kHuge / 4, kHuge + 3, std::size_t{7}}) {
        table.resize(n, 0xA5A5A5A5u);
        for (std::size_t i = 0; i < std::min(n, filled); ++i) ASSERT_EQ(table[i], value(i)) << n << " " << i;
        for (std::size_t i = std::min(n, filled); i < n; ++i) ASSERT_EQ(table[i], 0xA5A5A5A5u) << n << " " << i;
        for (std::size_t i = 0; i < n; ++i) table[i] = value(i);
        filled = n;
#if defined(__linux__)
        if (n * sizeof(std::uint32_t) >= LargeTableAllocator<std::uint32_t>::kMapped) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table.data()) % kHuge, 0u) << n;
        }
#endif
    }
    LargeTable<std::uint32_t> copy = table;
    EXPECT_EQ(copy, table);
    table.shrink_to_fit();
    EXPECT_EQ(table.size(), 7u);
}

// A zeroed table reads as zeros after every reset, whether its memory is
// new, given back and made again at the same size, or reused (small).
TEST(ZeroedTable, ReadsAsZerosAfterEveryReset) {
    constexpr std::size_t kHuge = LargeTableAllocator<std::uint32_t>::kHuge;
    ZeroedTable<std::uint32_t> table;
    for (const std::size_t n : {std::size_t{100}, std::size_t{100}, kHuge / 4 + 5, kHuge / 4 + 5, std::size_t{50}}) {
        table.reset(n);
        ASSERT_EQ(table.size(), n);
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(table[i], 0u) << n << " " << i;
        for (std::size_t i = 0; i < n; i += 7) table[i] = 0xFFFFFFFFu;
    }
}

}  // namespace
}  // namespace lk
