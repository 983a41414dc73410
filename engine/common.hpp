// The engine's chief header: the context of one analysis and everything that
// reads or writes it.
//
// Nothing here is process-wide: every record that belongs to an analysis
// (options, geometry, FAT state, catalogue, counters, lost entries, carving
// index) lives in an Engine, which the front end creates and passes by
// reference, so that one process can run many analyses.
#pragma once

#include <atomic>
#include <map>
#include <vector>

#include "base/status.hpp"
#include "engine/analysis.hpp"
#include "engine/carving.hpp"
#include "engine/catalogue.hpp"
#include "engine/chain_reader.hpp"
#include "engine/coverage.hpp"
#include "engine/directories.hpp"
#include "engine/exfat.hpp"
#include "engine/fat_tables.hpp"
#include "engine/fragments.hpp"
#include "engine/geometry.hpp"
#include "engine/options.hpp"
#include "engine/recovery.hpp"
#include "input/input.hpp"

namespace lk {

class SignatureTable;

struct Engine {
    Engine(Status& status_, Input& input_) : status(status_), input(input_) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    Status& status;
    Input& input;
    AnalysisOptions opt;
    const SignatureTable* signatures = nullptr;  // user file headers, tried first

    card_geometry_t geo;
    FatState fat;
    Catalogue cat;
    LostEntries lost;
    // The name fragments that end a directory cluster after which the
    // folder's chain is gone, by checksum: the rest of the name opens another
    // cluster, found on its own.
    std::map<std::uint8_t, std::vector<std::uint8_t>> name_tails;
    CoverageIndex coverage;
    CarveState carve;
    // The run ended in a way after which the expert-mode rerun is not offered.
    bool no_rerun_offer = false;
    // Raised by the front end to stop reads along chains (saving, previews)
    // when it resets or closes; distinct from cancelling an analysis.
    std::atomic<bool> stop_flag{false};
    bool stop_requested() const { return stop_flag.load(std::memory_order_relaxed); }

    // Entries carry the high half of their first cluster: FAT32, and exFAT,
    // whose synthesised entries follow FAT32.
    bool wide_clusters() const { return geo.fattype == FAT32 || geo.fattype == EXFAT; }
    bool exfat() const { return geo.fattype == EXFAT; }
    bool valid(std::int64_t c) const { return is_valid_cluster(geo, c); }
    std::uint32_t first_cluster(const direntry_t& d) const {
        return d.first_cluster(wide_clusters());
    }
};

}  // namespace lk
