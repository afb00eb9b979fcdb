// Highway's vectorised quicksort (vqsort) behind the engine's kernel
// signature, where the build found Highway. The instruction set is chosen at
// run time by the library's dispatch: AVX-512, AVX2, SSE4, NEON, SVE...
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::engine {

// True when this build carries the Highway kernel.
bool vector_sort_built() noexcept;

// Sorts the NaN-free values[0, n) ascending into out[0, n) (no overlap).
// Only for values with a unique ascending order (not both zero signs): any
// correct sort then gives the same bits. Requires vector_sort_built().
void vector_sort(const double* values, std::size_t n, double* out) noexcept;

// Sorts the order keys (radix_sort.hpp) keys[0, n) ascending in place.
// Requires vector_sort_built().
void vector_sort_keys(std::uint64_t* keys, std::size_t n) noexcept;

// The instruction set the dispatch uses on this CPU ("AVX3_DL", "AVX2",
// "NEON", ...), or "" without the Highway kernel.
const char* vector_sort_target() noexcept;

// Highway's version, "major.minor", or "" without it.
const char* vector_sort_library_version() noexcept;

// Keeps the dispatch on instruction sets no newer than the one named (as
// vector_sort_target names them), so a benchmark can show what older CPUs
// get; "" lifts the restriction. False when the name is unknown here.
bool restrict_vector_targets(const char* name) noexcept;

}  // namespace velmora::engine
