#include "engine/fragments.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/extent_finder.hpp"
#include "engine/join_checks.hpp"
#include "formats/containers.hpp"
#include "formats/jpeg.hpp"
#include "formats/jpeg_decode.hpp"

namespace lk {
namespace {

using Clock = std::chrono::steady_clock;

// The bounds of the search, shown in the trace: the candidate second pieces
// validated in full for one file (decoded, or read whole), and the time all
// the searches of one card may take together.
constexpr std::uint32_t kRunsPerFile = 32;
constexpr double kSecondsPerCard = 10.0;
// The largest seam of a join without an entry (jpeg_decode.cpp): true joins
// measure about 1 (at most 1.3 on 100 joins of bench/join_bench), wrong
// ones mostly many times that.
constexpr double kMaxSeam = 2.0;

// A run of consecutive clusters.
struct Piece {
    std::int64_t first = 0;
    std::int64_t count = 0;
    std::int64_t end() const { return first + count; }
};

// The runs of unclaimed clusters of the scan range, in card order, kept up
// to date as pieces are taken from them.
class FreeRuns {
  public:
    explicit FreeRuns(Engine& e) {
        const std::int64_t last = range_last_cluster(e);
        for (std::int64_t c = range_first_cluster(e); c < last;) {
            if (cluster_in_use(e, c)) {
                ++c;
                continue;
            }
            Piece run{c, 0};
            while (c < last && !cluster_in_use(e, c)) ++c;
            run.count = c - run.first;
            runs_.push_back(run);
        }
    }
    const std::vector<Piece>& runs() const { return runs_; }
    // Takes a piece out of the runs it lies in.
    void take(Piece p) {
        std::vector<Piece> kept;
        for (const Piece& r : runs_) {
            if (r.end() <= p.first || p.end() <= r.first) {
                kept.push_back(r);
                continue;
            }
            if (r.first < p.first) kept.push_back({r.first, p.first - r.first});
            if (p.end() < r.end()) kept.push_back({p.end(), r.end() - p.end()});
        }
        runs_.swap(kept);
    }

  private:
    std::vector<Piece> runs_;
};

// The free runs, listed when a search first needs them: most cards hold
// no file in pieces, and listing them goes over every cluster.
class LazyFreeRuns {
  public:
    explicit LazyFreeRuns(Engine& e) : e_(e) {}
    FreeRuns* operator->() {
        if (!runs_) runs_.emplace(e_);
        return &*runs_;
    }

  private:
    Engine& e_;
    std::optional<FreeRuns> runs_;
};

// The time the searches of this card have spent, against their budget.
class Budget {
  public:
    explicit Budget(Engine& e) : e_(e), start_(Clock::now()) {}
    ~Budget() { e_.carve.join_seconds += elapsed(); }
    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
    bool spent() const {
        return e_.carve.join_seconds + elapsed() >= kSecondsPerCard || e_.stopping();
    }

  private:
    Engine& e_;
    Clock::time_point start_;
};

// A header at the current shift that starts another file there (text
// stands anywhere, and a movie's media data holds JPEG frames).
bool starts_file(Engine& e, std::int64_t c, TypeTag inside) {
    const TypeTag tag = header_at(e, c);
    return !tag.empty() && tag != "TXT" && tag != inside;
}

// The first piece of a file from first: its unclaimed clusters up to the
// first claimed one or the first that starts another file (or, with
// stop_at_uniform, is uniform), at most limit clusters.
Piece first_piece(Engine& e, std::int64_t first, TypeTag inside, bool stop_at_uniform,
                  std::int64_t limit) {
    const std::int64_t last = range_last_cluster(e);
    Piece p{first, 0};
    for (std::int64_t c = first; c < last && p.count < limit; ++c, ++p.count) {
        if (cluster_in_use(e, c)) break;
        if (c != first && (starts_file(e, c, inside) || (stop_at_uniform && is_uniform(e, c))))
            break;
    }
    return p;
}

// The bytes of consecutive clusters at the current shift (they lie one after
// the other on the card).
// False when they cannot be read (their bytes are zeros then).
[[nodiscard]] bool read_piece(Engine& e, Piece p, std::uint8_t* out, std::size_t bytes) {
    return read_cluster(e, p.first, out, bytes, e.carve.data_shift, true) >= 0;
}

// The pieces as one byte stream of limit bytes, for the movie walks.
class PieceStream final : public ClusterStream {
  public:
    PieceStream(Engine& e, std::vector<Piece> pieces, std::uint64_t limit)
        : e_(e), pieces_(std::move(pieces)), limit_(limit), buffer_(e.geo.cluster_size) {
        current_ = pieces_.empty() ? 0 : pieces_.front().first - 1;
    }

    bool read(std::uint8_t* dest, std::uint64_t n) override {
        const std::uint32_t cs = e_.geo.cluster_size;
        while (n > 0) {
            if (position_ >= limit_) return false;
            const std::uint64_t offset = position_ % cs;
            if (offset == 0 && !advance()) return false;
            const std::uint64_t chunk =
                std::min<std::uint64_t>({cs - offset, n, limit_ - position_});
            if (dest) {
                if (buffered_ != current_) {
                    if (read_cluster(e_, current_, buffer_.data(), cs, e_.carve.data_shift, true) < 0) return false;
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
        const auto saved = std::make_tuple(current_, piece_, index_, position_);
        const bool ok = read(dest, n);
        std::tie(current_, piece_, index_, position_) = saved;
        return ok;
    }
    std::int32_t current_cluster() const override { return static_cast<std::int32_t>(current_); }
    std::uint64_t position() const override { return position_; }

  private:
    bool advance() {
        while (piece_ < pieces_.size() && index_ >= pieces_[piece_].count) {
            ++piece_;
            index_ = 0;
        }
        if (piece_ == pieces_.size()) return false;
        current_ = pieces_[piece_].first + index_++;
        return true;
    }

    Engine& e_;
    std::vector<Piece> pieces_;
    std::uint64_t limit_;
    std::vector<std::uint8_t> buffer_;
    std::int64_t buffered_ = -1;
    std::int64_t current_;
    std::size_t piece_ = 0;
    std::int64_t index_ = 0;
    std::uint64_t position_ = 0;
};

// Where the entropy-coded data of a picture cut short may go on, in card
// order from cluster after: the start of each unclaimed run, and each
// cluster of a run that follows uniform ones (the data of a file whose first
// clusters were wiped), each with the rest of its run.
std::vector<Piece> data_starts(Engine& e, const std::vector<Piece>& runs, std::int64_t after) {
    std::vector<Piece> starts;
    for (const Piece& run : runs) {
        if (run.first < after) continue;
        bool opens = true;  // the run's start, or after a uniform cluster
        for (std::int64_t c = run.first; c < run.end(); ++c) {
            const bool uniform = is_uniform(e, c);
            if (opens && !uniform) starts.push_back({c, run.end() - c});
            opens = uniform;
        }
    }
    return starts;
}

// Catalogues a file put together from pieces: its runs go through the pieces
// in turn; its clusters are claimed like any carved file's.
bool put_together(Engine& e, dir_t& dir, lfn_t entry, const std::vector<Piece>& pieces,
                  std::uint64_t size, EntrySource source) {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    for (const Piece& p : pieces) runs.emplace_back(p.first, p.count);
    Extent extent = pieces_extent(e, runs, size, e.carve.data_shift);
    entry.entry.set_first_cluster(static_cast<std::uint32_t>(pieces.front().first),
                                  e.wide_clusters());
    set_item_size(entry, size);
    dir_t& item = add_child(e, dir, entry, e.carve.data_shift);
    item.source = source;
    item.fat_copy = -1;
    item.extent = std::move(extent);
    note_pieces(e, item);
    if (!add_recovered_file(e, item, false)) return false;
    e.status.SendStatus(ST_CONTIGUOUS, ++e.cat.counters.contiguous);
    return true;
}

// The kinds of file a lost entry's pieces are checked as.
enum class Kind { Jpeg, QuickTime, Extent, None };

Kind kind_of(TypeTag tag) {
    if (tag == "JPG") return Kind::Jpeg;
    if (tag == "MOV") return Kind::QuickTime;
    if (tag != "TXT" && is_content_sized_ext(tag)) return Kind::Extent;
    return Kind::None;
}

// The search for one lost entry's second piece.
class LostJoin {
  public:
    LostJoin(Engine& e, const lost_entry_t& entry, Kind kind, Piece first)
        : e_(e), kind_(kind), first_(first) {
        size_ = item_size(entry);
        const std::uint64_t cs = e.geo.cluster_size;
        head_ = static_cast<std::uint64_t>(first.count) * cs;
        need_ = size_ - head_;
        second_count_ = static_cast<std::int64_t>(clusters_for(e.geo, need_));
    }

    std::int64_t second_count() const { return second_count_; }

    // False when the first piece already rules the file out.
    bool prepare() {
        if (kind_ == Kind::QuickTime) return true;
        data_.resize(static_cast<std::size_t>(size_));
        if (!read_piece(e_, first_, data_.data(), static_cast<std::size_t>(head_))) return false;
        if (kind_ != Kind::Jpeg) return true;
        walk_.feed(Bytes(data_.data(), static_cast<std::size_t>(head_)));
        return !walk_.settled();
    }

    // Whether run (its first second_count clusters) completes the file.
    bool completes(Piece run, std::uint32_t& validated) {
        const Piece second{run.first, second_count_};
        if (kind_ == Kind::QuickTime) {
            // The walk reads only the atoms' headers: cheap enough for any run.
            PieceStream stream(e_, {first_, second}, size_);
            TypeTag tag = "MOV";
            const ContainerWalk walk = walk_quicktime(stream, tag, e_.opt.movie_limit);
            if (!walk.accepted || walk.complete_end != size_) return false;
            ++validated;
            PieceStream again(e_, {first_, second}, size_);
            return chunk_offsets_inside_mdat(again, size_);
        }
        if (kind_ == Kind::Jpeg) {
            // The end marker must lie at the recorded size: two bytes tell.
            std::uint8_t tail[2];
            for (int i = 0; i < 2; ++i) {
                const std::uint64_t at = size_ - 2 + std::uint64_t(i);
                if (at < head_) {
                    tail[i] = data_[static_cast<std::size_t>(at)];
                } else {
                    const std::uint64_t off = at - head_;
                    const std::uint32_t cs = e_.geo.cluster_size;
                    if (read_cluster(e_, run.first + static_cast<std::int64_t>(off / cs), &tail[i], 1,
                                     e_.carve.data_shift + static_cast<std::int32_t>(off % cs), true) < 0)
                        return false;
                }
            }
            if (tail[0] != 0xFF || tail[1] != 0xD9) return false;
        }
        ++validated;
        std::uint8_t* rest = data_.data() + head_;
        if (!read_piece(e_, second, rest, static_cast<std::size_t>(need_))) return false;
        const Bytes whole(data_.data(), data_.size());
        if (kind_ == Kind::Extent) return content_extent(whole) == static_cast<std::int32_t>(size_);
        JpegExtentWalk walk = walk_;
        walk.feed(Bytes(rest, static_cast<std::size_t>(need_)));
        return walk.settled() && walk.result() == static_cast<std::int32_t>(size_) &&
               check_jpeg_decode(whole, 0, false).clean;
    }

  private:
    Engine& e_;
    Kind kind_;
    Piece first_;
    std::uint64_t size_ = 0, head_ = 0, need_ = 0;
    std::int64_t second_count_ = 0;
    std::vector<std::uint8_t> data_;  // the whole file as the pieces give it
    JpegExtentWalk walk_;             // over the first piece
};

// Restores the shift of carving (0 outside its runs) when a search ends.
class ShiftScope {
  public:
    ShiftScope(Engine& e, std::int32_t shift) : e_(e), saved_(e.carve.data_shift) {
        e.carve.data_shift = shift;
    }
    ~ShiftScope() { e_.carve.data_shift = saved_; }

  private:
    Engine& e_;
    std::int32_t saved_;
};

}  // namespace

bool picture_is_whole(Engine& e, std::int64_t start, std::uint64_t size) {
    const std::int64_t n = static_cast<std::int64_t>(clusters_for(e.geo, size));
    for (std::int64_t c = start; c < start + n; ++c)
        if (!e.valid(c) || cluster_in_use(e, c)) return false;
    return true;
}

bool picture_join_holds(Engine& e, std::int64_t start, std::uint64_t size, std::uint64_t recorded) {
    if (recorded != 0 && recorded != size) return false;
    const std::uint32_t cs = e.geo.cluster_size;
    if (size > max_file_size("JPG", e.opt.movie_limit)) return false;
    // The picture's clusters: the unclaimed ones from start on.
    const std::size_t n = static_cast<std::size_t>(clusters_for(e.geo, size));
    std::vector<std::int32_t> clusters;
    for (std::int64_t c = start; clusters.size() < n && e.valid(c); ++c)
        if (!cluster_in_use(e, c)) clusters.push_back(static_cast<std::int32_t>(c));
    if (clusters.size() < n) return false;
    const Clock::time_point began = Clock::now();
    std::optional<JpegDecodeCheck> check;
    if (JoinChecks* ahead = e.carve.join_checks) {
        ahead->plan_after(start);
        check = ahead->take(start, clusters, size, recorded == 0);
    }
    if (!check) {
        std::vector<std::uint8_t>& data = e.carve.joined;
        data.resize(n * cs);
        // Pieces that cannot be read are no picture's; with a recorded size
        // the seam is not asked for.
        if (read_clusters(e, e.carve.data_shift, clusters, data.data(), false))
            check = check_jpeg_decode(Bytes(data.data(), static_cast<std::size_t>(size)),
                                      first_piece_bytes(clusters, cs), recorded == 0);
        else
            check = JpegDecodeCheck{};
    }
    e.carve.piece_check_seconds += std::chrono::duration<double>(Clock::now() - began).count();
    e.status.Trace("picture in pieces at %lld: %s, seam %.2f\n", static_cast<long long>(start),
                   check->clean ? "clean" : "warnings", check->seam);
    return check->clean && (recorded != 0 || check->seam <= kMaxSeam);
}

void note_pieces(Engine& e, const dir_t& item) {
    const ClusterRuns runs = cluster_runs(e.geo, item.extent, item.shift);
    if (runs.size() < 2) return;
    std::string text;
    for (const auto& [first, count] : runs) text += format(" %u+%u", first, count);
    e.status.Trace("join %s size=%llu shift=%d pieces%s\n", display_name(item),
                   static_cast<unsigned long long>(item_size(item)), item.shift, text);
}

std::uint32_t join_lost_pieces(Engine& e) {
    if (e.opt.ignore_fat || e.lost.empty() || e.geo.cluster_size == 0) return 0;
    Budget budget(e);
    LazyFreeRuns free(e);
    std::uint32_t joined = 0, entries = 0, validated = 0;
    for (auto it = e.lost.begin(); it != e.lost.end() && !budget.spent();) {
        const std::int32_t key = it->first;
        const lost_entry_t entry = it->second;
        it = e.lost.upper_bound(key);
        const direntry_t& d = entry.entry;
        if (d.is_directory() || item_size(entry) == 0 || std::memcmp(d.ext.data(), "CHK", 3) == 0)
            continue;
        const std::int64_t first = e.first_cluster(d);
        if (first != key || !e.valid(first) || cluster_in_use(e, first)) continue;
        // An entry searched for once is not searched for again.
        if (!e.carve.joins_tried.insert(key).second) continue;
        ShiftScope shift(e, entry.shift);
        const Kind kind = kind_of(header_at(e, first));
        if (kind == Kind::None) continue;
        const std::int64_t whole = static_cast<std::int64_t>(clusters_for(e.geo, item_size(entry)));
        const Piece head =
            first_piece(e, first, kind == Kind::QuickTime ? "JPG" : "", false, whole);
        if (head.count >= whole) continue;  // in one piece: not this search's file
        ++entries;
        LostJoin join(e, entry, kind, head);
        if (!join.prepare()) continue;
        // Card order from the first piece on, then from the card's start:
        // a file system hands out the free clusters after a file's first
        // ones before it wraps around.
        std::vector<Piece> order;
        for (const Piece& r : free->runs())
            if (r.first >= head.end()) order.push_back(r);
        for (const Piece& r : free->runs())
            if (r.end() <= head.first) order.push_back(r);
        std::uint32_t tried = 0;
        for (const Piece& run : order) {
            if (tried >= kRunsPerFile || budget.spent()) break;
            if (run.count < join.second_count() ||
                starts_file(e, run.first, kind == Kind::QuickTime ? "JPG" : ""))
                continue;
            if (!join.completes(run, tried)) continue;
            const std::vector<Piece> pieces = {head, {run.first, join.second_count()}};
            dir_t* home = folder_of(e, entry.folder);
            if (!home) break;
            lfn_t named = entry;
            if (named.entry.is_deleted())
                named.entry.name[0] = guess_first_letter(e, *home, named);
            const EntrySource source = d.is_deleted() ? EntrySource::Deleted : EntrySource::Live;
            if (put_together(e, *home, named, pieces, item_size(entry), source)) ++joined;
            for (const Piece& p : pieces) free->take(p);
            break;
        }
        validated += tried;
    }
    e.status.Trace(
        "join_lost_pieces: %u joined of %u entries in two pieces, %u second pieces checked, "
        "%.3f s (at most %u checked a file, %.0f s a card)\n",
        joined, entries, validated, budget.elapsed(), kRunsPerFile, kSecondsPerCard);
    return joined;
}

std::uint32_t join_jpeg_pieces(Engine& e) {
    if (e.geo.cluster_size == 0) return 0;
    Budget budget(e);
    LazyFreeRuns free(e);
    const std::uint32_t cs = e.geo.cluster_size;
    const std::uint64_t max = max_file_size("JPG", e.opt.movie_limit);
    const std::int64_t max_clusters = static_cast<std::int64_t>(clusters_for(e.geo, max));
    std::uint32_t joined = 0, headers = 0, tried_runs = 0;
    std::vector<std::uint8_t> data;
    const std::size_t maps = e.carve.headers.size();
    for (std::size_t k = 0; k < maps && !budget.spent(); ++k) {
        ShiftScope shift(e, static_cast<std::int32_t>(512 * k));
        // A copy: joining claims clusters, and the map is not changed.
        const auto list = e.carve.headers[k];
        for (const auto& [c, id] : list) {
            if (budget.spent()) break;
            if (e.carve.tags[id] != "JPG" || cluster_in_use(e, c)) continue;
            // A JPEG preview near the start of a raw file is no picture of its own.
            if (k != 0 && k < 4 && header_at(e, c, 0) == "TIF") continue;
            const Piece head = first_piece(e, c, "", true, max_clusters);
            const std::uint64_t head_bytes = std::uint64_t(head.count) * cs;
            data.resize(static_cast<std::size_t>(head_bytes));
            if (!read_piece(e, head, data.data(), data.size())) continue;
            JpegExtentWalk walk;
            walk.feed(data);
            if (!walk.in_scan() || head_bytes >= max) continue;
            ++headers;
            std::uint32_t tried = 0;
            for (const Piece& run : data_starts(e, free->runs(), head.end())) {
                if (tried >= kRunsPerFile || budget.spent()) break;
                if (starts_file(e, run.first, "")) continue;
                ++tried;
                // The scan goes on into the run until the walk ends it.
                JpegExtentWalk go_on = walk;
                data.resize(static_cast<std::size_t>(head_bytes));
                std::int64_t given = 0;
                while (!go_on.settled() && given < run.count && data.size() + cs <= max) {
                    data.resize(data.size() + cs);
                    if (read_cluster(e, run.first + given, data.data() + data.size() - cs, cs,
                                     e.carve.data_shift, true) < 0)
                        break;
                    go_on.feed(Bytes(data.data() + data.size() - cs, cs));
                    ++given;
                }
                if (!go_on.settled() || go_on.result() <= 0) continue;
                const std::uint64_t size = static_cast<std::uint64_t>(go_on.result());
                const JpegDecodeCheck check = check_jpeg_decode(
                    Bytes(data.data(), static_cast<std::size_t>(size)), head_bytes);
                if (!check.clean || check.seam > kMaxSeam) continue;
                const std::vector<Piece> pieces = {
                    head,
                    {run.first, static_cast<std::int64_t>(clusters_for(e.geo, size - head_bytes))}};
                dir_t* found = e.cat.found();
                if (!found) break;
                lfn_t named;
                set_numbered_name(named, format("V%07d", e.carve.carved_number), "JPG");
                if (put_together(e, *found, named, pieces, size, EntrySource::None)) {
                    ++joined;
                    ++e.carve.carved_number;
                }
                for (const Piece& p : pieces) free->take(p);
                break;
            }
            tried_runs += tried;
        }
    }
    e.status.Trace(
        "join_jpeg_pieces: %u joined of %u JPEG headers cut short, %u second pieces tried, "
        "%.3f s (at most %u tried a file, %.0f s a card)\n",
        joined, headers, tried_runs, budget.elapsed(), kRunsPerFile, kSecondsPerCard);
    return joined;
}

}  // namespace lk
