#include "platform/spawn.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/local_event.h"
#include "platform/process_info.h"
#include "platform/sessions.h"
#include "support/test_support.h"

namespace holm::platform {
namespace {

constexpr std::chrono::seconds kSpawnDeadline(30);
const std::string kChild = HOLM_TEST_CHILD;

ProcessResult runChild(std::vector<std::string> arguments,
                       const std::vector<std::string>& environment = {}) {
    arguments.insert(arguments.begin(), kChild);
    return runProcess(arguments, environment, kSpawnDeadline);
}

// The facts the child's "logon" mode wrote, by name.
std::map<std::string, std::string> logonFacts(const std::filesystem::path& file) {
    std::map<std::string, std::string> facts;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            facts[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return facts;
}

// Starts the child's "logon" mode with `options` and waits for its end; its
// facts, or an empty map when it could not start or failed.
std::map<std::string, std::string> runLogon(SpawnOptions options) {
    test::TempDir dir;
    const auto file = dir.path() / "logon.txt";
    options.nullStandardStreams = true;
    auto started = Process::spawn({kChild, "logon", test::utf8(file)}, options);
    if (!started) {
        ADD_FAILURE() << started.error().message();
        return {};
    }
    if (started->wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut) !=
            Process::Wait::Exited ||
        started->exitStatus()->code != 0) {
        ADD_FAILURE() << "the child failed";
        return {};
    }
    return logonFacts(file);
}

// This process's user, session and account, as the process service reads
// them for the process it takes a logon from.
struct OwnLogon {
    uint32_t pid = currentProcessId();
    uint32_t uid = processUserId(pid).value_or(0xFFFFFFFFu);
    DWORD session = [] {
        DWORD number = 0xFFFFFFFFu;
        ::ProcessIdToSessionId(::GetCurrentProcessId(), &number);
        return number;
    }();
    UserAccount account = [this] {
        UserAccount known;
        known.uid = uid;
        return userAccount(uid).value_or(known);
    }();
};

// The id of a process that has ended (its id not yet given to another).
uint32_t endedProcess() {
    auto started = Process::spawn({kChild, "exit", "0"}, {});
    if (!started) {
        return 0xFFFFFFF0u;
    }
    const auto pid = static_cast<uint32_t>(started->id());
    (void)started->wait(io::deadlineIn(kSpawnDeadline));  // the error shows as a live process
    return pid;
}

// A child started as the user of a process takes that process's logon: it
// runs as its user, in the session asked for, with the environment the
// system builds for that user (none of this process's variables) and in the
// directory given, the user's profile.
TEST(WinSpawnTest, AnIdentityTakesTheLogonOfItsProcess) {
    const OwnLogon own;
    ASSERT_TRUE(processUserId(own.pid).has_value());
    ASSERT_TRUE(::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", L"inherited"));
    auto environment = loginEnvironment(own.pid, own.account);
    ASSERT_TRUE(environment.ok()) << environment.error().message();
    const auto profile =
        std::find_if(environment->begin(), environment->end(),
                     [](const std::string& entry) { return entry.starts_with("USERPROFILE="); });
    ASSERT_NE(profile, environment->end());
    const std::string home = profile->substr(12);
    EXPECT_FALSE(home.empty());
    EXPECT_EQ(std::count_if(
                  environment->begin(), environment->end(),
                  [](const std::string& entry) { return entry.starts_with("HOLM_SPAWN_PROBE="); }),
              0);
    // The account's home is the same profile directory.
    EXPECT_EQ(own.account.home, home);

    SpawnOptions options;
    options.identity = SpawnIdentity{own.uid, 0, {}, own.pid};
    options.session = LoginSession{std::to_string(own.session), own.uid, "user", false, ""};
    options.clearEnvironment = true;
    options.environment = *environment;
    options.workingDirectory = home;
    auto facts = runLogon(options);
    EXPECT_EQ(facts["user"], std::to_string(own.uid));
    EXPECT_EQ(facts["session"], std::to_string(own.session));
    EXPECT_EQ(facts["directory"], home);
    EXPECT_EQ(facts["USERPROFILE"], home);
    EXPECT_EQ(facts["HOLM_SPAWN_PROBE"], "<unset>");

    // This process's own logon in its session: its environment is kept.
    SpawnOptions inSession;
    inSession.session = options.session;
    auto own2 = runLogon(inSession);
    EXPECT_EQ(own2["session"], std::to_string(own.session));
    EXPECT_EQ(own2["HOLM_SPAWN_PROBE"], "inherited");
    ::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", nullptr);
}

// A start as a user fails with a clear error, and starts nothing, when its
// process is gone, runs as another user, or is no process at all; numbers
// alone name no user here, and a session is a number.
TEST(WinSpawnTest, AnIdentityWithoutItsProcessFails) {
    const OwnLogon own;
    const uint32_t ended = endedProcess();
    for (const uint32_t pid : {ended, 0xFFFFFFF0u, 0u}) {
        SpawnOptions options;
        options.identity = SpawnIdentity{own.uid, 0, {}, pid};
        const auto started = Process::spawn({kChild, "exit", "0"}, options);
        ASSERT_FALSE(started.ok()) << pid;
        EXPECT_EQ(started.error().errnoValue(), ESRCH) << pid;
        const auto environment = loginEnvironment(pid, own.account);
        ASSERT_FALSE(environment.ok()) << pid;
        EXPECT_EQ(environment.error().errnoValue(), ESRCH) << pid;
    }
    SpawnOptions another;
    another.identity = SpawnIdentity{own.uid + 1, 0, {}, own.pid};
    const auto asAnother = Process::spawn({kChild, "exit", "0"}, another);
    ASSERT_FALSE(asAnother.ok());
    EXPECT_EQ(asAnother.error().errnoValue(), ESRCH);
    EXPECT_EQ(asAnother.error().message(), "the process runs as another user");
    UserAccount stranger = own.account;
    stranger.uid = own.uid + 1;
    EXPECT_EQ(loginEnvironment(own.pid, stranger).error().errnoValue(), ESRCH);

    SpawnOptions byNumbers;
    byNumbers.identity = SpawnIdentity{own.uid, 0, {}, std::nullopt};
    EXPECT_EQ(Process::spawn({kChild, "exit", "0"}, byNumbers).error().windowsError(), 50u);
    SpawnOptions namedSession;
    namedSession.session = LoginSession{"c1", own.uid, "user", false, ""};
    EXPECT_EQ(Process::spawn({kChild, "exit", "0"}, namedSession).error().errnoValue(), EINVAL);
}

// A process of this user started suspended, whose process object or whose
// token grants nobody anything: the logon is not this process's to take.
class Untouchable {
  public:
    enum class Denied { Process, Token };
    explicit Untouchable(Denied denied) {
        ::InitializeSecurityDescriptor(&nothing_, SECURITY_DESCRIPTOR_REVISION);
        ::InitializeAcl(&empty_, sizeof empty_, ACL_REVISION);
        ::SetSecurityDescriptorDacl(&nothing_, TRUE, &empty_, FALSE);
        SECURITY_ATTRIBUTES closed = {sizeof closed, &nothing_, FALSE};
        const std::wstring program(kChild.begin(), kChild.end());  // an ASCII path
        std::wstring line = L"\"" + program + L"\" hang";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        if (!::CreateProcessW(program.c_str(), line.data(),
                              denied == Denied::Process ? &closed : nullptr, nullptr, FALSE,
                              CREATE_SUSPENDED, nullptr, nullptr, &startup, &started_)) {
            return;
        }
        HANDLE token = nullptr;
        if (denied == Denied::Token) {
            ready_ = ::OpenProcessToken(started_.hProcess, WRITE_DAC, &token) &&
                     ::SetKernelObjectSecurity(token, DACL_SECURITY_INFORMATION, &nothing_);
            ::CloseHandle(token);
        } else {
            ready_ = true;
        }
    }
    ~Untouchable() {
        if (started_.hProcess != nullptr) {
            ::TerminateProcess(started_.hProcess, 1);
            ::CloseHandle(started_.hProcess);
            ::CloseHandle(started_.hThread);
        }
    }
    Untouchable(const Untouchable&) = delete;
    Untouchable& operator=(const Untouchable&) = delete;

    bool ready() const { return ready_; }
    uint32_t pid() const { return started_.dwProcessId; }

  private:
    SECURITY_DESCRIPTOR nothing_ = {};
    ACL empty_ = {};
    PROCESS_INFORMATION started_ = {};
    bool ready_ = false;
};

// A process or a logon that may not be opened gives the system's refusal
// (access denied, 5), and nothing starts.
TEST(WinSpawnTest, ALogonThatMayNotBeOpenedIsRefused) {
    const OwnLogon own;
    for (const auto denied : {Untouchable::Denied::Process, Untouchable::Denied::Token}) {
        const Untouchable target(denied);
        ASSERT_TRUE(target.ready());
        SpawnOptions options;
        options.identity = SpawnIdentity{own.uid, 0, {}, target.pid()};
        const auto started = Process::spawn({kChild, "exit", "0"}, options);
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.error().windowsError(), 5u);
        EXPECT_EQ(started.error().errnoValue(), EACCES);
        const auto environment = loginEnvironment(target.pid(), own.account);
        ASSERT_FALSE(environment.ok());
        EXPECT_EQ(environment.error().windowsError(), 5u);
    }
}

// What the child's C runtime splits its command line into is what was
// given, whatever blanks, quotes and backslashes the arguments hold.
TEST(WinSpawnTest, ArgumentsArriveAsGiven) {
    const ProcessResult result =
        runChild({"echo", "a b", "", R"(say "hi")", R"(C:\dir\)", R"(a dir\)", R"(a\"b)", "x\ty"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "[a b]\n[]\n[say \"hi\"]\n[C:\\dir\\]\n[a dir\\]\n[a\\\"b]\n[x\ty]\n");
}

TEST(WinSpawnTest, ExitCodesAndStartFailuresAreReported) {
    EXPECT_EQ(runChild({"exit", "3"}).exitCode, 3);
    EXPECT_EQ(runChild({"exit", "0"}).exitCode, 0);
    const auto missing = ChildProcess::start({"C:/nonexistent/program.exe"}, {});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().errnoValue(), ENOENT);
    EXPECT_EQ(ChildProcess::start({}, {}).error().errnoValue(), EINVAL);
}

// Overrides replace a variable whatever the case of its name; a cleared
// environment has only what was given.
TEST(WinSpawnTest, TheEnvironmentIsMergedByNameIgnoringCase) {
    ASSERT_TRUE(::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", L"inherited"));
    EXPECT_EQ(runChild({"env", "HOLM_SPAWN_PROBE"}).output, "inherited\n");
    EXPECT_EQ(runChild({"env", "HOLM_SPAWN_PROBE"}, {"holm_spawn_probe=given"}).output, "given\n");
    Process process;
    {
        SpawnOptions options;
        options.clearEnvironment = true;
        options.environment = {"OTHER=1"};
        options.nullStandardStreams = true;
        auto started = Process::spawn({kChild, "env", "HOLM_SPAWN_PROBE"}, options);
        ASSERT_TRUE(started.ok()) << started.error().message();
        process = std::move(*started);
    }
    EXPECT_EQ(process.wait(io::deadlineIn(kSpawnDeadline)).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    ::SetEnvironmentVariableW(L"HOLM_SPAWN_PROBE", nullptr);
}

// A handle this process made inheritable is still not handed to a child:
// it gets its standard handles only.
TEST(WinSpawnTest, TheChildGetsOnlyItsStandardHandles) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE event = ::CreateEventW(&inherit, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const auto value = std::to_string(reinterpret_cast<uintptr_t>(event));
    EXPECT_EQ(runChild({"handle", value}).exitCode, 1);
    ::CloseHandle(event);
}

TEST(WinSpawnTest, AnInterruptEndsTheWaitAndAKillEndsTheChild) {
    auto started = ChildProcess::start({kChild, "hang"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ASSERT_TRUE(started->waitForOutput("ready", kSpawnDeadline));
    EXPECT_TRUE(started->sendSignal(ChildSignal::Terminate));
    EXPECT_EQ(started->wait(kSpawnDeadline), 128 + 15);

    SpawnOptions quiet;
    quiet.nullStandardStreams = true;
    auto process = Process::spawn({kChild, "hang"}, quiet);
    ASSERT_TRUE(process.ok()) << process.error().message();
    auto interrupt = createLocalEvent(true);
    ASSERT_TRUE(interrupt.ok());
    EXPECT_EQ(process->wait(io::kNoDeadline, interrupt->get()).valueOr(Process::Wait::Exited),
              Process::Wait::Interrupted);
    EXPECT_EQ(
        process->wait(io::deadlineIn(std::chrono::milliseconds(1))).valueOr(Process::Wait::Exited),
        Process::Wait::TimedOut);
    EXPECT_FALSE(process->poll());
    // A shared descriptor is waitable beside the owner's and outlives it.
    auto shared = process->shareDescriptor();
    ASSERT_TRUE(shared.ok());
    ASSERT_TRUE(process->kill());
    ASSERT_EQ(process->wait(io::kNoDeadline).valueOr(Process::Wait::TimedOut),
              Process::Wait::Exited);
    EXPECT_EQ(process->exitStatus()->shellCode(), 128 + 9);
    EXPECT_FALSE(process->valid());
    EXPECT_FALSE(process->kill());
    EXPECT_TRUE(io::waitReadable(shared->get(), io::kNoDeadline).valueOr(false));
}

// A child started by a process that ends is ended with it, even when its
// owner let go of it: the owner's job closes with the owner. A child started
// to outlive its owner (a program a service leaves running) is in no job of
// the owner's and keeps running: it is still there once its sibling has gone.
TEST(WinSpawnTest, ChildrenEndWithTheirOwnerUnlessStartedToOutliveIt) {
    const ProcessResult owner = runChild({"owners", kChild});
    ASSERT_EQ(owner.exitCode, 0) << owner.output;
    DWORD ended = 0;
    DWORD outliving = 0;
    ASSERT_EQ(std::sscanf(owner.output.c_str(), "%lu %lu", &ended, &outliving), 2) << owner.output;
    HANDLE survivor = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, outliving);
    ASSERT_NE(survivor, nullptr) << "the child started to outlive its owner is gone";
    if (HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, ended)) {  // else it is gone already
        EXPECT_EQ(::WaitForSingleObject(process, 30000), WAIT_OBJECT_0);
        ::CloseHandle(process);
    }
    EXPECT_EQ(::WaitForSingleObject(survivor, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::TerminateProcess(survivor, 1);
    ::CloseHandle(survivor);
}

// The running processes are listed, this one and a child among them, with
// their program's name.
TEST(WinSpawnTest, RunningProcessesAreListedWithTheirImage) {
    auto started = ChildProcess::start({kChild, "hang"}, {});
    ASSERT_TRUE(started.ok()) << started.error().message();
    ASSERT_TRUE(started->waitForOutput("ready", kSpawnDeadline));
    const std::vector<uint32_t> ids = runningProcessIds();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_TRUE(std::binary_search(ids.begin(), ids.end(), currentProcessId()));
    const std::string self = processImageName(currentProcessId());
    EXPECT_EQ(self, "platform_tests.exe");
    EXPECT_TRUE(processUserId(currentProcessId()).has_value());
    EXPECT_EQ(processImageName(0xFFFFFFF0u), "");
    EXPECT_FALSE(processUserId(0xFFFFFFF0u).has_value());
}

}  // namespace
}  // namespace holm::platform
