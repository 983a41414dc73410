// The input: a drive or a file opened read-only, its size, and the reads that
// every engine part uses (read-ahead window, cache file, read-error policy).
//
// This header is the contract the engine relies on; the implementation lives
// in this folder (platform layer, reading, cache file, card images).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/status.hpp"
#include "input/platform.hpp"
#include "base/sector_range.hpp"
#include "input/size_search.hpp"

namespace lk {

struct cib_t;      // input/card_image.hpp
class InputCache;  // input/cache.hpp

class Input {
public:
    explicit Input(Status& status);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Opening (always read-only). False on failure; last_error() then holds
    // the system error and the previous input stays open. A successful open
    // closes the previous input and empties the read-ahead window, the
    // bad-sector set and the cache of the old one.
    // Drives: `descriptor`, when given, is a read-only descriptor of the
    // device opened elsewhere (the desktop's disk service, for a user who may
    // not open the device); the input takes it over, also on failure.
    bool OpenLogicalDrive(const std::string& device,  // a partition or volume, e.g. /dev/sdb1
                          int descriptor = -1);
    bool OpenPhysicalDrive(int number, int descriptor = -1);  // a number of the physical drive list
    bool OpenInputFile(const std::string& path);       // any path; card images are recognised
    // Tests: any backend (a fault-injecting one) under a display name. Card
    // images are recognised as for files.
    bool OpenBackend(std::unique_ptr<ReadBackend> backend, const std::string& name);
    void CloseInput();
    bool is_open() const;
    int last_error() const { return last_error_; }
    // "File %hs", "Physical Drive %d", "Volume %hs" (looked up).
    const std::string& input_name() const { return input_name_; }
    // The card image header when the input is a card image, else null.
    const cib_t* card_image() const;

    // Size in bytes: the platform's size, else a search by reads; card images
    // without their header and trailer. exact/hint as the drive list asks
    // (hint -1: none; 0: the analysis's call, which searches nothing).
    std::int64_t InputSize(bool exact, std::int64_t hint);

    // Reads of the analysis and of the copy workers.
    // ReadAt: length on success, 0 at the end of the card, negative on failure.
    // Unreadable sectors come back as fill bytes and are reported once.
    [[nodiscard]] std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t length);
    // The engine's read: honours the sector range when asked; sends 'st01'.
    // length, 0 (outside the range; buffer zeroed) or -2 (same, no buffer).
    [[nodiscard]] std::int64_t read_input(const SectorRange& range, std::int64_t offset, void* buffer,
                                          std::size_t length, bool honour_range);
    // read_input for a thread that reads ahead of the engine: it sends no
    // status value and leaves its read-error lines for the next
    // flush_reports, so that front ends hear from the engine's thread only.
    // Two threads may call it at once; where the backend allows, their
    // reads are then made side by side.
    [[nodiscard]] std::int64_t read_input_ahead(const SectorRange& range, std::int64_t offset, void* buffer,
                                                std::size_t length, bool honour_range);
    // Sends the read-error lines collected under the lock. They go out after
    // the lock is released, so a front end that reads the input while it
    // shows a line cannot deadlock against the reader.
    void flush_reports();
    // The block read (count a multiple of 512) with the read-error policy.
    [[nodiscard]] std::int64_t block_read(std::int64_t offset, void* buffer, std::size_t count);
    bool IsBadSector(std::int64_t offset) const;
    // How many of the length bytes from offset lie in sectors known to be
    // unreadable (read as fill bytes).
    std::uint64_t bad_bytes(std::int64_t offset, std::uint64_t length) const;
    std::uint32_t read_errors() const;
    void reset_read_errors();

    // Input cache file.
    void PrepareCache(std::int64_t size, bool replace);
    void ReserveCache();
    void ResetInputCaches();
    bool has_cache() const;

    // Limits and options that the engine sets.
    std::int64_t device_size = 0;  // reads at or beyond it yield zeros, -2
    std::int64_t input_size = 0;   // the bytes the analysis covers
    bool fast_read = true;         // whole blocks first, sector by sector on failure
    bool cache = true;             // use the cache file when the engine prepares it

    // Platform hooks, replaceable in tests.
    std::string temp_dir = TempDir();    // where the cache file goes
    FreeSpaceFn free_space = FreeSpace;  // free space for the cache file
    DriveEnvironment drives;             // where physical drives are found
    SizeSearchPoll size_search_poll;     // cancel/progress of the size search

    Status& status() { return status_; }

    static constexpr std::size_t kSectorSize = 512;
    static constexpr std::size_t kWindowSize = 65'536;
    // Large requests go to the device in pieces of up to this size; a piece
    // that does not come back whole is read again window by window.
    static constexpr std::size_t kLargeRead = 4 << 20;
    static constexpr int kMaxBlockFailures = 17;

private:
    struct ReadErrorReport {
        std::int64_t offset;
        std::int64_t result;
        int error;
    };

    bool open_backend(std::unique_ptr<ReadBackend> backend, std::string name, bool recognise);
    // All of the following run with lock_ held.
    void close_locked();
    void reset_caches_locked();
    std::int64_t read_at_locked(std::int64_t offset, std::uint8_t* dest, std::size_t length);
    // `extent`, when given, receives how many bytes of the buffer are settled
    // (read, or filled for unreadable sectors) from its start.
    std::int64_t block_read_locked(std::int64_t offset, std::uint8_t* buffer, std::size_t count,
                                   std::size_t* extent = nullptr);
    std::int64_t chunk_read(std::int64_t offset, std::uint8_t* buffer, std::size_t count,
                            int& error);
    // Whether a known bad sector lies in the count bytes from offset.
    bool has_bad_sector_locked(std::int64_t offset, std::size_t count) const;
    // The backend, when a read of length bytes at offset may be made without
    // the lock: it allows reads from several threads, no cache file is in
    // use, no known bad sector lies there and the bytes are card bytes.
    ReadBackend* unlocked_backend_locked(std::int64_t offset, std::size_t length) const;
    void read_error_locked(std::int64_t offset, std::int64_t result, int error);
    void drop_cache_locked();

    Status& status_;
    int last_error_ = 0;
    std::string input_name_;

    mutable std::mutex lock_;  // the input lock: everything below
    std::unique_ptr<ReadBackend> backend_;
    std::unique_ptr<cib_t> card_image_;
    std::int64_t image_card_end_ = -1;  // card bytes held by an image file, -1 unknown
    std::vector<std::uint8_t> window_;  // read-ahead window
    std::int64_t window_start_ = -1;
    std::size_t window_length_ = 0;
    std::set<std::int64_t> bad_sectors_;  // sector numbers; 64-bit for cards past 2 TB
    std::atomic<std::uint32_t> read_errors_{0};
    std::unique_ptr<InputCache> cache_;
    std::vector<ReadErrorReport> pending_reports_;
    std::atomic<bool> reports_waiting_{false};  // pending_reports_ may hold some
    bool quiet_ = false;  // the read under way sends no status value (read_input_ahead)
};

}  // namespace lk
