#include "preview/reconstruct.hpp"

#include "input/output_file.hpp"
#include "input/platform.hpp"
#include "lang/translate.hpp"
#include "preview/jpeg_codec.hpp"

namespace lk {

std::optional<std::string> ReconstructJpeg(Bytes data, std::vector<std::uint8_t>& out) {
    out.clear();
    JpegPicture picture;
    // No box: always the full size, in the file's own colours.
    if (!DecodeJpeg(data, 0, 0, JpegOutput::Reencode, picture))
        return std::string(translate("Reconstruction failed"));
    std::string error;
    out = EncodeJpeg(picture, kReconstructQuality, error);
    if (out.empty()) return error.empty() ? std::string(translate("Reconstruction failed")) : error;
    return std::nullopt;
}

std::optional<std::string> ReconstructJpeg(Bytes data, const std::string& path) {
    std::vector<std::uint8_t> bytes;
    if (auto error = ReconstructJpeg(data, bytes)) return error;
    OutputFile file(path);
    int error = file.open_error();
    if (!file.is_open() || !file.write(bytes.data(), bytes.size(), error) || !file.close(error))
        return InputErrorText(error);
    return std::nullopt;
}

}  // namespace lk
