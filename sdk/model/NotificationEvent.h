#pragma once
// The one implementation of INotificationEvent, its record, and the builders
// that only the library calls.

#include <TavrinCpp/NotificationEvent.h>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace Q7::Tavrin
{

/// The whole state of one event.
struct NotificationEventRecord
{
    /// The object an event carries. The index of each alternative is what the
    /// accessors test; the default is alternative 0 holding an empty pointer.
    using Payload =
        std::variant<std::shared_ptr<const IImageFileBasicInfo>, // CameraImageBasicImageInfo
                     std::shared_ptr<const IPreview>,            // CameraPreviewReady
                     std::shared_ptr<const ITile>,               // CameraTileReady
                     std::shared_ptr<const IStoredImageHandle>,  // CameraImageAdded, -Removed, -Edited
                     std::shared_ptr<const ILiveView>,           // CameraNewLiveViewImage
                     std::shared_ptr<const IFullImage>,          // CameraImageReady
                     CameraInfo>;                                // the four SdkCamera events

    Payload payload;
    std::int32_t cameraId = 0;                       ///< 0 without a camera; -1 for SDK events about none
    const BaseEventType* type = &EventType::Invalid; ///< never null; its address is its identity
    std::uint32_t id = 0;                            ///< the property id of a property event
    std::uint8_t transferProgress = 0;               ///< percent, for transfer events
    std::string text;                                ///< the file name of image-transfer events
    std::uint32_t value = 0;                         ///< always 0 as built here
};

/// An immutable event over its own record. Reentrant; every operation is const.
class NotificationEvent final : public INotificationEvent
{
public:
    /// Type Invalid, camera id 0, id 0, empty payload.
    NotificationEvent();
    explicit NotificationEvent(NotificationEventRecord record);
    NotificationEvent(NotificationEvent&& other) noexcept;
    ~NotificationEvent() override;

    bool operator==(const INotificationEvent& other) const override;
    bool operator!=(const INotificationEvent& other) const override;
    const BaseEventType& Type() const override;
    bool HasText() const override;
    std::uint32_t SubjectId() const override;
    bool HasCamera() const override;
    std::int32_t CameraId() const override;
    std::uint32_t Id() const override;
    bool IsCameraEvent() const override;
    bool IsSdkEvent() const override;
    bool IsPropertyEvent() const override;
    bool IsTransferEvent() const override;
    bool IsImageBufferEvent() const override;
    std::shared_ptr<const IImageFileBasicInfo> BasicInfo() const override;
    std::shared_ptr<const IPreview> Preview() const override;
    std::shared_ptr<const ITile> Tile() const override;
    std::shared_ptr<const ILiveView> LiveView() const override;
    std::shared_ptr<const IFullImage> FullImage() const override;
    std::shared_ptr<const IStoredImageHandle> StoredImage() const override;
    const CameraInfo& GetCameraInfo() const override;
    std::uint8_t TransferProgress() const override;
    std::string Text() const override;
    std::string Description() const override;
    std::uint32_t Value() const override;

private:
    const NotificationEventRecord& Record() const;

    std::unique_ptr<NotificationEventRecord> m_record; // null only after a move
};

/// The event of a finished record: how the builders below, and the image
/// events' payload builder, make events. Throws std::bad_alloc only.
/// Thread-safe.
std::shared_ptr<const INotificationEvent> BuildEventFromRecord(NotificationEventRecord record);

/// A file- or firmware-transfer event (FileTransferBegin ... FirmwareTransferError)
/// with its percent. Throws std::bad_alloc only. Thread-safe.
std::shared_ptr<const INotificationEvent>
BuildTransferProgressEvent(const BaseEventType& type, std::int32_t cameraId, std::uint8_t percent);

/// An image-transfer event (ImageTransferBegin, ImageTransferProgress) with its
/// percent and text. Throws std::bad_alloc only. Thread-safe.
std::shared_ptr<const INotificationEvent> BuildImageTransferEvent(const BaseEventType& type,
                                                                  std::int32_t cameraId, std::uint8_t percent,
                                                                  std::string text);

} // namespace Q7::Tavrin
