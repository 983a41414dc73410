// Office documents: which application wrote an OLE2 compound document or a
// ZIP package, and the end rules of compound documents, RTF, PDF, ZIP
// packages and plain text (content_extent convention: size, 0 not within
// the data, -1 not a file of that kind).
#pragma once

#include <cstdint>

#include "base/bytes.hpp"
#include "formats/identify.hpp"

namespace lk {

// "DOC", "XLS", "PPT", "VSD", "MSI", "OLE" or "BAD"; never empty.
TypeTag ole_kind(Bytes data);

// -1 when the data fails the PDF header test, 0 when no end is found, else the
// size up to the first "%%EOF" after offset 1,024 and up to two line-end bytes.
std::int32_t pdf_extent(Bytes data);

// The size the compound file's FAT accounts for: up to its last sector in use.
std::int32_t ole2_extent(Bytes data);

// Up to the brace that closes the document, and one line end after it.
std::int32_t rtf_extent(Bytes data);

// A ZIP local file header as packages start: version, method, a printable name.
bool is_zip_header(Bytes data);
// Up to the end of the archive's end-of-central-directory record and comment.
std::int32_t zip_extent(Bytes data);
// "ODT", "ODS", "ODP", "ODG" by an OpenDocument "mimetype" entry, "DOC", "XLS",
// "PPT" by an Office package's main part, else "ZIP". data holds the archive
// (its measured size when known); never empty.
TypeTag zip_kind(Bytes data);

// 512 bytes of ASCII or UTF-8 text with a line feed, starting with a visible
// character.
bool is_text_header(Bytes data);
// The offset of the first byte that does not continue the text; 0 when all
// of the data is text.
std::int32_t text_extent(Bytes data);

}  // namespace lk
