// The platform layer of the input: reading a device or file, its size, error
// texts, the temporary directory and free disk space. POSIX for now; every
// input is opened read-only and nothing here ever writes to it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lk {

// The platform read behind an input. Tests replace it with a backend that
// fails on chosen sectors.
class ReadBackend {
public:
    virtual ~ReadBackend() = default;
    // Reads up to `length` bytes at `offset` (pread-like). Returns the byte
    // count, short only at the end of the input or when an error stopped it,
    // or -1. `error` is 0 unless an errno-like code explains a failure or a
    // short count.
    virtual std::int64_t read(std::int64_t offset, void* buffer, std::size_t length,
                              int& error) = 0;
    // The size the platform reports, -1 when it reports none.
    virtual std::int64_t size() = 0;
    // Whether reads may be made from several threads at once, and fail
    // rarely enough that one which fails may simply be made again.
    virtual bool concurrent_reads() const { return false; }
};

// A descriptor opened O_RDONLY: block devices, character devices and files.
class FdBackend final : public ReadBackend {
public:
    // Opens `path` read-only; null with `error` set on failure.
    static std::unique_ptr<FdBackend> open(const std::string& path, int& error);
    // Takes over a descriptor opened elsewhere (the desktop's disk service
    // hands one out). Only a read-only descriptor is taken: any other is
    // closed and refused with EINVAL, so that the input can never be written.
    static std::unique_ptr<FdBackend> adopt(int fd, int& error);
    ~FdBackend() override;
    FdBackend(const FdBackend&) = delete;
    FdBackend& operator=(const FdBackend&) = delete;

    std::int64_t read(std::int64_t offset, void* buffer, std::size_t length, int& error) override;
    // BLKGETSIZE64 for block devices, st_size for regular files, else -1.
    std::int64_t size() override;
    // A regular file: pread from several threads at once. Never a device,
    // where a failing read costs a time-out each time it is made.
    bool concurrent_reads() const override { return regular_; }
    int fd() const { return fd_; }

private:
    explicit FdBackend(int fd);
    int fd_;
    bool regular_;
};

// The system's text for an errno value, tidied; "Error code %d" when there
// is none (and for 0).
std::string InputErrorText(int code);
// Trailing white space and one final "." removed.
std::string TidyErrorText(std::string text);

// The temporary directory ($TMPDIR, else /tmp), always with a trailing "/".
std::string TempDir();

// Bytes available to this user on the file system holding `path`, -1 when
// that cannot be determined (callers treat -1 as too little).
std::int64_t FreeSpace(const std::string& path);
using FreeSpaceFn = std::function<std::int64_t(const std::string& path)>;

// Where the drive enumeration looks; tests point it at a fake tree.
struct DriveEnvironment {
    std::string sys_root = "/sys";  // holds block/<disk>/...
    std::string dev_root = "/dev";  // device nodes by kernel name
    // The device number of the root file system (the system volume);
    // 0 means "find it with stat(\"/\")".
    dev_t root_device = 0;
};

}  // namespace lk
