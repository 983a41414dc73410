// TIFF tag walk and the raw extension of TIFF-based camera files.
//
// TIFF layout (all numbers in the file's byte order, "II" little, "MM" big):
//
//   offset | size | meaning
//   -------+------+---------------------------------------------------------
//   0      | 2    | byte order, "II" or "MM"
//   2      | 2    | magic: 42 (TIFF), 85 (Panasonic), 0x4F52/0x5352 (Olympus)
//   4      | 4    | offset of the first directory
//
// Directory: a 16-bit entry count, 12-byte entries, the 32-bit offset of the
// next directory (0 = none). Entry:
//
//   0 | 2 | tag
//   2 | 2 | type (value size: 3, 8 -> 2; 4, 9, 11 -> 4; 5, 10, 12 -> 8; else 1)
//   4 | 4 | count
//   8 | 4 | the value itself when size x count <= 4, else its offset
//
// Offsets count from the start of the TIFF structure.
#include "formats/tiff.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lk {
namespace {

constexpr std::uint16_t kTypeAscii = 2;

// Bound on the entries one walk reads. Real files hold a few hundred; crafted
// ones could otherwise make overlapping 65,535-entry directories point at one
// another and turn a walk quadratic in the data size.
constexpr std::uint64_t kMaxEntriesPerWalk = 1u << 20;

bool is_subdir_tag(std::uint16_t tag) {
    return tag == kExifIfd || tag == kGpsIfd || tag == kInteropIfd;
}

// Floating values become integers; out-of-range values saturate and NaN is 0,
// so a crafted value cannot make the conversion undefined.
std::uint32_t float_to_u32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0)
        return static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    if (v <= -2147483648.0)
        return static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::min());
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
}

class TagWalk {
  public:
    TagWalk(Bytes data, bool big, std::span<TagRequest> requests, int still_wanted)
        : d_(data),
          big_(big),
          requests_(requests),
          still_wanted_(still_wanted),
          remaining_(requests.size()) {
        for (std::size_t i = 0; i < requests_.size(); ++i) {
            TagRequest& r = requests_[i];
            if (r.dest && r.capacity) std::fill_n(r.dest, r.capacity, std::uint8_t{0});
            r.delivered = 0;
            remaining_[i] = r.dest ? r.capacity : 0;
        }
    }

    // Walks the directory at dir (and, in mode 1, its chain), collecting the
    // sub-directories it points at into pending (modes 1 and 2).
    bool walk(std::uint32_t dir, int mode, std::set<std::uint32_t>& pending) {
        visited_.insert(dir);
        while (dir != 0 && still_wanted_ > 0) {
            auto count = rd16(d_, dir, big_);
            if (!count) return false;
            for (std::uint32_t k = 0; k < *count && still_wanted_ > 0; ++k) {
                if (++entries_read_ > kMaxEntriesPerWalk) return false;
                if (!entry(std::uint64_t(dir) + 2 + 12ull * k, dir, mode, pending)) return false;
            }
            if (mode != 1 || still_wanted_ <= 0) break;
            auto next = rd32(d_, std::uint64_t(dir) + 2 + 12ull * *count, big_);
            if (!next) return false;
            if (!visited_.insert(*next).second) break;  // the chain loops back
            dir = *next;
        }
        return true;
    }

    bool visited(std::uint32_t dir) const { return visited_.count(dir) != 0; }
    int still_wanted() const { return still_wanted_; }

  private:
    bool entry(std::uint64_t at, std::uint32_t dir, int mode, std::set<std::uint32_t>& pending) {
        if (!has(d_, at, 12)) return false;
        const std::uint8_t* e = d_.data() + at;
        const std::uint16_t tag = big_ ? load_be16(e) : load_le16(e);
        const std::uint16_t type = big_ ? load_be16(e + 2) : load_le16(e + 2);
        const std::uint32_t count = big_ ? load_be32(e + 4) : load_le32(e + 4);
        const std::uint32_t value = big_ ? load_be32(e + 8) : load_le32(e + 8);

        if (mode != 0 && is_subdir_tag(tag) && value != dir && !visited(value))
            pending.insert(value);

        TagRequest* req = nullptr;
        for (TagRequest& r : requests_) {
            if (r.tag == tag) {
                req = &r;
                break;
            }
        }
        if (!req) return true;
        // ASCII values never count as delivered, so a text tag met twice is
        // counted twice: callers that want one date stop after the first.
        if (req->delivered == 0) --still_wanted_;

        const std::uint64_t size = tiff_value_size(type);
        const std::uint64_t place = size * count <= 4 ? at + 8 : value;
        if (place >= d_.size()) return false;

        if (type == kTypeAscii) {
            if (count < 1 || !has(d_, place, count)) return false;
            const std::size_t n = std::min<std::size_t>(count, req->capacity);
            if (req->dest && n > 0) {
                std::copy_n(d_.data() + place, n, req->dest);
                req->dest[n - 1] = 0;
            }
            return true;
        }

        std::size_t& remaining = remaining_[std::size_t(req - requests_.data())];
        for (std::uint64_t i = 0; i < count && remaining > 0; ++i) {
            auto v = element(place + i * size, type);
            if (!v) return false;
            std::uint8_t* out = req->dest + (req->capacity - remaining);
            if (remaining == 1) {
                out[0] = std::uint8_t(*v);
                req->delivered += 1;
                remaining = 0;
            } else if (remaining <= 3) {
                store_le16(out, std::uint16_t(*v));
                req->delivered += 2;
                remaining = 0;
            } else {
                store_le32(out, *v);
                req->delivered += 4;
                remaining -= 4;
            }
        }
        return true;
    }

    // One value element as a 32-bit integer.
    std::optional<std::uint32_t> element(std::uint64_t at, std::uint16_t type) const {
        switch (type) {
            case 3:
                return rd16(d_, at, big_);
            case 8:
                if (auto v = rd16(d_, at, big_))
                    return std::uint32_t(std::int32_t(std::int16_t(*v)));
                return std::nullopt;
            case 4:
            case 9:
                return rd32(d_, at, big_);
            case 5: {
                auto num = rd32(d_, at, big_);
                auto den = rd32(d_, at + 4, big_);
                if (!num || !den) return std::nullopt;
                return *den ? *num / *den : 0u;
            }
            case 10: {
                auto num = rd32(d_, at, big_);
                auto den = rd32(d_, at + 4, big_);
                if (!num || !den) return std::nullopt;
                if (*den == 0) return 0u;
                // 64-bit division: INT32_MIN / -1 must not trap.
                return std::uint32_t(std::int64_t(std::int32_t(*num)) / std::int32_t(*den));
            }
            case 11:
                if (auto v = rd32(d_, at, big_)) return float_to_u32(std::bit_cast<float>(*v));
                return std::nullopt;
            case 12: {
                if (!has(d_, at, 8)) return std::nullopt;
                const std::uint64_t bits =
                    big_ ? load_be64(d_.data() + at) : load_le64(d_.data() + at);
                return float_to_u32(std::bit_cast<double>(bits));
            }
            default:
                return u8(d_, at);
        }
    }

    Bytes d_;
    bool big_;
    std::span<TagRequest> requests_;
    int still_wanted_;
    std::vector<std::size_t> remaining_;  // capacity left per request
    std::set<std::uint32_t> visited_;
    std::uint64_t entries_read_ = 0;
};

std::string c_text(const std::uint8_t* p, std::size_t capacity) {
    const auto* s = reinterpret_cast<const char*>(p);
    return std::string(s, std::find(s, s + capacity, '\0'));
}

std::uint32_t delivered_value(const TagRequest& r) {
    if (r.delivered >= 4) return load_le32(r.dest);
    if (r.delivered >= 2) return load_le16(r.dest);
    return r.delivered ? r.dest[0] : 0;
}

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != s.npos;
}

}  // namespace

std::uint32_t tiff_value_size(std::uint16_t type) {
    switch (type) {
        case 3:
        case 8:
            return 2;
        case 4:
        case 9:
        case 11:
            return 4;
        case 5:
        case 10:
        case 12:
            return 8;
        default:
            return 1;
    }
}

bool read_tiff_tags(Bytes data, std::span<TagRequest> requests, int still_wanted, int mode) {
    const bool big = matches(data, 0, std::string_view("MM"));
    TagWalk walk(data, big, requests, still_wanted);
    auto first_dir = rd32(data, 4, big);
    if (!first_dir) return false;

    std::set<std::uint32_t> pending;
    if (!walk.walk(*first_dir, mode, pending)) return false;

    // Sub-directories, depth first in ascending order of offset. An explicit
    // stack instead of recursion: nesting depth is up to the file. A directory
    // already read (reached through two parents) is not read again.
    std::vector<std::uint32_t> stack(pending.rbegin(), pending.rend());
    while (!stack.empty() && walk.still_wanted() > 0) {
        const std::uint32_t dir = stack.back();
        stack.pop_back();
        if (walk.visited(dir)) continue;
        std::set<std::uint32_t> sub;
        if (!walk.walk(dir, 2, sub)) return false;
        stack.insert(stack.end(), sub.rbegin(), sub.rend());
    }
    return true;
}

TypeTag raw_ext_from_tiff(Bytes data, RawProbe* probe) {
    if (probe) *probe = RawProbe{};
    std::uint8_t sub_ifds[4], make[1024], model[1024], width[4], height[4], b4c3[4];
    TagRequest requests[] = {
        {kSubIfds, sub_ifds, sizeof sub_ifds}, {0x010F, make, sizeof make},
        {0x0110, model, sizeof model},       {0x0100, width, sizeof width},
        {0x0101, height, sizeof height},     {0xB4C3, b4c3, sizeof b4c3},
    };
    if (!read_tiff_tags(data, requests, 6, 0)) return {};

    const bool big = data[0] == 'M' && data[1] == 'M';
    const std::uint16_t magic = *rd16(data, 2, big);
    std::string make_text = c_text(make, sizeof make);
    for (char& c : make_text)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    const std::string model_text = c_text(model, sizeof model);
    const std::uint32_t w = delivered_value(requests[3]);
    const std::uint32_t h = delivered_value(requests[4]);
    if (probe) {
        probe->width = w;
        probe->height = h;
    }
    bool is_raw = true;
    TypeTag ext;
    if (contains(make_text, "kodak")) {
        if (model_text.starts_with("DCS"))
            ext = "DCR";
        else if (contains(model_text, "DC120") || contains(model_text, "P850"))
            ext = "KDC";
    } else if (make_text.starts_with("nikon")) {
        if (requests[0].delivered > 0) ext = "NEF";
    } else if (make_text.starts_with("canon")) {
        ext = "CR2";
    } else if (make_text.starts_with("sony")) {
        ext = (model_text == "DSLR-A100" || model_text == "DSLR-A700") ? "ARW" : "SRF";
    } else if (model_text.empty() && w == 680 && h == 680) {
        // raw without an extension of its own
    } else if (make_text.starts_with("pentax")) {
        ext = "PEF";
    } else if (make_text == "hasselblad" && contains(model_text, "H3D")) {
        ext = "3FR";
    } else if (magic == 0x4F52 || magic == 0x5352) {
        ext = "ORF";
    } else if (magic != 85) {
        is_raw = false;
        if (requests[5].delivered > 0) ext = "FFF";
    } else {
        ext = contains(model_text, "LX3") ? "RW2" : "RAW";
    }
    if (probe) probe->is_raw = is_raw;
    return ext;
}

}  // namespace lk
