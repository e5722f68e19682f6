// Runs the fuzz target over pseudo-random inputs, so that every build and
// every test run (sanitizers, 32-bit, PowerPC) goes through its sequences.
#include <stdint.h>

#include <algorithm>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern int g_rollUpsPerInput;

int main() {
    LLVMFuzzerInitialize(nullptr, nullptr);
    g_rollUpsPerInput = 200;  // enough to fill minutes
    std::mt19937 random(1);
    for (int input = 0; input < 300; ++input) {
        std::vector<uint8_t> bytes(random() % 300);
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<uint8_t>(random()); });
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
}
