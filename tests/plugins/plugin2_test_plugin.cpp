// A second-generation test plugin library, compiled against the SDK alone.
// Its PluginFactory serves one root per behaviour, chosen by factory name:
//   Test/Plain/1.0       succeeds in everything; createObject("Thing")
//   Test/Early/1.0       calls setAvailableAfterInit in init
//   Test/FailStart/1.0   start returns 5 the first time, 0 afterwards
//   Test/InitCode/1.0    init returns 87
//   Test/ThrowInit/1.0   init throws std::runtime_error
//   Test/OtherName/1.0   the root's type name is "Test/Different/1.0"
//   Test/BlockStart/1.0  start waits until plugin2TestOpenGate()
//   Test/BlockCreate/1.0 available after init; createObject("Block") waits
//                        until plugin2TestOpenGate()
//   Test/FaultInit/1.0   init writes through a null pointer
//   Test/FaultCreate/1.0 available after init; createObject writes through a
//                        null pointer
//   anything else        null
// Every call is recorded as "<root>:<call>" in a journal that the test reads
// through the exported plugin2Test* functions (the library is loaded once per
// process, so a test opening it by path shares the manager's copy).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "hlmplg/plugin2.h"

namespace {

std::mutex lock;
std::condition_variable changed;
std::string journal;    // guarded by lock
bool gateOpen = false;  // guarded by lock
int failedStarts = 0;   // guarded by lock

void record(const std::string& entry) {
    {
        std::lock_guard hold(lock);
        journal += entry + ";";
    }
    changed.notify_all();
}

// A processor fault the compiler cannot see coming.
void fault() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

void waitForGate() {
    std::unique_lock hold(lock);
    changed.wait(hold, [] { return gateOpen; });
}

class Thing final : public HlmPlg::RefCounted<HlmPlg::IPluginObject2> {
  public:
    explicit Thing(std::string owner) : owner_(std::move(owner)) {}
    const char* getTypeName() override { return "Thing"; }

  private:
    ~Thing() override { record(owner_ + ":~Thing"); }
    std::string owner_;
};

class Root final : public HlmPlg::RefCounted<HlmPlg::IHolmPlugin2> {
  public:
    explicit Root(std::string name) : name_(std::move(name)), short_(shortName(name_)) {}

    const char* getTypeName() override {
        return short_ == "OtherName" ? "Test/Different/1.0" : name_.c_str();
    }
    uint32_t init(HlmPlg::IPluginManager2* manager) override {
        record(short_ + ":init");
        if (short_ == "ThrowInit") {
            throw std::runtime_error("init refused");
        }
        if (short_ == "InitCode") {
            return 87;
        }
        if (short_ == "FaultInit") {
            fault();
        }
        if (short_ == "Early" || short_ == "BlockCreate" || short_ == "FaultCreate") {
            manager->setAvailableAfterInit();
        }
        return 0;
    }
    void uninit() override { record(short_ + ":uninit"); }
    uint32_t start() override {
        record(short_ + ":start");
        if (short_ == "BlockStart") {
            waitForGate();
            record(short_ + ":started");
        }
        if (short_ == "FailStart") {
            std::lock_guard hold(lock);
            if (failedStarts++ == 0) {
                return 5;
            }
        }
        return 0;
    }
    void stop() override { record(short_ + ":stop"); }
    void onStarted() override { record(short_ + ":onStarted"); }
    HlmPlg::IPluginObject2* createObject(const char* typeName) override {
        const std::string type = typeName;
        record(short_ + ":createObject:" + type);
        if (short_ == "FaultCreate") {
            fault();
        }
        if (type == "Block") {
            waitForGate();
            record(short_ + ":created:" + type);
            return new Thing(short_);
        }
        return type == "Thing" ? new Thing(short_) : nullptr;
    }

  private:
    ~Root() override { record(short_ + ":~Root"); }

    static std::string shortName(const std::string& name) {
        const auto first = name.find('/');
        const auto second = name.find('/', first + 1);
        return first == std::string::npos || second == std::string::npos
                   ? name
                   : name.substr(first + 1, second - first - 1);
    }

    std::string name_;
    std::string short_;
};

bool known(const std::string& name) {
    for (const char* served :
         {"Test/Plain/1.0", "Test/Early/1.0", "Test/FailStart/1.0", "Test/InitCode/1.0",
          "Test/ThrowInit/1.0", "Test/OtherName/1.0", "Test/BlockStart/1.0", "Test/BlockCreate/1.0",
          "Test/FaultInit/1.0", "Test/FaultCreate/1.0"}) {
        if (name == served) {
            return true;
        }
    }
    return false;
}

}  // namespace

HLMPLG_PLUGIN_FACTORY {
    const std::string name = factoryName != nullptr ? factoryName : "";
    return known(name) ? new Root(name) : nullptr;
}

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

// Clears the journal and closes the gate.
TEST_EXPORT void plugin2TestReset() {
    std::lock_guard hold(lock);
    journal.clear();
    gateOpen = false;
    failedStarts = 0;
}

// Lets every blocked call go on.
TEST_EXPORT void plugin2TestOpenGate() {
    {
        std::lock_guard hold(lock);
        gateOpen = true;
    }
    changed.notify_all();
}

// Copies the journal (cut to `size` - 1 bytes, always terminated).
TEST_EXPORT void plugin2TestJournal(char* buffer, size_t size) {
    std::lock_guard hold(lock);
    const size_t length = std::min(size - 1, journal.size());
    std::memcpy(buffer, journal.data(), length);
    buffer[length] = '\0';
}

// Waits at most `milliseconds` until the journal holds `entry`.
TEST_EXPORT bool plugin2TestWaitFor(const char* entry, int milliseconds) {
    std::unique_lock hold(lock);
    const std::string wanted = std::string(entry) + ";";
    return changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                            [&] { return journal.find(wanted) != std::string::npos; });
}
