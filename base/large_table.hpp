// Tables of megabytes (the FAT copies, the per-cluster tables, the read-ahead
// buffers) in memory of their own, backed by huge pages where the system has
// them: a 2 GB card's tables then take a few page faults instead of several
// thousand as they are first filled, and the chain walks' jumps across them
// miss the TLB far less. Smaller tables come from the usual allocator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace lk {

// Uninitialised: a resize without a value leaves the new elements as they
// come (zero pages from the system, or stale bytes), for buffers that are
// filled by reads before they are used.
template <class T, bool Uninitialised = false>
class LargeTableAllocator {
  public:
    using value_type = T;
    template <class U>
    struct rebind {
        using other = LargeTableAllocator<U, Uninitialised>;
    };
    static constexpr std::size_t kHuge = std::size_t{2} << 20;  // the x86-64 and arm64 huge page
    // Tables from half a huge page up get memory of their own, rounded up
    // to whole huge pages: a 2 GB card's per-cluster table of 32-bit
    // entries falls just short of 2 MB.
    static constexpr std::size_t kMapped = kHuge / 2;

    LargeTableAllocator() = default;
    template <class U>
    LargeTableAllocator(const LargeTableAllocator<U, Uninitialised>&) noexcept {}

    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (Uninitialised && sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
#if defined(__linux__)
        if (n * sizeof(T) >= kMapped) return static_cast<T*>(map(rounded(n)));
#endif
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
#if defined(__linux__)
        if (n * sizeof(T) >= kMapped) {
            ::munmap(p, rounded(n));
            return;
        }
#endif
        std::allocator<T>().deallocate(p, n);
    }

    friend bool operator==(const LargeTableAllocator&, const LargeTableAllocator&) { return true; }

    // Whether allocate(n) gives memory that reads as zeros: a fresh
    // mapping does, before anything is written to it.
    static constexpr bool zero_filled(std::size_t n) {
#if defined(__linux__)
        return n * sizeof(T) >= kMapped;
#else
        (void)n;
        return false;
#endif
    }

  private:
#if defined(__linux__)
    static std::size_t rounded(std::size_t n) { return (n * sizeof(T) + kHuge - 1) / kHuge * kHuge; }
    // A mapping aligned to a huge page: a larger one is made and its ends
    // beyond the aligned part given back.
    static void* map(std::size_t length) {
        void* p = ::mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        const auto base = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (base + kHuge - 1) / kHuge * kHuge;
        if (aligned > base) ::munmap(p, aligned - base);
        if (const std::uintptr_t tail = base + length + kHuge - (aligned + length); tail > 0)
            ::munmap(reinterpret_cast<void*>(aligned + length), tail);
#ifdef MADV_HUGEPAGE
        ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint only
#endif
        return reinterpret_cast<void*>(aligned);
    }
#endif
};

template <class T>
using LargeTable = std::vector<T, LargeTableAllocator<T>>;
using LargeBuffer = std::vector<std::uint8_t, LargeTableAllocator<std::uint8_t, true>>;

// A table of entries that start at zero, for tables where most entries
// stay zero (the FAT's predecessor table on a formatted card): a large one
// is made afresh from zero pages, also when made again at its size, and not
// written over, so that only the pages written to are backed by memory.
template <class T>
class ZeroedTable {
  public:
    void reset(std::size_t n) {
        if (!Allocator::zero_filled(n)) {
            table_.assign(n, T{});
            return;
        }
        Table().swap(table_);  // given back before the new one is made
        table_.resize(n);      // not written: zero_filled
    }
    std::size_t size() const { return table_.size(); }
    T& operator[](std::size_t i) { return table_[i]; }
    const T& operator[](std::size_t i) const { return table_[i]; }

  private:
    using Allocator = LargeTableAllocator<T, true>;
    using Table = std::vector<T, Allocator>;
    Table table_;
};

}  // namespace lk
