// How the core's provider makes and destroys the services of this folder by
// interface id: every call makes a new object.
#pragma once

#include <cstdint>
#include <string>

#include "hlmplg/interface.h"
#include "services/res_string2.h"

namespace holm::services {

// A new object for IID_SYNCREADWRITE (with a fresh lock) or IID_WOW64FSREDIR
// (bound to `systemDirectory`, which ends in one separator, and this
// platform's redirection binder); null for any other id or when it cannot be
// allocated.
HlmPlg::IInterface* createService(int32_t id, const std::u16string& systemDirectory = u"");

// A new resource-string object: IID_RESSTRING over the process-wide master
// texts of the product directory, IID_RESSTRING2 over `product`; null for any
// other id or when it cannot be allocated.
HlmPlg::IInterface* createTextService(int32_t id, ProductTexts product);

// Destroys an object made by createService; null is ignored.
void destroyService(HlmPlg::IInterface* service);

}  // namespace holm::services
