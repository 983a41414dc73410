// Opening, naming and sizing the input.
#include "input/input.hpp"

#include <unistd.h>

#include <cerrno>

#include "input/cache.hpp"
#include "input/card_image.hpp"
#include "input/drives.hpp"
#include "input/messages.hpp"
#include "lang/format.hpp"
#include "lang/translate.hpp"

namespace lk {

namespace {

// The card bytes an image file holds, and whether its trailer is there.
// `raw` is the file size (at least the header's).
struct ImageExtent {
    std::int64_t card_bytes;
    bool complete;
};

ImageExtent image_extent(ReadBackend& backend, const cib_t& header, std::int64_t raw) {
    std::int64_t bytes = raw - static_cast<std::int64_t>(kCibSize);
    if (!(header.flags & kCibTrailerFlag)) return {bytes, true};
    if (bytes >= static_cast<std::int64_t>(kCibTrailerSize)) {
        std::uint8_t tail[kCibTrailerSize];
        int error = 0;
        if (backend.read(raw - static_cast<std::int64_t>(kCibTrailerSize), tail, sizeof tail,
                         error) == static_cast<std::int64_t>(sizeof tail) &&
            is_cib_magic(Bytes(tail, sizeof tail)))
            return {bytes - static_cast<std::int64_t>(kCibTrailerSize), true};
    }
    return {bytes, false};
}

}  // namespace

Input::Input(Status& status) : status_(status), window_(kWindowSize) {}

Input::~Input() = default;

bool Input::open_backend(std::unique_ptr<ReadBackend> backend, std::string name, bool recognise) {
    std::unique_ptr<cib_t> header;
    std::int64_t card_end = -1;
    if (recognise) {
        std::uint8_t first[kSectorSize];
        int error = 0;
        const std::int64_t got = backend->read(0, first, sizeof first, error);
        if (got >= static_cast<std::int64_t>(kCibSize)) {
            if (auto h = parse_cib(Bytes(first, static_cast<std::size_t>(got)))) {
                header = std::make_unique<cib_t>(*h);
                if (const std::int64_t raw = backend->size();
                    raw >= static_cast<std::int64_t>(kCibSize))
                    card_end = image_extent(*backend, *header, raw).card_bytes;
            }
        }
    }
    {
        std::lock_guard guard(lock_);
        close_locked();
        backend_ = std::move(backend);
        card_image_ = std::move(header);
        image_card_end_ = card_end;
    }
    input_name_ = std::move(name);
    last_error_ = 0;
    return true;
}

bool Input::OpenBackend(std::unique_ptr<ReadBackend> backend, const std::string& name) {
    if (!backend) {
        last_error_ = EINVAL;
        return false;
    }
    return open_backend(std::move(backend), name, true);
}

bool Input::OpenInputFile(const std::string& path) {
    // The path is used as given: cutting it to a fixed buffer would open a
    // different file.
    int error = 0;
    auto backend = FdBackend::open(path, error);
    if (!backend) {
        last_error_ = error;
        return false;
    }
    return open_backend(std::move(backend), format(translate("File %hs"), path), true);
}

namespace {

std::unique_ptr<FdBackend> open_drive(const std::string& path, int descriptor, int& error) {
    return descriptor >= 0 ? FdBackend::adopt(descriptor, error) : FdBackend::open(path, error);
}

}  // namespace

bool Input::OpenLogicalDrive(const std::string& device, int descriptor) {
    int error = 0;
    auto backend = open_drive(device, descriptor, error);
    if (!backend) {
        last_error_ = error;
        return false;
    }
    return open_backend(std::move(backend), format(translate(kLogicalDriveName), device), false);
}

bool Input::OpenPhysicalDrive(int number, int descriptor) {
    const std::string path = PhysicalDrivePath(number, drives);
    if (path.empty()) {
        if (descriptor >= 0) ::close(descriptor);
        last_error_ = ENOENT;
        return false;
    }
    int error = 0;
    auto backend = open_drive(path, descriptor, error);
    if (!backend) {
        last_error_ = error;
        return false;
    }
    return open_backend(std::move(backend), format(translate("Physical Drive %d"), number), false);
}

void Input::CloseInput() {
    std::lock_guard guard(lock_);
    close_locked();
}

void Input::close_locked() {
    backend_.reset();
    card_image_.reset();
    image_card_end_ = -1;
    // Nothing read from one input may answer a read of the next.
    reset_caches_locked();
    pending_reports_.clear();
    reports_waiting_.store(false, std::memory_order_relaxed);
}

bool Input::is_open() const {
    std::lock_guard guard(lock_);
    return backend_ != nullptr;
}

const cib_t* Input::card_image() const {
    return card_image_.get();
}

std::int64_t Input::InputSize(bool exact, std::int64_t hint) {
    // The input is opened and closed on the front end's thread only, so the
    // backend stays put while it is measured; the lock is not held during a
    // search that may take minutes.
    ReadBackend* backend;
    {
        std::lock_guard guard(lock_);
        backend = backend_.get();
    }
    if (!backend) return -1;
    std::int64_t size = backend->size();
    if (size <= 0) size = SearchSize(*backend, exact, hint, size_search_poll);
    if (card_image_ && size >= static_cast<std::int64_t>(kCibSize)) {
        const ImageExtent extent = image_extent(*backend, *card_image_, size);
        if (!extent.complete)
            status_.StatusText("The card image file is incomplete, continuing anyway...");
        size = extent.card_bytes;
    }
    return size;
}

}  // namespace lk
