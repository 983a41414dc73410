// Checks of pictures in pieces made ahead, on a thread of their own. The
// decode that tells whether pieces make one picture takes far longer than
// everything else the first carving pass does for a picture, and a card's
// pictures in pieces tend to come one after another (a card filled again
// after deletions). While the engine's thread checks one picture, the other
// thread checks the next ones, planned from the header index with the
// clusters claimed at that moment; when the engine comes to a picture whose
// check the other thread is making, it makes one of those still waiting.
//
// A check made ahead is used only for exactly the bytes the engine would
// check: the same clusters in the same order, at the same shift, the same
// size. A plan that claims made since then have changed is not used.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "formats/jpeg_decode.hpp"

namespace lk {

struct Engine;

// Reads the clusters' bytes at the shift, consecutive ones in one read, into
// out (room for all of them). ahead: from a thread other than the engine's
// (no status values; read-error lines wait for the engine's thread). False
// when a read failed (its bytes are zeros).
[[nodiscard]] bool read_clusters(Engine& e, std::int32_t shift, std::span<const std::int32_t> clusters, std::uint8_t* out,
                   bool ahead);
// The bytes of the clusters before the first one that does not follow the
// one before it (0 when each does).
std::size_t first_piece_bytes(std::span<const std::int32_t> clusters, std::uint32_t cluster_size);

class JoinChecks {
  public:
    explicit JoinChecks(Engine& e);
    ~JoinChecks();  // waits for the check under way
    JoinChecks(const JoinChecks&) = delete;
    JoinChecks& operator=(const JoinChecks&) = delete;

    // Plans checks for the pictures in pieces that follow the header at
    // start in the current shift's header index, a few at a time. On the
    // engine's thread.
    void plan_after(std::int64_t start);
    // The check of the picture at start whose first size bytes lie in
    // clusters (at the current shift), when one was planned for exactly
    // those bytes, with the seam measured when seam is asked for: waited
    // for if under way. On the engine's thread.
    std::optional<JpegDecodeCheck> take(std::int64_t start, std::span<const std::int32_t> clusters,
                                        std::uint64_t size, bool seam);

    std::uint32_t planned() const { return planned_; }
    std::uint32_t used() const { return used_; }

  private:
    struct Job {
        std::int32_t shift = 0;
        std::int64_t start = 0;
        // The unclaimed clusters from start up to the next header, as the
        // carving pass gives them to the picture.
        std::vector<std::int32_t> clusters;
        enum class State { Waiting, Working, Done } state = State::Waiting;
        // A picture with a lost entry is judged by the size the entry
        // recorded: its check needs no seam.
        bool seam = true;
        // What the picture measures over them (0: nothing to check), and
        // its check when it lies in more than one piece.
        std::uint64_t size = 0;
        bool checked = false;
        JpegDecodeCheck check;
    };
    // Reads, measures and decodes: on either thread, writing nothing of the
    // engine's.
    void work(Job& job);
    // Makes job's check (or a waiting one's, when there is one); under the
    // lock, which they release while working.
    void work_on(Job& job, std::unique_lock<std::mutex>& guard);
    bool work_on_one(std::unique_lock<std::mutex>& guard);
    void run();

    // How many checks are planned ahead of the engine, and how many headers
    // one plan looks at before it gives up for now.
    static constexpr std::size_t kAhead = 3;
    static constexpr std::size_t kHeadersPerPlan = 256;

    Engine& e_;
    std::int32_t shift_ = -1;     // of the headers planned so far
    std::int64_t last_start_ = 0;  // the engine's last picture at that shift
    std::size_t cursor_ = 0;      // the next header to plan at
    std::uint32_t planned_ = 0, used_ = 0;
    std::list<Job> jobs_;  // stable: a job is worked on outside the lock
    bool quit_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread thread_;  // started with the first plan
};

}  // namespace lk
