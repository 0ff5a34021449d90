// The local channel on Windows: named pipes as listener and connections,
// the peer's identity, the access list a listener's mode gives, and the
// channel's name.
#include <gtest/gtest.h>

#include <aclapi.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/io.h"
#include "platform/local_socket.h"
#include "platform/process_info.h"
#include "platform/win/local_pipe.h"
#include "platform/win/native.h"
#include "support/test_support.h"

namespace {

using holm::platform::connectLocal;
using holm::platform::LocalListener;
using holm::platform::UniqueFd;
namespace io = holm::platform::io;

constexpr std::chrono::seconds kWait{30};

// A pipe name no other test (or test program running at once) uses.
std::string freshName() {
    static std::atomic<int> next{0};
    return "\\\\.\\pipe\\holm-test-" + std::to_string(holm::platform::currentProcessId()) + "-" +
           std::to_string(next++);
}

// The next connection of `listener`, waiting for it.
UniqueFd acceptOne(LocalListener& listener) {
    const auto deadline = io::deadlineIn(kWait);
    for (;;) {
        if (UniqueFd connection = listener.accept()) {
            return connection;
        }
        const auto readable = io::waitReadable(listener.fd(), deadline);
        if (!readable || !*readable) {
            return {};
        }
    }
}

// Everything `fd` receives until the other side ends its sending.
std::string readToEnd(int fd) {
    std::string data;
    uint8_t buffer[1000];
    const auto deadline = io::deadlineIn(kWait);
    for (;;) {
        const auto readable = io::waitReadable(fd, deadline);
        if (!readable || !*readable) {
            return data + "[no end]";
        }
        const auto got = io::readSome(fd, buffer);
        if (!got) {
            return data + "[" + got.error().message() + "]";
        }
        if (*got == 0) {
            return data;
        }
        data.append(reinterpret_cast<const char*>(buffer), *got);
    }
}

TEST(LocalPipe, RequestAndAnswerWithEachSideEndingItsSending) {
    const std::string name = freshName();
    auto listener = LocalListener::listen(name, 0666);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    EXPECT_EQ(listener->path(), name);
    EXPECT_FALSE(listener->accept());  // nobody yet, and no wait

    auto client = connectLocal(name);
    ASSERT_TRUE(client.ok()) << client.error().message();
    UniqueFd server = acceptOne(*listener);
    ASSERT_TRUE(server);

    // Both sides see this process, as this user: 0 in the backend's terms.
    // (Wine 8 records no process id for a pipe's ends: 0 there.)
    const int self = static_cast<int>(holm::platform::currentProcessId());
    const auto peer = holm::platform::peerCredentials(server.get());
    ASSERT_TRUE(peer.ok()) << peer.error().message();
    EXPECT_TRUE(peer->pid == self || peer->pid == 0) << peer->pid;
    EXPECT_EQ(peer->uid, holm::platform::effectiveUserId());
    const auto host = holm::platform::peerCredentials(client->get());
    ASSERT_TRUE(host.ok()) << host.error().message();
    EXPECT_TRUE(host->pid == self || host->pid == 0) << host->pid;
    EXPECT_EQ(host->uid, 0u);

    // A request longer than either side's buffer, sent in two parts while
    // the server reads.
    const std::string request = std::string(100000, 'r') + std::string("\0end", 4);
    std::string received;
    std::thread reader([&] { received = readToEnd(server.get()); });
    EXPECT_TRUE(holm::platform::sendFull(client->get(), request.substr(0, 70000)));
    EXPECT_TRUE(holm::platform::sendFull(client->get(), request.substr(70000)));
    EXPECT_TRUE(holm::platform::shutdownSending(client->get()));
    reader.join();
    EXPECT_EQ(received, request);

    ASSERT_TRUE(holm::platform::sendFull(server.get(), "answer\n"));
    server.reset();  // the answer stays readable after the server's close
    EXPECT_EQ(readToEnd(client->get()), "answer\n");
}

// Nothing to read is no readiness; the wait ends at its deadline.
TEST(LocalPipe, AnIdleConnectionIsNotReadable) {
    const std::string name = freshName();
    auto listener = LocalListener::listen(name, 0600);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    auto client = connectLocal(name);
    ASSERT_TRUE(client.ok()) << client.error().message();
    UniqueFd server = acceptOne(*listener);
    ASSERT_TRUE(server);
    const auto waited =
        io::waitReadable(server.get(), io::deadlineIn(std::chrono::milliseconds(50)));
    ASSERT_TRUE(waited.ok());
    EXPECT_FALSE(*waited);

    // A receive with a timeout and nothing sent gives up.
    ASSERT_TRUE(holm::platform::setSocketTimeouts(server.get(), std::chrono::milliseconds(50)));
    uint8_t buffer[16];
    const auto got = io::readSome(server.get(), buffer);
    EXPECT_FALSE(got.ok());

    // The client leaves without ending its request: the server reads the end.
    ASSERT_TRUE(holm::platform::sendFull(client->get(), "part"));
    client->reset();
    EXPECT_EQ(readToEnd(server.get()), "part");
}

// A send the other side does not take ends at the timeout; a send to a
// side that has gone fails; neither ends the process.
TEST(LocalPipe, SendsEndAtTheTimeoutOrWhenThePeerHasGone) {
    const std::string name = freshName();
    auto listener = LocalListener::listen(name, 0666);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    auto client = connectLocal(name);
    ASSERT_TRUE(client.ok()) << client.error().message();
    UniqueFd server = acceptOne(*listener);
    ASSERT_TRUE(server);
    ASSERT_TRUE(holm::platform::setSocketTimeouts(server.get(), std::chrono::milliseconds(100)));
    EXPECT_FALSE(holm::platform::sendFull(server.get(), std::string(4 * 1024 * 1024, 'a')));

    client->reset();
    const auto sent = holm::platform::sendFull(server.get(), "late");
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().errnoValue(), EPIPE) << sent.error().message();
}

// One listener per name: a second one, in this process or another, is
// refused while the first lives; the name is free again after it.
TEST(LocalPipe, ASecondListenerOfTheNameIsRefused) {
    const std::string name = freshName();
    {
        auto first = LocalListener::listen(name, 0666);
        ASSERT_TRUE(first.ok()) << first.error().message();
        auto second = LocalListener::listen(name, 0666);
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.error().errnoValue(), EADDRINUSE) << second.error().message();
        // The first one still serves.
        auto client = connectLocal(name);
        ASSERT_TRUE(client.ok()) << client.error().message();
        EXPECT_TRUE(acceptOne(*first));
    }
    EXPECT_TRUE(LocalListener::listen(name, 0666).ok());
    // Nobody listens: a client finds nothing.
    const auto none = connectLocal(freshName());
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().errnoValue(), ENOENT) << none.error().message();
}

// Clients that connect and leave before being accepted do not stop the
// listener from taking the next one.
TEST(LocalPipe, ClientsGoneBeforeTheAcceptAreSkipped) {
    const std::string name = freshName();
    auto listener = LocalListener::listen(name, 0666);
    ASSERT_TRUE(listener.ok()) << listener.error().message();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(connectLocal(name).ok());
    }
    auto client = connectLocal(name);
    ASSERT_TRUE(client.ok()) << client.error().message();
    ASSERT_TRUE(holm::platform::sendFull(client->get(), "kept"));
    ASSERT_TRUE(holm::platform::shutdownSending(client->get()));
    std::string received;
    for (int i = 0; i < 8 && received.empty(); ++i) {
        UniqueFd server = acceptOne(*listener);
        ASSERT_TRUE(server);
        received = readToEnd(server.get());
    }
    EXPECT_EQ(received, "kept");
}

// The access entries of the pipe open on `fd`: SID text -> mask.
std::vector<std::pair<std::string, ACCESS_MASK>> accessOf(int fd) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<std::pair<std::string, ACCESS_MASK>> entries;
    if (::GetSecurityInfo(holm::platform::win::handleOf(fd), SE_KERNEL_OBJECT,
                          DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS) {
        return entries;
    }
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (::GetAce(dacl, i, &entry) &&
            static_cast<ACE_HEADER*>(entry)->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
            PSID sid = &allowed->SidStart;
            std::string text = "user";
            if (::IsWellKnownSid(sid, WinLocalSystemSid)) {
                text = "system";
            } else if (::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
                text = "administrators";
            } else if (::IsWellKnownSid(sid, WinWorldSid)) {
                text = "everyone";
            }
            entries.emplace_back(text, allowed->Mask);
        }
    }
    ::LocalFree(descriptor);
    return entries;
}

// Others' write bit lets everyone connect, never make instances of the
// name; without it only the system, the Administrators and the owner's user
// are in the list.
TEST(LocalPipe, TheModeDecidesWhetherEveryoneMayConnect) {
    for (const uint32_t mode : {0666u, 0600u}) {
        const std::string name = freshName();
        auto listener = LocalListener::listen(name, mode);
        ASSERT_TRUE(listener.ok()) << listener.error().message();
        auto client = connectLocal(name);
        ASSERT_TRUE(client.ok()) << client.error().message();
        bool system = false, administrators = false, user = false, everyone = false;
        for (const auto& [who, mask] : accessOf(client->get())) {
            system |= who == "system";
            administrators |= who == "administrators";
            user |= who == "user";
            if (who == "everyone") {
                everyone = true;
                EXPECT_EQ(mask & FILE_CREATE_PIPE_INSTANCE, 0u) << std::hex << mask;
                EXPECT_NE(mask & FILE_WRITE_DATA, 0u) << std::hex << mask;
                EXPECT_NE(mask & FILE_READ_DATA, 0u) << std::hex << mask;
            }
        }
        EXPECT_TRUE(system && administrators && user) << mode;
        EXPECT_EQ(everyone, mode == 0666u) << mode;
    }
}

// SIDs built in memory, for the rule that decides a peer's number.
class Sid {
  public:
    Sid(SID_IDENTIFIER_AUTHORITY authority, std::vector<DWORD> parts) {
        const size_t used = parts.size();
        parts.resize(8);
        ::AllocateAndInitializeSid(&authority, static_cast<BYTE>(used), parts[0], parts[1],
                                   parts[2], parts[3], parts[4], parts[5], parts[6], parts[7],
                                   &sid_);
    }
    ~Sid() { ::FreeSid(sid_); }
    Sid(const Sid&) = delete;
    Sid& operator=(const Sid&) = delete;
    PSID get() const { return sid_; }

  private:
    PSID sid_ = nullptr;
};

TEST(LocalPipe, PeerNumberIsZeroForTheSystemElevatedAdministratorsAndTheOwnUser) {
    using holm::platform::win::kForeignUser;
    using holm::platform::win::peerUserNumber;
    const Sid system(SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID});
    const Sid administrators(SECURITY_NT_AUTHORITY,
                             {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    const Sid users(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    const Sid alice(SECURITY_NT_AUTHORITY, {SECURITY_NT_NON_UNIQUE, 11, 22, 33, 1001});
    const Sid bob(SECURITY_NT_AUTHORITY, {SECURITY_NT_NON_UNIQUE, 11, 22, 33, 1002});

    TOKEN_GROUPS none{};
    none.GroupCount = 0;
    // Room for two groups.
    std::vector<BYTE> storage(sizeof(TOKEN_GROUPS) + sizeof(SID_AND_ATTRIBUTES));
    auto* groups = reinterpret_cast<TOKEN_GROUPS*>(storage.data());
    const auto withAdministrators = [&](DWORD attributes) {
        groups->GroupCount = 2;
        groups->Groups[0] = {users.get(), SE_GROUP_ENABLED | SE_GROUP_MANDATORY};
        groups->Groups[1] = {administrators.get(), attributes};
        return groups;
    };

    EXPECT_EQ(peerUserNumber(system.get(), &none, alice.get()), 0u);
    EXPECT_EQ(peerUserNumber(alice.get(), &none, alice.get()), 0u);
    EXPECT_EQ(peerUserNumber(bob.get(), &none, alice.get()), 1002u);
    EXPECT_EQ(peerUserNumber(bob.get(), &none, nullptr), 1002u);
    EXPECT_EQ(peerUserNumber(bob.get(), withAdministrators(SE_GROUP_ENABLED), alice.get()), 0u);
    // A filtered administrator's token keeps the group for deny only.
    EXPECT_EQ(
        peerUserNumber(bob.get(), withAdministrators(SE_GROUP_USE_FOR_DENY_ONLY), alice.get()),
        1002u);
    EXPECT_EQ(peerUserNumber(bob.get(), withAdministrators(0), alice.get()), 1002u);
    // A SID whose last part is 0 would pass for the own user: it never does.
    const Sid zero(SECURITY_NT_AUTHORITY, {SECURITY_NT_NON_UNIQUE, 11, 22, 33, 0});
    EXPECT_EQ(peerUserNumber(zero.get(), &none, alice.get()), kForeignUser);
    EXPECT_EQ(peerUserNumber(nullptr, &none, alice.get()), kForeignUser);
}

// The channel's name: one per runtime directory, however it is spelt.
TEST(LocalPipe, ChannelNameFollowsTheRuntimeDirectory) {
    const char* saved = std::getenv("HOLM_RUNTIME_DIR");
    const std::string restore = saved != nullptr ? saved : "";
    holm::test::unsetEnvironment("HOLM_RUNTIME_DIR");
    EXPECT_EQ(holm::platform::localChannelPath("control"), "\\\\.\\pipe\\holm-control");
    EXPECT_EQ(holm::platform::localChannelDirectory(), "");

    holm::test::setEnvironment("HOLM_RUNTIME_DIR", "C:\\ProgramData\\Holm");
    const std::string named = holm::platform::localChannelPath("control");
    EXPECT_TRUE(named.starts_with("\\\\.\\pipe\\holm-control-")) << named;
    EXPECT_EQ(named.size(), std::string("\\\\.\\pipe\\holm-control-").size() + 16) << named;
    holm::test::setEnvironment("HOLM_RUNTIME_DIR", "c:/programdata/holm");
    EXPECT_EQ(holm::platform::localChannelPath("control"), named);
    holm::test::setEnvironment("HOLM_RUNTIME_DIR", "C:/ProgramData/Holm2");
    EXPECT_NE(holm::platform::localChannelPath("control"), named);

    if (saved != nullptr) {
        holm::test::setEnvironment("HOLM_RUNTIME_DIR", restore);
    } else {
        holm::test::unsetEnvironment("HOLM_RUNTIME_DIR");
    }
}

TEST(LocalPipe, DatagramsAreNotSupported) {
    const auto sent = holm::platform::sendDatagram(freshName(), "x");
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().errnoValue(), ENOTSUP);
}

}  // namespace
