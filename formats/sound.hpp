// End rules of the sound formats: MP3 behind an ID3v2 tag, Ogg pages and FLAC
// frames. Each follows the content_extent convention (size, 0 not within the
// data, -1 not a file of that kind).
#pragma once

#include <cstdint>

#include "base/bytes.hpp"

namespace lk {

// MPEG audio frames after an ID3v2 tag, plus a trailing ID3v1 tag; FLAC when
// "fLaC" follows the tag.
std::int32_t mp3_extent(Bytes data);
// Whether "fLaC" follows the ID3v2 tag that data starts with.
bool is_id3_tagged_flac(Bytes data);

// The first page of an Ogg stream (beginning-of-stream flag, granule 0).
bool is_ogg_header(Bytes data);
std::int32_t ogg_extent(Bytes data);

// "fLaC" and a 34-byte STREAMINFO block first.
bool is_flac_header(Bytes data);
std::int32_t flac_extent(Bytes data);

}  // namespace lk
