// Local channels on Windows are named pipes (local_pipe.h says how they
// behave; docs/architecture.md, "The Windows backend", why not AF_UNIX).
#include "platform/local_socket.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "platform/win/file_security.h"
#include "platform/win/local_pipe.h"
#include "platform/win/native.h"
#include "platform/win/unsupported.h"

namespace holm::platform {
namespace win {
namespace {

// What each side buffers; a message longer than a read is read in parts.
constexpr DWORD kPipeBuffer = 64 * 1024;
constexpr size_t kReadAhead = 16 * 1024;
// How long a client waits for a free instance of a listener whose backlog
// is full: as a connect to a socket whose backlog is full, it waits.
constexpr DWORD kBusyWaitMs = 2000;
constexpr int kBusyTries = 15;

// Everyone's right on a listener whose mode lets others connect: read and
// write (connect, send, receive, read its security) but not
// FILE_CREATE_PIPE_INSTANCE, which would let another account serve
// instances of the host's name.
constexpr ACCESS_MASK kConnectRights =
    (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~static_cast<ACCESS_MASK>(FILE_CREATE_PIPE_INSTANCE);

using Buffer = std::vector<BYTE>;

// The token information of `kind`, or empty.
Buffer tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    Buffer data(size);
    if (size == 0 || !::GetTokenInformation(token, kind, data.data(), size, &size)) {
        return {};
    }
    return data;
}

// The SID of the process's own user, kept for the process's lifetime.
PSID processUser() {
    static const Buffer user = [] {
        HANDLE token = nullptr;
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
            return Buffer();
        }
        Buffer data = tokenInformation(token, TokenUser);
        ::CloseHandle(token);
        return data;
    }();
    return user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return sid != nullptr && ::IsWellKnownSid(sid, type);
}

// The connected end behind a descriptor of kind Pipe.
class PipeConnection final : public Attachment {
  public:
    explicit PipeConnection(HANDLE pipe)
        : pipe_(pipe),
          readEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          writeEvent_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          buffer_(kReadAhead) {}

    ~PipeConnection() override {
        if (pending_) {
            // The buffer and the OVERLAPPED must outlive the read.
            ::CancelIoEx(pipe_, &read_);
            DWORD ignored = 0;
            ::GetOverlappedResult(pipe_, &read_, &ignored, TRUE);
        }
    }
    PipeConnection(const PipeConnection&) = delete;
    PipeConnection& operator=(const PipeConnection&) = delete;

    bool usable() const { return readEvent_.valid() && writeEvent_.valid(); }
    void setTimeout(DWORD milliseconds) { timeout_ = milliseconds; }

    HANDLE readEvent() {
        start();
        collect();
        return readable() ? nullptr : readEvent_.get();
    }

    ptrdiff_t read(void* out, size_t size) {
        start();
        if (!readable() && ::WaitForSingleObject(readEvent_.get(), timeout_) == WAIT_TIMEOUT) {
            return failErrno(EAGAIN);  // as a receive timeout elsewhere
        }
        collect();
        if (first_ < last_) {
            const size_t count = std::min(size, last_ - first_);
            std::copy_n(buffer_.data() + first_, count, static_cast<BYTE*>(out));
            first_ += count;
            return static_cast<ptrdiff_t>(count);
        }
        if (failure_ != ERROR_SUCCESS) {
            return failWin32(failure_);
        }
        if (ended_) {
            return 0;
        }
        return failErrno(EAGAIN);
    }

    ptrdiff_t write(const void* data, size_t size) {
        OVERLAPPED at{};
        at.hEvent = writeEvent_.get();
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        if (!::WriteFile(pipe_, data, want, nullptr, &at) && ::GetLastError() != ERROR_IO_PENDING) {
            return failLastWin32();  // the other end is gone: EPIPE
        }
        DWORD put = 0;
        if (::WaitForSingleObject(writeEvent_.get(), timeout_) == WAIT_TIMEOUT) {
            ::CancelIoEx(pipe_, &at);
            ::GetOverlappedResult(pipe_, &at, &put, TRUE);
            return failErrno(EAGAIN);  // as a send timeout elsewhere
        }
        if (!::GetOverlappedResult(pipe_, &at, &put, FALSE)) {
            return failLastWin32();
        }
        return static_cast<ptrdiff_t>(put);
    }

  private:
    bool readable() const { return first_ < last_ || ended_ || failure_ != ERROR_SUCCESS; }

    // Starts the read into the buffer when nothing is buffered or pending.
    void start() {
        if (pending_ || readable()) {
            return;
        }
        read_ = {};
        read_.hEvent = readEvent_.get();
        first_ = last_ = 0;
        if (::ReadFile(pipe_, buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr,
                       &read_)) {
            pending_ = true;  // done already; collect() takes the count
            return;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
            pending_ = true;
        } else {
            finish(error);
        }
    }

    // Takes in a read that has completed.
    void collect() {
        if (!pending_) {
            return;
        }
        DWORD got = 0;
        if (::GetOverlappedResult(pipe_, &read_, &got, FALSE)) {
            pending_ = false;
            last_ = got;
            ended_ = got == 0;  // an empty message: the other side ended its sending
            return;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return;
        }
        pending_ = false;
        if (error == ERROR_MORE_DATA) {
            last_ = got;  // a part of a longer message; the next read goes on
        } else {
            finish(error);
        }
    }

    void finish(DWORD error) {
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
            error == ERROR_NO_DATA) {
            ended_ = true;  // the other side closed its end
        } else {
            failure_ = error;
        }
        ::SetEvent(readEvent_.get());
    }

    HANDLE pipe_;  // the descriptor table owns it
    OwnedHandle readEvent_;
    OwnedHandle writeEvent_;
    DWORD timeout_ = INFINITE;
    OVERLAPPED read_{};
    bool pending_ = false;
    Buffer buffer_;
    size_t first_ = 0;
    size_t last_ = 0;
    bool ended_ = false;
    DWORD failure_ = ERROR_SUCCESS;
};

std::shared_ptr<PipeConnection> connectionOf(int fd) {
    if (kindOf(fd) != HandleKind::Pipe) {
        return nullptr;
    }
    return std::static_pointer_cast<PipeConnection>(attachmentOf(fd));
}

// A connected pipe as a descriptor of kind Pipe.
Result<UniqueFd> adoptConnection(HANDLE pipe) {
    auto connection = std::make_shared<PipeConnection>(pipe);
    if (!connection->usable()) {
        const Error error = lastWin32Error();
        ::CloseHandle(pipe);
        return error;
    }
    const int fd = adoptHandle(pipe, HandleKind::Pipe, std::move(connection));
    if (fd < 0) {
        return lastSystemError();
    }
    return UniqueFd(fd);
}

// The security of a listener: owned by the process's user; the system, the
// Administrators and the process's own user may do anything; everyone may connect when `mode`
// lets others write (a socket's connect right elsewhere). A group has no
// counterpart on a pipe: its bits are not used.
class ListenerSecurity {
  public:
    explicit ListenerSecurity(uint32_t mode) {
        LPWSTR self = nullptr;
        if (processUser() == nullptr || !::ConvertSidToStringSidW(processUser(), &self)) {
            return;
        }
        // The owner is the process's user, whatever the token's default
        // owner is (under Wine a group): the one a client checks.
        std::wstring text = L"O:" + std::wstring(self) + L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" +
                            std::wstring(self) + L")";
        ::LocalFree(self);
        if (mode & 0002) {
            std::wstring rights = L"0x";
            for (int shift = 28; shift >= 0; shift -= 4) {
                rights.push_back(L"0123456789abcdef"[(kConnectRights >> shift) & 0xF]);
            }
            text += L"(A;;" + rights + L";;;WD)";
        }
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                               &descriptor_, nullptr);
    }
    ~ListenerSecurity() {
        if (descriptor_ != nullptr) {
            ::LocalFree(descriptor_);
        }
    }
    ListenerSecurity(const ListenerSecurity&) = delete;
    ListenerSecurity& operator=(const ListenerSecurity&) = delete;

    SECURITY_ATTRIBUTES* attributes() {
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return descriptor_ != nullptr ? &attributes_ : nullptr;
    }

  private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// A listener: instances of the name that wait for clients, each with its
// connect pending on the descriptor's event. Several wait at once, as a
// socket's backlog: a client that comes while the host serves another one
// connects at once and waits for its turn.
class PipeListener final : public Attachment {
  public:
    PipeListener(std::wstring name, uint32_t mode, HANDLE event)
        : name_(std::move(name)), security_(mode), event_(event) {}

    ~PipeListener() override {
        for (const auto& instance : instances_) {
            if (instance->pending) {
                // The OVERLAPPED must outlive the connect.
                ::CancelIoEx(instance->pipe.get(), &instance->connect);
                DWORD ignored = 0;
                ::GetOverlappedResult(instance->pipe.get(), &instance->connect, &ignored, TRUE);
            }
        }
    }
    PipeListener(const PipeListener&) = delete;
    PipeListener& operator=(const PipeListener&) = delete;

    // Makes the first instance, which a name another process serves
    // refuses, and the rest of the backlog.
    Status open() {
        if (security_.attributes() == nullptr) {
            return lastWin32Error();
        }
        if (auto first = addInstance(true); !first) {
            return first;
        }
        fill();
        return {};
    }

    // The next connected client, or an invalid descriptor when none waits.
    // The event is reset before the instances are looked at: a connect
    // that completes after the look sets it again.
    UniqueFd accept() {
        ::ResetEvent(event_);
        fill();
        for (auto it = instances_.begin(); it != instances_.end();) {
            Instance& instance = **it;
            if (instance.pending) {
                DWORD ignored = 0;
                if (!::GetOverlappedResult(instance.pipe.get(), &instance.connect, &ignored,
                                           FALSE)) {
                    const DWORD error = ::GetLastError();
                    if (error == ERROR_IO_INCOMPLETE) {
                        ++it;
                        continue;
                    }
                    if (error != ERROR_PIPE_CONNECTED) {
                        // A client that came and went, or a broken instance:
                        // a fresh one takes its place.
                        instance.pending = false;
                        it = instances_.erase(it);
                        continue;
                    }
                }
                instance.pending = false;
                instance.connected = true;
            }
            if (!instance.connected) {
                ++it;
                continue;
            }
            HANDLE pipe = instance.pipe.release();
            instances_.erase(it);
            fill();
            auto connection = adoptConnection(pipe);
            return connection ? std::move(*connection) : UniqueFd();
        }
        fill();
        return {};
    }

  private:
    struct Instance {
        OwnedHandle pipe;
        OVERLAPPED connect{};
        bool pending = false;
        bool connected = false;
    };
    static constexpr size_t kBacklog = 4;

    // Tops the waiting instances up to the backlog. Without a new instance
    // (the system's resources) the listener waits with those it has, and
    // with none takes no more clients rather than spin.
    void fill() {
        while (instances_.size() < kBacklog && addInstance(false)) {
        }
    }

    Status addInstance(bool first) {
        const DWORD openMode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        const DWORD pipeMode =
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
        HANDLE pipe =
            ::CreateNamedPipeW(name_.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES,
                               kPipeBuffer, kPipeBuffer, 0, security_.attributes());
        if (pipe == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (first && (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY)) {
                return Error::windows(error, EADDRINUSE).because("another process listens there");
            }
            return win32Error(error);
        }
        auto instance = std::make_unique<Instance>();
        instance->pipe.reset(pipe);
        instance->connect.hEvent = event_;
        if (::ConnectNamedPipe(pipe, &instance->connect)) {
            instance->pending = true;  // done already: accept takes it in
        } else if (const DWORD error = ::GetLastError(); error == ERROR_IO_PENDING) {
            instance->pending = true;
        } else if (error == ERROR_PIPE_CONNECTED) {
            instance->connected = true;  // a client came before the wait began
            ::SetEvent(event_);
        } else if (error == ERROR_NO_DATA) {
            // The client has gone already; the next fill makes another.
            ::SetEvent(event_);
            return {};
        } else {
            return win32Error(error);
        }
        instances_.push_back(std::move(instance));
        return {};
    }

    std::wstring name_;
    ListenerSecurity security_;
    HANDLE event_;  // the descriptor's handle; the table owns it
    std::vector<std::unique_ptr<Instance>> instances_;
};

// The user number of `token` (peerUserNumber); kForeignUser when it
// cannot be read.
uint32_t userNumberOfToken(HANDLE token) {
    const Buffer user = tokenInformation(token, TokenUser);
    const Buffer groups = tokenInformation(token, TokenGroups);
    if (user.empty() || groups.empty()) {
        return kForeignUser;
    }
    return peerUserNumber(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid,
                          reinterpret_cast<const TOKEN_GROUPS*>(groups.data()), processUser());
}

// The client of the server end `pipe`, from the security context the pipe
// recorded for its connection: the thread takes it on for the time of
// reading its token. The client's process id is what the pipe recorded, not
// a process looked up by id later.
Result<PeerCredentials> clientCredentials(HANDLE pipe) {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe, &pid)) {
        return lastWin32Error();
    }
    if (!::ImpersonateNamedPipeClient(pipe)) {
        return lastWin32Error();
    }
    HANDLE token = nullptr;
    const BOOL opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    const DWORD error = opened ? ERROR_SUCCESS : ::GetLastError();
    if (!::RevertToSelf()) {
        // Going on as the client would act with its rights.
        std::terminate();
    }
    PeerCredentials peer;
    peer.pid = static_cast<int>(pid);
    if (!opened) {
        if (error != ERROR_CANT_OPEN_ANONYMOUS) {
            return win32Error(error);
        }
        peer.uid = peer.gid = kForeignUser;  // an anonymous client
        return peer;
    }
    peer.uid = peer.gid = userNumberOfToken(token);
    ::CloseHandle(token);
    return peer;
}

// The server of the client end `pipe`: the pipe's owner decides, as for a
// file (file_security.h); only a name another account could not have made.
Result<PeerCredentials> serverCredentials(HANDLE pipe) {
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &pid)) {
        return lastWin32Error();
    }
    auto security = securityOf(pipe);
    if (!security) {
        return security.error();
    }
    PeerCredentials peer;
    peer.pid = static_cast<int>(pid);
    peer.uid = peer.gid = security->trustedOwner ? 0 : kForeignUser;
    return peer;
}

// FNV-1a of `text` with A-Z folded and '\' read as '/': spellings of one
// directory that Windows takes as the same name give the same digest.
uint64_t directoryDigest(std::string_view text) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char character : text) {
        if (character >= 'A' && character <= 'Z') {
            character = static_cast<char>(character - 'A' + 'a');
        } else if (character == '\\') {
            character = '/';
        }
        hash = (hash ^ static_cast<unsigned char>(character)) * 0x100000001B3ull;
    }
    return hash;
}

}  // namespace

uint32_t peerUserNumber(PSID user, const TOKEN_GROUPS* groups, PSID self) {
    if (user == nullptr || !::IsValidSid(user)) {
        return kForeignUser;
    }
    if (isWellKnown(user, WinLocalSystemSid) || (self != nullptr && ::EqualSid(user, self))) {
        return 0;
    }
    for (DWORD i = 0; groups != nullptr && i < groups->GroupCount; ++i) {
        const DWORD attributes = groups->Groups[i].Attributes;
        if (isWellKnown(groups->Groups[i].Sid, WinBuiltinAdministratorsSid) &&
            (attributes & SE_GROUP_ENABLED) && !(attributes & SE_GROUP_USE_FOR_DENY_ONLY)) {
            return 0;
        }
    }
    const UCHAR count = *::GetSidSubAuthorityCount(user);
    const DWORD relative = count == 0 ? 0 : *::GetSidSubAuthority(user, count - 1u);
    return relative == 0 ? kForeignUser : relative;
}

ptrdiff_t readPipe(int fd, void* buffer, size_t size) {
    const auto connection = connectionOf(fd);
    return connection ? connection->read(buffer, size) : failErrno(EBADF);
}

ptrdiff_t writePipe(int fd, const void* buffer, size_t size) {
    const auto connection = connectionOf(fd);
    return connection ? connection->write(buffer, size) : failErrno(EBADF);
}

HANDLE pipeReadEvent(int fd) {
    const auto connection = connectionOf(fd);
    return connection ? connection->readEvent() : nullptr;
}

}  // namespace win

std::string localChannelPath(std::string_view name) {
    std::string path = "\\\\.\\pipe\\holm-" + std::string(name);
    const char* configured = std::getenv("HOLM_RUNTIME_DIR");
    if (configured != nullptr && *configured != '\0') {
        char digest[24];
        std::snprintf(digest, sizeof digest, "-%016llx",
                      static_cast<unsigned long long>(win::directoryDigest(configured)));
        path += digest;
    }
    return path;
}

std::string localChannelDirectory() {
    return {};
}

Result<LocalListener> LocalListener::listen(const std::string& path, uint32_t mode) {
    // A name someone serves is refused. The first instance's flag says so on
    // Windows; Wine ignores the flag, so a client's open asks first, as
    // Linux asks whether a process listens on a socket file.
    HANDLE probe =
        ::CreateFileW(win::wide(path).c_str(), FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    const DWORD probed = probe == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
    if (probe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(probe);
    }
    if (probed == ERROR_SUCCESS || probed == ERROR_PIPE_BUSY || probed == ERROR_ACCESS_DENIED) {
        return Error::windows(probed == ERROR_SUCCESS ? ERROR_PIPE_BUSY : probed, EADDRINUSE)
            .because("another process listens there");
    }
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return win::lastWin32Error();
    }
    auto state = std::make_shared<win::PipeListener>(win::wide(path), mode, event);
    const int fd = win::adoptHandle(event, win::HandleKind::Event, state);
    if (fd < 0) {
        return lastSystemError();
    }
    LocalListener listener;
    listener.fd_ = UniqueFd(fd);
    if (auto opened = state->open(); !opened) {
        return opened.error();
    }
    listener.path_ = path;
    return listener;
}

// A pipe's name goes with its last handle: nothing is left to remove.
LocalListener::~LocalListener() = default;

LocalListener& LocalListener::operator=(LocalListener&& other) noexcept {
    if (this != &other) {
        fd_ = std::move(other.fd_);
        path_ = std::exchange(other.path_, {});
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

void LocalListener::removeFile() noexcept {}

UniqueFd LocalListener::accept() {
    auto state = std::dynamic_pointer_cast<win::PipeListener>(win::attachmentOf(fd_.get()));
    return state ? state->accept() : UniqueFd();
}

// The client asks for identification only: a server may learn who it is
// but never act as it, whoever made the name.
Result<UniqueFd> connectLocal(const std::string& path) {
    const std::wstring name = win::wide(path);
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0;; ++attempt) {
        pipe = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_BUSY || attempt + 1 == win::kBusyTries) {
            return win::win32Error(error);
        }
        (void)::WaitNamedPipeW(name.c_str(), win::kBusyWaitMs);  // the server makes the next one
    }
    DWORD readMode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe, &readMode, nullptr, nullptr)) {
        const Error error = win::lastWin32Error();
        ::CloseHandle(pipe);
        return error;
    }
    // The name is anyone's to make: only a listener of an account trusted
    // as a file's owner is (the system, the Administrators, this user).
    auto server = win::serverCredentials(pipe);
    if (!server || server->uid != 0) {
        ::CloseHandle(pipe);
        return Error::windows(ERROR_ACCESS_DENIED, EACCES)
            .because("the pipe belongs to an account that is not trusted");
    }
    return win::adoptConnection(pipe);
}

Result<PeerCredentials> peerCredentials(int fd) {
    if (win::kindOf(fd) != win::HandleKind::Pipe) {
        return Error::fromErrno(ENOTSOCK);
    }
    HANDLE pipe = win::handleOf(fd);
    DWORD flags = 0;
    if (!::GetNamedPipeInfo(pipe, &flags, nullptr, nullptr, nullptr)) {
        return win::lastWin32Error();
    }
    return (flags & PIPE_SERVER_END) ? win::clientCredentials(pipe) : win::serverCredentials(pipe);
}

Status sendFull(int fd, std::string_view data) {
    if (win::kindOf(fd) != win::HandleKind::Pipe) {
        return Error::fromErrno(ENOTSOCK);
    }
    while (!data.empty()) {
        const ptrdiff_t put = win::writePipe(fd, data.data(), data.size());
        if (put < 0) {
            return lastSystemError();
        }
        if (put == 0) {
            return Error::fromErrno(EIO);
        }
        data.remove_prefix(static_cast<size_t>(put));
    }
    return {};
}

Status setSocketTimeouts(int fd, std::chrono::milliseconds timeout) {
    const auto connection = win::connectionOf(fd);
    if (!connection) {
        return Error::fromErrno(ENOTSOCK);
    }
    connection->setTimeout(static_cast<DWORD>(
        std::clamp<int64_t>(timeout.count(), 0, static_cast<int64_t>(INFINITE) - 1)));
    return {};
}

// Named pipes cannot be half-closed: the end of sending is an empty
// message, which the other side's read takes as the end of the stream.
Status shutdownSending(int fd) {
    if (win::kindOf(fd) != win::HandleKind::Pipe) {
        return Error::fromErrno(ENOTSOCK);
    }
    static const char kNothing = 0;
    if (win::writePipe(fd, &kNothing, 0) < 0) {
        return lastSystemError();
    }
    return {};
}

// The journal's datagrams are Linux's.
Status sendDatagram(const std::string&, std::string_view) {
    return win::notSupported();
}

}  // namespace holm::platform
