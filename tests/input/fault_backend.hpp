// Test doubles for the input layer: an in-memory device that fails on
// chosen sectors and counts its reads, and a reporter that records lines.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/reporter.hpp"
#include "input/platform.hpp"

namespace lk::test {

// The byte at `offset` of a pattern that never repeats within a sector, for
// devices too large to hold in memory.
inline std::uint8_t pattern_byte(std::int64_t offset) {
    return static_cast<std::uint8_t>((offset * 7) ^ (offset >> 9) ^ (offset >> 17) ^
                                     (offset >> 33));
}

inline std::vector<std::uint8_t> random_bytes(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 gen(seed);
    for (auto& b : v) b = static_cast<std::uint8_t>(gen());
    return v;
}

class FaultBackend : public ReadBackend {
public:
    struct Call {
        std::int64_t offset;
        std::size_t length;
    };
    struct Log {
        std::vector<Call> calls;
        // Reads that touched the sector.
        int touching(std::int64_t sector) const {
            int n = 0;
            for (const auto& c : calls)
                if (c.offset < (sector + 1) * 512 &&
                    sector * 512 < c.offset + static_cast<std::int64_t>(c.length))
                    ++n;
            return n;
        }
    };

    // A device holding `data`.
    explicit FaultBackend(std::vector<std::uint8_t> data, std::shared_ptr<Log> log = nullptr)
        : data_(std::move(data)),
          size_(static_cast<std::int64_t>(data_.size())),
          log_(std::move(log)) {}
    // A device of `size` bytes of pattern_byte().
    explicit FaultBackend(std::int64_t size, std::shared_ptr<Log> log = nullptr)
        : size_(size), log_(std::move(log)) {}

    std::set<std::int64_t> bad;      // any read touching one fails with EIO
    std::set<std::int64_t> timeout;  // a read stops before it with ETIMEDOUT
    bool report_size = true;         // false: the platform gives no size
    bool concurrent = false;         // answers concurrent_reads(), as a regular file does

    bool concurrent_reads() const override { return concurrent; }

    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        if (log_) log_->calls.push_back({offset, length});
        error = 0;
        std::int64_t end = std::min(size_, offset + static_cast<std::int64_t>(length));
        for (std::int64_t s = offset / 512; s * 512 < end; ++s) {
            if (bad.count(s)) {
                error = EIO;
                return -1;
            }
            if (timeout.count(s)) {
                end = std::max(offset, s * 512);
                error = ETIMEDOUT;
                break;
            }
        }
        if (end <= offset) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        for (std::int64_t i = offset; i < end; ++i)
            out[i - offset] = data_.empty() ? pattern_byte(i) : data_[static_cast<std::size_t>(i)];
        return end - offset;
    }
    std::int64_t size() override { return report_size ? size_ : -1; }

    std::uint8_t at(std::int64_t offset) const {
        return data_.empty() ? pattern_byte(offset) : data_[static_cast<std::size_t>(offset)];
    }

private:
    std::vector<std::uint8_t> data_;
    std::int64_t size_;
    std::shared_ptr<Log> log_;
};

class RecordingReporter : public Reporter {
public:
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    int values = 0;  // status values sent

    void status_text(std::uint32_t, const std::string& text) override { lines.push_back(text); }
    void value_changed(std::uint32_t, std::uint64_t) override { ++values; }
    void notify(std::uint32_t) override {}
    std::uint64_t ask_card_parameters(CardParameters& p) override { return p.default_size; }
    void message(MessageKind, const std::string&, const std::string& text) override {
        messages.push_back(text);
    }
    int count_starting(const std::string& prefix) const {
        int n = 0;
        for (const auto& l : lines) n += l.rfind(prefix, 0) == 0;
        return n;
    }
};

// A fresh directory under the temporary directory, removed afterwards.
class TempDirectory {
public:
    TempDirectory() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "lk_input_XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

}  // namespace lk::test
