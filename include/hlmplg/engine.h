// The scanning engine (id 57) and the I/O driver bridge (id 58) as
// first-generation interfaces, and the second-generation objects that serve
// them: "ILocalDecider" of "Holm/ENGINE/2.0" and "IAvhioRemote" of
// "Holm/AVHIO/2.0". The core library's legacy bridge connects the two.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hlmplg/export.h"
#include "hlmplg/interface.h"
#include "hlmplg/plugin2.h"

namespace HlmPlg {

class IKeyValueList;
class IStringList;

inline constexpr const char* kEngineFactoryName = "Holm/ENGINE/2.0";
inline constexpr const char* kEngineObjectName = "ILocalDecider";
inline constexpr const char* kAvhioFactoryName = "Holm/AVHIO/2.0";
inline constexpr const char* kAvhioObjectName = "IAvhioRemote";

// A version as the engine reports it: four 32-bit values and six 16-bit
// parts (28 bytes, little-endian, no padding).
struct EngineVersion {
    uint32_t values[4];
    uint16_t parts[6];
};
static_assert(sizeof(EngineVersion) == 28);
static_assert(offsetof(EngineVersion, parts) == 16);

// The engine's own version record, as raw bytes. Version A takes the four
// 32-bit values at byte offsets 4 to 19 and the low 16 bits of the 32-bit
// values at 20, 24 and 28; version B the same four values, the 16-bit value
// at 52 and the bytes at 54 to 58.
struct EngineVersionSource {
    uint8_t bytes[60];
};

// The engine's information block: the version records at its sixth and
// ninth fields (pointer-sized fields carry pointers).
struct EngineInformation {
    uint32_t fields0to4[5];
    const EngineVersionSource* versionA;
    uint32_t fields6to7[2];
    const EngineVersionSource* versionB;
};

// An extension list: `data` holds `count` entries within `totalLength`
// bytes, each a signed length byte followed by that many OEM characters.
struct ExtensionList {
    uint16_t totalLength;
    uint16_t count;
    const uint8_t* data;
};

// Counters and texts of the I/O driver bridge's statistics.
struct AvhioStatistics {
    enum Counter : int { Files = 2, Viruses, Deleted, Moved, Renamed, Repaired, Suspicious };
    static constexpr size_t kTextLength = 260;

    int32_t counters[9];
    char16_t lastFile[kTextLength];
    char16_t lastVirus[kTextLength];
    char16_t lastInfectedFile[kTextLength];
};
static_assert(sizeof(AvhioStatistics) == 9 * 4 + 3 * 260 * 2);

// The engine's second-generation object. Slots 4 to 7, 10 and 11 are not
// used by the core.
class HLMPLG_API ILocalDecider : public IPluginObject2 {
  public:
    virtual uint32_t reserved4() { return 0; }
    virtual uint32_t reserved5() { return 0; }
    virtual uint32_t reserved6() { return 0; }
    virtual uint32_t reserved7() { return 0; }
    // Fills `list` (its data stays the engine's until freeExtensionList); 0
    // for success.
    virtual uint32_t getExtensionList(ExtensionList* list) = 0;
    virtual void freeExtensionList(ExtensionList* list) = 0;
    virtual uint32_t reserved10() { return 0; }
    virtual uint32_t reserved11() { return 0; }
    // The engine's information block; the engine keeps it.
    virtual const EngineInformation* getInformation() = 0;
};

// The I/O driver bridge's second-generation object.
class HLMPLG_API IAvhioRemote : public IPluginObject2 {
  public:
    virtual uint32_t getState() = 0;
    virtual bool setOption(uint32_t option, uint32_t value) = 0;
    // Non-zero when `statistics` was filled.
    virtual uint32_t getStatistics(AvhioStatistics* statistics) = 0;
    // 1 when the counters were taken over.
    virtual uint32_t setStatistics(const AvhioStatistics* statistics) = 0;
    // 1 when the driver is active.
    virtual uint32_t isActive() = 0;
    // 1 when the request succeeded.
    virtual uint32_t control(uint32_t code, uint32_t value) = 0;
};

// The engine for first-generation plugins (id 57). The operations marked
// "fixed" answer with a constant and exist for the slot order.
class HLMPLG_API IEngine : public IHandlerInterface {
  public:
    // The scanned extensions, upper case with a leading dot (".EXE").
    virtual bool getExtensionList(IStringList* list) = 0;
    virtual bool fixed4(uint32_t first, uint32_t second) = 0;
    virtual uint32_t fixed5() = 0;
    virtual void fixed6(uint32_t value) = 0;
    virtual bool fixed7(uint32_t value) = 0;
    virtual uint32_t fixed8() = 0;
    virtual bool getVersionA(EngineVersion* version) = 0;
    virtual bool getVersionB(EngineVersion* version) = 0;
    virtual uint32_t fixed11(uint32_t first, uint32_t second) = 0;
    virtual void fixed12(uint32_t value) = 0;
    virtual bool fixed13(uint32_t value) = 0;
    virtual bool fixed14(uint32_t value) = 0;
    // Tells the gateway's update notifier that the engine was updated.
    virtual uint32_t notifyUpdate() = 0;
};

// The I/O driver bridge for first-generation plugins (id 58).
class HLMPLG_API IAVHIo : public IHandlerInterface {
  public:
    virtual uint32_t fixed3() = 0;
    virtual uint32_t getState() = 0;
    virtual bool setOption(uint32_t option, uint32_t value) = 0;
    virtual bool fixed6() = 0;
    // Writes "file", "deleted", "repaired", "moved", "renamed", "virus",
    // "suspicious", "lastfile", "lastvirus", "lastinfectedfile".
    virtual void getStatistics(IKeyValueList* list) = 0;
    // Reads "deleted", "repaired", "moved", "renamed".
    virtual bool setStatistics(IKeyValueList* list) = 0;
    virtual bool isActive() = 0;
    virtual bool control(uint32_t code, uint32_t value) = 0;
};

}  // namespace HlmPlg
