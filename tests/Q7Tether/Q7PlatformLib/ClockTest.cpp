// Monotonic ticks and sleeps.

#include "Q7PlatformClock_Posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

using namespace std::chrono_literals;
using Q7::Platform::GetTickCountMs;
using Q7::Platform::GetTickCountUs;
using Q7::Platform::SleepMs;

// The ticks must run at the rate of the clock that the standard library's waits
// use (a scale error, or a clock that drifts from it, makes time-outs measured
// with the ticks disagree with the waits they bound). The interval is bracketed
// by steady-clock readings taken outside and inside the two tick readings.
TEST(ClockTest, TicksAdvanceAtTheRateOfTheSteadyClock)
{
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    using Steady = std::chrono::steady_clock;
    const Steady::time_point outerStart = Steady::now();
    const uint64_t startUs = GetTickCountUs();
    const uint64_t startMs = GetTickCountMs();
    const Steady::time_point innerStart = Steady::now();
    while (Steady::now() - innerStart < 100ms)
    {
        // spin: the interval itself is under test
    }
    const Steady::time_point innerEnd = Steady::now();
    const uint64_t endUs = GetTickCountUs();
    const uint64_t endMs = GetTickCountMs();
    const Steady::time_point outerEnd = Steady::now();

    const auto inner = static_cast<uint64_t>(duration_cast<microseconds>(innerEnd - innerStart).count());
    const auto outer = static_cast<uint64_t>(duration_cast<microseconds>(outerEnd - outerStart).count());
    EXPECT_GE(endUs - startUs, inner);
    EXPECT_LE(endUs - startUs, outer + 1);
    EXPECT_GE(endMs - startMs + 1, inner / 1000);
    EXPECT_LE(endMs - startMs, outer / 1000 + 1);
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
