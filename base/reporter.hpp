// The interface each front end (GUI, command line, test recorder) implements
// so that the engine can report without knowing who listens.
#pragma once

#include <cstdint>
#include <string>

#include "base/sector_range.hpp"

namespace lk {

enum class MessageKind { Warning, Error, Information };

// What the card parameters question shows and what the user may change.
struct CardParameters {
    std::uint64_t default_size = 0;  // the size offered
    std::uint32_t cluster_size = 0;  // in: the engine's current value; out: the chosen one
    std::uint64_t movie_limit = 0;
    SectorRange range;
    bool expert_mode = false;
    bool ignore_fat = false;
    bool fast_read = true;
    bool truncate_uniform = true;
    int fattype = 1;  // the engine's current FAT type code, for the cluster-count check
};

class Reporter {
public:
    virtual ~Reporter() = default;

    // A status text line ('st0>' step line or 'st0?' list line), already
    // looked up and formatted. The engine waits until this returns.
    virtual void status_text(std::uint32_t code, const std::string& text) = 0;

    // A completion notice: 'st0B' finished (or ended after Cancel) or 'st0C'
    // abandoned. The engine waits until this returns.
    virtual void notify(std::uint32_t code) = 0;

    // A counter or progress value was stored in the value table. Front ends
    // that poll the table (the status window's timer) need not override this.
    virtual void value_changed(std::uint32_t code, std::uint64_t value) {
        (void)code;
        (void)value;
    }

    // The card parameters question. Returns the chosen card size, 0 when the
    // user cancelled. On a non-zero answer `params` holds the choices.
    virtual std::uint64_t ask_card_parameters(CardParameters& params) = 0;

    // A warning or error box, or an information box (signature file loaded).
    virtual void message(MessageKind kind, const std::string& caption, const std::string& text) = 0;

    // Engine trace lines ("read_existing_files\n"...). Not shown to users.
    virtual void trace(const std::string& line) { (void)line; }
};

}  // namespace lk
