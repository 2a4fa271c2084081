// Listeners when the SDK closes. The SDK closes for good, so every case runs in
// a process of its own.

#include "NotificationQueue.h"
#include "ProcessChecks.h"
#include "Sdk.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/ObjectFactory.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;
using TestSupport::ProcessCase;
using TestSupport::ProcessChecks;
using TestSupport::SdkLogCapture;

namespace
{

using Event = std::shared_ptr<const INotificationEvent>;
using namespace std::chrono_literals;

struct WaitResult
{
    ErrorCode code = GeneralError;
    Event event;
};

// Each outcome a waiter may have when the SDK closes under it: woken with the
// SdkWakeUp event and code 0, or refused with -3 when it came later.
void CheckWokenOrRefused(ProcessChecks& check, const WaitResult& result)
{
    const bool woken =
        result.code == Success && result.event != nullptr && result.event->Type() == SdkEventType::SdkWakeUp;
    const bool refused = result.code == SdkNotOpen && result.event == nullptr;
    check.True(woken || refused, "a waiter returned the wake-up event with 0, or -3");
}

// Listeners whose threads all enter a wait without time-out as the SDK closes.
// A waiter still blocked after the close makes the child fail at once (its
// thread cannot be joined).
void WaitersEnterAsCloseStarts(ProcessChecks& check)
{
    constexpr int kWaiters = 8;
    OpenSdk();
    std::vector<std::uint32_t> ids(kWaiters);
    for (std::uint32_t& id : ids)
    {
        RegisterListener(id);
    }
    std::latch start(kWaiters + 1);
    std::vector<std::future<WaitResult>> waiters;
    for (const std::uint32_t id : ids)
    {
        waiters.push_back(std::async(std::launch::async,
                                     [&start, id]
                                     {
                                         start.arrive_and_wait();
                                         WaitResult result;
                                         result.event = WaitForNotification(id, result.code, 0);
                                         return result;
                                     }));
    }
    start.arrive_and_wait();
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    for (std::future<WaitResult>& waiter : waiters)
    {
        if (waiter.wait_for(30s) != std::future_status::ready)
        {
            std::fputs("a waiter stayed blocked after CloseSdk\n", stderr);
            std::_Exit(1);
        }
        CheckWokenOrRefused(check, waiter.get());
    }
}

// Catches a close that does not wake a waiter that surely waits, with or
// without a time-out, and a flat call after the close that is not refused.
void CloseWakesWaitersWithAndWithoutTimeOut(ProcessChecks& check)
{
    OpenSdk();
    std::vector<std::future<WaitResult>> waiters;
    for (const std::uint32_t timeoutMs : {0u, 60000u})
    {
        std::uint32_t id = 0;
        RegisterListener(id);
        waiters.push_back(std::async(std::launch::async,
                                     [id, timeoutMs]
                                     {
                                         WaitResult result;
                                         result.event = WaitForNotification(id, result.code, timeoutMs);
                                         return result;
                                     }));
        // Until the thread is inside the queue's wait, not merely on its way.
        std::shared_ptr<NotificationQueue> queue;
        {
            Sdk* sdk = Sdk::GetInstance(false);
            const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
            queue = sdk->Listeners().at(id);
        }
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!queue->Waiting() && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::yield();
        }
        check.True(queue->Waiting(), "the thread waits");
    }
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    for (std::future<WaitResult>& waiter : waiters)
    {
        if (waiter.wait_for(30s) != std::future_status::ready)
        {
            std::fputs("a waiter stayed blocked after CloseSdk\n", stderr);
            std::_Exit(1);
        }
        const WaitResult result = waiter.get();
        check.Equal(static_cast<int>(result.code), 0, "code of a woken waiter");
        check.True(result.event != nullptr && result.event->Type() == SdkEventType::SdkWakeUp &&
                       result.event->CameraId() == -1,
                   "the wake-up event");
    }
    ErrorCode code = Success;
    check.True(WaitForNotification(0, code, 0) == nullptr, "no event after the close");
    check.Equal(static_cast<int>(code), static_cast<int>(SdkNotOpen), "a wait after the close");
    std::uint32_t id = 0;
    check.Equal(static_cast<int>(RegisterListener(id)), static_cast<int>(SdkNotOpen),
                "register after the close");
}

// The SDK log lines the handler of ExitWithAListenerWaiting has received.
// Trivially destructible: the handler runs during exit.
constinit std::atomic<unsigned> g_exitLines{0};

// Armed by ExitWithAListenerWaiting. Made before every ordinary global (by its
// priority), so destroyed after the library's globals at exit: it then lets
// the woken listener log a while longer before the process ends, so that a
// library global destroyed under it is surely used.
struct ExitLinger
{
    std::atomic<bool> armed{false};
    ~ExitLinger()
    {
        if (!armed.load())
        {
            return;
        }
        const unsigned start = g_exitLines.load();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (g_exitLines.load() < start + 100 && std::chrono::steady_clock::now() < deadline)
        {
            std::this_thread::yield();
        }
    }
};
ExitLinger g_exitLinger __attribute__((init_priority(101)));

// Run under asan: catches the exit fault: the close at process exit (the
// opener's destructor) woke a listener whose thread then left the waiter set
// and logged through the handler slot after exit had destroyed both (a use
// after free). The listener keeps calling, as an application's loop that
// retries may, until the process ends.
void ExitWithAListenerWaiting(ProcessChecks& check)
{
    ::alarm(60); // an exit that hangs fails the case
    SetSdkLoggingHandler([](const char*, LogMessageLevel) { g_exitLines.fetch_add(1); });
    g_exitLinger.armed.store(true);
    EnsureOpen();
    std::uint32_t id = 0;
    check.Equal(static_cast<int>(RegisterListener(id)), 0, "RegisterListener");
    std::shared_ptr<NotificationQueue> queue;
    {
        Sdk* sdk = Sdk::GetInstance(false);
        const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
        queue = sdk->Listeners().at(id);
    }
    std::thread(
        [id]
        {
            for (;;)
            {
                ErrorCode code = Success;
                WaitForNotification(id, code, 0);
            }
        })
        .detach();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!queue->Waiting() && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::yield();
    }
    check.True(queue->Waiting(), "the listener waits");
    queue.reset();
    // Finish calls exit: the opener's destructor closes the SDK while the
    // listener still waits.
}

// Holds the close that ends it in Terminate until released.
class HeldFactory final : public ObjectFactory
{
public:
    IString* CreateString() override { return nullptr; }
    bool DeleteString(IString*) override { return false; }
    Q7::TavrinC::IVector<Q7::TavrinC::PropertyValue>* CreateVector() override { return nullptr; }
    void Terminate() override
    {
        m_entered.set_value();
        m_released.wait_for(30s);
    }

    std::future<void> Entered() { return m_entered.get_future(); }
    void Release() { m_release.set_value(); }

private:
    std::promise<void> m_entered;
    std::promise<void> m_release;
    std::shared_future<void> m_released = m_release.get_future().share();
};

// Catches the early-return fault: a CloseSdk that lost the closing race to
// another thread returned while the winner was still closing (at process exit
// the static destructors then ran under the winner's feet). The winner is held
// in its factory's Terminate until the loser has had time to return.
void LosingCloseWaitsForTheWinner(ProcessChecks& check)
{
    OpenSdk();
    HeldFactory factory;
    std::future<void> entered = factory.Entered();
    Sdk::GetInstance(false)->SetFactory(&factory);
    SdkLogCapture capture;
    auto winner = std::async(std::launch::async, [] { return CloseSdk(true); });
    if (entered.wait_for(30s) != std::future_status::ready)
    {
        std::fputs("the close did not reach the factory\n", stderr);
        std::_Exit(1);
    }
    struct Outcome
    {
        ErrorCode code = GeneralError;
        bool closed = false; // the winner had finished when the loser returned
    };
    auto loser = std::async(std::launch::async,
                            []
                            {
                                Outcome outcome;
                                outcome.code = CloseSdk(true);
                                outcome.closed = Sdk::GetInstance(true) == nullptr;
                                return outcome;
                            });
    // The loser has found the SDK closing; a faulty one returns at once.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (capture.Count("SDK is marked for closing. No SDK instance returned.\n") == 0 &&
           std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::yield();
    }
    check.True(loser.wait_for(200ms) != std::future_status::ready,
               "the losing CloseSdk returned while the winner was closing");
    factory.Release();
    if (winner.wait_for(30s) != std::future_status::ready || loser.wait_for(30s) != std::future_status::ready)
    {
        std::fputs("a close stayed blocked\n", stderr);
        std::_Exit(1);
    }
    check.Equal(static_cast<int>(winner.get()), 0, "the winner's CloseSdk");
    const Outcome outcome = loser.get();
    check.Equal(static_cast<int>(outcome.code), static_cast<int>(SdkNotOpen), "the loser's CloseSdk");
    check.True(outcome.closed, "the loser returned after the close had ended");
}

// The scheduling state of a thread of this process ('S' while it sleeps, as
// on a mutex), or 0 when unknown.
char ThreadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : '\0';
}

// Catches the late-registration fault: a RegisterListener that found the SDK
// open, then entered its queue after CloseSdk had woken and taken the listener
// table, left an open queue in the closed SDK (a wait on it never ends). The
// test holds the Sdk mutex so that the registration waits for it while this
// thread closes the SDK.
void RegistrationHeldThroughTheCloseIsRefused(ProcessChecks& check)
{
    OpenSdk();
    Sdk* sdk = Sdk::GetInstance(false);
    std::unique_lock<std::recursive_mutex> hold(sdk->Mutex());
    std::atomic<pid_t> tid{0};
    auto registration = std::async(std::launch::async,
                                   [&tid]
                                   {
                                       tid.store(::gettid());
                                       std::uint32_t id = 0;
                                       return RegisterListener(id);
                                   });
    // Until the registration sleeps: on the Sdk mutex, its only wait.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((tid.load() == 0 || ThreadState(tid.load()) != 'S') && std::chrono::steady_clock::now() < deadline)
    {
        std::this_thread::yield();
    }
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    hold.unlock();
    if (registration.wait_for(30s) != std::future_status::ready)
    {
        std::fputs("the registration stayed blocked\n", stderr);
        std::_Exit(1);
    }
    check.Equal(static_cast<int>(registration.get()), static_cast<int>(SdkNotOpen),
                "a registration that waited through the close");
    const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
    check.True(sdk->Listeners().empty(), "no queue entered in the closed SDK");
}

// Catches the kept-events fault: a queue closed by CloseSdk kept its events,
// with their payloads, for the life of the process (its registrations still
// hold it).
void CloseReleasesQueuedEvents(ProcessChecks& check)
{
    OpenSdk();
    std::uint32_t id = 0;
    RegisterListener(id);
    EnableCatchAllNotifications(id);
    Event event = BuildNotificationEvent(EventType::CameraImageAdded, 1, 0);
    const std::weak_ptr<const INotificationEvent> watch = event;
    Sdk::GetInstance(false)->Notifications().Post(event);
    event.reset();
    check.True(!watch.expired(), "the event is queued");
    check.Equal(static_cast<int>(CloseSdk(true)), 0, "CloseSdk");
    check.True(watch.expired(), "the event is released by the close");
}

class ListenerCloseTest : public ::testing::TestWithParam<ProcessCase>
{
};

TEST_P(ListenerCloseTest, RunsInItsOwnProcess)
{
    TestSupport::RunInOwnProcess(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ListenerCloseTest,
    ::testing::Values(ProcessCase{"CloseWakesWaitersWithAndWithoutTimeOut",
                                  &CloseWakesWaitersWithAndWithoutTimeOut, ""},
                      ProcessCase{"WaitersEnterAsCloseStarts", &WaitersEnterAsCloseStarts, ""},
                      ProcessCase{"ExitWithAListenerWaiting", &ExitWithAListenerWaiting, ""},
                      ProcessCase{"LosingCloseWaitsForTheWinner", &LosingCloseWaitsForTheWinner, ""},
                      ProcessCase{"RegistrationHeldThroughTheCloseIsRefused",
                                  &RegistrationHeldThroughTheCloseIsRefused, ""},
                      ProcessCase{"CloseReleasesQueuedEvents", &CloseReleasesQueuedEvents, ""}),
    TestSupport::ProcessCaseName);

// Run under asan and tsan: catches a waiter left blocked for ever by a close
// that lands between its finding the queue and its waiting (the lost wake-up),
// a queue freed under a waiter, and any other outcome than the wake-up event or
// -3. The timing differs in each of the 200 processes, run as eight shards of
// 25 so that ctest spreads them over its slots.
constexpr int kCloseShards = 8;
constexpr int kProcessesPerCloseShard = 200 / kCloseShards;

class ListenerCloseSlowTest : public ::testing::TestWithParam<int>
{
};

TEST_P(ListenerCloseSlowTest, WaitersEnterAsCloseStartsInTwoHundredProcesses)
{
    const ProcessCase c{"WaitersEnterAsCloseStarts", &WaitersEnterAsCloseStarts, ""};
    for (int process = 0; process < kProcessesPerCloseShard && !HasFailure(); ++process)
    {
        TestSupport::RunInOwnProcess(c);
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, ListenerCloseSlowTest, ::testing::Range(0, kCloseShards));

} // namespace
