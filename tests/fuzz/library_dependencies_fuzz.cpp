// Random library images through the dependency rule's ELF reader: a verdict
// every time, never a crash or a read outside the image. The identification
// bytes are forced to those of a 64-bit little-endian ELF file, so that
// random input gets past the first check.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/library_dependencies.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::byte> image(size);
    if (size > 0) {
        std::memcpy(image.data(), data, size);
    }
    constexpr unsigned char kIdentification[] = {0x7f, 'E', 'L', 'F', 2, 1};
    for (size_t i = 0; i < sizeof kIdentification && i < image.size(); ++i) {
        image[i] = std::byte{kIdentification[i]};
    }
    (void)holm::security::dependencyRefusal(std::span<const std::byte>(image));
    return 0;
}
