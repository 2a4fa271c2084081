#pragma once
// Event types: the fixed set of process-wide constants that name the kind of a
// notification. A listener enables notifications by passing a constant, and
// every event points at one.
//
// Event types are compared by identity: two are equal only when they are the
// same constant object. The constants live in the library, are built when it
// loads and destroyed when the process ends; nothing else creates event types.
// They are immutable, so any thread may read and compare them without a lock
// (but not before the library's initialisers or after its exit-time
// destructors).

#include <TavrinCpp/Config.h>

#include <cstdint>
#include <iosfwd>
#include <string>

namespace Q7::Tavrin
{

/// Base of the three event-type classes. Passed by reference or pointer only.
class TAVRIN_API BaseEventType
{
public:
    /// What an event type is about.
    enum Category : std::uint32_t
    {
        InvalidCategory = 0,     ///< the constant EventType::Invalid
        CameraCategory = 1,      ///< events of one open camera
        SdkCategory = 2,         ///< SDK-wide events (SdkEventType)
        PropertyCategory = 3,    ///< property changes (PropertyEventType)
        TransferCategory = 4,    ///< progress and outcome of image, firmware and file transfers
        ImageBufferCategory = 5, ///< previews, tiles and basic information of stored images
    };

    /// Does nothing: it only makes the class polymorphic.
    virtual void dummy() const;
    virtual ~BaseEventType();

    BaseEventType(const BaseEventType&) = delete;
    BaseEventType& operator=(const BaseEventType&) = delete;

    /// True exactly when other is this very constant; id, name and category take
    /// no part.
    bool operator==(const BaseEventType& other) const noexcept { return this == &other; }
    /// The negation of operator==.
    bool operator!=(const BaseEventType& other) const noexcept { return this != &other; }

    const std::uint32_t id; ///< unique across the three classes
    const std::string name; ///< the constant's member name, e.g. "CameraImageReady"
    const Category category;

protected:
    BaseEventType(std::uint32_t typeId, std::string typeName, Category typeCategory);
};

/// Camera, transfer and image-buffer events, and Invalid.
class TAVRIN_API EventType final : public BaseEventType
{
public:
    ~EventType() override;

    static const EventType Invalid;                   ///< 0, category 0
    static const EventType ImageTransferBegin;        ///< 1, category 4
    static const EventType ImageTransferProgress;     ///< 2, category 4
    static const EventType CameraImageReady;          ///< 3, category 1
    static const EventType CameraDisconnected;        ///< 4, category 1
    static const EventType CameraLiveViewStarted;     ///< 5, category 1
    static const EventType CameraLiveViewStopped;     ///< 6, category 1
    static const EventType CameraNewLiveViewImage;    ///< 7, category 1
    static const EventType CameraPropertyAdded;       ///< 8, category 1
    static const EventType CameraPropertyRemoved;     ///< 9, category 1
    static const EventType CameraImageAdded;          ///< 10, category 1
    static const EventType CameraImageRemoved;        ///< 11, category 1
    static const EventType CameraImageEdited;         ///< 12, category 1
    static const EventType CameraImageNewList;        ///< 13, category 1
    static const EventType CameraPreviewReady;        ///< 14, category 5
    static const EventType CameraTileReady;           ///< 15, category 5
    static const EventType CameraImageBasicImageInfo; ///< 16, category 5
    static const EventType FirmwareTransferBegin;     ///< 17, category 4
    static const EventType FirmwareTransferProgress;  ///< 18, category 4
    static const EventType FirmwareTransferDone;      ///< 19, category 4
    static const EventType FirmwareTransferError;     ///< 20, category 4
    static const EventType FileTransferBegin;         ///< 21, category 4
    static const EventType FileTransferProgress;      ///< 22, category 4
    static const EventType FileTransferDone;          ///< 23, category 4
    static const EventType FileTransferError;         ///< 24, category 4

private:
    EventType(std::uint32_t typeId, std::string typeName, Category typeCategory);
};

/// Property changes; category PropertyCategory.
class TAVRIN_API PropertyEventType final : public BaseEventType
{
public:
    ~PropertyEventType() override;

    static const PropertyEventType PropertyValueChange;         ///< 1000
    static const PropertyEventType PropertySpecificationChange; ///< 1001

private:
    PropertyEventType(std::uint32_t typeId, std::string typeName);
};

/// SDK-wide events; category SdkCategory.
class TAVRIN_API SdkEventType final : public BaseEventType
{
public:
    ~SdkEventType() override;

    static const SdkEventType SdkWakeUp;        ///< 25: a waiting thread was woken
    static const SdkEventType SdkCameraFound;   ///< 26
    static const SdkEventType SdkCameraRemoved; ///< 27
    static const SdkEventType SdkCameraOpened;  ///< 28
    static const SdkEventType SdkCameraClosed;  ///< 29

private:
    SdkEventType(std::uint32_t typeId, std::string typeName);
};

/// Writes type.name.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const BaseEventType& type);

} // namespace Q7::Tavrin
