// The properties every engine result must have. A violation prints what
// differed and aborts, which the fuzzer records as a crash with its input.
#pragma once

#include <vector>

#include "engine_plans.hpp"
#include "result_model.hpp"

namespace velmora::fuzz {

// `run` is bit for bit the model's result, the shortcut included.
void check_matches_model(const char* what, const PlanRun& run, const ModelResult& model);

// `a` and `b` hold the same bits in the same order.
void check_same_bits(const char* what, const std::vector<double>& a, const std::vector<double>& b);

// Against std::sort of `input`: the same values in the same order (+0.0 and
// -0.0 equal), the same multiset of bit patterns, and the NaNs last in input
// order with their own bits.
void check_sorted_permutation(const char* what, const std::vector<double>& input,
                              const std::vector<double>& result);

// The engine's insertion sorter stops at the budget exactly where the model's
// count of moves and probes says, and within it gives the model's order.
// Returns the model's peak work / budget ratio.
double check_insertion_budget(const std::vector<double>& input);

}  // namespace velmora::fuzz
