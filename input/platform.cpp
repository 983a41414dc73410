#include "input/platform.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

std::unique_ptr<FdBackend> FdBackend::open(const std::string& path, int& error) {
    // Read-only, always: the input is evidence and is never written.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<FdBackend>(new FdBackend(fd));
}

std::unique_ptr<FdBackend> FdBackend::adopt(int fd, int& error) {
    const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        error = flags < 0 ? EBADF : EINVAL;
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<FdBackend>(new FdBackend(fd));
}

FdBackend::FdBackend(int fd) : fd_(fd) {
    struct stat st {};
    regular_ = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
}

FdBackend::~FdBackend() {
    ::close(fd_);
}

std::int64_t FdBackend::read(std::int64_t offset, void* buffer, std::size_t length, int& error) {
    error = 0;
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            // Bytes already read are kept, with the error that stopped the rest.
            return done > 0 ? static_cast<std::int64_t>(done) : -1;
        }
        if (n == 0) break;  // end of the input
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t FdBackend::size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) return -1;
        if (bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return -1;
        return static_cast<std::int64_t>(bytes);
    }
    if (S_ISREG(st.st_mode)) return st.st_size;
    return -1;
}

std::string TidyErrorText(std::string text) {
    auto trim = [&text] {
        while (!text.empty() && std::strchr(" \t\r\n\v\f", text.back())) text.pop_back();
    };
    trim();
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string InputErrorText(int code) {
    std::string text;
    if (code != 0) {
        char buf[256];
        // GNU strerror_r: returns the text, which may or may not live in buf.
        const char* s = ::strerror_r(code, buf, sizeof buf);
        if (s) text = TidyErrorText(s);
    }
    if (text.empty()) return format(translate("Error code %d"), code);
    return text;
}

std::string TempDir() {
    std::string dir = "/tmp";
    if (const char* env = std::getenv("TMPDIR"); env && *env) dir = env;
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::int64_t FreeSpace(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) return -1;
    const std::uint64_t limit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    if (unit != 0 && vfs.f_bavail > limit / unit) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(vfs.f_bavail * unit);
}

}  // namespace lk
