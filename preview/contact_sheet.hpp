// Grading the recovered pictures without a window, and the contact sheet: an
// HTML page of them beside the saved files, with small JPEG thumbnails in a
// folder of their own, grouped by folder, each with its name, size, date
// and grade.
#pragma once

#include <cstddef>
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

struct ContactSheet {
    std::string page;        // the HTML file written
    std::string thumbnails;  // the folder of thumbnails beside it
    std::size_t pictures = 0;
    std::string error;  // why the page could not be written (the system's words)
};

// Writes the contact sheet of the catalogue's pictures into directory (where
// Save all put them: a thumbnail links to its file when that is there),
// grading them on the way. The page and the folder get names nothing there
// holds yet. False, with sheet.error, when they cannot be written.
bool WriteContactSheet(Engine& e, const std::string& directory, const PreviewServices& services,
                       const PictureProgress& progress, ContactSheet& sheet);

}  // namespace lk
