// Grading a picture: how much of it decodes cleanly. The decoder that draws
// the thumbnail says where it first met corrupt data; pieces of another file
// in the middle of a picture (a fragmented file carved in one piece) often
// decode without a word, so the decoded picture is also compared with the
// thumbnail the camera stored beside it, and its rows of blocks are searched
// for the seam that such a piece leaves.
#pragma once

#include <string>

#include "base/bytes.hpp"
#include "engine/catalogue.hpp"
#include "preview/bgr_image.hpp"
#include "preview/jpeg_codec.hpp"

namespace lk {

struct PictureGrade {
    Grade grade = Grade::None;
    int decoded_rows_percent = 0;  // 100 complete; 0..99 damaged; 0 unreadable
};

// "complete", "damaged", "unreadable" (or "" for none): the words of the
// JSON catalogue and the contact sheet's classes.
const char* GradeWord(Grade grade);

// The grade as the user reads it ("Damaged picture: 63% of the rows
// decoded"), looked up; empty for none.
std::string GradeText(const PictureGrade& grade);

// A grade from the share of rows (0..1) before the first damage: 1 with no
// damage is complete, a share below 1 is damaged (at most 99 %), nothing
// decoded cleanly is unreadable.
PictureGrade GradeFromShare(bool damaged, double share);

// Grades a decode made for a thumbnail (JpegOutput::Thumbnail), with the
// camera's own thumbnail of the picture (ExifThumbnail; may be empty).
PictureGrade GradeDecodedJpeg(const JpegPicture& decoded, Bytes camera_thumbnail);

// Decodes the file at thumbnail scale and grades it; unreadable when the
// decode cannot start.
PictureGrade GradeJpeg(Bytes data);

// The worse of two grades (unreadable, then damaged with less decoded).
PictureGrade WorseGrade(const PictureGrade& a, const PictureGrade& b);

// The two searches, for the tests and the benchmark. Each answers the share
// of the picture's rows before the break it finds, 1 when it finds none;
// the thumbnail comparison answers -1 when there is no usable thumbnail.
double ThumbnailBreak(const BgrImage& decoded, Bytes camera_thumbnail);
double SeamBreak(const BgrImage& decoded, int scale, int mcu_blocks);

// The camera's thumbnail stored in the file's EXIF block (the JPEG bytes),
// empty when there is none.
Bytes ExifThumbnail(Bytes data);

}  // namespace lk
