// Feeds arbitrary bytes to the decoders of the registry store's value files
// and key metadata files, which are read from disk and may have been edited
// by hand. A record that decodes must encode back to the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "registry/registry_format.h"

namespace format = holm::registry::format;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    std::u16string name;
    holm::registry::Value value;
    if (format::decodeValueFile(bytes, name, value)) {
        const auto encoded = format::encodeValueFile(name, value);
        if (!std::equal(encoded.begin(), encoded.end(), bytes.begin(), bytes.end())) {
            std::abort();
        }
    }
    if (const auto header = format::decodeValueHeader(bytes, size)) {
        format::decodeValueName(bytes, *header);
    }
    if (const auto keyName = format::decodeKeyMetadata(bytes)) {
        const auto encoded = format::encodeKeyMetadata(*keyName);
        if (!std::equal(encoded.begin(), encoded.end(), bytes.begin(), bytes.end())) {
            std::abort();
        }
    }
    // Names from disk never give an on-disk name that leaves the directory.
    if (const auto text =
            format::toUtf16(std::string_view(reinterpret_cast<const char*>(data), size))) {
        const auto onDisk = format::diskName('v', *text);
        if (onDisk.find('/') != std::string::npos || onDisk.size() > 200) {
            std::abort();
        }
    }
    return 0;
}
