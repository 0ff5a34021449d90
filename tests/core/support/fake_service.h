// A service object (id 10) for tests that drive plugin objects or the facade
// without the core: it records what is handed to it and does nothing else.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "hlmplg/hlmplg.h"

namespace holm::test {

class FakeService : public HlmPlg::IService {
  public:
    struct Report {
        std::u16string place;
        uint32_t value;
        std::string what;
    };
    struct Broadcast {
        std::u16string text;
        uint32_t level;
        bool operator==(const Broadcast&) const = default;
    };

    bool registerHandler(HlmPlg::IHandler* handler) override {
        handlers.push_back(handler);
        return true;
    }
    bool unregisterHandler(HlmPlg::IHandler* handler) override {
        return std::erase(handlers, handler) > 0;
    }
    int32_t reportException(const char16_t* place, uint32_t value,
                            std::exception& exception) override {
        reports.push_back({place, value, exception.what()});
        return 1;
    }
    int32_t reportStructuredException(const char16_t*, uint32_t,
                                      const HlmPlg::FaultRecord*) override {
        return 1;
    }
    void broadcastMessage(const char16_t* text, uint32_t level) override {
        broadcasts.push_back({text, level});
    }
    void reportStartPending(uint32_t) override {}
    void reportStopPending(uint32_t) override {}
    void stopService(uint32_t) override {}
    bool checkFile(const char16_t*) override { return true; }
    bool selftestFile(const char16_t*) override { return true; }
    bool catchExceptions() override { return catching; }
    uint32_t trimWorkingSet() override { return 0; }
    void* registerDeviceNotification(void*, bool) override { return nullptr; }
    bool unregisterDeviceNotification(void*) override { return false; }

    // The places of the reported exceptions, in order.
    std::vector<std::u16string> reportedPlaces() const {
        std::vector<std::u16string> places;
        for (const Report& report : reports) {
            places.push_back(report.place);
        }
        return places;
    }
    // The texts broadcast, in order.
    std::vector<std::u16string> broadcastTexts() const {
        std::vector<std::u16string> texts;
        for (const Broadcast& broadcast : broadcasts) {
            texts.push_back(broadcast.text);
        }
        return texts;
    }

    bool catching = true;  // what catchExceptions answers
    std::vector<HlmPlg::IHandler*> handlers;
    std::vector<Report> reports;
    std::vector<Broadcast> broadcasts;
};

}  // namespace holm::test
