#include "utilities/di_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace Tandro::Utilities {
namespace {

struct IService {
    static constexpr const char* kDiTypeName = "IService";
    virtual ~IService() = default;
};
struct IOther {
    static constexpr const char* kDiTypeName = "IOther";
    virtual ~IOther() = default;
};
struct Service : IService {};
struct Other : IOther {
    explicit Other(std::shared_ptr<IService> service) : service(std::move(service)) {}
    std::shared_ptr<IService> service;
};

template <typename T>
std::string errorOf(DiContainer& container) {
    try {
        container.Get<T>();
    } catch (const std::logic_error& error) {
        return error.what();
    }
    return "no error";
}

TEST(DiContainerTest, ReportsEachMisuseWithItsText) {
    DiContainer container;
    container.Register<IService>([] { return std::make_shared<Service>(); });
    EXPECT_EQ(errorOf<IService>(container), "Use DiContainer before it is initialized");

    container.Initialize();
    EXPECT_EQ(errorOf<IOther>(container), "No factory function registered for: IOther");

    container.Register<IOther>([]() -> std::shared_ptr<IOther> { throw std::runtime_error("x"); });
    EXPECT_EQ(errorOf<IOther>(container),
              "Creation of instance for IOther failed. Did you try to create the instance after "
              "calling Clear()?");
    container.Register<IOther>([] { return std::shared_ptr<IOther>(); });
    EXPECT_EQ(errorOf<IOther>(container),
              "Creation of instance for IOther failed. Did you try to create the instance after "
              "calling Clear()?");
}

TEST(DiContainerTest, GivesOneInstanceUntilClearedAndNoneAfter) {
    DiContainer container;
    container.Register<IService>([] { return std::make_shared<Service>(); });
    container.Register<IOther>(
        [&container] { return std::make_shared<Other>(container.Get<IService>()); });
    container.Initialize();

    const auto other = container.Get<IOther>();
    EXPECT_EQ(container.Get<IOther>(), other);
    EXPECT_EQ(std::static_pointer_cast<Other>(other)->service, container.Get<IService>());

    container.Clear();
    EXPECT_EQ(errorOf<IService>(container),
              "Creation of instance for IService failed. Did you try to create the instance after "
              "calling Clear()?");
    container.Initialize();
    EXPECT_NE(container.Get<IOther>(), other);
}

TEST(DiContainerTest, FactoryAskingForItsOwnTypeFailsInsteadOfRecursing) {
    DiContainer container;
    container.Register<IService>([&container] { return container.Get<IService>(); });
    container.Initialize();
    EXPECT_THROW(container.Get<IService>(), std::logic_error);
}

TEST(DiContainerTest, ConcurrentFirstRequestsShareOneInstance) {
    DiContainer container;
    std::atomic<int> created{0};
    container.Register<IService>([&created] {
        ++created;
        return std::make_shared<Service>();
    });
    container.Initialize();
    constexpr int kThreads = 8;
    // A shared future rather than std::latch: this toolchain's atomic waits
    // can lose a wake-up on Windows.
    std::promise<void> go;
    const std::shared_future<void> start = go.get_future().share();
    std::vector<std::shared_ptr<IService>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.wait();
            seen[i] = container.Get<IService>();
        });
    }
    go.set_value();
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(created, 1);
    for (const auto& instance : seen) {
        EXPECT_EQ(instance, seen.front());
    }
}

}  // namespace
}  // namespace Tandro::Utilities
