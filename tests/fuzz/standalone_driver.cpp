// Drives a libFuzzer entry point without libFuzzer: replays every file named
// on the command line, then a fixed number of pseudo-random inputs built from
// a seed-independent generator, so that runs are reproducible. Used by the
// ordinary builds to keep every fuzz target compiling and crash-free on a
// quick smoke run; the real fuzzing happens in the clang 'fuzz' preset.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Inputs are biased towards printable ASCII and the bytes that matter to the
// parsers (%, !, digits, '<', '&', 0x00, 0xFF) so that short runs reach deep.
std::vector<uint8_t> randomInput(std::mt19937& rng) {
    static constexpr uint8_t kInteresting[] = {'%', '!', '1', '9', '*',  '.',  '-',  '<', '>',
                                               '&', '"', '=', '/', 0x00, 0xFF, 0xD8, 0xDC};
    std::uniform_int_distribution<int> lengthDist(0, 256);
    std::uniform_int_distribution<int> kindDist(0, 3);
    std::uniform_int_distribution<int> byteDist(0, 255);
    std::uniform_int_distribution<int> pickDist(0, sizeof(kInteresting) - 1);
    std::vector<uint8_t> input(static_cast<size_t>(lengthDist(rng)));
    for (auto& byte : input) {
        switch (kindDist(rng)) {
            case 0:
                byte = kInteresting[pickDist(rng)];
                break;
            case 1:
                byte = static_cast<uint8_t>(byteDist(rng));
                break;
            default:
                byte = static_cast<uint8_t>(' ' + byteDist(rng) % 95);
                break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        auto input = readFile(argv[i]);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    const char* iterationsText = std::getenv("HOLM_FUZZ_ITERATIONS");
    const long iterations = iterationsText ? std::strtol(iterationsText, nullptr, 10) : 20000;
    std::mt19937 rng(12345);
    for (long i = 0; i < iterations; ++i) {
        auto input = randomInput(rng);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    return 0;
}
