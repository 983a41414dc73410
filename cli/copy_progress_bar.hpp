// A copy worker's progress on the terminal, stopped by Ctrl-C.
#pragma once

#include <string>

#include "cli/interrupt.hpp"
#include "cli/terminal_reporter.hpp"
#include "base/status.hpp"
#include "input/copy_progress.hpp"

namespace lk::cli {

class CopyProgressBar : public CopyProgress {
public:
    CopyProgressBar(TerminalReporter& reporter, Status& status, InterruptWatch& interrupt,
                    std::string label);
    // Shows the percentage and, once there are any, the read errors; a
    // Ctrl-C pressed since the copy began cancels it (and the engine's
    // reads, which then give up on a damaged block sooner).
    void hand_over(int percent, std::uint32_t read_errors) override;
    // A file that could not be written: its path and the reason, on a line
    // of its own; the save goes on.
    void item_failed(const std::string& path, const std::string& reason) override;

private:
    TerminalReporter& reporter_;
    Status& status_;
    InterruptWatch& interrupt_;
    int presses_before_;  // Ctrl-C presses meant for what ran before this copy
    std::string label_;
    bool started_ = false;
};

}  // namespace lk::cli
