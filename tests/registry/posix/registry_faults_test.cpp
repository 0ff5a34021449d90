// A value write that fails at any step reports the failure and leaves the
// value as it was; one that is interrupted or cut short finishes it.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>

#include "registry/registry.h"
#include "registry/registry_fixture.h"
#include "support/io_faults.h"

namespace holm::registry::test {
namespace {

namespace fs = std::filesystem;

class RegistryFaultTest : public RegistryTest {
  protected:
    void SetUp() override {
        RegistryTest::SetUp();
        key_ = createKey(u"SOFTWARE\\Faults");
        ASSERT_EQ(errorOf(key_.setValue(u"Setting", makeString(u"old value"))), kErrorSuccess);
    }

    Value stored() const {
        Value value;
        EXPECT_EQ(assign(key_.queryValue(u"Setting"), value), kErrorSuccess);
        return value;
    }

    bool temporaryFilesLeft() const { return !fs::is_empty(storeDir() / ".tmp"); }

    Key key_;
    const Value newValue_ = makeString(std::u16string(5000, u'n'));
};

struct FailedStep {
    const char* name;
    void (*arm)(holm::test::InjectedFaults&);
    uint32_t expected;
    friend void PrintTo(const FailedStep& step, std::ostream* out) { *out << step.name; }
};

class RegistryFailedWriteTest : public RegistryFaultTest,
                                public ::testing::WithParamInterface<FailedStep> {};

TEST_P(RegistryFailedWriteTest, ReportsTheErrorAndKeepsTheOldValue) {
    {
        holm::test::InjectedFaults faults;
        GetParam().arm(faults);
        EXPECT_EQ(errorOf(key_.setValue(u"Setting", newValue_)), GetParam().expected);
    }
    EXPECT_EQ(stored(), makeString(u"old value"));
    EXPECT_FALSE(temporaryFilesLeft());
    // The store is not left in a state that blocks the next write.
    EXPECT_EQ(errorOf(key_.setValue(u"Setting", newValue_)), kErrorSuccess);
    EXPECT_EQ(stored(), newValue_);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, RegistryFailedWriteTest,
    ::testing::Values(
        // The flush before the rename: without it a crash could leave the
        // new name pointing at data never written.
        FailedStep{"FlushFails", [](auto& f) { f.failFsync(EIO); }, platform::WinError::kIoDevice},
        FailedStep{"DiskFull", [](auto& f) { f.failWrite(ENOSPC); }, platform::WinError::kDiskFull},
        FailedStep{"DiskFullAfterAPart",
                   [](auto& f) {
                       f.limitWrites(1000);
                       f.failWrite(ENOSPC, 2);
                   },
                   platform::WinError::kDiskFull},
        FailedStep{"RenameFails", [](auto& f) { f.failRename(EIO); },
                   platform::WinError::kIoDevice},
        FailedStep{"TemporaryCannotBeCreated", [](auto& f) { f.failOpen(EMFILE, "v-"); },
                   platform::WinError::kTooManyOpenFiles},
        FailedStep{"LockCannotBeOpened", [](auto& f) { f.failOpen(EACCES, ".lock"); },
                   platform::WinError::kAccessDenied}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryFaultTest, InterruptedAndShortWritesStillWriteEverything) {
    holm::test::InjectedFaults faults;
    faults.interruptEveryCall();
    faults.limitWrites(7);
    ASSERT_EQ(errorOf(key_.setValue(u"Setting", newValue_)), kErrorSuccess);
    EXPECT_GT(faults.writesDone(), 1000);
    EXPECT_EQ(stored(), newValue_);
    Key sub;
    EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Sub"), sub),
              kErrorSuccess);
}

TEST_F(RegistryFaultTest, AFailedReadIsReportedNotTakenForACorruptValue) {
    Value value;
    {
        holm::test::InjectedFaults faults;
        faults.failRead(EIO);
        EXPECT_EQ(assign(key_.queryValue(u"Setting"), value), platform::WinError::kIoDevice);
    }
    {
        holm::test::InjectedFaults faults;
        faults.failOpen(EMFILE, "v.");
        EXPECT_EQ(assign(key_.queryValue(u"Setting"), value),
                  platform::WinError::kTooManyOpenFiles);
    }
    EXPECT_EQ(stored(), makeString(u"old value"));
}

TEST_F(RegistryFaultTest, AFailedKeyCreationLeavesNoKeyBehind) {
    {
        holm::test::InjectedFaults faults;
        faults.failFsync(EIO);
        Key sub;
        EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Sub"), sub),
                  platform::WinError::kIoDevice);
    }
    Key sub;
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Sub"), sub),
              kErrorFileNotFound);
    EXPECT_FALSE(temporaryFilesLeft());
}

// Directory creation and removal reach the system through the same table: a
// key that cannot be made is reported and leaves nothing, a value or key that
// cannot be removed is reported and stays whole.
TEST_F(RegistryFaultTest, FailedDirectoryCreationAndRemovalAreReportedAndChangeNothing) {
    Key sub;
    {
        holm::test::InjectedFaults faults;
        faults.failMakeDirectory(ENOSPC);
        EXPECT_EQ(assign(Key::create(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\New"), sub),
                  platform::WinError::kDiskFull);
    }
    EXPECT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\New"), sub),
              kErrorFileNotFound);
    EXPECT_FALSE(temporaryFilesLeft());
    {
        holm::test::InjectedFaults faults;
        faults.failRemove(EIO);
        EXPECT_EQ(errorOf(key_.deleteValue(u"Setting")), platform::WinError::kIoDevice);
    }
    EXPECT_EQ(stored(), makeString(u"old value"));

    ASSERT_EQ(assign(Key::create(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Doomed"), sub),
              kErrorSuccess);
    ASSERT_EQ(errorOf(sub.setValue(u"Kept", makeDword(7))), kErrorSuccess);
    {
        holm::test::InjectedFaults faults;
        faults.failRename(EIO);
        EXPECT_EQ(errorOf(deleteKeyTree(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Doomed")),
                  platform::WinError::kIoDevice);
    }
    {
        // Opening the store is reached too.
        holm::test::InjectedFaults faults;
        faults.failOpen(EMFILE, storeDir().string());
        Store again;
        EXPECT_EQ(assign(Store::open(storeDir()), again), platform::WinError::kTooManyOpenFiles);
    }
    Key doomed;
    ASSERT_EQ(assign(Key::open(store_, Root::LocalMachine, u"SOFTWARE\\Faults\\Doomed"), doomed),
              kErrorSuccess);
    Value kept;
    EXPECT_EQ(assign(doomed.queryValue(u"Kept"), kept), kErrorSuccess);
    EXPECT_EQ(kept, makeDword(7));
}

}  // namespace
}  // namespace holm::registry::test
