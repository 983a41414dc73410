// Carving contiguous files out of unclaimed clusters, at the unshifted
// cluster grid and at shifts of whole sectors.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/bitmap.hpp"
#include "engine/catalogue.hpp"
#include "formats/identify.hpp"

namespace lk {

struct Engine;

struct shift_count_t {
    std::int32_t shift;  // bytes
    std::uint32_t count;
};

struct CarveState {
    // Header index: one map per sector offset k within a cluster, cluster ->
    // index into the interned tags.
    std::vector<std::vector<std::pair<std::int32_t, std::uint16_t>>> headers;
    std::vector<std::string> tags;  // interned tag texts
    Bitmap uniform;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pdf;  // PDF patterns of the cluster being indexed
    std::vector<shift_count_t> shift_list;
    std::size_t shift_cursor = 0;
    std::uint32_t carved_number = 1;
    // The bytes of the file being carved; kept between files so that each
    // one is not a fresh (and freshly zeroed) allocation.
    std::vector<std::uint8_t> data;

    void reset() {
        headers.clear();
        tags.clear();
        uniform.clear();
        shift_list.clear();
        shift_cursor = 0;
        std::vector<std::uint8_t>().swap(data);
    }
};

void index_cluster(Engine& e, std::int64_t cluster, const std::uint8_t* data);
TypeTag header_at(Engine& e, std::int64_t cluster, std::int32_t shift = -1);
bool is_uniform(Engine& e, std::int64_t cluster);
std::uint32_t recover_contiguous_files(Engine& e, dir_t& found, bool first_pass);
std::int64_t recover_until_uniform_or_magic(Engine& e, std::int64_t start, TypeTag tag, TypeTag allowed_tag);
// measured: the length a container walk found for the file (0 = none).
bool carve_file(Engine& e, dir_t& found, std::int64_t start, std::int64_t end, std::uint32_t number,
                TypeTag tag, bool first_pass, std::uint64_t measured = 0);
std::uint32_t detect_shift(Engine& e);

}  // namespace lk
