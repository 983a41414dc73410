// Ctrl-C as a request to stop cleanly rather than an abrupt end.
#pragma once

#include <signal.h>

namespace lk::cli {

// While it lives, SIGINT is blocked for the calling thread (and the threads
// it starts) and collected by poll(), so that the work in progress can stop
// at a safe point and clean up after itself. No signal handler and no
// process-wide flag are involved.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // True once Ctrl-C has been pressed (and from then on).
    bool poll();
    // The number of times Ctrl-C has been pressed so far.
    int presses();

private:
    sigset_t previous_;
    bool interrupted_ = false;
    int presses_ = 0;
};

}  // namespace lk::cli
