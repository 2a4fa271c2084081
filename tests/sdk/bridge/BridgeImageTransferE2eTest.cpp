// The camera bridge's image receiving against simulated cameras over loopback
// TCP: a shutter release or a request brings the camera's image as
// CameraImageReady with its exact bytes, after its transfer's progress, and
// the host storage the camera is told. Each case runs in a process of its own.

#include "BridgeTestSupport.h"

#include "SimImageStore.h"
#include "SimImageTransferHandler.h"

#include <TavrinCpp/ImageObjects.h>

#include <algorithm>
#include <vector>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Q7::Sim::ImageTransferCounters;

bool WaitForSender(SimulatedCamera& camera,
                   const std::function<bool(const ImageTransferCounters&)>& predicate)
{
    return camera.sim->ImageTransfer().WaitUntil(predicate, 10s);
}

// Takes events until the camera's CameraImageReady; true when an
// ImageTransferBegin of the camera came before it.
Event WaitForImage(Listener& listener, int id, bool& begun)
{
    begun = false;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < end)
    {
        Event event = listener.Next(1s);
        if (!event || event->CameraId() != id)
        {
            continue;
        }
        if (&event->Type() == &EventType::ImageTransferBegin)
        {
            begun = true;
        }
        if (&event->Type() == &EventType::CameraImageReady)
        {
            return event;
        }
    }
    return nullptr;
}

// Catches: a captured image that does not arrive, arrives with other bytes
// or without its transfer's begin, pixels freed with the event, the object
// or the camera's close (asan reports the read), the host storage not set
// to its default or overwritten after the application chose one, and a
// request accepted while receiving is off.
TEST(BridgeImageTransferE2eTest, CaptureAndRequestBringTheCamerasBytes)
{
    InOwnProcess(
        []
        {
            SimulatedCamera camera;
            camera.model->SetShutterReleaseHook([store = camera.sim->SharedImages()] { store->Capture(); });
            const std::vector<Q7::Sim::SimImage> stored = camera.sim->Images().AddGenerated(1);
            camera.Listen(Loopback(233));
            KpxLibTransport& bridge = Bridge();
            Listener listener;
            int id = 0;
            ASSERT_EQ(bridge.OpenIpCamera(id, Loopback(233).c_str(), nullptr, 5), Success);

            EXPECT_EQ(bridge.RequestImage(id, stored[0].id), ImageReceivingNotEnabled);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(),
                         "You must enable image receiving, before requesting images");

            ASSERT_EQ(bridge.SetImageReceiving(id, true), Success) << Q7::TavrinC::GetErrorMessage();
            EXPECT_TRUE(WaitForSender(camera, [](const ImageTransferCounters& c)
                                      { return c.hostStorageSize == 0xFFFFF; }));

            // A shutter release.
            ASSERT_EQ(bridge.TriggerCapture(id), Success);
            bool begun = false;
            Event ready = WaitForImage(listener, id, begun);
            ASSERT_NE(ready, nullptr);
            EXPECT_TRUE(begun);
            const Q7::Sim::SimImage captured = camera.sim->Images().Images().back();
            std::shared_ptr<const IFullImage> image = ready->FullImage();
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->Format(), ImageFormat::RVF);
            EXPECT_EQ(image->Kind(), ImageKind::RVF);
            EXPECT_EQ(image->FileName(), Q7::Sim::ImageTransferName(captured.id));
            const std::vector<std::uint8_t> expected = captured.FileBytes();
            ASSERT_EQ(image->Size(), expected.size());
            std::shared_ptr<const std::uint8_t> data = image->Data();
            ready.reset();
            image.reset();

            // A requested image.
            ASSERT_EQ(bridge.RequestImage(id, stored[0].id), Success) << Q7::TavrinC::GetErrorMessage();
            const Event requested = WaitForImage(listener, id, begun);
            ASSERT_NE(requested, nullptr);
            const auto requestedImage = requested->FullImage();
            const std::vector<std::uint8_t> requestedBytes = stored[0].FileBytes();
            ASSERT_EQ(requestedImage->Size(), requestedBytes.size());
            EXPECT_TRUE(
                std::equal(requestedBytes.begin(), requestedBytes.end(), requestedImage->Data().get()));

            // The application's capacity stays.
            EXPECT_EQ(bridge.SetHostStorageCapacity(id, 500), Success);
            EXPECT_TRUE(WaitForSender(camera, [](const ImageTransferCounters& c)
                                      { return c.hostStorageSize == 500; }));
            EXPECT_EQ(bridge.SetImageReceiving(id, false), Success);
            EXPECT_EQ(bridge.SetImageReceiving(id, true), Success);
            EXPECT_TRUE(WaitForSender(camera, [](const ImageTransferCounters& c) { return c.enabled; }));
            EXPECT_EQ(camera.sim->ImageTransfer().Counters().hostStorageSize, 500U);

            EXPECT_EQ(bridge.CloseCamera(id), Success);
            // The first image's pixels outlive event, object and camera.
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.get()));
        });
}

// Catches a receiving switch that fails, or a request that throws, on a
// camera without the image-transfer channels.
TEST(BridgeImageTransferE2eTest, CameraWithoutTransferChannels)
{
    InOwnProcess(
        []
        {
            SimulatedCamera camera("SIM0000001", WithoutImageChannels);
            camera.Listen(Loopback(234));
            KpxLibTransport& bridge = Bridge();
            int id = 0;
            ASSERT_EQ(bridge.OpenIpCamera(id, Loopback(234).c_str(), nullptr, 5), Success);
            EXPECT_EQ(bridge.SetImageReceiving(id, true), Success);
            EXPECT_EQ(bridge.RequestImage(id, 1), ImageReceivingNotEnabled);
            EXPECT_EQ(bridge.SetHostStorageCapacity(id, 500), Success);
            EXPECT_EQ(bridge.SetImageReceiving(id, false), Success);
            EXPECT_EQ(bridge.SetImageReceiving(id + 1, true), CameraNotOpen);
            EXPECT_EQ(bridge.CloseCamera(id), Success);
        });
}

} // namespace
