// Runtime class activation driven through fake libraries: the system
// activation path with its apartment retry, the factory cache, and the
// namespace-library fallback.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "abi/machine_learning.h"
#include "activation.h"
#include "library_loader.h"
#include "platform_error_name.h"

namespace {

using namespace qelmo::platform;
using qelmo::platform::testing::platform_error_name;

// The interface the tests activate for.
struct ITestStatics : mlabi::IUnknown {
    static constexpr mlabi::GUID iid{0x1A2B3C4D, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
    virtual int which() = 0;
};

// A factory with observable reference counting. Lives on the test's stack;
// the count tells whether everyone who took a reference gave it back.
class fake_factory final : public mlabi::IActivationFactory, public ITestStatics {
public:
    fake_factory(int id, bool agile, bool offers_statics = true) : id_(id), agile_(agile), offers_statics_(offers_statics) {}

    mlabi::HRESULT QueryInterface(const mlabi::GUID& iid, void** object) override {
        *object = nullptr;
        if (iid == mlabi::IUnknown::iid || iid == mlabi::IActivationFactory::iid) {
            *object = static_cast<mlabi::IActivationFactory*>(this);
        } else if (iid == ITestStatics::iid && offers_statics_) {
            *object = static_cast<ITestStatics*>(this);
        } else if (iid == mlabi::IAgileObject::iid && agile_) {
            *object = static_cast<mlabi::IActivationFactory*>(this);
        } else {
            return mlabi::E_NOINTERFACE;
        }
        AddRef();
        return mlabi::S_OK;
    }
    uint32_t AddRef() override { return ++references_; }
    uint32_t Release() override { return --references_; }
    mlabi::HRESULT ActivateInstance(mlabi::IUnknown**) override { return mlabi::E_NOTIMPL; }
    int which() override { return id_; }

    int references() const { return references_.load(); }

private:
    int id_;
    bool agile_;
    bool offers_statics_;
    std::atomic<int> references_{0};
};

// What the fake system library and namespace libraries do, and what they saw.
struct fake_world {
    // RoGetActivationFactory answers, in order; the last one repeats.
    std::vector<mlabi::HRESULT> system_answers{mlabi::REGDB_E_CLASSNOTREG};
    fake_factory* system_factory = nullptr;
    bool system_library_present = true;
    bool increment_present = true;

    // Namespace libraries by file name, and the factory each hands out (null:
    // present but DllGetActivationFactory fails).
    std::map<std::string, fake_factory*> namespace_libraries;

    std::vector<std::string> events;  // loads, unloads and calls, in order
    std::vector<std::string> activated_names;
    int loaded_now = 0;  // libraries currently loaded
};

fake_world* world = nullptr;
std::mutex world_mutex;  // activation may be raced from several threads

// Library handles are the addresses of their names in a stable table.
std::map<std::string, int>& handles() {
    static std::map<std::string, int> table;
    return table;
}

std::string name_of(void* library) {
    for (auto& [name, slot] : handles()) {
        if (&slot == library) return name;
    }
    return "?";
}

mlabi::HRESULT fake_ro_get_activation_factory(mlabi::HSTRING class_name, const mlabi::GUID& iid, void** factory) {
    *factory = nullptr;
    std::lock_guard<std::mutex> lock(world_mutex);
    world->events.push_back("RoGetActivationFactory");
    world->activated_names.emplace_back(mlabi::hstring_view(class_name).begin(), mlabi::hstring_view(class_name).end());
    const size_t call = std::count(world->events.begin(), world->events.end(), "RoGetActivationFactory") - 1;
    const mlabi::HRESULT answer = world->system_answers[std::min(call, world->system_answers.size() - 1)];
    if (answer < 0) return answer;
    return world->system_factory->QueryInterface(iid, factory);
}

mlabi::HRESULT fake_co_increment_mta_usage(void** cookie) {
    std::lock_guard<std::mutex> lock(world_mutex);
    world->events.push_back("CoIncrementMTAUsage");
    *cookie = reinterpret_cast<void*>(1);
    return mlabi::S_OK;
}

mlabi::HRESULT fake_dll_get_activation_factory(mlabi::HSTRING, mlabi::IActivationFactory** factory);

void* fake_load(const char* name) {
    std::lock_guard<std::mutex> lock(world_mutex);
    world->events.push_back(std::string("load ") + name);
    const std::string file(name);
    const bool present = file == "combase.so" ? world->system_library_present
                                              : world->namespace_libraries.count(file) != 0;
    if (!present) return nullptr;
    ++world->loaded_now;
    return &handles()[file];
}

std::string current_namespace_library;

void* fake_symbol(void* library, const char* symbol) {
    std::lock_guard<std::mutex> lock(world_mutex);
    const std::string file = name_of(library);
    const std::string wanted(symbol);
    if (file == "combase.so") {
        if (wanted == "RoGetActivationFactory") return reinterpret_cast<void*>(&fake_ro_get_activation_factory);
        if (wanted == "CoIncrementMTAUsage" && world->increment_present)
            return reinterpret_cast<void*>(&fake_co_increment_mta_usage);
        return nullptr;
    }
    if (wanted != "DllGetActivationFactory") return nullptr;
    current_namespace_library = file;
    return reinterpret_cast<void*>(&fake_dll_get_activation_factory);
}

mlabi::HRESULT fake_dll_get_activation_factory(mlabi::HSTRING, mlabi::IActivationFactory** factory) {
    *factory = nullptr;
    std::lock_guard<std::mutex> lock(world_mutex);
    world->events.push_back("DllGetActivationFactory " + current_namespace_library);
    fake_factory* made = world->namespace_libraries[current_namespace_library];
    if (made == nullptr) return mlabi::CLASS_E_CLASSNOTAVAILABLE;
    made->AddRef();
    *factory = made;
    return mlabi::S_OK;
}

void fake_unload(void* library) {
    std::lock_guard<std::mutex> lock(world_mutex);
    world->events.push_back("unload " + name_of(library));
    --world->loaded_now;
}

constexpr library_loader fake_loader{&fake_load, &fake_symbol, &fake_unload};

class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override {
        world = &state;
        set_library_loader_for_testing(&fake_loader);
    }
    void TearDown() override {
        set_library_loader_for_testing(nullptr);  // also empties the cache
        world = nullptr;
    }

    // Owned by the fixture so that they outlive the cache emptied in TearDown.
    fake_factory& make_factory(int id, bool agile, bool offers_statics = true) {
        factories.push_back(std::make_unique<fake_factory>(id, agile, offers_statics));
        return *factories.back();
    }

    int count(const std::string& event) const { return std::count(state.events.begin(), state.events.end(), event); }

    std::vector<std::unique_ptr<fake_factory>> factories;
    fake_world state;
};

constexpr char16_t test_class[] = u"Windows.AI.MachineLearning.TestClass";

TEST_F(ActivationTest, RetriesOnceAfterJoiningTheMultiThreadedApartment) {
    fake_factory& factory = make_factory(1, true);
    state.system_factory = &factory;
    state.system_answers = {mlabi::CO_E_NOTINITIALIZED, mlabi::S_OK};
    static factory_slot<ITestStatics> slot{test_class};
    {
        auto statics = slot.get();
        ASSERT_TRUE(statics);
        EXPECT_EQ(statics->which(), 1);
    }
    const std::vector<std::string> expected{"load combase.so", "RoGetActivationFactory", "CoIncrementMTAUsage",
                                            "RoGetActivationFactory"};
    EXPECT_EQ(state.events, expected);
    EXPECT_EQ(state.activated_names.front(), "Windows.AI.MachineLearning.TestClass");
}

TEST_F(ActivationTest, WithoutCoIncrementMTAUsageTheFirstAnswerStands) {
    fake_factory& factory = make_factory(1, true);
    state.system_factory = &factory;
    state.increment_present = false;
    state.system_answers = {mlabi::CO_E_NOTINITIALIZED, mlabi::S_OK};
    static factory_slot<ITestStatics> slot{test_class};
    try {
        slot.get();
        FAIL() << "activation succeeded";
    } catch (const hresult_error& error) {
        EXPECT_EQ(platform_error_name(std::current_exception()), "hresult_error");
        EXPECT_EQ(error.code(), mlabi::CO_E_NOTINITIALIZED);
    }
    EXPECT_EQ(count("RoGetActivationFactory"), 1);
}

TEST_F(ActivationTest, AgileFactoryIsActivatedOnceAndCached) {
    fake_factory& factory = make_factory(7, true);
    state.system_factory = &factory;
    state.system_answers = {mlabi::S_OK};
    static factory_slot<ITestStatics> slot{test_class};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(slot.get()->which(), 7);
    EXPECT_EQ(count("RoGetActivationFactory"), 1);
    EXPECT_EQ(factory.references(), 1);  // the cache's own
    release_cached_factories();
    EXPECT_EQ(factory.references(), 0);
}

TEST_F(ActivationTest, NonAgileFactoryIsActivatedEveryTimeAndNotKept) {
    fake_factory& factory = make_factory(2, false);
    state.system_factory = &factory;
    state.system_answers = {mlabi::S_OK};
    static factory_slot<ITestStatics> slot{test_class};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(slot.get()->which(), 2);
    EXPECT_EQ(count("RoGetActivationFactory"), 3);
    EXPECT_EQ(factory.references(), 0);
}

TEST_F(ActivationTest, SystemLibraryIsResolvedOncePerProcess) {
    fake_factory& factory = make_factory(1, false);
    state.system_factory = &factory;
    state.system_answers = {mlabi::S_OK};
    static factory_slot<ITestStatics> first{u"Windows.AI.MachineLearning.First"};
    static factory_slot<ITestStatics> second{u"Windows.AI.MachineLearning.Second"};
    first.get();
    second.get();
    first.get();
    EXPECT_EQ(count("load combase.so"), 1);
    EXPECT_EQ(count("unload combase.so"), 0);
}

TEST_F(ActivationTest, NamespaceLibrariesAreTriedLongestNameFirst) {
    fake_factory& refusing = make_factory(3, true, /*offers_statics=*/false);
    fake_factory& wanted = make_factory(4, true);
    state.namespace_libraries["Windows.AI.MachineLearning.so"] = nullptr;  // loads, but has no such class
    state.namespace_libraries["Windows.AI.so"] = &refusing;                // has it, without the interface
    state.namespace_libraries["Windows.so"] = &wanted;
    static factory_slot<ITestStatics> slot{test_class};
    EXPECT_EQ(slot.get()->which(), 4);

    const std::vector<std::string> expected{
        "load combase.so",
        "RoGetActivationFactory",
        "load Windows.AI.MachineLearning.so",
        "DllGetActivationFactory Windows.AI.MachineLearning.so",
        "unload Windows.AI.MachineLearning.so",
        "load Windows.AI.so",
        "DllGetActivationFactory Windows.AI.so",
        "unload Windows.AI.so",
        "load Windows.so",
        "DllGetActivationFactory Windows.so",
    };
    EXPECT_EQ(state.events, expected);
    EXPECT_EQ(refusing.references(), 0);
    EXPECT_EQ(state.loaded_now, 2);  // combase and the library that answered stay loaded
    EXPECT_EQ(wanted.references(), 1);
}

TEST_F(ActivationTest, MissingNamespaceLibrariesAreSkipped) {
    fake_factory& wanted = make_factory(5, false);
    state.namespace_libraries["Windows.AI.so"] = &wanted;
    static factory_slot<ITestStatics> slot{test_class};
    EXPECT_EQ(slot.get()->which(), 5);
    EXPECT_EQ(count("load Windows.AI.MachineLearning.so"), 1);
    EXPECT_EQ(count("load Windows.so"), 0);
}

void expect_activation_error(factory_slot<ITestStatics>& slot, const char* error_name, mlabi::HRESULT code) {
    try {
        slot.get();
        ADD_FAILURE() << "activation succeeded";
    } catch (const hresult_error& error) {
        EXPECT_EQ(platform_error_name(std::current_exception()), error_name);
        EXPECT_EQ(error.code(), code);
    }
}

TEST_F(ActivationTest, WhenEverythingFailsTheFirstAnswerIsRaised) {
    state.system_answers = {mlabi::REGDB_E_CLASSNOTREG};
    state.namespace_libraries["Windows.AI.MachineLearning.so"] = nullptr;
    state.namespace_libraries["Windows.so"] = nullptr;
    static factory_slot<ITestStatics> slot{test_class};
    expect_activation_error(slot, "hresult_class_not_registered", mlabi::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(count("load Windows.AI.MachineLearning.so"), 1);
    EXPECT_EQ(count("load Windows.AI.so"), 1);
    EXPECT_EQ(count("load Windows.so"), 1);
    EXPECT_EQ(state.loaded_now, 1);  // only combase
    // A failure is not cached: the next call asks again.
    expect_activation_error(slot, "hresult_class_not_registered", mlabi::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(count("RoGetActivationFactory"), 2);
}

TEST_F(ActivationTest, WithoutTheSystemLibraryClassesAreNotAvailable) {
    state.system_library_present = false;
    static factory_slot<ITestStatics> slot{test_class};
    expect_activation_error(slot, "hresult_class_not_available", mlabi::CLASS_E_CLASSNOTAVAILABLE);

    fake_factory& wanted = make_factory(6, true);
    state.namespace_libraries["Windows.AI.MachineLearning.so"] = &wanted;
    EXPECT_EQ(slot.get()->which(), 6);
}

TEST_F(ActivationTest, RacingFirstUseKeepsOneFactoryAndDropsTheOthers) {
    fake_factory& factory = make_factory(8, true);
    state.system_factory = &factory;
    state.system_answers = {mlabi::S_OK};
    static factory_slot<ITestStatics> slot{test_class};

    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < 200; ++i) {
                auto statics = slot.get();
                if (!statics || statics->which() != 8) ++wrong;
            }
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(count("RoGetActivationFactory"), 1);
    EXPECT_EQ(state.loaded_now, 1);      // one system library kept, however many threads resolved it
    EXPECT_EQ(factory.references(), 1);  // losers of the race released theirs
    release_cached_factories();
    EXPECT_EQ(factory.references(), 0);
}

}  // namespace
