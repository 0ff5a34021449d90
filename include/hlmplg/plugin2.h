// Second-generation plugin objects: reference-counted, found by an ASCII
// factory name and an ASCII type name.
#pragma once

#include <cstdint>

#include "hlmplg/export.h"

namespace HlmPlg {

class IPluginManager2;

// The creator holds the first reference (the count is 1 at construction);
// release() of the last reference destroys the object.
class HLMPLG_API IPluginObject2 {
  public:
    virtual uint32_t addRef() = 0;
    virtual uint32_t release() = 0;
    virtual const char* getTypeName() = 0;

  protected:
    virtual ~IPluginObject2() = default;
};

// The root object of a second-generation plugin library.
class HLMPLG_API IHolmPlugin2 : public IPluginObject2 {
  public:
    virtual uint32_t init(IPluginManager2* manager) = 0;
    virtual void uninit() = 0;
    virtual uint32_t start() = 0;
    virtual void stop() = 0;
    virtual void onStarted() {}
    virtual IPluginObject2* createObject(const char* typeName) = 0;
};

}  // namespace HlmPlg

// The entry point a second-generation plugin library exports: its root
// object for `factoryName`, or null.
#define HLMPLG_PLUGIN_FACTORY                                                                \
    extern "C" __attribute__((visibility("default"))) HlmPlg::IPluginObject2* PluginFactory( \
        const char* factoryName)
