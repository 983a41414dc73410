// An engine over an in-memory or file input with a front end that records
// everything the engine says, for the engine and output tests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/analysis.hpp"
#include "engine/card_parameters.hpp"
#include "engine/engine.hpp"
#include "input/platform.hpp"

namespace lk::test {

// A device that holds its bytes in memory.
class MemoryBackend final : public ReadBackend {
  public:
    explicit MemoryBackend(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override {
        error = 0;
        if (offset < 0) return error = EINVAL, -1;
        if (static_cast<std::uint64_t>(offset) >= bytes_.size()) return 0;
        std::size_t n =
            std::min<std::size_t>(length, bytes_.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer, bytes_.data() + offset, n);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size()); }
    bool concurrent_reads() const override { return true; }  // it only copies

  private:
    std::vector<std::uint8_t> bytes_;
};

class RecordingReporter final : public Reporter {
  public:
    void status_text(std::uint32_t code, const std::string& text) override {
        texts.emplace_back(code, text);
    }
    void notify(std::uint32_t code) override { notices.push_back(code); }
    void value_changed(std::uint32_t code, std::uint64_t value) override {
        values.emplace_back(code, value);
        if (on_value) on_value(code, value);
    }
    std::uint64_t ask_card_parameters(CardParameters& p) override {
        ++questions;
        return answer ? answer(p) : accept_offered(p);
    }
    void message(MessageKind kind, const std::string&, const std::string& text) override {
        messages.emplace_back(kind, text);
    }
    void trace(const std::string& line) override {
        traces += line;
        if (std::getenv("LK_TRACE")) std::fputs(line.c_str(), stderr);  // for debugging a test
    }

    bool has_text(const std::string& t) const {
        for (const auto& [code, text] : texts)
            if (text == t) return true;
        return false;
    }
    // The last value sent for a code, or -1 when none was.
    std::int64_t last_value(std::uint32_t code) const {
        for (auto it = values.rbegin(); it != values.rend(); ++it)
            if (it->first == code) return static_cast<std::int64_t>(it->second);
        return -1;
    }

    std::vector<std::pair<std::uint32_t, std::string>> texts;
    std::vector<std::uint32_t> notices;
    std::vector<std::pair<std::uint32_t, std::uint64_t>> values;
    std::vector<std::pair<MessageKind, std::string>> messages;
    std::string traces;
    int questions = 0;
    std::function<std::uint64_t(CardParameters&)> answer;  // default: OK on what is offered
    std::function<void(std::uint32_t, std::uint64_t)> on_value;  // sees every value as it is sent
};

struct EngineHarness {
    RecordingReporter reporter;
    Status status{&reporter};
    Input input{status};
    Engine engine{status, input};

    EngineHarness() {
        status.attach();
        engine.opt.cache = false;
    }

    bool open_memory(std::vector<std::uint8_t> bytes, const std::string& name = "memory card") {
        return input.OpenBackend(std::make_unique<MemoryBackend>(std::move(bytes)), name);
    }
    bool open_file(const std::string& path) { return input.OpenInputFile(path); }

    // Sizes the input as the input selection does and runs one analysis.
    AnalysisResult analyse() {
        input.input_size = input.InputSize(true, -1);
        return RunAnalysis(engine);
    }

    // Sets up a geometry by hand for unit tests of the FAT and directory code.
    void geometry(int fattype, std::uint32_t cluster_size, std::int32_t max_cluster,
                  std::int64_t cluster2 = 0) {
        card_geometry_t& g = engine.settle_geometry();
        g.fattype = fattype;
        g.cluster_size = cluster_size;
        g.max_cluster = max_cluster;
        g.cluster2 = cluster2;
        prepare_fat_maps(engine);
    }
};

}  // namespace lk::test
