#include "preview/render.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "base/status.hpp"
#include "engine/engine.hpp"
#include "formats/identify.hpp"
#include "formats/jpeg.hpp"
#include "formats/tiff.hpp"
#include "input/output_file.hpp"
#include "input/platform.hpp"
#include "preview/jpeg_codec.hpp"

namespace lk {

namespace {

// Files other than pictures are read for a preview up to this size.
constexpr std::uint64_t kMaxOtherBytes = 102'400'000;
// A damaged entry may claim gigabytes: no picture is read beyond this.
constexpr std::uint64_t kMaxPictureBytes = 512ull << 20;

void decode_raw(std::vector<std::uint8_t>& bytes, int box_width, int box_height,
                const PreviewServices& services, Preview& out) {
    DCRAWBuffer file(bytes);
    DCRAWImage job(file);
    DCRAWPPM sink(services.dumps);
    const bool decoded = Decode(job, sink, box_width, box_height, true);
    // The picture's own size, as the decoder reads it: the first directory
    // of many raw files describes a small preview instead.
    out.full_width = job.full_width;
    out.full_height = job.full_height;

    PictureGrade grade{Grade::Unreadable, 0};
    if (decoded && !job.read_past_end) grade = {Grade::Complete, 100};
    if (decoded && job.read_past_end) grade = GradeFromShare(true, job.data_share);
    if (!job.preview.empty()) grade = WorseGrade(grade, GradeJpeg(job.preview));
    out.grade = grade;
    // A file cut after its header decodes nothing but zeros: no picture.
    if (!decoded || (job.read_past_end && GradeFromShare(true, job.data_share).grade == Grade::Unreadable))
        return;
    BgrImage picture;
    picture.width = sink.width();
    picture.height = sink.height();
    picture.pixels = sink.take_pixels();
    out.picture = FitPicture(picture, box_width, box_height);
}

void decode_jpeg(std::vector<std::uint8_t>& bytes, int box_width, int box_height, Preview& out) {
    // The camera's thumbnail is kept for grading before its link is cut.
    const Bytes thumbnail = ExifThumbnail(bytes);
    const std::vector<std::uint8_t> camera_thumbnail(thumbnail.begin(), thumbnail.end());
    unlink_exif_thumbnail(bytes);
    if (!exif_is_sane(bytes)) return;  // implausible sizes: not decoded, not graded
    JpegPicture decoded;
    if (!DecodeJpeg(bytes, box_width, box_height, JpegOutput::Thumbnail, decoded)) {
        out.grade = {Grade::Unreadable, 0};
        return;
    }
    out.full_width = decoded.full_width;
    out.full_height = decoded.full_height;
    out.grade = GradeDecodedJpeg(decoded, camera_thumbnail);
    out.picture = FitPicture(std::move(decoded).image(), box_width, box_height);
}

// The front end's readers, on a copy written to the temporary directory:
// read-only while it is read, deleted afterwards.
void read_copy(const std::vector<std::uint8_t>& bytes, const std::string& extension,
               int box_width, int box_height, const PreviewServices& services, Preview& out) {
    const std::string path = services.temp_names->TempFileName(".lumenkeeper-", extension);
    {
        // A new file (never one that is there, nor a link's target).
        OutputFile file(AT_FDCWD, path);
        int error = 0;
        if (!file.is_open() || !file.write(bytes.data(), bytes.size(), error) || !file.close(error))
            return;
    }
    ::chmod(path.c_str(), S_IRUSR);
    BgrImage picture = services.readers->read(path, out.full_width, out.full_height);
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    if (::unlink(path.c_str()) != 0 && services.status)
        services.status->Error("unlink %hs: %hs", path, InputErrorText(errno));
    if (!picture.empty()) out.picture = FitPicture(picture, box_width, box_height);
}

bool is_tiff_raw(const std::vector<std::uint8_t>& bytes) {
    RawProbe probe;
    raw_ext_from_tiff(bytes, &probe);
    return probe.is_raw;
}

}  // namespace

std::string short_extension(const dir_t& record) {
    std::string ext;
    for (std::uint8_t c : record.entry.ext) {
        if (c == ' ') break;
        ext += static_cast<char>(c);
    }
    return ext;
}

std::string preview_extension(const dir_t& record) {
    const std::string ext = short_extension(record);
    if (!is_picture_ext(ext) && is_jpeg_ext(display_extension(record))) return "JPG";
    return ext;
}

Preview MakePreview(std::vector<std::uint8_t>& bytes, const std::string& extension,
                    int box_width, int box_height, const PreviewServices& services) {
    Preview out;
    read_exif_date(bytes, out.date);
    if (is_jpeg_ext(extension)) {
        decode_jpeg(bytes, box_width, box_height, out);
    } else if (is_raw_ext(extension) || (extension == "TIF" && is_tiff_raw(bytes))) {
        decode_raw(bytes, box_width, box_height, services, out);
    } else if (services.readers && services.temp_names && services.readers->takes(extension)) {
        read_copy(bytes, extension, box_width, box_height, services, out);
    }
    return out;
}

Preview RenderPreview(Engine& e, const dir_t& record, int box_width, int box_height,
                      const PreviewServices& services) {
    const std::string extension = preview_extension(record);
    const bool picture = is_picture_ext(extension);
    const bool readable = services.readers && services.readers->takes(extension);
    if (!picture && !readable) return {};
    const std::uint64_t size = item_size(record);
    if (!picture && size > kMaxOtherBytes) return {};
    std::vector<std::uint8_t> bytes;
    try {
        bytes = read_item(e, record, kMaxPictureBytes, services.stop);
    } catch (const std::bad_alloc&) {
        return {};
    }
    if (bytes.empty()) return {};
    return MakePreview(bytes, extension, box_width, box_height, services);
}

ImageChoice ChooseImage(bool has_picture, int full_width, const std::string& extension,
                        const std::string& display_extension) {
    if (has_picture) {
        // A camera's separate thumbnail file (160 pixels wide) is not worth showing.
        if (full_width >= 1 && full_width <= 200) return {kImageSmall, false};
        return {kUsePicture, false};
    }
    if (extension == "THM") return {kImageSmall, false};
    if (extension == "PNG") return {kImagePicture, false};
    if ((is_document_ext(extension) || is_picture_ext(extension)) &&
        !is_iconic_ext(display_extension) && extension != "TXT") {
        const bool icon = is_document_ext(display_extension) || extension == "MP3";
        return {kImageFailed, icon};
    }
    return {kImageBlank, false};
}

}  // namespace lk
