// Mutexes, events, the wait functions and the scoped locks.

#include "LogCapture.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalError.h"
#include "SyncTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Q7::Platform::BaseMutex;
using Q7::Platform::BaseWaitObject;
using Q7::Platform::EventCondition_Posix;
using Q7::Platform::kInfinite;
using Q7::Platform::kNoSignalledIndex;
using Q7::Platform::Mutex_Posix;
using Q7::Platform::ScopedLock;
using Q7::Platform::ScopedMultiLock;
using Q7::Platform::WaitForAnyOf;
using Q7::Platform::WaitForObject;
using Q7::Platform::WaitForObjects;
using Q7::Testing::ElapsedMs;
using TestSupport::LogCapture;

namespace
{

// Runs fn on another thread and answers whether it returned true.
template <typename Fn>
bool OnOtherThread(Fn fn)
{
    auto result = std::async(std::launch::async, fn);
    EXPECT_EQ(result.wait_for(5s), std::future_status::ready);
    return result.get();
}

// Takes the mutex with TryLock and lets it go again at once; answers whether it
// was free.
bool TryLockBriefly(BaseMutex& mutex)
{
    const bool locked = mutex.TryLock();
    if (locked)
        mutex.Unlock();
    return locked;
}

// Takes the mutex with Lock(timeoutMs) and lets it go again at once; answers
// whether the lock succeeded.
bool LockBriefly(BaseMutex& mutex, uint32_t timeoutMs)
{
    const bool locked = mutex.Lock(timeoutMs);
    if (locked)
        mutex.Unlock();
    return locked;
}

// Holds a mutex on another thread until released.
class Holder
{
public:
    explicit Holder(BaseMutex& mutex)
        : m_thread(
              [this, &mutex]
              {
                  mutex.Lock(kInfinite);
                  m_locked.set_value();
                  m_release.get_future().wait();
                  mutex.Unlock();
              })
    {
        EXPECT_EQ(m_locked.get_future().wait_for(5s), std::future_status::ready);
    }
    ~Holder()
    {
        Release();
        m_thread.join();
    }
    void Release()
    {
        if (!m_released.exchange(true))
            m_release.set_value();
    }

private:
    std::promise<void> m_locked;
    std::promise<void> m_release;
    std::atomic<bool> m_released{false};
    std::thread m_thread;
};

// Waits (at most 5 s) until count threads wait on the event.
bool WaitUntilWaiting(const EventCondition_Posix& event, size_t count)
{
    const Q7::Platform::WaitHandle signal = event.GetHandle();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (signal->WaiterCount() < count)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Counts the threads released by a wait.
class Released
{
public:
    void Add()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_count;
        }
        m_changed.notify_all();
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    // Waits (at most 5 s) until at least count threads were released.
    bool WaitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_count >= count; });
    }

private:
    std::mutex m_mutex; // guards m_count
    std::condition_variable m_changed;
    size_t m_count = 0;
};

template <size_t N>
std::vector<BaseWaitObject*> Objects(EventCondition_Posix (&events)[N])
{
    std::vector<BaseWaitObject*> objects;
    for (auto& event : events)
        objects.push_back(&event);
    return objects;
}

// A waitable object that is neither an event, a thread nor a mutex.
class ForeignWaitObject : public BaseWaitObject
{
};

} // namespace

// ---------------------------------------------------------------------------
// Mutex_Posix

// A non-recursive mutex would deadlock the owner on its second lock.
TEST(MutexTest, OwnerLocksAgainAndUnlocksAsOften)
{
    Mutex_Posix mutex;
    ASSERT_TRUE(mutex.Lock(kInfinite));
    EXPECT_TRUE(mutex.Lock(0));
    EXPECT_TRUE(mutex.TryLock());
    mutex.Unlock();
    mutex.Unlock();
    EXPECT_FALSE(OnOtherThread([&] { return mutex.TryLock(); })) << "still held once";
    mutex.Unlock();
    EXPECT_TRUE(OnOtherThread([&] { return TryLockBriefly(mutex); }));
}

// A timed lock must give up at its deadline, not wait for the owner.
TEST(MutexTest, TimedLockGivesUpAtItsDeadline)
{
    Mutex_Posix mutex;
    Holder holder(mutex);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mutex.Lock(60));
    const long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 59);
    EXPECT_LT(elapsed, 2000);
    EXPECT_FALSE(mutex.TryLock());
}

// A timed lock must succeed as soon as the owner releases.
TEST(MutexTest, TimedLockSucceedsWhenReleased)
{
    Mutex_Posix mutex;
    Holder holder(mutex);
    auto locked = std::async(std::launch::async, [&] { return LockBriefly(mutex, 5000); });
    holder.Release();
    ASSERT_EQ(locked.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(locked.get());
}

// The next locker of a mutex whose owner died must own it, with the warning.
TEST(MutexTest, AbandonedMutexIsTakenOverWithWarning)
{
    LogCapture log;
    Mutex_Posix mutex;
    std::thread([&] { mutex.Lock(kInfinite); }).join(); // ends while holding it
    EXPECT_TRUE(mutex.Lock(1000));
    EXPECT_EQ(
        log.Count(L"Warning: Mutex abandoned by a terminated thread!", Q7::Universal::kLogMsgType_Warning),
        1u);
    mutex.Unlock();
    // Repaired: usable by everybody afterwards, without further warnings.
    EXPECT_TRUE(OnOtherThread([&] { return LockBriefly(mutex, 1000); }));
    EXPECT_EQ(log.Count(L"abandoned"), 1u);
}

// Unlocking a mutex one does not own is reported, not silently accepted.
TEST(MutexTest, UnlockByNonOwnerIsReported)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the race detector reports the deliberate misuse itself";
#endif
    LogCapture log;
    Mutex_Posix mutex;
    Holder holder(mutex);
    mutex.Unlock();
    EXPECT_EQ(log.Count(L"Internal Error: pthread_mutex_unlock - (1#1) System error: ",
                        Q7::Universal::kLogMsgType_InternalError),
              1u);
    EXPECT_FALSE(mutex.TryLock()) << "the holder still owns it";
}

// A mutex destroyed while held must leave nothing behind that writes into its
// memory: held by the caller, every level is released first (the thread's list
// of held robust mutexes otherwise keeps pointing into the freed block, and the
// next lock of any robust mutex on that thread writes there); held by another
// thread, the destruction is reported. The mutexes live in storage that the test
// keeps, so that a fault shows as changed bytes.
TEST(MutexTest, DestroyingAHeldMutexLeavesItsMemoryAlone)
{
    static constexpr unsigned char kPattern = 0xA5;
    alignas(Mutex_Posix) static unsigned char ownStorage[sizeof(Mutex_Posix)];
    // On a thread of its own, so that nothing of the fault stays on this thread.
    auto ownHold = std::async(std::launch::async,
                              []
                              {
                                  auto* mutex = new (ownStorage) Mutex_Posix();
                                  mutex->Lock(kInfinite);
                                  mutex->Lock(kInfinite);
                                  mutex->~Mutex_Posix();
                                  std::fill(std::begin(ownStorage), std::end(ownStorage), kPattern);
                                  Mutex_Posix other;
                                  const bool locked = other.Lock(kInfinite);
                                  other.Unlock();
                                  return locked;
                              });
    ASSERT_EQ(ownHold.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(ownHold.get());
    EXPECT_EQ(std::count(std::begin(ownStorage), std::end(ownStorage), kPattern),
              static_cast<long>(sizeof(ownStorage)))
        << "a later lock wrote into the destroyed mutex";

    LogCapture log;
    alignas(Mutex_Posix) static unsigned char otherStorage[sizeof(Mutex_Posix)];
    auto* held = new (otherStorage) Mutex_Posix();
    std::promise<void> locked;
    std::promise<void> destroyed;
    std::thread holder(
        [&]
        {
            held->Lock(kInfinite);
            locked.set_value();
            destroyed.get_future().wait(); // then ends without unlocking: the object is gone
        });
    ASSERT_EQ(locked.get_future().wait_for(5s), std::future_status::ready);
    held->~Mutex_Posix();
    destroyed.set_value();
    holder.join();
    EXPECT_EQ(log.Count(L"Internal Error: pthread_mutex_destroy - (1#16) System error: ",
                        Q7::Universal::kLogMsgType_InternalError),
              1u);
}

// An unbounded lock must warn once after 10 s and then keep waiting.
TEST(MutexSlowTest, UnboundedLockWarnsOnceAfterTenSecondsAndKeepsWaiting)
{
    LogCapture log;
    Mutex_Posix mutex;
    Holder holder(mutex);
    auto locked = std::async(std::launch::async, [&] { return LockBriefly(mutex, kInfinite); });
    ASSERT_TRUE(log.WaitFor(L"Warning: Mutex lock taking longer than 10 seconds. Deadlock?", 1, 15s));
    EXPECT_EQ(locked.wait_for(100ms), std::future_status::timeout) << "must keep waiting after the warning";
    holder.Release();
    ASSERT_EQ(locked.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(locked.get());
    EXPECT_EQ(log.Count(L"Deadlock?"), 1u);
}

// ---------------------------------------------------------------------------
// ScopedLock and the multi-locks

TEST(ScopedLockTest, HoldsForItsScope)
{
    Mutex_Posix mutex;
    {
        ScopedLock lock(mutex);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(OnOtherThread([&] { return mutex.TryLock(); }));
    }
    EXPECT_TRUE(OnOtherThread([&] { return TryLockBriefly(mutex); }));
}

// A scoped lock whose lock failed must not unlock another thread's mutex.
TEST(ScopedLockTest, FailedLockDoesNotUnlock)
{
    LogCapture log;
    Mutex_Posix mutex;
    Holder holder(mutex);
    {
        ScopedLock tried(mutex, true);
        EXPECT_FALSE(tried.IsLocked());
        ScopedLock timed(mutex, uint32_t{10});
        EXPECT_FALSE(timed.IsLocked());
    }
    EXPECT_EQ(log.Count(L"pthread_mutex_unlock"), 0u);
    EXPECT_FALSE(mutex.TryLock());
}

TEST(LockAllTest, CountOfOneLocksOnlyTheFirst)
{
    Mutex_Posix first;
    Mutex_Posix second;
    BaseMutex* mutexes[] = {&first, &second};
    Q7::Platform::LockAll(1, mutexes);
    EXPECT_FALSE(OnOtherThread([&] { return first.TryLock(); }));
    EXPECT_TRUE(OnOtherThread([&] { return TryLockBriefly(second); }));
    first.Unlock();
    Q7::Platform::LockAll(0, mutexes);
    Q7::Platform::LockAll(2, nullptr);
}

// Two threads locking the same mutexes in opposite orders must not deadlock.
TEST(LockAllTest, OppositeOrdersDoNotDeadlock)
{
    Mutex_Posix a;
    Mutex_Posix b;
    Mutex_Posix c;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    auto worker = [&](std::vector<BaseMutex*> order)
    {
        for (int i = 0; i < 2000; ++i)
        {
            ScopedMultiLock lock(order.data(), static_cast<uint32_t>(order.size()));
            if (inside.fetch_add(1) != 0)
                overlap = true;
            inside.fetch_sub(1);
        }
    };
    auto one = std::async(std::launch::async, worker, std::vector<BaseMutex*>{&a, &b, &c});
    auto two = std::async(std::launch::async, worker, std::vector<BaseMutex*>{&c, &b, &a});
    auto three = std::async(std::launch::async, worker, std::vector<BaseMutex*>{&b, &c, &a});
    ASSERT_EQ(one.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(two.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(three.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(overlap);
}

TEST(LockAllTest, ScopedMultiLockReleasesAll)
{
    Mutex_Posix a;
    Mutex_Posix b;
    BaseMutex* mutexes[] = {&a, &b};
    {
        ScopedMultiLock lock(mutexes, 2);
        EXPECT_FALSE(OnOtherThread([&] { return a.TryLock() || b.TryLock(); }));
    }
    EXPECT_TRUE(OnOtherThread(
        [&]
        {
            BaseMutex* again[] = {&a, &b};
            Q7::Platform::LockAll(2, again);
            Q7::Platform::UnlockAll(2, again);
            return true;
        }));
}

// ---------------------------------------------------------------------------
// EventCondition_Posix

TEST(EventTest, StartsClearAndStaysSetUntilReset)
{
    EventCondition_Posix event;
    EXPECT_FALSE(event.IsSet());
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.IsSet()) << "manual reset: asking does not consume";
    EXPECT_TRUE(WaitForObject(&event, 0));
    EXPECT_TRUE(event.IsSet()) << "manual reset: a wait does not consume";
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(WaitForObject(&event, 0));
}

// A Set followed at once by Reset (a pulse, as the channel gives its state
// events) must release the threads already waiting: every waiter of a
// manual-reset event, one waiter per pulse of an auto-reset event. Catches a
// woken waiter that re-checks the state, finds it reset and sleeps on.
TEST(EventTest, SetWakesEveryWaiter)
{
    struct Case
    {
        bool autoReset;
        size_t waiters;
        size_t releasedPerPulse;
    };
    for (const Case& c : {Case{false, 8, 8}, Case{true, 3, 1}})
    {
        SCOPED_TRACE(c.autoReset ? "auto-reset" : "manual-reset");
        EventCondition_Posix event(c.autoReset);
        Released released;
        std::vector<std::future<void>> waiters;
        for (size_t i = 0; i < c.waiters; ++i)
            waiters.push_back(std::async(std::launch::async,
                                         [&]
                                         {
                                             if (WaitForObject(&event, 5000))
                                                 released.Add();
                                         }));
        ASSERT_TRUE(WaitUntilWaiting(event, c.waiters));
        for (size_t expected = c.releasedPerPulse; expected <= c.waiters; expected += c.releasedPerPulse)
        {
            event.Set();
            event.Reset();
            ASSERT_TRUE(released.WaitFor(expected)) << released.Count() << " of " << expected << " released";
            EXPECT_EQ(event.GetHandle()->WaiterCount(), c.waiters - expected) << "one waiter per pulse";
        }
        for (auto& waiter : waiters)
            ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
        EXPECT_FALSE(event.IsSet());
    }
}

// A waiter on several events returns the index of the one pulsed, even though
// the event was reset before the waiter ran.
TEST(EventTest, PulseReportsItsIndexToAnyOfWaiter)
{
    EventCondition_Posix events[3];
    auto waiter =
        std::async(std::launch::async,
                   [&]
                   {
                       uint32_t index = kNoSignalledIndex;
                       return WaitForObjects(&index, 3, Objects(events).data(), false, 5000) ? index : 99u;
                   });
    ASSERT_TRUE(WaitUntilWaiting(events[2], 1));
    events[2].Set();
    events[2].Reset();
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 2u);
}

TEST(EventTest, AutoResetEventIsConsumedByOneWait)
{
    EventCondition_Posix event(true);
    event.Set();
    EXPECT_TRUE(WaitForObject(&event, 0));
    EXPECT_FALSE(WaitForObject(&event, 0));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, CopiesNameTheSameEvent)
{
    EventCondition_Posix event;
    EventCondition_Posix copy(event);
    EventCondition_Posix assigned;
    assigned = event;
    event.Set();
    EXPECT_TRUE(copy.IsSet());
    EXPECT_TRUE(assigned.IsSet());
    copy.Reset();
    EXPECT_FALSE(event.IsSet());
    assigned = assigned;
    EXPECT_FALSE(assigned.IsSet());
}

// Lost wake-ups between a consumer's Reset and a producer's Set would hang this.
TEST(EventTest, PingPongLosesNoWakeUp)
{
    EventCondition_Posix ping;
    EventCondition_Posix pong;
    constexpr int kRounds = 20000;
    auto partner = std::async(std::launch::async,
                              [&]
                              {
                                  for (int i = 0; i < kRounds; ++i)
                                  {
                                      if (!WaitForObject(&ping, 5000))
                                          return false;
                                      ping.Reset();
                                      pong.Set();
                                  }
                                  return true;
                              });
    bool ok = true;
    for (int i = 0; i < kRounds && ok; ++i)
    {
        ping.Set();
        ok = WaitForObject(&pong, 5000);
        pong.Reset();
    }
    ASSERT_EQ(partner.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(partner.get());
    EXPECT_TRUE(ok);
}

// ---------------------------------------------------------------------------
// WaitForObject / WaitForObjects / WaitForAnyOf

TEST(WaitTest, NullObjectIsSignalled)
{
    EXPECT_TRUE(WaitForObject(nullptr, kInfinite));
}

TEST(WaitTest, WaitOnMutexTakesIt)
{
    Mutex_Posix mutex;
    ASSERT_TRUE(WaitForObject(&mutex, 0));
    EXPECT_FALSE(OnOtherThread([&] { return WaitForObject(&mutex, 20); }));
    mutex.Unlock();
    BaseWaitObject* alone[] = {nullptr, &mutex};
    uint32_t index = 0;
    ASSERT_TRUE(WaitForObjects(&index, 2, alone, false, 100));
    EXPECT_EQ(index, 1u);
    mutex.Unlock();
}

TEST(WaitTest, CountZeroOrNullArrayIsSignalled)
{
    uint32_t index = 7;
    EventCondition_Posix event;
    BaseWaitObject* objects[] = {&event};
    EXPECT_TRUE(WaitForObjects(&index, 0, objects, false, kInfinite));
    EXPECT_EQ(index, kNoSignalledIndex);
    index = 7;
    EXPECT_TRUE(WaitForObjects(&index, 3, nullptr, false, kInfinite));
    EXPECT_EQ(index, kNoSignalledIndex);
    EXPECT_TRUE(WaitForObjects(nullptr, 0, nullptr, true, 0));
}

TEST(WaitTest, LowestSignalledIndexWins)
{
    EventCondition_Posix events[4];
    BaseWaitObject* objects[] = {&events[0], &events[1], &events[2], &events[3]};
    events[3].Set();
    events[1].Set();
    uint32_t index = 0;
    ASSERT_TRUE(WaitForObjects(&index, 4, objects, false, kInfinite));
    EXPECT_EQ(index, 1u);
    events[1].Reset();
    ASSERT_TRUE(WaitForObjects(&index, 4, objects, false, 0));
    EXPECT_EQ(index, 3u);
}

// The index must be the caller's array position even when objects before it are
// left out of the wait (null objects, thread objects without a thread).
TEST(WaitTest, SkippedObjectsKeepArrayPositions)
{
    EventCondition_Posix event;
    Q7::Platform::Thread_Posix idle(L"never started");
    BaseWaitObject* objects[] = {nullptr, &idle, &event};
    event.Set();
    uint32_t index = 0;
    ASSERT_TRUE(WaitForObjects(&index, 3, objects, false, 100));
    EXPECT_EQ(index, 2u);

    BaseWaitObject* nothing[] = {nullptr, &idle};
    index = 0;
    EXPECT_TRUE(WaitForObjects(&index, 2, nothing, false, 0)) << "nothing left to wait for";
    EXPECT_EQ(index, kNoSignalledIndex);
}

TEST(WaitTest, TimeOutIsHonouredAndLeavesIndexUnset)
{
    EventCondition_Posix a;
    EventCondition_Posix b;
    BaseWaitObject* objects[] = {&a, &b};
    uint32_t index = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForObjects(&index, 2, objects, false, 80));
    const long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 80);
    EXPECT_LT(elapsed, 2000);
    EXPECT_EQ(index, kNoSignalledIndex);
    EXPECT_FALSE(WaitForObjects(&index, 2, objects, false, 0));
}

// An unbounded wait must end as soon as another thread signals.
TEST(WaitTest, SignalWakesUnboundedWaiter)
{
    EventCondition_Posix stop;
    EventCondition_Posix work;
    auto waiter = std::async(std::launch::async,
                             [&]
                             {
                                 uint32_t index = kNoSignalledIndex;
                                 const bool result = WaitForAnyOf(&index, 2, &stop, &work);
                                 return result ? index : 99u;
                             });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    work.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1u);
}

TEST(WaitTest, WaitAllNeedsEveryObjectAndLeavesIndexUnset)
{
    EventCondition_Posix a;
    EventCondition_Posix b;
    BaseWaitObject* objects[] = {&a, &b};
    a.Set();
    uint32_t index = 0;
    EXPECT_FALSE(WaitForObjects(&index, 2, objects, true, 30));
    auto waiter =
        std::async(std::launch::async, [&] { return WaitForObjects(&index, 2, objects, true, kInfinite); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    b.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(index, kNoSignalledIndex);
}

TEST(WaitTest, SixtyFourObjectsAreAccepted)
{
    std::vector<EventCondition_Posix> events(64);
    std::vector<BaseWaitObject*> objects;
    for (auto& event : events)
        objects.push_back(&event);
    events[63].Set();
    uint32_t index = 0;
    ASSERT_TRUE(WaitForObjects(&index, 64, objects.data(), false, 0));
    EXPECT_EQ(index, 63u);
}

TEST(WaitTest, MoreThanSixtyFourObjectsAreRefused)
{
    LogCapture log;
    std::vector<EventCondition_Posix> events(65);
    std::vector<BaseWaitObject*> objects;
    for (auto& event : events)
        objects.push_back(&event);
    try
    {
        WaitForObjects(nullptr, 65, objects.data(), false, 0);
        FAIL() << "no error raised";
    }
    catch (const Q7::Platform::SystemError_Posix& e)
    {
        EXPECT_EQ(e.GetCategory(), 1u);
        EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(EINVAL));
    }
    EXPECT_EQ(log.Count(L"Internal Error: WaitForObjects - (1#22) System error: "), 1u);
}

TEST(WaitTest, MutexAmongOtherObjectsIsRefused)
{
    Mutex_Posix mutex;
    EventCondition_Posix event;
    BaseWaitObject* objects[] = {&event, &mutex};
    try
    {
        WaitForObjects(nullptr, 2, objects, false, 0);
        FAIL() << "no error raised";
    }
    catch (const Q7::Universal::ModuleError& e)
    {
        EXPECT_EQ(e.GetFullCode(), 0x650067u);
    }
    EXPECT_TRUE(OnOtherThread([&] { return TryLockBriefly(mutex); }))
        << "the refused wait must not keep the mutex";
}

TEST(WaitTest, ForeignObjectIsRefused)
{
    ForeignWaitObject foreign;
    EXPECT_THROW(WaitForObject(&foreign, 0), Q7::Universal::StdExceptionError);
    BaseWaitObject* objects[] = {&foreign};
    EXPECT_THROW(WaitForObjects(nullptr, 1, objects, false, 0), Q7::Universal::StdExceptionError);
}

TEST(WaitTest, WaitForAnyOfUsesTheGivenCount)
{
    EventCondition_Posix a;
    EventCondition_Posix b;
    b.Set();
    uint32_t index = 0;
    auto waiter = std::async(std::launch::async, [&] { return WaitForAnyOf(&index, 1, &a, &b); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout) << "only the first object counts";
    a.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(index, 0u);
}

// Many threads waiting on overlapping sets while others set and reset: every
// waiter must be woken by the signal it waits for.
TEST(WaitTest, ConcurrentWaitersOnOverlappingSets)
{
    constexpr int kEvents = 6;
    constexpr int kRounds = 500;
    EventCondition_Posix events[kEvents];
    std::atomic<bool> failed{false};
    std::vector<std::future<void>> waiters;
    for (int w = 0; w < 6; ++w)
    {
        waiters.push_back(std::async(std::launch::async,
                                     [&, w]
                                     {
                                         BaseWaitObject* objects[] = {&events[w], &events[(w + 1) % kEvents],
                                                                      &events[(w + 3) % kEvents]};
                                         for (int i = 0; i < kRounds; ++i)
                                         {
                                             uint32_t index = kNoSignalledIndex;
                                             if (!WaitForObjects(&index, 3, objects, false, 5000) ||
                                                 index > 2)
                                                 failed = true;
                                         }
                                     }));
    }
    auto setter = std::async(std::launch::async,
                             [&]
                             {
                                 for (int i = 0; i < kRounds * 4; ++i)
                                 {
                                     events[i % kEvents].Set();
                                     events[(i + 2) % kEvents].Reset();
                                 }
                                 for (auto& event : events)
                                     event.Set();
                             });
    ASSERT_EQ(setter.wait_for(30s), std::future_status::ready);
    for (auto& waiter : waiters)
        ASSERT_EQ(waiter.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(failed);
}

// ---------------------------------------------------------------------------
// ThrowSystemError

TEST(ThrowSystemErrorTest, LogsWithFormattedPrefixAndThrowsCopy)
{
    LogCapture log;
    try
    {
        Q7::Platform::ThrowSystemError(Q7::Platform::SystemError_Posix(ENOENT, L"ctx"), L"open %ls", L"/x");
        FAIL() << "no throw";
    }
    catch (const Q7::Platform::SystemError_Posix& e)
    {
        EXPECT_EQ(e.GetCode(), static_cast<uint32_t>(ENOENT));
    }
    EXPECT_EQ(log.Count(L"Error: open /x - (1#2) System error: No such file or directory - ctx\n",
                        Q7::Universal::kLogMsgType_Error),
              1u);
}
