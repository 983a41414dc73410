// The command line's front end for the engine: status lines and messages on
// stderr, a progress bar that redraws itself when stderr is a terminal and
// plain progress lines when it is not, and the twelve status counters.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "base/reporter.hpp"
#include "base/status.hpp"

namespace lk::cli {

class TerminalReporter : public Reporter {
public:
    explicit TerminalReporter(std::FILE* err = stderr);

    void status_text(std::uint32_t code, const std::string& text) override;
    void notify(std::uint32_t code) override;
    void value_changed(std::uint32_t code, std::uint64_t value) override;
    // There is nobody to ask on the command line: the size offered is taken.
    std::uint64_t ask_card_parameters(CardParameters& params) override;
    void message(MessageKind kind, const std::string& caption, const std::string& text) override;
    void trace(const std::string& line) override;

    bool is_terminal() const { return tty_; }
    void set_trace(bool on) { trace_ = on; }

    // The progress bar: a label, the percentage and a detail text such as
    // the read-error count. Progress values of the engine ('st0=') move it.
    void begin_progress(const std::string& label);
    void show_progress(int percent, const std::string& detail);
    void end_progress();

    // The status counters as last sent ('st01'..'st0<'), by slot 0..11.
    std::uint64_t counter(int slot) const;
    // One line per counter: its caption and its value with grouped digits.
    std::string counters_text() const;

private:
    void write(const std::string& text);  // to stderr
    void clear_bar_locked();
    void draw_bar_locked();

    std::mutex mutex_;  // lines come from the engine's worker thread too
    std::FILE* err_;
    bool tty_;
    bool trace_ = false;
    bool bar_active_ = false;
    bool bar_drawn_ = false;
    std::string label_;
    std::string detail_;
    int percent_ = 0;
    int last_plain_ = -1;  // last tenth printed as a plain line
    std::array<std::atomic<std::uint64_t>, kStatusSlots> counters_{};
};

}  // namespace lk::cli
