// Searches for a pair of bytes, many positions at a time, for the scans that
// go over whole cards: the JPEG marker search and the PDF pattern search. A
// byte-by-byte search stops at every candidate lead byte, and inside
// compressed data that is every few hundred bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lk {

// What must follow the lead byte.
struct PairTest {
    std::uint8_t lead;
    std::uint8_t next_a;
    std::uint8_t next_b;  // a second byte that may follow, or next_a again
    bool negate = false;  // the following byte must be neither next_a nor next_b
};

// The first i in [from, n - 1) where p[i] is the lead byte and p[i + 1]
// passes the test; n - 1 (or from, when that is larger) when there is none.
// The last byte is never a match: it has no follower here. Uses the widest
// vectors the processor has.
std::size_t find_pair(const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t);

// Every match of two tests in [0, n - 1), in one pass over the bytes: all of
// a's go to a_out (cleared first), the first max_b of b's to b_out. Returns
// how many b matches there are in all, which may be more than max_b.
std::size_t find_pairs(const std::uint8_t* p, std::size_t n, PairTest a, std::vector<std::uint32_t>& a_out,
                       PairTest b, std::uint32_t* b_out, std::size_t max_b);

// The searches by vector width (bytes compared at once; 1 is byte by byte),
// so that each can be tested on a processor that has it.
enum class ScanWidth { Bytes = 1, Sse2 = 16, Avx2 = 32 };
std::vector<ScanWidth> available_scan_widths();
std::size_t find_pair_with(ScanWidth width, const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t);
std::size_t find_pairs_with(ScanWidth width, const std::uint8_t* p, std::size_t n, PairTest a,
                            std::vector<std::uint32_t>& a_out, PairTest b, std::uint32_t* b_out, std::size_t max_b);

}  // namespace lk
