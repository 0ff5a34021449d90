#include "services/wow64_fs_redir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using holm::services::CWow64FSRedir;

using holm::services::RedirectionBinder;
using holm::services::RedirectionFunctions;
using holm::services::RedirectionLibrary;

// What the fake system functions saw, shared by the fakes below.
struct Calls {
    std::vector<void*> reverted;
    std::vector<uint8_t> enabled;
    int disabled = 0;
    int loads = 0;
    int unloads = 0;
    std::u16string directory;
};
Calls* calls = nullptr;

int32_t fakeDisable(void** saved) {
    *saved = reinterpret_cast<void*>(static_cast<uintptr_t>(++calls->disabled));
    return 1;
}
uint8_t fakeEnable(uint8_t enable) {
    calls->enabled.push_back(enable);
    return 1;
}
int32_t fakeRevert(void* saved) {
    calls->reverted.push_back(saved);
    return 1;
}

class FakeLibrary : public RedirectionLibrary {
  public:
    explicit FakeLibrary(RedirectionFunctions functions) : functions_(functions) {}
    ~FakeLibrary() override { ++calls->unloads; }
    RedirectionFunctions functions() const override { return functions_; }

  private:
    RedirectionFunctions functions_;
};

// Fails the first `failures` loads, then loads a library with `functions`.
class FakeBinder : public RedirectionBinder {
  public:
    FakeBinder(RedirectionFunctions functions, int failures)
        : functions_(functions), failures_(failures) {}
    std::unique_ptr<RedirectionLibrary> load(const std::u16string& directory) override {
        calls->directory = directory;
        if (++calls->loads <= failures_) {
            return nullptr;
        }
        return std::make_unique<FakeLibrary>(functions_);
    }

  private:
    RedirectionFunctions functions_;
    int failures_;
};

class Wow64FSRedirTest : public ::testing::Test {
  protected:
    void SetUp() override { calls = &calls_; }
    void TearDown() override { calls = nullptr; }

    CWow64FSRedir make(RedirectionFunctions functions, int failures = 0) {
        return CWow64FSRedir(u"/sys/dir/", std::make_unique<FakeBinder>(functions, failures));
    }

    Calls calls_;
    const RedirectionFunctions all_{fakeDisable, fakeEnable, fakeRevert};
};

TEST(Wow64FSRedir, ThisPlatformHasNoRedirection) {
    CWow64FSRedir redirection(u"/usr/lib/",
                              std::make_unique<holm::services::NullRedirectionBinder>());
    EXPECT_FALSE(redirection.disableRedirection());
    EXPECT_FALSE(redirection.revertRedirection());
    EXPECT_FALSE(redirection.enableRedirection());
    CWow64FSRedir unbound(u"/usr/lib/", nullptr);
    EXPECT_FALSE(unbound.enableRedirection());
}

TEST_F(Wow64FSRedirTest, RevertPassesTheLatestSavedState) {
    auto redirection = make(all_);
    EXPECT_TRUE(redirection.revertRedirection());  // before any disable: null
    EXPECT_TRUE(redirection.disableRedirection());
    EXPECT_TRUE(redirection.disableRedirection());
    EXPECT_TRUE(redirection.revertRedirection());
    EXPECT_TRUE(redirection.enableRedirection());
    EXPECT_EQ(calls_.reverted, (std::vector<void*>{nullptr, reinterpret_cast<void*>(2)}));
    EXPECT_EQ(calls_.enabled, (std::vector<uint8_t>{1}));
    EXPECT_EQ(calls_.loads, 1);
    EXPECT_EQ(calls_.directory, u"/sys/dir/");
}

TEST_F(Wow64FSRedirTest, FailedLoadIsRetriedAtTheNextCall) {
    auto redirection = make(all_, 1);
    EXPECT_FALSE(redirection.disableRedirection());
    EXPECT_TRUE(redirection.disableRedirection());
    EXPECT_EQ(calls_.loads, 2);
}

TEST_F(Wow64FSRedirTest, LibraryWithoutTheFunctionsIsUnloaded) {
    auto redirection = make({});
    EXPECT_FALSE(redirection.enableRedirection());
    EXPECT_EQ(calls_.unloads, 1);
}

TEST_F(Wow64FSRedirTest, PartlyBoundLibraryAnswersFalseForTheMissingFunctions) {
    {
        auto redirection = make({nullptr, fakeEnable, nullptr});
        EXPECT_FALSE(redirection.disableRedirection());
        EXPECT_FALSE(redirection.revertRedirection());
        EXPECT_TRUE(redirection.enableRedirection());
        EXPECT_EQ(calls_.loads, 1);
        EXPECT_EQ(calls_.unloads, 0);
    }
    EXPECT_EQ(calls_.unloads, 1);  // unloaded with the object
}

}  // namespace
