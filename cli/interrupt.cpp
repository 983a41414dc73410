#include "cli/interrupt.hpp"

#include <pthread.h>

#include <ctime>

namespace lk::cli {

namespace {

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

// Takes a pending SIGINT without waiting; true when there was one.
bool take_pending() {
    const sigset_t set = interrupt_set();
    const timespec now{0, 0};
    return sigtimedwait(&set, nullptr, &now) == SIGINT;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    const sigset_t set = interrupt_set();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

InterruptWatch::~InterruptWatch() {
    // A Ctrl-C that came after the last poll has nothing left to stop.
    take_pending();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool InterruptWatch::poll() {
    presses();
    return interrupted_;
}

int InterruptWatch::presses() {
    // Presses while the signal was pending count once, as a terminal sends them.
    if (take_pending()) {
        ++presses_;
        interrupted_ = true;
    }
    return presses_;
}

}  // namespace lk::cli
