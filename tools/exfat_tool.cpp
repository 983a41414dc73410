// lk-exfat: writes into an exFAT image that mkfs.exfat has formatted, the way
// mtools writes into a FAT one (see tools/exfat_writer.hpp). Used by the
// build for the exFAT demo card and by the benchmarks.
//
//   lk-exfat IMAGE mkdir PATH...
//   lk-exfat IMAGE copy SOURCE PATH [--chained]
//   lk-exfat IMAGE delete PATH...
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>

#include "lang/format.hpp"
#include "lang/translate.hpp"
#include "tools/exfat_writer.hpp"

namespace {

std::vector<std::uint8_t> read_source(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(lk::format(lk::translate("Cannot read %s."), path));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::time_t mtime_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string image;
    std::uint64_t offset = 0;
    std::vector<std::string> paths;
    std::string source, target;
    std::time_t mtime = 1623760496;
    bool chained = false;

    CLI::App app{"Writes folders and files into an exFAT image, or deletes them."};
    app.add_option("IMAGE", image, "exFAT image made by mkfs.exfat")->required();
    app.add_option("--offset", offset, "Byte offset of the volume in the image");
    app.require_subcommand(1);
    auto* mkdir = app.add_subcommand("mkdir", "Make folders (and their parents)");
    mkdir->add_option("PATH", paths, "Folder paths")->required();
    mkdir->add_option("--mtime", mtime, "Modification time, seconds since 1970 (UTC)");
    auto* copy =
        app.add_subcommand("copy", "Copy a file onto the volume with its modification time");
    copy->add_option("SOURCE", source, "File to copy")->required();
    copy->add_option("PATH", target, "Path on the volume")->required();
    copy->add_flag("--chained", chained, "Write a FAT chain rather than NoFatChain");
    auto* remove = app.add_subcommand("delete", "Delete files or folders as a camera does");
    remove->add_option("PATH", paths, "Paths on the volume")->required();
    CLI11_PARSE(app, argc, argv);

    try {
        lk::tools::ExfatWriter writer(image, offset);
        if (*mkdir) {
            for (const std::string& p : paths) writer.mkdir(p, mtime);
        } else if (*copy) {
            lk::tools::ExfatFileOptions o;
            o.mtime = mtime_of(source);
            o.contiguous = !chained;
            writer.add_file(target, read_source(source), o);
        } else {
            for (const std::string& p : paths) writer.remove(p);
        }
    } catch (const std::exception& e) {
        std::fputs(lk::format("%s: %s\n", image, e.what()).c_str(), stderr);
        return 1;
    }
    return 0;
}
