// The camera bridge's images: captures, requests for stored images and their
// answers (channel 3.0), turned into image events.

#include "KpxLibTransport.h"

#include "KpxLibTransportCalls.h"

#include "ImagePayloads.h"
#include "LastError.h"
#include "Q7UniversalString.h"
#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/EventTypes.h>

#include <chrono>
#include <exception>
#include <utility>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
using Calls::Guarded;
using Calls::Queued;
using Calls::WithCamera;

namespace
{

// The host storage a camera gets when receiving starts and the application
// set none: 1,048,575 MB.
constexpr std::uint32_t kDefaultHostStorageMb = 0xFFFFF;
// At most one image-transfer progress event per camera in this time.
constexpr std::int64_t kImageProgressIntervalNs = 100'000'000;

std::string Utf8Text(const Q7::Universal::UniversalString& text)
{
    return Q7::Universal::ToUtf8(text).c_str();
}

// The camera whose subscription callback runs on this thread, if one does.
constinit thread_local bool t_inSubscriptionCallback = false;
constinit thread_local int t_subscriptionCallbackOf = 0;

class SubscriptionCallbackScope
{
public:
    explicit SubscriptionCallbackScope(int cameraId) noexcept
        : m_outerInside(t_inSubscriptionCallback), m_outer(t_subscriptionCallbackOf)
    {
        t_inSubscriptionCallback = true;
        t_subscriptionCallbackOf = cameraId;
    }
    ~SubscriptionCallbackScope()
    {
        t_inSubscriptionCallback = m_outerInside;
        t_subscriptionCallbackOf = m_outer;
    }
    SubscriptionCallbackScope(const SubscriptionCallbackScope&) = delete;
    SubscriptionCallbackScope& operator=(const SubscriptionCallbackScope&) = delete;

private:
    const bool m_outerInside;
    const int m_outer;
};

} // namespace

bool KpxLibTransport::PostWhileOpen(int cameraId, const std::shared_ptr<const INotificationEvent>& event)
{
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        return false;
    }
    NotificationList& list = sdk->Notifications();
    const NotificationList::Delivery delivery = list.Match(event);
    std::size_t delivered = 0;
    {
        SingleLockGuard lock(m_cameraLock);
        const auto found = m_cameras.find(cameraId);
        // Once a lost link was posted (SdkCameraClosed), nothing more about the
        // camera goes out.
        if (found == m_cameras.end() || found->second.disconnected)
        {
            return false;
        }
        found->second.named = true;
        delivered = list.Deliver(delivery);
    }
    NotificationList::LogDelivered(delivery, delivered);
    return true;
}

// ---------------------------------------------------------------- notifications

void KpxLibTransport::KpxCameraNotify(std::uint32_t notificationId, const Camera::NotifyPayload& payload,
                                      int cameraId) noexcept
{
    switch (notificationId)
    {
    case Camera::kNotify_ImageAdded:
    case Camera::kNotify_ImageRemoved:
    case Camera::kNotify_ImageChanged:
    case Camera::kNotify_TransferStatusChange:
    case Camera::kNotify_LiveViewStateChange:
    case Camera::kNotify_LiveViewCapabilitiesChange:
    case Camera::kNotify_LiveViewConfigurationChange:
    case Camera::kNotify_ImageListChanged:
    case Camera::kNotify_MetadataReady:
    case Camera::kNotify_BasicImageInfoReady:
    case Camera::kNotify_PreviewReady:
    case Camera::kNotify_TileReady:
        break;
    default:
        KpxCameraNotify(notificationId, payload.get(), cameraId);
        return;
    }
    const int logId = static_cast<int>(notificationId);
    if (m_deinitializing)
    {
        SdkLog(
            5,
            "KpxLibTransport::KpxCameraNotify: Sdk/KpxLibTransport not open - ignoring notification (%d)\n",
            logId);
        return;
    }
    if (Sdk::GetInstance(false) == nullptr)
    {
        SdkLog(1, "KpxLibTransport::KpxCameraNotify: Sdk not open - ignoring notification (%d)\n", logId);
        return;
    }
    // The record stays the payload's: an event co-owns it, and a record no
    // event takes is freed by its last holder.
    try
    {
        const BaseEventType* type = nullptr;
        switch (notificationId)
        {
        case Camera::kNotify_TransferStatusChange:
        {
            // The status belongs to the camera and lives during this call.
            const auto* status = static_cast<const Q7::KPX::TransferStatus*>(payload.get());
            SdkLog(6,
                   "KpxCameraNotify: kNotify_TransferStatusChange on camera-id: %d, transfer enabled: %d, "
                   "pending: %d\n",
                   cameraId, status != nullptr ? static_cast<int>(status->enabled) : 0,
                   status != nullptr ? static_cast<int>(status->pendingCount) : 0);
            return;
        }
        case Camera::kNotify_LiveViewStateChange:
        {
            // The state is the payload pointer's own value.
            const auto state = static_cast<int>(reinterpret_cast<std::uintptr_t>(payload.get()));
            SdkLog(6, "KpxCameraNotify: kNotify_LiveViewStateChange on camera-id: %d, state: %d\n", cameraId,
                   state);
            PostWhileOpen(cameraId, BuildNotificationEvent(state == 1 ? EventType::CameraLiveViewStarted
                                                                      : EventType::CameraLiveViewStopped,
                                                           cameraId, 0));
            return;
        }
        case Camera::kNotify_LiveViewCapabilitiesChange:
            SdkLog(6, "KpxCameraNotify: kNotify_LiveViewCapabilitiesChange on camera-id:  %d\n", cameraId);
            return;
        case Camera::kNotify_LiveViewConfigurationChange:
            SdkLog(6, "KpxCameraNotify: kNotify_LiveViewConfigurationChange on camera-id:  %d\n", cameraId);
            return;
        case Camera::kNotify_ImageListChanged:
            PostWhileOpen(cameraId, BuildNotificationEvent(EventType::CameraImageNewList, cameraId, 0));
            return;
        case Camera::kNotify_MetadataReady:
            // No event carries metadata.
            SdkLog(6, "KpxCameraNotify: metadata on camera-id: %d dropped (no event type)\n", cameraId);
            return;
        case Camera::kNotify_ImageAdded:
            type = &EventType::CameraImageAdded;
            break;
        case Camera::kNotify_ImageRemoved:
            type = &EventType::CameraImageRemoved;
            break;
        case Camera::kNotify_ImageChanged:
            type = &EventType::CameraImageEdited;
            break;
        case Camera::kNotify_BasicImageInfoReady:
            type = &EventType::CameraImageBasicImageInfo;
            break;
        case Camera::kNotify_PreviewReady:
            type = &EventType::CameraPreviewReady;
            break;
        default:
            type = &EventType::CameraTileReady;
            break;
        }
        PostWhileOpen(cameraId, BuildImageEvent(*type, cameraId, payload));
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "KpxLibTransport::KpxCameraNotify: notification (%d) failed: %s\n", logId, error.what());
    }
}

// ---------------------------------------------------------------- capture and stored images

ErrorCode KpxLibTransport::TriggerCapture(int cameraId)
{
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    SdkLog(6, "KpxLibTransport: Calling shutter-release...\n");
    return Guarded("Error while triggering a capture", "Internal error while triggering a capture",
                   [&]
                   {
                       camera->ShutterRelease();
                       return Success;
                   });
}

ErrorCode KpxLibTransport::RequestBasicImageInfo(int cameraId, std::uint32_t imageId)
{
    return WithCamera(*this, cameraId, "Error while while getting basic image info",
                      "Internal error while getting basic image info",
                      [&](Camera& camera) { return Queued(camera.RequestBasicImageInfo(imageId)); });
}

std::pair<ErrorCode, std::optional<KpxLibTransport::Camera::ImageEnumCapabilities>>
KpxLibTransport::GetImageEnumCapabilities(int cameraId)
{
    std::optional<Camera::ImageEnumCapabilities> capabilities;
    const ErrorCode code = WithCamera(*this, cameraId, "Error while while getting image enum capabilities",
                                      "Internal error while getting image enum capabilities",
                                      [&](Camera& camera)
                                      {
                                          capabilities = camera.GetImageEnumCapabilities();
                                          return Success;
                                      });
    return {code, std::move(capabilities)};
}

ErrorCode KpxLibTransport::DeleteImage(int cameraId, std::uint32_t imageId)
{
    SdkLog(6, "KpxLibTransport: deleting image (CamId: %u) (imageId = %u) ...\n",
           static_cast<unsigned>(cameraId), imageId);
    return WithCamera(*this, cameraId, "Error while deleting image", "Internal error while deleting image",
                      [&](Camera& camera) { return Queued(camera.DeleteImage(imageId)); });
}

ErrorCode KpxLibTransport::RateImage(int cameraId, std::uint32_t imageId, std::uint32_t rating)
{
    SdkLog(6, "KpxLibTransport: rating image (CamId: %u) (imageId = %u) (rating = %u) ...\n",
           static_cast<unsigned>(cameraId), imageId, rating);
    return WithCamera(*this, cameraId, "Error while rating image", "Internal error while rating image",
                      [&](Camera& camera) { return Queued(camera.RateImage(imageId, rating)); });
}

ErrorCode KpxLibTransport::RequestMetadata(int cameraId, std::uint32_t imageId)
{
    SdkLog(6, "KpxLibTransport: requesting metadata (CamId: %u) (imageId = %u) ...\n",
           static_cast<unsigned>(cameraId), imageId);
    return WithCamera(*this, cameraId, "Error while requesting metadata",
                      "Internal error while requesting metadata",
                      [&](Camera& camera) { return Queued(camera.RequestMetadata(imageId)); });
}

ErrorCode KpxLibTransport::RequestPreview(int cameraId, const Camera::ImageBufferRequestInfo& request)
{
    SdkLog(6, "KpxLibTransport: requesting preview (CamId: %u) (imageId = %u) ...\n",
           static_cast<unsigned>(cameraId), request.imageId);
    return WithCamera(*this, cameraId, "Error while requesting preview",
                      "Internal error while requesting preview",
                      [&](Camera& camera) { return Queued(camera.RequestPreview(request)); });
}

ErrorCode KpxLibTransport::RequestTile(int cameraId, const Camera::ImageBufferRequestInfo& request)
{
    SdkLog(6, "KpxLibTransport: requesting Tile (CamId: %u) (imageId = %u) ...\n",
           static_cast<unsigned>(cameraId), request.imageId);
    return WithCamera(*this, cameraId, "Error while requesting tile", "Internal error while requesting tile",
                      [&](Camera& camera) { return Queued(camera.RequestTile(request)); });
}

ErrorCode KpxLibTransport::SetImageEnumerationSubscriptions(int cameraId, std::uint32_t flags,
                                                            std::uint32_t rating, bool option)
{
    SdkLog(6, "KpxLibTransport: setting subscriptions (CamId: %u) (flags = %u) (rating = %u) ...\n",
           static_cast<unsigned>(cameraId), flags, rating);
    return WithCamera(
        *this, cameraId, "Error while setting subscriptions", "Internal error while setting subscriptions",
        [&](Camera& camera) { return Queued(camera.SetSubscriptions(flags, rating, option ? 1 : 0)); });
}

ErrorCode KpxLibTransport::SetSubscriptionNotificationCallback(int cameraId,
                                                               Camera::SubscriptionFunction callback)
{
    // A callback replacing itself would be destroyed while it runs (or wait
    // for itself): refused.
    if (t_inSubscriptionCallback && t_subscriptionCallbackOf == cameraId)
    {
        return SetLastErrorInfo(GeneralError,
                                "The subscription callback cannot be replaced from within itself",
                                "KpxLibTransport::SetSubscriptionNotificationCallback");
    }
    if (callback)
    {
        callback = [cameraId, inner = std::move(callback)](Camera::SubscriptionNotifications kind,
                                                           const Camera::SubscriptionPayload& payload)
        {
            const SubscriptionCallbackScope scope(cameraId);
            inner(kind, payload);
        };
    }
    return WithCamera(*this, cameraId, "Error while setting the subscription callback",
                      "Internal error while setting the subscription callback",
                      [&](Camera& camera)
                      {
                          camera.SetSubscriptionNotificationCallback(std::move(callback));
                          return Success;
                      });
}

// ---------------------------------------------------------------- full images

ErrorCode KpxLibTransport::SetImageReceiving(int cameraId, bool enable)
{
    SdkLog(6, "KpxLibTransport: Set Image Receiving (CamId: %u) %s...\n", static_cast<unsigned>(cameraId),
           enable ? "enable" : "disable");
    std::shared_ptr<Camera> camera;
    if (const ErrorCode found = GetCamera(cameraId, camera); found != Success)
    {
        return found;
    }
    if (!enable)
    {
        return Guarded("Error while stopping image receiving",
                       "Internal error while stopping image receiving",
                       [&]
                       {
                           camera->StopTransfer();
                           return Success;
                       });
    }
    return Guarded("Error while starting image receiving", "Internal error while starting image receiving",
                   [&]
                   {
                       camera->StartTransfer();
                       if (!HasHostStorageCapacity(cameraId))
                       {
                           camera->SetHostStorageSize(kDefaultHostStorageMb);
                       }
                       return Success;
                   });
}

ErrorCode KpxLibTransport::SetReceiveBufferLimits(int cameraId, std::uint64_t imageBytes,
                                                  std::uint64_t liveViewFrameBytes)
{
    return WithCamera(*this, cameraId, "Error while setting the receive buffer limits",
                      "Internal error while setting the receive buffer limits",
                      [&](Camera& camera)
                      {
                          camera.SetReceiveBufferLimits(imageBytes, liveViewFrameBytes);
                          return Success;
                      });
}

ErrorCode KpxLibTransport::SetHostStorageCapacity(int cameraId, std::uint32_t megabytes)
{
    SdkLog(6, "KpxLibTransport: Setting host storage capacity (CamId: %u) %u MB...\n",
           static_cast<unsigned>(cameraId), megabytes);
    return WithCamera(*this, cameraId, "Error while setting host storage capacity",
                      "Internal error while setting host storage capacity",
                      [&](Camera& camera)
                      {
                          camera.SetHostStorageSize(megabytes);
                          SingleLockGuard lock(m_cameraLock);
                          const auto found = m_cameras.find(cameraId);
                          if (found != m_cameras.end())
                          {
                              found->second.hostStorageCapacitySet = true;
                          }
                          return Success;
                      });
}

ErrorCode KpxLibTransport::RequestImage(int cameraId, std::uint32_t imageId)
{
    SdkLog(6, "KpxLibTransport: requesting image (CamId: %u) (imageId = %u) ...\n",
           static_cast<unsigned>(cameraId), imageId);
    return WithCamera(
        *this, cameraId, "Error while requesting image", "Internal error while requesting image",
        [&](Camera& camera)
        {
            if (!camera.IsImageReceivingEnabled())
            {
                return SetLastErrorInfo(ImageReceivingNotEnabled,
                                        "You must enable image receiving, before requesting images",
                                        "KpxLibTransport::RequestImage");
            }
            return Queued(camera.RequestImage(imageId));
        });
}

void KpxLibTransport::FullImageArrivesFromKpx(int cameraId,
                                              const Q7::KPX::ImageReceivePackage& package) noexcept
{
    if (Sdk::GetInstance(false) == nullptr)
    {
        SdkLog(1, "FullImageArrivesFromKpx: Sdk not open - ignoring notification\n");
        return;
    }
    try
    {
        PostWhileOpen(cameraId, BuildFullImageEvent(cameraId, package));
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "FullImageArrivesFromKpx: camera %d image %u lost: %s\n", cameraId, package.imageId,
               error.what());
    }
}

void KpxLibTransport::HandleImageTransferProgressUpdate(int cameraId,
                                                        const Q7::Universal::ProgressTask& task) noexcept
{
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        SdkLog(1, "HandleImageTransferProgressUpdate: Sdk not open - ignoring notification\n");
        return;
    }
    try
    {
        const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        {
            // Decided under the throttle lock, posted after it: the filters and
            // the log are the application's code.
            SingleLockGuard lock(m_imageProgress.lock);
            const auto last = m_imageProgress.lastPost.find(cameraId);
            if (last != m_imageProgress.lastPost.end() && now - last->second < kImageProgressIntervalNs)
            {
                return;
            }
            m_imageProgress.lastPost[cameraId] = now;
        }
        const BaseEventType& type =
            task.GetPosition() != 0 ? EventType::ImageTransferProgress : EventType::ImageTransferBegin;
        const auto percent = static_cast<std::uint8_t>(static_cast<unsigned>(task.GetPercent()));
        sdk->Notifications().Post(
            BuildImageTransferEvent(type, cameraId, percent, Utf8Text(task.GetInfo().description)));
    }
    catch (const std::exception& error)
    {
        SdkLog(1, "HandleImageTransferProgressUpdate: camera %d: %s\n", cameraId, error.what());
    }
}

} // namespace Q7::TavrinC
