// A thread started in a module keeps that module loaded until it ends, so unloading the module under a
// running thread cannot pull its code away.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"

namespace {

std::string gModulePath;

bool isLoaded() {
    void *module = dlopen(gModulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module) dlclose(module);
    return module != nullptr;
}

TEST(ThreadModule, StaysLoadedWhileItsThreadRunsAndUnloadsAfter) {
    void *module = dlopen(gModulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto startSleepingThread = reinterpret_cast<bool (*)(int)>(dlsym(module, "startSleepingThread"));
    ASSERT_NE(startSleepingThread, nullptr);
    ASSERT_TRUE(startSleepingThread(300));

    dlclose(module);
    EXPECT_TRUE(isLoaded()) << "unloaded under its running thread";
    EXPECT_TRUE(waitUntil([] { return !isLoaded(); })) << "still loaded after its thread ended";
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) return 2;
    gModulePath = argv[1];
    return RUN_ALL_TESTS();
}
