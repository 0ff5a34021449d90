// Random blocks into CDataListImpl::deserialize: the first byte picks the
// element size (0 to 31), the rest is the block; serialized output must
// round-trip.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "containers/data_list.h"
#include "fuzz/list_fuzz_support.h"

using holm::containers::CDataListImpl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > INT32_MAX) {
        return 0;
    }
    const uint32_t elementSize = data[0] % 32;
    holm::fuzz::checkRoundTrip(data + 1, size - 1, [elementSize] {
        auto list = std::make_unique<CDataListImpl>();
        list->setElementSize(elementSize);
        return list;
    });
    return 0;
}
