// The camera bridge's live view against simulated cameras over loopback TCP:
// starting and stopping with their events, frames as CameraNewLiveViewImage,
// and the configuration round trip through the camera. Each case runs in a
// process of its own.

#include "BridgeTestSupport.h"

#include "SimLiveViewHandler.h"

#include <TavrinCpp/ImageObjects.h>

#include <future>
#include <thread>
#include <vector>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Camera = KpxLibTransport::Camera;
using Q7::Sim::LiveViewCounters;

// The camera tells live-view state changes while a subscription callback is
// set.
void Subscribe(int id)
{
    EXPECT_EQ(Bridge().SetSubscriptionNotificationCallback(
                  id, [](Camera::SubscriptionNotifications, const Camera::SubscriptionPayload&) {}),
              Success);
}

bool WaitForCamera(SimulatedCamera& camera, const std::function<bool(const LiveViewCounters&)>& predicate)
{
    return camera.sim->LiveView().WaitUntil(predicate, 10s);
}

// Catches: live view that does not start or stop (or without its events),
// frames that do not arrive as events, or arrive as invalid images.
TEST(BridgeLiveViewE2eTest, StartsDeliversFramesAndStops)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(235);
            Subscribe(id);
            KpxLibTransport& bridge = Bridge();
            ASSERT_EQ(bridge.EnableLiveView(id, true), Success) << Q7::TavrinC::GetErrorMessage();
            EXPECT_NE(listener.WaitFor(EventType::CameraLiveViewStarted, id), nullptr);
            for (int frame = 0; frame < 3; ++frame)
            {
                const Event event = listener.WaitFor(EventType::CameraNewLiveViewImage, id);
                ASSERT_NE(event, nullptr);
                const auto image = event->LiveView();
                ASSERT_NE(image, nullptr);
                EXPECT_EQ(image->Kind(), ImageKind::LiveView);
                EXPECT_EQ(image->Format(), ImageFormat::JPEG);
                EXPECT_TRUE(image->IsJpeg());
                EXPECT_EQ(image->Width(), 640U);
                EXPECT_EQ(image->SourceArea().w, 6000);
                ASSERT_GE(image->Size(), 4U);
                const auto data = image->Data();
                EXPECT_EQ(data.get()[0], 0xFF);
                EXPECT_EQ(data.get()[1], 0xD8);
                EXPECT_EQ(data.get()[image->Size() - 2], 0xFF);
                EXPECT_EQ(data.get()[image->Size() - 1], 0xD9);
            }
            ASSERT_EQ(bridge.EnableLiveView(id, false), Success);
            EXPECT_NE(listener.WaitFor(EventType::CameraLiveViewStopped, id), nullptr);
            EXPECT_EQ(bridge.CloseCamera(id), Success);
            EXPECT_TRUE(camera.sim->Violations().empty());
        });
}

// Catches a setter whose change does not reach the camera (or lands in
// another field), a getter that does not read it back, Auto written into
// the configuration, and formats the camera cannot carry accepted.
TEST(BridgeLiveViewE2eTest, ConfigurationRoundTripsThroughTheCamera)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(236);
            Subscribe(id);
            KpxLibTransport& bridge = Bridge();
            Q7::Sim::LiveViewControl& sim = camera.sim->LiveView();
            std::size_t writes = 0;
            const auto written = [&]
            {
                ++writes;
                return WaitForCamera(camera, [&](const LiveViewCounters& c)
                                     { return c.setConfigurations >= writes; });
            };

            ImageFormat format = ImageFormat::None;
            ASSERT_EQ(bridge.SetLiveViewFormat(id, ImageFormat::RGB24), Success)
                << Q7::TavrinC::GetErrorMessage();
            ASSERT_TRUE(written());
            EXPECT_EQ(sim.Configuration().format, Q7::Sim::kLvFormatRgb24);
            EXPECT_EQ(bridge.GetLiveViewFormat(id, format), Success);
            EXPECT_EQ(format, ImageFormat::RGB24);

            EXPECT_EQ(bridge.SetLiveViewFormat(id, ImageFormat::JPEG), Success);
            ASSERT_TRUE(written());
            EXPECT_EQ(sim.Configuration().format, Q7::Sim::kLvFormatJpeg);
            EXPECT_EQ(bridge.GetLiveViewFormat(id, format), Success);
            EXPECT_EQ(format, ImageFormat::JPEG);

            for (const ImageFormat refused :
                 {ImageFormat::None, ImageFormat::RVF, static_cast<ImageFormat>(9)})
            {
                EXPECT_EQ(bridge.SetLiveViewFormat(id, refused), GeneralError);
                EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(),
                             "Subsystem cannot support the chosen LiveView format");
            }

            const ValueRect crop{100, 200, 3000, 2000};
            EXPECT_EQ(bridge.SetLiveViewCrop(id, crop), Success);
            ASSERT_TRUE(written());
            const Q7::Sim::LiveViewConfiguration cropped = sim.Configuration();
            EXPECT_EQ(cropped.cropX, 100U);
            EXPECT_EQ(cropped.cropY, 200U);
            EXPECT_EQ(cropped.cropWidth, 3000U);
            EXPECT_EQ(cropped.cropHeight, 2000U);
            ValueRect readCrop;
            EXPECT_EQ(bridge.GetLiveViewCrop(id, readCrop), Success);
            EXPECT_EQ(readCrop, crop);

            EXPECT_EQ(bridge.SetLiveViewLightness(id, 0.5F), Success);
            ASSERT_TRUE(written());
            EXPECT_EQ(sim.Configuration().lightness, 0.5F);
            float lightness = 0;
            EXPECT_EQ(bridge.GetLiveViewLightness(id, lightness), Success);
            EXPECT_EQ(lightness, 0.5F);

            EXPECT_EQ(bridge.SetLiveViewPreferredMaxDimension(id, 800), Success);
            ASSERT_TRUE(written());
            EXPECT_EQ(sim.Configuration().preferredDimension, 800U);
            std::uint32_t dimension = 0;
            EXPECT_EQ(bridge.GetLiveViewPreferredMaxDimension(id, dimension), Success);
            EXPECT_EQ(dimension, 800U);
            // Every change kept the others.
            EXPECT_EQ(sim.Configuration().cropWidth, 3000U);
            EXPECT_EQ(sim.Configuration().lightness, 0.5F);

            std::uint32_t width = 0;
            std::uint32_t height = 0;
            EXPECT_EQ(bridge.GetLiveViewFullImageSize(id, width, height), Success);
            EXPECT_EQ(width, 6000U);
            EXPECT_EQ(height, 4000U);
            const auto capabilities = bridge.GetLiveViewCapabilities(id);
            EXPECT_EQ(capabilities.first, Success);
            ASSERT_TRUE(capabilities.second.has_value());
            EXPECT_EQ(capabilities.second->maxDimension, 2048U);

            // Auto: the camera's choice, JPEG to begin with.
            EXPECT_EQ(bridge.SetLiveViewFormat(id, ImageFormat::Auto), Success);
            EXPECT_EQ(bridge.GetLiveViewFormat(id, format), Success);
            EXPECT_EQ(format, ImageFormat::Auto);

            EXPECT_EQ(bridge.SetLiveViewWhiteBalancePoint(id, ValuePoint{10, 20}), Success);
            EXPECT_TRUE(WaitForCamera(camera, [](const LiveViewCounters& c)
                                      { return c.whiteBalanceX == 10 && c.whiteBalanceY == 20; }));
            EXPECT_EQ(bridge.CloseCamera(id), Success);
            EXPECT_EQ(bridge.GetLiveViewCapabilities(id).first, CameraNotOpen);
        });
}

// Catches a white-balance point sent to a camera that does not offer it.
TEST(BridgeLiveViewE2eTest, WhiteBalancePointRefusedWithoutTheCapability)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(237,
                                                       [](SimulatedCamera& sim)
                                                       {
                                                           Q7::Sim::LiveViewCapabilities capabilities;
                                                           capabilities.flags = 0;
                                                           sim.sim->LiveView().SetCapabilities(capabilities);
                                                       });
            Subscribe(id);
            EXPECT_EQ(Bridge().SetLiveViewWhiteBalancePoint(id, ValuePoint{10, 20}), GeneralError);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(),
                         "Setting while balance point is not supported on this camera");
            EXPECT_EQ(camera.sim->LiveView().Counters().whiteBalanceRequests, 0U);
            EXPECT_EQ(Bridge().CloseCamera(id), Success);
        });
}

// Catches a lost update: two threads that set crop and lightness at once
// must both land, round after round.
TEST(BridgeLiveViewE2eTest, CropAndLightnessSetFromTwoThreadsBothLand)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(238);
            Subscribe(id);
            KpxLibTransport& bridge = Bridge();
            for (int round = 1; round <= 10; ++round)
            {
                const ValueRect crop{round * 10, round * 5, 1000 + round, 800 + round};
                const float lightness = static_cast<float>(round) / 20.0F;
                std::promise<void> go;
                std::shared_future<void> start = go.get_future().share();
                auto cropped = std::async(std::launch::async,
                                          [&]
                                          {
                                              start.wait();
                                              return bridge.SetLiveViewCrop(id, crop);
                                          });
                auto lit = std::async(std::launch::async,
                                      [&]
                                      {
                                          start.wait();
                                          return bridge.SetLiveViewLightness(id, lightness);
                                      });
                go.set_value();
                ASSERT_EQ(cropped.wait_for(10s), std::future_status::ready);
                ASSERT_EQ(lit.wait_for(10s), std::future_status::ready);
                EXPECT_EQ(cropped.get(), Success);
                EXPECT_EQ(lit.get(), Success);
                ValueRect readCrop;
                float readLightness = 0;
                EXPECT_EQ(bridge.GetLiveViewCrop(id, readCrop), Success);
                EXPECT_EQ(bridge.GetLiveViewLightness(id, readLightness), Success);
                EXPECT_EQ(readCrop, crop) << "round " << round;
                EXPECT_EQ(readLightness, lightness) << "round " << round;
            }
            EXPECT_TRUE(
                WaitForCamera(camera, [](const LiveViewCounters& c) { return c.setConfigurations >= 20; }));
            const Q7::Sim::LiveViewConfiguration last = camera.sim->LiveView().Configuration();
            EXPECT_EQ(last.cropX, 100U);
            EXPECT_EQ(last.lightness, 0.5F);
            EXPECT_EQ(bridge.CloseCamera(id), Success);
        });
}

} // namespace
