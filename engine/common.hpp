// The engine's own header, for the steps of the analysis: what every one of
// them uses (the context of the analysis, the card's layout and its cluster
// arithmetic, the FAT tables, the catalogue). A step includes the headers of
// the other steps it calls; front ends include engine/engine.hpp and the
// headers of what they use, never this one.
#pragma once

#include "engine/catalogue.hpp"
#include "engine/engine.hpp"
#include "engine/fat_tables.hpp"
#include "engine/geometry.hpp"
