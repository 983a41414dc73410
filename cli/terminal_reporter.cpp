#include "cli/terminal_reporter.hpp"

#include <unistd.h>

#include <algorithm>

#include "input/text.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk::cli {

namespace {

constexpr int kBarWidth = 30;

std::string without_final_newlines(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

TerminalReporter::TerminalReporter(std::FILE* err) : err_(err), tty_(::isatty(::fileno(err)) == 1) {}

void TerminalReporter::write(const std::string& text) {
    std::fputs(text.c_str(), err_);
}

void TerminalReporter::status_text(std::uint32_t, const std::string& text) {
    std::lock_guard guard(mutex_);
    clear_bar_locked();
    write(text + "\n");
    draw_bar_locked();
}

void TerminalReporter::notify(std::uint32_t) {
    end_progress();
}

void TerminalReporter::value_changed(std::uint32_t code, std::uint64_t value) {
    if (int slot = status_slot(code); slot >= 0) {
        counters_[static_cast<std::size_t>(slot)].store(value, std::memory_order_relaxed);
        return;
    }
    if (code == ST_PROGRESS) {
        std::string detail;
        {
            std::lock_guard guard(mutex_);
            if (!bar_active_) return;
            detail = detail_;
        }
        show_progress(static_cast<int>(value), detail);
    }
}

std::uint64_t TerminalReporter::ask_card_parameters(CardParameters& params) {
    return params.default_size;
}

void TerminalReporter::message(MessageKind, const std::string& caption, const std::string& text) {
    std::lock_guard guard(mutex_);
    clear_bar_locked();
    write(format("%s: %s\n", caption, without_final_newlines(text)));
    draw_bar_locked();
}

void TerminalReporter::trace(const std::string& line) {
    if (!trace_) return;
    // On stderr with the other diagnostics, so that stdout keeps the results.
    std::lock_guard guard(mutex_);
    clear_bar_locked();
    write(line);
    draw_bar_locked();
}

void TerminalReporter::begin_progress(const std::string& label) {
    std::lock_guard guard(mutex_);
    clear_bar_locked();
    label_ = label;
    detail_.clear();
    percent_ = 0;
    last_plain_ = -1;
    bar_active_ = true;
}

void TerminalReporter::show_progress(int percent, const std::string& detail) {
    std::lock_guard guard(mutex_);
    if (!bar_active_) return;
    percent_ = std::clamp(percent, 0, 100);
    detail_ = detail;
    if (tty_) {
        draw_bar_locked();
        return;
    }
    // Not a terminal: one plain line per tenth, so that logs stay short.
    const int tenth = percent_ / 10;
    if (tenth == last_plain_) return;
    last_plain_ = tenth;
    write(format("%s %3d%%%s%s\n", label_, percent_, detail_.empty() ? "" : "  ", detail_));
}

void TerminalReporter::end_progress() {
    std::lock_guard guard(mutex_);
    if (!bar_active_) return;
    if (tty_ && bar_drawn_) std::fputc('\n', err_);
    bar_drawn_ = false;
    bar_active_ = false;
}

void TerminalReporter::clear_bar_locked() {
    if (tty_ && bar_drawn_) write("\r\x1b[K");
    bar_drawn_ = false;
}

void TerminalReporter::draw_bar_locked() {
    if (!tty_ || !bar_active_) return;
    const int filled = percent_ * kBarWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
    write(format("\r\x1b[K%s [%s] %3d%%%s%s", label_, bar, percent_, detail_.empty() ? "" : "  ",
                 detail_));
    std::fflush(err_);
    bar_drawn_ = true;
}

std::uint64_t TerminalReporter::counter(int slot) const {
    return counters_[static_cast<std::size_t>(slot)].load(std::memory_order_relaxed);
}

std::string TerminalReporter::counters_text() const {
    std::string out;
    for (int slot = 0; slot < kStatusSlots; ++slot)
        out += format("%s: %s\n", translate(kStatusCaptions[static_cast<std::size_t>(slot)]),
                      GroupedNumber(counter(slot)));
    return out;
}

}  // namespace lk::cli
