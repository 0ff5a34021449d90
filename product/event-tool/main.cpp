// holm-event set NAME
//
// Sets the named event NAME (as a plugin watches it with watchEvent; the
// "Global\" prefix may be given or left out). The FIFOs live in
// HOLM_RUNTIME_DIR (default /run/holm).
//
// Exit codes: 0 set; 1 no process watches the event (nothing to set);
// 2 usage or an invalid name; 3 the event could not be set.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/utf16.h"
#include "platform/named_event.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: holm-event set NAME\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "set") != 0) {
        return usage();
    }
    std::u16string name = holm::text::utf8ToUtf16(argv[2]);
    constexpr std::u16string_view kPrefix = u"Global\\";
    if (name.size() > kPrefix.size() &&
        holm::text::equalsNoCase(name.substr(0, kPrefix.size()), kPrefix)) {
        name.erase(0, kPrefix.size());
    }
    const std::string fileName = holm::platform::namedEventFileName(name);
    if (fileName.empty()) {
        std::fprintf(stderr, "holm-event: the name must have 1 to %zu characters\n",
                     holm::platform::kMaxNamedEventName);
        return 2;
    }
    const std::string directory = holm::platform::runtimeDirectory();
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
