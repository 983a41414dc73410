// The catalogue that recover --json writes, parsed, with its items by path.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

namespace lk::test {

// A file that is not valid JSON parses as a discarded value (is_discarded()).
inline nlohmann::json read_catalogue(const std::filesystem::path& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

// The item with this path, or an empty object when there is none.
inline nlohmann::json catalogue_item(const nlohmann::json& catalogue, const std::string& path) {
    if (!catalogue.is_array()) return nlohmann::json::object();
    const auto it =
        std::find_if(catalogue.begin(), catalogue.end(),
                     [&](const nlohmann::json& item) { return item.value("path", "") == path; });
    return it == catalogue.end() ? nlohmann::json::object() : *it;
}

// How many items have this value at this key.
inline long catalogue_count(const nlohmann::json& catalogue, const std::string& key,
                            const nlohmann::json& value) {
    if (!catalogue.is_array()) return 0;
    return std::count_if(catalogue.begin(), catalogue.end(), [&](const nlohmann::json& item) {
        return item.contains(key) && item[key] == value;
    });
}

}  // namespace lk::test
