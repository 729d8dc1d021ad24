#include <zelm/framework/ComponentFactory_Base.h>
#include <zelm/framework/Component_Base.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// The registry's bookkeeping is seen through the factory suite; here it is raced.
struct Widget : Zelm::Component_Base {
    std::string tag;
};

struct Registry : Zelm::ComponentFactory_Base {};

Zelm::ComponentFactoryInterface::Creator makes(const std::string& tag, std::function<void()> during = {}) {
    return [tag, during](const std::vector<std::string>&) {
        if (during) during();
        auto widget = std::make_shared<Widget>();
        widget->tag = tag;
        return std::shared_ptr<Zelm::ComponentInterface>(widget);
    };
}

std::string tagOf(const std::shared_ptr<Zelm::ComponentInterface>& made) {
    return made ? dynamic_cast<Widget&>(*made).tag : "none";
}

// Creators run one at a time under the registry's lock, while other threads
// add and remove creators (ThreadSanitizer checks the map).
TEST(Registry, CreatorsRunOneAtATimeWhileOthersChangeTheRegistry) {
    Registry registry;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    registry.addComponentCreator("w", makes("w", [&] {
                                     if (++inside > 1) overlapped = true;
                                     std::this_thread::yield();
                                     --inside;
                                 }));
    auto create = [&] {
        for (int i = 0; i < 2000; ++i) EXPECT_EQ(tagOf(registry.createComponent("w", {})), "w");
    };
    std::thread first(create), second(create);
    for (int i = 0; i < 2000; ++i) {
        registry.addComponentCreator("x" + std::to_string(i % 5), makes("x"));
        registry.removeComponentCreator("x" + std::to_string((i + 2) % 5));
    }
    first.join();
    second.join();
    EXPECT_FALSE(overlapped);
}

}  // namespace
