// The Listener class through its public members: waits that time out, a second
// waiter, wake-ups, filters enabled twice or disabled without a registration,
// and listeners that outlive the SDK.

#include "BridgeTestSupport.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using namespace Q7::Tavrin;
using BridgeTest::InOwnProcess;

// Catches: a time-out of the wait thrown as NotificationTimeoutExc instead of
// an empty result, or a wait that does not end.
TEST(ListenerTest, WaitThatTimesOutGivesAnEmptyPointer)
{
    Listener listener;
    listener.EnableCatchAllNotifications();
    auto wait = std::async(std::launch::async, [&] { return listener.WaitForNotification(100); });
    ASSERT_EQ(wait.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(wait.get(), nullptr);
}

// Catches: a second waiter that blocks or steals the first one's wake-up, and
// a wake-up that does not reach the waiting thread.
TEST(ListenerTest, SecondWaiterIsRefusedAndWakeUpEndsTheFirst)
{
    Listener listener;
    const auto startWaiter = [&]
    { return std::async(std::launch::async, [&] { return listener.WaitForNotification(0); }); };
    auto first = startWaiter();
    // Whichever thread waits first refuses the other: probe until this one is
    // refused, starting the other thread again when it was the refused one.
    const auto end = std::chrono::steady_clock::now() + 10s;
    bool refused = false;
    while (!refused && std::chrono::steady_clock::now() < end)
    {
        if (first.wait_for(0s) == std::future_status::ready)
        {
            EXPECT_THROW(first.get(), AnotherThreadPendingExc);
            first = startWaiter();
        }
        try
        {
            EXPECT_EQ(listener.WaitForNotification(1), nullptr);
        }
        catch (const AnotherThreadPendingExc& e)
        {
            EXPECT_EQ(e.Code(), AnotherThreadPending);
            refused = true;
        }
    }
    EXPECT_TRUE(refused);
    listener.WakeUpWaitingThread();
    ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
    const auto event = first.get();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(&event->Type(), &SdkEventType::SdkWakeUp);
}

// Catches: a filter registered twice (every event then queued twice), and a
// disable without a registration that reports success or throws an empty text.
TEST(ListenerTest, SameFilterTwiceAndDisableWithoutRegistration)
{
    Listener listener;
    listener.EnableNotification(SdkEventType::SdkCameraOpened);
    try
    {
        listener.EnableNotification(SdkEventType::SdkCameraOpened);
        ADD_FAILURE() << "the same filter was enabled twice";
    }
    catch (const NotificationAlreadyExistsExc& e)
    {
        EXPECT_EQ(e.Code(), NotificationAlreadyExists);
        EXPECT_STREQ(e.what(), "The same notification cannot be enabled more than once");
    }
    listener.DisableNotification(SdkEventType::SdkCameraOpened);
    try
    {
        listener.DisableNotification(SdkEventType::SdkCameraOpened);
        ADD_FAILURE() << "a filter not enabled was disabled";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(e.Code(), NotificationNotEnabled);
        EXPECT_STREQ(e.what(), "The notification is not enabled"); // recorded empty
    }
    // Enabled again after its removal: a registration of its own.
    listener.EnableNotification(SdkEventType::SdkCameraOpened);
    listener.EnableCatchAllNotifications();
    listener.DisableCatchAllNotifications();
}

// Catches: a listener that outlives the SDK throwing from its destructor or
// logging its failed deregistration other than once, members that report
// success on a closed SDK, and their exceptions without a text.
TEST(ListenerTest, ListenerOutlivingTheSdk)
{
    InOwnProcess(
        []
        {
            TestSupport::SdkLogCapture log;
            auto listener = std::make_unique<Listener>();
            EnsureClosed();
            EXPECT_THROW(listener->EnableCatchAllNotifications(), SdkNotOpenExc);
            try
            {
                listener->WaitForNotification(100);
                ADD_FAILURE() << "a wait on a closed SDK";
            }
            catch (const SdkNotOpenExc& e)
            {
                EXPECT_STRNE(e.what(), "") << "an exception without a text";
            }
            EXPECT_THROW(Listener(), SdkNotOpenExc);
            listener.reset();
            const auto lines = log.Lines();
            const auto failures = std::count_if(
                lines.begin(), lines.end(),
                [](const TestSupport::SdkLogLine& line)
                { return line.text.starts_with("Failed to destruct Listener object, with error: "); });
            EXPECT_EQ(failures, 1); // a failed construction registered nothing, so logs nothing
        });
}

} // namespace
