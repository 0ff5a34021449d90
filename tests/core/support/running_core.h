// A running core over an empty plugin list, as the suites that reach the
// core's service objects the way a plugin does use it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "core/support/host_harness.h"
#include "hlmplg/hlmplg.h"
#include "support/test_support.h"

namespace holm::test {

// Sets an environment variable for one scope and puts back what was there.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setEnvironment(name, value.c_str());
    }
    ~ScopedVariable() { setEnvironment(name_, old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class ServicesThroughCore : public ::testing::Test {
  protected:
    void SetUp() override {
        core_.reset(coreEntry()(u"@XMLFILE:", &host_, nullptr));
        ASSERT_NE(core_, nullptr);
        ASSERT_EQ(core_->run(false), 0u);
    }

    // The core's object of `id` as a T, or null (what is not a T goes back).
    template <typename T>
    T* create(int32_t id) {
        HlmPlg::IInterface* object = core_->createInterface(id);
        auto* typed = dynamic_cast<T*>(object);
        if (typed == nullptr && object != nullptr) {
            core_->releaseInterface(id, object);
        }
        return typed;
    }

    RecordingHandler host_;
    CorePtr core_;
    TempDir dir_;
};

}  // namespace holm::test
