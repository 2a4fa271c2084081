#pragma once
// Notification events: what a listener receives (camera and SDK events,
// property changes, transfer progress, arrived images), and the prototypes with
// which a listener enables or disables a kind of notification.
//
// An event is immutable once built and travels as
// std::shared_ptr<const INotificationEvent>, shared by every listener that
// receives it; any thread may read it. The image objects it carries live as
// long as the event or any pointer taken from it.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Descriptions.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/ImageObjects.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Q7::Tavrin
{

/// One notification, or a prototype of one.
class TAVRIN_API INotificationEvent
{
public:
    INotificationEvent() = default;
    INotificationEvent(const INotificationEvent&) = default;
    INotificationEvent& operator=(const INotificationEvent&) = default;
    virtual ~INotificationEvent();

    /// Whether other is an event this one, as a prototype, asks for: the same
    /// event type; when this one has a camera, the same camera id (a prototype
    /// with camera id 0 or -1 matches every camera); for a property event, the
    /// same property id. Not symmetric: a == b and b == a can differ.
    virtual bool operator==(const INotificationEvent& other) const = 0;
    /// The negation of operator==.
    virtual bool operator!=(const INotificationEvent& other) const = 0;

    /// The event type constant.
    virtual const BaseEventType& Type() const = 0;
    /// Text() is not empty.
    virtual bool HasText() const = 0;
    /// Same as Id().
    virtual std::uint32_t SubjectId() const = 0;
    /// CameraId() > 0.
    virtual bool HasCamera() const = 0;
    /// The camera concerned; 0 when built without one, -1 for SDK events that
    /// concern no open camera.
    virtual std::int32_t CameraId() const = 0;
    /// The property id of a property event; 0 otherwise.
    virtual std::uint32_t Id() const = 0;
    /// The type's category is CameraCategory (likewise the next four).
    virtual bool IsCameraEvent() const = 0;
    virtual bool IsSdkEvent() const = 0;
    virtual bool IsPropertyEvent() const = 0;
    virtual bool IsTransferEvent() const = 0;
    virtual bool IsImageBufferEvent() const = 0;

    // The payload accessors. Each throws SdkException -47 "This event type does
    // not contain " + its name when the event is of another type, and -42
    // name + " is missing" when the event carries no such object. An event of
    // type CameraImageBasicImageInfo without information gives an empty pointer.

    /// CameraImageBasicImageInfo; name "Basic image info".
    virtual std::shared_ptr<const IImageFileBasicInfo> BasicInfo() const = 0;
    /// CameraPreviewReady; name "Preview".
    virtual std::shared_ptr<const IPreview> Preview() const = 0;
    /// CameraTileReady; name "Tile".
    virtual std::shared_ptr<const ITile> Tile() const = 0;
    /// CameraNewLiveViewImage; name "LiveView".
    virtual std::shared_ptr<const ILiveView> LiveView() const = 0;
    /// CameraImageReady; name "Full Image".
    virtual std::shared_ptr<const IFullImage> FullImage() const = 0;
    /// CameraImageAdded, CameraImageRemoved, CameraImageEdited; name "An image
    /// list item".
    virtual std::shared_ptr<const IStoredImageHandle> StoredImage() const = 0;
    /// The four SdkCamera events; name "CameraInfo". Valid while the event lives.
    virtual const CameraInfo& GetCameraInfo() const = 0;

    /// Percent of a transfer event. Throws SdkException -47 "This event type
    /// does not contain transfer progress data" for any other category.
    virtual std::uint8_t TransferProgress() const = 0;
    /// The free text (the file name of an image-transfer progress event).
    virtual std::string Text() const = 0;
    /// One line about the event, e.g. "Notification FileTransferDone, CamId: 3,
    /// 100%" or "Notification SdkCameraFound: name(serial) [IP: address]". For a
    /// preview, tile or basic-information event it reads the payload and throws
    /// what the accessor (or the basic information's Table) throws.
    virtual std::string Description() const = 0;
    /// Always 0 for the events the library builds.
    virtual std::uint32_t Value() const = 0;
};

/// A plain event, or a prototype for enabling notifications: type, camera id (0
/// for every camera) and id (the property id of a property event, else 0).
/// Throws std::bad_alloc only. Thread-safe.
TAVRIN_API std::shared_ptr<const INotificationEvent>
BuildNotificationEvent(const BaseEventType& type, std::int32_t cameraId, std::uint32_t id);

/// A property event or prototype for the property propertyId. Throws
/// std::bad_alloc only. Thread-safe.
TAVRIN_API std::shared_ptr<const INotificationEvent>
BuildNotificationEvent(const PropertyEventType& type, std::int32_t cameraId, std::uint32_t propertyId);

/// An SDK event carrying a copy of info; cameraId -1 when no open camera is
/// concerned. Throws std::bad_alloc only. Thread-safe.
TAVRIN_API std::shared_ptr<const INotificationEvent>
BuildNotificationEvent(const SdkEventType& type, const CameraInfo& info, std::int32_t cameraId);

} // namespace Q7::Tavrin
