// Random blocks into CSerializableListImpl::deserialize; serialized output must round-trip. Each
// input is also replayed as a block of well-formed records.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "containers/serializable_list.h"
#include "fuzz/list_fuzz_support.h"

using holm::containers::CSerializableListImpl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > INT32_MAX) {
        return 0;
    }
    const auto make = [] { return std::make_unique<CSerializableListImpl>(); };
    holm::fuzz::checkRoundTrip(data, size, make);
    const auto records = holm::fuzz::asRecords(data, size);
    if (records.size() <= INT32_MAX) {
        holm::fuzz::checkRoundTrip(records.data(), records.size(), make);
    }
    return 0;
}
