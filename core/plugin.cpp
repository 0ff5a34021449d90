#include "core/plugin.h"

#include <vector>

#include "common/format.h"
#include "common/mutex.h"
#include "common/path_parts.h"
#include "common/utf16.h"
#include "core/plugin_boundary.h"

namespace holm::core {

namespace {

constexpr uint32_t kVersionMajorMask = 0xFF000000;
constexpr uint32_t kSupportedMajor = 0x04000000;

// Plugin objects whose library stays mapped: they remain reachable here for
// the rest of the process, since a provider entry or a live object may still
// lead to them.
void keepForProcessLife(HlmPlg::CHlmPlg* plugin) {
    static common::Mutex lock;
    static auto* kept = new std::vector<HlmPlg::CHlmPlg*>();  // never destroyed
    common::MutexLock guard(lock);
    kept->push_back(plugin);
}

std::u16string fileNamePart(const std::string& path) {
    return common::utf8ToUtf16(common::fileNameOf(path));
}

}  // namespace

CPlugin::CPlugin(HlmPlg::IService* service, platform::SharedLibrary library, std::u16string name,
                 HlmPlg::CHlmPlg* plugin)
    : name_(std::move(name)), plugin_(plugin), library_(std::move(library)), service_(service) {
    if (library_.valid()) {
        libraryName_ = fileNamePart(library_.path());
    }
}

CPlugin::~CPlugin() {
    destroyObject();
    // library_ frees the library, after the object that came from it.
}

// The object goes first, while its code is still mapped. A destruction that
// throws is reported and its library freed like any other (its frames were
// unwound); one that faults keeps the library mapped.
void CPlugin::destroyObject() noexcept {
    if (plugin_ == nullptr) {
        return;
    }
    HlmPlg::CHlmPlg* plugin = plugin_;
    plugin_ = nullptr;
    auto freePlugin = reinterpret_cast<FreeHlmPluginFunction>(library_.symbol("freeHlmPlugin"));
    const BoundaryReporting reporting{service_, nullptr};
    const Callee callee{plugin, reinterpret_cast<const void*>(freePlugin), &faulted_};
    try {
        if (freePlugin != nullptr) {
            (void)callPlugin(reporting, placeName(u"freeHlmPlugin"), callee,
                             [&] { freePlugin(plugin); });
        } else {
            (void)callPlugin(reporting, placeName(u"destructor"), callee, [&] { delete plugin; });
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): the policy declined; nothing may leave here
    }
    if (faulted_) {
        library_.keepLoaded();
    }
}

void CPlugin::abandon() {
    if (plugin_ != nullptr) {
        keepForProcessLife(plugin_);
        plugin_ = nullptr;
    }
    library_.keepLoaded();
}

bool CPlugin::faulted() const {
    return faulted_ || faultedIn(library_);
}

template <typename Result, typename Call>
Result CPlugin::shielded(const char16_t* method, Result failed, Call call) {
    const BoundaryReporting reporting{service_, nullptr};
    auto result = callPlugin(reporting, placeName(method), calleeOf(plugin_, &faulted_), call);
    if (!result) {
        ++faultsContained_;
        return failed;
    }
    return *result;
}

std::u16string CPlugin::placeName(const char16_t* method) const {
    return common::format(u"CPlugin(%s)::%s", name_.c_str(), method);
}

int32_t CPlugin::loadPlugin() {
    return shielded(u"loadPlugin", kVersionException, [&] {
        version_ = plugin_->getVersion();
        return (version_ & kVersionMajorMask) == kSupportedMajor ? kVersionAccepted
                                                                 : kVersionRefused;
    });
}

bool CPlugin::changeState(const char16_t* method, bool (HlmPlg::CHlmPlg::*call)(), State next) {
    return shielded(method, false, [&] {
        if (!(plugin_->*call)()) {
            return false;
        }
        state_ = next;
        return true;
    });
}

bool CPlugin::load() {
    return changeState(u"load", &HlmPlg::CHlmPlg::load, kLoaded);
}

bool CPlugin::unload() {
    return changeState(u"unload", &HlmPlg::CHlmPlg::unload, kUnloaded);
}

bool CPlugin::start() {
    return changeState(u"start", &HlmPlg::CHlmPlg::start, kStarted);
}

bool CPlugin::stop() {
    return changeState(u"stop", &HlmPlg::CHlmPlg::stop, kStopped);
}

bool CPlugin::handleCmdLine(HlmPlg::ICmdLine* cmdLine) {
    return shielded(u"handleCmdLine", false, [&] { return plugin_->handleCmdLine(cmdLine); });
}

bool CPlugin::test(const char16_t* argument) {
    return shielded(u"test", false, [&] { return plugin_->test(argument); });
}

bool CPlugin::isInstalled(HlmPlg::IConfig* config) {
    return shielded(u"isInstalled", false, [&] { return plugin_->isInstalled(config); });
}

uint32_t CPlugin::getLastError() {
    return shielded(u"getLastError", uint32_t{0}, [&] { return plugin_->getLastError(); });
}

}  // namespace holm::core
