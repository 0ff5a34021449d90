#include "utilities/product_services.h"

namespace Tandro::Utilities {

void RegisterProductServices(DiContainer& container, std::u16string_view productDirectory,
                             EnvironmentLookup environment) {
    container.Register<IProductSettings>(
        [directory = std::u16string(productDirectory), environment] {
            return std::make_shared<ProductSettings>(directory, environment);
        });
    container.Register<IModuleList>([&container, environment] {
        auto settings = container.Get<IProductSettings>();
        return std::make_shared<SwitchSet>(SwitchSet::modules(*settings, environment));
    });
    container.Register<IFeatureControlReader>([&container, environment] {
        auto settings = container.Get<IProductSettings>();
        return std::make_shared<SwitchSet>(SwitchSet::features(*settings, environment));
    });
    container.Register<IMasterTextReader>([&container] {
        return MasterTextReader::openInDirectory(
            container.Get<IProductSettings>()->getProductDirectory());
    });
}

void InitializeProductServices(std::u16string_view productDirectory) {
    auto& container = DiContainer::Instance();
    RegisterProductServices(container, productDirectory);
    container.Initialize();
}

}  // namespace Tandro::Utilities
