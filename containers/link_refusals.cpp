#include "containers/link_refusals.h"

#include <cerrno>
#include <mutex>
#include <set>

#include "common/utf16.h"
#include "platform/trusted_links.h"

namespace holm::containers {

namespace {

// Bounds the paths remembered as reported: past it, refusals are logged
// again rather than remembered without end.
constexpr size_t kMaxRememberedRefusals = 256;

struct RefusalState {
    std::mutex lock;
    std::function<void(const std::u16string&)> log;
    std::set<std::string> reported;
};

RefusalState& refusalState() {
    static RefusalState state;
    return state;
}

}  // namespace

void setLinkRefusalLog(std::function<void(const std::u16string& line)> log) {
    RefusalState& state = refusalState();
    std::lock_guard guard(state.lock);
    state.log = std::move(log);
    state.reported.clear();
}

platform::Result<std::string> followLinksOrReport(const std::string& path) {
    auto followed = platform::followTrustedLinks(path);
    if (followed || followed.error().errnoValue() != ELOOP) {
        return followed;
    }
    RefusalState& state = refusalState();
    std::function<void(const std::u16string&)> log;
    {
        std::lock_guard guard(state.lock);
        if (state.reported.size() >= kMaxRememberedRefusals) {
            state.reported.clear();
        }
        if (state.log && state.reported.insert(path).second) {
            log = state.log;
        }
    }
    if (log) {
        log(u"refused the file " + common::utf8ToUtf16(path) +
            u": it is reached through a symbolic link that root or the service's user does not "
            u"own, or that lies in a directory they do not own");
    }
    return followed;
}

}  // namespace holm::containers
