// How the group sorter reports a failure. The engine never calls the
// interpreter: the native exception the sorter stopped at travels back as a
// status, and the boundary turns it into the Python exception, with the
// sorter's traceback entry at the statement that threw.
#pragma once

#include <exception>

#include "engine/source_place.hpp"

namespace velmora::engine {

struct SorterStatus {
    std::exception_ptr failure;      // null: the sorter succeeded
    SourcePlace place{nullptr, 0};   // the sorter's statement that threw

    bool ok() const noexcept { return failure == nullptr; }
};

// Runs `statement` of the sorter; a native exception it throws becomes the
// status, at the place of the call.
template <typename Statement>
SorterStatus sorter_step(Statement statement, SourcePlace place = SourcePlace::here()) noexcept {
    try {
        statement();
        return {};
    } catch (...) {
        return {std::current_exception(), place};
    }
}

}  // namespace velmora::engine
