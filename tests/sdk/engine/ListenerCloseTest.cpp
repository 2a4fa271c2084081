// Listeners when the SDK closes. The SDK closes for good, so every case runs in
// a process of its own.

#include "NotificationQueue.h"
#include "ProcessChecks.h"
#include "Sdk.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;
using TestSupport::ProcessCase;
using TestSupport::ProcessChecks;

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

class ListenerCloseTest : public ::testing::TestWithParam<ProcessCase>
{
};

TEST_P(ListenerCloseTest, RunsInItsOwnProcess)
{
    TestSupport::RunInOwnProcess(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, ListenerCloseTest,
                         ::testing::Values(ProcessCase{"CloseWakesWaitersWithAndWithoutTimeOut",
                                                       &CloseWakesWaitersWithAndWithoutTimeOut, ""},
                                           ProcessCase{"WaitersEnterAsCloseStarts",
                                                       &WaitersEnterAsCloseStarts, ""}),
                         TestSupport::ProcessCaseName);

// Run under asan and tsan: catches a waiter left blocked for ever by a close
// that lands between its finding the queue and its waiting (the lost wake-up),
// a queue freed under a waiter, and any other outcome than the wake-up event or
// -3. The timing differs in each of the 200 processes.
TEST(ListenerCloseSlowTest, WaitersEnterAsCloseStartsInTwoHundredProcesses)
{
    const ProcessCase c{"WaitersEnterAsCloseStarts", &WaitersEnterAsCloseStarts, ""};
    for (int process = 0; process < 200 && !HasFailure(); ++process)
    {
        TestSupport::RunInOwnProcess(c);
    }
}

} // namespace
