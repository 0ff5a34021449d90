#include "core/support/boundary_runs.h"

#include <fstream>
#include <memory>
#include <thread>

#include "common/utf16.h"
#include "platform/spawn.h"
#include "support/test_support.h"

namespace holm::test {

std::string boundaryPluginList(const std::string& params, const std::string& hostile) {
    return "@XMLFILE:name=p1;file=" + plugin("ok") +
           ";params=name=p1|name=p2;file=" + (hostile.empty() ? plugin("hostile") : hostile) +
           ";params=name=p2," + params;
}

BoundaryRun driveBoundaryCore(const std::string& params, const std::string& hostile) {
    const auto entry = coreEntry();
    const std::u16string list = common::utf8ToUtf16(boundaryPluginList(params, hostile));
    RecordingHandler host;
    BoundaryRun result;
    std::thread driver([&] {
        std::unique_ptr<HlmPlg::IHlmCore> core(entry(list.c_str(), &host, nullptr));
        ASSERT_NE(core, nullptr);
        const char16_t* arguments[] = {u"avholm", u"/test=all=x"};
        core->setCommandLine(2, arguments);
        result.runCode = core->run(false);
        core->handleCmdLine();
        std::thread control([&] { core->serviceControl(1, 0, nullptr); });
        control.join();
        result.stopCode = core->stop();
    });
    driver.join();
    result.log = host.logLines();
    return result;
}

std::vector<std::string> boundaryLines(const std::string& file) {
    std::vector<std::string> lines;
    std::ifstream in(pathOfUtf8(file));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

BoundaryOutcome runBoundaryHost(const std::vector<std::string>& arguments) {
    TempDir directory;
    const std::string base = utf8(directory.path());
    const std::string record = base + "/calls.txt";
    std::vector<std::string> command{HOLM_AVHOLM_PROGRAM, "--run-for", "0"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto result = platform::runProcess(
        command,
        {"HOLM_DATA_DIR=" + base + "/", "HOLM_REGISTRY_DIR=" + base + "/registry",
         "HOLM_TEST_PLUGIN_LOG=" + record, kBoundarySanitizerOptions},
        kBoundaryDeadline);
    return {result.exitCode, result.output, boundaryLines(record)};
}

}  // namespace holm::test
