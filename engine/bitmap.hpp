// A growable bit set indexed by cluster number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lk {

class Bitmap {
public:
    // Sizes the map to n bits, all clear.
    void reset(std::size_t n) {
        bits_ = n;
        words_.assign((n + 63) / 64, 0);
    }
    void clear() { reset(0); }
    std::size_t size() const { return bits_; }

    // Out-of-range indexes read as clear and are not stored.
    bool test(std::int64_t i) const {
        return i >= 0 && static_cast<std::size_t>(i) < bits_ && (words_[i >> 6] >> (i & 63) & 1);
    }
    void set(std::int64_t i) {
        if (i >= 0 && static_cast<std::size_t>(i) < bits_) words_[i >> 6] |= std::uint64_t{1} << (i & 63);
    }
    void unset(std::int64_t i) {
        if (i >= 0 && static_cast<std::size_t>(i) < bits_) words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
    }
    // Sizes the map to n bits taken from bytes, bit i being bit i % 8 of
    // byte i / 8 (the on-card order of an allocation bitmap).
    void load_bytes(const std::uint8_t* bytes, std::size_t n) {
        reset(n);
        for (std::size_t i = 0; i < (n + 7) / 8; ++i)
            words_[i / 8] |= std::uint64_t{bytes[i]} << (8 * (i % 8));
        if (n & 63) words_.back() &= (std::uint64_t{1} << (n & 63)) - 1;
    }
    void set_all() {
        for (auto& w : words_) w = ~std::uint64_t{0};
        if (bits_ & 63) words_.back() &= (std::uint64_t{1} << (bits_ & 63)) - 1;
    }

private:
    std::size_t bits_ = 0;
    std::vector<std::uint64_t> words_;
};

}  // namespace lk
