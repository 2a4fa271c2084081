#pragma once
// The library's stored-image handles: the camera's list entry of one image and
// the camera id, with the operations that go to the flat functions, and the
// pure mappings they use.

#include "Agents/ImageEnumeration/KPXImageEnumerationMessages.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/StoredImageHandle.h>
#include <TavrinCpp/TavrinC.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Q7::Tavrin
{

using KpxImageListItem = Q7::KPX::ImageEnumeration::ImageListItem;

/// The names of a device mask's bits, in the order 0x1 "Host", 0x2 "Xqd", 0x4
/// "Sd", 0x8 "XqdJpeg", 0x10 "SdJpeg", joined by "+"; "None" for 0; "Unknown
/// device mask: <mask>" when none of these bits is set. Reentrant.
std::string DeviceMaskNames(std::uint8_t mask);

/// The request's format code of an image format: JPEG 2, RGB24 4, any other 1
/// (the camera's choice). Reentrant.
std::uint32_t RequestFormatCode(ImageFormat format) noexcept;

/// A preview request of the image: its id, scale 1.0, the format's code and
/// 100 in the last field; the rest 0. Reentrant.
Q7::TavrinC::ImageBufferRequestInfo PreviewRequestInfo(std::uint32_t imageId, ImageFormat format) noexcept;

/// A tile request of the image: its id, height, width, 0, 0, x, y, scale, the
/// format's code and 100. Reentrant.
Q7::TavrinC::ImageBufferRequestInfo TileRequestInfo(std::uint32_t imageId,
                                                    const TileRequest& request) noexcept;

/// A listener of its own for the answers of one camera: registered, with the
/// prototype of each event type enabled, for as long as the object lives. It
/// also hears the camera's end (SdkCameraClosed, CameraDisconnected), which
/// ends a wait without an answer.
class ImageRequestWaiter
{
public:
    /// Registers the listener and enables each type, and the camera's end, for
    /// the camera. When the registration fails nothing is left; when an
    /// enabling fails the listener is removed again. Ready tells whether both
    /// succeeded. Never throws but std::bad_alloc.
    ImageRequestWaiter(std::int32_t cameraId, std::initializer_list<const BaseEventType*> types);
    /// Removes the listener when this object registered it.
    ~ImageRequestWaiter();

    ImageRequestWaiter(const ImageRequestWaiter&) = delete;
    ImageRequestWaiter& operator=(const ImageRequestWaiter&) = delete;

    /// The listener is registered and listens to every type.
    bool Ready() const noexcept { return m_ready; }
    /// The first event of the types that came within timeoutMs (0: without
    /// limit); null when none came, and at once when the camera closes or
    /// loses its link or the SDK closes (the wake-up is no answer).
    std::shared_ptr<const INotificationEvent> Wait(std::uint32_t timeoutMs);

private:
    std::vector<const BaseEventType*> m_types;
    std::uint32_t m_listenerId = 0;
    std::int32_t m_cameraId = 0;
    bool m_registered = false;
    bool m_ready = false;
};

/// One image stored on the camera.
class StoredImageHandleImpl final : public IStoredImageHandle
{
public:
    /// A handle on a copy of item (from the camera's image list).
    StoredImageHandleImpl(const KpxImageListItem& item, std::int32_t cameraId);
    /// A handle that shares item with the notification it came in.
    StoredImageHandleImpl(std::shared_ptr<const KpxImageListItem> item, std::int32_t cameraId);
    ~StoredImageHandleImpl() override;

    std::uint32_t Id() const override;
    std::uint32_t ItemWord() const override;
    const std::string& FileName() const override;
    std::uint8_t DeviceMask() const override;
    std::string DeviceNames() const override;
    ErrorCode RequestBasicInfo() const override;
    std::shared_ptr<const IImageFileBasicInfo> GetBasicInfo(std::uint32_t timeoutMs) const override;
    bool RequestImage() const override;
    ErrorCode RequestPreview(ImageFormat format) const override;
    std::shared_ptr<const IPreview> GetPreview(ImageFormat format, std::uint32_t timeoutMs) const override;
    ErrorCode RequestTile(const TileRequest& request) const override;
    std::shared_ptr<const ITile> GetTile(const TileRequest& request, std::uint32_t timeoutMs) const override;
    ErrorCode Delete() const override;
    ErrorCode Rate(std::uint32_t stars) const override;

    std::int32_t CameraId() const noexcept { return m_cameraId; }

private:
    // Registers for the answer of type, sends the request, and waits for the
    // answer unless the registration or the request failed.
    template <typename Request>
    std::shared_ptr<const INotificationEvent> Await(const BaseEventType& type, std::uint32_t timeoutMs,
                                                    Request&& request) const;

    std::shared_ptr<const KpxImageListItem> m_item; // never null
    std::string m_fileName;
    std::int32_t m_cameraId = 0;
};

} // namespace Q7::Tavrin
