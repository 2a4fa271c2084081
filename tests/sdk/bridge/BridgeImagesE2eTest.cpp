// The camera bridge's stored-image members against simulated cameras over
// loopback TCP: requests reach the camera's channel 3.0, and its answers come
// back as events carrying the camera's exact bytes. Each case runs in a
// process of its own.

#include "BridgeTestSupport.h"

#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"

#include <TavrinCpp/ImageObjects.h>

#include <algorithm>
#include <future>
#include <vector>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Camera = KpxLibTransport::Camera;

std::vector<std::uint8_t> Bytes(const std::shared_ptr<const IImageBuffer>& image)
{
    const std::shared_ptr<const std::uint8_t> data = image->Data();
    return {data.get(), data.get() + image->Size()};
}

Camera::ImageBufferRequestInfo PreviewRequest(std::uint32_t imageId, std::uint32_t wireFormat)
{
    Camera::ImageBufferRequestInfo request;
    request.imageId = imageId;
    request.field8 = 1.0F;
    request.field9 = wireFormat;
    request.field10 = 100;
    return request;
}

Camera::ImageBufferRequestInfo TileRequest(std::uint32_t imageId, std::uint32_t x, std::uint32_t y,
                                           std::uint32_t width, std::uint32_t height)
{
    Camera::ImageBufferRequestInfo request = PreviewRequest(imageId, Q7::Sim::kImageFormatRgb24);
    request.field2 = height;
    request.field3 = width;
    request.field6 = x;
    request.field7 = y;
    return request;
}

// Catches: a request that does not reach channel 3.0, an answer that does not
// come back as its event, bytes that differ from the camera's, a preview's
// bytes freed with the preview, a rating or deletion that is not applied, a
// failed reply reported as a success, and a subscription answer that never
// reaches the callback.
TEST(BridgeImagesE2eTest, StoredImageRequestsReachTheCameraAndAnswersComeBack)
{
    InOwnProcess(
        []
        {
            std::vector<Q7::Sim::SimImage> images;
            auto [camera, listener, id] =
                OpenedCamera(231, [&](SimulatedCamera& sim) { images = sim.sim->Images().AddGenerated(3); });
            KpxLibTransport& bridge = Bridge();
            // The list the camera sends once channel 3.0 opened (it may come
            // before the open returned).
            const auto& skipped = listener.Skipped();
            const bool listed = std::any_of(skipped.begin(), skipped.end(),
                                            [&](const Event& event)
                                            { return &event->Type() == &EventType::CameraImageNewList; });
            EXPECT_TRUE(listed || listener.WaitFor(EventType::CameraImageNewList, id) != nullptr);

            const auto capabilities = bridge.GetImageEnumCapabilities(id);
            EXPECT_EQ(capabilities.first, Success);
            ASSERT_TRUE(capabilities.second.has_value());
            EXPECT_EQ(capabilities.second->reply.maxTileWidth,
                      camera.sim->ImageEnumeration().GetCapabilities().maxTileWidth);

            // Basic information.
            const Q7::Sim::SimImage& second = images[1];
            ASSERT_EQ(bridge.RequestBasicImageInfo(id, second.id), Success);
            const Event infoEvent = listener.WaitFor(EventType::CameraImageBasicImageInfo, id);
            ASSERT_NE(infoEvent, nullptr);
            const auto info = infoEvent->BasicInfo();
            ASSERT_NE(info, nullptr);
            EXPECT_FALSE(info->HasError());
            EXPECT_EQ(info->ImageId(), second.id);
            EXPECT_EQ(info->FileName(), second.info.fileName);
            EXPECT_EQ(info->ImagePixelWidth(), second.info.pixelWidth);
            EXPECT_EQ(info->Iso(), second.info.iso);
            EXPECT_EQ(info->ImageSize(), second.info.imageSize);
            EXPECT_EQ(info->Rating(), second.info.rating);

            // A preview, its bytes kept beyond preview and event.
            std::shared_ptr<const std::uint8_t> kept;
            {
                ASSERT_EQ(bridge.RequestPreview(id, PreviewRequest(second.id, Q7::Sim::kImageFormatJpeg)),
                          Success);
                const Event event = listener.WaitFor(EventType::CameraPreviewReady, id);
                ASSERT_NE(event, nullptr);
                const auto preview = event->Preview();
                EXPECT_EQ(preview->Format(), ImageFormat::JPEG);
                EXPECT_EQ(preview->Kind(), ImageKind::Preview);
                EXPECT_EQ(preview->ImageId(), second.id);
                EXPECT_EQ(Bytes(preview), second.PreviewBytes(Q7::Sim::kImageFormatJpeg));
                kept = preview->Data();
            }
            const std::vector<std::uint8_t> expectedPreview = second.PreviewBytes(Q7::Sim::kImageFormatJpeg);
            EXPECT_TRUE(std::equal(expectedPreview.begin(), expectedPreview.end(), kept.get()));
            kept.reset();

            // A tile.
            ASSERT_EQ(bridge.RequestTile(id, TileRequest(second.id, 8, 4, 16, 12)), Success);
            const Event tileEvent = listener.WaitFor(EventType::CameraTileReady, id);
            ASSERT_NE(tileEvent, nullptr);
            const auto tile = tileEvent->Tile();
            EXPECT_EQ(tile->Format(), ImageFormat::RGB24);
            EXPECT_EQ(tile->Kind(), ImageKind::Tile);
            EXPECT_EQ(tile->Width(), 16U);
            EXPECT_EQ(tile->Height(), 12U);
            EXPECT_EQ(Bytes(tile), second.TileBytes(Q7::Sim::kImageFormatRgb24, 8, 4, 16, 12));

            // Rating and deleting, seen in the camera's next answers (its
            // channel answers in order).
            const Q7::Sim::SimImage& third = images[2];
            EXPECT_EQ(bridge.RateImage(id, second.id, 4), Success);
            EXPECT_EQ(bridge.DeleteImage(id, third.id), Success);
            ASSERT_EQ(bridge.RequestBasicImageInfo(id, second.id), Success);
            const Event rated = listener.WaitFor(EventType::CameraImageBasicImageInfo, id);
            ASSERT_NE(rated, nullptr);
            EXPECT_EQ(rated->BasicInfo()->Rating(), 4U);
            EXPECT_EQ(camera.sim->Images().Find(second.id)->info.rating, 4U);
            EXPECT_FALSE(camera.sim->Images().Find(third.id).has_value());
            ASSERT_EQ(bridge.RequestBasicImageInfo(id, third.id), Success);
            const Event missing = listener.WaitFor(EventType::CameraImageBasicImageInfo, id);
            ASSERT_NE(missing, nullptr);
            EXPECT_TRUE(missing->BasicInfo()->HasError());
            EXPECT_EQ(missing->BasicInfo()->ErrorFlags(), 0x20U);
            EXPECT_EQ(missing->BasicInfo()->ErrorsText(), "Errors:\nInvalid ImageId\n");

            // Metadata reaches the camera (no event carries it).
            EXPECT_EQ(bridge.RequestMetadata(id, images[0].id), Success);
            EXPECT_TRUE(camera.sim->ImageEnumeration().WaitUntil(
                [](const Q7::Sim::ImageEnumerationCounters& c)
                { return c.Replies(Q7::Sim::kIeGetMetadata | Q7::Sim::kIeReplyBit) >= 1; },
                10s));

            // The subscription's answer reaches the callback.
            std::promise<std::uint32_t> answered;
            auto answer = answered.get_future();
            ASSERT_EQ(
                bridge.SetSubscriptionNotificationCallback(
                    id,
                    [&answered](Camera::SubscriptionNotifications kind,
                                const Camera::SubscriptionPayload& payload)
                    {
                        if (kind == Camera::kSubscriptionNotification_SubscriptionState &&
                            std::holds_alternative<const Q7::KPX::ImageEnumeration::SetSubscriptionStruct*>(
                                payload))
                        {
                            const auto* state =
                                std::get<const Q7::KPX::ImageEnumeration::SetSubscriptionStruct*>(payload);
                            answered.set_value(state->reply.flags);
                        }
                    }),
                Success);
            EXPECT_EQ(bridge.SetImageEnumerationSubscriptions(id, 1, 1, true), Success);
            ASSERT_EQ(answer.wait_for(10s), std::future_status::ready);
            EXPECT_EQ(answer.get(), 1U);
            EXPECT_EQ(bridge.SetSubscriptionNotificationCallback(id, {}), Success);

            EXPECT_EQ(bridge.CloseCamera(id), Success);
            EXPECT_TRUE(camera.sim->Violations().empty());
        });
}

// Catches a member that throws out of the bridge (or reports success) when
// the camera offers no channel 3.0, and a closed camera that is not reported.
TEST(BridgeImagesE2eTest, CameraWithoutImageChannelsAnswersEveryMemberWithACode)
{
    InOwnProcess(
        []
        {
            auto [camera, listener, id] = OpenedCamera(232, {}, WithoutImageChannels);
            KpxLibTransport& bridge = Bridge();
            const std::vector<std::pair<const char*, std::function<ErrorCode(int)>>> members = {
                {"RequestBasicImageInfo",
                 [&](int target) { return bridge.RequestBasicImageInfo(target, 1); }},
                {"DeleteImage", [&](int target) { return bridge.DeleteImage(target, 1); }},
                {"RateImage", [&](int target) { return bridge.RateImage(target, 1, 3); }},
                {"RequestMetadata", [&](int target) { return bridge.RequestMetadata(target, 1); }},
                {"RequestPreview",
                 [&](int target) { return bridge.RequestPreview(target, PreviewRequest(1, 2)); }},
                {"RequestTile",
                 [&](int target) { return bridge.RequestTile(target, TileRequest(1, 0, 0, 8, 8)); }},
                {"SetImageEnumerationSubscriptions",
                 [&](int target) { return bridge.SetImageEnumerationSubscriptions(target, 1, 1, true); }},
            };
            for (const auto& [name, member] : members)
            {
                EXPECT_EQ(member(id), FeatureNotAvailable) << name;
                EXPECT_EQ(member(id + 1), CameraNotOpen) << name;
            }
            const auto capabilities = bridge.GetImageEnumCapabilities(id);
            EXPECT_EQ(capabilities.first, Success);
            EXPECT_FALSE(capabilities.second.has_value());
            EXPECT_EQ(bridge.GetImageEnumCapabilities(id + 1).first, CameraNotOpen);
            EXPECT_EQ(bridge.TriggerCapture(id + 1), CameraNotOpen);
            EXPECT_EQ(bridge.CloseCamera(id), Success);
        });
}

} // namespace
