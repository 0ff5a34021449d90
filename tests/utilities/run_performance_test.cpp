// The performance trace: one line per measurement on the standard error
// stream when HOLM_TRACE_PERFORMANCE=1, nothing otherwise. The switch is read
// once per process, so each case is a child run of this program with the
// switch in its environment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process_info.h"
#include "platform/spawn.h"
#include "utilities/run_performance.h"

namespace Tandro::Utilities {
namespace {

constexpr const char* kLinePrefix = "holm-performance: ";

// The child run: a measurement stopped twice, then one ended by its
// destruction, as the trace switch of its environment says.
TEST(GenericRunPerformanceInChild, Run) {
    if (std::getenv("HOLM_RUN_PERFORMANCE_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only as a child of the performance trace tests";
    }
    std::fflush(stdout);  // the test's own lines stay apart from the trace
    {
        GenericRunPerformance stoppedTwice(u"stopped twice");
        stoppedTwice.Stop();
        stoppedTwice.Stop();
    }
    { GenericRunPerformance destroyed(u"destroyed"); }
    std::fflush(stderr);
}

// The trace lines a child run wrote with the switch set to `setting`, each
// without its prefix; the run must have passed.
std::vector<std::string> traceOfChild(const std::string& setting) {
    const auto result = holm::platform::runProcess(
        {holm::platform::executablePath(), "--gtest_filter=GenericRunPerformanceInChild.Run"},
        {"HOLM_RUN_PERFORMANCE_CHILD=1", "HOLM_TRACE_PERFORMANCE=" + setting},
        std::chrono::seconds(120));
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << result.output;
    std::vector<std::string> lines;
    std::istringstream output(result.output);
    for (std::string line; std::getline(output, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find("holm-performance") != std::string::npos) {
            lines.push_back(line.starts_with(kLinePrefix) ? line.substr(std::strlen(kLinePrefix))
                                                          : "misplaced: " + line);
        }
    }
    return lines;
}

// Whether `line` is "<name>: <digits> us".
bool isMeasurement(const std::string& line, const std::string& name) {
    const std::string head = name + ": ";
    const std::string tail = " us";
    if (!line.starts_with(head) || !line.ends_with(tail) ||
        line.size() == head.size() + tail.size()) {
        return false;
    }
    return std::all_of(line.begin() + static_cast<std::ptrdiff_t>(head.size()),
                       line.end() - static_cast<std::ptrdiff_t>(tail.size()),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

MATCHER_P(Measured, name, std::string("is \"") + name + ": <microseconds> us\"") {
    return isMeasurement(arg, name);
}

TEST(GenericRunPerformanceTest, WritesOneLinePerMeasurementOnlyWhenTraced) {
    EXPECT_THAT(traceOfChild("1"),
                ::testing::ElementsAre(Measured("stopped twice"), Measured("destroyed")));
    // Only "1" turns the trace on.
    EXPECT_THAT(traceOfChild("0"), ::testing::IsEmpty());
    EXPECT_THAT(traceOfChild("yes"), ::testing::IsEmpty());
}

}  // namespace
}  // namespace Tandro::Utilities
