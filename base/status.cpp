#include "base/status.hpp"

namespace lk {

const std::array<const char*, kStatusSlots> kStatusCaptions = {
    "Reading sector", "Directories found", "Files found",  "Crippled files",
    "Contiguous files", "Recovered size",  "Total sectors", "Total clusters",
    "Cluster size",   "FAT",               "Root directory size", "Total size"};

int status_slot(std::uint32_t code) {
    if (code >= ST_SECTOR && code <= ST_TOTAL_SIZE) return static_cast<int>(code - ST_SECTOR);
    return -1;
}

void Status::SendStatus(std::uint32_t code, std::uint64_t value) {
    if (!attached()) return;
    if (int slot = status_slot(code); slot >= 0) {
        values_[slot].store(value, std::memory_order_relaxed);
    } else if (code == ST_PROGRESS) {
        progress_.store(static_cast<std::uint32_t>(value), std::memory_order_relaxed);
    } else {
        Fatal("st_number");
    }
    reporter_->value_changed(code, value);
}

void Status::SendProgress(std::uint32_t percent) {
    if (!attached() || last_progress_ == percent) return;
    last_progress_ = percent;
    SendStatus(ST_PROGRESS, percent);
}

void Status::NotifyFinished() {
    if (attached()) reporter_->notify(ST_FINISHED);
}

void Status::NotifyAbandoned() {
    if (attached()) reporter_->notify(ST_ABANDONED);
}

void Status::ResetValues() {
    for (auto& v : values_) v.store(0, std::memory_order_relaxed);
    progress_.store(0, std::memory_order_relaxed);
    last_progress_ = 0;
}

void Status::message(MessageKind kind, const std::string& text) {
    if (!reporter_) return;
    const char* caption = kind == MessageKind::Warning ? "Warning" : "Error";
    reporter_->message(kind, translate(caption), text);
}

void Status::fatal(const std::string& text) {
    message(MessageKind::Error, text);
    throw FatalError{text};
}

void Status::text_line(std::uint32_t code, const std::string& text) {
    if (image_log_) {
        std::fputs(text.c_str(), image_log_);
        std::fputc('\n', image_log_);
    }
    reporter_->status_text(code, text);
}

}  // namespace lk
