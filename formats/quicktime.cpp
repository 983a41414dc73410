// QuickTime / MP4 atom walk over unclaimed clusters.
//
// Top-level atom:
//   offset | size | meaning
//   0      | 4    | size, big-endian, header included; 1 = 64-bit size follows
//   4      | 4    | type
//   8      | 8    | 64-bit size (only when size is 1), high word first
// Only payload-free headers are read; payloads are skipped cluster by cluster.
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

bool chunk_offsets_inside_mdat(ClusterStream& stream, std::uint64_t size) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mdats;  // payload start, end
    std::vector<std::uint8_t> moov;
    bool have_moov = false;
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
    std::uint64_t found = 0;
    return have_moov && offsets_inside(moov, 8, mdats, found) && found > 0;
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
