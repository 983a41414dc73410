#include "preview/raw_decoder.hpp"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
// clang-format on
#include <libraw/libraw.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "lang/format.hpp"

namespace lk {

// --- DCRAWBuffer -----------------------------------------------------------

bool DCRAWBuffer::seek(std::int64_t offset, int whence) {
    const std::int64_t position = tell(), size = length();
    std::int64_t to = 0;
    switch (whence) {
        case SEEK_SET: to = offset; break;
        case SEEK_CUR:
            if (offset > size - position) return false;  // checked before adding: no overflow
            to = position + offset;
            break;
        case SEEK_END:
            if (offset > 0 || offset < -size) return false;
            to = size + offset;
            break;
        default: return false;
    }
    // The end itself is a position like any other: reads there deliver
    // nothing (zeros to the decoder), as they would at any later offset.
    if (to < 0 || to > size) return false;
    current_ = static_cast<std::size_t>(to);
    return true;
}

std::size_t DCRAWBuffer::read(void* buffer, std::size_t count) {
    const std::size_t n = std::min(count, at_end() ? 0 : length_ - current_);
    if (n > 0) std::memcpy(buffer, data_ + current_, n);
    current_ += n;
    return n;
}

std::size_t DCRAWBuffer::write(const void* buffer, std::size_t count) {
    if (data_ != nullptr && length_ > 0) return 0;  // only an empty memory file takes bytes
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    owned_.assign(p, p + count);
    data_ = owned_.data();
    length_ = current_ = owned_.size();
    return count;
}

void DCRAWBuffer::close() {
    owned_.clear();
    owned_.shrink_to_fit();
    data_ = nullptr;
    length_ = current_ = 0;
}

// --- DCRAWPPM --------------------------------------------------------------

DCRAWPPM::DCRAWPPM(PpmDumps* dumps) {
    const char* prefix = std::getenv("DCRAW_PPM");
    if (prefix && dumps) {
        // Diagnosis only: a dump that cannot be made is skipped.
        const std::string name = format("%s%08d.ppm", prefix, dumps->next.fetch_add(1));
        dump_ = std::fopen(name.c_str(), "wb");
    }
}

DCRAWPPM::~DCRAWPPM() {
    if (dump_) std::fclose(dump_);
}

std::size_t DCRAWPPM::write(const void* buffer, std::size_t count) {
    if (failed_) return 0;
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    if (dump_ && count > 0) std::fwrite(p, 1, count, dump_);
    if (header_expected_) {
        // "P%d\n%d %d\n %d\n": format, width, height and the largest value.
        char text[64] = {};
        std::memcpy(text, p, std::min(count, sizeof text - 1));
        int kind = 0, width = 0, height = 0, largest = 0;
        if (std::sscanf(text, "P%d\n%d %d\n %d", &kind, &width, &height, &largest) != 4 ||
            (kind != 5 && kind != 6) || largest != 255 || width <= 0 || height <= 0) {
            failed_ = true;
            return 0;
        }
        header_expected_ = false;
        colours_ = kind == 5 ? 1 : 3;
        width_ = width;
        aligned_width_ = width / 8 * 8;
        height_ = height;
        try {
            pixels_.assign(std::size_t(aligned_width_) * std::size_t(height_) * 3, 0);
        } catch (const std::bad_alloc&) {
            failed_ = true;
            return 0;
        }
        return count;
    }
    const std::size_t row = std::size_t(colours_) * std::size_t(width_);
    if (count != row * std::size_t(height_) && count != row && count != std::size_t(colours_) &&
        count != 1) {
        failed_ = true;
        return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (row_ >= height_) {
            failed_ = true;  // more pixels than the header announced
            return 0;
        }
        if (column_ < aligned_width_) {
            std::uint8_t* pixel =
                pixels_.data() + (std::size_t(row_) * std::size_t(aligned_width_) + std::size_t(column_)) * 3;
            if (colours_ == 1) pixel[0] = pixel[1] = pixel[2] = p[i];
            else pixel[2 - component_] = p[i];  // red, green, blue arrive; stored blue first
        }
        if (++component_ == colours_) {
            component_ = 0;
            if (column_ < aligned_width_) ++stored_;
            if (++column_ == width_) {
                column_ = 0;
                ++row_;
            }
        }
    }
    return count;
}

void DCRAWPPM::close() {
    if (!header_expected_ && stored_ != std::size_t(aligned_width_) * std::size_t(height_))
        failed_ = true;
}

// --- Decode ----------------------------------------------------------------

namespace {

// LibRaw's view of the memory file. Reads past its end deliver zeros, so
// that a truncated recovered file is decoded as far as it goes.
class MemoryStream final : public LibRaw_abstract_datastream {
  public:
    explicit MemoryStream(DCRAWBuffer& file) : file_(file) {}

    int valid() override { return 1; }
    int read(void* ptr, size_t size, size_t count) override {
        if (size == 0 || count == 0) return 0;
        if (count > std::numeric_limits<size_t>::max() / size) return 0;
        const std::size_t want = size * count;
        const std::size_t got = file_.read(ptr, want);
        delivered += got;
        if (got < want) {
            std::memset(static_cast<std::uint8_t*>(ptr) + got, 0, want - got);
            past_end = true;
            zeros += want - got;
        }
        return static_cast<int>(std::min<std::size_t>(got / size, std::numeric_limits<int>::max()));
    }
    int seek(INT64 offset, int whence) override { return file_.seek(offset, whence) ? 0 : -1; }
    INT64 tell() override { return file_.tell(); }
    INT64 size() override { return file_.length(); }
    int get_char() override {
        std::uint8_t c = 0;
        if (file_.read(&c, 1) == 1) {
            ++delivered;
            return c;
        }
        ++zeros;
        return -1;
    }
    // A line: up to a newline or a NUL byte (both kept) or size - 1 bytes.
    char* gets(char* s, int size) override {
        if (size <= 0) return nullptr;
        int n = 0;
        while (n < size - 1) {
            std::uint8_t c = 0;
            if (file_.read(&c, 1) != 1) break;
            s[n++] = static_cast<char>(c);
            if (c == '\n' || c == 0) break;
        }
        s[n] = 0;
        return n > 0 ? s : nullptr;
    }
    // One number in text ("%d" or "%f"), from a token of at most 24 bytes.
    int scanf_one(const char* fmt, void* value) override {
        char token[32] = {};
        int c = get_char();
        while (c != -1 && std::isspace(c)) c = get_char();
        if (c == -1) return -1;
        std::size_t n = 0;
        while (c != -1 && !std::isspace(c) && c != 0 && n < 24) {
            token[n++] = static_cast<char>(c);
            c = get_char();
        }
        return std::sscanf(token, fmt, value);
    }
    int eof() override { return file_.at_end() ? 1 : 0; }
    void* make_jas_stream() override { return nullptr; }
    // Raw formats whose data is JPEG-compressed hand the rest of the file to libjpeg.
    int jpeg_src(void* jpegdata) override {
        auto* cinfo = static_cast<j_decompress_ptr>(jpegdata);
        const Bytes rest = file_.bytes().subspan(static_cast<std::size_t>(file_.tell()));
        jpeg_mem_src(cinfo, rest.data(), static_cast<unsigned long>(rest.size()));
        // libjpeg's warnings about the cut data would go to stderr.
        if (cinfo->err) cinfo->err->output_message = [](j_common_ptr) {};
        return 0;
    }

    bool past_end = false;
    std::uint64_t delivered = 0;  // bytes read from the file
    std::uint64_t zeros = 0;      // bytes asked for past its end

  private:
    DCRAWBuffer& file_;
};

// The decoder's messages are dropped.
void quiet_data(void*, const char*, const int) {}
void quiet_memory(void*, const char*, const char*) {}

}  // namespace

bool Decode(DCRAWImage& job, DCRAWPPM& sink, int box_width, int box_height, bool want_preview) {
    job.width = job.height = -1;
    job.full_width = job.full_height = 0;
    job.read_past_end = false;
    job.data_share = 1.0;
    job.preview.clear();
    MemoryStream stream(job.input);
    // LibRaw's state is large: it lives on the heap, one per decode.
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPTIONS_NONE);
    raw->set_dataerror_handler(quiet_data, nullptr);
    raw->set_memerror_handler(quiet_memory, nullptr);
    raw->imgdata.params.half_size = box_width != -1 && box_height != -1 ? 1 : 0;
    raw->imgdata.params.output_bps = 8;

    if (raw->open_datastream(&stream) != LIBRAW_SUCCESS) return false;
    job.full_width = raw->imgdata.sizes.width;
    job.full_height = raw->imgdata.sizes.height;
    // How much of the image data the file still holds: the bytes the
    // decoder asked for while unpacking it against those it got.
    stream.delivered = stream.zeros = 0;
    const bool unpacked = raw->unpack() == LIBRAW_SUCCESS;
    if (stream.delivered + stream.zeros > 0)
        job.data_share = double(stream.delivered) / double(stream.delivered + stream.zeros);
    job.read_past_end = stream.past_end;
    const bool decoded = unpacked && raw->dcraw_process() == LIBRAW_SUCCESS;
    int error = 0;
    libraw_processed_image_t* image = decoded ? raw->dcraw_make_mem_image(&error) : nullptr;
    // The camera's preview, read once the image is made: reading it earlier
    // can leave the decoder unable to unpack or output a damaged file.
    if (want_preview && raw->unpack_thumb() == LIBRAW_SUCCESS &&
        raw->imgdata.thumbnail.tformat == LIBRAW_THUMBNAIL_JPEG && raw->imgdata.thumbnail.thumb) {
        const auto* t = reinterpret_cast<const std::uint8_t*>(raw->imgdata.thumbnail.thumb);
        job.preview.assign(t, t + raw->imgdata.thumbnail.tlength);
    }
    if (!image) return false;
    std::unique_ptr<libraw_processed_image_t, void (*)(libraw_processed_image_t*)> owner(
        image, [](libraw_processed_image_t* p) { LibRaw::dcraw_clear_mem(p); });
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 ||
        (image->colors != 1 && image->colors != 3))
        return false;

    // The decoder's output as a PPM stream, row by row, as it would write
    // its file.
    const std::string header =
        format("P%d\n%d %d\n%d\n", image->colors == 1 ? 5 : 6, int(image->width), int(image->height), 255);
    if (sink.write(header.data(), header.size()) != header.size()) return false;
    const std::size_t row = std::size_t(image->width) * image->colors;
    for (unsigned y = 0; y < image->height; ++y)
        if (sink.write(image->data + y * row, row) != row) return false;
    sink.close();
    if (sink.failed()) return false;
    job.width = int(image->width) / 8 * 8;
    job.height = int(image->height);
    return true;
}

}  // namespace lk
