// QuickTime / MP4 atom walk over unclaimed clusters.
//
// Top-level atom:
//   offset | size | meaning
//   0      | 4    | size, big-endian, header included; 1 = 64-bit size follows
//   4      | 4    | type
//   8      | 8    | 64-bit size (only when size is 1), high word first
// Only payload-free headers are read; payloads are skipped cluster by cluster.
#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/containers.hpp"
#include "formats/pictures.hpp"

namespace lk {
namespace {

// Types that appear at the top level of camera and phone movies. Anything
// else ends the walk; "meta", which lives inside "moov" in movies, stands at
// the top level of HEIF and AVIF pictures and is accepted once the brand has
// named one.
constexpr std::array<std::string_view, 12> kTopLevelTypes = {
    "free", "ftyp", "junk", "mdat", "mfra", "moof", "moov", "PICT", "pnot", "skip", "uuid", "wide"};

bool is_top_level_type(std::string_view type) {
    for (auto t : kTopLevelTypes)
        if (t == type) return true;
    return false;
}

// The major brand of "ftyp" names the file kind. Brands are lower-cased first
// because writers disagree on case ("M4A " vs "m4a "); three-letter brands
// ignore their fourth byte (a version digit or a blank).
TypeTag brand_tag(const std::uint8_t (&raw)[4], TypeTag current) {
    char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = char(raw[i] >= 'A' && raw[i] <= 'Z' ? raw[i] + ('a' - 'A') : raw[i]);
    const std::string_view three(b, 3), four(b, 4);
    struct Brand {
        std::string_view brand;
        TypeTag tag;
    };
    static constexpr Brand kThree[] = {{"3gp", "3GP"}, {"3g2", "3G2"}, {"m4a", "M4A"},
                                       {"m4b", "M4B"}, {"m4p", "M4P"}, {"m4v", "M4V"},
                                       {"mp4", "MP4"}};
    static constexpr Brand kFour[] = {{"avc1", "MP4"}, {"kddi", "3G2"}};
    for (const auto& e : kThree)
        if (e.brand == three) return e.tag;
    for (const auto& e : kFour)
        if (e.brand == four) return e.tag;
    if (TypeTag picture = isobmff_image_brand(raw); !picture.empty()) return picture;
    return current;
}

constexpr std::uint64_t kMaxMoov = 64 << 20;

// The chunk offset tables found in the boxes of data (nested at most depth
// deep), each entry checked against the mdat ranges; false at the first
// offset outside them or a table cut short. found counts the entries seen.
bool offsets_inside(Bytes data, int depth, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& mdats,
                    std::uint64_t& found) {
    std::size_t pos = 0;
    while (has(data, pos, 8)) {
        std::uint64_t box = load_be32(data.data() + pos);
        const std::string_view type(reinterpret_cast<const char*>(data.data() + pos + 4), 4);
        std::size_t header = 8;
        if (box == 1) {
            const auto wide = be64(data, pos + 8);
            if (!wide) return false;
            box = *wide;
            header = 16;
        } else if (box == 0) {
            box = data.size() - pos;
        }
        if (box < header || box > data.size() - pos) return false;
        const Bytes payload = data.subspan(pos + header, static_cast<std::size_t>(box) - header);
        if (type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
            if (depth > 0 && !offsets_inside(payload, depth - 1, mdats, found)) return false;
        } else if (type == "stco" || type == "co64") {
            const std::size_t width = type == "stco" ? 4 : 8;
            const auto count = be32(payload, 4);
            if (!count || (payload.size() - 8) / width < *count) return false;
            for (std::size_t i = 0; i < *count; ++i) {
                const std::uint8_t* p = payload.data() + 8 + width * i;
                const std::uint64_t offset = width == 4 ? load_be32(p) : load_be64(p);
                bool inside = false;
                for (const auto& [first, end] : mdats) inside = inside || (offset >= first && offset < end);
                if (!inside) return false;
                ++found;
            }
        }
        pos += static_cast<std::size_t>(box);
    }
    return true;
}

}  // namespace

namespace {

// Walks the top-level atoms over the stream's first size bytes: the mdat
// payloads' ranges and the first moov's payload (up to kMaxMoov). False
// when an atom runs past size or the stream ends early.
bool read_top_level(ClusterStream& stream, std::uint64_t size, std::vector<std::uint8_t>& moov, bool& have_moov,
                    std::vector<std::pair<std::uint64_t, std::uint64_t>>& mdats) {
    have_moov = false;
    std::uint64_t pos = 0;
    while (pos < size) {
        std::uint8_t head[16];
        if (size - pos < 8 || !stream.read(head, 8)) return false;
        std::uint64_t atom = load_be32(head);
        std::uint64_t header = 8;
        if (atom == 1) {
            if (size - pos < 16 || !stream.read(head + 8, 8)) return false;
            atom = load_be64(head + 8);
            header = 16;
        } else if (atom == 0) {
            atom = size - pos;
        }
        if (atom < header || atom > size - pos) return false;
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
        const std::uint64_t payload = atom - header;
        if (type == "moov" && !have_moov && payload <= kMaxMoov) {
            moov.resize(static_cast<std::size_t>(payload));
            if (!stream.read(moov.data(), payload)) return false;
            have_moov = true;
        } else {
            if (type == "mdat") mdats.emplace_back(pos + header, pos + atom);
            if (!stream.read(nullptr, payload)) return false;
        }
        pos += atom;
    }
    return true;
}

// The boxes of data as (type, payload); stops at the first box that does
// not fit.
std::vector<std::pair<std::string_view, Bytes>> boxes_of(Bytes data) {
    std::vector<std::pair<std::string_view, Bytes>> out;
    std::size_t pos = 0;
    while (has(data, pos, 8)) {
        std::uint64_t box = load_be32(data.data() + pos);
        std::size_t header = 8;
        if (box == 1) {
            const auto wide = be64(data, pos + 8);
            if (!wide) break;
            box = *wide;
            header = 16;
        } else if (box == 0) {
            box = data.size() - pos;
        }
        if (box < header || box > data.size() - pos) break;
        out.emplace_back(std::string_view(reinterpret_cast<const char*>(data.data() + pos + 4), 4),
                         data.subspan(pos + header, static_cast<std::size_t>(box) - header));
        pos += static_cast<std::size_t>(box);
    }
    return out;
}

// Each sample's offset in one sample table: chunk offsets (stco, co64),
// samples per chunk (stsc) and sample sizes (stsz).
void table_samples(Bytes stbl, std::vector<std::uint64_t>& out) {
    std::vector<std::uint64_t> chunks;
    Bytes stsc, stsz;
    for (const auto& [type, payload] : boxes_of(stbl)) {
        if (type == "stco" || type == "co64") {
            const std::size_t width = type == "stco" ? 4 : 8;
            const auto count = be32(payload, 4);
            if (!count || (payload.size() - 8) / width < *count) return;
            for (std::size_t i = 0; i < *count; ++i) {
                const std::uint8_t* p = payload.data() + 8 + width * i;
                chunks.push_back(width == 4 ? load_be32(p) : load_be64(p));
            }
        } else if (type == "stsc") {
            stsc = payload;
        } else if (type == "stsz") {
            stsz = payload;
        }
    }
    const auto runs = be32(stsc, 4), fixed = be32(stsz, 4), samples = be32(stsz, 8);
    if (!runs || !fixed || !samples || (stsc.size() - 8) / 12 < *runs) return;
    if (*fixed == 0 && (stsz.size() - 12) / 4 < *samples) return;
    std::uint32_t sample = 0;
    std::size_t run = 0;
    for (std::size_t chunk = 0; chunk < chunks.size() && sample < *samples; ++chunk) {
        // The last run whose first chunk (counted from 1) is at or before this one.
        while (run + 1 < *runs && load_be32(stsc.data() + 8 + 12 * (run + 1)) <= chunk + 1) ++run;
        const std::uint32_t per_chunk = load_be32(stsc.data() + 8 + 12 * run + 4);
        std::uint64_t offset = chunks[chunk];
        for (std::uint32_t i = 0; i < per_chunk && sample < *samples; ++i, ++sample) {
            out.push_back(offset);
            offset += *fixed != 0 ? *fixed : load_be32(stsz.data() + 12 + 4 * std::size_t(sample));
        }
    }
}

void find_samples(Bytes data, int depth, std::vector<std::uint64_t>& out) {
    for (const auto& [type, payload] : boxes_of(data)) {
        if (type == "stbl") table_samples(payload, out);
        else if (depth > 0 && (type == "trak" || type == "mdia" || type == "minf"))
            find_samples(payload, depth - 1, out);
    }
}

}  // namespace

bool chunk_offsets_inside_mdat(ClusterStream& stream, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mdats;  // payload start, end
    std::vector<std::uint8_t> moov;
    bool have_moov = false;
    if (!read_top_level(stream, size, moov, have_moov, mdats)) return false;
    std::uint64_t found = 0;
    return have_moov && offsets_inside(moov, 8, mdats, found) && found > 0;
}

std::vector<std::uint64_t> quicktime_sample_offsets(ClusterStream& stream, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mdats;
    std::vector<std::uint8_t> moov;
    bool have_moov = false;
    std::vector<std::uint64_t> out;
    if (!read_top_level(stream, size, moov, have_moov, mdats) || !have_moov) return out;
    find_samples(moov, 8, out);
    std::sort(out.begin(), out.end());
    return out;
}

ContainerWalk walk_quicktime(ClusterStream& stream, TypeTag& tag, std::uint64_t movie_limit) {
    ContainerWalk walk;
    bool seen_mdat = false;
    for (;;) {
        const std::int32_t atom_cluster = stream.current_cluster();
        const std::uint64_t atom_start = stream.position();

        std::uint8_t head[8];
        // A failed size read counts as the largest size; the type read decides.
        std::uint64_t size = stream.read(head, 4) ? load_be32(head) : 0xFFFFFFFFu;
        if (!stream.read(head + 4, 4)) break;
        const std::string_view type(reinterpret_cast<const char*>(head + 4), 4);

        std::uint64_t header = 8;
        if (size == 1) {
            std::uint8_t wide[8];
            header = 16;
            if (stream.read(wide, 8)) {
                // FAT files stay below 4 GiB: such an atom cannot lie whole on the card.
                if (load_be32(wide) != 0) break;
                size = load_be32(wide + 4);
            } else {
                size = 0xFFFFFFFFu;  // the skip below runs out and ends the walk
            }
        }
        // Sizes below the header would move the walk backwards (or nowhere).
        const bool picture_meta = type == "meta" && (tag == "HEI" || tag == "AVF");
        if (size < header || !(is_top_level_type(type) || picture_meta)) {
            walk.clean_end = true;  // what follows the movie is not a part of it
            break;
        }

        walk.last_is_mdat = type == "mdat";
        seen_mdat = seen_mdat || walk.last_is_mdat;

        if (type == "ftyp") {
            std::uint8_t brand[4];
            if (!stream.peek(brand, 4)) break;
            tag = brand_tag(brand, tag);
        }
        // Checked against the refined tag: audio brands get the small limit.
        if (size > max_file_size(tag, movie_limit)) break;

        const std::uint64_t atom_end = atom_start + size;  // no overflow: size < 2^32
        if (atom_end < stream.position() || !stream.read(nullptr, atom_end - stream.position()))
            break;

        walk.has_complete = true;
        walk.last_complete_start = atom_cluster;
        walk.complete_end = atom_end;
    }
    walk.accepted = stream.current_cluster() != 0 && seen_mdat && walk.has_complete;
    return walk;
}

}  // namespace lk
