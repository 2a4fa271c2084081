// Monotonic ticks and sleeps.

#include "Q7PlatformClock_Posix.h"

#include <gtest/gtest.h>

#include <time.h>

#include <future>
#include <vector>

using namespace std::chrono_literals;
using Q7::Platform::GetTickCountMs;
using Q7::Platform::GetTickCountUs;
using Q7::Platform::SleepMs;

namespace
{

uint64_t MonotonicUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

} // namespace

// A tick from a counter scaled as counter x 10^6 / frequency would overflow and
// jump back after weeks of uptime; these ticks are the monotonic clock itself.
TEST(ClockTest, TicksFollowTheMonotonicClock)
{
    static_assert(sizeof(GetTickCountMs()) == 8, "the millisecond tick is 64 bits");
    const uint64_t before = MonotonicUs();
    const uint64_t us = GetTickCountUs();
    const uint64_t ms = GetTickCountMs();
    const uint64_t after = MonotonicUs();
    EXPECT_GE(us, before);
    EXPECT_LE(us, after);
    EXPECT_GE(ms, before / 1000);
    EXPECT_LE(ms, after / 1000);
}

TEST(ClockTest, TicksNeverDecreaseOnAnyThread)
{
    std::vector<std::future<bool>> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.push_back(std::async(std::launch::async,
                                     []
                                     {
                                         uint64_t lastMs = GetTickCountMs();
                                         uint64_t lastUs = GetTickCountUs();
                                         for (int i = 0; i < 100000; ++i)
                                         {
                                             const uint64_t ms = GetTickCountMs();
                                             const uint64_t us = GetTickCountUs();
                                             if (ms < lastMs || us < lastUs)
                                                 return false;
                                             lastMs = ms;
                                             lastUs = us;
                                         }
                                         return true;
                                     }));
    }
    for (auto& thread : threads)
    {
        ASSERT_EQ(thread.wait_for(30s), std::future_status::ready);
        EXPECT_TRUE(thread.get());
    }
}

TEST(ClockTest, SleepLastsAtLeastItsTime)
{
    const uint64_t start = GetTickCountUs();
    SleepMs(30);
    const uint64_t elapsed = GetTickCountUs() - start;
    EXPECT_GE(elapsed, 30000u);
    EXPECT_LT(elapsed, 2000000u);
    const uint64_t yieldStart = GetTickCountUs();
    SleepMs(0);
    EXPECT_LT(GetTickCountUs() - yieldStart, 1000000u);
}
