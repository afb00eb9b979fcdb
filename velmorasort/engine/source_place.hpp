// A place in the source tree, as traceback entries name it. Needs no Python
// header: the engine names the places of its own failures, and the boundary
// puts them in traceback entries.
#pragma once

namespace velmora {

// The part of a compiler file name from the package folder on
// ("velmorasort/engine/bucket_pass.cpp"), whatever folder the build ran in.
constexpr const char* tree_path(const char* file) noexcept {
    const char* found = file;
    for (const char* p = file; *p != '\0'; ++p) {
        const char* a = p;
        const char* b = "velmorasort/";
        while (*b != '\0' && *a == *b) ++a, ++b;
        if (*b == '\0') found = p;
    }
    return found;
}

struct SourcePlace {
    const char* file;   // path from the repository root
    int line;

    // As a default argument, the place of the call.
    static constexpr SourcePlace here(const char* file = __builtin_FILE(),
                                      int line = __builtin_LINE()) noexcept {
        return {tree_path(file), line};
    }
};

}  // namespace velmora
