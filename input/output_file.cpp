#include "input/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace lk {

OutputFile::OutputFile(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
    if (fd_ < 0) open_error_ = errno;
}

OutputFile::OutputFile(int dir, const std::string& name)
    : fd_(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)) {
    if (fd_ < 0) open_error_ = errno;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

namespace {

// Repeats a write call until every byte is written; a call that writes
// nothing without an error means the device is full.
template <class WriteOnce>
bool write_fully(const std::uint8_t* p, std::size_t n, int& error, WriteOnce write_once) {
    std::int64_t done = 0;
    while (n > 0) {
        const ssize_t w = write_once(p, n, done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            error = w < 0 ? errno : ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
        done += w;
    }
    return true;
}

}  // namespace

bool OutputFile::write(const std::uint8_t* p, std::size_t n, int& error) {
    return write_fully(p, n, error, [this](const std::uint8_t* q, std::size_t m, std::int64_t) {
        return ::write(fd_, q, m);
    });
}

bool OutputFile::write_at(std::int64_t offset, const std::uint8_t* p, std::size_t n, int& error) {
    return write_fully(p, n, error, [this, offset](const std::uint8_t* q, std::size_t m, std::int64_t done) {
        return ::pwrite(fd_, q, m, static_cast<off_t>(offset + done));
    });
}

bool OutputFile::skip(std::uint64_t n, int& error) {
    if (::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) >= 0) return true;
    error = errno;
    return false;
}

bool OutputFile::set_length(std::uint64_t length, int& error) {
    for (;;) {
        if (::ftruncate(fd_, static_cast<off_t>(length)) == 0) return true;
        if (errno != EINTR) break;
    }
    error = errno;
    return false;
}

void OutputFile::close_and_remove(const std::string& path) {
    struct stat st {};
    const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd_);
    fd_ = -1;
    if (regular) ::unlink(path.c_str());
}

bool OutputFile::close(int& error) {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        error = errno;
        return false;
    }
    return true;
}

}  // namespace lk
