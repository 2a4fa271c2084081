#include "ImagePayloads.h"

#include "ImageObjectsImpl.h"
#include "StoredImageHandleImpl.h"

#include <TavrinCpp/Errors.h>

#include <utility>

namespace Q7::Tavrin
{

namespace
{

template <typename Record>
std::shared_ptr<const Record> As(const std::shared_ptr<const void>& payload)
{
    return std::static_pointer_cast<const Record>(payload);
}

} // namespace

void MakeNotificationPayload(NotificationEventRecord& record, const std::shared_ptr<const void>& payload)
{
    if (payload == nullptr)
    {
        return;
    }
    const BaseEventType& type = *record.type;
    if (type == EventType::CameraImageBasicImageInfo)
    {
        record.payload = std::shared_ptr<const IImageFileBasicInfo>(
            std::make_shared<const ImageFileBasicInfoImpl>(As<KpxBasicImageInfo>(payload)));
    }
    else if (type == EventType::CameraPreviewReady)
    {
        record.payload =
            std::shared_ptr<const IPreview>(std::make_shared<const PreviewImpl>(As<KpxImageBuffer>(payload)));
    }
    else if (type == EventType::CameraTileReady)
    {
        record.payload =
            std::shared_ptr<const ITile>(std::make_shared<const TileImpl>(As<KpxImageBuffer>(payload)));
    }
    else if (type == EventType::CameraImageAdded || type == EventType::CameraImageRemoved ||
             type == EventType::CameraImageEdited)
    {
        record.payload = std::shared_ptr<const IStoredImageHandle>(
            std::make_shared<const StoredImageHandleImpl>(As<KpxImageListItem>(payload), record.cameraId));
    }
    else
    {
        throw SdkException("Unhandled notification event type!", GeneralError);
    }
}

std::shared_ptr<const INotificationEvent> BuildImageEvent(const BaseEventType& type, std::int32_t cameraId,
                                                          const std::shared_ptr<const void>& payload)
{
    NotificationEventRecord record;
    record.type = &type;
    record.cameraId = cameraId;
    MakeNotificationPayload(record, payload);
    return BuildEventFromRecord(std::move(record));
}

std::shared_ptr<const INotificationEvent> BuildFullImageEvent(std::int32_t cameraId,
                                                              const Q7::KPX::ImageReceivePackage& package)
{
    NotificationEventRecord record;
    record.type = &EventType::CameraImageReady;
    record.cameraId = cameraId;
    record.payload = std::shared_ptr<const IFullImage>(std::make_shared<const FullImageImpl>(package));
    return BuildEventFromRecord(std::move(record));
}

} // namespace Q7::Tavrin
