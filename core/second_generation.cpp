#include "core/second_generation.h"

#include <atomic>

namespace holm::core {
namespace {

std::atomic<SecondGenerationSource> registeredSource{nullptr};

}  // namespace

void setSecondGenerationSource(SecondGenerationSource source) {
    registeredSource.store(source);
}

SecondGenerationRef obtainSecondGeneration() {
    const SecondGenerationSource source = registeredSource.load();
    return SecondGenerationRef(source != nullptr ? source() : nullptr);
}

}  // namespace holm::core
