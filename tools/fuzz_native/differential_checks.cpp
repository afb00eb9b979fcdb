#include "differential_checks.hpp"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/interpolation_sort.hpp"

namespace velmora::fuzz {
namespace {

std::uint64_t bits_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

[[noreturn]] void fail(const char* what, const char* property, std::size_t n) {
    std::fprintf(stderr, "\n== %s: %s (list of %zu values)\n", what, property, n);
    std::abort();
}

void report_difference(const std::vector<double>& a, const std::vector<double>& b) {
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (bits_of(a[i]) != bits_of(b[i])) {
            std::fprintf(stderr, "first difference at %zu: %a (0x%016" PRIx64 ") vs %a (0x%016" PRIx64 ")\n", i,
                         a[i], bits_of(a[i]), b[i], bits_of(b[i]));
            return;
        }
    }
    std::fprintf(stderr, "lengths %zu vs %zu\n", a.size(), b.size());
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

void check_same_bits(const char* what, const std::vector<double>& a, const std::vector<double>& b) {
    if (same_bits(a, b)) return;
    report_difference(a, b);
    fail(what, "results differ", a.size());
}

void check_matches_model(const char* what, const PlanRun& run, const ModelResult& model) {
    if (run.outcome == engine::Outcome::failed) fail(what, "the engine reported a failure", model.values.size());
    const bool shortcut = run.outcome == engine::Outcome::shortcut;
    if (shortcut != model.shortcut) {
        fail(what, shortcut ? "shortcut where the model sorts" : "sorted where the model takes the shortcut",
             run.values.size());
    }
    if (!shortcut) check_same_bits(what, run.values, model.values);
}

void check_sorted_permutation(const char* what, const std::vector<double>& input,
                              const std::vector<double>& result) {
    if (result.size() != input.size()) fail(what, "length changed", input.size());
    std::vector<double> plain, nans;
    for (const double v : input) (std::isnan(v) ? nans : plain).push_back(v);
    std::sort(plain.begin(), plain.end());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (!(result[i] == plain[i])) {
            std::fprintf(stderr, "at %zu: %a, std::sort has %a\n", i, result[i], plain[i]);
            fail(what, "value order differs from std::sort", input.size());
        }
    }
    for (std::size_t i = 0; i < nans.size(); ++i) {
        if (bits_of(result[plain.size() + i]) != bits_of(nans[i])) {
            fail(what, "NaNs are not last in input order with their bits", input.size());
        }
    }
    // Equal non-NaN doubles have equal bits unless they are zeros: the
    // multiset of bit patterns is the input's once the zero signs add up.
    const auto negative_zeros = [](const std::vector<double>& v) {
        return std::count_if(v.begin(), v.end(), [](double x) { return x == 0.0 && std::signbit(x); });
    };
    if (negative_zeros(input) != negative_zeros(result)) fail(what, "zero signs are not those of the input", input.size());
}

double check_insertion_budget(const std::vector<double>& input) {
    std::vector<double> plain;
    for (const double v : input) {
        if (!std::isnan(v)) plain.push_back(v);
    }
    std::vector<double> want;
    double peak = 0.0;
    const bool model_within = model_insertion(plain, want, peak);
    std::vector<double> got(plain.size());
    const bool engine_within = engine::insertion_sort_within_budget(plain.data(), plain.size(), got.data());
    if (engine_within != model_within) {
        std::fprintf(stderr, "model peak work/budget %.4f\n", peak);
        fail("insertion sorter", engine_within ? "finished past the budget" : "stopped within the budget",
             plain.size());
    }
    if (engine_within) check_same_bits("insertion sorter against the model", got, want);
    return peak;
}

}  // namespace velmora::fuzz
