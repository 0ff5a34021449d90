// Random signature files through the parser: never a crash or a read outside
// the input, and whatever parses formats back to the very same text.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "security/signature_file.h"
#include "security/trust_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace holm::security;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto parsed = parseSignatureFile(text);
    if (!parsed) {
        const Reason refusal = parsed.error();
        if (refusal != Reason::BadSignatureFormat && refusal != Reason::SignatureTooLarge &&
            refusal != Reason::UnsupportedSignatureVersion) {
            std::abort();
        }
        return 0;
    }
    if (formatSignatureFile(*parsed) != text) {
        std::abort();
    }
    TrustStore trust;
    trust.add(productKey(), KeyRole::Product);
    const Reason verdict = trust.check(*parsed, FileRole::Product);
    if (verdict == Reason::Verified && parsed->keyId != productKey().id()) {
        std::abort();
    }
    return 0;
}
