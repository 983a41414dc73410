#include "input/card_image.hpp"
#include "input/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "input/input.hpp"
#include "input/md5.hpp"

namespace lk {

cib_t make_cib(std::string_view name, std::uint64_t card_size, std::uint32_t time) {
    cib_t h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, kCibMagic.data(), kCibMagic.size());
    std::memcpy(h.magic2, kCibMagic.data(), kCibMagic.size());
    h.version = kCibVersion;
    h.flags = kCibTrailerFlag;
    h.time = time;
    h.size = card_size;
    name = name.substr(0, std::min(name.size(), kCibNameMax));
    std::memcpy(h.name, name.data(), name.size());
    return h;
}

std::array<std::uint8_t, kCibSize> encode_cib(const cib_t& h) {
    std::array<std::uint8_t, kCibSize> b{};
    std::uint8_t* p = b.data();
    std::memcpy(p + 0, h.magic, 7);
    p[7] = h.version;
    store_le32(p + 8, h.time);
    store_le64(p + 12, h.size);
    store_le32(p + 20, h.read_errors);
    std::memcpy(p + 24, h.name, sizeof h.name);
    p[24 + kCibNameMax] = 0;  // the name is always terminated
    std::memcpy(p + 152, h.md5, 16);
    p[168] = h.flags;
    std::memcpy(p + 169, h.reserved, 7);
    std::memcpy(p + 176, h.magic2, 7);
    return b;
}

bool is_cib_magic(Bytes bytes) {
    return matches(bytes, 0, Bytes(kCibMagic));
}

std::optional<cib_t> parse_cib(Bytes bytes) {
    if (!has(bytes, 0, kCibSize) || !is_cib_magic(bytes) ||
        !matches(bytes, 176, Bytes(kCibMagic)) || bytes[7] != kCibVersion)
        return std::nullopt;
    ByteReader r(bytes.first(kCibSize));
    cib_t h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, r.bytes(7).data(), 7);
    h.version = r.u8();
    h.time = r.u32();
    h.size = r.u64();
    h.read_errors = r.u32();
    Bytes name = r.bytes(128);
    std::memcpy(h.name, name.data(), name.size());
    h.name[kCibNameMax] = 0;  // a file's name field may lack its terminator
    std::memcpy(h.md5, r.bytes(16).data(), 16);
    h.flags = r.u8();
    std::memcpy(h.reserved, r.bytes(7).data(), 7);
    std::memcpy(h.magic2, r.bytes(7).data(), 7);
    if (!r.ok()) return std::nullopt;
    return h;
}

namespace {

constexpr std::size_t kCopyBlock = 262'144;

// The directory part of a path, with its trailing "/"; "./" for a bare name.
std::string directory_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

// "lumenkeeper.log" beside the image: every status line shown while the
// image is written is appended to it.
class ImageLog {
public:
    ImageLog(Status& status, const std::string& path)
        : status_(status), file_(std::fopen(path.c_str(), "a")) {
        if (file_) status_.set_image_log(file_);
    }
    ~ImageLog() {
        if (!file_) return;
        status_.set_image_log(nullptr);
        std::fclose(file_);
    }
    ImageLog(const ImageLog&) = delete;
    ImageLog& operator=(const ImageLog&) = delete;

private:
    Status& status_;
    std::FILE* file_;
};

// The final hand-over (100) runs on every way out.
class FinalHandOver {
public:
    FinalHandOver(CopyProgress& progress, const Input& input)
        : progress_(progress), input_(input) {}
    ~FinalHandOver() { progress_.hand_over(100, input_.read_errors()); }
    FinalHandOver(const FinalHandOver&) = delete;
    FinalHandOver& operator=(const FinalHandOver&) = delete;

private:
    CopyProgress& progress_;
    const Input& input_;
};

DuplicateResult write_image(Input& input, const std::string& output_path, CopyProgress& progress) {
    Status& status = input.status();
    const std::int64_t card_size = std::max<std::int64_t>(input.input_size, 0);

    std::vector<std::uint8_t> buffer(kCopyBlock);
    input.reset_read_errors();
    progress.hand_over(0, 0);

    OutputFile out(output_path);
    if (!out.is_open()) {
        status.Error("File %hs: create file error %d", output_path, errno);
        return DuplicateResult::CreateFailed;
    }
    cib_t header = make_cib(input.input_name(), static_cast<std::uint64_t>(card_size),
                            static_cast<std::uint32_t>(std::time(nullptr)));
    int error = 0;
    auto bytes = encode_cib(header);
    if (!out.write(bytes.data(), bytes.size(), error)) {
        status.Error("Backup image header write error %d", error);
        return DuplicateResult::WriteFailed;
    }
    Md5 md5;
    input.reset_read_errors();

    for (std::int64_t offset = 0; offset < card_size; offset += kCopyBlock) {
        progress.hand_over(percent_of(offset, card_size), input.read_errors());
        if (progress.is_cancelled()) {
            out.close_and_remove(output_path);
            return DuplicateResult::Cancelled;
        }
        const auto length =
            static_cast<std::size_t>(std::min<std::int64_t>(kCopyBlock, card_size - offset));
        // Unreadable sectors come back as fill bytes and are counted by the
        // input; the image keeps the card's layout, so the block is written
        // whatever the read returned.
        const std::int64_t got = input.ReadAt(offset, buffer.data(), length);
        if (got != static_cast<std::int64_t>(length))
            status.Trace("duplicate: read at %Ld returned %Ld\n", offset, got);
        if (!out.write(buffer.data(), length, error)) {
            // The image stays on disk without its trailer: it can still be
            // opened and analysed up to the bytes it holds.
            status.Error("File %hs: write error %d", output_path, error);
            return DuplicateResult::WriteFailed;
        }
        md5.update({buffer.data(), length});
    }

    if (!out.write(kCibMagic.data(), kCibMagic.size(), error)) {
        status.Error("File %hs: write error %d", output_path, error);
        return DuplicateResult::WriteFailed;
    }
    header.read_errors = input.read_errors();
    Md5Digest digest = md5.finish();
    std::memcpy(header.md5, digest.data(), digest.size());
    bytes = encode_cib(header);
    if (!out.write_at(0, bytes.data(), bytes.size(), error)) {
        status.Error("Backup image header write error %d", error);
        return DuplicateResult::WriteFailed;
    }
    if (!out.close(error)) {
        status.Error("File %hs: write error %d", output_path, error);
        return DuplicateResult::WriteFailed;
    }
    return DuplicateResult::Done;
}

}  // namespace

DuplicateResult DuplicateCard(Input& input, const std::string& output_path, CopyProgress& progress,
                              const FreeSpaceFn& free_space) {
    Status& status = input.status();
    try {
        const std::int64_t card_size = std::max<std::int64_t>(input.input_size, 0);
        const std::string dir = directory_of(output_path);
        // The image needs the card's size; twice that leaves room for the
        // recovered files. An unknown free space counts as too little.
        const std::int64_t free = free_space ? free_space(dir) : -1;
        if (free < 0 || free < card_size || free - card_size < card_size) {
            status.Error("Sorry, not enough free disk space to duplicate the card");
            return DuplicateResult::NoSpace;
        }
        ImageLog log(status, dir + "lumenkeeper.log");
        FinalHandOver final_hand_over(progress, input);
        return write_image(input, output_path, progress);
    } catch (const FatalError&) {
        return DuplicateResult::Failed;
    }
}

}  // namespace lk
