// Windows runs each fault case in this process, where the fault guard
// contains the fault. The core marks a library in which a fault was raised
// for the rest of the process, so each case loads a signed copy of its
// faulting plugin of its own (see win/boundary_runs.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <vector>

#include "core/support/fault_runs.h"
#include "core/support/host_harness.h"
#include "support/signing_support.h"
#include "support/test_support.h"

namespace holm::test {

FaultOutcome runFaultCase(const std::string& faultCase, const std::string& extraEnvironment) {
    static std::atomic<int> copies{0};
    std::vector<std::string> parts;
    std::istringstream in(faultCase);
    for (std::string part; std::getline(in, part, ',');) {
        parts.push_back(part);
    }
    EXPECT_EQ(parts.size(), 3u);
    EXPECT_TRUE(parts.at(2) == "catch" || parts.at(2) == "bridge")
        << "a fault left to the system would end the test program";
    TempDir directory;
    const std::string copy = utf8(directory.path()) + "/lib" + parts[0] + "_" +
                             std::to_string(++copies) + HOLM_TEST_PLUGIN_SUFFIX;
    std::filesystem::copy_file(pathOfUtf8(plugin(parts[0])), pathOfUtf8(copy));
    signFileWith(pathOfUtf8(copy), productSigningKey());

    const size_t equals = extraEnvironment.find('=');
    const std::string name = extraEnvironment.substr(0, equals);
    if (!extraEnvironment.empty()) {
        setEnvironment(name.c_str(), extraEnvironment.substr(equals + 1));
    }
    const std::string output = driveFaultCase(copy, parts[1], parts[2]);
    if (!extraEnvironment.empty()) {
        unsetEnvironment(name.c_str());
    }
    return {0, output, true};
}

}  // namespace holm::test
