// The bridge's scoped lock: one held per thread at a time.

#include "SingleLockGuard.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace
{

using Q7::TavrinC::SingleLockGuard;
using namespace std::chrono_literals;

// Expects the guard's refusal, with its text.
template <typename Take>
void ExpectRefused(Take&& take)
{
    try
    {
        take();
        ADD_FAILURE() << "a second lock was taken";
    }
    catch (const std::logic_error& error)
    {
        EXPECT_EQ(std::string(error.what()), "Only one lock may be held by current thread");
    }
}

// Catches a second lock taken by a thread that holds one (another mutex: a
// lock-order deadlock; the same mutex: undefined for std::mutex), a refusal
// that leaves a mutex locked or the count raised, and a count shared between
// threads.
TEST(SingleLockGuardTest, AThreadHoldingOneIsRefusedAnotherBeforeAnythingIsLocked)
{
    std::mutex first;
    std::mutex second;
    {
        SingleLockGuard held(first);
        EXPECT_EQ(SingleLockGuard::HeldByThisThread(), 1);
        ExpectRefused([&] { SingleLockGuard again(second); });
        ExpectRefused([&] { SingleLockGuard same(first); });
        EXPECT_EQ(SingleLockGuard::HeldByThisThread(), 1);
        EXPECT_TRUE(second.try_lock()) << "the refused mutex was left locked";
        second.unlock();
        // Another thread is not concerned by this one's guard.
        auto other = std::async(std::launch::async,
                                [&]
                                {
                                    SingleLockGuard own(second);
                                    return SingleLockGuard::HeldByThisThread();
                                });
        ASSERT_EQ(other.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(other.get(), 1);
    }
    EXPECT_EQ(SingleLockGuard::HeldByThisThread(), 0);
    EXPECT_TRUE(first.try_lock()) << "the guard did not unlock";
    first.unlock();
    SingleLockGuard next(second);
    EXPECT_EQ(SingleLockGuard::HeldByThisThread(), 1);
}

} // namespace
