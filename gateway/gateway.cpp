#include "gateway/gateway.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <typeinfo>
#include <utility>

#include "common/format.h"
#include "gateway/av_log.h"
#include "hlmplg/interface_ids.h"
#include "platform/shared_library.h"

namespace holm::gateway {
namespace {

// An address in this library's own image.
constexpr char kInThisModule = 0;

// The last answer of the type check (below) for one interface.
struct KnownType {
    const std::type_info* type = nullptr;
    ptrdiff_t subobject = 0;
    bool isBase = false;     // the object checked is the IInterface of the interface asked for
    bool permanent = false;  // `type` lies in the program or in this library
};

// What the gateway keeps per thread, in one record: this library is loaded
// at run time, so each use of a thread-local object costs a look-up of the
// thread's block. The record is constant-initialised and has no destructor,
// so a use needs no first-use check on top of that look-up.
//
// `spareConfigBlock` is the block of the last configuration wrapper freed on
// this thread: a wrapper made and released on one thread reuses it without
// the allocator and without touching memory another thread writes.
struct ThreadState {
    KnownType config;
    KnownType strings;
    KnownType log;
    void* spareConfigBlock = nullptr;
    bool spareFreedAtExit = false;  // the thread's end frees the spare block
    bool ending = false;            // it has done so: no block is kept any more
};

thread_local constinit ThreadState threadState;

// The calling thread's record. The compiler takes the address of a
// thread-local object for a constant and repeats its look-up (a call into
// the loader) at every use; passed through an empty asm statement it is an
// ordinary value, looked up once per call.
ThreadState& currentThreadState() noexcept {
    ThreadState* state = &threadState;
    asm("" : "+r"(state));
    return *state;
}

// Frees the thread's spare block when the thread ends. Armed by the first
// block kept, so that threads which never release a wrapper register nothing.
struct SpareBlockRelease {
    ~SpareBlockRelease() {
        ::operator delete(std::exchange(threadState.spareConfigBlock, nullptr));
        threadState.ending = true;
    }
};

void* takeSpareBlock(ThreadState& state) noexcept {
    return std::exchange(state.spareConfigBlock, nullptr);
}

bool keepSpareBlock(ThreadState& state, void* block) noexcept {
    if (state.spareConfigBlock != nullptr || state.ending) {
        return false;
    }
    if (!state.spareFreedAtExit) {
        thread_local SpareBlockRelease release;
        static_cast<void>(release);
        state.spareFreedAtExit = true;
    }
    state.spareConfigBlock = block;
    return true;
}

template <class T>
KnownType& knownTypeOf(ThreadState& state) {
    if constexpr (std::is_same_v<T, HlmPlg::IConfig>) {
        return state.config;
    } else if constexpr (std::is_same_v<T, HlmPlg::IResString2>) {
        return state.strings;
    } else {
        static_assert(std::is_same_v<T, HlmPlg::ILog>);
        return state.log;
    }
}

// The run-time type check of an object the core hands over. Its answer
// depends only on the object's complete type and on which of its subobjects
// `made` is, so each thread remembers the last answer for those two, known
// again by the type information's address. The answer is used only for a
// type of the program or of this library, which cannot be unloaded while
// this code runs; a plugin library unloaded and another loaded in its place
// could put a different type at the same address, so a plugin's type is
// checked in full each time. Whether an address lies in the program or in
// this library never changes, so that is asked once per type.
template <class T>
T* checkedType(HlmPlg::IInterface* made, KnownType& known) {
    const std::type_info* type = &typeid(*made);
    const ptrdiff_t subobject = reinterpret_cast<const char*>(made) -
                                static_cast<const char*>(dynamic_cast<const void*>(made));
    if (type == known.type && subobject == known.subobject) {
        return known.permanent && known.isBase ? static_cast<T*>(made) : dynamic_cast<T*>(made);
    }
    T* typed = dynamic_cast<T*>(made);
    known = {type, subobject, typed != nullptr && typed == static_cast<T*>(made),
             platform::addressInProgramOrModuleOf(type, &kInThisModule)};
    return typed;
}

template <class T>
T* createFromCore(HlmPlg::IHlmCore* core, int32_t id, ThreadState& state) {
    HlmPlg::IInterface* made = core->createInterface(id);
    if (made == nullptr) {
        return nullptr;
    }
    if (auto* typed = checkedType<T>(made, knownTypeOf<T>(state))) {
        return typed;
    }
    core->releaseInterface(id, made);
    return nullptr;
}

}  // namespace

HlmPlg::IPluginObject2* gatewayFactory(const char* factoryName) {
    if (factoryName == nullptr || std::strcmp(factoryName, HlmPlg::kGatewayFactoryName) != 0) {
        return nullptr;
    }
    return new (std::nothrow) HPlg2Gateway();
}

HPlg2Gateway::~HPlg2Gateway() {
    uninit();
}

uint32_t HPlg2Gateway::init(HlmPlg::IPluginManager2* manager) {
    core_ = manager != nullptr ? manager->getCore() : nullptr;
    if (manager != nullptr) {
        manager->setAvailableAfterInit();
    }
    if (core_ == nullptr) {
        return 1610;  // no configuration to be had
    }
    config_ = createFromCore<HlmPlg::IConfig>(core_, HlmPlg::IID_CONFIG, currentThreadState());
    if (config_ == nullptr) {
        return 1610;
    }
    config_->registerHandler(&configNotifier_);
    return 0;
}

void HPlg2Gateway::uninit() {
    if (config_ == nullptr) {
        return;
    }
    config_->unregisterHandler(&configNotifier_);
    core_->releaseInterface(HlmPlg::IID_CONFIG, config_);
    config_ = nullptr;
}

// The notifiers are the gateway's own and exist from its construction; the
// wrappers need the core, which init brings.
HlmPlg::IPluginObject2* HPlg2Gateway::createObject(const char* typeName) {
    if (typeName == nullptr) {
        return nullptr;
    }
    const std::string_view name(typeName);
    if (name == HlmPlg::kGatewayUpdateNotifier) {
        return &updateNotifier_;
    }
    if (name == HlmPlg::kGatewayConfigNotifier) {
        return static_cast<HlmPlg::IHP2ObjConfigChangeNotifier*>(&configNotifier_);
    }
    if (core_ == nullptr) {
        return nullptr;
    }
    if (name == HlmPlg::kGatewayConfig) {
        return createConfig();
    }
    if (name == HlmPlg::kGatewayResString2) {
        return createResString2();
    }
    if (name == HlmPlg::kGatewayAvLog) {
        return createAvLog();
    }
    return nullptr;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createConfig() {
    ThreadState& state = currentThreadState();
    auto* config = createFromCore<HlmPlg::IConfig>(core_, HlmPlg::IID_CONFIG, state);
    if (config == nullptr) {
        return nullptr;
    }
    if (void* block = takeSpareBlock(state)) {
        return ::new (block) HP2ObjConfig(config, core_);  // freed by HP2ObjConfig's delete
    }
    auto* wrapper = new (std::nothrow) HP2ObjConfig(config, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_CONFIG, config);
    }
    return wrapper;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createResString2() {
    auto* strings =
        createFromCore<HlmPlg::IResString2>(core_, HlmPlg::IID_RESSTRING2, currentThreadState());
    if (strings == nullptr) {
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) HP2ObjResString2(strings, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings);
    }
    return wrapper;
}

HlmPlg::IPluginObject2* HPlg2Gateway::createAvLog() {
    auto* log = createFromCore<HlmPlg::ILog>(core_, HlmPlg::IID_LOG, currentThreadState());
    if (log == nullptr) {
        return nullptr;
    }
    auto* strings =
        createFromCore<HlmPlg::IResString2>(core_, HlmPlg::IID_RESSTRING2, currentThreadState());
    if (strings == nullptr) {
        core_->releaseInterface(HlmPlg::IID_LOG, log);
        return nullptr;
    }
    auto* wrapper = new (std::nothrow) HP2ObjAvLog(log, strings, core_);
    if (wrapper == nullptr) {
        core_->releaseInterface(HlmPlg::IID_LOG, log);
        core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings);
    }
    return wrapper;
}

void HP2ObjConfig::operator delete(void* block) noexcept {
    if (block != nullptr && !keepSpareBlock(currentThreadState(), block)) {
        ::operator delete(block);
    }
}

HP2ObjConfig::~HP2ObjConfig() {
    core_->releaseInterface(HlmPlg::IID_CONFIG, config_);
}

HP2ObjResString2::~HP2ObjResString2() {
    core_->releaseInterface(HlmPlg::IID_RESSTRING2, strings_);
}

std::u16string HP2ObjResString2::formatMasterText(const char16_t* name, ...) {
    const std::u16string format = strings_->getMasterText(name);
    va_list arguments;
    va_start(arguments, name);
    std::u16string text = common::vformatPrintfOrEmpty(format, arguments);
    va_end(arguments);
    return text;
}

std::u16string HP2ObjResString2::formatString(uint32_t id, ...) {
    const std::u16string format = strings_->loadString(id);
    va_list arguments;
    va_start(arguments, id);
    std::u16string text = common::vformatOrEmpty(format, arguments);
    va_end(arguments);
    return text;
}

}  // namespace holm::gateway
