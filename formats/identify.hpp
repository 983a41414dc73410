// File type identification: type tags, the ordered header table, extension
// classes, size limits and the content-extent dispatcher.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.hpp"

namespace lk {

class SignatureTable;

// A type tag names a file type and is the extension of a recovered file
// ("JPG"). Tags returned by identify_header point at constant texts or at a
// signature's name and live as long as the program (or the signature table).
// An empty tag means "no type".
using TypeTag = std::string_view;

// The provisional tag of an OLE2 compound file (0xD0 0x0C); never shown, it is
// replaced by ole_kind() before a file is named. Compared exactly.
inline constexpr TypeTag kCompoundMarker{"\xD0\x0C", 2};

// 700 x 1,024,000 bytes: the default largest movie.
inline constexpr std::uint64_t kDefaultMovieLimit = 716'800'000;

// Maps a candidate file's first bytes to a type tag by the header table, in
// order; user signatures (when a table is given) come first. Never allocates.
// Callers pass at least 512 bytes; shorter buffers simply fail the tests that
// would read past them.
// The PDF test is the only one that searches (the first 1,024 bytes). A caller
// that tests every 512-byte offset of a cluster can search the whole cluster
// once (pdf_and_marker_positions) and tell each call what the search would find.
enum class PdfHint : std::uint8_t { Search, Present, Absent };
TypeTag identify_header(Bytes data, const SignatureTable* signatures = nullptr, PdfHint pdf = PdfHint::Search);

// Where the PDF test's patterns start in data: (offset, pattern length) in
// ascending order of offset. In the same pass over the bytes, the JPEG
// marker walk's stops in data (JpegMarkerHints): the first max_marks of them
// go to marks, and the count of them all is returned. leads is scratch space.
std::size_t pdf_and_marker_positions(Bytes data, std::vector<std::pair<std::uint32_t, std::uint32_t>>& out,
                                     std::vector<std::uint32_t>& leads, std::uint32_t* marks,
                                     std::size_t max_marks);
// Whether the PDF test passes for the buffer data.subspan(start), given the
// positions pdf_and_marker_positions found in data.
bool pdf_hint_at(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& positions, std::size_t start,
                 std::size_t size);

// The header tests that other parts reuse.
bool is_jpeg_header(Bytes data);
bool is_mpeg_header(Bytes data);
bool is_pdf_header(Bytes data);
bool is_crw_header(Bytes data);
bool is_x3f_header(Bytes data);
// The TIFF header test; with max_dir_offset the first directory must also lie
// below it.
bool is_tiff_header(Bytes data, std::uint64_t max_dir_offset = UINT64_MAX);

// Extension classes. All compare case-insensitively except the compound
// marker and the content-sized class, which compare exactly.
bool is_document_ext(TypeTag tag);
bool is_raw_ext(TypeTag tag);
bool is_jpeg_ext(TypeTag tag);
bool is_picture_ext(TypeTag tag);
bool is_iconic_ext(TypeTag tag);
bool is_movie_ext(TypeTag tag);
bool is_sound_ext(TypeTag tag);
bool is_content_sized_ext(TypeTag tag);

// Largest size of a file of this type: the movie limit for movies, documents,
// sound and ZIP packages, 102,400,000 for TIF, RAF and CR3, else 21,504,000.
std::uint64_t max_file_size(TypeTag tag, std::uint64_t movie_limit);
// Size a carved file must reach before a uniform cluster may end it.
std::uint64_t uniform_stop_size(TypeTag tag, std::uint64_t movie_limit);

// The 3-byte extension field of a recovered file's 8.3 entry for a tag. A tag
// is kept whole everywhere else (class tests, display), but a user signature's
// name may be longer than three characters ("JPEG", "JPG "): the field takes
// its first three characters, upper-cased, with characters a short name cannot
// hold replaced by '_', and blank-padded when the tag is shorter.
std::array<char, 3> extension_field(TypeTag tag);

// Where a content-sized file that starts at data[0] ends: the size (> 0), 0
// when the end is not within the data (or the data is empty), -1 when the data
// is not a valid file of a content-sized kind. Chooses by the data's header:
// the first built-in header test it passes (any "RIFF" counting as RIFF)
// picks the end rule; user signatures play no part.
std::int32_t content_extent(Bytes data);
// Whether content_extent measures data that begins with these bytes (at
// least 1,024 of them, or all there are) by the JPEG marker walk.
bool is_measured_as_jpeg(Bytes head);

}  // namespace lk
