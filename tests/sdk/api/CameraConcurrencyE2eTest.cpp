// Camera and Listener across threads against a simulated camera: a camera
// destroyed while a listener waits on its events, subscriptions polled while
// the camera's replies arrive, and many opens in a row.

#include "FacadeTestSupport.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/Sdk.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace
{

using namespace FacadeTest;
using namespace Q7::Tavrin;

// Catches: a camera whose destruction races a thread waiting on its events
// (run under tsan), or a waiter that cannot be woken afterwards.
TEST(CameraConcurrencyE2eTest, CameraDestroyedWhileAListenerWaits)
{
    FacadeSimulator simulator;
    auto camera = std::make_unique<Camera>(simulator.Open());
    Listener listener(*camera, EventType::CameraImageAdded);
    std::promise<void> started;
    auto waiter = std::async(std::launch::async,
                             [&]
                             {
                                 started.set_value();
                                 return listener.WaitForNotification(0);
                             });
    started.get_future().wait();
    camera.reset();
    // The waiter may not wait yet: wake it until it returns.
    while (waiter.wait_for(1ms) != std::future_status::ready)
    {
        listener.WakeUpWaitingThread();
    }
    const auto event = waiter.get();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(&event->Type(), &SdkEventType::SdkWakeUp);
}

// Catches: subscription flags raced by the camera's replies on library
// threads while the application polls them (run under tsan).
TEST(CameraConcurrencyE2eTest, PollingWhileThePreviewSubscriptionTurns)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto preview = camera.Subscriptions()->PreviewSubscription();
    ASSERT_NE(preview, nullptr);
    ASSERT_TRUE(preview->IsSupported());
    std::atomic<bool> stop{false};
    std::thread poller(
        [&]
        {
            while (!stop)
            {
                (void)preview->IsEnabled();
                (void)preview->Format();
            }
        });
    for (int i = 0; i < 20; ++i)
    {
        preview->Enable(i % 2 == 0 ? ImageFormat::JPEG : ImageFormat::RGB24);
        EXPECT_TRUE(Eventually([&] { return preview->IsEnabled(); }));
        preview->Disable();
        EXPECT_TRUE(Eventually([&] { return !preview->IsEnabled(); }));
    }
    stop = true;
    poller.join();
}

// Fewer under ThreadSanitizer, at its pace: a race shows in any cycle. The
// plain and AddressSanitizer builds keep the thousand: a leak that grows
// slowly, or what only many cycles exhaust.
#if defined(__SANITIZE_THREAD__)
constexpr int kSoakCycles = 100;
#else
constexpr int kSoakCycles = 1000;
#endif

// Catches: a leak or a thread left behind per open, listener or live-view
// run (asan's leak check at exit, and the thread count here).
TEST(CameraSoakSlowTest, OpenListenLiveViewAndDestroyInCycles)
{
    FacadeSimulator simulator;
    {
        Camera warmUp = simulator.Open(); // the SDK's own threads start once
    }
    const auto before = BridgeTest::ProcessResources::Now();
    for (int cycle = 0; cycle < kSoakCycles; ++cycle)
    {
        Camera camera = simulator.Open();
        Listener frames(camera, EventType::CameraNewLiveViewImage);
        if (cycle % 10 == 0)
        {
            const auto liveView = camera.Subscriptions()->LiveViewSubscription();
            ASSERT_NE(liveView, nullptr);
            if (liveView->IsSupported())
            {
                liveView->Enable();
                ASSERT_NE(frames.WaitForNotification(10000), nullptr) << "cycle " << cycle;
                liveView->Disable();
            }
        }
    }
    EXPECT_TRUE(Eventually([&] { return BridgeTest::ProcessResources::Now() == before; }))
        << BridgeTest::ProcessResources::Now() << " after, " << before
        << " before: " << BridgeTest::ThreadNames();
}

} // namespace
