// The objects of the core library's gateway ("Holm/Gateway/1.0"): the core's
// configuration, resource texts and log for second-generation plugins, and
// two notifiers.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "hlmplg/export.h"
#include "hlmplg/log.h"
#include "hlmplg/plugin2.h"

namespace HlmPlg {

class IStringList;

// Type names the gateway's createObject serves.
inline constexpr const char* kGatewayConfig = "IConfig";
inline constexpr const char* kGatewayAvLog = "IAvLog";
inline constexpr const char* kGatewayResString2 = "IResString2";
inline constexpr const char* kGatewayUpdateNotifier = "IUpdateNotifier";
inline constexpr const char* kGatewayConfigNotifier = "IConfigNotifier";

// The configuration (id 1) without its handler registration; every
// operation behaves as the IConfig one of the same name. Texts point into
// the object and stay valid until its next call.
class HLMPLG_API IHP2ObjConfig : public IPluginObject2 {
  public:
    virtual const char16_t* getProductDirectory() = 0;
    virtual const char16_t* getDataDirectory() = 0;
    virtual const char16_t* getAppDataSubDir(const char16_t* name) = 0;
    virtual const char16_t* getReportPath(const char16_t* fileName) = 0;
    virtual const char16_t* getTempDirectory() = 0;
    virtual const char16_t* getWindowsDirectory() = 0;
    virtual const char16_t* getSystemDirectory() = 0;
    virtual bool isModuleAvailable(uint32_t id) = 0;
    virtual bool isModuleUnavailable(uint32_t id) = 0;
    virtual bool isFeatureEnabled(uint32_t id) = 0;
    virtual bool isFeatureDisabled(uint32_t id) = 0;
    virtual const char16_t* readString(const char16_t* section, const char16_t* key,
                                       const char16_t* defaultValue) = 0;
    virtual IStringList* readList(const char16_t* section, const char16_t* key,
                                  const char16_t* defaultValue, const char16_t* separator) = 0;
    virtual const char16_t* readScrambledString(const char16_t* section, const char16_t* key) = 0;
    virtual int32_t readInt(const char16_t* section, const char16_t* key, int32_t defaultValue) = 0;
    virtual uint32_t readHex(const char16_t* section, const char16_t* key,
                             uint32_t defaultValue) = 0;
    virtual bool readBool(const char16_t* section, const char16_t* key, bool defaultValue) = 0;
    virtual const char16_t* readRegistryString(uint32_t rootKey, const char16_t* subKey,
                                               const char16_t* valueName) = 0;
    virtual int32_t readRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                      const char16_t* valueName) = 0;
    virtual const char16_t* readProductRegistryString(const char16_t* valueName) = 0;
    virtual int32_t readProductRegistryDword(const char16_t* valueName) = 0;
    virtual bool writeRegistryString(uint32_t rootKey, const char16_t* subKey,
                                     const char16_t* valueName, const char16_t* text) = 0;
    virtual bool writeRegistryDword(uint32_t rootKey, const char16_t* subKey,
                                    const char16_t* valueName, int32_t value) = 0;
    virtual bool writeProductRegistryString(const char16_t* valueName, const char16_t* text) = 0;
    virtual bool writeProductRegistryDword(const char16_t* valueName, int32_t value) = 0;
    virtual const char16_t* unscramble(const char16_t* text) = 0;
};

// The resource strings (id 21) without the product registry key.
class HLMPLG_API IHP2ObjResString2 : public IPluginObject2 {
  public:
    virtual std::u16string getMasterText(const char16_t* name) = 0;
    virtual std::u16string loadString(uint32_t id) = 0;
    virtual std::u16string formatMasterText(const char16_t* name, ...) = 0;
    virtual std::u16string formatString(uint32_t id, ...) = 0;
    virtual std::u16string getFilePath(const char16_t* name) = 0;
    virtual bool setResourceLibrary(const char16_t* path) = 0;
};

// The core's report log (id 18) with the product's message texts.
// Operations on a log that could not be had, or on a null event, do nothing
// and give 0 or the empty text.
class HLMPLG_API IHP2ObjAvLog : public IPluginObject2 {
  public:
    // A new entry; hand it back through commitEvent.
    virtual ILogEvent* createEvent() = 0;
    // Writes the entry and destroys it.
    virtual void commitEvent(ILogEvent* event) = 0;
    // Opens "<program>.log" in the report directory ("ReportDirectory" of
    // "COMMON", default the data subdirectory "LOGFILES", created if
    // missing) with "ReportingLevel" (default 1), "MaximumLogFileSize"
    // (0: 100 MiB with numbered backups) and "OnAccessBackupLog" of "HOLM";
    // 1 when the log opened, else 0.
    virtual uint32_t openFromConfig(IHP2ObjConfig* config) = 0;
    // Opens (again) with these settings; 1 when the log opened, else 0.
    virtual uint32_t open(const char16_t* path, int32_t level, int32_t maxSize,
                          uint32_t backup) = 0;
    // Message `id` of "holmmsg.dll"; empty when that library is not loaded.
    virtual std::u16string getMessage(uint32_t id) = 0;
    virtual void addEventLine(ILogEvent* event, int32_t level, uint32_t style, uint32_t category,
                              const char16_t* format, ...) = 0;
    virtual void addEventLineV(ILogEvent* event, int32_t level, uint32_t style, uint32_t category,
                               const char16_t* format, va_list arguments) = 0;
    virtual void addEventLineText(ILogEvent* event, int32_t level, uint32_t style,
                                  uint32_t category, const char16_t* text) = 0;
};

// What a notifier calls: the first virtual operation of the object.
class HLMPLG_API ISubscriber2 {
  public:
    virtual void onNotify() = 0;

  protected:
    ~ISubscriber2() = default;
};

// A list of subscribers told of one kind of news. The notifiers live inside
// the gateway: addRef and release return 1 and change nothing, and a
// notifier must not be used after the gateway is gone. A subscriber may
// subscribe or unsubscribe (itself or others) from inside its callback; one
// unsubscribed is not called by a notification that starts afterwards.
class HLMPLG_API IHP2ObjNotifier : public IPluginObject2 {
  public:
    // 1 when added, 0 when it was already subscribed.
    virtual uint32_t subscribe(ISubscriber2* subscriber) = 0;
    // Removes the subscriber; see the two notifiers for the result.
    virtual uint32_t unsubscribe(ISubscriber2* subscriber) = 0;
    // Calls every subscriber in subscription order.
    virtual void notify() = 0;
};

// News of engine updates ("IUpdateNotifier"); unsubscribe returns 1 always.
class HLMPLG_API IHP2ObjUpdateNotifier : public IHP2ObjNotifier {};

// Every configuration reload of the core ("IConfigNotifier"); unsubscribe
// returns 1 when it removed the subscriber, 0 when it was not subscribed.
class HLMPLG_API IHP2ObjConfigChangeNotifier : public IHP2ObjNotifier {};

}  // namespace HlmPlg
