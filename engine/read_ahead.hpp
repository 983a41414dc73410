// The sequential read's bytes, read ahead on a thread of its own: while the
// engine looks at the clusters of one run, the next ones are copied into
// memory, so that the two take the time of the longer, not of both. Two runs
// are kept in reading: the time a run takes to look at varies with what it
// holds (pictures, directories, uniform clusters), and one run ahead left
// each thread waiting for the other about a fifth of the time. When both
// runs ahead are read, the thread looks for the headers of their clusters
// (HeaderLooks), a few clusters at a time, until the engine takes the run;
// the engine looks at the rest itself, each cluster as it comes to it. The
// other way round, where the clusters take little looking at (a card's
// empty end), the engine reads pieces of the run it waits for itself.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "base/bytes.hpp"
#include "base/large_table.hpp"
#include "engine/carving.hpp"

namespace lk {

struct Engine;

class ReadAhead {
  public:
    // Runs are read in pieces of piece_bytes, which either thread may read.
    explicit ReadAhead(Engine& e, std::size_t piece_bytes = kPieceBytes);
    ~ReadAhead();  // waits for the read under way
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Whether another run may be started now.
    bool has_room();
    // Starts reading count clusters from cluster first (no shift, sector
    // range honoured, as read_cluster reads them), after the runs started
    // before it. Only when has_room().
    void start(std::int64_t first, std::int64_t count);
    struct Run {
        std::int64_t first = 0;
        std::int64_t count = 0;  // 0: no run was started
        Bytes bytes;
        HeaderLooks* looks = nullptr;  // of bytes, for the clusters look_at was called for
        std::size_t looked_ahead = 0;  // its first clusters, looked at by the thread
    };
    // The oldest run not yet taken, once its bytes are there; until then the
    // engine's thread reads its unclaimed pieces itself. The bytes stay
    // valid until the next take(). The run's status value and read-error
    // lines are sent from here, on the engine's thread.
    Run take();
    // Makes the run's looks hold the index-th cluster's headers; once per
    // cluster, on the engine's thread.
    void look_at(const Run& run, std::size_t index) {
        if (index >= run.looked_ahead) run.looks->look_at(index, pdf_);
    }

    static constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

  private:
    void run();
    struct Slot;
    // The next piece of the oldest run with pieces nobody reads yet, and
    // that piece's index; under lock_.
    std::pair<Slot*, std::size_t> claim_piece();
    // Reads the piece claimed, with guard released; the last piece of a run
    // makes it ready for the engine.
    void read_piece(std::unique_lock<std::mutex>& guard, Slot& s, std::size_t piece);
    // The read run not yet taken whose headers the thread may look for
    // (null when there is none); under lock_.
    Slot* lookable();

    struct Slot {
        LargeBuffer buffer;  // filled by the read, or zeroed past the last cluster
        std::int64_t first = 0, count = 0;
        std::int64_t offset = 0;
        std::size_t length = 0;  // bytes to read (0 past the last cluster)
        std::size_t size = 0;    // bytes of the run
        // Pieces of the run, claimed for reading and read; under lock_. A
        // run is ready once its last piece is read and its looks prepared.
        std::size_t pieces = 0, claimed = 0, done = 0;
        bool ready = false;
        std::exception_ptr failure;
        HeaderLooks looks;
        std::atomic<std::size_t> next{0};    // the next cluster the thread may look at
        std::atomic<std::size_t> looked{0};  // clusters the thread has looked at
    };
    // The run taken last stays in its slot while it is looked at; the
    // others are being read or wait to be taken.
    static constexpr std::size_t kSlots = 3;
    // Clusters the thread takes at a time: few enough that a run to read
    // or the engine's take() never waits long.
    static constexpr std::size_t kLookClusters = 16;
    // next once the engine has taken the run: beyond any cluster.
    static constexpr std::size_t kTaken = SIZE_MAX / 2;

    Engine& e_;
    std::array<Slot, kSlots> slots_;
    const std::size_t piece_bytes_;
    std::uint64_t started_ = 0;  // runs started and taken so far
    std::uint64_t taken_ = 0;
    std::uint64_t claiming_ = 0;  // the oldest run with pieces not yet claimed
    HeaderLooks::PdfScratch pdf_;         // the engine's
    HeaderLooks::PdfScratch pdf_thread_;  // the thread's
    bool quit_ = false;
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread thread_;  // last: it starts once everything above is set up
};

}  // namespace lk
