#include "boundary/key_read.hpp"

#include <algorithm>
#include <cstring>

#include "engine/portable.hpp"
#include "engine/radix_sort.hpp"

namespace velmora {

std::size_t read_exact_floats_as_keys(PyObject* list, std::size_t room, KeyRead& read) noexcept {
    constexpr std::size_t kPrefetchDistance = 32;   // as the ordinary read
    const std::size_t n = std::min(static_cast<std::size_t>(PyList_GET_SIZE(list)), room);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    std::uint64_t* const keys = read.keys.get();
    // A local, so that it lives in registers; it starts from the first key,
    // so that equal keys alone leave it saying so.
    const bool first = n != 0 && PyFloat_CheckExact(items[0]);
    engine::KeyFacts facts(first ? engine::order_key(PyFloat_AS_DOUBLE(items[0])) : 0);
    std::size_t i = 0;
    for (; i < n; ++i) {
        if (i + kPrefetchDistance < n) portable::prefetch(items[i + kPrefetchDistance]);
        PyObject* const item = items[i];
        if (!PyFloat_CheckExact(item)) break;
        const double v = PyFloat_AS_DOUBLE(item);
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const std::uint64_t key = engine::order_key(v);
        keys[i] = key;
        facts.add(bits, key);
    }
    read.facts = facts;
    read.count = i;
    return i;
}

}  // namespace velmora
