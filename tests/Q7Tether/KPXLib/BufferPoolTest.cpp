// Tests of the buffer pool and its counted handles.

#include "Transport/BufferPool.h"
#include "LogCapture.h"

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Q7::KPX::BufferPool;
using Q7::KPX::BufferPtr;
using Q7::KPX::IAllocator;
using Q7::KPX::WaitObjectList;
using Q7::Platform::EventCondition_Posix;
using TestSupport::LogCapture;

namespace
{

constexpr uint32_t kMiB = 0x100000;

// Heap allocator that counts what it does and can be told to fail.
class CountingAllocator : public IAllocator<unsigned char>
{
public:
    unsigned char* allocate(uint32_t size) override
    {
        if (failuresLeft.load() > 0)
        {
            --failuresLeft;
            throw std::bad_alloc();
        }
        ++allocations;
        lastSize = size;
        return new unsigned char[size];
    }
    void free(unsigned char* p) override
    {
        if (p != nullptr)
        {
            ++frees;
            ++*sharedFrees;
        }
        delete[] p;
    }

    std::atomic<int> allocations{0};
    std::atomic<int> frees{0};
    std::atomic<uint32_t> lastSize{0};
    std::atomic<int> failuresLeft{0};
    // The free count again, readable after the allocator is gone.
    std::shared_ptr<std::atomic<int>> sharedFrees = std::make_shared<std::atomic<int>>(0);
};

class BufferPoolTest : public ::testing::Test
{
protected:
    std::shared_ptr<CountingAllocator> m_allocator = std::make_shared<CountingAllocator>();
};

TEST_F(BufferPoolTest, AllocatesInMultiplesAndReusesWithoutAllocating)
{
    BufferPool pool(m_allocator, 2, 0x400000, L"T ");
    const unsigned char* first = nullptr;
    {
        BufferPtr buffer = pool.GetBuffer(5000000, nullptr);
        ASSERT_FALSE(buffer.IsEmpty());
        EXPECT_EQ(buffer.GetSize(), 8388608u);
        EXPECT_EQ(m_allocator->lastSize.load(), 8388608u);
        first = buffer.GetData();
    }
    BufferPtr again = pool.GetBuffer(1000, nullptr);
    EXPECT_EQ(again.GetData(), first);
    EXPECT_EQ(again.GetSize(), 8388608u);
    EXPECT_EQ(m_allocator->allocations.load(), 1);
}

TEST_F(BufferPoolTest, AllocationMultipleDefaultsToFourMiBAndRoundsToWholeMiB)
{
    EXPECT_EQ(BufferPool(m_allocator, 1, 0, nullptr).GetAllocMultiple(), 4 * kMiB);
    EXPECT_EQ(BufferPool(m_allocator, 1, 1500000, nullptr).GetAllocMultiple(), 2 * kMiB);
    EXPECT_EQ(BufferPool(m_allocator, 1, 2 * kMiB, nullptr).GetAllocMultiple(), 2 * kMiB);
    EXPECT_EQ(BufferPool(m_allocator, 3, 0, nullptr).GetBufferCount(), 3u);
}

TEST_F(BufferPoolTest, BuffersGrowAndNeverShrink)
{
    LogCapture log;
    BufferPool pool(m_allocator, 1, 0, L"G ");
    EXPECT_EQ(pool.GetBuffer(1000, nullptr).GetSize(), 4 * kMiB);
    EXPECT_EQ(pool.GetBuffer(10 * kMiB, nullptr).GetSize(), 12 * kMiB);
    EXPECT_EQ(log.Count(L"G reallocating buffer from 4 to 12 MB."), 1u);
    EXPECT_EQ(pool.GetBuffer(1, nullptr).GetSize(), 12 * kMiB);
    EXPECT_EQ(m_allocator->allocations.load(), 2);
    EXPECT_EQ(m_allocator->frees.load(), 1);
}

TEST_F(BufferPoolTest, ZeroBytesAreServedLikeOne)
{
    BufferPool pool(m_allocator, 1, 0, nullptr);
    BufferPtr buffer = pool.GetBuffer(0, nullptr);
    ASSERT_FALSE(buffer.IsEmpty());
    EXPECT_EQ(buffer.GetSize(), 4 * kMiB);
}

TEST_F(BufferPoolTest, GetBufferWaitsUntilAHandleIsReleased)
{
    LogCapture log;
    BufferPool pool(m_allocator, 2, 0, L"W ");
    BufferPtr a = pool.GetBuffer(100, nullptr);
    BufferPtr b = pool.GetBuffer(100, nullptr);
    const unsigned char* released = b.GetData();

    auto waiter = std::async(std::launch::async, [&] { return pool.GetBuffer(100, nullptr); });
    ASSERT_TRUE(log.WaitFor(L"W no buffer currently available. Waiting."));
    EXPECT_EQ(waiter.wait_for(0s), std::future_status::timeout);
    b.Release();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    BufferPtr got = waiter.get();
    EXPECT_EQ(got.GetData(), released);
}

TEST_F(BufferPoolTest, SignalledAbortObjectGivesEmptyHandle)
{
    LogCapture log;
    BufferPool pool(m_allocator, 1, 0, L"A ");
    BufferPtr held = pool.GetBuffer(100, nullptr);
    EventCondition_Posix abort;
    const WaitObjectList abortObjects{&abort};

    auto waiter = std::async(std::launch::async, [&] { return pool.GetBuffer(100, &abortObjects); });
    ASSERT_TRUE(log.WaitFor(L"A no buffer currently available. Waiting."));
    abort.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get().IsEmpty());
    // The held buffer is untouched.
    EXPECT_FALSE(held.IsEmpty());
}

TEST_F(BufferPoolTest, CopiedHandleKeepsBufferHeldUntilLastCopyGoes)
{
    LogCapture log;
    BufferPool pool(m_allocator, 1, 0, L"C ");
    EventCondition_Posix abort;
    abort.Set();
    const WaitObjectList abortNow{&abort};

    auto first = std::make_unique<BufferPtr>(pool.GetBuffer(100, nullptr));
    BufferPtr copy(*first);
    EXPECT_EQ(copy.GetData(), first->GetData());
    first.reset();
    EXPECT_TRUE(pool.GetBuffer(100, &abortNow).IsEmpty()); // still held by the copy
    EXPECT_EQ(log.Count(L"C returning buffer to pool."), 0u);

    BufferPtr moved(std::move(copy));
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(copy.GetSize(), 0u);
    EXPECT_FALSE(moved.IsEmpty());
    EXPECT_TRUE(pool.GetBuffer(100, &abortNow).IsEmpty());

    moved.Release();
    EXPECT_EQ(log.Count(L"C returning buffer to pool."), 1u);
    EXPECT_FALSE(pool.GetBuffer(100, &abortNow).IsEmpty());
    EXPECT_EQ(log.Count(L"C returning buffer to pool."), 2u);
}

TEST_F(BufferPoolTest, AssignmentsReturnEachBufferExactlyOnce)
{
    LogCapture log;
    BufferPool pool(m_allocator, 2, 0, L"S ");
    BufferPtr a = pool.GetBuffer(100, nullptr);
    BufferPtr b = pool.GetBuffer(100, nullptr);
    BufferPtr empty(pool);
    const unsigned char* bufferA = a.GetData();

    b = a; // b's buffer returns, a's gains a holder
    EXPECT_EQ(log.Count(L"S returning buffer to pool."), 1u);
    EXPECT_EQ(b.GetData(), bufferA);
    empty = std::move(b);
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_EQ(empty.GetData(), bufferA);
    a = empty; // same buffer on both sides: nothing returns
    EXPECT_EQ(log.Count(L"S returning buffer to pool."), 1u);
    a.Release();
    EXPECT_EQ(log.Count(L"S returning buffer to pool."), 1u);
    empty = BufferPtr(pool);
    EXPECT_EQ(log.Count(L"S returning buffer to pool."), 2u);
    EXPECT_TRUE(empty.IsEmpty());
}

// Fault: self-assignment released before it retained, so a waiting GetBuffer
// could hand the buffer of its only holder to a second owner.
TEST_F(BufferPoolTest, SelfAssignmentNeverFreesTheBuffer)
{
    LogCapture log;
    BufferPool pool(m_allocator, 1, 0, L"X ");
    BufferPtr held = pool.GetBuffer(100, nullptr);
    EventCondition_Posix abort;
    const WaitObjectList abortObjects{&abort};
    auto waiter = std::async(std::launch::async, [&] { return pool.GetBuffer(100, &abortObjects); });
    ASSERT_TRUE(log.WaitFor(L"X no buffer currently available. Waiting."));

    BufferPtr& alias = held;
    for (int i = 0; i < 100; ++i)
    {
        held = alias;
        held = std::move(alias);
    }
    EXPECT_FALSE(held.IsEmpty());
    EXPECT_EQ(log.Count(L"X returning buffer to pool."), 0u);

    abort.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get().IsEmpty());
}

// Fault: the size was rounded in 32 bits and could wrap to a buffer smaller than
// asked for, or to an endless retry.
TEST_F(BufferPoolTest, SizeBeyondThirtyTwoBitsGivesEmptyHandleAtOnce)
{
    LogCapture log;
    BufferPool pool(m_allocator, 2, 0, L"R ");
    for (uint32_t size : {0xFFFFFFFFu, 0xFFC00001u})
    {
        auto result = std::async(std::launch::async, [&] { return pool.GetBuffer(size, nullptr); });
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(result.get().IsEmpty());
    }
    EXPECT_EQ(m_allocator->allocations.load(), 0);
    EXPECT_EQ(log.Count(L"Error: R requested buffer size"), 2u);
}

// Fault: a failed allocation was tried again every second for ever, so the
// caller (an agent's control thread) never got an answer. Now it gets an
// empty handle with the failure told, the buffer that was freed for the
// attempt stays empty, and the next request allocates again.
TEST_F(BufferPoolTest, FailedAllocationEndsTheRequestAtOnce)
{
    LogCapture log;
    BufferPool pool(m_allocator, 2, 0, L"F ");
    {
        BufferPtr small = pool.GetBuffer(100, nullptr);
        ASSERT_FALSE(small.IsEmpty());
    }
    m_allocator->failuresLeft = 1000; // every allocation fails
    bool failed = false;
    auto result = std::async(std::launch::async, [&] { return pool.GetBuffer(9 * kMiB, nullptr, &failed); });
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(result.get().IsEmpty());
    EXPECT_TRUE(failed);
    EXPECT_EQ(log.Count(L"F failed to allocate buffer."), 1u);
    // The 4 MiB buffer was freed to make room: nothing is kept for the claim.
    EXPECT_EQ(m_allocator->frees.load(), 1);

    m_allocator->failuresLeft = 0;
    BufferPtr next = pool.GetBuffer(100, nullptr, &failed);
    EXPECT_FALSE(next.IsEmpty());
    EXPECT_FALSE(failed);
    EXPECT_EQ(next.GetSize(), 4 * kMiB);
}

// Fault: a handle released after its pool was destroyed called into freed memory.
TEST_F(BufferPoolTest, HandleOutlivesItsPool)
{
    LogCapture log;
    std::weak_ptr<CountingAllocator> allocator = m_allocator;
    CountingAllocator& counts = *m_allocator;
    auto pool = std::make_unique<BufferPool>(std::move(m_allocator), 2, 0, L"D ");
    auto kept = std::make_unique<BufferPtr>(pool->GetBuffer(100, nullptr));
    auto copy = std::make_unique<BufferPtr>(*kept);
    pool->GetBuffer(100, nullptr); // allocates the second buffer, then frees it into the pool
    std::memset(kept->GetData(), 0x5A, kept->GetSize());

    pool.reset();
    EXPECT_EQ(log.Count(L"D freeing buffer pool while in use."), 1u);
    EXPECT_EQ(counts.frees.load(), 1); // only the free buffer
    ASSERT_FALSE(allocator.expired());

    kept.reset();
    EXPECT_EQ(counts.frees.load(), 1);
    EXPECT_EQ(copy->GetData()[copy->GetSize() - 1], 0x5A);
    std::shared_ptr<std::atomic<int>> frees = counts.sharedFrees;
    copy->Release();
    EXPECT_EQ(frees->load(), 2);
    EXPECT_FALSE(allocator.expired()); // the empty handle is still bound
    copy.reset();
    // The last handle freed the buffer and let go of the allocator.
    EXPECT_TRUE(allocator.expired());
}

TEST_F(BufferPoolTest, RetainAndReleaseByPointer)
{
    LogCapture log;
    BufferPool pool(m_allocator, 1, 0, L"P ");
    unsigned char* data = nullptr;
    {
        BufferPtr buffer = pool.GetBuffer(100, nullptr);
        data = buffer.GetData();
        pool.RetainBuffer(data);
    }
    EXPECT_EQ(log.Count(L"P returning buffer to pool."), 0u);
    {
        BufferPtr second(pool, data); // retains once more
        EXPECT_EQ(second.GetSize(), 4 * kMiB);
    }
    pool.ReleaseBuffer(data);
    EXPECT_EQ(log.Count(L"P returning buffer to pool."), 1u);

    pool.ReleaseBuffer(nullptr);
    pool.RetainBuffer(nullptr);
    pool.ReleaseBuffer(data);
    EXPECT_EQ(log.Count(L"P ReleaseBuffer() called on non-retained buffer."), 1u);

    unsigned char stranger = 0;
    try
    {
        pool.ReleaseBuffer(&stranger);
        ADD_FAILURE() << "an unknown buffer must raise";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650001u);
        EXPECT_STREQ(error.GetContext().c_str(), L"P buffer not present in pool.");
    }
    EXPECT_THROW(pool.RetainBuffer(&stranger), Q7::Universal::ModuleError);
}

// Several threads take, copy, move, hand over and release buffers; at most the
// pool's count of buffers is ever held, and no buffer has two owners at once.
TEST_F(BufferPoolTest, ThreadsNeverShareABufferOrExceedTheCount)
{
    constexpr uint32_t kBuffers = 3;
    constexpr int kThreads = 6;
    constexpr int kRounds = 150;
    BufferPool pool(m_allocator, kBuffers, 2 * kMiB, nullptr);
    std::atomic<int> owners{0};
    std::atomic<bool> overflow{false};
    std::atomic<bool> shared{false};
    std::atomic<bool> wrongBuffer{false};

    // A hand-over queue: producers pass handles to a consumer thread that frees them.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<BufferPtr> queue;
    bool producersDone = false;

    auto producer = [&](int id)
    {
        for (int round = 0; round < kRounds; ++round)
        {
            const uint32_t size = 1 + static_cast<uint32_t>((id * 7919 + round * 104729) % (5 * kMiB));
            BufferPtr buffer = pool.GetBuffer(size, nullptr);
            if (buffer.IsEmpty() || buffer.GetSize() < size)
            {
                wrongBuffer = true;
                continue;
            }
            if (++owners > static_cast<int>(kBuffers))
            {
                overflow = true;
            }
            const unsigned char mark = static_cast<unsigned char>(id * 31 + round);
            std::memset(buffer.GetData(), mark, 64);
            BufferPtr copy = buffer;
            BufferPtr moved = std::move(buffer);
            std::this_thread::yield();
            for (int i = 0; i < 64; ++i)
            {
                if (copy.GetData()[i] != mark)
                {
                    shared = true;
                }
            }
            --owners; // before the last handle can give the buffer back
            if (round % 2 == 0)
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                queue.push_back(std::move(moved));
                queueChanged.notify_one();
            }
            // copy and (when not handed over) moved are released here, in either order
        }
    };
    auto consumer = [&]
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        for (;;)
        {
            queueChanged.wait(lock, [&] { return !queue.empty() || producersDone; });
            if (queue.empty())
            {
                return;
            }
            BufferPtr buffer = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            buffer.Release();
            lock.lock();
        }
    };

    std::thread consumerThread(consumer);
    std::vector<std::thread> producers;
    for (int id = 0; id < kThreads; ++id)
    {
        producers.emplace_back(producer, id);
    }
    for (std::thread& t : producers)
    {
        t.join();
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        producersDone = true;
        queueChanged.notify_all();
    }
    consumerThread.join();

    EXPECT_FALSE(overflow.load());
    EXPECT_FALSE(shared.load());
    EXPECT_FALSE(wrongBuffer.load());
    EXPECT_LE(m_allocator->allocations.load() - m_allocator->frees.load(), static_cast<int>(kBuffers));

    // Every buffer came back: all of them can be taken without waiting.
    EventCondition_Posix abort;
    abort.Set();
    const WaitObjectList abortNow{&abort};
    std::vector<BufferPtr> all;
    for (uint32_t i = 0; i < kBuffers; ++i)
    {
        all.push_back(pool.GetBuffer(1, &abortNow));
        EXPECT_FALSE(all.back().IsEmpty());
    }
    EXPECT_TRUE(pool.GetBuffer(1, &abortNow).IsEmpty());
}

// Several threads wait for one pool; every release wakes a waiter and none is
// left waiting while a buffer is free.
TEST_F(BufferPoolTest, ManyWaitersAllGetServed)
{
    BufferPool pool(m_allocator, 2, 0, nullptr);
    constexpr int kWaiters = 8;
    std::vector<BufferPtr> held;
    held.push_back(pool.GetBuffer(1, nullptr));
    held.push_back(pool.GetBuffer(1, nullptr));

    std::atomic<int> served{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
    {
        waiters.emplace_back(
            [&]
            {
                BufferPtr buffer = pool.GetBuffer(1, nullptr);
                if (!buffer.IsEmpty())
                {
                    ++served;
                }
            });
    }
    held.clear(); // both buffers return together
    for (std::thread& t : waiters)
    {
        t.join(); // a lost wake-up hangs here (and the test times out)
    }
    EXPECT_EQ(served.load(), kWaiters);
}

class BufferPoolDeathTest : public BufferPoolTest
{
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(BufferPoolDeathTest, PreconditionsAreAsserted)
{
    EXPECT_DEATH(BufferPool(m_allocator, 0, 0, nullptr), "bufferCount > 0");
    EXPECT_DEATH(BufferPool(m_allocator, 1, kMiB, nullptr), "m_allocMultiple > 1 \\* MB");
    EXPECT_DEATH(BufferPool(m_allocator, 1, 0xFFFFFFFFu, nullptr), "m_allocMultiple > 1 \\* MB");
    EXPECT_DEATH(BufferPool(nullptr, 1, 0, nullptr), "allocator != NULL");
}

TEST_F(BufferPoolDeathTest, AssigningAcrossPoolsIsAsserted)
{
    BufferPool one(m_allocator, 1, 0, nullptr);
    BufferPool two(m_allocator, 1, 0, nullptr);
    BufferPtr a(one);
    BufferPtr b(two);
    EXPECT_TRUE(a.BelongsTo(one));
    EXPECT_FALSE(a.BelongsTo(two));
    EXPECT_DEATH(a = b, "&m_pool == &ptr.m_pool");
}

} // namespace
