// The live-view subscription end to end against the simulated camera's live
// view: the formats the camera offers, its options reaching the camera and
// read back, the text, and the enabled state following the camera's
// live-view state while frames reach a listener.

#include "FacadeTestSupport.h"
#include "SimLiveViewHandler.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/Subscriptions.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ostream>

namespace
{

using namespace FacadeTest;
using namespace Q7::Tavrin;

struct MaskRow
{
    const char* name;
    std::uint32_t mask;
    std::vector<ImageFormat> formats;
    bool autoAccepted; ///< whether SetFormat(Auto) is taken
};

void PrintTo(const MaskRow& row, std::ostream* out)
{
    *out << row.name;
}

class LiveViewFormatsE2eTest : public ::testing::TestWithParam<MaskRow>
{
};

// Catches: formats offered that the camera's mask does not name, and an Auto
// format taken where the camera offers no JPEG to choose.
TEST_P(LiveViewFormatsE2eTest, SupportedFormatsAndAutoFollowTheCamerasMask)
{
    FacadeSimulator simulator;
    Q7::Sim::LiveViewCapabilities capabilities;
    capabilities.formatMask = GetParam().mask;
    simulator.camera.sim->LiveView().SetCapabilities(capabilities);
    Camera camera = simulator.Open();
    const auto liveView = camera.Subscriptions()->LiveViewSubscription();
    ASSERT_NE(liveView, nullptr);
    EXPECT_TRUE(liveView->IsSupported());
    EXPECT_EQ(liveView->SupportedFormats(), GetParam().formats);
    if (GetParam().autoAccepted)
    {
        liveView->SetFormat(ImageFormat::Auto);
        EXPECT_EQ(liveView->Format(), ImageFormat::Auto);
        EXPECT_EQ(liveView->ToString().rfind("LiveView Subscription:\n * Format:\tAuto\n", 0), 0U);
    }
    else
    {
        // The camera cannot choose JPEG for itself: the format stays the
        // camera's configured one.
        liveView->SetFormat(ImageFormat::Auto);
        EXPECT_NE(liveView->Format(), ImageFormat::Auto);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LiveViewFormatsE2eTest,
    ::testing::Values(MaskRow{"Both",
                              Q7::Sim::kLvFormatRgb24 | Q7::Sim::kLvFormatJpeg,
                              {ImageFormat::RGB24, ImageFormat::JPEG, ImageFormat::Auto},
                              true},
                      MaskRow{
                          "JpegOnly", Q7::Sim::kLvFormatJpeg, {ImageFormat::JPEG, ImageFormat::Auto}, true},
                      MaskRow{"Rgb24Only", Q7::Sim::kLvFormatRgb24, {ImageFormat::RGB24}, false}),
    [](const ::testing::TestParamInfo<MaskRow>& row) { return std::string(row.param.name); });

// Catches: options that do not reach the camera or come back changed, a
// ResetCrop that is not the whole image, and a text other than the getters'.
TEST(LiveViewSubscriptionE2eTest, OptionsReachTheCameraResetCropAndText)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto liveView = camera.Subscriptions()->LiveViewSubscription();
    ASSERT_NE(liveView, nullptr);
    ASSERT_TRUE(liveView->IsSupported());
    EXPECT_EQ(liveView->FullImageSize(), (ValueArea{6000, 4000}));
    liveView->SetFormat(ImageFormat::RGB24);
    liveView->SetCrop(ValueRect{100, 200, 3000, 2000});
    liveView->SetPreferredMaxDimension(1024);
    liveView->SetLightness(0.5F);

    // The configuration travels to the camera on the live-view channel's
    // sender: wait until the camera holds it.
    const auto& cameraLiveView = simulator.camera.sim->LiveView();
    EXPECT_TRUE(Eventually(
        [&]
        {
            const Q7::Sim::LiveViewConfiguration held = cameraLiveView.Configuration();
            return held.format == Q7::Sim::kLvFormatRgb24 && held.cropX == 100U && held.cropY == 200U &&
                   held.cropWidth == 3000U && held.cropHeight == 2000U && held.preferredDimension == 1024U &&
                   held.lightness == 0.5F;
        }));

    EXPECT_EQ(liveView->Format(), ImageFormat::RGB24);
    EXPECT_EQ(liveView->Crop(), (ValueRect{100, 200, 3000, 2000}));
    EXPECT_EQ(liveView->PreferredMaxDimension(), 1024U);
    EXPECT_FLOAT_EQ(liveView->Lightness(), 0.5F);
    EXPECT_EQ(liveView->ToString(),
              "LiveView Subscription:\n * Format:\tRGB24\n * Crop:\t( (100, 200) , (3000, 2000) )\n"
              " * Pref. max dim.:\t1024\n * Lightness:\t0.5");

    liveView->ResetCrop();
    EXPECT_EQ(liveView->Crop(), (ValueRect{0, 0, 6000, 4000}));
    EXPECT_TRUE(Eventually(
        [&]
        {
            const Q7::Sim::LiveViewConfiguration held = cameraLiveView.Configuration();
            return held.cropX == 0U && held.cropY == 0U && held.cropWidth == 6000U &&
                   held.cropHeight == 4000U;
        }));
}

// Catches: a live-view subscription counted as on before the camera started
// it, frames that do not reach a listener or come in another format, or a
// Disable that does not stop the camera's live view.
TEST(LiveViewSubscriptionE2eTest, EnabledFollowsTheCamerasStateAndFramesArrive)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto liveView = camera.Subscriptions()->LiveViewSubscription();
    ASSERT_NE(liveView, nullptr);
    EXPECT_FALSE(liveView->IsEnabled());
    Listener started(camera, EventType::CameraLiveViewStarted);
    Listener stopped(camera, EventType::CameraLiveViewStopped);
    Listener frames(camera, EventType::CameraNewLiveViewImage);

    liveView->Enable(ImageFormat::JPEG);
    ASSERT_NE(started.WaitForNotification(10000), nullptr);
    EXPECT_TRUE(Eventually([&] { return liveView->IsEnabled(); }));
    for (int n = 0; n < 3; ++n)
    {
        const auto frame = frames.WaitForNotification(10000);
        ASSERT_NE(frame, nullptr) << "frame " << n;
        ASSERT_NE(frame->LiveView(), nullptr);
        EXPECT_TRUE(frame->LiveView()->IsJpeg());
    }
    EXPECT_TRUE(simulator.camera.sim->LiveView().WaitUntil(
        [](const Q7::Sim::LiveViewCounters& counters) { return counters.state != 0; }, 10s));

    liveView->Disable();
    ASSERT_NE(stopped.WaitForNotification(10000), nullptr);
    EXPECT_TRUE(Eventually([&] { return !liveView->IsEnabled(); }));
    EXPECT_TRUE(simulator.camera.sim->LiveView().WaitUntil(
        [](const Q7::Sim::LiveViewCounters& counters) { return counters.state == 0; }, 10s));
}

// Catches: a camera without live view whose subscription can be enabled.
TEST(LiveViewSubscriptionE2eTest, UnsupportedWithoutTheChannels)
{
    FacadeSimulator simulator(100, 4,
                              [](Q7::Sim::CameraDescription& description)
                              {
                                  auto& channels = description.channels;
                                  channels.erase(std::remove_if(channels.begin(), channels.end(),
                                                                [](const auto& channel)
                                                                { return channel.id.channel == 5; }),
                                                 channels.end());
                              });
    Camera camera = simulator.Open();
    const auto liveView = camera.Subscriptions()->LiveViewSubscription();
    ASSERT_NE(liveView, nullptr);
    EXPECT_FALSE(liveView->IsSupported());
    EXPECT_TRUE(liveView->SupportedFormats().empty());
    try
    {
        liveView->Enable();
        ADD_FAILURE() << "live view was enabled on a camera without it";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(e.Code(), GeneralError);
        EXPECT_STREQ(e.what(), "This subscription is not supported in the camera");
    }
    EXPECT_FALSE(liveView->IsEnabled());
}

} // namespace
