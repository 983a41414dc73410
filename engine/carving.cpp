#include "engine/carving.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/extent_finder.hpp"
#include "engine/fragments.hpp"
#include "engine/join_checks.hpp"
#include "formats/containers.hpp"
#include "formats/office.hpp"
#include "formats/sound.hpp"

namespace lk {

namespace {

bool all_equal(const std::uint8_t* p, std::size_t n) {
    return n == 0 || (p[0] == p[n - 1] && std::memcmp(p, p + 1, n - 1) == 0);
}

// The end of the scan: the range's, or where the sequential read stopped
// when the analysis was cancelled during it.
std::int64_t scan_end(Engine& e) { return std::min<std::int64_t>(range_last_cluster(e), e.carve.read_end); }

// The next unclaimed cluster after c within the scan range: the end cluster
// when there is none, 0 when the analysis was cancelled.
std::int64_t next_unclaimed(Engine& e, std::int64_t c) {
    const std::int64_t end = scan_end(e);
    std::int64_t d = std::max<std::int64_t>(c + 1, range_first_cluster(e));
    for (; d < end; ++d) {
        if (e.stopping()) return 0;
        if (!cluster_in_use(e, d)) return d;
    }
    return end;
}

// Unclaimed clusters as one byte stream, read at the current shift.
class BlockReader final : public ClusterStream {
public:
    BlockReader(Engine& e, std::int64_t start) : e_(e), current_(start - 1), buffer_(e.geo.cluster_size) {}

    bool read(std::uint8_t* dest, std::uint64_t n) override {
        const std::uint32_t cs = e_.geo.cluster_size;
        while (n > 0) {
            const std::uint64_t offset = position_ % cs;
            if (offset == 0 && !advance()) return false;
            const std::uint64_t chunk = std::min<std::uint64_t>(cs - offset, n);
            if (dest) {
                if (buffered_ != current_) {
                    if (read_cluster(e_, current_, buffer_.data(), cs, e_.carve.data_shift, false) != cs) return false;
                    buffered_ = current_;
                }
                std::memcpy(dest, buffer_.data() + offset, chunk);
                dest += chunk;
            }
            position_ += chunk;
            n -= chunk;
        }
        return true;
    }

    bool peek(std::uint8_t* dest, std::uint64_t n) override {
        const std::int64_t saved_cluster = current_;
        const std::uint64_t saved_position = position_;
        bool ok = read(dest, n);
        current_ = saved_cluster;
        position_ = saved_position;
        return ok;
    }

    std::int32_t current_cluster() const override { return static_cast<std::int32_t>(current_); }
    std::uint64_t position() const override { return position_; }

private:
    bool advance() {
        current_ = next_unclaimed(e_, current_);
        return current_ != 0 && current_ < scan_end(e_);
    }

    Engine& e_;
    std::int64_t current_;
    std::uint64_t position_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::int64_t buffered_ = -1;
};

// The end cluster of a container walk that stopped at the reader's current
// cluster. *measured receives the container's own length when the walk ended
// cleanly (at bytes that are no part of it), else 0.
std::int64_t walk_end(Engine& e, const BlockReader& reader, const ContainerWalk& walk, TypeTag tag,
                      bool needs_accept, std::uint64_t* measured) {
    *measured = walk.clean_end ? walk.complete_end : 0;
    const std::int64_t current = reader.current_cluster();
    if (current == 0 || (needs_accept && !walk.accepted) || !walk.has_complete) return 0;
    if (walk.last_complete_start < current) {
        std::int64_t end = recover_until_uniform_or_magic(e, walk.last_complete_start + 1, tag,
                                                          walk.last_is_mdat ? TypeTag("JPG") : TypeTag());
        if (end <= current) return end;
    }
    return next_unclaimed(e, current);
}

std::int64_t quicktime_end(Engine& e, std::int64_t start, TypeTag& tag, std::uint64_t* measured) {
    BlockReader reader(e, start);
    ContainerWalk walk = walk_quicktime(reader, tag, e.opt.movie_limit);
    return walk_end(e, reader, walk, tag, true, measured);
}

std::int64_t asf_end(Engine& e, std::int64_t start, std::uint64_t* measured) {
    BlockReader reader(e, start);
    ContainerWalk walk = walk_asf(reader, e.opt.movie_limit);
    return walk_end(e, reader, walk, "ASF", false, measured);
}

std::int64_t mts_end(Engine& e, std::int64_t start, std::uint64_t* measured) {
    BlockReader reader(e, start);
    ContainerWalk walk = walk_mts(reader);
    *measured = walk.clean_end ? walk.complete_end : 0;
    if (reader.current_cluster() == 0) return 0;
    return next_unclaimed(e, reader.current_cluster());
}

// Text has no header of its own: 512 text bytes can stand anywhere inside
// another file. A text header is therefore only looked up at shift 0, never
// ends a carved file and is carved only in the final run, from what every
// other type left unclaimed.
bool is_text_tag(TypeTag tag) {
    return tag == "TXT";
}

std::uint16_t intern_tag(CarveState& s, TypeTag tag) {
    for (std::size_t i = 0; i < s.tags.size(); ++i)
        if (s.tags[i] == tag) return static_cast<std::uint16_t>(i);
    s.tags.emplace_back(tag);
    return static_cast<std::uint16_t>(s.tags.size() - 1);
}

}  // namespace

namespace {

// What max_file_size and uniform_stop_size give a JPEG (they do not depend
// on the movie limit).
const std::uint64_t kJpegMaxSize = max_file_size("JPG", 0);
const std::uint64_t kJpegUniformStop = uniform_stop_size("JPG", 0);

void close_walk(CarveState& s, std::int64_t end) {
    if (!s.walking) return;
    measured_jpeg_t& m = s.measured.back();
    m.end = static_cast<std::int32_t>(end);
    m.settled = s.walk.settled();
    m.extent = s.walk.result();
    s.walking = false;
}

// Follows the open JPEG candidate at shift 0 over the cluster the
// sequential read hands over (uniform or not, header at shift 0 or none),
// and opens a new one at a JPEG header.
void follow_jpeg(Engine& e, std::int64_t cluster, const std::uint8_t* data, bool uniform, TypeTag header,
                 JpegMarkerHints hints) {
    CarveState& s = e.carve;
    const std::uint32_t cs = e.geo.cluster_size;
    const std::uint64_t max = kJpegMaxSize;
    auto give = [&] {
        measured_jpeg_t& m = s.measured.back();
        const std::uint64_t n = std::min<std::uint64_t>(cs, max - s.walked);
        s.walk.feed(Bytes(data, static_cast<std::size_t>(n)), hints);
        s.walked += n;
        m.last = static_cast<std::int32_t>(cluster);
        ++m.given;
        m.capped = s.walked == max;
        if (s.walk.settled() || m.capped) close_walk(s, cluster + 1);
    };
    if (s.walking) {
        const std::uint64_t held = std::uint64_t(s.measured.back().given) * cs;
        if ((!header.empty() && !is_text_tag(header)) ||
            (e.opt.truncate_uniform && uniform && held >= kJpegUniformStop))
            close_walk(s, cluster);
        else
            give();
    }
    if (header == "JPG" && is_measured_as_jpeg(Bytes(data, cs))) {
        s.measured.push_back({static_cast<std::int32_t>(cluster), 0, 0, 0, false, false, 0});
        s.walk = JpegExtentWalk();
        s.walking = true;
        s.walked = 0;
        give();
    }
}

// jpeg_extent of the first pass's data for the candidate from start to stop
// at shift 0, when the sequential read measured it and the clusters it was
// given are still the candidate's.
std::optional<std::int32_t> measured_extent(Engine& e, std::int64_t start, std::int64_t stop) {
    const auto& list = e.carve.measured;
    auto it = std::lower_bound(list.begin(), list.end(), start,
                               [](const measured_jpeg_t& m, std::int64_t c) { return m.first < c; });
    if (e.carve.data_shift != 0 || it == list.end() || it->first != start) return std::nullopt;
    std::uint32_t unclaimed = 0;
    for (std::int64_t c = start; c <= it->last; ++c) unclaimed += !cluster_in_use(e, c);
    if (unclaimed != it->given || stop <= it->last) return std::nullopt;
    // A walk that did not decide measured exactly the candidate's bytes.
    if (!it->settled && !it->capped && stop != it->end) return std::nullopt;
    return it->extent;
}

}  // namespace

void end_index(Engine& e, std::int64_t end) { close_walk(e.carve, end); }

void HeaderLooks::prepare(Bytes run, std::uint32_t cs, const SignatureTable* signatures) {
    run_ = run;
    cluster_size_ = cs;
    signatures_ = signatures;
    per_cluster_ = cs / 512;
    const std::size_t clusters = cs == 0 ? 0 : run.size() / cs;
    // Sized only: look_at writes a cluster's entries before anything reads them.
    uniform_.resize(clusters);
    tags_.resize(clusters * per_cluster_);
    marks_.resize(clusters * kMaxMarks);
    mark_counts_.resize(clusters);
}

void HeaderLooks::look_at(std::size_t i, PdfScratch& scratch) {
    const std::uint32_t cs = cluster_size_;
    const std::uint8_t* data = run_.data() + i * cs;
    mark_counts_[i] = kMaxMarks + 1;
    if ((uniform_[i] = all_equal(data, cs))) return;
    // The PDF test searches: the cluster is searched once for all its
    // offsets, and for the marker walk's stops in the same pass.
    const std::size_t marks = pdf_and_marker_positions(Bytes(data, cs), scratch.patterns, scratch.leads,
                                                       marks_.data() + i * kMaxMarks, kMaxMarks);
    mark_counts_[i] = static_cast<std::uint8_t>(std::min(marks, kMaxMarks + 1));
    const auto& positions = scratch.patterns;
    TypeTag* tags = tags_.data() + i * per_cluster_;
    for (std::size_t k = 0; k < per_cluster_; ++k) {
        const PdfHint pdf = pdf_hint_at(positions, 512 * k, cs - 512 * k) ? PdfHint::Present : PdfHint::Absent;
        tags[k] = identify_header(Bytes(data + 512 * k, cs - 512 * k), signatures_, pdf);
    }
}

void index_cluster(Engine& e, std::int64_t cluster, const std::uint8_t* data, const HeaderLooks& looks,
                   std::size_t index) {
    CarveState& s = e.carve;
    const std::uint32_t cs = e.geo.cluster_size;
    if (s.uniform.size() != static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)))
        s.uniform.reset(static_cast<std::size_t>(std::max(e.geo.max_cluster, 0)));
    if (looks.uniform(index)) {
        s.uniform.set(cluster);
        follow_jpeg(e, cluster, data, true, {}, {});
        return;
    }
    const std::size_t sectors = cs / 512;
    if (s.headers.size() != sectors) s.headers.assign(sectors, {});
    const TypeTag* tags = looks.headers(index);
    for (std::size_t k = 0; k < sectors; ++k) {
        const TypeTag tag = tags[k];
        if (tag.empty() || (k != 0 && is_text_tag(tag))) continue;
        auto& map = s.headers[k];
        const std::int32_t c = static_cast<std::int32_t>(cluster);
        const std::uint16_t id = intern_tag(s, tag);
        // The sequential read indexes clusters in ascending order.
        if (map.empty() || map.back().first < c) {
            map.emplace_back(c, id);
        } else {
            auto it = std::lower_bound(map.begin(), map.end(), std::make_pair(c, std::uint16_t{0}));
            if (it != map.end() && it->first == c) it->second = id;
            else map.insert(it, {c, id});
        }
    }
    follow_jpeg(e, cluster, data, false, tags[0], looks.marker_hints(index));
}

const HeaderList& headers_at_shift(const Engine& e, std::int32_t shift) {
    static const HeaderList none;
    const std::size_t k = static_cast<std::size_t>(shift / 512);
    return k < e.carve.headers.size() ? e.carve.headers[k] : none;
}

HeaderList::const_iterator first_header_after(const HeaderList& list, std::int64_t cluster) {
    return std::upper_bound(list.begin(), list.end(), cluster,
                            [](std::int64_t c, const auto& h) { return c < h.first; });
}

TypeTag header_at(Engine& e, std::int64_t cluster, std::int32_t shift) {
    const HeaderList& map = headers_at_shift(e, shift == -1 ? e.carve.data_shift : shift);
    auto it = std::lower_bound(map.begin(), map.end(), std::make_pair(static_cast<std::int32_t>(cluster), std::uint16_t{0}));
    if (it == map.end() || it->first != cluster) return {};
    return e.carve.tags[it->second];
}

bool is_uniform(Engine& e, std::int64_t cluster) { return e.carve.uniform.test(cluster); }

std::uint32_t detect_shift(Engine& e) {
    CarveState& s = e.carve;
    if (e.carve.data_shift == 0) {
        s.shift_list.clear();
        for (std::uint32_t off = 512; off < e.geo.cluster_size; off += 512) {
            const std::size_t k = off / 512;
            std::uint32_t count = k < s.headers.size() ? static_cast<std::uint32_t>(s.headers[k].size()) : 0;
            s.shift_list.push_back({static_cast<std::int32_t>(off), count});
        }
        std::stable_sort(s.shift_list.begin(), s.shift_list.end(),
                         [](const shift_count_t& a, const shift_count_t& b) { return a.count > b.count; });
        s.shift_cursor = 0;
    }
    if (s.shift_cursor >= s.shift_list.size()) return 0;
    const shift_count_t& next = s.shift_list[s.shift_cursor++];
    e.carve.data_shift = next.shift;
    return next.count;
}

std::int64_t recover_until_uniform_or_magic(Engine& e, std::int64_t start, TypeTag tag, TypeTag allowed_tag) {
    const std::uint64_t limit = uniform_stop_size(tag, e.opt.movie_limit);
    const std::int64_t end = scan_end(e);
    std::int64_t current = cluster_in_use(e, start) ? next_unclaimed(e, start) : start;
    // With nothing unclaimed left the file ends with the range.
    if (current == 0 || current >= end) return current;
    std::uint64_t sum = 0;
    // The headers at this shift after current, met in ascending order as
    // the clusters are (header_at for each would search the index each time).
    const HeaderList& map = headers_at_shift(e, e.carve.data_shift);
    auto header = first_header_after(map, current);
    for (;;) {
        const std::int64_t d = next_unclaimed(e, current);
        if (d == 0 || d >= end) return d;
        sum += e.geo.cluster_size;
        if (e.opt.truncate_uniform && sum >= limit && is_uniform(e, d)) return d;
        while (header != map.end() && header->first < d) ++header;
        if (header != map.end() && header->first == d) {
            const TypeTag tag_here = e.carve.tags[header->second];
            if (!tag_here.empty() && !is_text_tag(tag_here) && (allowed_tag.empty() || tag_here != allowed_tag))
                return d;
        }
        current = d;
    }
}

bool carve_file(Engine& e, dir_t& found, std::int64_t start, std::int64_t end, std::uint32_t number, TypeTag tag,
                bool first_pass, std::uint64_t measured) {
    // A movie whose container walk ended cleanly is as long as the container
    // says: such a size counts as measured in the first pass too.
    const bool by_container = measured != 0 && !is_content_sized_ext(tag);
    if (first_pass && !is_content_sized_ext(tag) && !by_container) return false;
    const std::uint64_t max = max_file_size(tag, e.opt.movie_limit);
    const std::uint32_t cs = e.geo.cluster_size;
    const bool compound = tag == kCompoundMarker;

    // The carved length: the unclaimed clusters from start to end, capped.
    std::uint64_t carved = 0;
    for (std::int64_t c = start; c < end && carved < max; ++c)
        if (!cluster_in_use(e, c)) carved += cs;
    carved = std::min(carved, max);

    auto lost = e.opt.ignore_fat ? e.lost.end() : e.lost.find(static_cast<std::int32_t>(start));
    // An entry names what lies at its first cluster on its own directory's
    // grid only.
    const bool usable = lost != e.lost.end() && lost->second.shift == e.carve.data_shift &&
                        !lost->second.entry.is_directory() &&
                        std::memcmp(lost->second.entry.ext.data(), "CHK", 3) != 0 &&
                        carved >= item_size(lost->second);

    // The bytes are needed to measure content-sized files, to classify
    // compound documents and to check a lost entry's recorded size.
    std::vector<std::uint8_t>& data = e.carve.data;
    std::size_t held = 0;
    // Text, ZIP packages and ID3-tagged sound are named or sized by their
    // bytes in the final run too. A JPEG that the sequential read measured
    // is not read again.
    const bool refined = is_text_tag(tag) || tag == "ZIP" || tag == "MP3";
    const std::optional<std::int32_t> known = first_pass && tag == "JPG" ? measured_extent(e, start, end)
                                                                        : std::nullopt;
    const bool need_data =
        (first_pass && !known && !by_container) || compound || (usable && !first_pass) || refined;
    if (need_data) {
        // Text is read a little at a time, until a byte that is not text
        // shows: its clusters may run on over hundreds of megabytes that hold
        // no header.
        const bool text = !first_pass && !usable && is_text_tag(tag);
        auto hold = [&](std::uint64_t n) {
            try {
                if (data.size() < n) data.resize(static_cast<std::size_t>(n));
            } catch (const std::bad_alloc&) {
                // Go on with what can be held.
            }
            return std::min<std::size_t>(data.size(), static_cast<std::size_t>(carved));
        };
        std::size_t room = hold(
            text ? std::min<std::uint64_t>(carved, std::max<std::uint32_t>(cs, 65536)) : carved);
        bool text_ended = false;
        std::int64_t c = start;
        while (c < end && held < room) {
            if (cluster_in_use(e, c)) {
                ++c;
                continue;
            }
            std::int64_t run_end = c;
            while (run_end < end && !cluster_in_use(e, run_end)) ++run_end;
            const std::size_t bytes = std::min<std::size_t>(static_cast<std::size_t>(run_end - c) * cs, room - held);
            // A run that cannot be read ends the file's bytes there.
            if (read_cluster(e, c, data.data() + held, bytes, e.carve.data_shift, true) < 0) break;
            held += bytes;
            c += static_cast<std::int64_t>(bytes / cs);
            if (text && held == room && held < carved) {
                if ((text_ended = text_extent(Bytes(data.data(), held)) > 0)) break;
                room = hold(2 * std::uint64_t(held));
            }
        }
        if (!text_ended) carved = std::min<std::uint64_t>(carved, held);
    }
    const Bytes bytes(data.data(), held);

    lfn_t entry;
    std::uint64_t size;
    if (!usable) {
        // A movie whose container walk ended cleanly is as long as the
        // container says, not the whole clusters it was carved from.
        size = by_container ? std::min(carved, measured)
               : first_pass ? static_cast<std::uint64_t>(std::max(known ? *known : content_extent(bytes), 0))
               : measured   ? std::min(carved, measured)
                            : carved;
        // Text runs up to its first byte that is not text (all of it when
        // every byte is).
        if (!first_pass && is_text_tag(tag))
            if (const std::int32_t text = text_extent(bytes); text > 0)
                size = std::min<std::uint64_t>(carved, text);
        const char letter = first_pass ? 'V' : 'N';
        set_numbered_name(entry, format("%c%07d", letter, number), tag);
        entry.entry.set_first_cluster(static_cast<std::uint32_t>(start), e.wide_clusters());
    } else {
        entry = lost->second;
        const std::uint64_t recorded = item_size(entry);
        if (first_pass) {
            size = by_container ? std::min(carved, measured)
                                : static_cast<std::uint64_t>(std::max(known ? *known : content_extent(bytes), 0));
        } else {
            // The directory recorded the file's size; the carved length only
            // counts when the format cannot find the end within that size.
            std::int32_t within = content_extent(bytes.first(std::min<std::size_t>(recorded, bytes.size())));
            size = within == 0 ? carved : recorded;
        }
    }
    // A file named by its entry goes back to that entry's folder when the
    // catalogue has it.
    dir_t* home = usable ? folder_of(e, lost->second.folder) : nullptr;
    dir_t& dir = home ? *home : found;
    if (usable && entry.entry.is_deleted()) entry.entry.name[0] = guess_first_letter(e, dir, entry);
    if (size != 0 && compound) entry.entry.set_extension(ole_kind(bytes));
    // A carved file without an entry is named by its content; a surviving
    // entry keeps the extension the user gave (a JAR is a ZIP package too).
    if (size != 0 && !usable && tag == "ZIP")
        entry.entry.set_extension(zip_kind(bytes.first(std::min<std::size_t>(bytes.size(), size))));
    if (size != 0 && !usable && tag == "MP3" && is_id3_tagged_flac(bytes))
        entry.entry.set_extension("FLA");
    if (size == 0) return false;
    // An entry recorded its file's size: clusters that measure another size
    // hold something else after its first piece (the file lies in pieces),
    // and the searches for pieces and the lost entries' guesses take it.
    if (usable && first_pass && size != item_size(lost->second)) return false;
    // A picture measured over clusters that other files had claimed was put
    // together from pieces: taken in the first pass only when the join
    // holds, else it is carved in the final pass as any other.
    const bool joined = first_pass && tag == "JPG" && !picture_is_whole(e, start, size);
    if (joined && !picture_join_holds(e, start, size, usable ? item_size(lost->second) : 0)) return false;
    set_item_size(entry, size);

    const EntrySource source = !usable                    ? EntrySource::None
                               : is_deleted(lost->second) ? EntrySource::Deleted
                                                          : EntrySource::Live;
    // The file's runs: its first cluster and the unclaimed ones after it.
    Extent extent = unclaimed_extent(e, start, size, e.carve.data_shift);
    dir_t& item = add_child(e, dir, entry, e.carve.data_shift);
    item.source = source;
    item.fat_copy = -1;
    item.extent = std::move(extent);
    // A file that runs up to where the read stopped at a cancel may go on
    // past it: it is kept with the bytes known so far.
    if (end >= e.carve.read_end) item.extent.how = ExtentHow::Partial;
    if (joined) {
        item.extent.how = ExtentHow::Pieces;
        note_pieces(e, item);
    }
    if (!add_recovered_file(e, item, false)) return false;
    e.status.SendStatus(ST_CONTIGUOUS, ++e.cat.counters.contiguous);
    return true;
}

namespace {

// The end of an AVI candidate: the cluster after those its RIFF size covers,
// when that comes before stop.
std::int64_t riff_stop(Engine& e, std::int64_t c, std::int64_t stop) {
    std::uint8_t head[8];
    if (read_cluster(e, c, head, sizeof head, e.carve.data_shift, true) < 0) return stop;
    std::uint64_t left = clusters_for(e.geo, 8 + std::uint64_t(load_le32(head + 4)));
    for (std::int64_t d = c; d < stop; ++d)
        if (!cluster_in_use(e, d) && left-- == 0) return d;
    return stop;
}

// The first pass's movies: QuickTime, MP4 and ASF files whose container walk
// ends cleanly within one run of unclaimed clusters, carved at the size the
// container gives. It runs after the content-sized sweep of the same shift,
// so that a picture written over a deleted movie's clusters keeps them, and
// before any further shift's sweep, so that pictures inside a movie (Motion
// JPEG frames, embedded previews) are not carved out of it.
std::uint32_t movie_sweep(Engine& e, dir_t& found, std::size_t k) {
    CarveState& s = e.carve;
    const std::int64_t end = scan_end(e);
    std::uint32_t carved = 0;
    for (std::size_t h = 0; k < s.headers.size() && h < s.headers[k].size(); ++h) {
        if (e.stopping()) break;
        const std::int64_t c = s.headers[k][h].first;
        TypeTag tag = s.tags[s.headers[k][h].second];
        if ((tag != "MOV" && tag != "ASF") || c >= end || cluster_in_use(e, c)) continue;
        std::uint64_t measured = 0;
        const std::int64_t stop = tag == "MOV" ? quicktime_end(e, c, tag, &measured) : asf_end(e, c, &measured);
        if (stop == 0 || measured == 0 || is_content_sized_ext(tag)) continue;
        const std::int64_t after = c + static_cast<std::int64_t>(clusters_for(e.geo, measured));
        bool whole = after <= end;
        for (std::int64_t d = c; whole && d < after; ++d) whole = !cluster_in_use(e, d);
        if (!whole) continue;
        dir_t& folder = e.cat.found() ? *e.cat.found() : found;
        if (carve_file(e, folder, c, after, s.carved_number, tag, true, measured)) {
            ++s.carved_number;
            ++carved;
        }
    }
    return carved;
}

// The clusters at the shift of map k where a sample of a whole QuickTime
// movie begins: a picture there is the movie's frame (Motion JPEG), and the
// content-sized sweep leaves it to the movie sweep. A picture written over a
// deleted movie's clusters starts where no sample of that movie does.
std::vector<std::int64_t> movie_frames(Engine& e, std::size_t k) {
    CarveState& s = e.carve;
    const std::int64_t end = scan_end(e);
    const std::uint32_t cs = e.geo.cluster_size;
    std::vector<std::int64_t> frames;
    for (std::size_t h = 0; k < s.headers.size() && h < s.headers[k].size(); ++h) {
        if (e.stopping()) break;
        const std::int64_t c = s.headers[k][h].first;
        TypeTag tag = s.tags[s.headers[k][h].second];
        if (tag != "MOV" || c >= end || cluster_in_use(e, c)) continue;
        std::uint64_t measured = 0;
        if (quicktime_end(e, c, tag, &measured) == 0 || measured == 0) continue;
        const std::int64_t after = c + static_cast<std::int64_t>(clusters_for(e.geo, measured));
        bool whole = after <= end;
        for (std::int64_t d = c; whole && d < after; ++d) whole = !cluster_in_use(e, d);
        if (!whole) continue;
        BlockReader reader(e, c);
        for (std::uint64_t offset : quicktime_sample_offsets(reader, measured))
            if (offset % cs == 0 && offset != 0 && offset < measured)
                frames.push_back(c + static_cast<std::int64_t>(offset / cs));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

}  // namespace

std::uint32_t recover_contiguous_files(Engine& e, dir_t& found, bool first_pass) {
    CarveState& s = e.carve;
    std::uint32_t total = 0;
    // Pictures in pieces are checked a few ahead of the sweep in the first
    // pass, where the decodes come one after another.
    std::optional<JoinChecks> ahead;
    struct Detach {
        CarveState& s;
        ~Detach() { s.join_checks = nullptr; }
    } detach{s};
    if (first_pass) s.join_checks = &ahead.emplace(e);
    const std::int64_t first = range_first_cluster(e), end = scan_end(e);
    for (;;) {
        std::uint32_t found_now = 0;
        const std::size_t k = static_cast<std::size_t>(e.carve.data_shift / 512);
        std::int64_t resume = first;
        const std::vector<std::int64_t> frames = first_pass ? movie_frames(e, k) : std::vector<std::int64_t>();
        // Only clusters with a header at this shift can start a file, so the
        // sweep walks the header index rather than every cluster.
        for (std::size_t h = 0; k < s.headers.size() && h < s.headers[k].size(); ++h) {
            if (e.stopping()) break;
            const std::int64_t c = s.headers[k][h].first;
            if (c < resume || c >= end || cluster_in_use(e, c)) continue;
            if (end > first) e.status.SendProgress(static_cast<std::uint32_t>((c - first) * 100 / (end - first)));
            TypeTag tag = s.tags[s.headers[k][h].second];
            if (tag == "JPG" && std::binary_search(frames.begin(), frames.end(), c)) continue;
            std::int64_t stop;
            std::uint64_t measured = 0;
            if (tag == "MOV") {
                stop = quicktime_end(e, c, tag, &measured);
            } else if (tag == "ASF") {
                stop = asf_end(e, c, &measured);
            } else if (tag == "MTS") {
                stop = mts_end(e, c, &measured);
            } else {
                // A JPEG preview near the start of a TIFF-based raw file is not
                // a picture of its own at a small shift.
                if (e.carve.data_shift != 0 && e.carve.data_shift < 2048 && tag == "JPG" && header_at(e, c, 0) == "TIF")
                    continue;
                // Raw files hold JPEG previews, and a ZIP package a local header
                // per entry: neither cuts the file (both are measured exactly).
                // Nor do the frames of a Motion JPEG AVI, whose size the RIFF
                // header gives.
                TypeTag inside = tag == "TIF" || tag == "AVI" ? TypeTag("JPG")
                                 : tag == "ZIP"               ? TypeTag("ZIP")
                                                              : TypeTag();
                stop = recover_until_uniform_or_magic(e, c, tag, inside);
                if (tag == "AVI" && stop != 0) stop = riff_stop(e, c, stop);
            }
            if (stop == 0) continue;
            // Movies are carved in the first pass only by the sweep below.
            if (first_pass && !is_content_sized_ext(tag)) measured = 0;
            // Looked up for each file: a file that goes back to the root moves it.
            dir_t& folder = e.cat.found() ? *e.cat.found() : found;
            if (carve_file(e, folder, c, stop, s.carved_number, tag, first_pass, measured)) {
                ++s.carved_number;
                ++found_now;
                // Text headers end nothing, so a text file's clusters may run on
                // over further text files: the sweep goes on right after the
                // clusters this one took.
                resume = is_text_tag(tag) ? c + 1 : stop;
            }
        }
        if (first_pass && !e.stopping()) found_now += movie_sweep(e, found, k);
        total += found_now;
        if (e.stopping()) break;
        if (found_now == 0 || !first_pass) {
            // After a cancel only the unshifted grid is carved.
            if (e.finishing) break;
            std::uint32_t n = detect_shift(e);
            if (n == 0) break;
            e.status.TraceHook("Shifting clusters by %d bytes - %d potential file headers found", e.carve.data_shift, n);
        }
        s.carved_number += 10'000;
    }
    e.carve.data_shift = 0;
    std::vector<std::uint8_t>().swap(s.data);  // a large carve's buffer is not kept
    if (ahead && ahead->planned() != 0)
        e.status.Trace("pictures in pieces checked ahead: %u planned, %u used\n", ahead->planned(), ahead->used());
    return total;
}

}  // namespace lk
