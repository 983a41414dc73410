// exFAT card images for tests: formatted by mkfs.exfat, filled by the
// project's exFAT writer (tools/exfat_writer.hpp), which needs no mount and
// also writes the damage and the layouts no tool makes (TexFAT, a short valid
// data length, precise byte changes with their checksums recomputed).
//
// Names are UTF-8; times are UTC (the card keeps them in 2-second steps).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/card_builder.hpp"
#include "tests/support/process.hpp"
#include "tools/exfat_writer.hpp"

namespace lk::test {

struct ExfatOptions {
    std::uint64_t image_size = 64ull << 20;
    std::uint32_t cluster_size = 0;  // 0: mkfs.exfat's choice
    std::string label = "CARD";
    // Sector at which the volume starts behind an MBR whose only entry is an
    // inactive one of type 0x07; none: the volume starts at sector 0.
    std::optional<std::uint32_t> partition_start;
};

class ExfatImage {
  public:
    // Makes the image file (replacing one at that path) and formats it.
    // Throws std::runtime_error with the tool's error text when it fails.
    static ExfatImage create(const std::filesystem::path& image, const ExfatOptions& options);

    const std::filesystem::path& path() const { return image_; }
    const ExfatOptions& options() const { return options_; }
    tools::ExfatWriter& writer() { return *writer_; }
    const tools::ExfatLayout& layout() const { return writer_->layout(); }

    void add_dir(const std::string& path, std::time_t mtime = FatImage::default_mtime());
    void add_file(const std::string& path, std::span<const std::uint8_t> bytes,
                  const tools::ExfatFileOptions& options = {});
    void append(const std::string& path, std::span<const std::uint8_t> bytes);
    // A file or a folder with everything in it, deleted as a camera does.
    void remove(const std::string& path, bool keep_fat = false);
    // mkfs.exfat again with the same options: the boot region, FAT, bitmap,
    // up-case table and root are new, the other clusters keep their bytes.
    void quick_format();

    // Raw access to the image file.
    std::vector<std::uint8_t> read(std::uint64_t offset, std::size_t length) const {
        return writer_->read(offset, length);
    }
    void overwrite(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
        writer_->write(offset, bytes);
    }
    void zero(std::uint64_t offset, std::uint64_t length);

    // What fsck.exfat -n and dump.exfat say about the image.
    ProcessResult fsck() const;
    ProcessResult dump() const;

    const std::vector<CardFile>& files() const { return files_; }
    std::vector<CardFile> present_files() const;
    std::vector<CardFile> deleted_files() const;
    const std::vector<std::string>& dirs() const { return dirs_; }

  private:
    ExfatImage(std::filesystem::path image, ExfatOptions options);
    void format();

    std::filesystem::path image_;
    ExfatOptions options_;
    std::unique_ptr<tools::ExfatWriter> writer_;
    std::vector<CardFile> files_;
    std::vector<std::string> dirs_;
};

// True when mkfs.exfat, fsck.exfat and dump.exfat are installed.
bool have_exfat_tools();

}  // namespace lk::test

// Skips the current test when the exFAT tools are missing.
#define LK_REQUIRE_EXFAT_TOOLS()                                                  \
    do {                                                                          \
        if (!::lk::test::have_exfat_tools())                                      \
            GTEST_SKIP() << "mkfs.exfat, fsck.exfat or dump.exfat not installed " \
                            "(scripts/setup.sh installs exfatprogs)";             \
    } while (0)
