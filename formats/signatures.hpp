// User-defined file headers from the signature file next to the program.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.hpp"

namespace lk {

class Reporter;

inline constexpr const char* kSignatureFileName = "lumenkeeper.sig";
inline constexpr std::size_t kMaxSignatures = 127;
inline constexpr std::size_t kMaxPatternLength = 512;

struct signature_t {
    std::string name;  // used directly as the type tag and extension
    std::vector<std::uint8_t> value;
    std::vector<std::uint8_t> mask;  // 1 = the byte must equal value, 0 = any byte
};

class SignatureTable {
public:
    // Reads the file at path. A missing file leaves the table empty and says
    // nothing; an error is shown through reporter (when given) and empties the
    // table; success shows the "successfully loaded" box.
    bool load_signatures(const std::string& path, Reporter* reporter);

    // Parses the text of a signature file (path is only named in the success
    // message), with the messages and results of load_signatures.
    bool load_from_text(std::string_view text, const std::string& path, Reporter* reporter);

    // The first signature in file order whose pattern matches the first bytes
    // of data; empty when none does.
    std::string_view match_signature(Bytes data) const;

    const std::vector<signature_t>& signatures() const { return table_; }
    bool empty() const { return table_.empty(); }

private:
    std::vector<signature_t> table_;
};

// The signature file's path: the directory of the running executable plus
// kSignatureFileName.
std::string signature_file_path();

}  // namespace lk
