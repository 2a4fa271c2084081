#pragma once
// Handles on the images stored on a camera: one per entry of the camera's
// image list (GetImageEnumeration, and the payload of CameraImageAdded,
// CameraImageRemoved and CameraImageEdited). A handle names one image by the
// camera id and its image id; every operation goes to the flat function with
// those ids, so a handle neither keeps its camera open nor notices that it
// was closed (its requests then fail with -10).
//
// Handles never change: any thread may use one, also several threads at once.
// Each wait registers a listener of its own, registered before the request is
// sent and removed on every way out, and takes the first answer of its kind
// from that camera, whichever image it belongs to.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/ImageObjects.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Q7::Tavrin
{

/// The part of a full image a tile shows, in full-image pixels, scaled by
/// scale, in format.
struct TileRequest
{
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    float scale = 1.0F;
    ImageFormat format = ImageFormat::JPEG;
};

/// One image stored on the camera.
class TAVRIN_API IStoredImageHandle
{
public:
    IStoredImageHandle() = default;
    IStoredImageHandle(const IStoredImageHandle&) = delete;
    IStoredImageHandle& operator=(const IStoredImageHandle&) = delete;
    virtual ~IStoredImageHandle();

    /// The camera's id of the image.
    virtual std::uint32_t Id() const = 0;
    /// The list entry's attribute word, as the camera sent it.
    virtual std::uint32_t ItemWord() const = 0;
    /// The image's file name (at most 13 characters).
    virtual const std::string& FileName() const = 0;
    /// Where the camera stores the image: bit 0x1 host, 0x2 XQD, 0x4 SD, 0x8
    /// XQD JPEG, 0x10 SD JPEG.
    virtual std::uint8_t DeviceMask() const = 0;
    /// The mask's names joined by "+" ("Host+XqdJpeg"); "None" for 0;
    /// "Unknown device mask: <mask>" when no known bit is set.
    virtual std::string DeviceNames() const = 0;

    /// Asks for the basic information (CameraImageBasicImageInfo). The flat
    /// function's code.
    virtual ErrorCode RequestBasicInfo() const = 0;
    /// Asks for the basic information and waits up to timeoutMs (0: without
    /// limit) for the first answer from the camera; empty when none came, at
    /// once when the request failed or when the camera closes, loses its link
    /// or the SDK closes during the wait. Throws what the event's accessor
    /// throws. Blocks; not from the library's own threads (a callback), whose
    /// camera may be the one to answer.
    virtual std::shared_ptr<const IImageFileBasicInfo> GetBasicInfo(std::uint32_t timeoutMs) const = 0;
    /// Asks for the full image (CameraImageReady): true when the request went.
    virtual bool RequestImage() const = 0;
    /// Asks for a preview in format (JPEG, RGB24; any other: the camera's
    /// choice). The flat function's code.
    virtual ErrorCode RequestPreview(ImageFormat format) const = 0;
    /// As GetBasicInfo, for a preview.
    virtual std::shared_ptr<const IPreview> GetPreview(ImageFormat format, std::uint32_t timeoutMs) const = 0;
    /// Asks for a tile. The flat function's code.
    virtual ErrorCode RequestTile(const TileRequest& request) const = 0;
    /// As GetBasicInfo, for a tile.
    virtual std::shared_ptr<const ITile> GetTile(const TileRequest& request,
                                                 std::uint32_t timeoutMs) const = 0;
    /// Deletes the image on the camera (CameraImageRemoved follows).
    virtual ErrorCode Delete() const = 0;
    /// Rates the image with stars (more than 5 rate 5; CameraImageEdited follows).
    virtual ErrorCode Rate(std::uint32_t stars) const = 0;
};

} // namespace Q7::Tavrin
