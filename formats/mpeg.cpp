// MPEG-1 program stream extent: packs (00 00 01 BA), each with an optional
// system header (00 00 01 BB) and PES packets (00 00 01 BC..FF), ended by the
// program end code 00 00 01 B9. Only a stream whose every pack parses and that
// reaches the end code is measured.
#include <limits>

#include "formats/containers.hpp"

namespace lk {
namespace {

constexpr std::uint32_t kPackStart = 0x000001BA;
constexpr std::uint32_t kSystemHeaderStart = 0x000001BB;
constexpr std::uint32_t kProgramEnd = 0x000001B9;
constexpr std::uint32_t kPrivateStream2 = 0xBF;

// Big-endian bit reader. Bits past the end of the data read as zeros, which
// never form a start code, so every loop below ends at the data's end.
class BitReader {
  public:
    explicit BitReader(Bytes data) : d_(data), limit_(std::uint64_t(data.size()) * 8) {}

    std::uint32_t peek(unsigned n) const {
        std::uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) v = v << 1 | bit_at(p_ + i);
        return v;
    }
    std::uint32_t read(unsigned n) {
        const std::uint32_t v = peek(n);
        p_ += n;
        return v;
    }
    std::uint64_t pos() const { return p_; }
    std::uint64_t limit() const { return limit_; }
    void skip(std::uint64_t bits) { p_ += bits; }

  private:
    std::uint32_t bit_at(std::uint64_t at) const {
        if (at >= limit_) return 0;
        return (d_[std::size_t(at / 8)] >> (7 - at % 8)) & 1u;
    }

    Bytes d_;
    std::uint64_t limit_;
    std::uint64_t p_ = 0;
};

// 33-bit time stamp: 3 bits, marker, 15 bits, marker, 15 bits, marker.
bool time_stamp(BitReader& r) {
    r.read(3);
    if (r.read(1) != 1) return false;
    r.read(15);
    if (r.read(1) != 1) return false;
    r.read(15);
    return r.read(1) == 1;
}

bool system_header(BitReader& r) {
    if (r.read(32) != kSystemHeaderStart) return false;
    r.read(16);  // header length: the stream entries below end themselves
    if (r.read(1) != 1) return false;
    r.read(22);  // rate bound
    if (r.read(1) != 1) return false;
    r.read(6);                               // audio bound
    if ((r.read(5) & 1) != 1) return false;  // fixed, CSPS, audio lock, video lock, marker
    r.read(5);                               // video bound
    if (r.read(8) != 0xFF) return false;     // reserved byte
    // Stream entries start with a stream identifier, whose top bit is 1.
    while (r.peek(1) == 1) {
        const std::uint32_t stream_id = r.read(8);
        const std::uint32_t fixed = r.read(2);
        r.read(1);   // buffer bound scale
        r.read(13);  // buffer size bound
        if (stream_id <= 0xB7 || fixed != 3) return false;
    }
    return true;
}

bool pes_packet(BitReader& r, std::uint64_t byte_count) {
    r.read(24);  // 00 00 01, checked by the caller's look-ahead
    const std::uint32_t stream_id = r.read(8);
    const std::uint64_t length = r.read(16);
    const std::uint64_t body = r.pos();
    if (stream_id != kPrivateStream2) {
        while (r.peek(8) == 0xFF) r.read(8);  // stuffing
        if (r.peek(2) == 1) r.read(16);       // STD buffer scale and size
        if (r.peek(4) == 2) {                 // PTS only
            r.read(4);
            if (!time_stamp(r)) return false;
        } else if (r.peek(4) == 3) {  // PTS and DTS
            r.read(4);
            if (!time_stamp(r)) return false;
            if (r.read(4) != 1) return false;
            if (!time_stamp(r)) return false;
        } else if (r.read(8) != 0x0F) {  // no time stamps
            return false;
        }
    }
    const std::uint64_t header = (r.pos() - body) / 8;
    // A header that overruns the packet's own length is not a packet.
    if (header > length) return false;
    const std::uint64_t rest = length - header;
    // The payload must end before the data does: the end code still follows.
    if (rest > 0 && r.pos() / 8 + rest >= byte_count) return false;
    r.skip(rest * 8);
    return true;
}

bool pack(BitReader& r, std::uint64_t byte_count) {
    if (r.read(32) != kPackStart) return false;
    if (r.read(4) != 2) return false;  // '0010': MPEG-1 (MPEG-2 packs have '01')
    if (!time_stamp(r)) return false;  // system clock reference
    const std::uint32_t marker1 = r.read(1);
    const std::uint32_t mux_rate = r.read(22);
    const std::uint32_t marker2 = r.read(1);
    if (mux_rate == 0 || marker1 != 1 || marker2 != 1) return false;
    if (r.peek(32) == kSystemHeaderStart && !system_header(r)) return false;
    while (r.peek(24) == 1 && (r.peek(32) & 0xFF) >= 0xBC)
        if (!pes_packet(r, byte_count)) return false;
    return true;
}

}  // namespace

std::int32_t mpeg_extent(Bytes data) {
    BitReader r(data);
    for (;;) {
        if (!pack(r, data.size())) return 0;
        while (r.pos() % 8 != 0)
            if (r.read(1) != 0) return 0;
        if (r.peek(24) == 0) r.read(8);  // a zero byte before the next start code
        if (r.peek(32) == kPackStart) continue;
        if (r.read(32) != kProgramEnd) return 0;
        // Reached only inside the data: zeros past the end are not the end code.
        const std::uint64_t size = r.pos() / 8;
        if (size > std::uint64_t(std::numeric_limits<std::int32_t>::max())) return 0;
        return std::int32_t(size);
    }
}

}  // namespace lk
