#include "services/crash_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process_info.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace holm::services;

HlmPlg::FaultRecord sampleFault() {
    HlmPlg::FaultRecord fault{};
    fault.code = 0xC0000005;
    fault.signal = 11;
    fault.signalCode = 1;
    fault.address = 0x10;
    // An address inside this program: the report must name the module.
    fault.registers.rip = reinterpret_cast<uint64_t>(&sampleFault);
    fault.registers.r15 = 0xABCDEF;
    fault.backtrace[0] = fault.registers.rip;
    fault.backtrace[1] = 0x1;  // in no module
    fault.backtraceCount = 2;
    return fault;
}

std::vector<std::string> filesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CrashReportName, ProgramBaseNameAndLocalTimeInLowerCase) {
    holm::platform::LocalTime time;
    time.year = 2024;
    time.month = 3;
    time.day = 1;
    time.hour = 9;
    time.minute = 5;
    time.second = 7;
    EXPECT_EQ(crashReportName("/opt/x/host.exe", time), "host_20240301_090507.dmp");
    EXPECT_EQ(crashReportName("/opt/x/AvHolm", time), "avholm_20240301_090507.dmp");
    EXPECT_EQ(crashReportName("plain", time), "plain_20240301_090507.dmp");
}

// The report names the fault and places every code address in its module
// with the offset addr2line takes; an address in no module is marked.
TEST(CrashReportText, HoldsFaultRegistersModulesAndBacktrace) {
    const HlmPlg::FaultRecord fault = sampleFault();
    const CrashContext context = currentCrashContext(u"CPlugin(p2)::start");
    const std::string report = formatCrashReport(fault, context);

    EXPECT_NE(report.find("place: CPlugin(p2)::start\n"), std::string::npos);
    EXPECT_NE(report.find("signal: 11 SIGSEGV  code: 1\n"), std::string::npos);
    EXPECT_NE(report.find("exception: 0xc0000005 ACCESS_VIOLATION\n"), std::string::npos);
    EXPECT_NE(report.find("address: 0x0000000000000010\n"), std::string::npos);
    EXPECT_NE(report.find("r15    0x0000000000abcdef"), std::string::npos);
    const std::string program = holm::platform::executablePath();
    EXPECT_NE(report.find("  #0  0x"), std::string::npos);
    EXPECT_NE(report.find("  #1  0x0000000000000001  ?\n"), std::string::npos);
    // The program is a module, with its build id, and frame 0 lies in it.
    const std::string frame0 = report.substr(report.find("  #0  "));
    EXPECT_EQ(frame0.substr(0, frame0.find('\n')).find(program) != std::string::npos, true);
    EXPECT_NE(report.find("build-id "), std::string::npos);
    EXPECT_EQ(report.substr(report.size() - 4), "end\n");
}

TEST(CrashReportWrite, SameSecondReportsKeepEachOtherAndLeaveNoTemporaryFile) {
    holm::test::TempDir directory;
    const std::string path = directory.path().string() + "/";
    auto first = writeCrashReport(path, sampleFault(), u"first");
    auto second = writeCrashReport(path, sampleFault(), u"second");
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    EXPECT_NE(*first, *second);

    const auto names = filesIn(directory.path());
    ASSERT_EQ(names.size(), 2u);  // no temporary file beside them
    for (const auto& name : names) {
        EXPECT_TRUE(name.ends_with(".dmp")) << name;
    }
    if (holm::test::onWindows()) {  // the system's own dump format there
        EXPECT_TRUE(holm::test::bytesOf(*first).starts_with("MDMP"));
        EXPECT_TRUE(holm::test::bytesOf(*second).starts_with("MDMP"));
    } else {
        EXPECT_NE(holm::test::bytesOf(*first).find("place: first\n"), std::string::npos);
        EXPECT_NE(holm::test::bytesOf(*second).find("place: second\n"), std::string::npos);
    }
    if (holm::test::fileModesApply()) {
        struct stat info {};
        ASSERT_EQ(::stat(first->c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
}

TEST(CrashReportWrite, UnwritableOrMissingDirectoryFailsWithoutAFile) {
    holm::test::TempDir directory;
    const fs::path missing = directory.path() / "missing";
    EXPECT_FALSE(writeCrashReport(missing.string() + "/", sampleFault(), u"x").ok());
    EXPECT_FALSE(fs::exists(missing));

    // Root writes anywhere.
    if (holm::test::fileModesApply() && !holm::test::canGiveAwayFiles()) {
        const fs::path locked = directory.path() / "locked";
        fs::create_directory(locked);
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(writeCrashReport(locked.string() + "/", sampleFault(), u"x").ok());
        fs::permissions(locked, fs::perms::owner_all);
        EXPECT_TRUE(filesIn(locked).empty());
    }
}

}  // namespace
