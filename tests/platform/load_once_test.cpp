#include "platform/load_once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{

// What a load fills: a table of two entries, as a library's resolved functions would be.
struct Table {
    int first = 0;
    int second = 0;
};

class LoadOnceTest : public testing::Test
{
protected:
    // Fills `table` and returns it when `succeed`, null otherwise; counts the calls.
    const Table *load(bool succeed)
    {
        return once.get([&]() -> const Table * {
            ++loads;
            if (!succeed)
                return nullptr;
            table = {1, 2};
            return &table;
        });
    }

    platform::LoadOnce<Table> once;
    Table table;
    std::atomic<int> loads{0};
};

TEST_F(LoadOnceTest, FailuresAreRetriedAndASuccessIsNeverRepeated)
{
    EXPECT_EQ(load(false), nullptr);
    EXPECT_EQ(load(false), nullptr);
    EXPECT_EQ(load(true), &table);
    EXPECT_EQ(load(false), &table);
    EXPECT_EQ(load(true), &table);
    EXPECT_EQ(loads, 3);
}

TEST_F(LoadOnceTest, ConcurrentFirstCallsLoadOnceAndSeeTheFilledTable)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> callers;
    std::vector<int> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i)
        callers.emplace_back([&, i] {
            while (!go.load())
                std::this_thread::yield();
            const Table *loaded = load(true);
            seen[i] = loaded ? loaded->first + loaded->second : -1;
        });
    go = true;
    for (std::thread &caller : callers)
        caller.join();
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(seen, std::vector<int>(seen.size(), 3))
        << "a caller saw the table before it was filled";
}

} // namespace
