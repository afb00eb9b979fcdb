// The engine's results computed from their definition alone, without any of
// its kernels: the path rules, the bucket scale, the interpolation insertion
// sorter with its work budget, and "every -0.0 before every +0.0" past it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::fuzz {

// The insertion sorter of one NaN-free group: true with `out` set to its
// order while the work stays within 48 * i * ceil(log2 i) after i values
// placed (moves of the shorter side, 32 per probe). `peak_load` gets the
// largest work / budget ratio seen (0 when no value was inserted).
bool model_insertion(const std::vector<double>& values, std::vector<double>& out, double& peak_load);

// One group: NaNs after the rest in input order; the insertion order, or
// past the budget ascending with -0.0 before +0.0.
std::vector<double> model_group(const std::vector<double>& values);

struct ModelResult {
    bool shortcut = false;   // the caller's list is the answer
    std::vector<double> values;
};

// The result for the converted `values` of a list of `n` elements (n decides
// the path and the bucket count) under a plan with the given direct path
// length and bucket divisor.
ModelResult model_list(const std::vector<double>& values, std::int64_t n, std::int64_t direct_max,
                       std::int64_t divisor);

}  // namespace velmora::fuzz
