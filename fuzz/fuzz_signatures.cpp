// The signature file parser over arbitrary text, then matching the loaded
// table against the same bytes, directly and through identify_header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/reporter.hpp"
#include "formats/identify.hpp"
#include "formats/signatures.hpp"

namespace {

class CountingReporter : public lk::Reporter {
  public:
    void status_text(std::uint32_t, const std::string&) override {}
    void notify(std::uint32_t) override {}
    std::uint64_t ask_card_parameters(lk::CardParameters&) override { return 0; }
    void message(lk::MessageKind kind, const std::string&, const std::string&) override {
        ++(kind == lk::MessageKind::Error ? errors : successes);
    }
    int errors = 0, successes = 0;
};

void check(std::string_view text, lk::Bytes probe) {
    lk::SignatureTable table;
    CountingReporter reporter;
    const bool loaded = table.load_from_text(text, "fuzz.sig", &reporter);
    if (reporter.errors + reporter.successes != 1 || loaded != (reporter.successes == 1))
        __builtin_trap();
    if (!loaded && !table.empty()) __builtin_trap();
    if (table.signatures().size() > lk::kMaxSignatures) __builtin_trap();
    for (const lk::signature_t& s : table.signatures()) {
        if (s.name.empty() || s.value.empty() || s.value.size() > lk::kMaxPatternLength ||
            s.mask.size() != s.value.size())
            __builtin_trap();
        if (std::any_of(s.mask.begin(), s.mask.end(), [](std::uint8_t m) { return m > 1; }))
            __builtin_trap();
    }
    for (std::size_t n : {probe.size(), probe.size() / 2, std::size_t(512), std::size_t(3)}) {
        if (n > probe.size()) continue;
        const std::string_view name = table.match_signature(probe.first(n));
        if (!name.empty() && std::none_of(table.signatures().begin(), table.signatures().end(),
                                          [&](const lk::signature_t& s) { return s.name == name; }))
            __builtin_trap();
        (void)lk::identify_header(probe.first(n), &table);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const lk::Bytes bytes(data, size);
    check(text, bytes);
    // The same bytes as a pattern line that should mostly parse: a name, then
    // the input written out as hexadecimal bytes and wildcards.
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line = "FZ:";
    for (std::size_t i = 0; i < std::min<std::size_t>(size, 600); ++i) {
        if (data[i] % 7 == 0)
            line += " ?";
        else
            line += {' ', kHex[data[i] >> 4], kHex[data[i] & 15]};
    }
    line += "\r\n";
    check(line, bytes);
    return 0;
}
