// The input cache file: the whole card copied once to the local disk, so
// that the many passes of an analysis read a fast disk instead of the card.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lk {

inline constexpr const char* kCacheFileName = "photocache.tmp";
// Room left on the temporary disk beside the cache file.
inline constexpr std::int64_t kCacheFreeMargin = 102'400'000;

// One cache file and its sector bitmap (a set bit: the file holds that
// sector's bytes at the card's offset). Guarded by the input lock.
class InputCache {
public:
    using BlockRead =
        std::function<std::int64_t(std::int64_t offset, std::uint8_t* buffer, std::size_t count)>;

    // Creates `dir` + "photocache.tmp" anew (an old file of that name is
    // removed first) and unlinks it at once, so that it disappears with its
    // descriptor however the program ends. Null when it cannot be created.
    // `size` is a multiple of 512.
    static std::unique_ptr<InputCache> create(const std::string& dir, std::int64_t size);
    ~InputCache();
    InputCache(const InputCache&) = delete;
    InputCache& operator=(const InputCache&) = delete;

    std::int64_t size() const { return size_; }

    // Serves a read from the file, filling the missing runs from the input
    // through `block_read` (widened to 128 sectors at the end of a request so
    // that sequential scans fill the file in large pieces). False when the
    // request reaches past the bitmap, or when the file could not be read;
    // failed() then tells the caller to drop the cache.
    bool ReadThroughCache(std::uint8_t* dest, std::int64_t offset, std::size_t length,
                          const BlockRead& block_read);

    // The reservation: writes a block at its card offset and marks it held.
    bool store(std::int64_t offset, const std::uint8_t* data, std::size_t length);
    // An I/O error on the file happened; the cache must not be used further.
    bool failed() const { return failed_; }

private:
    InputCache(int fd, std::int64_t size);
    bool held(std::int64_t sector) const { return held_[static_cast<std::size_t>(sector)]; }
    void mark(std::int64_t first, std::int64_t end);
    bool read_file(std::int64_t offset, std::uint8_t* dest, std::size_t length);
    bool write_file(std::int64_t offset, const std::uint8_t* data, std::size_t length);

    int fd_;
    std::int64_t size_;
    std::vector<bool> held_;
    std::vector<std::uint8_t> scratch_;  // grown to the largest partial run, kept
    bool failed_ = false;
};

}  // namespace lk
