// Interface ids: the integers by which plugins ask the facade for service
// objects. Ids without a provider in the core (20, 22 to 56, above 58) may be
// served by a plugin that registers itself as their provider.
#pragma once

#include <cstdint>

namespace HlmPlg {

enum InterfaceId : int32_t {
    IID_CONFIG = 1,
    IID_RESSTRING = 2,
    IID_CONFIGWRITE = 3,
    IID_KEYVALUELIST = 4,
    IID_STRINGLIST = 5,
    IID_DATALIST = 6,
    IID_CMDLINE = 7,
    IID_SYNCREADWRITE = 8,
    IID_DEBUG = 9,
    IID_SERVICE = 10,
    IID_SERIALIZABLELIST = 11,
    IID_WOW64FSREDIR = 12,
    IID_THREAD = 13,
    IID_PROCESS = 14,
    IID_TXTFILE = 15,
    IID_INIFILE = 16,
    IID_ASYNC = 17,
    IID_LOG = 18,
    IID_SQLITEDB = 19,
    IID_RESSTRING2 = 21,
    IID_ENGINE = 57,
    IID_AVHIO = 58,
};

}  // namespace HlmPlg
