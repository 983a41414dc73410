// The status protocol between the engine and its front end: twelve counters
// and a progress value in a table that the front end polls, text lines and
// completion notices that go straight to the front end, and the cancel flag.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/reporter.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

// A status code's four letters, most significant byte first ("st01" = 0x73743031).
constexpr std::uint32_t status_code(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

// code      | kind      | "caption" of the status window field
inline constexpr std::uint32_t ST_SECTOR = status_code("st01");          // "Reading sector"
inline constexpr std::uint32_t ST_DIRECTORIES = status_code("st02");     // "Directories found"
inline constexpr std::uint32_t ST_FILES = status_code("st03");           // "Files found"
inline constexpr std::uint32_t ST_CRIPPLED = status_code("st04");        // "Crippled files"
inline constexpr std::uint32_t ST_CONTIGUOUS = status_code("st05");      // "Contiguous files"
inline constexpr std::uint32_t ST_RECOVERED_SIZE = status_code("st06");  // "Recovered size"
inline constexpr std::uint32_t ST_TOTAL_SECTORS = status_code("st07");   // "Total sectors"
inline constexpr std::uint32_t ST_TOTAL_CLUSTERS = status_code("st08");  // "Total clusters"
inline constexpr std::uint32_t ST_CLUSTER_SIZE = status_code("st09");    // "Cluster size"
inline constexpr std::uint32_t ST_FAT = status_code("st0:");             // "FAT"
inline constexpr std::uint32_t ST_ROOT_SIZE = status_code("st0;");       // "Root directory size"
inline constexpr std::uint32_t ST_TOTAL_SIZE = status_code("st0<");      // "Total size"
inline constexpr std::uint32_t ST_PROGRESS = status_code("st0=");        // progress bar
inline constexpr std::uint32_t ST_STEP = status_code("st0>");            // step line
inline constexpr std::uint32_t ST_TEXT = status_code("st0?");            // list line
inline constexpr std::uint32_t ST_FINISHED = status_code("st0B");
inline constexpr std::uint32_t ST_ABANDONED = status_code("st0C");

inline constexpr int kStatusSlots = 12;
// The captions of the twelve counter slots, in slot order.
extern const std::array<const char*, kStatusSlots> kStatusCaptions;

// Slot index 0..11 of a counter code, -1 for any other code.
int status_slot(std::uint32_t code);

// Thrown by Fatal() and caught at the engine's entry points, which then return
// a failure to the front end; it never leaves the engine.
struct FatalError {
    std::string message;
};

class Status {
public:
    explicit Status(Reporter* reporter = nullptr) : reporter_(reporter) {}
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

    void set_reporter(Reporter* reporter) { reporter_ = reporter; }
    Reporter* reporter() const { return reporter_; }

    // A run is attached while a front end listens to it; once detached (the
    // status window closed) every send is dropped.
    void attach() { attached_.store(true, std::memory_order_release); }
    void detach() { attached_.store(false, std::memory_order_release); }
    bool attached() const { return reporter_ && attached_.load(std::memory_order_acquire); }

    // Counters 'st01'..'st0<' store the value; 'st0=' stores the progress.
    // Any other code is a programming error ("st_number").
    void SendStatus(std::uint32_t code, std::uint64_t value);
    // Sends the progress only when it differs from the last one sent.
    void SendProgress(std::uint32_t percent);
    std::uint32_t last_progress() const { return last_progress_; }

    // A list line ('st0?'); the format is looked up first.
    template <class... A>
    void StatusText(const char* fmt, const A&... a) {
        if (attached()) text_line(ST_TEXT, format_cut(1024, translate(fmt), a...));
    }
    // A line with an explicit code ('st0>').
    template <class... A>
    void StatusStep(std::uint32_t code, const char* fmt, const A&... a) {
        if (attached()) text_line(code, format_cut(1024, translate(fmt), a...));
    }
    void NotifyFinished();
    void NotifyAbandoned();

    bool IsCancelled() const { return cancelled_.load(std::memory_order_relaxed); }
    void RequestCancel() { cancelled_.store(true, std::memory_order_relaxed); }
    void ResetCancel() { cancelled_.store(false, std::memory_order_relaxed); }

    // The value table, as the front end reads it.
    std::uint64_t value(int slot) const { return values_[slot].load(std::memory_order_relaxed); }
    std::uint32_t progress() const { return progress_.load(std::memory_order_relaxed); }
    // A new run: every value and both progress values become 0.
    void ResetValues();

    // Message boxes: the format is looked up, then formatted into at most
    // 4,095 characters. Fatal() shows an error and ends the engine's work.
    template <class... A>
    void Warning(const char* fmt, const A&... a) {
        message(MessageKind::Warning, format_cut(4096, translate(fmt), a...));
    }
    template <class... A>
    void Error(const char* fmt, const A&... a) {
        message(MessageKind::Error, format_cut(4096, translate(fmt), a...));
    }
    template <class... A>
    [[noreturn]] void Fatal(const char* fmt, const A&... a) {
        fatal(format_cut(4096, translate(fmt), a...));
    }
    void message(MessageKind kind, const std::string& text);
    [[noreturn]] void fatal(const std::string& text);

    // Engine trace lines, formatted into at most 1,023 characters.
    template <class... A>
    void Trace(const char* fmt, const A&... a) {
        if (reporter_) reporter_->trace(format_cut(1024, fmt, a...));
    }
    // Progress texts of the boot structure search: looked up, not shown.
    template <class... A>
    void TraceHook(const char* fmt, const A&... a) {
        if (reporter_) reporter_->trace(format_cut(1024, translate(fmt), a...) + "\n");
    }

    // While a card image is written, every text line is appended to its log.
    void set_image_log(std::FILE* log) { image_log_ = log; }

private:
    void text_line(std::uint32_t code, const std::string& text);

    Reporter* reporter_;
    std::atomic<bool> attached_{false};
    std::atomic<bool> cancelled_{false};
    std::array<std::atomic<std::uint64_t>, kStatusSlots> values_{};
    std::atomic<std::uint32_t> progress_{0};
    std::uint32_t last_progress_ = 0;
    std::FILE* image_log_ = nullptr;
};

}  // namespace lk
