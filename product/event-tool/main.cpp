// holm-event set NAME
// holm-event wait NAME [COUNT]
//
// `set` sets the named event NAME (as a plugin watches it with watchEvent;
// the "Global\" prefix may be given or left out): every process watching it
// sees the set. `wait` watches NAME, prints "watching" once its watch is in
// place, then "set" for each set it sees, and ends after COUNT sets (default
// 1). The events live in HOLM_RUNTIME_DIR (default /run/holm); any local
// user may set one, watching needs the runtime directory's owner (or root).
//
// Exit codes: 0 done; 1 no process watches the event (nothing to set);
// 2 usage or an invalid name; 3 the event could not be set or watched.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/utf16.h"
#include "platform/io.h"
#include "platform/named_event.h"

namespace holm::product {
namespace {

int usage() {
    std::fprintf(stderr, "usage: holm-event set NAME | holm-event wait NAME [COUNT]\n");
    return 2;
}

int set(const std::string& directory, const std::string& fileName) {
    switch (holm::platform::setNamedEvent(directory, fileName)) {
        case holm::platform::NamedEventSet::Set:
            return 0;
        case holm::platform::NamedEventSet::NoWatcher:
            std::fprintf(stderr, "holm-event: no process watches this event\n");
            return 1;
        case holm::platform::NamedEventSet::Failed:
            break;
    }
    std::fprintf(stderr, "holm-event: cannot set the event in %s: %s\n", directory.c_str(),
                 std::strerror(errno));
    return 3;
}

int wait(const std::string& directory, const std::string& fileName, unsigned long count) {
    namespace io = holm::platform::io;
    const auto opened = holm::platform::NamedEventWatch::open(directory, fileName);
    if (!opened) {
        std::fprintf(stderr, "holm-event: cannot watch the event in %s: %s\n", directory.c_str(),
                     opened.error().message().c_str());
        return 3;
    }
    const holm::platform::NamedEventWatch& watch = *opened;
    std::printf("watching\n");
    std::fflush(stdout);
    for (unsigned long seen = 0; seen < count;) {
        if (io::waitReadable(watch.fd(), io::deadlineIn(std::chrono::hours(24))).valueOr(false)) {
            holm::platform::drainNamedEvent(watch.fd());
            std::printf("set\n");
            std::fflush(stdout);
            ++seen;
        }
    }
    return 0;
}

}  // namespace
}  // namespace holm::product

int main(int argc, char** argv) {
    using namespace holm::product;
    if (argc < 3 || argc > 4) {
        return usage();
    }
    const bool setting = std::strcmp(argv[1], "set") == 0;
    if (!setting && std::strcmp(argv[1], "wait") != 0) {
        return usage();
    }
    unsigned long count = 1;
    if (argc == 4) {
        char* end = nullptr;
        count = std::strtoul(argv[3], &end, 10);
        if (setting || end == argv[3] || *end != '\0' || count == 0) {
            return usage();
        }
    }
    std::u16string name = holm::common::utf8ToUtf16(argv[2]);
    constexpr std::u16string_view kPrefix = u"Global\\";
    if (name.size() > kPrefix.size() &&
        holm::common::equalsNoCase(name.substr(0, kPrefix.size()), kPrefix)) {
        name.erase(0, kPrefix.size());
    }
    const std::string fileName = holm::platform::namedEventFileName(name);
    if (fileName.empty()) {
        std::fprintf(stderr, "holm-event: the name must have 1 to %zu characters\n",
                     holm::platform::kMaxNamedEventName);
        return 2;
    }
    const std::string directory = holm::platform::runtimeDirectory();
    return setting ? set(directory, fileName) : wait(directory, fileName, count);
}
