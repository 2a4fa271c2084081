// Announced events: the listener's waiting thread is woken while the event is
// still being built (NotificationList::Announce), then takes it when posted.

#include "NotificationEvent.h"
#include "NotificationList.h"
#include "NotificationQueue.h"

#include <TavrinCpp/EventTypes.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

using namespace Q7::Tavrin;
using namespace Q7::TavrinC;

namespace
{

using Event = std::shared_ptr<const INotificationEvent>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::int32_t kCamera = 7;
constexpr std::uint32_t kListener = 1;

struct AnnounceCase
{
    const char* name;
    bool filterToo;         // a filter registration for the event beside the catch-all one
    bool removeBeforePost;  // the listener's registrations go between announcing and posting
    bool post;              // the event is posted (else the announcement is dropped)
    int expectedDeliveries; // events the queue gets
};

class NotificationAnnounceTest : public ::testing::TestWithParam<AnnounceCase>
{
};

// Catches a waiter woken by the announcement that gives up (returns empty or
// early) instead of taking the event, an expectation left unsettled by a post,
// by a dropped announcement or by a registration removed in between (every
// later wait of the queue would then spin), and an event delivered once where
// two registrations ask for it.
TEST_P(NotificationAnnounceTest, TheWokenWaiterTakesTheEventAndEveryExpectationIsSettled)
{
    const AnnounceCase& row = GetParam();
    NotificationList list;
    const auto queue = std::make_shared<NotificationQueue>();
    list.SetCatchAll(true, kListener, queue);
    if (row.filterToo)
    {
        ASSERT_TRUE(list.Add(kListener, queue,
                             BuildNotificationEvent(EventType::CameraNewLiveViewImage, kCamera, 0)));
    }
    // Without a delivery the wait runs to its deadline: short then.
    const std::uint32_t timeoutMs = row.expectedDeliveries > 0 ? 30000 : 300;
    auto waiter = std::async(std::launch::async,
                             [&]
                             {
                                 const Clock::time_point start = Clock::now();
                                 Event event = queue->WaitForNotification(timeoutMs);
                                 return std::make_pair(std::move(event), Clock::now() - start);
                             });
    const Clock::time_point bound = Clock::now() + 30s;
    while (!queue->Waiting() && Clock::now() < bound)
    {
        std::this_thread::yield();
    }
    ASSERT_TRUE(queue->Waiting());

    const Event event = BuildNotificationEvent(EventType::CameraNewLiveViewImage, kCamera, 0);
    {
        NotificationList::Announcement announcement =
            list.Announce(EventType::CameraNewLiveViewImage, kCamera);
        EXPECT_EQ(queue->Expecting(), row.filterToo ? 2 : 1);
        if (row.removeBeforePost)
        {
            list.RemoveListener(kListener);
        }
        if (row.post)
        {
            list.Post(event, announcement);
        }
    }
    EXPECT_EQ(queue->Expecting(), 0);

    const auto [taken, waited] = waiter.get();
    if (row.expectedDeliveries > 0)
    {
        EXPECT_EQ(taken, event);
        EXPECT_EQ(queue->Count(), static_cast<std::size_t>(row.expectedDeliveries - 1));
    }
    else
    {
        EXPECT_EQ(taken, nullptr);
        EXPECT_GE(waited, std::chrono::milliseconds(timeoutMs))
            << "the woken waiter returned before its deadline";
        EXPECT_EQ(queue->Count(), 0u);
    }
    // A later plain post still wakes a waiter that sleeps on the queue.
    if (!row.removeBeforePost)
    {
        auto next = std::async(std::launch::async, [&] { return queue->WaitForNotification(30000); });
        while (!queue->Waiting() && queue->Count() == 0 && Clock::now() < bound)
        {
            std::this_thread::yield();
        }
        const Event later = BuildNotificationEvent(EventType::CameraNewLiveViewImage, kCamera, 0);
        list.Post(later);
        EXPECT_EQ(next.get(), row.expectedDeliveries > 1 ? event : later);
    }
}

INSTANTIATE_TEST_SUITE_P(Announcements, NotificationAnnounceTest,
                         ::testing::Values(AnnounceCase{"Posted", false, false, true, 1},
                                           AnnounceCase{"PostedToTwoRegistrations", true, false, true, 2},
                                           AnnounceCase{"Dropped", false, false, false, 0},
                                           AnnounceCase{"DroppedWithTwoRegistrations", true, false, false, 0},
                                           AnnounceCase{"RegistrationsRemovedBeforePost", true, true, true,
                                                        0}),
                         [](const ::testing::TestParamInfo<AnnounceCase>& param)
                         { return std::string(param.param.name); });

} // namespace
