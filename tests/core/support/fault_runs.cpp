#include "core/support/fault_runs.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "common/utf16.h"
#include "core/support/host_harness.h"
#include "hlmplg/fault_record.h"

namespace holm::test {

namespace {

// Collects what the service handlers hear; the exception and its record live
// only for the report, so the facts are copied out.
class FaultRecorder : public HlmPlg::IServiceHandler {
  public:
    void onException(const char16_t* place, uint32_t, std::exception& exception) override {
        std::ostringstream line;
        line << "REPORT " << common::utf16ToUtf8(place);
        if (auto* fault = dynamic_cast<HlmPlg::CHlmWin32Exception*>(&exception)) {
            const HlmPlg::FaultRecord* record = fault->getExceptionPointers();
            line << ' ' << common::utf16ToUtf8(fault->getCodeName());
            if (record != nullptr) {
                line << " address=" << std::hex << record->address << " frames=" << std::dec
                     << record->backtraceCount;
            }
        }
        lines.push_back(line.str());
    }
    std::vector<std::string> lines;
};

}  // namespace

std::string driveFaultCase(const std::string& plugin2, const std::string& fault,
                           const std::string& mode) {
    const auto entry = coreEntry();
    // With mode "bridge" the core library is loaded as the legacy bridge
    // first, as a product list has it.
    const std::string bridge =
        mode == "bridge" ? std::string("name=bridge;file=") + HOLM_CORE_LIBRARY + ";params=|" : "";
    const std::u16string list =
        common::utf8ToUtf16("@XMLFILE:" + bridge + "name=p1;file=" + plugin("faulting") +
                            ";params=p1,none|name=p2;file=" + plugin2 + ";params=p2," + fault);
    RecordingHandler host;
    FaultRecorder recorder;
    uint32_t runCode = 0;
    uint32_t stopCode = 0;
    std::thread driver([&] {
        std::unique_ptr<HlmPlg::IHlmCore> core(entry(list.c_str(), &host, nullptr));
        ASSERT_NE(core, nullptr);
        if (mode == "seh") {
            const char16_t* arguments[] = {u"avholm", u"/seh"};
            core->setCommandLine(2, arguments);
        }
        core->registerServiceHandler(&recorder);
        runCode = core->run(false);
        stopCode = core->stop();
    });
    driver.join();

    std::string output;
    for (const auto& line : recorder.lines) {
        output += line + "\n";
    }
    for (const auto& line : host.logLines()) {
        output += "LOG " + common::utf16ToUtf8(line) + "\n";
    }
    output += "RUN " + std::to_string(runCode) + " STOP " + std::to_string(stopCode) + " EXIT " +
              std::to_string(host.exitCode.load()) + " STOPREQUESTS " +
              std::to_string(host.stopRequests.load()) + "\n";
    return output;
}

std::string faultCaseName(const ::testing::TestParamInfo<Faults::ParamType>& info) {
    return "lib" + std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).fault;
}

}  // namespace holm::test
