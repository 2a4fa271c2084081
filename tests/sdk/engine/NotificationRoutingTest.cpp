// Listeners through the flat functions, with the SDK open in this process for
// good (closing is tested in processes of their own): events posted through the
// Sdk's notification list, as the camera bridge posts them.

#include "LastError.h"
#include "NotificationQueue.h"
#include "Sdk.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <latch>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;
using TestSupport::SdkLogCapture;
using TestSupport::SdkLogLine;

namespace
{

using Event = std::shared_ptr<const INotificationEvent>;
using namespace std::chrono_literals;

// A bound on every wait for another thread: reached only when something hangs.
constexpr auto kHang = 30s;

class NotificationRoutingTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(OpenSdk(), Success); }

    static void Post(const Event& event) { Sdk::GetInstance(false)->Notifications().Post(event); }

    static std::uint32_t Register()
    {
        std::uint32_t id = 0;
        EXPECT_EQ(RegisterListener(id), Success);
        return id;
    }

    // Returns once another thread waits on the listener: a wait of our own is
    // refused with -100 only then. Each try that is not refused times out after
    // 1 ms, and may meanwhile refuse that other thread, which must try again.
    static void UntilWaiting(std::uint32_t listenerId)
    {
        ErrorCode code = Success;
        for (int attempt = 0; attempt < 30000; ++attempt)
        {
            WaitForNotification(listenerId, code, 1);
            if (code == AnotherThreadPending)
            {
                return;
            }
        }
        FAIL() << "no thread started waiting on listener " << listenerId;
    }

    // A wait of its own on another thread, tried again while refused with -100.
    static std::future<std::pair<ErrorCode, Event>> WaitElsewhere(std::uint32_t listenerId,
                                                                  std::uint32_t timeoutMs)
    {
        return std::async(std::launch::async,
                          [=]
                          {
                              ErrorCode code = AnotherThreadPending;
                              Event event;
                              while (code == AnotherThreadPending)
                              {
                                  event = WaitForNotification(listenerId, code, timeoutMs);
                              }
                              return std::make_pair(code, event);
                          });
    }
};

struct ListenerSetup
{
    bool catchAll;
    std::vector<const BaseEventType*> filters; // each a prototype of its own, for every camera
};

struct Received
{
    std::vector<std::pair<std::int32_t, std::uint32_t>> events; // camera (the poster), id (its sequence)
    ErrorCode failure = Success;
};

// Catches an event lost, duplicated or reordered between posting threads and
// waiting ones, a catch-all record whose missing filter is read, a second
// registration of the same event that is not delivered twice, and a filter of a
// type that lets other types through.
TEST_F(NotificationRoutingTest, FourPostersEightListenersEachEventOncePerRegistrationInOrder)
{
    const BaseEventType* added = &EventType::CameraImageAdded;
    const BaseEventType* removed = &EventType::CameraImageRemoved;
    const BaseEventType* progress = &EventType::FileTransferProgress;
    const BaseEventType* found = &SdkEventType::SdkCameraFound;
    const BaseEventType* tile = &EventType::CameraTileReady;
    const std::vector<ListenerSetup> setups = {
        {true, {}},
        {false, {added}},
        {false, {removed, progress}},
        {true, {added}},
        {false, {added, added}},
        {false, {tile}},
        {true, {found, removed}},
        {false, {progress, found}},
    };
    const std::vector<const BaseEventType*> posted = {added, removed, progress, found,
                                                      &EventType::CameraDisconnected};
    constexpr int kPosters = 4;
    constexpr std::uint32_t kPerPoster = 500;

    // How often an event of that type reaches the listener.
    const auto copies = [](const ListenerSetup& setup, const BaseEventType* type)
    {
        std::size_t count = setup.catchAll ? 1 : 0;
        for (const BaseEventType* filter : setup.filters)
        {
            count += filter == type ? 1 : 0;
        }
        return count;
    };
    const auto typeOf = [&](int poster, std::uint32_t sequence)
    { return posted[(sequence + static_cast<std::uint32_t>(poster)) % posted.size()]; };

    std::vector<std::uint32_t> ids;
    std::vector<std::size_t> totals;
    for (const ListenerSetup& setup : setups)
    {
        ids.push_back(Register());
        if (setup.catchAll)
        {
            ASSERT_EQ(EnableCatchAllNotifications(ids.back()), Success);
        }
        for (const BaseEventType* filter : setup.filters)
        {
            ASSERT_EQ(EnableNotification(ids.back(), BuildNotificationEvent(*filter, 0, 0)), Success);
        }
        std::size_t total = 0;
        for (int poster = 0; poster < kPosters; ++poster)
        {
            for (std::uint32_t sequence = 0; sequence < kPerPoster; ++sequence)
            {
                total += copies(setup, typeOf(poster, sequence));
            }
        }
        totals.push_back(total);
    }

    std::vector<Received> received(setups.size());
    std::vector<std::thread> waiters;
    for (std::size_t l = 0; l < setups.size(); ++l)
    {
        waiters.emplace_back(
            [&, l]
            {
                while (received[l].events.size() < totals[l])
                {
                    ErrorCode code = Success;
                    const Event event = WaitForNotification(ids[l], code, 30000);
                    if (code != Success)
                    {
                        received[l].failure = code;
                        return;
                    }
                    received[l].events.emplace_back(event->CameraId(), event->Id());
                }
            });
    }
    std::latch start(kPosters);
    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster)
    {
        posters.emplace_back(
            [&, poster]
            {
                start.arrive_and_wait();
                for (std::uint32_t sequence = 0; sequence < kPerPoster; ++sequence)
                {
                    Post(BuildNotificationEvent(*typeOf(poster, sequence), poster + 1, sequence));
                }
            });
    }
    for (std::thread& thread : posters)
    {
        thread.join();
    }
    for (std::thread& thread : waiters)
    {
        thread.join();
    }

    for (std::size_t l = 0; l < setups.size(); ++l)
    {
        SCOPED_TRACE("listener " + std::to_string(l));
        EXPECT_EQ(received[l].failure, Success);
        // Per poster: every sequence number as often as it matches, in order.
        for (int poster = 0; poster < kPosters; ++poster)
        {
            std::vector<std::uint32_t> expected;
            for (std::uint32_t sequence = 0; sequence < kPerPoster; ++sequence)
            {
                expected.insert(expected.end(), copies(setups[l], typeOf(poster, sequence)), sequence);
            }
            std::vector<std::uint32_t> got;
            for (const auto& [camera, sequence] : received[l].events)
            {
                if (camera == poster + 1)
                {
                    got.push_back(sequence);
                }
            }
            EXPECT_EQ(got, expected) << "poster " << poster;
        }
        // Nothing more is queued.
        ErrorCode code = Success;
        EXPECT_EQ(WaitForNotification(ids[l], code, 1), nullptr);
        EXPECT_EQ(code, NotificationTimeout);
        EXPECT_EQ(DeregisterListener(ids[l]), Success);
    }
}

// Catches a second waiter that queues behind the first (or takes its place),
// and a refusal that removes the first waiter's entry.
TEST_F(NotificationRoutingTest, SecondWaiterIsRefusedAtOnceAndTheFirstGoesOn)
{
    const std::uint32_t id = Register();
    ASSERT_EQ(EnableCatchAllNotifications(id), Success);
    auto first = WaitElsewhere(id, 0);
    UntilWaiting(id);
    ErrorCode code = Success;
    EXPECT_EQ(WaitForNotification(id, code, 60000), nullptr);
    EXPECT_EQ(code, AnotherThreadPending);
    EXPECT_EQ(std::string(GetErrorMessage()),
              "Another thread is already waiting for notifications on this listener");
    // The refusal left the first waiter in place: a third is refused as well.
    UntilWaiting(id);

    Post(BuildNotificationEvent(EventType::CameraImageEdited, 6, 0));
    ASSERT_EQ(first.wait_for(kHang), std::future_status::ready);
    const auto [firstCode, event] = first.get();
    EXPECT_EQ(firstCode, Success);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->Type(), EventType::CameraImageEdited);
    EXPECT_EQ(DeregisterListener(id), Success);
}

// Catches a wake-up that is remembered for the next wait, and a woken waiter
// that does not get the SdkWakeUp event with code 0.
TEST_F(NotificationRoutingTest, WakeUpReachesOnlyAWaitingThread)
{
    const std::uint32_t id = Register();
    EXPECT_EQ(WakeUpWaitingThread(id), Success);
    ErrorCode code = Success;
    EXPECT_EQ(WaitForNotification(id, code, 100), nullptr);
    EXPECT_EQ(code, NotificationTimeout);

    for (const std::uint32_t timeoutMs : {0u, 60000u})
    {
        auto waiter = WaitElsewhere(id, timeoutMs);
        // Wake-ups before the thread waits are lost; one lands once it waits.
        const auto deadline = std::chrono::steady_clock::now() + kHang;
        do
        {
            EXPECT_EQ(WakeUpWaitingThread(id), Success);
        } while (waiter.wait_for(1ms) != std::future_status::ready &&
                 std::chrono::steady_clock::now() < deadline);
        ASSERT_EQ(waiter.wait_for(0s), std::future_status::ready);
        const auto [waitCode, event] = waiter.get();
        EXPECT_EQ(waitCode, Success);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->Type(), SdkEventType::SdkWakeUp);
        EXPECT_EQ(event->CameraId(), -1);
    }
    EXPECT_EQ(DeregisterListener(id), Success);
}

// Catches a wrong code, message, source padding or log line for an unknown
// listener, and a GetLastError that overruns a short buffer.
TEST_F(NotificationRoutingTest, EnableNotificationOnUnknownListener)
{
    SdkLogCapture capture;
    EXPECT_EQ(EnableNotification(999, BuildNotificationEvent(SdkEventType::SdkCameraFound, CameraInfo{}, -1)),
              ListenerNotInitialized);
    const std::vector<SdkLogLine> expected = {
        {2, "C_Notifications: No event-queue registered for listenerId=999. Illegal listener.\n"},
        {2,
         "Q7::TavrinC::EnableNotification : ErrorCode=-45 \"Cannot enable notification on a not-initialized "
         "listener\"\n"},
    };
    EXPECT_EQ(capture.Lines(), expected);
    ErrorCode code = Success;
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(GetLastError(code, buffer, 8), ListenerNotInitialized);
    EXPECT_EQ(code, ListenerNotInitialized);
    EXPECT_EQ(std::string(buffer), "Cannot ");
}

struct Step
{
    const char* name;
    std::function<ErrorCode()> call;
    ErrorCode code;
    const char* message; // the last error afterwards; "sentinel" when nothing is recorded
    std::string logLine; // a line the call must log once, or empty
};

// Catches each check of the listener functions in the wrong order, with the
// wrong code or text, or recording where nothing is to be recorded.
TEST_F(NotificationRoutingTest, OutcomesOfTheListenerFunctions)
{
    const std::uint32_t id = Register();
    std::uint32_t next = 0;
    ASSERT_EQ(RegisterListener(next), Success);
    EXPECT_EQ(next, id + 1);
    ASSERT_EQ(DeregisterListener(next), Success);
    EXPECT_EQ(Register(), id + 2) << "listener ids are never reused";

    const Event filter = BuildNotificationEvent(EventType::CameraImageAdded, 0, 0);
    bool flag = true;
    const std::vector<Step> steps = {
        {"null filter", [&] { return EnableNotification(id, nullptr); }, GeneralError,
         "The notification filter is empty", ""},
        {"filter of a closed camera",
         [&] { return EnableNotification(id, BuildNotificationEvent(EventType::CameraImageAdded, 5, 0)); },
         CameraNotOpen, "You cannot enable notification on a closed camera", ""},
        {"property of no open camera",
         [&] {
             return EnableNotification(id,
                                       BuildNotificationEvent(PropertyEventType::PropertyValueChange, 0, 5));
         },
         CameraNotOpen, "The camera is not open", ""},
        {"enable", [&] { return EnableNotification(id, Event(filter)); }, Success, "sentinel", ""},
        {"the same filter object again", [&] { return EnableNotification(id, Event(filter)); },
         NotificationAlreadyExists, "The same notification cannot be enabled more than once",
         "C_Notifications: NotificationList claims to have this notification registered already\n"},
        {"disable what is not enabled",
         [&] { return DisableNotification(id, BuildNotificationEvent(EventType::CameraImageRemoved, 0, 0)); },
         NotificationNotEnabled, "",
         "Remove notification: Failed find notification: listenerId=" + std::to_string(id) +
             ", cameraId=0, type=CameraImageRemoved [propertyId=0]\n"},
        {"disable a null filter", [&] { return DisableNotification(id, nullptr); }, NotificationNotEnabled,
         "", "C_Notifications: NotificationList does not have the requested notification registered\n"},
        {"disable by an equal prototype",
         [&] { return DisableNotification(id, BuildNotificationEvent(EventType::CameraImageAdded, 0, 0)); },
         Success, "", ""},
        {"catch all on an unknown listener", [&] { return EnableCatchAllNotifications(999); },
         ListenerNotInitialized, "Cannot enable 'catch all' notification on a not-initialized listener",
         "C_Notifications: No event-queue registered for listenerId=999. Illegal listener.\n"},
        {"no catch all on an unknown listener", [&] { return DisableCatchAllNotifications(999); },
         ListenerNotInitialized, "Cannot disable 'catch all' notification on a not-initialized listener", ""},
        {"catch all", [&] { return EnableCatchAllNotifications(id); }, Success, "sentinel", ""},
        {"disable all of an unknown listener", [&] { return DisableAllNotifications(999); }, Success, "", ""},
        {"deregister an unknown listener", [&] { return DeregisterListener(999); }, ListenerNotInitialized,
         "", "C_Notifications: No event-queue found for the given listenerId=999\n"},
        {"wait on an unknown listener",
         [&]
         {
             ErrorCode code = Success;
             WaitForNotification(999, code, 1);
             return code;
         },
         ListenerNotFound, "", ""},
        {"wake an unknown listener", [&] { return WakeUpWaitingThread(999); }, Success, "", ""},
        {"is a camera open",
         [&]
         {
             flag = true;
             const ErrorCode code = IsCameraOpen(1, flag);
             EXPECT_FALSE(flag) << "no camera is open";
             return code;
         },
         Success, "sentinel", ""},
        {"has a closed camera a property",
         [&]
         {
             flag = true;
             const ErrorCode code = HasProperty(1, 5, flag);
             EXPECT_FALSE(flag) << "a closed camera has no property";
             return code;
         },
         CameraNotOpen, "The camera is not open", ""},
    };
    SdkLogCapture capture;
    for (const Step& step : steps)
    {
        SCOPED_TRACE(step.name);
        SetLastErrorInfo(Success, "sentinel", "test");
        capture.Clear();
        EXPECT_EQ(step.call(), step.code);
        EXPECT_EQ(GetErrorCode(), std::string(step.message) == "sentinel" ? Success : step.code);
        EXPECT_EQ(std::string(GetErrorMessage()), step.message);
        if (!step.logLine.empty())
        {
            EXPECT_EQ(capture.Count(step.logLine), 1);
        }
    }
    EXPECT_EQ(DeregisterListener(id), Success);
}

// The queue of a registered listener, as the Sdk holds it.
std::shared_ptr<NotificationQueue> QueueOf(std::uint32_t listenerId)
{
    Sdk* sdk = Sdk::GetInstance(false);
    const std::lock_guard<std::recursive_mutex> lock(sdk->Mutex());
    return sdk->Listeners().at(listenerId);
}

// One way to register a listener for the events posted below, and the
// matching way to remove that registration.
struct RegistrationForm
{
    const char* name;
    ErrorCode (*enable)(std::uint32_t listenerId);
    ErrorCode (*disable)(std::uint32_t listenerId);
};

const RegistrationForm kRegistrationForms[] = {
    {"filter",
     [](std::uint32_t id)
     { return EnableNotification(id, BuildNotificationEvent(EventType::CameraImageAdded, 0, 0)); },
     [](std::uint32_t id)
     { return DisableNotification(id, BuildNotificationEvent(EventType::CameraImageAdded, 0, 0)); }},
    {"catch-all", &EnableCatchAllNotifications, &DisableCatchAllNotifications},
    {"all notifications", &EnableCatchAllNotifications, &DisableAllNotifications},
};

// Run under tsan: catches the late-delivery fault: a post that had matched a
// registration before its removal, and inserted the event after the removal
// had returned (the queues were chosen under the list lock and filled after
// it). Every form of removal is raced against a thread that posts without
// pause; once the post in flight at the removal has ended, the queue must not
// have grown. The fault shows within a few dozen rounds, plain and under tsan;
// each round waits for the poster to be scheduled twice, so more rounds only
// cost time on a loaded machine.
TEST_F(NotificationRoutingTest, NoEventArrivesAfterItsRegistrationIsRemoved)
{
    constexpr int kRounds = 250;
    const std::uint32_t id = Register();
    const std::shared_ptr<NotificationQueue> queue = QueueOf(id);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> posts{0}; // posts that have returned
    std::thread poster(
        [&]
        {
            const Event event = BuildNotificationEvent(EventType::CameraImageAdded, 1, 0);
            while (!stop.load())
            {
                Post(event);
                posts.fetch_add(1);
            }
        });
    int late = 0;
    for (int round = 0; round < kRounds && late == 0; ++round)
    {
        for (const RegistrationForm& form : kRegistrationForms)
        {
            ASSERT_EQ(form.enable(id), Success) << form.name;
            ASSERT_EQ(form.disable(id), Success) << form.name;
            const std::size_t count = queue->Count();
            // Two more posts returned: the one in flight at the removal has ended.
            const std::uint64_t seen = posts.load();
            const auto deadline = std::chrono::steady_clock::now() + kHang;
            while (posts.load() < seen + 2 && std::chrono::steady_clock::now() < deadline)
            {
                std::this_thread::yield();
            }
            ASSERT_GE(posts.load(), seen + 2) << "the poster stopped";
            if (queue->Count() != count)
            {
                ADD_FAILURE() << form.name << ", round " << round << ": " << queue->Count() - count
                              << " event(s) arrived after the removal returned";
                ++late;
            }
        }
    }
    stop.store(true);
    poster.join();
    EXPECT_EQ(DeregisterListener(id), Success);
}

// Run under tsan: catches the crossed-order fault: two events posted at once
// reaching one listener in one order and another listener in the other.
TEST_F(NotificationRoutingTest, TwoListenersSeeConcurrentPostsInOneOrder)
{
    constexpr std::uint32_t kPerPoster = 20000;
    const std::uint32_t first = Register();
    const std::uint32_t second = Register();
    ASSERT_EQ(EnableCatchAllNotifications(first), Success);
    ASSERT_EQ(EnableCatchAllNotifications(second), Success);
    std::latch start(2);
    std::vector<std::thread> posters;
    for (int poster = 1; poster <= 2; ++poster)
    {
        posters.emplace_back(
            [&, poster]
            {
                start.arrive_and_wait();
                for (std::uint32_t sequence = 0; sequence < kPerPoster; ++sequence)
                {
                    Post(BuildNotificationEvent(EventType::CameraImageAdded, poster, sequence));
                }
            });
    }
    for (std::thread& thread : posters)
    {
        thread.join();
    }
    // The camera of every event in the order each listener received them.
    const auto order = [](std::uint32_t listenerId)
    {
        const std::shared_ptr<NotificationQueue> queue = QueueOf(listenerId);
        std::vector<std::int32_t> cameras;
        while (queue->Count() > 0)
        {
            cameras.push_back(queue->WaitForNotification(1)->CameraId());
        }
        return cameras;
    };
    const std::vector<std::int32_t> received = order(first);
    EXPECT_EQ(received.size(), 2u * kPerPoster);
    EXPECT_TRUE(received == order(second)) << "the listeners saw the posts in different orders";
    EXPECT_EQ(DeregisterListener(first), Success);
    EXPECT_EQ(DeregisterListener(second), Success);
}

// Run under asan and tsan: catches a waiter that blocks for ever because the
// listener was removed between finding its queue and waiting on it, and a queue
// freed while the waiter still uses it. The waiter either found the queue (and
// returns the wake-up event) or did not (-44).
TEST_F(NotificationRoutingTest, DeregisterRacingAWaiterTenThousandRounds)
{
    constexpr int kRounds = 10000;
    std::barrier start(2);
    std::uint32_t listenerId = 0; // written by the main thread before each round's start
    std::vector<ErrorCode> codes(kRounds, GeneralError);
    std::vector<bool> wakeUps(kRounds, false);
    std::mutex mutex;
    std::condition_variable roundDone;
    int rounds = 0; // guarded by mutex: rounds the waiter has finished
    std::thread waiter(
        [&]
        {
            for (int round = 0; round < kRounds; ++round)
            {
                start.arrive_and_wait();
                const Event event = WaitForNotification(listenerId, codes[round], 0);
                wakeUps[round] = event != nullptr && event->Type() == SdkEventType::SdkWakeUp;
                const std::lock_guard<std::mutex> lock(mutex);
                ++rounds;
                roundDone.notify_one();
            }
        });
    for (int round = 0; round < kRounds; ++round)
    {
        listenerId = Register();
        start.arrive_and_wait();
        DeregisterListener(listenerId);
        std::unique_lock<std::mutex> lock(mutex);
        if (!roundDone.wait_for(lock, kHang, [&] { return rounds == round + 1; }))
        {
            std::fprintf(stderr, "round %d: the waiter stayed blocked after its listener was removed\n",
                         round);
            std::abort();
        }
    }
    waiter.join();
    int found = 0;
    for (int round = 0; round < kRounds; ++round)
    {
        const bool woken = codes[round] == Success && wakeUps[round];
        ASSERT_TRUE(woken || codes[round] == ListenerNotFound) << "round " << round << ": " << codes[round];
        found += woken ? 1 : 0;
    }
    RecordProperty("woken", found);
}

// Catches a wait on a queue closed before it starts that blocks until its time
// runs out (a lost wake-up), a plain wake-up that is remembered, an event
// queued after the close, and events that a closed queue keeps (with their
// payloads) although no one can take them any more.
TEST(NotificationQueueTest, AWaitOnAClosedQueueReturnsAtOnce)
{
    NotificationQueue queue;
    queue.WakeUp();
    EXPECT_EQ(queue.WaitForNotification(20), nullptr);
    Event before = BuildNotificationEvent(EventType::CameraImageAdded, 1, 0);
    const std::weak_ptr<const INotificationEvent> watch = before;
    EXPECT_TRUE(queue.Insert(std::move(before)));
    queue.Close();
    EXPECT_TRUE(watch.expired()) << "the closed queue keeps its event";
    EXPECT_FALSE(queue.Insert(BuildNotificationEvent(EventType::CameraImageAdded, 1, 1)));
    EXPECT_EQ(queue.Count(), 0u);
    for (int wait = 0; wait < 2; ++wait)
    {
        const Event event = queue.WaitForNotification(30000); // returns at once, or fails after 30 s
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->Type(), SdkEventType::SdkWakeUp);
    }
}

} // namespace
