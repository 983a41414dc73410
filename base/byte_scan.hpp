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

// The searches by vector width (bytes compared at once; 1 is byte by byte),
// so that each can be tested on a processor that has it.
enum class ScanWidth { Bytes = 1, Sse2 = 16, Avx2 = 32 };
std::vector<ScanWidth> available_scan_widths();
std::size_t find_pair_with(ScanWidth width, const std::uint8_t* p, std::size_t from, std::size_t n, PairTest t);

}  // namespace lk
