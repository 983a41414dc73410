// The sequential read's bytes, read one run ahead on a thread of its own:
// while the engine looks at the clusters of one run, the next is read and
// its headers are looked for, so that the two take the time of the longer,
// not of both. An image file is not copied at all: its runs are looked at
// where it is mapped, and the thread, with no read to wait for, looks for
// the headers of the next run, the engine's thread taking its share once it
// asks for that run. Where runs are read, the engine looks for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "base/bytes.hpp"
#include "engine/carving.hpp"

namespace lk {

struct Engine;

class ReadAhead {
  public:
    explicit ReadAhead(Engine& e);
    ~ReadAhead();  // waits for the read under way
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Starts reading count clusters from cluster first (no shift, sector
    // range honoured, as read_cluster reads them). One run at a time: the
    // bytes of the previous one must have been taken.
    void start(std::int64_t first, std::int64_t count);
    struct Run {
        Bytes bytes;
        const HeaderLooks& looks;  // of bytes
    };
    // The run started last, once it is there. It stays valid until the
    // next take(). The run's status value and read-error lines are sent
    // from here, on the engine's thread.
    Run take();

  private:
    void run();
    // Looks for the headers of clusters of the run in reading not yet taken
    // by either thread, a few at a time; the one that looks at the last
    // marks the run ready.
    void look(int reading, HeaderLooks::PdfScratch& pdf);

    Engine& e_;
    std::vector<std::uint8_t> buffers_[2];
    const std::uint8_t* mapped_[2] = {nullptr, nullptr};  // a run's bytes where the image is mapped
    HeaderLooks looks_[2];
    int reading_ = 0;  // the buffer the run under way goes into
    std::int64_t offset_ = 0;
    std::size_t length_ = 0;  // bytes to read (0 past the last cluster)
    std::size_t size_ = 0;    // bytes of the run
    bool wanted_ = false;     // a run was started and not yet read
    bool readable_ = false;   // the run's bytes are there, its headers being looked for
    bool ready_ = false;      // the run's bytes and headers are there
    std::atomic<std::size_t> next_{0};    // the run's next cluster to look at
    std::atomic<std::size_t> looked_{0};  // the run's clusters looked at
    HeaderLooks::PdfScratch pdf_[2];      // the thread's and the engine's
    bool quit_ = false;
    std::exception_ptr failure_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::thread thread_;  // last: it starts once everything above is set up
};

}  // namespace lk
