// Turns fuzzer bytes into a list of doubles, biased toward what breaks
// sorters: both zero signs, NaNs with payloads and sign bits, infinities,
// subnormals, extremes, runs, duplicates, outliers and bucket edges, at
// lengths around the engine's thresholds.
//
// Layout:
//   byte 0        the length class: below 208 the decoded values are kept as
//                 they are (at most kMaxBodyValues); the rest fix the length
//                 near 9, 4999/5000, 19999/20000, 2^15 (a bucket large
//                 enough for the team sort) or 2^17 (the radix sort's split
//                 by high bits), rarer the longer, so most inputs stay fast;
//   byte 1        (fixed lengths only) the offset within the class (low
//                 nibble) and how values beyond the decoded ones are filled
//                 in (top three bits);
//   then          operations, one byte each plus their operands (see
//                 value_decoder.cpp), producing the head of the list; a tail
//                 marker switches to producing its tail, and length marks
//                 make the length read before the conversion differ from
//                 the values' count, as when the list changes while its
//                 elements' __float__ runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::fuzz {

constexpr std::size_t kMaxBodyValues = 4096;

struct DecodedList {
    std::vector<double> values;
    std::int64_t length_before;   // the list's length before the conversion
};

DecodedList decode_list(const std::uint8_t* data, std::size_t size);

}  // namespace velmora::fuzz
