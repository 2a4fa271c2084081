// The camera bridge's notifications: device arrivals and removals from the
// device manager, and each camera's link loss and property changes, turned
// into SDK events and posted to the SDK's notification list.

#include "KpxLibTransport.h"

#include "Sdk.h"
#include "SdkLog.h"
#include "SingleLockGuard.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>

#include <exception>

namespace Q7::TavrinC
{

using namespace Q7::Tavrin;
namespace KpxTransport = Q7::KPX::Transport;

// ---------------------------------------------------------------- device manager

void KpxLibTransport::DeviceManagerNotify(DeviceManager::EnumNotify kind, const DeviceMoniker* moniker)
{
    Sdk* sdk = m_notifying ? Sdk::GetInstance(false) : nullptr;
    if (sdk == nullptr)
    {
        SdkLog(1, "KpxLibTransport::DeviceManagerNotify: Sdk not open - ignoring notification\n");
        return;
    }
    const SdkEventType* type = nullptr;
    switch (kind)
    {
    case DeviceManager::kEnumNotify_DeviceArrived:
        type = &SdkEventType::SdkCameraFound;
        break;
    case DeviceManager::kEnumNotify_DeviceRemoved:
    {
        type = &SdkEventType::SdkCameraRemoved;
        int removed = 0;
        if (moniker != nullptr && MarkOpenCameraRemoved(*moniker, removed))
        {
            SdkLog(5, "KpxLibTransport: DeviceMgrNotif: Successfully marked open camera as removed (%d)\n",
                   removed);
        }
        break;
    }
    default:
        SdkLog(2, "KpxLibTransport::Notify() unhandled event: %u\n", static_cast<unsigned>(kind));
        return;
    }
    // A notification without a moniker still tells that something changed.
    const CameraInfo info = moniker != nullptr ? CameraInfoFromMoniker(*moniker) : CameraInfo::Invalid;
    sdk->Notifications().Post(BuildNotificationEvent(*type, info, -1));
}

bool KpxLibTransport::MarkOpenCameraRemoved(const DeviceMoniker& moniker, int& cameraId)
{
    SingleLockGuard lock(m_cameraLock);
    for (auto& [id, entry] : m_cameras)
    {
        const DeviceMoniker& own = entry.camera->GetMoniker();
        bool match = false;
        switch (own.type)
        {
        case KpxTransport::kMonikerType_Usb:
            match = own == moniker;
            break;
        case KpxTransport::kMonikerType_Tcp:
            match = moniker.type == KpxTransport::kMonikerType_Tcp &&
                    own.tcp.address == moniker.tcp.address && own.tcp.port == moniker.tcp.port;
            break;
        default:
            SdkLog(2, "KpxLibTransport: Unhandled device-moniker-type: %u\n", own.type);
            break;
        }
        if (match)
        {
            entry.removed = true;
            cameraId = id;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- cameras

void KpxLibTransport::KpxCameraNotify(std::uint32_t notificationId, const void* data, int cameraId) noexcept
{
    const int logId = static_cast<int>(notificationId);
    if (m_deinitializing)
    {
        SdkLog(
            5,
            "KpxLibTransport::KpxCameraNotify: Sdk/KpxLibTransport not open - ignoring notification (%d)\n",
            logId);
        return;
    }
    Sdk* sdk = Sdk::GetInstance(false);
    if (sdk == nullptr)
    {
        SdkLog(1, "KpxLibTransport::KpxCameraNotify: Sdk not open - ignoring notification (%d)\n", logId);
        return;
    }
    try
    {
        NotificationList& list = sdk->Notifications();
        switch (notificationId)
        {
        case Camera::kNotify_DeviceDisconnected:
        {
            SdkLog(6, "KpxCameraNotify: kNotify_DeviceDisconnected on camera-id:  %d\n", cameraId);
            // Only an open id is reported and queued: a loss that the camera
            // finds in its own Close arrives after the close erased the id.
            // While the camera still opens, the open fails on it instead.
            // Both events are matched against the filters before the camera
            // lock (they may be the application's), put into the queues under
            // it, and logged after it.
            const std::shared_ptr<Camera> camera = FindCamera(cameraId);
            if (!camera)
            {
                return;
            }
            const NotificationList::Delivery disconnected =
                list.Match(BuildNotificationEvent(EventType::CameraDisconnected, cameraId, 0));
            const NotificationList::Delivery closed = list.Match(BuildNotificationEvent(
                SdkEventType::SdkCameraClosed, CameraInfoFromMoniker(camera->GetMoniker()), cameraId));
            bool queue = false;
            std::size_t disconnectedCount = 0;
            std::size_t closedCount = 0;
            {
                SingleLockGuard lock(m_cameraLock);
                const auto found = m_cameras.find(cameraId);
                if (found != m_cameras.end() && found->second.camera == camera && !found->second.disconnected)
                {
                    found->second.disconnected = true;
                    if (!found->second.opening)
                    {
                        found->second.named = true;
                        disconnectedCount = list.Deliver(disconnected);
                        closedCount = list.Deliver(closed);
                        queue = true;
                    }
                }
            }
            NotificationList::LogDelivered(disconnected, disconnectedCount);
            NotificationList::LogDelivered(closed, closedCount);
            if (queue)
            {
                {
                    const std::lock_guard<std::mutex> lock(m_helperMutex);
                    HelperJob job;
                    job.id = cameraId;
                    m_closeQueue.push_back(std::move(job));
                }
                m_helperWake.notify_all();
            }
            return;
        }
        case Camera::kNotify_PropertyAdded:
        case Camera::kNotify_PropertyRemoved:
        case Camera::kNotify_PropertyDescriptorChange:
        case Camera::kNotify_PropertyStateChange:
            break;
        default:
            SdkLog(6, "KpxCameraNotify: Unhandled KPX camera event id: %d\n", logId);
            return;
        }

        switch (notificationId)
        {
        case Camera::kNotify_PropertyAdded:
            SdkLog(6, "KpxCameraNotify: kNotify_PropertyAdded on camera-id:  %d\n", cameraId);
            break;
        case Camera::kNotify_PropertyRemoved:
            SdkLog(6, "KpxCameraNotify: kNotify_PropertyRemoved on camera-id:  %d\n", cameraId);
            break;
        case Camera::kNotify_PropertyDescriptorChange:
            SdkLog(6, "KpxCameraNotify: kNotify_PropertyDescriptorChange on camera-id:  %d\n", cameraId);
            break;
        default:
            break;
        }
        if (data == nullptr)
        {
            return;
        }
        // The ids belong to the camera and live during this call only.
        const auto& ids = *static_cast<const std::vector<unsigned int>*>(data);
        const bool removal = notificationId == Camera::kNotify_PropertyRemoved;
        const std::vector<std::uint32_t> kept = PropertyFilter(cameraId, ids, removal);
        if (kept.empty())
        {
            return;
        }
        // Matched first (the filters may be the application's), put into the
        // queues while the id is open, under the camera lock (nothing about a
        // camera comes after its close, and a failed open knows whether an
        // event named its id), logged after it.
        std::vector<NotificationList::Delivery> deliveries;
        deliveries.reserve(kept.size());
        for (const std::uint32_t id : kept)
        {
            switch (notificationId)
            {
            case Camera::kNotify_PropertyAdded:
                deliveries.push_back(
                    list.Match(BuildNotificationEvent(EventType::CameraPropertyAdded, cameraId, id)));
                break;
            case Camera::kNotify_PropertyRemoved:
                deliveries.push_back(
                    list.Match(BuildNotificationEvent(EventType::CameraPropertyRemoved, cameraId, id)));
                break;
            case Camera::kNotify_PropertyDescriptorChange:
                deliveries.push_back(list.Match(
                    BuildNotificationEvent(PropertyEventType::PropertySpecificationChange, cameraId, id)));
                break;
            default:
                deliveries.push_back(
                    list.Match(BuildNotificationEvent(PropertyEventType::PropertyValueChange, cameraId, id)));
                break;
            }
        }
        std::vector<std::size_t> counts(deliveries.size(), 0);
        {
            SingleLockGuard lock(m_cameraLock);
            const auto found = m_cameras.find(cameraId);
            if (found == m_cameras.end())
            {
                return;
            }
            found->second.named = true;
            for (std::size_t i = 0; i < deliveries.size(); ++i)
            {
                counts[i] = list.Deliver(deliveries[i]);
            }
        }
        for (std::size_t i = 0; i < deliveries.size(); ++i)
        {
            NotificationList::LogDelivered(deliveries[i], counts[i]);
        }
    }
    catch (const std::exception& error)
    {
        // The camera's thread goes on; the events of this notification are lost.
        SdkLog(1, "KpxLibTransport::KpxCameraNotify: notification (%d) failed: %s\n", logId, error.what());
    }
}

} // namespace Q7::TavrinC
