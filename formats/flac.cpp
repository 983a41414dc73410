// FLAC extent: metadata blocks, then frames until the stream's total sample
// count is reached; the last frame is decoded to find where it ends.
//
// Stream: "fLaC", metadata blocks (a header byte: bit 7 last block, bits 0-6
// type; a 24-bit big-endian length), frames. STREAMINFO, the first block:
//   offset | size | meaning (big-endian, from the file's start)
//   12     | 3    | minimum frame size (0 = unknown)
//   15     | 3    | maximum frame size (0 = unknown)
//   18     | 8    | low 36 bits: total samples T (0 = unknown)
// Frame header: FF F8 (fixed block size) or FF F9 (variable), block-size and
// sample-rate codes, channel and sample-size codes, the frame number (fixed)
// or first sample number (variable) in a UTF-8-like code, optional block size
// and sample rate bytes, CRC-8. A frame ends with a CRC-16 of the whole frame.
//
// Frames are found by their headers: each header must carry the next frame
// (or sample) number, so sync-like bytes inside audio data cannot pass for a
// frame. A frame's length is not in its header; the end of the last frame is
// found by decoding it with libFLAC. Searching for the first place where the
// CRC-16 matches instead ends 3 to 15 % of encoder-written frames early (a
// 16-bit check meets a false match every 64 KiB of data).
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "formats/extent.hpp"
#include "formats/sound.hpp"

namespace lk {
namespace {

constexpr std::size_t kStreamInfoLength = 34;

struct FrameHeader {
    std::size_t length = 0;  // header bytes, CRC-8 included
    std::uint32_t block_size = 0;
    bool variable = false;     // FF F9: numbered by samples, not frames
    std::uint64_t number = 0;  // frame number, or first sample number
};

std::uint8_t crc8(const std::uint8_t* p, std::size_t n) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = std::uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

enum class Parse { Valid, Invalid, Short };

Parse parse_frame_header(Bytes d, std::uint64_t p, FrameHeader& f) {
    if (!has(d, p, 4)) return Parse::Short;
    const std::uint8_t* h = d.data() + p;
    if (h[0] != 0xFF || (h[1] != 0xF8 && h[1] != 0xF9)) return Parse::Invalid;
    const unsigned size_code = h[2] >> 4, rate_code = h[2] & 15;
    if (size_code == 0 || rate_code == 15) return Parse::Invalid;
    if ((h[3] >> 4) > 10 || ((h[3] >> 1) & 7) == 3 || (h[3] & 1)) return Parse::Invalid;
    f.variable = h[1] == 0xF9;

    std::size_t q = 4;
    if (!has(d, p + q, 1)) return Parse::Short;
    const std::uint8_t lead = h[q++];
    std::size_t more = 0;
    std::uint64_t number = 0;
    if (lead < 0x80)
        number = lead;
    else if ((lead & 0xE0) == 0xC0)
        number = lead & 0x1F, more = 1;
    else if ((lead & 0xF0) == 0xE0)
        number = lead & 0x0F, more = 2;
    else if ((lead & 0xF8) == 0xF0)
        number = lead & 0x07, more = 3;
    else if ((lead & 0xFC) == 0xF8)
        number = lead & 0x03, more = 4;
    else if ((lead & 0xFE) == 0xFC)
        number = lead & 0x01, more = 5;
    else if (lead == 0xFE)
        more = 6;
    else
        return Parse::Invalid;
    if (!has(d, p + q, more)) return Parse::Short;
    for (std::size_t i = 0; i < more; ++i, ++q) {
        if ((h[q] & 0xC0) != 0x80) return Parse::Invalid;
        number = number << 6 | (h[q] & 0x3F);
    }
    f.number = number;

    const std::size_t size_bytes = size_code == 6 ? 1 : size_code == 7 ? 2 : 0;
    const std::size_t rate_bytes = rate_code == 12                        ? 1
                                   : (rate_code == 13 || rate_code == 14) ? 2
                                                                          : 0;
    if (!has(d, p + q, size_bytes + rate_bytes + 1)) return Parse::Short;
    if (size_code == 1)
        f.block_size = 192;
    else if (size_code <= 5)
        f.block_size = 576u << (size_code - 2);
    else if (size_code == 6)
        f.block_size = h[q] + 1u;
    else if (size_code == 7)
        f.block_size = load_be16(h + q) + 1u;
    else
        f.block_size = 256u << (size_code - 8);
    q += size_bytes + rate_bytes;
    if (crc8(h, q) != h[q]) return Parse::Invalid;
    f.length = q + 1;
    return Parse::Valid;
}

// libFLAC reads a stream made of "fLaC", the file's STREAMINFO marked as the
// last metadata block, and the bytes of the frame to measure.
class LastFrame {
  public:
    LastFrame(Bytes streaminfo, Bytes frame) : frame_(frame) {
        std::memcpy(head_, "fLaC\x80\0\0\x22", 8);
        std::memcpy(head_ + 8, streaminfo.data(), kStreamInfoLength);
    }

    // The frame's length, or 0 when libFLAC cannot decode it whole.
    std::uint64_t length() {
        std::unique_ptr<FLAC__StreamDecoder, decltype(&FLAC__stream_decoder_delete)> decoder(
            FLAC__stream_decoder_new(), &FLAC__stream_decoder_delete);
        if (!decoder) return 0;
        FLAC__stream_decoder_set_md5_checking(decoder.get(), false);
        if (FLAC__stream_decoder_init_stream(decoder.get(), &read, nullptr, &tell, nullptr, &eof,
                                             &write, nullptr, &error,
                                             this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
            return 0;
        FLAC__uint64 position = 0;
        const bool ok = FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) &&
                        FLAC__stream_decoder_process_single(decoder.get()) && decoded_ &&
                        !failed_ &&
                        FLAC__stream_decoder_get_decode_position(decoder.get(), &position);
        FLAC__stream_decoder_finish(decoder.get());
        if (!ok || position <= sizeof head_) return 0;
        return position - sizeof head_;
    }

  private:
    std::size_t total() const { return sizeof head_ + frame_.size(); }

    static FLAC__StreamDecoderReadStatus read(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                              std::size_t* bytes, void* self) {
        auto* s = static_cast<LastFrame*>(self);
        std::size_t n = 0;
        while (n < *bytes && s->pos_ < s->total()) {
            const bool in_head = s->pos_ < sizeof s->head_;
            const std::uint8_t* from =
                in_head ? s->head_ + s->pos_ : s->frame_.data() + (s->pos_ - sizeof s->head_);
            const std::size_t left = in_head ? sizeof s->head_ - s->pos_ : s->total() - s->pos_;
            const std::size_t chunk = std::min(left, *bytes - n);
            std::memcpy(buffer + n, from, chunk);
            n += chunk;
            s->pos_ += chunk;
        }
        *bytes = n;
        return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                      : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderTellStatus tell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                              void* self) {
        *offset = static_cast<LastFrame*>(self)->pos_;
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__bool eof(const FLAC__StreamDecoder*, void* self) {
        auto* s = static_cast<LastFrame*>(self);
        return s->pos_ >= s->total();
    }
    static FLAC__StreamDecoderWriteStatus write(const FLAC__StreamDecoder*, const FLAC__Frame*,
                                                const FLAC__int32* const[], void* self) {
        static_cast<LastFrame*>(self)->decoded_ = true;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }
    // Lost sync, a bad header, a CRC mismatch: the frame is not whole here.
    static void error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
        static_cast<LastFrame*>(self)->failed_ = true;
    }

    std::uint8_t head_[8 + kStreamInfoLength];
    Bytes frame_;
    std::size_t pos_ = 0;
    bool decoded_ = false;
    bool failed_ = false;
};

}  // namespace

bool is_flac_header(Bytes d) {
    return matches(d, 0, "fLaC") && has(d, 0, 8) && (d[4] & 0x7F) == 0 && d[5] == 0 && d[6] == 0 &&
           d[7] == kStreamInfoLength;
}

std::int32_t flac_extent(Bytes d) {
    if (!matches(d, 0, "fLaC")) return -1;
    if (!has(d, 0, 8)) return 0;
    if (!is_flac_header(d)) return -1;
    std::uint64_t p = 4;
    for (;;) {
        if (!has(d, p, 4)) return 0;
        const std::uint8_t kind = d[p];
        if ((kind & 0x7F) == 127) return -1;
        p += 4 + (std::uint64_t(d[p + 1]) << 16 | std::uint64_t(d[p + 2]) << 8 | d[p + 3]);
        if (p > d.size()) return 0;
        if (kind & 0x80) break;
    }
    const std::uint8_t* info = d.data() + 8;
    const std::uint64_t min_frame =
        std::uint64_t(info[4]) << 16 | std::uint64_t(info[5]) << 8 | info[6];
    const std::uint64_t max_frame =
        std::uint64_t(info[7]) << 16 | std::uint64_t(info[8]) << 8 | info[9];
    const std::uint64_t total = load_be64(info + 10) & 0xFFFFFFFFFull;
    if (total == 0) return 0;

    FrameHeader frame;
    switch (parse_frame_header(d, p, frame)) {
        case Parse::Short:
            return 0;
        case Parse::Invalid:
            return -1;
        case Parse::Valid:
            break;
    }
    const FrameHeader first = frame;
    std::uint64_t samples = 0;
    for (;;) {
        samples += frame.block_size;
        // The frame reaching the stream's sample count is the last.
        if (samples >= total) {
            const std::uint64_t limit =
                max_frame ? std::min<std::uint64_t>(d.size(), p + max_frame) : d.size();
            const Bytes bytes = d.subspan(std::size_t(p), std::size_t(limit - p));
            const std::uint64_t length = LastFrame(d.subspan(8, kStreamInfoLength), bytes).length();
            if (length == 0 || (min_frame && length < min_frame)) return 0;
            return extent_at(p + length, d.size());
        }
        // The next frame: the first header after this one that carries the
        // next number, at most the largest frame size after this one's start.
        const std::uint64_t expected = frame.variable ? first.number + samples : frame.number + 1;
        const std::uint64_t last_start =
            max_frame ? std::min<std::uint64_t>(d.size(), p + max_frame + 1) : d.size();
        std::uint64_t q = p + frame.length;
        FrameHeader next;
        bool found = false;
        while (!found && q < last_start) {
            const void* hit = std::memchr(d.data() + q, 0xFF, std::size_t(last_start - q));
            if (!hit) break;
            q = std::uint64_t(static_cast<const std::uint8_t*>(hit) - d.data());
            found = parse_frame_header(d, q, next) == Parse::Valid &&
                    next.variable == first.variable && next.number == expected;
            if (!found) ++q;
        }
        if (!found) return 0;
        p = q;
        frame = next;
    }
}

}  // namespace lk
