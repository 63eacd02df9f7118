#include "platform/debug_library_loader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

// The fake library: what the next load returns and how many loads were made. Plain globals
// because the loader takes a plain function pointer.
platform::ModuleHandle nextModule;
platform::DebugEntryPoints nextEntryPoints;
std::atomic<int> loadCount;

void fakeEntry() {}
int fakeModuleObject;

platform::ModuleHandle fakeLoad(platform::DebugEntryPoints &entryPoints)
{
    ++loadCount;
    entryPoints = nextModule ? nextEntryPoints : platform::DebugEntryPoints{};
    return nextModule;
}

class DebugLibraryLoaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        nextModule = nullptr;
        nextEntryPoints = {};
        loadCount = 0;
    }

    platform::ModuleHandle load()
    {
        return platform::loadDebugLibraryOnce(module, entryPoints, mutex, fakeLoad);
    }

    std::atomic<platform::ModuleHandle> module{nullptr};
    platform::DebugEntryPoints entryPoints;
    std::mutex mutex;
};

TEST_F(DebugLibraryLoaderTest, FailedLoadIsRetriedByEveryCall)
{
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(loadCount, 2);
    EXPECT_EQ(entryPoints.stackWalk64, nullptr);
    EXPECT_EQ(entryPoints.miniDumpWriteDump, nullptr);

    nextModule = &fakeModuleObject;
    nextEntryPoints.stackWalk64 = fakeEntry;
    EXPECT_EQ(load(), &fakeModuleObject);
    EXPECT_EQ(loadCount, 3);
    EXPECT_EQ(entryPoints.stackWalk64, fakeEntry);
}

TEST_F(DebugLibraryLoaderTest, SuccessfulLoadIsNeverRepeatedEvenWithMissingEntryPoints)
{
    nextModule = &fakeModuleObject;
    nextEntryPoints.miniDumpWriteDump = fakeEntry; // the three walk routines are missing
    EXPECT_EQ(load(), &fakeModuleObject);
    nextEntryPoints.stackWalk64 = fakeEntry;
    EXPECT_EQ(load(), &fakeModuleObject);
    EXPECT_EQ(load(), &fakeModuleObject);

    EXPECT_EQ(loadCount, 1);
    EXPECT_EQ(entryPoints.miniDumpWriteDump, fakeEntry);
    EXPECT_EQ(entryPoints.stackWalk64, nullptr);
}

TEST_F(DebugLibraryLoaderTest, ConcurrentFirstCallsLoadOnce)
{
    nextModule = &fakeModuleObject;
    nextEntryPoints.symGetModuleBase64 = fakeEntry;
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    std::vector<platform::ModuleHandle> results(8);
    std::vector<platform::EntryPoint> seenEntries(8);
    for (std::size_t i = 0; i < results.size(); ++i)
        callers.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            results[i] = load();
            seenEntries[i] = entryPoints.symGetModuleBase64;
        });
    go = true;
    for (std::thread &caller : callers)
        caller.join();

    EXPECT_EQ(loadCount, 1);
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], &fakeModuleObject);
        EXPECT_EQ(seenEntries[i], fakeEntry) << "a caller saw the module before its entry points";
    }
}

} // namespace
