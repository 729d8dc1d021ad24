#include <zelm/framework/ComponentFactory_Base.h>
#include <zelm/framework/Component_Base.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// The registry's bookkeeping is seen through the factory suite; here it is raced.
struct Widget : Zelm::Component_Base {};
struct Registry : Zelm::ComponentFactory_Base {};

Zelm::ComponentFactoryInterface::Creator makes(std::function<void()> during = {}) {
    return [during](const std::vector<std::string>&) -> std::shared_ptr<Zelm::ComponentInterface> {
        if (during) during();
        return std::make_shared<Widget>();
    };
}

// Creators run one at a time under the registry's lock, while other threads
// add and remove creators (ThreadSanitizer checks the map).
TEST(Registry, CreatorsRunOneAtATimeWhileOthersChangeTheRegistry) {
    Registry registry;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    registry.addComponentCreator("w", makes([&] {
                                     if (++inside > 1) overlapped = true;
                                     std::this_thread::yield();
                                     --inside;
                                 }));
    auto create = [&] {
        for (int i = 0; i < 2000; ++i) EXPECT_NE(registry.createComponent("w", {}), nullptr);
    };
    std::thread first(create), second(create);
    for (int i = 0; i < 2000; ++i) {
        registry.addComponentCreator("x" + std::to_string(i % 5), makes());
        registry.removeComponentCreator("x" + std::to_string((i + 2) % 5));
    }
    first.join();
    second.join();
    EXPECT_FALSE(overlapped);
}

}  // namespace
