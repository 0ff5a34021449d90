// Random blocks into CStringListImpl::deserialize; serialized output must round-trip.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "containers/string_list.h"
#include "fuzz/list_fuzz_support.h"

using holm::containers::CStringListImpl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT32_MAX) {
        return 0;
    }
    holm::fuzz::checkRoundTrip(data, size, [] { return std::make_unique<CStringListImpl>(); });
    return 0;
}
