// What recover prints about the catalogue: the tree (--list) and a JSON file
// (--json) for scripts.
#pragma once

#include <cstdio>
#include <string>

#include "engine/catalogue.hpp"

namespace lk {
struct Engine;
}

namespace lk::cli {

// The recovered tree, a line per item, indented by depth: folders end in "/",
// files show their size.
void print_tree(Engine& e, std::FILE* out);

// Every item with its path, size, first cluster, FAT copy, shift, kind and
// where its entry came from ("live", "deleted" or "none"); a file put
// together from pieces also has "pieces": [[first cluster, clusters], ...].
bool write_catalogue_json(Engine& e, const std::string& path);

}  // namespace lk::cli
