// The context of one analysis: its options, the card's layout, the FAT
// tables, the catalogue, the lost entries and the carving state, and what
// the front end gives it (its status protocol and its input).
//
// Nothing here is process-wide: every record that belongs to an analysis
// lives in an Engine, which a run (output/run.hpp) creates and passes by
// reference, so that one process can run many analyses.
#pragma once

#include <cstdint>
#include <map>
#include <stop_token>
#include <vector>

#include "base/status.hpp"
#include "engine/carving.hpp"
#include "engine/catalogue.hpp"
#include "engine/coverage.hpp"
#include "engine/fat_tables.hpp"
#include "engine/first_letters.hpp"
#include "engine/geometry.hpp"
#include "engine/options.hpp"
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

  private:
    card_geometry_t geometry_;

  public:
    // The card's layout. Step 1 settles it through settle_geometry(); from
    // then on every part of the analysis reads it as it is.
    const card_geometry_t& geo = geometry_;
    card_geometry_t& settle_geometry() { return geometry_; }

    FatState fat;
    Catalogue cat;
    LostEntries lost;
    // The name fragments that end a directory cluster after which the
    // folder's chain is gone, by checksum: the rest of the name opens another
    // cluster, found on its own.
    std::map<std::uint8_t, std::vector<std::uint8_t>> name_tails;
    // The first letters of the card's names, for deleted entries' lost ones.
    FirstLetters first_letters;
    CoverageIndex coverage;
    CarveState carve;
    // The run ended in a way after which the expert-mode rerun is not offered.
    bool no_rerun_offer = false;
    // The run's stop request for reads along files' runs (saving, previews):
    // raised by the front end when it resets or closes, distinct from
    // cancelling the analysis. Readers take its token.
    std::stop_source reads_stop;

    // Set while what was found before a cancel is finished: the steps that
    // follow the cancel still run over what was read (see analysis.cpp).
    bool finishing = false;
    // Whether a loop of the analysis stops here: cancelled, and not
    // finishing what was found.
    bool stopping() const { return status.IsCancelled() && !finishing; }

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
