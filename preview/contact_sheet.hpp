// Grading the recovered pictures without a window, and the contact sheet: an
// HTML page of them in a folder of its own beside the folder they were
// saved in (a photo importer pointed at that folder does not import the
// thumbnails too), with small JPEG thumbnails, grouped by folder, each with
// its name, size, date, grade and how it was found, under a summary.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
#include <string>

#include "preview/render.hpp"

namespace lk {

struct Engine;

// Called after each picture with the pictures done and their total; false
// stops the walk.
using PictureProgress = std::function<bool(std::size_t done, std::size_t total)>;

// Whether previews grade files of this 8.3 extension (JPEG and camera raw).
bool is_graded_ext(const std::string& extension);

// Grades every JPEG and camera raw file of the catalogue: their records'
// grade, decoded share and date text. Returns the pictures graded.
std::size_t GradePictures(Engine& e, const PreviewServices& services,
                          const PictureProgress& progress);

struct ContactSheetOptions {
    std::string locale;    // the LC_TIME locale of its dates; "" = the user's (environment)
    std::time_t made = 0;  // when it was made, as the page says; 0 = now
};

struct ContactSheet {
    std::string folder;        // the sheet's own folder, beside the output directory
    std::string page;          // its index.html
    std::string thumbnails;    // the folder of thumbnails in it
    std::size_t pictures = 0;  // pictures shown, by grade below
    std::size_t complete = 0, damaged = 0, unreadable = 0, not_graded = 0;
    std::string error;  // why the page could not be written (the system's words)
};

// Where the contact sheet of the output directory `directory` goes when
// nothing is in the way: "<directory>-contact-sheet" beside it. Empty for a
// directory with nothing beside it (the root).
std::string ContactSheetFolder(const std::string& directory);

// Writes the contact sheet of the catalogue's pictures, grading them on the
// way, into ContactSheetFolder(directory), or into "... (2)", "... (3)"...
// when that exists: index.html and thumbnails/. A thumbnail links to the
// file in directory when Save all put it there (same path, same size). The
// summary at the top gives the card's name, the pictures by grade and when
// the sheet was made; dates are written as the locale writes them. False,
// with sheet.error, when it cannot be written.
bool WriteContactSheet(Engine& e, const std::string& directory, const PreviewServices& services,
                       const PictureProgress& progress, ContactSheet& sheet,
                       const ContactSheetOptions& options = {});

}  // namespace lk
