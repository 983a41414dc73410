// The signature file: user-defined file headers, one per line.
//
//   NAME: FF D8 FF E1 ? ? 45 78 69 66 ; comment
//
// The name is everything before the first ':' (blanks kept); the pattern is
// two-digit hexadecimal bytes and '?' wildcards, separated by spaces.
//
// Limits of this implementation (decided here; all are checked at load time so
// that a signature either works everywhere or is refused with its line):
// - Lines may be of any length; a pattern holds at most kMaxPatternLength
//   bytes. A longer pattern could only match where more than 512 bytes follow
//   a sector boundary inside a cluster, i.e. at some offsets and not at others,
//   so it is refused with the pattern message.
// - At most kMaxSignatures signatures. A further pattern line is refused with
//   the signature message, naming that line, rather than silently ignored.
// - An empty name (a line starting with ':') is refused with the signature
//   message: an empty tag means "no type" and could never be reported.
// - Names longer than three characters are kept whole as the type tag; the
//   8.3 extension is taken from extension_field() (formats/identify.hpp).
// As for every error, the whole table is then empty for the rest of the run.
#include "formats/signatures.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "base/reporter.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {
namespace {

constexpr const char* kNoSignature = "Can't read signature from signatures file at line %d";
constexpr const char* kBadHex =
    "Can't read hexadecimal char for pattern from signatures file at line %d";
constexpr const char* kNoPattern = "Can't read pattern from signatures file at line %d";

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::uint8_t hex_value(char c) {
    if (c >= '0' && c <= '9') return std::uint8_t(c - '0');
    if (c >= 'a' && c <= 'f') return std::uint8_t(c - 'a' + 10);
    return std::uint8_t(c - 'A' + 10);
}

// Parses one line (without its line end). Returns the message of the error,
// or nullptr; sets `parsed` when the line holds a signature.
const char* parse_line(std::string_view line, std::optional<signature_t>& parsed) {
    parsed.reset();
    if (auto comment = line.find(';'); comment != line.npos) line = line.substr(0, comment);
    if (line.empty()) return nullptr;

    const auto colon = line.find(':');
    if (colon == line.npos || colon == 0) return kNoSignature;
    signature_t sig;
    sig.name = std::string(line.substr(0, colon));

    std::string_view pattern = line.substr(colon + 1);
    std::size_t p = 0;
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == ' ') {
            ++p;
            continue;
        }
        if (c == '?') {
            sig.value.push_back(0);
            sig.mask.push_back(0);
            ++p;
        } else {
            // Exactly two hexadecimal digits: "FFD8", "F", "0x12" and a tab
            // before a byte are all errors.
            if (p + 1 >= pattern.size() || !is_hex_digit(c) || !is_hex_digit(pattern[p + 1]) ||
                (p + 2 < pattern.size() && is_hex_digit(pattern[p + 2])))
                return kBadHex;
            sig.value.push_back(std::uint8_t(hex_value(c) << 4 | hex_value(pattern[p + 1])));
            sig.mask.push_back(1);
            p += 2;
        }
        if (sig.value.size() > kMaxPatternLength) return kNoPattern;
    }
    if (sig.value.empty()) return kNoPattern;
    parsed = std::move(sig);
    return nullptr;
}

}  // namespace

bool SignatureTable::load_signatures(const std::string& path, Reporter* reporter) {
    table_.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;  // no signature file: nothing to say
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return false;
    return load_from_text(text, path, reporter);
}

bool SignatureTable::load_from_text(std::string_view text, const std::string& path,
                                    Reporter* reporter) {
    table_.clear();
    std::vector<signature_t> loaded;
    int line_number = 0;
    while (!text.empty()) {
        ++line_number;
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == text.npos ? std::string_view() : text.substr(end + 1);
        // Files written on Windows end their lines with CR LF.
        if (!line.empty() && line.back() == '\r' && end != std::string_view::npos)
            line.remove_suffix(1);

        std::optional<signature_t> sig;
        const char* error = parse_line(line, sig);
        if (!error && sig && loaded.size() == kMaxSignatures) error = kNoSignature;
        if (error) {
            if (reporter)
                reporter->message(MessageKind::Error, translate("Error"),
                                  format(translate(error), line_number));
            return false;
        }
        if (sig) loaded.push_back(std::move(*sig));
    }
    table_ = std::move(loaded);
    // The success text is not looked up: it names a file, not a message.
    if (reporter)
        reporter->message(MessageKind::Information, "Lumenkeeper",
                          format("Signatures file %s is successfully loaded", path));
    return true;
}

std::string_view SignatureTable::match_signature(Bytes data) const {
    for (const signature_t& sig : table_) {
        const std::size_t n = sig.value.size();
        if (n > data.size()) continue;
        std::size_t k = 0;
        while (k < n && (!sig.mask[k] || data[k] == sig.value[k])) ++k;
        if (k == n) return sig.name;
    }
    return {};
}

std::string signature_file_path() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return kSignatureFileName;
    return (exe.parent_path() / kSignatureFileName).string();
}

}  // namespace lk
