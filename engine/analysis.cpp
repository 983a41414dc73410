#include "engine/analysis.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "engine/common.hpp"
#include "engine/directories.hpp"
#include "engine/exfat.hpp"
#include "engine/fragments.hpp"
#include "engine/recovery.hpp"
#include "formats/identify.hpp"

namespace lk {

namespace {

bool tree_has_chk(const dir_t& item, int depth = 0) {
    if (std::memcmp(item.entry.ext.data(), "CHK", 3) == 0) return true;
    if (depth > kMaxDirectoryDepth) return false;
    return std::any_of(item.children.begin(), item.children.end(),
                       [&](const dir_t& c) { return tree_has_chk(c, depth + 1); });
}

// The input's first 65,536 bytes may be one recognised file (a picture
// opened directly): then it is the only item, named TESTFILE.
bool single_file_test(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    const std::int64_t input_size = e.input.input_size;
    reset_geometry(e);
    g.cluster2 = 0;
    g.cluster_size = 65536;
    // A directory entry holds a 32-bit size: a larger input cannot be one file.
    const bool fits = input_size > 0 && input_size <= INT64_C(0xFFFFFFFF);
    g.max_cluster = static_cast<std::int32_t>(fits ? (input_size + 65535) / 65536 + 2 : 2);
    prepare_fat_maps(e);
    if (!fits) return false;

    std::vector<std::uint8_t> first(65536);
    // An input that cannot be read at all holds no file.
    if (read_cluster(e, 2, first.data(), first.size(), 0, false) < 0) return false;
    TypeTag tag = identify_header(first, e.signatures);
    if (tag.empty()) return false;

    lfn_t entry;
    set_numbered_name(entry, "TESTFILE", tag);
    entry.entry.set_first_cluster(2, e.wide_clusters());
    entry.entry.size = static_cast<std::uint32_t>(input_size);
    dir_t& item = find_or_add_child(e, e.cat.root, entry, 0, -1);
    // The whole input is the file.
    item.extent.how = ExtentHow::Consecutive;
    item.extent.add(0, static_cast<std::uint64_t>(input_size));
    return add_recovered_file(e, item, true);
}

// The prologue and step 1: settles the geometry. Returns false when the run
// was abandoned (the card parameters question was cancelled).
bool settle_geometry(Engine& e) {
    card_geometry_t& g = e.settle_geometry();
    Status& st = e.status;
    AnalysisOptions& opt = e.opt;
    Input& in = e.input;

    st.StatusText("Analyzing %s ...", in.input_name());
    if (st.last_progress() != 0) st.SendProgress(0);
    in.device_size = in.InputSize(true, 0);
    st.StatusStep(ST_STEP, "1. Determining the input structure, please wait...");
    if (in.input_size > 0) in.PrepareCache(in.input_size, true);
    reset_geometry(e);
    find_boot_structures(e);
    g.size_from_pbr = g.pbr_size = size_from_boot_record(e);

    if (st.IsCancelled()) return true;
    {
        // Step 1: settling the geometry.
        bool validated = false;
        if (in.input_size - g.pbr_offset == g.pbr_size && !opt.expert_mode) {
            in.ReserveCache();
        } else {
            const std::uint32_t old_cluster_size = g.cluster_size;
            const bool exfat = g.fattype == EXFAT;
            // An exFAT volume keeps the cluster size it was found with; its
            // FAT is read once the geometry is finished.
            if (!exfat && g.pbr_offset != -1 && g.pbr_size != 0)
                g.cluster_size = std::uint32_t(g.boot_record[13]) * load_le16(g.boot_record.data() + 11);
            else if (!exfat && !e.fat.loaded)
                read_fats(e, true);

            // The card size table ends at 64 GB, where exFAT cards begin: an
            // exFAT volume's size is taken when it fits behind its start.
            const int row = nearest_card_size(g.pbr_size);
            const bool accepted =
                exfat ? g.pbr_size != 0 &&
                            g.pbr_size <= in.input_size - std::max<std::int64_t>(g.pbr_offset, 0)
                      : g.pbr_size != 0 && g.pbr_size <= in.input_size &&
                            (g.pbr_size == in.input_size ||
                             (row == nearest_card_size(in.input_size) && row < kCardSizeRows - 1));
            const std::int64_t default_size = accepted ? g.pbr_size : in.input_size;
            if (!accepted) g.pbr_size = 0;
            if (opt.ignore_fat)
                g.cluster_size = in.input_size == 0 ? 512 : minimal_cluster_size(e, in.input_size, 512);

            CardParameters p;
            p.default_size = static_cast<std::uint64_t>(default_size);
            p.cluster_size = g.cluster_size;
            p.movie_limit = opt.movie_limit;
            p.range = opt.sector_range;
            p.expert_mode = opt.expert_mode;
            p.ignore_fat = opt.ignore_fat;
            p.fast_read = opt.fast_read;
            p.truncate_uniform = opt.truncate_uniform;
            p.fattype = g.fattype;
            if (!opt.expert_mode) {
                // Outside expert mode the question opens with the safe choices.
                p.ignore_fat = false;
                p.fast_read = true;
                p.truncate_uniform = true;
                p.range = SectorRange{};
            }
            std::uint64_t size = st.reporter() ? st.reporter()->ask_card_parameters(p) : p.default_size;
            if (size != 0) {
                g.cluster_size = p.cluster_size;
                opt.movie_limit = p.movie_limit;
                opt.sector_range = p.range;
                opt.ignore_fat = p.ignore_fat;
                opt.fast_read = p.fast_read;
                opt.truncate_uniform = p.truncate_uniform;
                in.fast_read = opt.fast_read;
            }
            in.input_size = static_cast<std::int64_t>(size);
            st.Trace("validate_input_size default=%Ld after=%Ld\n", default_size, in.input_size);
            if (in.input_size == 0) {
                reset_geometry(e);
                in.input_size = default_size;
                e.no_rerun_offer = true;
                st.NotifyAbandoned();
                return false;
            }
            in.PrepareCache(in.input_size, false);
            in.ReserveCache();
            // 64-bit product: taken modulo 2^32 it would differ on every card
            // of 4 GiB or more and force a needless second FAT reading.
            if (!opt.ignore_fat && !exfat &&
                (g.cluster_size != old_cluster_size ||
                 nearest_card_size(std::int64_t(g.max_cluster) * g.cluster_size) !=
                     nearest_card_size(in.input_size)))
                read_fats(e, true);
            validated = true;
        }

        st.SendStatus(ST_TOTAL_SIZE, static_cast<std::uint64_t>(in.input_size));
        st.SendStatus(ST_TOTAL_SECTORS, static_cast<std::uint64_t>(in.input_size / 512));
        finish_geometry(e, validated, opt.ignore_fat, 0);
        st.Trace("FAT%d cluster_size=%d cluster2=0x%X max_cluster=%d ingore_fat=%d cache=%d\n",
                 g.fattype == FAT12   ? 12
                 : g.fattype == FAT16 ? 16
                 : g.fattype == FAT32 ? 32
                                      : 64,
                 g.cluster_size, g.cluster2, g.max_cluster, opt.ignore_fat ? 1 : 0,
                 opt.cache ? 1 : 0);
        // Without the FAT the data area is one grid of clusters from cluster
        // 2 to the card's end, in clusters small enough for it.
        if (opt.ignore_fat) {
            g.fattype = FAT32;
            g.cluster_size = minimal_cluster_size(e, in.input_size, g.cluster_size ? g.cluster_size : 512);
            if (g.cluster2 < 2 * std::int64_t(g.cluster_size)) g.cluster2 = 2 * std::int64_t(g.cluster_size);
            // The cluster grid has changed: count the clusters again so that
            // the carving covers the whole card and no more.
            g.max_cluster = static_cast<std::int32_t>(std::min<std::int64_t>(
                std::max<std::int64_t>(in.input_size - g.cluster2, 0) / g.cluster_size + 2, INT32_MAX));
            free_fats(e);
            allocate_fats(e, 0, true);
            prepare_fat_maps(e);
        }
    }
    return true;
}

// Steps 2 to 5 on the settled geometry.
void recover(Engine& e) {
    const card_geometry_t& g = e.geo;
    Status& st = e.status;
    AnalysisOptions& opt = e.opt;
    bool tree_kept = false;
    {
        // The root directory: FAT32 by its cluster chain; FAT12/16 as the
        // bytes just before cluster 2, whose entry count is what the geometry
        // measured (the template's count would be wrong without a boot record).
        const std::int64_t root_remaining = g.fattype == FAT32 ? 0 : g.root_size / 32;
        const std::int64_t root_locator = g.fattype == FAT32 ? g.root_cluster : -std::int64_t(g.root_size);

        if (opt.ignore_fat) {
            st.StatusStep(ST_STEP, "2. Information about the existing files is ignored");
            st.StatusStep(ST_STEP, "3. FAT is ignored");
            st.StatusStep(ST_STEP, "4. Existing directories are ignored");
        } else {
            st.StatusStep(ST_STEP, "2. Reading existing files...");
            st.Trace("read_existing_files\n");
            if (e.exfat())
                read_exfat_directory(e, e.cat.root);
            else
                read_existing_files(e, e.cat.root, root_remaining, root_locator);
            if (!st.IsCancelled()) st.StatusStep(ST_STEP, "3. Recovering files using FAT...");
            e.fat.visited.reset(static_cast<std::size_t>(std::max(g.max_cluster, 0)));

            if (opt.expert_mode || !tree_has_chk(e.cat.root)) {
                if (e.exfat())
                    recover_exfat_directories(e, e.cat.root);
                else
                    recover_directories(e, e.cat.root, root_remaining, root_locator);
                st.SendProgress(25);
                if (!st.IsCancelled()) st.StatusStep(ST_STEP, "4. Recovering directories...");
                tree_kept = true;
            } else {
                // A card that a disk checker has turned into CHK files: its
                // directories mislead, so everything is carved instead.
                st.Trace("forget_recovered_files\n");
                e.cat.root.children.clear();
                ++e.cat.generation;
                e.lost.clear();
                e.fat.used.reset(static_cast<std::size_t>(std::max(g.max_cluster, 0)) + 1);
                if (e.exfat()) mark_exfat_system_clusters(e);
                Counters& k = e.cat.counters;
                k.directories = k.files = k.crippled = 0;
                k.recovered_size = 0;
                st.SendStatus(ST_DIRECTORIES, 0);
                st.SendStatus(ST_FILES, 0);
                st.SendStatus(ST_CRIPPLED, 0);
                st.SendStatus(ST_RECOVERED_SIZE, 0);
            }
        }

        // Step 5: contiguous files.
        st.StatusStep(ST_STEP, "5. Recovering contiguous files...");
        lfn_t folder;
        folder.entry.set_name11("FOUND      ");
        folder.entry.attr = 0x10;
        add_child(e, e.cat.root, folder, 0);
        e.cat.has_found = true;
        // The found-items folder is looked up for each step: recovered
        // entries may go to folders of their own, the root among them, and
        // an addition to the root moves it.
        auto found = [&]() -> dir_t& { return *e.cat.found(); };

        st.Trace("read_sequentially\n");
        std::uint32_t n = read_sequentially(e, found(), tree_kept);
        // A cancel keeps what was found: what the sequential read got to is
        // still carved on the unshifted grid and the lost entries still get
        // their files; the searches for pieces and the other shifts, which
        // take longest, are left out.
        const bool cancelled = st.IsCancelled();
        struct Finishing {
            Engine& e;
            ~Finishing() { e.finishing = false; }
        } finishing{e};
        e.finishing = cancelled;
        st.Trace("recover_contiguous_files\n");
        n += recover_contiguous_files(e, found(), true);
        // Files in two pieces named by lost entries go first, so that no
        // entry taken as consecutive clusters holds a piece of them; the
        // entries of the folders that the lost files bring back follow.
        std::uint32_t m = 0;
        if (!cancelled) {
            st.Trace("join_lost_pieces\n");
            m += join_lost_pieces(e);
        }
        st.Trace("recover_lost_files\n");
        const std::uint32_t lost = recover_lost_files(e, found());
        if (lost != 0 && !cancelled) m += join_lost_pieces(e);
        m += lost;
        n += m;
        if (m != 0) {
            e.carve.carved_number += 1'000'000;
            st.Trace("recover_contiguous_files (2nd)\n");
            n += recover_contiguous_files(e, found(), true);
        }
        // Pictures in two pieces without an entry, once every whole file has
        // taken its clusters.
        if (!cancelled) {
            st.Trace("join_jpeg_pieces\n");
            n += join_jpeg_pieces(e);
        }
        e.carve.carved_number = 1;
        st.Trace("recover_contiguous_files (final)\n");
        n += recover_contiguous_files(e, found(), false);

        // Small JPEGs beside Canon CRW files are their thumbnails.
        dir_t& folder_found = found();
        const bool has_crw = std::any_of(folder_found.children.begin(), folder_found.children.end(),
                                         [](const dir_t& c) { return display_extension(c) == "CRW"; });
        if (has_crw)
            for (dir_t& c : folder_found.children)
                if (display_extension(c) == "JPG" && c.entry.size < 20480) c.entry.set_extension("THM");

        // What step 5 found may all have gone back to folders of its own.
        if (n == 0 || folder_found.children.empty()) {
            e.cat.root.children.pop_back();
            e.cat.has_found = false;
            ++e.cat.generation;
        }
        if (!st.IsCancelled()) st.StatusStep(ST_STEP, "Analysis finished, please click Continue");
        st.SendProgress(100);
    }
}

// Steps 1 to 5; returns false when the run was abandoned.
bool run_steps(Engine& e) {
    Status& st = e.status;
    if (single_file_test(e)) {
        st.NotifyFinished();
        return true;
    }
    if (!settle_geometry(e)) return false;
    if (!st.IsCancelled()) recover(e);
    if (st.IsCancelled()) st.StatusStep(ST_STEP, "Cancelled: %u files found so far", e.cat.counters.files);
    st.Trace("recovery finished, recovery size %LX%s\n---\n", e.cat.counters.recovered_size,
             st.IsCancelled() ? "(cancelled)" : "");
    st.NotifyFinished();
    return true;
}

}  // namespace

AnalysisResult RunAnalysis(Engine& e) {
    try {
        e.cat.counters = Counters{};
        e.input.fast_read = e.opt.fast_read;
        e.input.cache = e.opt.cache;
        return run_steps(e) ? AnalysisResult::Finished : AnalysisResult::Abandoned;
    } catch (const FatalError&) {
        return AnalysisResult::Failed;  // the message has been shown
    } catch (const std::bad_alloc&) {
        e.status.message(MessageKind::Error, translate("Not enough memory"));
        return AnalysisResult::Failed;
    }
}

}  // namespace lk
