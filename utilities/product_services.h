// Registration of the product's services with a DiContainer.
#pragma once

#include <string_view>

#include "utilities/di_container.h"
#include "utilities/master_text_reader.h"
#include "utilities/product_settings.h"
#include "utilities/product_switches.h"

namespace Tandro::Utilities {

// Registers factories for IProductSettings (from `productDirectory`, the
// directory of the core library, and the environment), IModuleList,
// IFeatureControlReader and IMasterTextReader (the common text library in the
// product directory). Each instance is made on first request.
void RegisterProductServices(DiContainer& container, std::u16string_view productDirectory,
                             EnvironmentLookup environment = processEnvironment);

// Registers the product's services with the process-wide container and
// initialises it.
void InitializeProductServices(std::u16string_view productDirectory);

}  // namespace Tandro::Utilities
