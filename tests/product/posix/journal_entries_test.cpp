// Lifecycle events as native journal entries: avholm with the real core runs
// under a stand-in journal (JOURNAL_STREAM naming its standard error, the
// journal socket a datagram socket of the test's own).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/spawn.h"
#include "product/host/journal_events.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Entry = std::map<std::string, std::string>;

// The fields of one native entry (both the plain and the binary form).
Entry parseEntry(const std::string& data) {
    Entry entry;
    size_t at = 0;
    while (at < data.size()) {
        const size_t end = data.find('\n', at);
        const size_t equals = data.find('=', at);
        if (end == std::string::npos) {
            break;
        }
        if (equals != std::string::npos && equals < end) {
            entry[data.substr(at, equals - at)] = data.substr(equals + 1, end - equals - 1);
            at = end + 1;
            continue;
        }
        const std::string name = data.substr(at, end - at);
        uint64_t size = 0;
        for (int byte = 7; byte >= 0; --byte) {
            size = size << 8 | static_cast<uint8_t>(data[end + 1 + byte]);
        }
        entry[name] = data.substr(end + 9, size);
        at = end + 9 + size + 1;
    }
    return entry;
}

TEST(JournalEntries, NativeEntryKeepsValuesWithNewlinesWhole) {
    const std::string entry =
        holm::product::host::nativeJournalEntry({{"MESSAGE", "two\nlines"}, {"PLUGIN", "demo"}});
    EXPECT_EQ(entry, std::string("MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\nPLUGIN=demo\n", 38));
    const Entry parsed = parseEntry(entry);
    EXPECT_EQ(parsed.at("MESSAGE"), "two\nlines");
    EXPECT_EQ(parsed.at("PLUGIN"), "demo");
}

class JournalEntriesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(socketPath_.string().size(), sizeof(address.sun_path));
        std::strcpy(address.sun_path, socketPath_.c_str());
        ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    void TearDown() override { ::close(socket_); }

    // Runs avholm over `list` with standard error as the journal's stream.
    holm::platform::ProcessResult run(const std::string& list, const std::string& socket) {
        return holm::platform::runProcess(
            {"/bin/sh", "-c",
             "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"",
             HOLM_AVHOLM_PROGRAM, "--run-for", "0", list},
            {"HOLM_DATA_DIR=" + data_.path().string() + "/",
             "HOLM_REGISTRY_DIR=" + data_.path().string() + "/registry",
             "HOLM_RUNTIME_DIR=" + data_.path().string(), "HOLM_JOURNAL_SOCKET=" + socket},
            std::chrono::seconds(60));
    }

    std::vector<Entry> received() const {
        std::vector<Entry> entries;
        std::string buffer(65536, '\0');
        for (;;) {
            const ssize_t got = ::recv(socket_, buffer.data(), buffer.size(), 0);
            if (got < 0) {
                return entries;
            }
            entries.push_back(parseEntry(buffer.substr(0, static_cast<size_t>(got))));
        }
    }

    holm::test::TempDir data_;
    fs::path socketPath_ = data_.path() / "journal.socket";
    int socket_ = -1;
    const fs::path plugins_ = HOLM_TEST_PLUGIN_DIR;
};

TEST_F(JournalEntriesTest, EachLifecycleEventCarriesItsMessageIdAndPlugin) {
    const std::string ok = (plugins_ / "libok.so").string();
    const std::string throwing = (plugins_ / "libthrow_hlm.so").string();
    const holm::platform::ProcessResult result =
        run("@XMLFILE:name=good;file=" + ok + ";params=name=good" +  //
                "|name=ghost;file=/nonexistent/libghost.so" +        //
                "|name=thrower;file=" + throwing + ";params=name=thrower",
            socketPath_.string());
    ASSERT_EQ(result.exitCode, 0) << result.output;

    using holm::common::hostctl::PluginEvent;
    const auto id = [](PluginEvent event) {
        return std::string(holm::product::host::lifecycleMessageId(static_cast<uint32_t>(event)));
    };
    std::map<std::string, Entry> byEvent;  // "<message id>/<plugin>"
    for (const Entry& entry : received()) {
        EXPECT_EQ(entry.at("SYSLOG_IDENTIFIER"), "avholm");
        EXPECT_EQ(entry.at("MESSAGE_ID").size(), 32u);
        byEvent[entry.at("MESSAGE_ID") + "/" + entry.at("PLUGIN")] = entry;
        // Written natively, so not on the stream as well.
        EXPECT_EQ(result.output.find(entry.at("MESSAGE")), std::string::npos)
            << entry.at("MESSAGE");
    }
    Entry& started = byEvent[id(PluginEvent::Started) + "/good"];
    EXPECT_EQ(started["PLUGIN_FILE"], ok);
    EXPECT_EQ(started["PRIORITY"], "6");
    EXPECT_EQ(started["PLUGIN_GENERATION"], "1");
    EXPECT_EQ(started.count("CODE"), 0u);
    EXPECT_EQ(byEvent[id(PluginEvent::Stopped) + "/good"]["PLUGIN_FILE"], ok);

    Entry& refused = byEvent[id(PluginEvent::Refused) + "/ghost"];
    EXPECT_EQ(refused["PLUGIN_FILE"], "/nonexistent/libghost.so");
    EXPECT_EQ(refused["CODE"], "3");
    EXPECT_EQ(refused["PRIORITY"], "3");

    // Its start threw with the last error 42.
    EXPECT_EQ(byEvent[id(PluginEvent::FaultContained) + "/thrower"]["CODE"], "1");
    Entry& failed = byEvent[id(PluginEvent::StartFailed) + "/thrower"];
    EXPECT_EQ(failed["CODE"], "42");
    EXPECT_EQ(failed["MESSAGE"], "plugin thrower failed to start (code 42)");
}

// A journal socket that takes nothing: each event goes on the stream once.
TEST_F(JournalEntriesTest, EntriesTheSocketRefusesGoOnTheStream) {
    const holm::platform::ProcessResult result =
        run("@XMLFILE:name=good;file=" + (plugins_ / "libok.so").string() + ";params=name=good",
            (data_.path() / "absent.socket").string());
    ASSERT_EQ(result.exitCode, 0) << result.output;
    const std::string line = " INFO avholm: plugin good started\n";
    const size_t first = result.output.find(line);
    EXPECT_NE(first, std::string::npos) << result.output;
    EXPECT_EQ(result.output.find(line, first + 1), std::string::npos) << result.output;
    EXPECT_TRUE(received().empty());
}

}  // namespace
