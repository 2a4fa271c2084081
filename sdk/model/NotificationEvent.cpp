#include "NotificationEvent.h"

#include "SdkLog.h"
#include "TextStream.h"

#include <TavrinCpp/Errors.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>

namespace Q7::Tavrin
{

namespace
{

using Payload = NotificationEventRecord::Payload;

// The payload of alternative Index, for the accessor called name that is
// allowed on the given event types only.
template <std::size_t Index>
const std::variant_alternative_t<Index, Payload>&
GetNotificationPayload(const NotificationEventRecord& record, const char* name,
                       std::initializer_list<const BaseEventType*> allowed)
{
    if (std::find(allowed.begin(), allowed.end(), record.type) == allowed.end())
    {
        throw SdkException(("This event type does not contain " + std::string(name)).c_str(),
                           EventDataNotAvailable);
    }
    if (record.payload.index() != Index)
    {
        throw SdkException((std::string(name) + " is missing").c_str(), InternalStateError);
    }
    return std::get<Index>(record.payload);
}

// ", with subtype Preview, imageId = 12, WxH = 640x480, Format JPEG"
template <typename Image>
void DescribeImageBuffer(Detail::TextStream& text, const std::shared_ptr<const Image>& image)
{
    if (image == nullptr)
    {
        return;
    }
    text << ", with subtype " << image->KindName() << ", imageId = " << image->ImageId()
         << ", WxH = " << image->Width() << "x" << image->Height() << ", Format " << image->FormatName();
}

} // namespace

NotificationEvent::NotificationEvent() : m_record(std::make_unique<NotificationEventRecord>()) {}

NotificationEvent::NotificationEvent(NotificationEventRecord record)
    : m_record(std::make_unique<NotificationEventRecord>(std::move(record)))
{
}

NotificationEvent::NotificationEvent(NotificationEvent&& other) noexcept = default;

NotificationEvent::~NotificationEvent() = default;

const NotificationEventRecord& NotificationEvent::Record() const
{
    if (m_record == nullptr)
    {
        throw SdkException("The notification event was moved from", InternalStateError);
    }
    return *m_record;
}

bool NotificationEvent::operator==(const INotificationEvent& other) const
{
    // Decided by this event, the prototype: a camera and a property id narrow
    // the match only when the prototype has them.
    if (Type() != other.Type())
    {
        return false;
    }
    if (HasCamera() && CameraId() != other.CameraId())
    {
        return false;
    }
    return !IsPropertyEvent() || Id() == other.Id();
}

bool NotificationEvent::operator!=(const INotificationEvent& other) const
{
    return !(*this == other);
}

const BaseEventType& NotificationEvent::Type() const
{
    return *Record().type;
}

bool NotificationEvent::HasText() const
{
    return !Record().text.empty();
}

std::uint32_t NotificationEvent::SubjectId() const
{
    return Record().id;
}

bool NotificationEvent::HasCamera() const
{
    return Record().cameraId > 0;
}

std::int32_t NotificationEvent::CameraId() const
{
    return Record().cameraId;
}

std::uint32_t NotificationEvent::Id() const
{
    return Record().id;
}

bool NotificationEvent::IsCameraEvent() const
{
    return Type().category == BaseEventType::CameraCategory;
}

bool NotificationEvent::IsSdkEvent() const
{
    return Type().category == BaseEventType::SdkCategory;
}

bool NotificationEvent::IsPropertyEvent() const
{
    return Type().category == BaseEventType::PropertyCategory;
}

bool NotificationEvent::IsTransferEvent() const
{
    return Type().category == BaseEventType::TransferCategory;
}

bool NotificationEvent::IsImageBufferEvent() const
{
    return Type().category == BaseEventType::ImageBufferCategory;
}

std::shared_ptr<const IImageFileBasicInfo> NotificationEvent::BasicInfo() const
{
    return GetNotificationPayload<0>(Record(), "Basic image info", {&EventType::CameraImageBasicImageInfo});
}

std::shared_ptr<const IPreview> NotificationEvent::Preview() const
{
    return GetNotificationPayload<1>(Record(), "Preview", {&EventType::CameraPreviewReady});
}

std::shared_ptr<const ITile> NotificationEvent::Tile() const
{
    return GetNotificationPayload<2>(Record(), "Tile", {&EventType::CameraTileReady});
}

std::shared_ptr<const ILiveView> NotificationEvent::LiveView() const
{
    return GetNotificationPayload<4>(Record(), "LiveView", {&EventType::CameraNewLiveViewImage});
}

std::shared_ptr<const IFullImage> NotificationEvent::FullImage() const
{
    return GetNotificationPayload<5>(Record(), "Full Image", {&EventType::CameraImageReady});
}

std::shared_ptr<const IStoredImageHandle> NotificationEvent::StoredImage() const
{
    return GetNotificationPayload<3>(
        Record(), "An image list item",
        {&EventType::CameraImageAdded, &EventType::CameraImageRemoved, &EventType::CameraImageEdited});
}

const CameraInfo& NotificationEvent::GetCameraInfo() const
{
    return GetNotificationPayload<6>(Record(), "CameraInfo",
                                     {&SdkEventType::SdkCameraFound, &SdkEventType::SdkCameraRemoved,
                                      &SdkEventType::SdkCameraOpened, &SdkEventType::SdkCameraClosed});
}

std::uint8_t NotificationEvent::TransferProgress() const
{
    if (!IsTransferEvent())
    {
        throw SdkException("This event type does not contain transfer progress data", EventDataNotAvailable);
    }
    return Record().transferProgress;
}

std::string NotificationEvent::Text() const
{
    return Record().text;
}

std::string NotificationEvent::Description() const
{
    const NotificationEventRecord& record = Record();
    const BaseEventType& type = *record.type;
    Detail::TextStream text;
    text << "Notification " << type.name;
    if (HasCamera())
    {
        text << ", CamId: " << record.cameraId;
    }
    if (IsPropertyEvent() || type == EventType::CameraPropertyAdded ||
        type == EventType::CameraPropertyRemoved)
    {
        text << " for property id: " << record.id;
    }
    else if (IsSdkEvent())
    {
        if (const CameraInfo* info = std::get_if<CameraInfo>(&record.payload))
        {
            text << ": " << info->name << "(" << info->serialNumber << ")";
            if (info->connection == TetherConnection::Usb)
            {
                text << " [USB]";
            }
            else
            {
                text << " [IP: " << info->address << "]";
            }
        }
        else
        {
            text << " [SDK event without CameraInfo]";
        }
    }
    else if (IsCameraEvent())
    {
        if (type == EventType::CameraImageReady)
        {
            text << ", " << record.text;
        }
    }
    else if (IsTransferEvent())
    {
        text << ", " << record.text << " " << static_cast<unsigned int>(record.transferProgress) << "%";
    }
    else if (IsImageBufferEvent())
    {
        if (type == EventType::CameraPreviewReady)
        {
            DescribeImageBuffer(text, Preview());
        }
        else if (type == EventType::CameraTileReady)
        {
            DescribeImageBuffer(text, Tile());
        }
        else if (type == EventType::CameraImageBasicImageInfo)
        {
            // A basic-information event built without information (the
            // prototypes of the stored-image waits) has nothing to show.
            if (const std::shared_ptr<const IImageFileBasicInfo> info = BasicInfo())
            {
                text << info->Table();
            }
        }
    }
    else
    {
        Q7::TavrinC::SdkLog(2, "Notification %s, has unhandled category (image, transfer, property, etc)",
                            type.name.c_str());
        text << ", with unhandled category";
    }
    return text.str();
}

std::uint32_t NotificationEvent::Value() const
{
    return Record().value;
}

INotificationEvent::~INotificationEvent() = default;

namespace
{

// A record of type for the camera, everything else as by default.
NotificationEventRecord MakeRecord(const BaseEventType& type, std::int32_t cameraId)
{
    NotificationEventRecord record;
    record.type = &type;
    record.cameraId = cameraId;
    return record;
}

} // namespace

std::shared_ptr<const INotificationEvent> BuildEventFromRecord(NotificationEventRecord record)
{
    return std::make_shared<const NotificationEvent>(std::move(record));
}

std::shared_ptr<const INotificationEvent> BuildNotificationEvent(const BaseEventType& type,
                                                                 std::int32_t cameraId, std::uint32_t id)
{
    NotificationEventRecord record = MakeRecord(type, cameraId);
    record.id = id;
    return BuildEventFromRecord(std::move(record));
}

std::shared_ptr<const INotificationEvent>
BuildNotificationEvent(const PropertyEventType& type, std::int32_t cameraId, std::uint32_t propertyId)
{
    return BuildNotificationEvent(static_cast<const BaseEventType&>(type), cameraId, propertyId);
}

std::shared_ptr<const INotificationEvent>
BuildNotificationEvent(const SdkEventType& type, const CameraInfo& info, std::int32_t cameraId)
{
    NotificationEventRecord record = MakeRecord(type, cameraId);
    record.payload = info;
    return BuildEventFromRecord(std::move(record));
}

std::shared_ptr<const INotificationEvent>
BuildTransferProgressEvent(const BaseEventType& type, std::int32_t cameraId, std::uint8_t percent)
{
    NotificationEventRecord record = MakeRecord(type, cameraId);
    record.transferProgress = percent;
    return BuildEventFromRecord(std::move(record));
}

std::shared_ptr<const INotificationEvent> BuildImageTransferEvent(const BaseEventType& type,
                                                                  std::int32_t cameraId, std::uint8_t percent,
                                                                  std::string text)
{
    NotificationEventRecord record = MakeRecord(type, cameraId);
    record.transferProgress = percent;
    record.text = std::move(text);
    return BuildEventFromRecord(std::move(record));
}

} // namespace Q7::Tavrin
