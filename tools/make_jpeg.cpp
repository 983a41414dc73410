// lk-make-jpeg: writes one camera-style JPEG picture (see tools/jpeg_maker.hpp).
// Used by the build to fill the demo card, and by hand to make test pictures.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>

#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "tools/jpeg_maker.hpp"

int main(int argc, char** argv) {
    lk::tools::JpegOptions o;
    std::string output;
    bool jfif = false;

    CLI::App app{"Writes a camera-style JPEG picture with an EXIF block and thumbnail."};
    app.add_option("-o,--output", output, "File to write")->required();
    app.add_option("-W,--width", o.width, "Width in pixels")->check(CLI::Range(1, 65500));
    app.add_option("-H,--height", o.height, "Height in pixels")->check(CLI::Range(1, 65500));
    app.add_option("-q,--quality", o.quality, "JPEG quality")->check(CLI::Range(1, 100));
    app.add_option("-s,--seed", o.seed, "Picture seed: each seed gives another picture");
    app.add_option("--make", o.make, "EXIF Make");
    app.add_option("--model", o.model, "EXIF Model");
    app.add_option("--date", o.date_time, "EXIF date, \"YYYY:MM:DD HH:MM:SS\"");
    app.add_option("--thumb-width", o.thumb_width, "Thumbnail width")->check(CLI::Range(1, 65500));
    app.add_option("--thumb-height", o.thumb_height, "Thumbnail height")
        ->check(CLI::Range(1, 65500));
    app.add_flag("--big-endian", o.big_endian, "EXIF in Motorola byte order (MM)");
    app.add_flag("--jfif", jfif, "Plain JFIF file without EXIF");
    CLI11_PARSE(app, argc, argv);
    o.exif = !jfif;

    std::vector<std::uint8_t> bytes = lk::tools::make_jpeg(o);
    if (bytes.empty()) {
        std::fputs(lk::format(lk::translate("Cannot encode a %dx%d picture.\n"), o.width, o.height)
                       .c_str(),
                   stderr);
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        std::fputs(lk::format(lk::translate("Cannot write %s.\n"), output).c_str(), stderr);
        return 1;
    }
    return 0;
}
