#include "containers/factory.h"

#include <new>

#include "containers/data_list.h"
#include "containers/ini_file.h"
#include "containers/key_value_list.h"
#include "containers/serializable_list.h"
#include "containers/string_list.h"
#include "containers/text_file.h"
#include "hlmplg/interface_ids.h"

namespace holm::containers {

HlmPlg::IInterface* createContainer(int32_t id) {
    switch (id) {
        case HlmPlg::IID_KEYVALUELIST:
            return new (std::nothrow) CKeyValueListImpl();
        case HlmPlg::IID_STRINGLIST:
            return new (std::nothrow) CStringListImpl();
        case HlmPlg::IID_DATALIST:
            return new (std::nothrow) CDataListImpl();
        case HlmPlg::IID_SERIALIZABLELIST:
            return new (std::nothrow) CSerializableListImpl();
        case HlmPlg::IID_TXTFILE:
            return new (std::nothrow) CTxtFileImpl();
        case HlmPlg::IID_INIFILE:
            return new (std::nothrow) CIniFileImpl();
        default:
            return nullptr;
    }
}

void destroyContainer(HlmPlg::IInterface* container) {
    delete container;
}

}  // namespace holm::containers
