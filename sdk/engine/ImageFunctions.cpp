// The flat interface's captures and stored images: the camera's
// image-enumeration records converted to the public ones, requests whose
// answers come back as events, and the subscription callback.

#include "FlatFunction.h"
#include "KpxLibTransport.h"
#include "SdkLog.h"

#include <TavrinCpp/TavrinC.h>

#include <exception>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Camera = KpxLibTransport::Camera;

namespace
{

ImageEnumStatus ToPublic(const Q7::KPX::ImageEnumeration::AssembleStatus& status)
{
    return {status.status, status.assemblyError, status.carried, status.complete};
}

ImageEnumReplyFields ToPublic(const Q7::KPX::ImageEnumeration::ReplyFields& reply)
{
    return {reply.fragmentFlags, reply.status, reply.firstChunkOffset, reply.carried};
}

ImageEnumCapabilities ToPublic(const Camera::ImageEnumCapabilities& capabilities)
{
    ImageEnumCapabilities converted;
    converted.reply = ToPublic(capabilities.reply.reply);
    converted.value32 = capabilities.reply.value32;
    converted.maxTileWidth = capabilities.reply.maxTileWidth;
    converted.maxTileHeight = capabilities.reply.maxTileHeight;
    converted.value44 = capabilities.reply.value44;
    converted.value48 = capabilities.reply.value48;
    converted.value52 = capabilities.reply.value52;
    converted.assembleStatus = ToPublic(capabilities.status);
    return converted;
}

SetSubscriptionStruct ToPublic(const Q7::KPX::ImageEnumeration::SetSubscriptionStruct& subscription)
{
    SetSubscriptionStruct converted;
    converted.reply = ToPublic(subscription.reply.reply);
    converted.flags = subscription.reply.flags;
    converted.option = subscription.reply.option;
    converted.assembleStatus = ToPublic(subscription.status);
    return converted;
}

Camera::ImageBufferRequestInfo ToKpx(const ImageBufferRequestInfo& request)
{
    Camera::ImageBufferRequestInfo converted;
    converted.imageId = request.imageId;
    converted.field2 = request.field2;
    converted.field3 = request.field3;
    converted.field4 = request.field4;
    converted.field5 = request.field5;
    converted.field6 = request.field6;
    converted.field7 = request.field7;
    converted.field8 = request.field8;
    converted.field9 = request.field9;
    converted.field10 = request.field10;
    return converted;
}

} // namespace

ErrorCode TriggerCapture(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::TriggerCapture";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().TriggerCapture(cameraId); });
}

std::pair<ErrorCode, std::optional<ImageEnumCapabilities>> GetImageEnumCapabilities(int cameraId)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetImageEnumCapabilities";
    std::optional<ImageEnumCapabilities> capabilities;
    const ErrorCode code = FlatCall(kSource, NoSdk::Silent,
                                    [&](Sdk& sdk)
                                    {
                                        const auto read = sdk.Transport().GetImageEnumCapabilities(cameraId);
                                        if (read.second)
                                        {
                                            capabilities = ToPublic(*read.second);
                                        }
                                        return read.first;
                                    });
    return {code, code == Success ? capabilities : std::nullopt};
}

ErrorCode GetImageEnumeration(int cameraId, std::vector<std::shared_ptr<IStoredImageHandle>>& images)
{
    static constexpr const char* kSource = "Q7::TavrinC::GetImageEnumeration";
    return FlatCall(kSource, NoSdk::Silent,
                    [&](Sdk& sdk) { return sdk.Transport().GetImageEnumeration(cameraId, images); });
}

ErrorCode SetImageEnumerationSubscriptions(int cameraId, EnumSetSubscriptionFlags flags,
                                           EnumSubscriptionOptions options)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetImageEnumerationSubscriptions";
    return FlatCall(
        kSource, NoSdk::SdkNotOpen,
        [&](Sdk& sdk)
        { return sdk.Transport().SetImageEnumerationSubscriptions(cameraId, flags, options, false); });
}

ErrorCode RequestBasicImageInfo(int cameraId, unsigned int imageId)
{
    static constexpr const char* kSource = "Q7::TavrinC::RequestBasicImageInfo";
    return FlatCall(kSource, NoSdk::Silent,
                    [&](Sdk& sdk) { return sdk.Transport().RequestBasicImageInfo(cameraId, imageId); });
}

ErrorCode RequestImage(int cameraId, unsigned int imageId)
{
    static constexpr const char* kSource = "Q7::TavrinC::RequestImage";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().RequestImage(cameraId, imageId); });
}

ErrorCode EnableImageReceiving(int cameraId, bool enable)
{
    static constexpr const char* kSource = "Q7::TavrinC::EnableImageReceiving";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk) { return sdk.Transport().SetImageReceiving(cameraId, enable); });
}

ErrorCode SetHostStorageCapacity(int cameraId, unsigned int capacityMegabytes)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetHostStorageCapacity";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    { return sdk.Transport().SetHostStorageCapacity(cameraId, capacityMegabytes); });
}

ErrorCode SetReceiveBufferLimits(int cameraId, unsigned long long imageBytes, unsigned long long liveViewFrameBytes)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetReceiveBufferLimits";
    return FlatCall(kSource, NoSdk::Report,
                    [&](Sdk& sdk)
                    { return sdk.Transport().SetReceiveBufferLimits(cameraId, imageBytes, liveViewFrameBytes); });
}

ErrorCode RequestMetadata(int cameraId, unsigned int imageId)
{
    static constexpr const char* kSource = "Q7::TavrinC::RequestMetadata";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().RequestMetadata(cameraId, imageId); });
}

ErrorCode RequestPreview(int cameraId, const ImageBufferRequestInfo& request)
{
    static constexpr const char* kSource = "Q7::TavrinC::RequestPreview";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().RequestPreview(cameraId, ToKpx(request)); });
}

ErrorCode RequestTile(int cameraId, const ImageBufferRequestInfo& request)
{
    static constexpr const char* kSource = "Q7::TavrinC::RequestTile";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().RequestTile(cameraId, ToKpx(request)); });
}

ErrorCode RateImage(int cameraId, unsigned int imageId, unsigned int rating)
{
    static constexpr const char* kSource = "Q7::TavrinC::RateImage";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().RateImage(cameraId, imageId, rating); });
}

ErrorCode DeleteImage(int cameraId, unsigned int imageId)
{
    static constexpr const char* kSource = "Q7::TavrinC::DeleteImage";
    return FlatCall(kSource, NoSdk::SdkNotOpen,
                    [&](Sdk& sdk) { return sdk.Transport().DeleteImage(cameraId, imageId); });
}

ErrorCode SetSubscriptionNotificationCallback(int cameraId, const SubscriptionCallback& callback)
{
    static constexpr const char* kSource = "Q7::TavrinC::SetSubscriptionNotificationCallback";
    return FlatCall(
        kSource, NoSdk::Report,
        [&](Sdk& sdk)
        {
            Camera::SubscriptionFunction forward;
            if (callback)
            {
                // The camera's record becomes the public one for the
                // call; what the application's callback throws stays
                // on this side of the camera's thread.
                forward = [callback, cameraId](Camera::SubscriptionNotifications kind,
                                               const Camera::SubscriptionPayload& payload)
                {
                    try
                    {
                        SubscriptionPayload converted;
                        std::optional<SetSubscriptionStruct> record;
                        if (const auto* const* subscription =
                                std::get_if<const Q7::KPX::ImageEnumeration::SetSubscriptionStruct*>(
                                    &payload);
                            subscription != nullptr && *subscription != nullptr)
                        {
                            record = ToPublic(**subscription);
                            converted = &*record;
                        }
                        else if (subscription != nullptr)
                        {
                            converted = static_cast<const SetSubscriptionStruct*>(nullptr);
                        }
                        else if (const auto* state =
                                     std::get_if<Q7::KPX::LiveView::EnumLiveViewState>(&payload))
                        {
                            converted = static_cast<EnumLiveViewState>(*state);
                        }
                        callback(static_cast<SubscriptionNotifications>(kind), std::move(converted));
                    }
                    catch (const std::exception& error)
                    {
                        SdkLog(1, "Subscription callback of camera %d threw: %s\n", cameraId, error.what());
                    }
                    catch (...)
                    {
                        SdkLog(1, "Subscription callback of camera %d threw\n", cameraId);
                    }
                };
            }
            return sdk.Transport().SetSubscriptionNotificationCallback(cameraId, std::move(forward));
        });
}

} // namespace Q7::TavrinC
