#include "value_decoder.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

namespace velmora::fuzz {
namespace {

double from_bits(std::uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::uint64_t to_bits(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Values that sorters get wrong: zero signs, NaN encodings, infinities,
// subnormals, the ends of the range and of the int64 cast, near-ties.
const std::uint64_t kSpecials[32] = {
    0x0000000000000000ULL,   // +0.0
    0x8000000000000000ULL,   // -0.0
    0x7FF8000000000000ULL,   // quiet NaN
    0xFFF8000000000000ULL,   // quiet NaN, sign bit set
    0x7FF0000000000001ULL,   // signalling NaN
    0x7FF8000000000123ULL,   // NaN with a payload
    0xFFFFFFFFFFFFFFFFULL,   // NaN, every bit set
    0x7FF0000000000000ULL,   // +inf
    0xFFF0000000000000ULL,   // -inf
    0x7FEFFFFFFFFFFFFFULL,   // DBL_MAX
    0xFFEFFFFFFFFFFFFFULL,   // -DBL_MAX
    0x0010000000000000ULL,   // DBL_MIN
    0x8010000000000000ULL,   // -DBL_MIN
    0x0000000000000001ULL,   // denorm_min
    0x8000000000000001ULL,   // -denorm_min
    0x000FFFFFFFFFFFFFULL,   // largest subnormal
    0x3FF0000000000000ULL,   // 1.0
    0xBFF0000000000000ULL,   // -1.0
    0x3FE0000000000000ULL,   // 0.5
    0x4340000000000000ULL,   // 2^53
    0x4340000000000001ULL,   // 2^53 + 2
    0x43E0000000000000ULL,   // 2^63, where the index cast would overflow
    0xC3E0000000000000ULL,   // -2^63
    0x7E37E43C8800759CULL,   // 1e300
    0xFE37E43C8800759CULL,   // -1e300
    0x01A56E1FC2F8F359ULL,   // 1e-300
    0x3FD5555555555555ULL,   // 1/3
    0x400921FB54442D18ULL,   // pi
    0x3FF0000000000001ULL,   // 1 + ulp
    0x3FEFFFFFFFFFFFFFULL,   // 1 - ulp/2
    0x7FF4000000000000ULL,   // signalling NaN, another payload
    0x0000000000000003ULL,   // 3 * denorm_min
};

class Reader {
  public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t bytes(int count) {
        std::uint64_t v = 0;
        for (int i = 0; i < count; ++i) v |= std::uint64_t{byte()} << (8 * i);
        return v;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double uniform(std::uint64_t& state) {   // [-1, 1)
    return static_cast<double>(splitmix(state) >> 11) * 0x1p-52 - 1.0;
}

// Moves v by `steps` units in the last place along the integer image of
// doubles (crossing zero and into NaN is fine: all are test values).
double nudge(double v, int steps) { return from_bits(to_bits(v) + static_cast<std::uint64_t>(steps)); }

// The operations that build the head and the tail of the list.
struct Builder {
    std::vector<double> head, tail;
    std::vector<double>* target = &head;
    std::uint64_t rng;
    int length_mark = 0;   // the last one wins

    std::size_t count() const { return head.size() + tail.size(); }
    bool full() const { return count() >= kMaxBodyValues; }
    void add(double v) {
        if (!full()) target->push_back(v);
    }
    double last() const {
        if (!target->empty()) return target->back();
        if (!head.empty()) return head.back();
        return 1.0;
    }
    // Extremes of the finite values so far, for values at bucket edges.
    void finite_range(double& lo, double& hi) const {
        lo = std::numeric_limits<double>::infinity();
        hi = -lo;
        for (const auto* part : {&head, &tail}) {
            for (const double v : *part) {
                if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
            }
        }
        if (!(lo < hi)) lo = 0.0, hi = 1.0;
    }

    void apply(std::uint8_t op, Reader& in) {
        const int arg = op & 15;
        switch (op >> 4) {
            case 0:
            case 1: add(from_bits(kSpecials[(op >> 4) * 16 + arg])); break;
            case 2: add(from_bits(in.bytes(8))); break;
            case 3: add(static_cast<double>(arg - 8)); break;   // small integers: duplicates
            case 4: add(static_cast<std::int8_t>(in.byte()) / static_cast<double>(arg + 1)); break;
            case 5: {   // a float: round values, float subnormals
                const std::uint32_t bits = static_cast<std::uint32_t>(in.bytes(4));
                float f;
                std::memcpy(&f, &bits, sizeof f);
                add(static_cast<double>(f));
                break;
            }
            case 6: {   // the previous value repeated
                const double v = last();
                const std::size_t times = 1 + in.byte() + 256u * static_cast<std::size_t>(arg);
                for (std::size_t i = 0; i < times && !full(); ++i) add(v);
                break;
            }
            case 7:
            case 8: {   // a run from the previous value, by ulps or by units
                const double start = last();
                const std::size_t length = 2 + in.byte() * std::size_t(arg / 2 + 1);
                const double sign = (op >> 4) == 7 ? 1.0 : -1.0;
                for (std::size_t i = 1; i <= length && !full(); ++i) {
                    add(arg & 1 ? start + sign * static_cast<double>(i)
                                : nudge(start, static_cast<int>(sign) * static_cast<int>(i)));
                }
                break;
            }
            case 9: {   // near a fraction j/m of the range so far: bucket edges
                double lo, hi;
                finite_range(lo, hi);
                const int j = in.byte(), m = in.byte() + 1;
                const double v = lo + (hi - lo) * (static_cast<double>(j) / m);
                add(nudge(v, arg % 5 - 2));
                break;
            }
            case 10: add(-last()); break;   // sign flip: +0/-0 pairs, negative NaNs
            case 11: {                      // a NaN: payload, sign and quiet bit chosen
                const std::uint64_t payload = in.bytes(2) | (static_cast<std::uint64_t>(arg >> 2) << 48);
                const std::uint64_t sign = std::uint64_t(arg & 1) << 63;
                const std::uint64_t quiet = std::uint64_t((arg >> 1) & 1) << 51;
                add(from_bits(sign | 0x7FF0000000000000ULL | quiet | (payload == 0 && !quiet ? 1 : payload)));
                break;
            }
            case 12: add(nudge(last(), arg - 8)); break;
            case 13: add(std::ldexp(last(), (arg - 8) * 8)); break;
            case 14: {   // a block of zeros; arg picks the sign pattern
                const std::size_t times = 1 + in.byte();
                for (std::size_t i = 0; i < times && !full(); ++i) {
                    bool negative;
                    switch (arg & 3) {
                        case 0: negative = i & 1; break;
                        case 1: negative = i >= times / 2; break;
                        case 2: negative = splitmix(rng) & 1; break;
                        default: negative = (i % (arg + 1)) == 0; break;
                    }
                    add(negative ? -0.0 : 0.0);
                }
                break;
            }
            default:
                if (arg == 0 || arg > 7) {
                    target = &tail;   // what follows goes to the end
                } else {
                    length_mark = arg;
                }
                break;
        }
    }
};

struct LengthClass {
    bool fixed;
    std::size_t base;   // class length; the offset byte moves it
    std::size_t step;
};

LengthClass length_class(std::uint8_t header) {
    if (header < 208) return {false, 0, 0};
    if (header < 216) return {true, 9 - 4, 1};                  // around the insertion seed
    if (header < 232) return {true, 4999 - 4, 1};               // sort's direct path ends
    if (header < 244) return {true, 19999 - 4, 1};              // supersort takes over
    if (header < 252) return {true, std::size_t{1} << 15, 64};  // buckets for the team sort
    return {true, (std::size_t{1} << 17) + 1, 16};              // the radix sort's split by high bits
}

// Values beyond the decoded ones, `mode` from the shape byte's top bits.
void fill(std::vector<double>& out, std::size_t count, int mode, const Builder& b, std::uint64_t rng) {
    std::vector<double> body(b.head);
    body.insert(body.end(), b.tail.begin(), b.tail.end());
    const double base = body.empty() || !std::isfinite(body.back()) ? 0.0 : body.back();
    for (std::size_t i = 0; i < count; ++i) {
        const double k = static_cast<double>(i + 1);
        double v;
        switch (mode) {
            case 0: v = body.empty() ? k : body[i % body.size()]; break;   // the body again
            case 1:
            case 6: v = base + k; break;                                       // ascending
            case 2: v = base - k; break;                                       // descending
            case 4: v = body.empty() ? uniform(rng) : body[splitmix(rng) % body.size()]; break;
            case 5: v = body.empty() ? 1.0 : body.back(); break;              // one value
            case 7: v = static_cast<double>(i % 300) + uniform(rng) * 0.25; break;   // sawtooth
            default: v = uniform(rng); break;                                  // 3: spread
        }
        out.push_back(v);
    }
}

// The length read before the conversion, from the count of values after it.
std::int64_t length_before(int mark, std::size_t count) {
    const auto n = static_cast<std::int64_t>(count);
    switch (mark) {
        case 1: return n + 1;   // an element was deleted during the conversion
        case 2: return std::max<std::int64_t>(n - 1, 0);   // one was appended
        case 3: return n + 2;
        case 4: return std::max<std::int64_t>(n - 2, 0);
        case 5: return 2 * n + 1;   // the list emptied itself halfway
        case 6: return n / 2;
        case 7: return 20000;   // a list long enough for supersort lost its elements
        default: return n;
    }
}

}  // namespace

DecodedList decode_list(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const std::uint8_t header = in.byte();
    const LengthClass lc = length_class(header);
    const std::uint8_t shape = lc.fixed ? in.byte() : 0;
    const std::size_t length = lc.base + lc.step * ((shape & 15) % 9);

    std::uint64_t seed = 0xCBF29CE484222325ULL;   // FNV-1a of the input: fills differ per input
    for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 0x100000001B3ULL;
    Builder b;
    b.rng = seed;
    while (!in.empty() && !b.full()) b.apply(in.byte(), in);

    DecodedList list;
    std::vector<double>& out = list.values;
    if (!lc.fixed) {
        out = b.head;
        out.insert(out.end(), b.tail.begin(), b.tail.end());
        list.length_before = length_before(b.length_mark, out.size());
        return list;
    }
    out.reserve(length);
    const std::size_t tail = std::min(b.tail.size(), length);
    const std::size_t head = std::min(b.head.size(), length - tail);
    const int mode = shape >> 5;
    out.assign(b.head.begin(), b.head.begin() + static_cast<std::ptrdiff_t>(head));
    fill(out, length - head - tail, mode, b, seed);
    out.insert(out.end(), b.tail.begin(), b.tail.begin() + static_cast<std::ptrdiff_t>(tail));
    if (mode == 6 && head != 0) {
        // The head spread evenly over the ascending fill, order kept: nearly
        // sorted data, a few values out of place.
        const std::vector<double> placed(out.begin(), out.end() - static_cast<std::ptrdiff_t>(tail));
        const std::size_t stride = placed.size() / head;
        std::size_t from_head = 0, from_fill = head;
        for (std::size_t i = 0; i < placed.size(); ++i) {
            const bool take_head = from_head < head && (i + 1) % stride == 0;
            out[i] = take_head ? placed[from_head++] : placed[from_fill++];
        }
    }
    list.length_before = length_before(b.length_mark, out.size());
    return list;
}

}  // namespace velmora::fuzz
