// The subscriptions: what the camera's replies do to them (through the
// manager's subscription callback, as the library's threads call it), the
// live-view format list and text, and end to end against a simulated camera
// the preview and full-image subscriptions.

#include "Subscriptions.h"
#include "FacadeTestSupport.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>
#include <TavrinCpp/Subscriptions.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

using namespace FacadeTest;
using namespace Q7::Tavrin;
using namespace Q7::TavrinC;

// ---------------------------------------------------------------- pure mappings

struct FormatsRow
{
    std::uint32_t mask;
    bool jpeg;
    std::vector<ImageFormat> formats;
};

class LiveViewFormatsTest : public ::testing::TestWithParam<FormatsRow>
{
};

// Catches: a format offered for the wrong bit, or out of order.
TEST_P(LiveViewFormatsTest, FormatsOfTheMask)
{
    LiveViewCapabilities capabilities;
    capabilities.formatMask = GetParam().mask;
    capabilities.jpeg = GetParam().jpeg;
    EXPECT_EQ(LiveViewFormats(capabilities), GetParam().formats);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, LiveViewFormatsTest,
    ::testing::Values(FormatsRow{0x10001, true, {ImageFormat::RGB24, ImageFormat::JPEG, ImageFormat::Auto}},
                      FormatsRow{0x1, false, {ImageFormat::RGB24}},
                      FormatsRow{0x10000, true, {ImageFormat::JPEG, ImageFormat::Auto}},
                      FormatsRow{0x2, false, {}}));

// Catches: a text whose labels, separators or order differ.
TEST(LiveViewTextTest, Layout)
{
    EXPECT_EQ(LiveViewText(ImageFormat::JPEG, ValueRect{1, 2, 640, 480}, 1024, 0.5F),
              "LiveView Subscription:\n * Format:\tJPEG\n * Crop:\t( (1, 2) , (640, 480) )\n"
              " * Pref. max dim.:\t1024\n * Lightness:\t0.5");
    EXPECT_EQ(LiveViewText(static_cast<ImageFormat>(9), ValueRect{}, 0, 0.0F),
              "LiveView Subscription:\n * Format:\tUnknown\n * Crop:\t( (0, 0) , (0, 0) )\n"
              " * Pref. max dim.:\t0\n * Lightness:\t0");
}

// Catches: the option table mapping a format it has no row for.
TEST(PreviewOptionsTest, Table)
{
    EXPECT_EQ(FormatToOption(ImageFormat::JPEG), kSubscriptionOptions_Jpeg);
    EXPECT_EQ(FormatToOption(ImageFormat::RGB24), kSubscriptionOptions_Rgb24);
    EXPECT_EQ(OptionToFormat(1), ImageFormat::JPEG);
    EXPECT_EQ(OptionToFormat(2), ImageFormat::RGB24);
    for (const ImageFormat format : {ImageFormat::None, ImageFormat::Auto, ImageFormat::RVF})
    {
        try
        {
            FormatToOption(format);
            ADD_FAILURE() << static_cast<int>(format);
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ(e.what(), "Invalid api format");
        }
    }
    EXPECT_THROW(OptionToFormat(0), std::runtime_error);
    EXPECT_THROW(OptionToFormat(3), std::runtime_error);
}

// ---------------------------------------------------------------- the callback

SetSubscriptionStruct Reply(std::uint32_t flags, std::uint32_t option, std::uint32_t status = 0x67000001U)
{
    SetSubscriptionStruct reply;
    reply.flags = flags;
    reply.option = option;
    reply.assembleStatus.status = status;
    return reply;
}

// Catches: a reply from the camera that throws into the library's thread, or
// changes the subscription when it failed or names no format.
TEST(SubscriptionCallbackTest, RepliesAndStates)
{
    // No camera 77: the subscriptions are unsupported, but the callback
    // records what it is told.
    auto manager = SubscriptionManager::Create(77);
    manager->CreateSubscriptions();
    const auto preview = manager->PreviewSubscription();
    const auto liveView = manager->LiveViewSubscription();
    ASSERT_NE(preview, nullptr);
    ASSERT_NE(liveView, nullptr);

    SetSubscriptionStruct reply = Reply(1, 1);
    manager->OnNotification(kSubscriptionNotification_SubscriptionState, &reply);
    EXPECT_TRUE(preview->IsEnabled());
    EXPECT_EQ(preview->Format(), ImageFormat::JPEG);

    reply = Reply(1, 7); // an option without a format while subscribed: nothing changes
    manager->OnNotification(kSubscriptionNotification_SubscriptionState, &reply);
    EXPECT_TRUE(preview->IsEnabled());
    EXPECT_EQ(preview->Format(), ImageFormat::JPEG);

    reply = Reply(0, 2, 0x67000005U); // failed
    manager->OnNotification(kSubscriptionNotification_SubscriptionState, &reply);
    EXPECT_TRUE(preview->IsEnabled());

    manager->OnNotification(kSubscriptionNotification_SubscriptionState, SubscriptionPayload{}); // wrong kind
    manager->OnNotification(kSubscriptionNotification_SubscriptionState,
                            static_cast<const SetSubscriptionStruct*>(nullptr));
    EXPECT_TRUE(preview->IsEnabled());

    reply = Reply(0, 0); // unsubscribed: off, format kept
    manager->OnNotification(kSubscriptionNotification_SubscriptionState, &reply);
    EXPECT_FALSE(preview->IsEnabled());
    EXPECT_EQ(preview->Format(), ImageFormat::JPEG);

    manager->OnNotification(kSubscriptionNotification_LiveViewState, kLiveViewState_Started);
    EXPECT_TRUE(liveView->IsEnabled());
    manager->OnNotification(kSubscriptionNotification_LiveViewState, &reply); // wrong kind
    EXPECT_TRUE(liveView->IsEnabled());
    manager->OnNotification(kSubscriptionNotification_LiveViewState, kLiveViewState_Stopped);
    EXPECT_FALSE(liveView->IsEnabled());
    manager->OnNotification(static_cast<SubscriptionNotifications>(5), kLiveViewState_Started);
    EXPECT_FALSE(liveView->IsEnabled());

    // Unsupported: Enable refuses, Disable does nothing.
    try
    {
        liveView->Enable();
        ADD_FAILURE() << "an unsupported subscription was enabled";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(e.Code(), GeneralError);
        EXPECT_STREQ(e.what(), "This subscription is not supported in the camera");
    }
    liveView->Disable();

    manager->Reset();
    manager->OnNotification(kSubscriptionNotification_LiveViewState, kLiveViewState_Started);
    EXPECT_FALSE(liveView->IsEnabled()); // released: no longer told
}

// Catches: flags written on library threads and read by the application
// without synchronisation (run under tsan), and a reset racing a callback.
TEST(SubscriptionCallbackTest, CallbacksWhileTheApplicationReads)
{
    auto manager = SubscriptionManager::Create(78);
    manager->CreateSubscriptions();
    const auto preview = manager->PreviewSubscription();
    const auto liveView = manager->LiveViewSubscription();
    std::atomic<bool> stop{false};
    std::thread library(
        [&]
        {
            for (int i = 0; i < 20000; ++i)
            {
                SetSubscriptionStruct reply = Reply(i % 2, 1 + i % 2);
                manager->OnNotification(kSubscriptionNotification_SubscriptionState, &reply);
                manager->OnNotification(kSubscriptionNotification_LiveViewState,
                                        i % 2 == 0 ? kLiveViewState_Started : kLiveViewState_Stopped);
                if (i == 15000)
                {
                    manager->Reset();
                }
            }
            stop = true;
        });
    std::size_t reads = 0;
    do
    {
        reads += preview->IsEnabled() + liveView->IsEnabled() + (preview->Format() == ImageFormat::JPEG);
        reads += preview->SupportedFormats().size();
    } while (!stop);
    library.join();
    // The reset (the camera's close) leaves the subscriptions kept off, and
    // later rounds found none to turn on again.
    EXPECT_FALSE(preview->IsEnabled());
    EXPECT_FALSE(liveView->IsEnabled());
}

// ---------------------------------------------------------------- end to end

// Catches: a preview subscription counted as on before the camera confirmed
// it, a disable that the camera's reply does not undo, and formats of an
// unsupported camera.
TEST(SubscriptionsE2eTest, PreviewFollowsTheCamerasReplies)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto preview = camera.Subscriptions()->PreviewSubscription();
    ASSERT_NE(preview, nullptr);
    EXPECT_TRUE(preview->IsSupported());
    EXPECT_EQ(preview->SupportedFormats(), (std::vector<ImageFormat>{ImageFormat::JPEG, ImageFormat::RGB24}));
    EXPECT_EQ(preview->Format(), ImageFormat::RGB24);

    auto& control = simulator.camera.sim->ImageEnumeration();
    control.AddFault({Q7::Sim::ImageEnumerationFaultKind::Silence, Q7::Sim::kIeSetSubscription});
    preview->Enable(ImageFormat::JPEG);
    ASSERT_TRUE(
        control.WaitUntil([](const auto& c) { return c.Requests(Q7::Sim::kIeSetSubscription) == 1; }, 10s));
    EXPECT_FALSE(preview->IsEnabled()); // no reply came

    preview->Enable();
    EXPECT_TRUE(Eventually([&] { return preview->IsEnabled(); }));
    EXPECT_EQ(preview->Format(), ImageFormat::JPEG);

    try
    {
        preview->SetFormat(ImageFormat::Auto);
        ADD_FAILURE() << "Auto was sent as a preview format";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Invalid api format");
    }
    EXPECT_EQ(preview->Format(), ImageFormat::Auto);
    preview->SetFormat(ImageFormat::RGB24);
    EXPECT_TRUE(Eventually([&] { return preview->Format() == ImageFormat::RGB24; }));

    preview->Disable();
    EXPECT_TRUE(Eventually([&] { return !preview->IsEnabled(); }));
}

// Catches: a full-image subscription whose flag does not follow the library's
// switch, or captures that do not arrive while it is on.
TEST(SubscriptionsE2eTest, FullImageReceivesCaptures)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto fullImage = camera.Subscriptions()->FullImageSubscription();
    ASSERT_NE(fullImage, nullptr);
    EXPECT_TRUE(fullImage->IsSupported());
    EXPECT_FALSE(fullImage->IsEnabled());
    Listener ready(camera, EventType::CameraImageReady);
    fullImage->Enable();
    EXPECT_TRUE(fullImage->IsEnabled());
    camera.TriggerCapture();
    const auto event = ready.WaitForNotification(10000);
    ASSERT_NE(event, nullptr);
    EXPECT_GT(event->FullImage()->Size(), 0U);
    fullImage->Disable();
    EXPECT_FALSE(fullImage->IsEnabled());
}

// Catches: a camera without the preview capability whose subscription can
// be enabled.
TEST(SubscriptionsE2eTest, PreviewUnsupportedWithoutTheCapability)
{
    FacadeSimulator simulator;
    Q7::Sim::ImageEnumerationControl::Capabilities capabilities;
    capabilities.value52 = 0;
    simulator.camera.sim->ImageEnumeration().SetCapabilities(capabilities);
    Camera camera = simulator.Open();
    const auto preview = camera.Subscriptions()->PreviewSubscription();
    ASSERT_NE(preview, nullptr);
    EXPECT_FALSE(preview->IsSupported());
    EXPECT_TRUE(preview->SupportedFormats().empty());
    EXPECT_THROW(preview->Enable(), SdkException);
}

// Catches: getters that give subscriptions after Close, on a manager kept from
// before (each waits its 1000 ms, then gives none).
TEST(SubscriptionsE2eTest, ManagerKeptAfterCloseGivesNone)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto manager = camera.Subscriptions();
    camera.Close();
    EXPECT_EQ(camera.Subscriptions(), nullptr);
    EXPECT_EQ(manager->PreviewSubscription(), nullptr);
}

// Catches subscriptions kept past Close that behave otherwise than their
// header says: Enable, Disable and the preview's SetFormat throwing, or
// counting as on; live view's getters and Enable(format) not throwing
// CameraNotOpenExc.
TEST(SubscriptionsE2eTest, SubscriptionsKeptAfterCloseStayOffWithoutThrowing)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto manager = camera.Subscriptions();
    const auto preview = manager->PreviewSubscription();
    const auto liveView = manager->LiveViewSubscription();
    const auto fullImage = manager->FullImageSubscription();
    ASSERT_TRUE(preview && liveView && fullImage);
    ASSERT_TRUE(preview->IsSupported() && liveView->IsSupported() && fullImage->IsSupported());
    camera.Close();

    for (ISubscription* subscription :
         {static_cast<ISubscription*>(preview.get()), static_cast<ISubscription*>(liveView.get()),
          static_cast<ISubscription*>(fullImage.get())})
    {
        EXPECT_NO_THROW(subscription->Enable());
        EXPECT_FALSE(subscription->IsEnabled());
        EXPECT_NO_THROW(subscription->Disable());
    }
    EXPECT_NO_THROW(preview->Enable(ImageFormat::JPEG));
    EXPECT_NO_THROW(preview->SetFormat(ImageFormat::RGB24));
    EXPECT_FALSE(preview->IsEnabled());
    EXPECT_THROW(liveView->Crop(), CameraNotOpenExc);
    EXPECT_THROW(liveView->SetLightness(0.5F), CameraNotOpenExc);
    EXPECT_THROW(liveView->Enable(ImageFormat::RGB24), CameraNotOpenExc);
    EXPECT_FALSE(liveView->IsEnabled());
}

} // namespace
