// Platform threads: start gate, readiness, cooperative stop, detaching, names,
// ids and the waitable end.

#include "LogCapture.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalError.h"
#include "SyncTestSupport.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Q7::Platform::BaseWaitObject;
using Q7::Platform::CurrentThreadId;
using Q7::Platform::EventCondition_Posix;
using Q7::Platform::kInfinite;
using Q7::Platform::Thread_Posix;
using Q7::Platform::ThreadFunctor;
using Q7::Platform::WaitForObject;
using Q7::Platform::WaitForObjects;
using Q7::Testing::ElapsedMs;
using TestSupport::LogCapture;

namespace
{

// An owner in the style of the library's agents: its body is a member function.
class Worker
{
public:
    enum class Mode
    {
        kCooperative,   // sets ready, then sleeps on {stop, work} until stop
        kNeverReady,    // returns at once without setting ready
        kIgnoresStop,   // sets ready, then waits only for m_release
        kLateReady,     // sets ready only once m_release is set, then stops cooperatively
        kThrowsStd,     // throws a standard exception
        kThrowsLibrary, // throws a ModuleError
    };

    explicit Worker(Mode mode) : m_mode(mode) {}

    ThreadFunctor Body() { return ThreadFunctor(this, &Worker::Run); }

    void Run(Thread_Posix& thread, void* parameter)
    {
        m_parameter = parameter;
        m_readyAtStart = thread.IsReady();
        m_stopAtStart = thread.IsStopRequested();
        m_isCurrent = thread.IsCurrentThread();
        m_idMatches = thread.GetThreadId() == CurrentThreadId();
        m_name = thread.GetName();
        char osName[32] = {};
        pthread_getname_np(pthread_self(), osName, sizeof(osName));
        m_osName = osName;
        ++m_runs;
        switch (m_mode)
        {
        case Mode::kCooperative:
            thread.GetReadyEvent().Set();
            for (;;)
            {
                uint32_t index = 0;
                Q7::Platform::WaitForAnyOf(&index, 2, &thread.GetStopEvent(), &m_work);
                if (index == 0)
                    break;
                m_work.Reset();
                ++m_workDone;
            }
            break;
        case Mode::kNeverReady:
            break;
        case Mode::kIgnoresStop:
            thread.GetReadyEvent().Set();
            WaitForObject(&m_release, kInfinite);
            break;
        case Mode::kLateReady:
            WaitForObject(&m_release, kInfinite);
            thread.GetReadyEvent().Set();
            WaitForObject(&thread.GetStopEvent(), kInfinite);
            break;
        case Mode::kThrowsStd:
            throw std::runtime_error("body failed");
        case Mode::kThrowsLibrary:
            throw Q7::Universal::ModuleError(Q7::Universal::kError_InvalidState);
        }
    }

    Mode m_mode;
    EventCondition_Posix m_work;
    EventCondition_Posix m_release;
    std::atomic<int> m_runs{0};
    std::atomic<int> m_workDone{0};
    void* m_parameter = nullptr;
    bool m_readyAtStart = true;
    bool m_stopAtStart = true;
    bool m_isCurrent = false;
    bool m_idMatches = false;
    std::wstring m_name;
    std::string m_osName;
};

std::wstring IdText(uint32_t id)
{
    wchar_t text[64];
    swprintf(text, 64, L"%u (0x%x)", id, id);
    return text;
}

} // namespace

TEST(ThreadTest, NewObjectIsStoppedAndReady)
{
    Thread_Posix thread(L"idle");
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.IsReady());
    EXPECT_TRUE(thread.IsStopRequested());
    EXPECT_FALSE(thread.IsCurrentThread());
    EXPECT_EQ(thread.GetThreadId(), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.Stop(0));
    EXPECT_TRUE(thread.WaitForStop(5000));
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_TRUE(WaitForObject(&thread, 0)) << "no thread: nothing to wait for";
    EXPECT_STREQ(thread.GetName(), L"idle");
    Thread_Posix unnamed(nullptr);
    EXPECT_STREQ(unnamed.GetName(), L"");
}

// The body must see both events clear, its own name and id, and its parameter.
TEST(ThreadTest, BodySeesClearEventsItsNameAndId)
{
    LogCapture log;
    Worker worker(Worker::Mode::kCooperative);
    Thread_Posix thread(L"KPX ch2 recv");
    int parameter = 0;
    thread.Start(worker.Body(), &parameter, kInfinite);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_TRUE(thread.IsReady());
    EXPECT_FALSE(thread.IsStopRequested());
    const uint32_t id = thread.GetThreadId();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, CurrentThreadId());
    ASSERT_TRUE(thread.Stop(5000));
    EXPECT_FALSE(worker.m_readyAtStart);
    EXPECT_FALSE(worker.m_stopAtStart);
    EXPECT_TRUE(worker.m_isCurrent);
    EXPECT_TRUE(worker.m_idMatches);
    EXPECT_EQ(worker.m_parameter, &parameter);
    EXPECT_EQ(worker.m_name, L"KPX ch2 recv");
    EXPECT_EQ(worker.m_osName, "KPX ch2 recv");
    EXPECT_EQ(
        log.Count(L"Thread " + IdText(id) + L" started [KPX ch2 recv]\n", Q7::Universal::kLogMsgType_Info),
        1u);
    EXPECT_EQ(
        log.Count(L"Thread " + IdText(id) + L" exited [KPX ch2 recv]\n", Q7::Universal::kLogMsgType_Info),
        1u);
    EXPECT_FALSE(thread.IsRunning());
    thread.Close();
    EXPECT_TRUE(thread.IsReady());
    EXPECT_TRUE(thread.IsStopRequested());
}

// The OS keeps 15 bytes of a name; a cut inside a character would leave an
// invalid UTF-8 name.
TEST(ThreadTest, OsNameIsCutAtACharacterBoundary)
{
    Worker longName(Worker::Mode::kNeverReady);
    Thread_Posix first(L"KPX channel 2.0 receive thread");
    first.Start(longName.Body(), nullptr, kInfinite);
    ASSERT_TRUE(first.WaitForStop(5000));
    EXPECT_EQ(longName.m_osName, "KPX channel 2.0");
    EXPECT_EQ(longName.m_name, L"KPX channel 2.0 receive thread") << "the full name stays in the object";

    Worker accented(Worker::Mode::kNeverReady);
    Thread_Posix second(L"abcdefghijklmn\u00e9z"); // 14 ASCII bytes, then a 2-byte character
    second.Start(accented.Body(), nullptr, kInfinite);
    ASSERT_TRUE(second.WaitForStop(5000));
    EXPECT_EQ(accented.m_osName, "abcdefghijklmn");
}

TEST(ThreadTest, StartReturnsWhenBodyEndsWithoutReady)
{
    Worker worker(Worker::Mode::kNeverReady);
    Thread_Posix thread(L"quick");
    thread.Start(worker.Body(), nullptr, kInfinite);
    EXPECT_TRUE(thread.WaitForStop(5000));
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(worker.m_runs, 1);
}

// A readiness time-out must raise 0x670065 and leave the thread running.
TEST(ThreadTest, ReadinessTimeOutRaisesAndKeepsThreadRunning)
{
    LogCapture log;
    Worker worker(Worker::Mode::kLateReady);
    Thread_Posix thread(L"late");
    try
    {
        thread.Start(worker.Body(), nullptr, 50);
        FAIL() << "no time-out raised";
    }
    catch (const Q7::Universal::ModuleError& e)
    {
        EXPECT_EQ(e.GetFullCode(), 0x670065u);
    }
    EXPECT_EQ(
        log.Count(
            L"Error: (103#101) Platform library error: A thread failed to start in the requested time."),
        1u);
    EXPECT_TRUE(thread.IsRunning());
    worker.m_release.Set();
    ASSERT_TRUE(WaitForObject(&thread.GetReadyEvent(), 5000));
    EXPECT_TRUE(thread.Stop(5000));
}

// Start with a ready wait of 0 must not wait for the body.
TEST(ThreadTest, StartWithoutReadyWaitReturnsAtOnce)
{
    Worker worker(Worker::Mode::kLateReady);
    Thread_Posix thread(L"no wait");
    thread.Start(worker.Body(), nullptr, 0);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.IsReady());
    worker.m_release.Set();
    EXPECT_TRUE(thread.Stop(5000));
}

// Catches: an id read before the new thread published it (0 or stale) when
// Start did not wait for the thread, and a joint ready wait that returns
// before a late thread is ready or hangs on a thread that ended unready.
TEST(ThreadTest, ThreadsStartedWithoutReadyWaitHaveTheirIdsAndAreWaitedForTogether)
{
    Worker late(Worker::Mode::kLateReady);
    Worker unready(Worker::Mode::kNeverReady);
    Worker cooperative(Worker::Mode::kCooperative);
    Thread_Posix lateThread(L"late");
    Thread_Posix unreadyThread(L"unready");
    Thread_Posix cooperativeThread(L"cooperative");
    lateThread.Start(late.Body(), nullptr, 0);
    unreadyThread.Start(unready.Body(), nullptr, 0);
    cooperativeThread.Start(cooperative.Body(), nullptr, 0);
    EXPECT_NE(lateThread.GetThreadId(), 0u);
    EXPECT_NE(lateThread.GetThreadId(), CurrentThreadId());
    EXPECT_NE(lateThread.GetThreadId(), cooperativeThread.GetThreadId());

    std::atomic<bool> returned{false};
    std::thread waiter(
        [&]
        {
            Q7::Platform::WaitForThreadsReady({&lateThread, &unreadyThread, &cooperativeThread});
            returned = true;
        });
    // Not ready yet: the waiter is still inside (checked after the others are).
    WaitForObject(&cooperativeThread.GetReadyEvent(), 5000);
    ASSERT_TRUE(unreadyThread.WaitForStop(5000));
    EXPECT_FALSE(returned.load());
    late.m_release.Set();
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(lateThread.IsReady());
    EXPECT_TRUE(late.m_idMatches);
    EXPECT_TRUE(cooperative.m_isCurrent);
    EXPECT_TRUE(lateThread.Stop(5000));
    EXPECT_TRUE(cooperativeThread.Stop(5000));
}

TEST(ThreadTest, SecondStartWithoutCloseIsRefusedEvenAfterEnd)
{
    Worker worker(Worker::Mode::kNeverReady);
    Thread_Posix thread(L"twice");
    thread.Start(worker.Body(), nullptr, kInfinite);
    ASSERT_TRUE(thread.WaitForStop(5000));
    try
    {
        thread.Start(worker.Body(), nullptr, kInfinite);
        FAIL() << "second start accepted";
    }
    catch (const Q7::Universal::ModuleError& e)
    {
        EXPECT_EQ(e.GetFullCode(), 0x65006Au);
    }
    EXPECT_EQ(worker.m_runs, 1);
    thread.Close();
    thread.Start(worker.Body(), nullptr, kInfinite);
    ASSERT_TRUE(thread.WaitForStop(5000));
    EXPECT_EQ(worker.m_runs, 2);
}

// A body that sleeps on its stop event must end promptly on Stop.
TEST(ThreadTest, StopEndsCooperativeBodyPromptly)
{
    Worker worker(Worker::Mode::kCooperative);
    Thread_Posix thread(L"coop");
    thread.Start(worker.Body(), nullptr, kInfinite);
    worker.m_work.Set();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(thread.Stop(10000));
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.IsStopRequested());
}

TEST(ThreadTest, StopTimeOutReturnsFalseWithInformationLine)
{
    LogCapture log;
    Worker worker(Worker::Mode::kIgnoresStop);
    Thread_Posix thread(L"stubborn");
    thread.Start(worker.Body(), nullptr, kInfinite);
    const uint32_t id = thread.GetThreadId();
    EXPECT_FALSE(thread.Stop(50));
    EXPECT_EQ(log.Count(L"Timeout while waiting for thread " + IdText(id) + L" to stop [stubborn]\n",
                        Q7::Universal::kLogMsgType_Info),
              1u);
    EXPECT_TRUE(thread.IsRunning());
    worker.m_release.Set();
    EXPECT_TRUE(thread.WaitForStop(5000));
}

TEST(ThreadTest, WaitForStopZeroOnRunningThreadLogsNothing)
{
    LogCapture log;
    Worker worker(Worker::Mode::kCooperative);
    Thread_Posix thread(L"busy");
    thread.Start(worker.Body(), nullptr, kInfinite);
    EXPECT_FALSE(thread.WaitForStop(0));
    EXPECT_EQ(log.Count(L"Timeout while waiting"), 0u);
    EXPECT_TRUE(thread.Stop(5000));
}

// A thread's end must be waitable together with events, at its array position.
TEST(ThreadTest, ThreadEndIsWaitableWithEvents)
{
    Worker worker(Worker::Mode::kIgnoresStop);
    Thread_Posix thread(L"waited");
    EventCondition_Posix other;
    thread.Start(worker.Body(), nullptr, kInfinite);
    BaseWaitObject* objects[] = {&other, &thread};
    uint32_t index = 0;
    EXPECT_FALSE(WaitForObjects(&index, 2, objects, false, 20));
    auto waiter =
        std::async(std::launch::async,
                   [&]
                   {
                       uint32_t signalled = 99;
                       return WaitForObjects(&signalled, 2, objects, false, kInfinite) ? signalled : 98u;
                   });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    worker.m_release.Set();
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1u);
    EXPECT_TRUE(WaitForObject(&thread, 0));
}

TEST(ThreadTest, ExceptionsFromBodyEndOnlyThatThread)
{
    for (const auto mode : {Worker::Mode::kThrowsStd, Worker::Mode::kThrowsLibrary})
    {
        LogCapture log;
        Worker worker(mode);
        Thread_Posix thread(L"thrower");
        thread.Start(worker.Body(), nullptr, kInfinite);
        ASSERT_TRUE(thread.WaitForStop(5000));
        const uint32_t id = thread.GetThreadId();
        EXPECT_EQ(log.Count(L"Internal Error: Unhandled exception returned by thread " + IdText(id) +
                                L" [thrower] - (101#203) General error: An unexpected exception occurred.",
                            Q7::Universal::kLogMsgType_InternalError),
                  1u);
        EXPECT_EQ(log.Count(L"Thread " + IdText(id) + L" exited [thrower]"), 1u);
        EXPECT_FALSE(thread.IsRunning());
    }
}

// Destroying a thread object from its own body must not deadlock or crash;
// the body goes on and the thread ends normally.
TEST(ThreadTest, ObjectCanBeDestroyedFromItsOwnThread)
{
    LogCapture log;
    struct SelfDestroying
    {
        std::unique_ptr<Thread_Posix> thread = std::make_unique<Thread_Posix>(L"self");
        std::promise<uint32_t> done;
        void Run(Thread_Posix& self, void*)
        {
            const uint32_t id = self.GetThreadId();
            thread.reset();
            done.set_value(id);
        }
    } owner;
    owner.thread->Start(ThreadFunctor(&owner, &SelfDestroying::Run), nullptr, 0);
    auto done = owner.done.get_future();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    const uint32_t id = done.get();
    EXPECT_TRUE(log.WaitFor(L"Thread " + IdText(id) + L" exited [self]"));
    EXPECT_EQ(log.Count(L"Thread deconstructor called inside own thread " + IdText(id) + L" [self]"), 1u);
    EXPECT_EQ(log.Count(L"Terminating thread"), 0u);
}

// Catches a thread that closes its own object being ended by pthread_exit: its
// forced unwinding aborted the process inside catch (...) ("FATAL: exception
// not rethrown"). Close now lets the thread go and returns; the body goes on,
// may start its object again, and still sees its own stop requested.
TEST(ThreadTest, CloseFromItsOwnBodyInsideCatchAllReturnsAndTheBodyEndsNormally)
{
    LogCapture log;
    struct Closing
    {
        Worker next{Worker::Mode::kCooperative};
        std::promise<uint32_t> done;
        bool caught = false;
        bool stopAfterClose = false;
        bool stopAfterRestart = false;
        void Run(Thread_Posix& self, void*)
        {
            const uint32_t id = self.GetThreadId();
            try
            {
                self.Close();
            }
            catch (...)
            {
                caught = true;
            }
            stopAfterClose = self.IsStopRequested();
            self.Start(next.Body(), nullptr, kInfinite);
            stopAfterRestart = self.IsStopRequested();
            done.set_value(id);
        }
    } owner;
    Thread_Posix thread(L"closer");
    thread.Start(ThreadFunctor(&owner, &Closing::Run), nullptr, 0);
    auto done = owner.done.get_future();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready) << "the code after Close must run";
    const uint32_t id = done.get();
    EXPECT_FALSE(owner.caught);
    EXPECT_TRUE(owner.stopAfterClose);
    EXPECT_TRUE(owner.stopAfterRestart) << "a body that let itself go must not run on beside the new one";
    EXPECT_TRUE(log.WaitFor(L"Thread " + IdText(id) + L" exited [closer]"));
    EXPECT_FALSE(owner.next.m_stopAtStart) << "the new body sees its own stop event clear";
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_NE(thread.GetThreadId(), id);
    EXPECT_TRUE(thread.Stop(5000));
    thread.Close();
    EXPECT_EQ(owner.next.m_runs, 1);
}

// Catches an owner destroyed on its own thread whose destructor stops and
// closes that thread: pthread_exit inside the destructor (noexcept) called
// std::terminate. The destructor now completes and the body returns.
TEST(ThreadTest, OwnerDestroyedByItsOwnThreadClosesItInItsDestructorAndTheProcessLives)
{
    LogCapture log;
    struct Owner
    {
        Thread_Posix thread{L"owned"};
        ~Owner()
        {
            EXPECT_TRUE(thread.Stop(10000));
            thread.Close();
        }
    };
    struct Body
    {
        Owner* owner = nullptr;
        std::promise<uint32_t> done;
        void Run(Thread_Posix& self, void*)
        {
            const uint32_t id = self.GetThreadId();
            self.GetReadyEvent().Set();
            delete owner; // self is gone from here on
            done.set_value(id);
        }
    } body;
    body.owner = new Owner;
    body.owner->thread.Start(ThreadFunctor(&body, &Body::Run), nullptr, 0);
    auto done = body.done.get_future();
    ASSERT_EQ(done.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(log.WaitFor(L"Thread " + IdText(done.get()) + L" exited [owned]"));
}

// Catches an object closed on another thread while a thread that let itself
// go still returns through its owner's code: Close must wait for it (with the
// warning), or the owner frees what that body still touches.
TEST(ThreadTest, CloseOnAnotherThreadWaitsForABodyThatLetItselfGo)
{
    LogCapture log;
    struct Body
    {
        EventCondition_Posix letGo;
        EventCondition_Posix proceed;
        std::atomic<bool> finished{false};
        uint32_t id = 0;
        void Run(Thread_Posix& self, void*)
        {
            id = self.GetThreadId();
            self.Close();
            letGo.Set();
            WaitForObject(&proceed, 10000);
            finished = true;
        }
    } body;
    Thread_Posix thread(L"returning");
    thread.Start(ThreadFunctor(&body, &Body::Run), nullptr, 0);
    ASSERT_TRUE(WaitForObject(&body.letGo, 5000));
    EXPECT_FALSE(thread.IsRunning());
    auto closed = std::async(std::launch::async,
                             [&]
                             {
                                 thread.Close();
                                 return body.finished.load();
                             });
    EXPECT_TRUE(log.WaitFor(L"Warning: Terminating thread " + IdText(body.id) + L" [returning]"));
    body.proceed.Set();
    ASSERT_EQ(closed.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(closed.get()) << "Close returned before the body did";
}

// Destroying an object whose body still runs must stop the body and wait for
// it: a detached body goes on using its thread object and writes freed memory.
TEST(ThreadTest, DestroyingRunningThreadWaitsForItsBody)
{
    LogCapture log;
    struct Body
    {
        EventCondition_Posix finished;
        bool sawStop = false;
        std::wstring name;
        void Run(Thread_Posix& self, void*)
        {
            self.GetReadyEvent().Set();
            WaitForObject(&self.GetStopEvent(), kInfinite);
            sawStop = self.IsStopRequested() && self.IsCurrentThread();
            name = self.GetName();
            finished.Set();
        }
    } body;
    auto thread = std::make_unique<Thread_Posix>(L"orphan");
    thread->Start(ThreadFunctor(&body, &Body::Run), nullptr, kInfinite);
    const uint32_t id = thread->GetThreadId();
    thread.reset();
    EXPECT_TRUE(body.finished.IsSet()) << "the destructor returned before the body ended";
    EXPECT_EQ(log.Count(L"Warning: Terminating thread " + IdText(id) + L" [orphan]\n",
                        Q7::Universal::kLogMsgType_Warning),
              1u);
    // Let a detached body finish inside this test, where it is reported.
    ASSERT_TRUE(WaitForObject(&body.finished, 5000));
    EXPECT_TRUE(body.sawStop);
    EXPECT_EQ(body.name, L"orphan");
}

TEST(ThreadTest, PrioritiesAreStored)
{
    Thread_Posix thread(L"prio");
    EXPECT_EQ(thread.GetPriority(), 0);
    for (int priority : {-15, -2, -1, 0, 1, 2, 15})
    {
        thread.SetPriority(priority);
        EXPECT_EQ(thread.GetPriority(), priority);
    }
    thread.SetPriority(7);
    EXPECT_EQ(thread.GetPriority(), 0) << "values outside the table map to normal";

    auto current = std::async(std::launch::async,
                              []
                              {
                                  const int before = Q7::Platform::GetCurrentThreadPriority();
                                  Q7::Platform::SetCurrentThreadPriority(2);
                                  const int set = Q7::Platform::GetCurrentThreadPriority();
                                  Q7::Platform::SetCurrentThreadPriority(-3);
                                  return before * 100 + set * 10 + Q7::Platform::GetCurrentThreadPriority();
                              });
    ASSERT_EQ(current.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(current.get(), 20);
}

TEST(ThreadTest, CurrentThreadIdIsStablePerThreadAndDistinct)
{
    const uint32_t mine = CurrentThreadId();
    EXPECT_EQ(mine, CurrentThreadId());
    EXPECT_EQ(mine, static_cast<uint32_t>(gettid()));
    auto other = std::async(std::launch::async, [] { return CurrentThreadId(); });
    ASSERT_EQ(other.wait_for(5s), std::future_status::ready);
    EXPECT_NE(other.get(), mine);
}

// Repeated start/stop/close cycles, with other threads asking the object's
// state meanwhile, must neither hang nor race.
TEST(ThreadTest, RepeatedCyclesWithConcurrentQueries)
{
    Worker worker(Worker::Mode::kCooperative);
    Thread_Posix thread(L"cycler");
    std::atomic<bool> done{false};
    auto prober = std::async(std::launch::async,
                             [&]
                             {
                                 int observed = 0;
                                 while (!done)
                                 {
                                     observed += thread.IsRunning() ? 1 : 0;
                                     thread.IsReady();
                                     thread.IsCurrentThread();
                                     WaitForObject(&thread, 0);
                                 }
                                 return observed;
                             });
    for (int i = 0; i < 100; ++i)
    {
        thread.Start(worker.Body(), nullptr, kInfinite);
        worker.m_work.Set();
        ASSERT_TRUE(thread.Stop(5000));
        thread.Close();
    }
    done = true;
    ASSERT_EQ(prober.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(worker.m_runs, 100);
}

// A body that never looks at its stop event: Stop (10000) gives up after 10 s.
TEST(ThreadSlowTest, StopOfIgnoringBodyGivesUpAfterTenSeconds)
{
    LogCapture log;
    Worker worker(Worker::Mode::kIgnoresStop);
    Thread_Posix thread(L"deaf");
    thread.Start(worker.Body(), nullptr, kInfinite);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread.Stop(10000));
    const long long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 10000);
    EXPECT_LT(elapsed, 12000);
    EXPECT_EQ(log.Count(L"Timeout while waiting for thread"), 1u);
    worker.m_release.Set();
    EXPECT_TRUE(thread.WaitForStop(5000));
}

// A body that ignores its stop event keeps its object's destructor waiting, with
// the warning once at first and again after every 10 s.
TEST(ThreadSlowTest, DestroyingAnUnstoppableThreadWarnsAgainEveryTenSeconds)
{
    LogCapture log;
    Worker worker(Worker::Mode::kIgnoresStop);
    auto thread = std::make_unique<Thread_Posix>(L"deaf");
    thread->Start(worker.Body(), nullptr, kInfinite);
    auto releaser = std::async(std::launch::async,
                               [&]
                               {
                                   const bool warnedTwice = log.WaitFor(L"Terminating thread", 2, 25s);
                                   worker.m_release.Set();
                                   return warnedTwice;
                               });
    const auto start = std::chrono::steady_clock::now();
    thread.reset();
    const long long elapsed = ElapsedMs(start);
    ASSERT_EQ(releaser.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(releaser.get());
    EXPECT_GE(elapsed, 10000);
    EXPECT_LT(elapsed, 19000);
    EXPECT_EQ(log.Count(L"Warning: Terminating thread", Q7::Universal::kLogMsgType_Warning), 2u);
}
