// Making the preview of one recovered file (RenderPreview): its bytes read
// along its chain, its date, a thumbnail decoded by its type and fitted into
// the box with a frame, and the grade of a picture. Also which built-in
// image an item shows when there is no thumbnail.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/catalogue.hpp"
#include "input/temp_names.hpp"
#include "preview/bgr_image.hpp"
#include "preview/grade.hpp"
#include "preview/raw_decoder.hpp"

namespace lk {

class Status;

// The file list's built-in images, in the order of the image list.
enum BuiltinImage : int {
    kImageFolder = 0,
    kImagePending = 1,  // thumbnail on its way
    kImageFailed = 2,   // a picture whose thumbnail could not be made
    kImagePicture = 3,  // a picture for which no thumbnail is wanted
    kImageBlank = 4,
    kImageSmall = 5,  // blank: a picture too small to be worth a thumbnail
    kBuiltinImages = 6,
};

// The front end's picture readers for the files the previews do not decode
// themselves (PNG, GIF, BMP...), on a copy of the file written to disk.
struct ImageReaders {
    // Whether a reader takes files of this 8.3 extension; files that no
    // reader takes and that are not JPEG or camera raw are never read.
    std::function<bool(const std::string& extension)> takes;
    // The picture in the file at path and its full size; an empty bitmap
    // when there is none.
    std::function<BgrImage(const std::string& path, int& full_width, int& full_height)> read;
};

// What a preview may use besides the file: all optional.
struct PreviewServices {
    const ImageReaders* readers = nullptr;
    TempNames* temp_names = nullptr;  // where the readers' copies go
    PpmDumps* dumps = nullptr;        // the raw decoder's diagnostic dumps
    Status* status = nullptr;         // for a copy that cannot be deleted
    std::stop_token stop;             // ends the file's reading early
};

struct Preview {
    BgrImage picture;  // box-sized and framed; empty when there is none
    // The picture's own size as its header gives it (0 when unknown).
    int full_width = 0;
    int full_height = 0;
    std::string date;  // EXIF date text, empty when none
    PictureGrade grade;
};

// The record's 8.3 extension: up to three characters, ending at the first blank.
std::string short_extension(const dir_t& record);
// The extension by which a record's preview is made: the 8.3 one, except
// that a JPEG named ".jpeg" (whose 8.3 extension is "JPE") counts as "JPG".
std::string preview_extension(const dir_t& record);

// The preview of a file already in memory (which it may change: the link to
// the EXIF thumbnail is cut first so that no decoder takes it for the
// picture), with the record's 8.3 extension.
Preview MakePreview(std::vector<std::uint8_t>& bytes, const std::string& extension,
                    int box_width, int box_height, const PreviewServices& services);

// The preview of a catalogue record: its bytes read along its runs first.
// Only pictures and files a reader takes are read; others have none.
Preview RenderPreview(Engine& e, const dir_t& record, int box_width, int box_height,
                      const PreviewServices& services);

// The image of an item once its preview is made. With a picture: use it
// (kUsePicture), unless the picture's full width is 1..200 pixels (a
// camera's separate thumbnail file), which shows blank. Without one, by the
// 8.3 extension: "THM" blank, "PNG" the plain picture, documents and
// pictures the failed image (documents then also the type's icon, when
// ask_icon), anything else blank.
inline constexpr int kUsePicture = -1;
struct ImageChoice {
    int image = kImageBlank;
    bool ask_icon = false;  // draw the file type's icon in place of the failed image
};
ImageChoice ChooseImage(bool has_picture, int full_width, const std::string& extension,
                        const std::string& display_extension);

}  // namespace lk
