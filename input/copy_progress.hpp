// The hand-over between a copy worker (card image, saving files) and the
// front end that shows its progress and lets the user stop it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace lk {

class CopyProgress {
public:
    virtual ~CopyProgress() = default;

    // Called by the worker: 0 when it starts, 1..99 while it copies, 100 when
    // it has ended (whatever the outcome). `read_errors` is the input's
    // read-error count so far.
    virtual void hand_over(int percent, std::uint32_t read_errors) = 0;

    // Called by a save worker before it writes an item (path relative to the
    // output directory), so that a front end can name it.
    virtual void item_started(const std::string& path) { (void)path; }

    // Called by a save worker for an item it could not write (path relative
    // to the output directory, reason in the system's words); the save goes
    // on with the next item. Front ends that list failures at the end need
    // not override it.
    virtual void item_failed(const std::string& path, const std::string& reason) {
        (void)path;
        (void)reason;
    }

    // Set by the front end (any thread); the worker checks it between blocks.
    void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
    bool is_cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> cancelled_{false};
};

// done * 100 / total without overflow, 0 for an empty total.
inline int percent_of(std::int64_t done, std::int64_t total) {
    if (total <= 0 || done <= 0) return 0;
    if (done >= total) return 100;
    return static_cast<int>(static_cast<unsigned __int128>(done) * 100 /
                            static_cast<unsigned __int128>(total));
}

}  // namespace lk
