// Deterministic replay driver for the fuzz targets, run by the test suite
// under the sanitizer build: random buffers, then mutations of every sample
// file in the corpus folder (when present). Any memory error aborts the run.
//
//   replay_<target> [--iterations N] [--corpus DIR] [--seed S]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> read_file(const std::filesystem::path& p, std::size_t cap) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> bytes;
    bytes.resize(cap);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(cap));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void mutate(std::vector<std::uint8_t>& b, std::mt19937_64& rng) {
    if (b.empty()) return;
    std::uniform_int_distribution<std::size_t> pos(0, b.size() - 1);
    switch (rng() % 6) {
        case 0:  // flip a few bits
            for (int i = 0; i < 4; ++i) b[pos(rng)] ^= std::uint8_t(1u << (rng() % 8));
            break;
        case 1:  // interesting values at a random place
        {
            static const std::uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0xFE};
            std::size_t at = pos(rng);
            for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) b[at + i] = values[rng() % 6];
            break;
        }
        case 2:  // truncate
            b.resize(pos(rng));
            break;
        case 3:  // duplicate a block
        {
            std::size_t from = pos(rng), len = std::min<std::size_t>(rng() % 512, b.size() - from);
            std::vector<std::uint8_t> block(b.begin() + from, b.begin() + from + len);
            b.insert(b.begin() + pos(rng), block.begin(), block.end());
            break;
        }
        case 4:  // overwrite a 32-bit field with an extreme number
        {
            std::size_t at = pos(rng);
            std::uint32_t v = (rng() & 1) ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rng());
            for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) b[at + i] = std::uint8_t(v >> (8 * i));
            break;
        }
        default:  // random bytes over a short stretch
        {
            std::size_t at = pos(rng);
            for (std::size_t i = 0; i < 16 && at + i < b.size(); ++i) b[at + i] = std::uint8_t(rng());
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    long iterations = 2000;
    std::uint64_t seed = 0x4C756D656E6B6570ull;
    std::string corpus;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--iterations")) iterations = std::atol(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--corpus")) corpus = argv[i + 1];
        else if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 0);
    }
    std::mt19937_64 rng(seed);

    long runs = 0;
    for (long i = 0; i < iterations; ++i, ++runs) {
        std::vector<std::uint8_t> buf(rng() % (i % 10 == 0 ? 70000 : 4096));
        for (auto& c : buf) c = std::uint8_t(rng());
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }

    std::vector<std::filesystem::path> samples;
    std::error_code ec;
    if (!corpus.empty() && std::filesystem::is_directory(corpus, ec)) {
        for (auto& e : std::filesystem::recursive_directory_iterator(corpus, ec))
            if (e.is_regular_file() && e.path().extension() != ".md") samples.push_back(e.path());
        std::sort(samples.begin(), samples.end());
    } else {
        std::printf("corpus folder not found (%s): random inputs only\n", corpus.c_str());
    }
    // Each sample whole, then mutated copies of its first 256 KiB.
    long per_sample = samples.empty() ? 0 : std::max<long>(20, iterations / long(samples.size()));
    for (const auto& p : samples) {
        std::vector<std::uint8_t> original = read_file(p, 4u << 20);
        LLVMFuzzerTestOneInput(original.data(), original.size());
        ++runs;
        if (original.size() > (256u << 10)) original.resize(256u << 10);
        for (long i = 0; i < per_sample; ++i, ++runs) {
            std::vector<std::uint8_t> b = original;
            int rounds = 1 + int(rng() % 4);
            for (int r = 0; r < rounds; ++r) mutate(b, rng);
            LLVMFuzzerTestOneInput(b.data(), b.size());
        }
    }
    std::printf("%ld inputs, %zu samples\n", runs, samples.size());
    return 0;
}
