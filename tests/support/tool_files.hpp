// Office documents, archives and pictures written at test time by the
// programs people make them with (python-docx, openpyxl, odfpy, LibreOffice,
// Python's zipfile, Info-ZIP, ImageMagick, heif-enc), returned as bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace lk::test {

enum class ToolFile {
    docx,          // python-docx
    xlsx,          // openpyxl
    pptx,          // LibreOffice, from an odfpy presentation
    odt,           // odfpy
    ods,           // odfpy
    odp,           // odfpy
    zip_deflated,  // Python's zipfile, deflated entries
    zip_nested,    // Python's zipfile: a stored archive inside a stored archive, with a comment
    zip_pipe,      // Info-ZIP writing to a pipe: data descriptors after the entries
    zip64,         // Info-ZIP with Zip64 forced: Zip64 end record and locator
    zip_aligned,   // Python's zipfile, stored: the second entry's local header at byte 4,096
    png,           // ImageMagick
    gif87a,        // ImageMagick
    gif89a,        // ImageMagick
    bmp,           // ImageMagick, 24-bit, BITMAPINFOHEADER
    bmp_rle8,      // ImageMagick, 8-bit palette, RLE
    psd,           // ImageMagick, RLE composite
    psd_raw,       // ImageMagick, raw composite
    tiff,          // ImageMagick, LZW strips
    heic,          // heif-enc (x265)
    avif,          // heif-enc (aom)
};

struct ToolFileInfo {
    const char* name;     // for test names ("docx", "gif87a", ...)
    const char* tag;      // the extension carving gives the file
    const char* package;  // the Debian package whose program writes it
};

const ToolFileInfo& tool_file_info(ToolFile kind);
std::vector<ToolFile> all_tool_files();

// Whether the program that writes this kind is installed.
bool have_tool_for(ToolFile kind);

// The file's bytes; variant picks other content. Throws std::runtime_error
// with the program's error text when it fails.
std::vector<std::uint8_t> make_tool_file(ToolFile kind, unsigned variant = 0);

}  // namespace lk::test

// Skips the current test when the program that writes the kind is missing.
#define LK_REQUIRE_TOOL_FILE(kind)                                                            \
    do {                                                                                      \
        if (!::lk::test::have_tool_for(kind))                                                 \
            GTEST_SKIP() << ::lk::test::tool_file_info(kind).package                          \
                         << " not installed (scripts/setup.sh installs it); "                 \
                         << ::lk::test::tool_file_info(kind).name << " files cannot be made"; \
    } while (0)
