// JPEG reconstruction: a damaged JPEG decoded as far as the decoder gets and
// encoded again into a well-formed file of the same size, with what could
// not be decoded black.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.hpp"

namespace lk {

// The quality of the new file.
inline constexpr int kReconstructQuality = 90;

// The rebuilt file in out; nothing on success, else the text to show:
// "Reconstruction failed" when decoding cannot start (no JPEG header, a
// width or height of 0, no memory), else the codec's own message.
std::optional<std::string> ReconstructJpeg(Bytes data, std::vector<std::uint8_t>& out);

// The same, written to path (created or replaced); a file that cannot be
// written gives the system's text.
std::optional<std::string> ReconstructJpeg(Bytes data, const std::string& path);

}  // namespace lk
