#include "platform/load_once.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace
{

// What a load fills, as a library's table of resolved functions would be.
using Table = std::pair<int, int>;

TEST(LoadOnce, FailuresAreRetriedAndConcurrentCallersLoadOnceAndSeeTheFilledTable)
{
    platform::LoadOnce<Table> once;
    Table table;
    std::atomic<int> loads{0};
    // Fills `table` and returns it when `succeed`, null otherwise.
    const auto load = [&](bool succeed) {
        return once.get([&]() -> const Table * {
            ++loads;
            if (!succeed)
                return nullptr;
            table = {1, 2};
            return &table;
        });
    };
    EXPECT_EQ(load(false), nullptr);
    EXPECT_EQ(load(false), nullptr);

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
    EXPECT_EQ(seen, std::vector<int>(seen.size(), 3))
        << "a caller saw the table before it was filled";
    EXPECT_EQ(load(false), &table);
    EXPECT_EQ(loads, 3) << "a success was repeated";
}

} // namespace
