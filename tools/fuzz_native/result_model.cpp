#include "result_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>

namespace velmora::fuzz {
namespace {

constexpr std::size_t kSeed = 9;
constexpr std::int64_t kProbeWeight = 32;
constexpr std::int64_t kBudgetPerValueLog = 48;

// Orders like the doubles, -0.0 just below +0.0 (NaN-free input only).
std::uint64_t key_of(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits >> 63 ? ~bits : bits | 0x8000000000000000ULL;
}

void sort_by_key(std::vector<double>& v) {
    std::sort(v.begin(), v.end(), [](double a, double b) { return key_of(a) < key_of(b); });
}

bool both_zero_signs(const std::vector<double>& v) {
    bool pos = false, neg = false;
    for (const double x : v) {
        if (x == 0.0) (std::signbit(x) ? neg : pos) = true;
    }
    return pos && neg;
}

// Where `value` goes into the sorted vec, by interpolation probes; the same
// sequence of double operations as the definition, counted in `probes`.
std::int64_t insertion_index(const std::deque<double>& vec, double value, std::int64_t& probes) {
    std::int64_t start = 0, end = static_cast<std::int64_t>(vec.size()) - 1;
    double start_val = vec[start], end_val = vec[end];
    for (;;) {
        ++probes;
        std::int64_t estimated = start;
        const double denom_diff = end_val - start_val;
        if (denom_diff != 0.0 && !std::isnan(denom_diff)) {
            const double denom_index = static_cast<double>(end - start);
            const double diff = value - start_val;
            const double product = diff * denom_index;
            const double q = product / denom_diff;
            if (q >= 1.0 && q < 9223372036854775808.0) {
                const auto step = static_cast<std::int64_t>(q);
                estimated = step > end - start ? end : start + step;
            }
        }
        const double probed = vec[estimated];
        if (value == probed) return estimated;
        if (value > probed) {
            if (estimated == end) return end + 1;
            start = estimated + 1;
            start_val = vec[start];
            if (value <= start_val) return start;
        } else {
            if (estimated == start) return start;
            end = estimated - 1;
            end_val = vec[end];
            if (value >= end_val) return estimated;
        }
    }
}

std::int64_t bit_length(std::uint64_t x) { return x == 0 ? 0 : 64 - __builtin_clzll(x); }

}  // namespace

bool model_insertion(const std::vector<double>& values, std::vector<double>& out, double& peak_load) {
    peak_load = 0.0;
    // The seed: the standard sort of nine values is a stable insertion sort.
    // A deque moves the shorter side on insertion, as the definition counts.
    std::deque<double> vec(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(std::min(kSeed, values.size())));
    std::stable_sort(vec.begin(), vec.end());
    std::int64_t probes = 0, moves = 0;
    for (std::size_t i = vec.size(); i < values.size(); ++i) {
        const std::int64_t size = static_cast<std::int64_t>(vec.size());
        const std::int64_t at = insertion_index(vec, values[i], probes);
        moves += std::min(at, size - at);
        vec.insert(vec.begin() + at, values[i]);
        const std::int64_t placed = size + 1;
        const std::int64_t work = moves + probes * kProbeWeight;
        const std::int64_t budget = kBudgetPerValueLog * placed * bit_length(static_cast<std::uint64_t>(placed - 1));
        peak_load = std::max(peak_load, static_cast<double>(work) / static_cast<double>(budget));
        if (work > budget) return false;
    }
    out.assign(vec.begin(), vec.end());
    return true;
}

std::vector<double> model_group(const std::vector<double>& values) {
    std::vector<double> plain, nans;
    for (const double v : values) (std::isnan(v) ? nans : plain).push_back(v);
    std::vector<double> out;
    double load;
    // Without both zero signs every correct order is this one.
    if (!both_zero_signs(plain) || !model_insertion(plain, out, load)) {
        out = plain;
        sort_by_key(out);
    }
    out.insert(out.end(), nans.begin(), nans.end());
    return out;
}

ModelResult model_list(const std::vector<double>& values, std::int64_t n, std::int64_t direct_max,
                       std::int64_t divisor) {
    ModelResult r;
    if (n <= direct_max) {
        r.values = model_group(values);
        return r;
    }
    const double inf = std::numeric_limits<double>::infinity();
    double lowest = inf, highest = -inf, min_val = inf, max_val = -inf;
    std::vector<double> finite, nans;
    std::size_t minus_inf = 0, plus_inf = 0;
    for (const double v : values) {
        if (std::isnan(v)) {
            nans.push_back(v);
            continue;
        }
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
        if (v == inf) {
            ++plus_inf;
        } else if (v == -inf) {
            ++minus_inf;
        } else {
            finite.push_back(v);
            min_val = std::min(min_val, v);
            max_val = std::max(max_val, v);
        }
    }
    if (!(lowest < highest)) {
        r.shortcut = true;
        return r;
    }
    r.values.assign(minus_inf, -inf);
    if (!both_zero_signs(finite)) {
        // One ascending order: presorted runs, one piece and buckets agree.
        sort_by_key(finite);
        r.values.insert(r.values.end(), finite.begin(), finite.end());
    } else {
        // Buckets by the linear scale, input order kept in each, each a group.
        const std::int64_t last = n / divisor;
        const double factor = static_cast<double>(last) / (max_val - min_val);
        std::vector<std::vector<double>> buckets(static_cast<std::size_t>(last) + 1);
        for (const double v : finite) {
            const double product = (v - min_val) * factor;
            std::int64_t index = 0;
            if (!(product >= 0.0)) {
                index = 0;
            } else if (product >= static_cast<double>(last)) {
                index = last;
            } else {
                index = static_cast<std::int64_t>(product);
            }
            buckets[static_cast<std::size_t>(index)].push_back(v);
        }
        for (const auto& bucket : buckets) {
            const std::vector<double> sorted = model_group(bucket);
            r.values.insert(r.values.end(), sorted.begin(), sorted.end());
        }
    }
    r.values.insert(r.values.end(), plus_inf, inf);
    r.values.insert(r.values.end(), nans.begin(), nans.end());
    return r;
}

}  // namespace velmora::fuzz
