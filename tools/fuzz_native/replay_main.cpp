// Replays saved inputs through the fuzz target without libFuzzer: each
// argument is a file, or a folder whose files are all replayed. Exits 0 when
// every input passed (a failing one aborts inside the target).
//
// With --print first, runs nothing: for each input prints the decoded list
// (count, length before the conversion, bit patterns) and the model's result
// for sort's plan, for the tests to hold against their own oracle.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/tuning.hpp"
#include "result_model.hpp"
#include "value_decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> inputs_at(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return {};
    if (!S_ISDIR(st.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') files.push_back(path + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void print_bits(const char* label, const std::vector<double>& values) {
    std::printf("%s", label);
    for (const double v : values) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        std::printf(" %016" PRIx64, bits);
    }
    std::printf("\n");
}

void print_decoded(const std::vector<char>& bytes) {
    using namespace velmora;
    const fuzz::DecodedList list =
        fuzz::decode_list(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::printf("count %zu length_before %" PRId64 "\n", list.values.size(), list.length_before);
    print_bits("values", list.values);
    const fuzz::ModelResult model =
        fuzz::model_list(list.values, list.length_before, tuning::kDirectPathMax, tuning::kSortBucketDivisor);
    if (model.shortcut) {
        std::printf("sort shortcut\n");
    } else {
        print_bits("sort", model.values);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const bool print = argc > 1 && std::strcmp(argv[1], "--print") == 0;
    std::size_t replayed = 0;
    for (int i = print ? 2 : 1; i < argc; ++i) {
        const std::vector<std::string> files = inputs_at(argv[i]);
        if (files.empty()) {
            std::fprintf(stderr, "no inputs at %s\n", argv[i]);
            return 2;
        }
        for (const std::string& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::fprintf(stderr, "%s\n", file.c_str());
            if (print) {
                print_decoded(bytes);
            } else {
                LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            }
            ++replayed;
        }
    }
    if (!print) std::printf("replayed %zu inputs\n", replayed);
    return replayed == 0 ? 2 : 0;
}
