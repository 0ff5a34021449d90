// A stand-in for the core library that the host tests load. It records every
// call as a line in the file named by HOLM_FAKE_CORE_RECORD, and its
// behaviour is steered by the inline plugin list "@XMLFILE:<word>;<word>...":
//   fail=N      report setServiceStatus(1, N, 5000) and return null
//   failsilent  return null without a report
//   run=N       run returns N
//   stopself    during run, a thread of its own calls requestStop
//   exitcode=N  that thread calls setExitCode(N) first
//   takecmd=N   handleCmdLine sets the exit code N and returns true (a
//               plugin handled a one-shot command)
//   hangrun     run logs "FakeCore: running" and never returns (a plugin
//               whose start hangs)
//   hangstop    stop logs "FakeCore: stopping" and never returns
//   hangreload  reloadConfig logs "FakeCore: reloaded" and never returns
//   logcontrol  run also logs a source and a text with newlines and an escape
// run logs "FakeCore: running" and reloadConfig "FakeCore: reloaded" through
// the host, so that tests can wait for them in the host's output.
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "hlmplg/core.h"

namespace {

std::mutex recordLock;

void record(const std::string& line) {
    const char* file = std::getenv("HOLM_FAKE_CORE_RECORD");
    if (file == nullptr) {
        return;
    }
    std::lock_guard lock(recordLock);
    std::ofstream(file, std::ios::app) << line << "\n";
}

// The tests use ASCII only.
std::string narrow(const char16_t* text) {
    std::string result;
    for (; text && *text; ++text) {
        result += static_cast<char>(*text);
    }
    return result;
}

// The value of "<name>=N" in the list's words, or -1.
long wordValue(const std::string& list, const std::string& name) {
    const auto at = list.find(name + "=");
    return at == std::string::npos ? -1
                                   : std::strtol(list.c_str() + at + name.size() + 1, nullptr, 10);
}

class FakeCore final : public HlmPlg::IHlmCore {
  public:
    FakeCore(std::string list, HlmPlg::IHlmCoreHandler* handler)
        : list_(std::move(list)), handler_(handler) {}
    ~FakeCore() override {
        join();
        record("destroyed");
    }

    uint32_t getVersion() override { return HlmPlg::kFrameworkVersion; }
    HlmPlg::IInterface* createInterface(int32_t) override { return nullptr; }
    void releaseInterface(int32_t, HlmPlg::IInterface*) override {}
    bool handleCmdLine() override {
        record("handleCmdLine");
        const long code = wordValue(list_, "takecmd");
        if (code < 0) {
            return false;
        }
        handler_->setExitCode(static_cast<uint32_t>(code));
        return true;
    }
    uint32_t run(bool quick) override {
        record(std::string("run quick=") + (quick ? "1" : "0"));
        handler_->log(1, u"FakeCore", u"running");
        if (list_.find("logcontrol") != std::string::npos) {
            handler_->log(0, u"FakeCore\nCore",
                          u"forged\n2026-01-01 00:00:00.000 NOTICE Core: \x1b[2Jall well");
        }
        if (list_.find("stopself") != std::string::npos) {
            const long code = wordValue(list_, "exitcode");
            stopper_ = std::thread([this, code] {
                if (code >= 0) {
                    handler_->setExitCode(static_cast<uint32_t>(code));
                }
                handler_->requestStop();
            });
        }
        if (list_.find("hangrun") != std::string::npos) {
            hangForever();
        }
        const long code = wordValue(list_, "run");
        return code < 0 ? 0 : static_cast<uint32_t>(code);
    }
    uint32_t stop() override {
        join();
        record("stop");
        if (list_.find("hangstop") != std::string::npos) {
            handler_->log(1, u"FakeCore", u"stopping");
            hangForever();
        }
        return 0;
    }
    const char16_t* getListAttribute(const char16_t*, const char16_t* defaultValue) override {
        return defaultValue;
    }
    void setCommandLine(int32_t count, const char16_t* const* arguments) override {
        std::string line = "setCommandLine " + std::to_string(count);
        for (int32_t i = 0; i < count; ++i) {
            line += (i == 0 ? " " : "|") + narrow(arguments[i]);
        }
        record(line);
    }
    void registerServiceHandler(HlmPlg::IServiceHandler*) override {}
    void serviceControl(uint32_t, uint32_t, void*) override {}
    void reloadConfig() override {
        record("reloadConfig");
        handler_->log(1, u"FakeCore", u"reloaded");
        if (list_.find("hangreload") != std::string::npos) {
            hangForever();
        }
    }

  private:
    // Like a plugin whose stop waits for something that never happens.
    static void hangForever() {
        std::mutex lock;
        std::condition_variable never;
        std::unique_lock guard(lock);
        never.wait(guard, [] { return false; });
    }

    void join() {
        if (stopper_.joinable()) {
            stopper_.join();
        }
    }

    std::string list_;
    HlmPlg::IHlmCoreHandler* handler_;
    std::thread stopper_;
};

}  // namespace

#ifndef HOLM_FAKE_CORE_WITHOUT_ENTRY
extern "C" HLMPLG_API HlmPlg::IHlmCore* getHlmCore(const char16_t* pluginList,
                                                   HlmPlg::IHlmCoreHandler* handler,
                                                   const char16_t* sharedName) {
    const std::string list = narrow(pluginList);
    record("getHlmCore " + list + " shared=" + (sharedName ? narrow(sharedName) : "(null)"));
    if (const long code = wordValue(list, "fail"); code >= 0) {
        handler->setServiceStatus(HlmPlg::SERVICE_STATE_STOPPED, static_cast<uint32_t>(code), 5000);
        return nullptr;
    }
    if (list.find("failsilent") != std::string::npos) {
        return nullptr;
    }
    return new FakeCore(list, handler);
}
#else
// Keeps the class in the library so that only the entry point is missing.
extern "C" HLMPLG_API void* holmFakeCoreWithoutEntry() {
    return nullptr;
}
#endif
