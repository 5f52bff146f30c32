// Runs a fuzz target without the fuzzer, over saved inputs and, when asked, over inputs
// made from a fixed seed: the test command replays the seed corpus and runs the target's
// models over many random inputs this way, on every build; a crash found by fuzzing is
// replayed the same way.
//
//   <Target>Replay [--random COUNT SIZE] [FILE_OR_DIRECTORY...]
//
// A random input that fails is written to crash-random-<index> for replaying.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

constexpr uint32_t kSeed = 20240611;

std::vector<uint8_t> sRandomInput;
int sRandomIndex = -1;

// A failed check aborts: keep the input that did it.
void SaveRandomInput(int) {
    const std::string name = "crash-random-" + std::to_string(sRandomIndex);
    if (std::FILE* file = std::fopen(name.c_str(), "wb")) {
        std::fwrite(sRandomInput.data(), 1, sRandomInput.size(), file);
        std::fclose(file);
        std::fprintf(stderr, "random input %d failed; saved as %s\n", sRandomIndex, name.c_str());
    }
    std::_Exit(1);
}

void RunRandom(int count, size_t size) {
    std::signal(SIGABRT, SaveRandomInput);
    for (sRandomIndex = 0; sRandomIndex < count; ++sRandomIndex) {
        std::mt19937 random(kSeed + uint32_t(sRandomIndex));
        sRandomInput.resize(size);
        for (uint8_t& byte : sRandomInput)
            byte = uint8_t(random());
        LLVMFuzzerTestOneInput(sRandomInput.data(), sRandomInput.size());
    }
    std::signal(SIGABRT, SIG_DFL);
    std::fprintf(stderr, "ran %d random inputs of %lu bytes\n", count, (unsigned long)size);
}

int Replay(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                  std::istreambuf_iterator<char>());
    return LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int first = 1, ran = 0;
    if (argc >= 4 && std::string(argv[1]) == "--random") {
        const int count = std::atoi(argv[2]);
        RunRandom(count, size_t(std::atol(argv[3])));
        ran += count;
        first = 4;
    }
    int replayed = 0;
    for (int i = first; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (!entry.is_regular_file()) continue;
                Replay(entry.path());
                ++replayed;
            }
        } else {
            Replay(path);
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %d inputs\n", replayed);
    return replayed + ran > 0 ? 0 : 1;
}
