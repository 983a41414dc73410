// A file the program writes (a card image, a recovered file): an RAII
// descriptor whose writes either complete or say why not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lk {

class OutputFile {
public:
    // Creates the file or truncates it; open_error() holds errno on failure.
    explicit OutputFile(const std::string& path);
    // Creates `name` in the open directory `dir`; it must not exist yet
    // (nothing already there is ever overwritten or followed).
    OutputFile(int dir, const std::string& name);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool is_open() const { return fd_ >= 0; }
    int open_error() const { return open_error_; }
    // Writes every byte (at the current position, or at offset) or returns
    // false with `error` set.
    bool write(const std::uint8_t* p, std::size_t n, int& error);
    bool write_at(std::int64_t offset, const std::uint8_t* p, std::size_t n, int& error);
    // Moves on by n bytes without writing them, and sets the file's length:
    // bytes never written read as zeros and take no room where the file
    // system keeps holes.
    bool skip(std::uint64_t n, int& error);
    bool set_length(std::uint64_t length, int& error);
    // A cancelled image is deleted, but only when it is a regular file: an
    // output given as a device node must never lose its node.
    void close_and_remove(const std::string& path);
    // Close errors (delayed write failures on some file systems) count as
    // write errors.
    bool close(int& error);

private:
    int fd_;
    int open_error_ = 0;
};

}  // namespace lk
