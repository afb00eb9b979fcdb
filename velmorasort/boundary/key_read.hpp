// sort's read of exact floats straight into their order keys
// (engine/key_facts.hpp), for sort_keys (engine/sort_plan.hpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/key_facts.hpp"

namespace velmora {

struct KeyRead {
    std::unique_ptr<std::uint64_t[]> keys;   // room for the list's length when the read began
    std::size_t count = 0;                   // keys made
    engine::KeyFacts facts;
    // Every element was an exact float and keys_decide held: the read left
    // the values as keys alone.
    bool taken = false;
};

// Makes the keys of the exact floats at the front of `list` (at most the room
// of `read.keys`), noting each in read.facts; returns how many there were.
// Runs no Python code; the caller holds the list's critical section.
std::size_t read_exact_floats_as_keys(PyObject* list, std::size_t room, KeyRead& read) noexcept;

}  // namespace velmora
