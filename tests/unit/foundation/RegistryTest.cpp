#include <zelm/framework/ComponentFactory_Base.h>
#include <zelm/framework/Component_Base.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Widget : Zelm::Component_Base {
    explicit Widget(std::string tag) : tag(std::move(tag)) {}
    std::string tag;
    std::vector<std::string> args;
};

struct Registry : Zelm::ComponentFactory_Base {};

Zelm::ComponentFactoryInterface::Creator makes(const std::string& tag) {
    return [tag](const std::vector<std::string>& args) {
        auto widget = std::make_shared<Widget>(tag);
        widget->args = args;
        return std::shared_ptr<Zelm::ComponentInterface>(widget);
    };
}

std::string tagOf(const std::shared_ptr<Zelm::ComponentInterface>& component) {
    return component ? dynamic_cast<Widget&>(*component).tag : "<none>";
}

TEST(Registry, FirstCreatorUnderANameWinsAndGetsTheArguments) {
    Registry registry;
    registry.addComponentCreator("a", makes("first"));
    registry.addComponentCreator("a", makes("second"));
    EXPECT_EQ(registry.supportedComponents().size(), 1u);
    const auto made = registry.createComponent("a", {"x", "", "y"});
    EXPECT_EQ(tagOf(made), "first");
    EXPECT_EQ(dynamic_cast<Widget&>(*made).args, (std::vector<std::string>{"x", "", "y"}));
    EXPECT_NE(registry.createComponent("a", {}), made);
}

TEST(Registry, RemovingAndAddingAgain) {
    Registry registry;
    registry.removeComponentCreator("missing");
    registry.addComponentCreator("a", makes("first"));
    registry.removeComponentCreator("a");
    EXPECT_EQ(registry.createComponent("a", {}), nullptr);
    registry.addComponentCreator("a", makes("again"));
    EXPECT_EQ(tagOf(registry.createComponent("a", {})), "again");
}

TEST(Registry, EmptyCreatorThrowsAndReleasesTheLock) {
    Registry registry;
    registry.addComponentCreator("empty", Zelm::ComponentFactoryInterface::Creator());
    EXPECT_THROW(registry.createComponent("empty", {}), std::bad_function_call);
    // The mutex must be free again: another thread can use the registry.
    std::thread other([&] { registry.addComponentCreator("b", makes("b")); });
    other.join();
    EXPECT_EQ(registry.supportedComponents().size(), 2u);
}

TEST(Registry, SupportedComponentsIsTheLiveMapInByteOrder) {
    Registry registry;
    const auto& live = registry.supportedComponents();
    for (const char* name : {"beta", "alpha", "Zulu", "alphabet", "al"})
        registry.addComponentCreator(name, makes(name));
    std::vector<std::string> names;
    for (const auto& entry : live) names.push_back(entry.first);
    EXPECT_EQ(names, (std::vector<std::string>{"Zulu", "al", "alpha", "alphabet", "beta"}));
    registry.removeAllComponentCreators();
    EXPECT_TRUE(live.empty());
}

}  // namespace
