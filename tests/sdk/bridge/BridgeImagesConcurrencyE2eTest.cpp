// The camera bridge's images and live view under concurrency, against
// simulated cameras over loopback TCP: closes during transfers and at full
// frame rate, a link lost while a reader waits, and a listener that holds the
// frames. Image objects and data pointers held across a close must stay
// readable (the asan build reports a read of freed memory). Each case runs in
// a process of its own.

#include "BridgeTestSupport.h"

#include "SimImageTransferHandler.h"
#include "SimLiveViewHandler.h"

#include <TavrinCpp/ImageObjects.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <vector>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Camera = KpxLibTransport::Camera;

// Frames as fast as the host takes them.
void FullFrameRate(SimulatedCamera& camera)
{
    camera.sim->LiveView().SetFrameRate(0);
}

// Ends a reader thread's loop when the case leaves early (a failed ASSERT),
// so that its future's destructor does not wait for ever.
struct StopOnExit
{
    std::atomic<bool>& stop;
    ~StopOnExit() { stop = true; }
};

std::size_t CountOf(const std::vector<Event>& events, const BaseEventType& type, int id)
{
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(),
        [&](const Event& event) { return &event->Type() == &type && event->CameraId() == id; }));
}

// Catches a close that hangs on a stalled transfer, posts SdkCameraClosed
// other than once, or frees the pixels of an image the application holds.
TEST(BridgeImagesConcurrencyE2eTest, CloseDuringAStalledImageTransfer)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(239);
            KpxLibTransport& bridge = Bridge();
            ASSERT_EQ(bridge.SetImageReceiving(id, true), Success);
            const Q7::Sim::SimImage first = camera.sim->Images().Capture().front();
            const Event ready = listener.WaitFor(EventType::CameraImageReady, id, 0, 20s);
            ASSERT_NE(ready, nullptr);
            std::shared_ptr<const IFullImage> image = ready->FullImage();
            const std::shared_ptr<const std::uint8_t> data = image->Data();

            camera.sim->ImageTransfer().AddFault(
                {.kind = Q7::Sim::ImageTransferFaultKind::StallMidImage, .afterBytes = 1024});
            Q7::Sim::SimImage stalled = Q7::Sim::ImageStore::MakeImage(1000);
            stalled.info.imageSize = 3 * 1024 * 1024;
            camera.sim->Images().Capture({stalled});
            ASSERT_TRUE(
                camera.sim->ImageTransfer().WaitUntil([](const Q7::Sim::ImageTransferCounters& c)
                                                      { return c.imagesBegun >= 2 && c.faultsApplied >= 1; },
                                                      10s));

            auto closed = std::async(std::launch::async, [&] { return bridge.CloseCamera(id); });
            ASSERT_EQ(closed.wait_for(15s), std::future_status::ready);
            EXPECT_EQ(closed.get(), Success);
            EXPECT_EQ(CountOf(listener.Rest(), SdkEventType::SdkCameraClosed, id), 1U);
            const std::vector<std::uint8_t> expected = first.FileBytes();
            ASSERT_EQ(image->Size(), expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.get()));
        });
}

// Catches a close that hangs while frames stream as fast as the host takes
// them, a second SdkCameraClosed, and a held frame freed by the close.
TEST(BridgeImagesConcurrencyE2eTest, CloseDuringLiveViewAtFullRate)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(240, FullFrameRate);
            KpxLibTransport& bridge = Bridge();
            ASSERT_EQ(bridge.EnableLiveView(id, true), Success);
            const Event first = listener.WaitFor(EventType::CameraNewLiveViewImage, id);
            ASSERT_NE(first, nullptr);
            const std::shared_ptr<const ILiveView> frame = first->LiveView();
            const std::shared_ptr<const std::uint8_t> data = frame->Data();
            const std::vector<std::uint8_t> bytes(data.get(), data.get() + frame->Size());

            // The rest is taken as it comes, so that frames keep flowing.
            std::promise<void> streaming;
            std::atomic<bool> stop{false};
            auto reader =
                std::async(std::launch::async,
                           [&]
                           {
                               std::vector<Event> events;
                               std::size_t frames = 0;
                               while (!stop)
                               {
                                   const Event event = listener.Next(1s);
                                   if (!event)
                                   {
                                       continue;
                                   }
                                   if (&event->Type() == &EventType::CameraNewLiveViewImage && ++frames == 10)
                                   {
                                       streaming.set_value();
                                   }
                                   if (&event->Type() == &SdkEventType::SdkCameraClosed)
                                   {
                                       events.push_back(event);
                                       break;
                                   }
                               }
                               return events;
                           });
            const StopOnExit stopper{stop}; // destroyed before the reader is joined
            ASSERT_EQ(streaming.get_future().wait_for(10s), std::future_status::ready);
            auto closed = std::async(std::launch::async, [&] { return bridge.CloseCamera(id); });
            ASSERT_EQ(closed.wait_for(15s), std::future_status::ready);
            EXPECT_EQ(closed.get(), Success);
            ASSERT_EQ(reader.wait_for(20s), std::future_status::ready);
            EXPECT_EQ(CountOf(reader.get(), SdkEventType::SdkCameraClosed, id) +
                          CountOf(listener.Rest(), SdkEventType::SdkCameraClosed, id),
                      1U);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), data.get()));
            EXPECT_EQ(frame->Size(), bytes.size());
        });
}

// Catches a deadlock between a lost link, the helper's close and a thread
// that waits for events while live view runs.
TEST(BridgeImagesConcurrencyE2eTest, LinkLostDuringLiveViewWithAReader)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(241, FullFrameRate);
            KpxLibTransport& bridge = Bridge();
            std::promise<void> streaming;
            std::atomic<bool> stop{false};
            auto reader =
                std::async(std::launch::async,
                           [&]
                           {
                               std::size_t frames = 0;
                               std::size_t closes = 0;
                               while (!stop)
                               {
                                   const Event event = listener.Next(1s);
                                   if (!event)
                                   {
                                       continue;
                                   }
                                   if (&event->Type() == &EventType::CameraNewLiveViewImage && ++frames == 3)
                                   {
                                       streaming.set_value();
                                   }
                                   // Posted by the loss, then by the helper's close.
                                   if (&event->Type() == &SdkEventType::SdkCameraClosed && ++closes == 2)
                                   {
                                       return true;
                                   }
                               }
                               return false;
                           });
            const StopOnExit stopper{stop}; // destroyed before the reader is joined
            ASSERT_EQ(bridge.EnableLiveView(id, true), Success);
            ASSERT_EQ(streaming.get_future().wait_for(10s), std::future_status::ready);
            camera.sim->LiveView().AddFault(
                {.kind = Q7::Sim::LiveViewFaultKind::DropMidFrame, .afterBytes = 64});
            ASSERT_EQ(reader.wait_for(30s), std::future_status::ready);
            EXPECT_TRUE(reader.get());
            EXPECT_FALSE(bridge.IsCameraOpen(id));
        });
}

// Catches frames that pile up without bound behind a listener nobody
// drains (the two receive buffers are held by its events), and live view
// that does not resume once the listener takes them.
TEST(BridgeImagesConcurrencyE2eTest, UndrainedListenerStallsLiveViewUntilDrained)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(242, FullFrameRate);
            KpxLibTransport& bridge = Bridge();
            ASSERT_EQ(bridge.EnableLiveView(id, true), Success);
            Q7::Sim::LiveViewControl& sim = camera.sim->LiveView();
            ASSERT_TRUE(sim.WaitUntil(
                [](const Q7::Sim::LiveViewCounters& c) { return c.framesCompleted >= 2; }, 10s));
            // Held at two frames: a third never completes while they are held.
            EXPECT_FALSE(sim.WaitUntil(
                [](const Q7::Sim::LiveViewCounters& c) { return c.framesCompleted > 2; }, 500ms));
            std::size_t taken = 0;
            while (taken < 10)
            {
                const Event event = listener.Next(10s);
                ASSERT_NE(event, nullptr);
                taken += &event->Type() == &EventType::CameraNewLiveViewImage;
            }
            EXPECT_TRUE(sim.WaitUntil(
                [](const Q7::Sim::LiveViewCounters& c) { return c.framesCompleted >= 10; }, 10s));
            EXPECT_EQ(bridge.CloseCamera(id), Success);
        });
}

} // namespace
