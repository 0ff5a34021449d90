// How the core's provider makes and destroys the list containers by interface
// id: every call makes a new, empty object.
#pragma once

#include <cstdint>

#include "hlmplg/interface.h"

namespace holm::containers {

// A new container for IID_KEYVALUELIST, IID_STRINGLIST, IID_DATALIST,
// IID_SERIALIZABLELIST, IID_TXTFILE (a closed text file) or IID_INIFILE (in
// profile mode, without a path); null for any other id or when it cannot be
// allocated.
HlmPlg::IInterface* createContainer(int32_t id);

// Destroys an object made by createContainer; null is ignored.
void destroyContainer(HlmPlg::IInterface* container);

}  // namespace holm::containers
