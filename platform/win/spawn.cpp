#include "platform/spawn.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

#include "platform/process_info.h"
#include "platform/win/logon.h"
#include "platform/win/native.h"
#include "platform/win/unsupported.h"

namespace holm::platform {

namespace {

using Clock = std::chrono::steady_clock;

// The exit codes of a child this process ended: what a shell reports for the
// signal that ends a child on the other systems, so that an ended child
// reads the same to the callers of ExitStatus::shellCode.
constexpr UINT kKilledCode = 128 + 9;
constexpr UINT kTerminatedCode = 128 + 15;

using win::OwnedHandle;

// The job every child joins unless it is to outlive its owner: it is closed
// only when this process ends, and its end kills whatever children are
// still in it, so no such child outlives its owner, however the owner ends
// (a crash, a kill, a service stopped). A program started here may start
// children of its own outside it (CREATE_BREAKAWAY_FROM_JOB), as those
// would outlive it and this process on the other systems; a child that
// does not ask stays in it.
HANDLE ownerJob() {
    static HANDLE job = [] {
        HANDLE created = ::CreateJobObjectW(nullptr, nullptr);
        if (created == nullptr) {
            return created;
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
        if (!::SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                       sizeof limits)) {
            ::CloseHandle(created);
            return HANDLE(nullptr);
        }
        return created;
    }();
    return job;
}

std::wstring variableName(std::wstring_view entry) {
    // A leading '=' belongs to the name (the per-drive directories "=C:=...").
    const size_t end = entry.find(L'=', 1);
    return std::wstring(entry.substr(0, end));
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool isServiceManagerVariable(const std::wstring& name) {
    return sameName(name, L"NOTIFY_SOCKET") ||
           (name.size() > 9 && sameName(name.substr(0, 9), L"WATCHDOG_"));
}

// The child's environment block: this process's variables (unless cleared)
// with the overrides replacing entries of the same name, whatever their
// case, sorted by name as the system keeps it.
std::wstring environmentBlock(const SpawnOptions& options) {
    std::vector<std::wstring> entries;
    for (const auto& entry : options.environment) {
        entries.push_back(win::wide(entry));
    }
    const size_t overrides = entries.size();
    if (!options.clearEnvironment) {
        wchar_t* inherited = ::GetEnvironmentStringsW();
        for (const wchar_t* entry = inherited; entry != nullptr && *entry != 0;
             entry += wcslen(entry) + 1) {
            const std::wstring name = variableName(entry);
            const bool replaced =
                isServiceManagerVariable(name) ||
                std::any_of(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(overrides),
                            [&](const std::wstring& o) { return sameName(variableName(o), name); });
            if (!replaced) {
                entries.emplace_back(entry);
            }
        }
        if (inherited != nullptr) {
            ::FreeEnvironmentStringsW(inherited);
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        const std::wstring left = variableName(a), right = variableName(b);
        return ::CompareStringOrdinal(left.data(), static_cast<int>(left.size()), right.data(),
                                      static_cast<int>(right.size()), TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const auto& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';  // an empty block still needs two
    return block;
}

// An inheritable duplicate of `handle` for the child, or of the null device
// when there is none (a service has no standard handles).
HANDLE inheritableCopy(HANDLE handle, bool forWriting) {
    HANDLE copy = nullptr;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
        ::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                          DUPLICATE_SAME_ACCESS)) {
        return copy;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return win::nullIfInvalid(::CreateFileW(L"NUL", forWriting ? GENERIC_WRITE : GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                            OPEN_EXISTING, 0, nullptr));
}

// The child's three standard handles, inheritable copies made for this one
// start and closed after it.
struct StandardHandles {
    OwnedHandle input, output, error;
};

Result<StandardHandles> standardHandles(const SpawnOptions& options) {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    if (options.nullStandardStreams || options.outputFd >= 0) {
        in = out = err = nullptr;
    }
    if (options.outputFd >= 0) {
        out = err = win::handleOf(options.outputFd);
        if (out == INVALID_HANDLE_VALUE) {
            return Error::fromErrno(EBADF);
        }
    }
    StandardHandles handles;
    handles.input.reset(inheritableCopy(in, false));
    handles.output.reset(inheritableCopy(out, true));
    handles.error.reset(inheritableCopy(err, true));
    if (!handles.input || !handles.output || !handles.error) {
        return win::lastWin32Error();
    }
    return handles;
}

// Start attributes that let the child inherit its three standard handles and
// nothing else, even while other threads start children of their own.
class InheritedHandles {
  public:
    explicit InheritedHandles(const StandardHandles& handles)
        : list_{handles.input.get(), handles.output.get(), handles.error.get()} {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            list_.resize(std::unique(list_.begin(), list_.end()) - list_.begin());
            if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                            list_.data(), list_.size() * sizeof(HANDLE), nullptr,
                                            nullptr)) {
                attributes_ = list;
            } else {
                ::DeleteProcThreadAttributeList(list);
            }
        }
    }
    ~InheritedHandles() {
        if (attributes_ != nullptr) {
            ::DeleteProcThreadAttributeList(attributes_);
        }
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return attributes_; }

  private:
    std::vector<HANDLE> list_;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes_ = nullptr;
};

// The program to start: the file open on `programFd` (its final path: the
// verified open keeps it from being replaced or rewritten meanwhile), or
// argv[0] as a path. Never searched for: CreateProcessW is told the program,
// so neither PATH nor the current directory is looked at.
Result<std::wstring> programPath(const std::vector<std::string>& argv,
                                 const SpawnOptions& options) {
    if (options.programFd < 0) {
        return win::nativePath(argv[0]);
    }
    const HANDLE file = win::handleOf(options.programFd);
    if (file == INVALID_HANDLE_VALUE || win::kindOf(options.programFd) != win::HandleKind::File) {
        return Error::fromErrno(EBADF);
    }
    std::wstring path = win::finalPathOf(file);
    if (path.empty()) {
        return win::lastWin32Error();
    }
    return path;
}

ExitStatus exitStatusOf(HANDLE process) {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) {
        return ExitStatus{false, static_cast<int>(kKilledCode)};
    }
    return ExitStatus{false, static_cast<int>(code)};
}

// A pipe whose reading end waits with a deadline: an overlapped named pipe
// (an anonymous pipe's reads cannot be given up), its writing end an
// ordinary handle a child can inherit as its output.
Result<std::pair<UniqueFd, UniqueFd>> outputPipe() {
    static std::atomic<uint32_t> counter{0};
    const std::wstring name = L"\\\\.\\pipe\\holm-output-" +
                              std::to_wstring(::GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1));
    OwnedHandle reader(win::nullIfInvalid(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 64 * 1024, 0, nullptr)));
    if (!reader) {
        return win::lastWin32Error();
    }
    OwnedHandle writer(win::nullIfInvalid(
        ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
    if (!writer) {
        return win::lastWin32Error();
    }
    UniqueFd readEnd(win::adoptHandle(reader.release(), win::HandleKind::Other));
    UniqueFd writeEnd(win::adoptHandle(writer.release(), win::HandleKind::File));
    if (!readEnd || !writeEnd) {
        return Error::fromErrno(EMFILE);
    }
    return std::pair(std::move(readEnd), std::move(writeEnd));
}

// The logon a child starts with when it is not this process's as it
// stands: the identity's (the logon of a process of that user), or this
// process's own moved to another session; in the session asked for. No
// handle when the child starts as this process does (no privilege is needed
// for that).
Result<OwnedHandle> childLogon(const SpawnOptions& options) {
    if (!options.identity && !options.session) {
        return OwnedHandle();
    }
    std::optional<DWORD> session;
    if (options.session) {
        session = win::sessionNumber(options.session->id);
        if (!session) {
            return Error::fromErrno(EINVAL).because("not a session of this system");
        }
    }
    Result<OwnedHandle> logon = OwnedHandle();
    if (options.identity) {
        if (!options.identity->process) {
            // A user is started from a logon of theirs, never from numbers.
            return win::notSupported();
        }
        logon = win::processLogon(*options.identity->process, options.identity->uid);
    } else {
        logon = win::ownLogon();
    }
    if (!logon || !session) {
        return logon;
    }
    DWORD current = 0;
    DWORD size = 0;
    if (!::GetTokenInformation(logon->get(), TokenSessionId, &current, sizeof current, &size)) {
        return win::lastWin32Error();
    }
    if (!options.identity && current == *session) {
        return OwnedHandle();  // this process's own logon and session: a plain start
    }
    // Moving a logon to another session takes the system's own privilege.
    if (current != *session &&
        !::SetTokenInformation(logon->get(), TokenSessionId, &*session, sizeof *session)) {
        return win::lastWin32Error();
    }
    return logon;
}

// Whether process `pid` runs in this process's session; a job holds the
// processes of one session only.
bool inOwnSession(DWORD pid) {
    DWORD own = 0;
    DWORD child = 0;
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &own) &&
           ::ProcessIdToSessionId(pid, &child) && own == child;
}

}  // namespace

Result<Process> Process::spawn(const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (argv.empty()) {
        return Error::fromErrno(EINVAL);
    }
    auto logon = childLogon(options);
    if (!logon) {
        return logon.error();
    }
    HANDLE job = ownerJob();
    if (job == nullptr) {
        return win::lastWin32Error();
    }
    auto program = programPath(argv, options);
    if (!program) {
        return program.error();
    }
    auto handles = standardHandles(options);
    if (!handles) {
        return handles.error();
    }
    InheritedHandles inherited(*handles);
    // The program's name leads the command line in the system's own form:
    // some programs (the command interpreter among them) read their command
    // line raw and take any '/' in it for the start of a switch.
    std::vector<std::string> arguments = argv;
    std::replace(arguments[0].begin(), arguments[0].end(), '/', '\\');
    if (options.argumentText) {
        arguments.resize(1);
    }
    std::string line = commandLineText(arguments);
    if (options.argumentText && !options.argumentText->empty()) {
        line += ' ';
        line += *options.argumentText;
    }
    std::wstring commandLine = win::wide(line);
    std::wstring environment = environmentBlock(options);
    const std::wstring directory = options.workingDirectory.empty()
                                       ? std::wstring()
                                       : win::nativePath(options.workingDirectory);

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles->input.get();
    startup.StartupInfo.hStdOutput = handles->output.get();
    startup.StartupInfo.hStdError = handles->error.get();
    startup.lpAttributeList = inherited.get();
    wchar_t interactiveDesktop[] = L"winsta0\\default";
    if (*logon) {
        // The desktop of the child's session that its user sees; this
        // process's own (a service's) does not exist there.
        startup.StartupInfo.lpDesktop = interactiveDesktop;
    }
    // Suspended until it is in the job: it runs no instruction outside it.
    // The system's default error mode, not this process's (the counterpart
    // of the default signal dispositions a child gets on Linux).
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_DEFAULT_ERROR_MODE;
    if (inherited.get() != nullptr) {
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    if (options.newSession) {
        flags |= CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS;
    }
    PROCESS_INFORMATION started = {};
    const wchar_t* startIn = directory.empty() ? nullptr : directory.c_str();
    const auto create = [&](DWORD creationFlags) {
        return (*logon ? ::CreateProcessAsUserW(logon->get(), program->c_str(), commandLine.data(),
                                                nullptr, nullptr, TRUE, creationFlags,
                                                environment.data(), startIn, &startup.StartupInfo,
                                                &started)
                       : ::CreateProcessW(program->c_str(), commandLine.data(), nullptr, nullptr,
                                          TRUE, creationFlags, environment.data(), startIn,
                                          &startup.StartupInfo, &started)) != 0;
    };
    // A child that is to outlive this process stays out of the owner's job,
    // and leaves a job this process itself runs in where that job allows
    // it; one that does not is refused the flag (access denied), and the
    // child then ends when that job's owner decides.
    bool created = false;
    if (options.outlivesOwner) {
        created = create(flags | CREATE_BREAKAWAY_FROM_JOB);
        if (!created && ::GetLastError() == ERROR_ACCESS_DENIED) {
            created = create(flags);
        }
    } else {
        created = create(flags);
    }
    if (!created) {
        return win::lastWin32Error();
    }
    OwnedHandle process(started.hProcess);
    OwnedHandle thread(started.hThread);
    // A child in another session cannot join the job: it is left to itself,
    // as a program its user started would be.
    const bool joinsJob = !options.outlivesOwner && (!*logon || inOwnSession(started.dwProcessId));
    if (joinsJob && !::AssignProcessToJobObject(job, process.get())) {
        const Error error = win::lastWin32Error();
        ::TerminateProcess(process.get(), kKilledCode);
        return error;
    }
    ::ResumeThread(thread.get());

    Process result;
    result.pid_ = static_cast<ProcessId>(started.dwProcessId);
    result.exitFd_.reset(win::adoptHandle(process.release(), win::HandleKind::Process));
    if (!result.exitFd_) {
        // The table is full: the handle is closed, the child is ended by id.
        if (HANDLE again = ::OpenProcess(PROCESS_TERMINATE, FALSE, started.dwProcessId)) {
            ::TerminateProcess(again, kKilledCode);
            ::CloseHandle(again);
        }
        return Error::fromErrno(EMFILE);
    }
    return result;
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      exitFd_(std::move(other.exitFd_)),
      status_(std::move(other.status_)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        detach();
        pid_ = std::exchange(other.pid_, -1);
        exitFd_ = std::move(other.exitFd_);
        status_ = std::move(other.status_);
    }
    return *this;
}

Process::~Process() {
    detach();
}

Result<UniqueFd> Process::shareDescriptor() const {
    if (!valid()) {
        return Error::fromErrno(ECHILD);
    }
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), win::handleOf(exitFd_.get()),
                           ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return win::lastWin32Error();
    }
    UniqueFd duplicate(win::adoptHandle(copy, win::HandleKind::Process));
    if (!duplicate) {
        return Error::fromErrno(EMFILE);
    }
    return duplicate;
}

bool Process::poll() {
    if (!status_ && valid() &&
        ::WaitForSingleObject(win::handleOf(exitFd_.get()), 0) == WAIT_OBJECT_0) {
        reap();
    }
    return status_.has_value();
}

// Windows keeps no zombies: the exit code is read from the handle, which is
// then closed.
void Process::reap() {
    status_ = exitStatusOf(win::handleOf(exitFd_.get()));
    exitFd_.reset();
}

// There are no signals: every request to end is an end, with the exit code
// a shell would report for the signal.
bool Process::sendSignal(int signal) {
    return valid() && ::TerminateProcess(win::handleOf(exitFd_.get()), 128 + signal) != 0;
}

bool Process::kill() {
    return sendSignal(static_cast<int>(kKilledCode) - 128);
}

bool Process::terminate() {
    return sendSignal(static_cast<int>(kTerminatedCode) - 128);
}

// Nothing to reap later: closing the handle leaves the child running (in
// the owner's job unless it is to outlive its owner, so it still ends with
// this process at the latest).
void Process::detach() {
    pid_ = -1;
    exitFd_.reset();
}

Result<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& environment) {
    auto pipe = outputPipe();
    if (!pipe) {
        return pipe.error();
    }
    SpawnOptions options;
    options.environment = environment;
    options.outputFd = pipe->second.get();
    auto process = Process::spawn(argv, options);
    if (!process) {
        return process.error();
    }
    ChildProcess child;
    child.process_ = std::move(*process);
    child.outputFd_ = std::move(pipe->first);
    return child;
}

bool ChildProcess::readSome(Clock::time_point deadline) {
    if (!outputFd_.valid()) {
        return false;
    }
    const HANDLE pipe = win::handleOf(outputFd_.get());
    OwnedHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done) {
        return false;
    }
    OVERLAPPED request = {};
    request.hEvent = done.get();
    char buffer[4096];
    DWORD count = 0;
    bool read = ::ReadFile(pipe, buffer, sizeof buffer, &count, &request) != 0;
    if (!read && ::GetLastError() == ERROR_IO_PENDING) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const DWORD timeout =
            static_cast<DWORD>(std::clamp<int64_t>(left.count(), 0, INFINITE - 1));
        if (::WaitForSingleObject(done.get(), timeout) != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &request);
        }
        // Waits for the read to finish or be cancelled: the buffer is ours
        // again afterwards, and data that came before the cancel is kept.
        read = ::GetOverlappedResult(pipe, &request, &count, TRUE) != 0;
        if (!read && ::GetLastError() == ERROR_OPERATION_ABORTED) {
            return false;  // the deadline
        }
    }
    if (!read || count == 0) {
        outputFd_.reset();  // the end of the output: every writer has gone
        return false;
    }
    output_.append(buffer, count);
    return true;
}

// Without signals, each of them ends the child (see Process::sendSignal).
bool ChildProcess::sendSignal(ChildSignal) {
    return process_.terminate();
}

}  // namespace holm::platform
