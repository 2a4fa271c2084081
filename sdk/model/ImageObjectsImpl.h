#pragma once
// The library's image objects: each wraps, without copying a pixel, the record
// in which a camera's agent delivered the image, and shares that record with
// every data pointer it hands out. Built complete by the payload builders
// (ImagePayloads.h) and never changed, so any thread may read them.

#include "Agents/ImageEnumeration/KPXImageEnumerationRecords.h"
#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Agents/ImageTransfer/KPXLiveViewImage.h"

#include <TavrinCpp/ImageObjects.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Q7::Tavrin
{

using KpxAssembleStatus = Q7::KPX::ImageEnumeration::AssembleStatus;
using KpxImageBuffer = Q7::KPX::ImageEnumeration::ImageBuffer;
using KpxBasicImageInfo = Q7::KPX::ImageEnumeration::BasicImageInfo;

/// "Unknown", "Preview", "Tile", "LiveView", "RVF"; "Unknown" for any other.
const char* ImageKindName(ImageKind kind) noexcept;
/// "None", "JPEG", "RGB24", "Auto", "RVF"; "Unknown" for any other.
const char* ImageFormatName(ImageFormat format) noexcept;

/// The error flags of a reply's status block: 0x101 without one; otherwise a
/// flag per failure code whose bits the status all carries (0x67000002 gives
/// 0x1, 0x67000004 0x2, ... 0x67001000 0x800).
std::uint32_t ImageErrorFlagsFromStatus(const KpxAssembleStatus* status) noexcept;

/// The image id and error status of a camera's reply, read from its status
/// block: the camera's status, the assembly error of this side (the block's
/// second word) and the image id the reply carried (its third).
class ImageFileCommonImpl : public virtual IImageFileCommon
{
public:
    /// status may be null (no reply status: an error); it must outlive the
    /// object.
    explicit ImageFileCommonImpl(const KpxAssembleStatus* status) noexcept;

    std::uint32_t ImageId() const override;
    bool HasError() const override;
    std::uint32_t ErrorFlags() const override;
    std::string ErrorsText() const override;

private:
    const KpxAssembleStatus* m_status; // not owned; null: no status came
    std::uint32_t m_errorFlags;
};

/// A preview or tile over the channel-3 record that carries it, which the
/// object and every pointer from Data() co-own.
class ImageEnumBuffer : public virtual IImageBufferFrame, public ImageFileCommonImpl
{
public:
    /// Throws std::invalid_argument for a null record.
    explicit ImageEnumBuffer(std::shared_ptr<const KpxImageBuffer> record);

    std::shared_ptr<const std::uint8_t> Data() const override;
    std::uint64_t Size() const override;
    ImageFormat Format() const override;
    ImageKind Kind() const override;
    const char* KindName() const override;
    const char* FormatName() const override;
    std::uint32_t Width() const override;
    std::uint32_t Height() const override;

protected:
    const KpxImageBuffer& Record() const noexcept { return *m_record; }

private:
    std::shared_ptr<const KpxImageBuffer> m_record; // never null
};

class PreviewImpl final : public IPreview, public ImageEnumBuffer
{
public:
    explicit PreviewImpl(std::shared_ptr<const KpxImageBuffer> record);
};

class TileImpl final : public ITile, public ImageEnumBuffer
{
public:
    explicit TileImpl(std::shared_ptr<const KpxImageBuffer> record);

    std::uint32_t GetSrcX() const override;
    std::uint32_t GetSrcY() const override;
    std::uint32_t GetSrcWidth() const override;
    std::uint32_t GetSrcHeight() const override;
    float ScaleFactor() const override;
};

/// A captured image in the image-transfer agent's pool buffer, which the
/// object and every pointer from Data() hold.
class FullImageImpl final : public IFullImage
{
public:
    /// Copies the package's id, name and size and holds its buffer once more;
    /// the package stays the caller's.
    explicit FullImageImpl(const Q7::KPX::ImageReceivePackage& package);

    std::shared_ptr<const std::uint8_t> Data() const override;
    std::uint64_t Size() const override;
    ImageFormat Format() const override;
    ImageKind Kind() const override;
    const char* KindName() const override;
    const char* FormatName() const override;
    std::string FileName() const override;
    /// The camera's data id of the transfer.
    std::uint32_t ImageId() const noexcept { return m_imageId; }

private:
    std::uint32_t m_imageId;
    std::string m_fileName;
    Q7::KPX::BufferPtr m_buffer; // one hold of the pool buffer, for the object's life
    std::uint32_t m_size;
};

/// A live-view frame in the live-view agent's pool buffer, which the object
/// and every pointer from Data() hold.
class LiveViewImpl final : public ILiveView
{
public:
    /// Throws std::invalid_argument for a null frame.
    explicit LiveViewImpl(std::shared_ptr<const Q7::KPX::LiveViewImage> frame);

    std::shared_ptr<const std::uint8_t> Data() const override;
    std::uint64_t Size() const override;
    /// RGB24 for format 1, JPEG for 0x10000, None for any other.
    ImageFormat Format() const override;
    ImageKind Kind() const override;
    const char* KindName() const override;
    const char* FormatName() const override;
    std::uint32_t Width() const override;
    std::uint32_t Height() const override;
    std::uint32_t HeaderWord38() const override;
    bool IsJpeg() const override;
    ValueRect SourceCrop() const override;
    ValueRect RequestedCrop() const override;
    ValueArea SourceArea() const override;

private:
    std::shared_ptr<const Q7::KPX::LiveViewImage> m_frame; // never null
};

/// The basic information of a stored image over its channel-3 record.
class ImageFileBasicInfoImpl final : public IImageFileBasicInfo, public ImageFileCommonImpl
{
public:
    /// Throws std::invalid_argument for a null record.
    explicit ImageFileBasicInfoImpl(std::shared_ptr<const KpxBasicImageInfo> record);

    float Aperture() const override;
    float Shutter() const override;
    float FocusPointX() const override;
    float FocusPointY() const override;
    float FocalLength() const override;
    std::uint32_t WbSetting() const override;
    std::uint32_t Compression() const override;
    std::int32_t Orientation() const override;
    std::uint32_t ImagePixelWidth() const override;
    std::uint32_t ImagePixelHeight() const override;
    std::uint32_t Iso() const override;
    std::uint32_t Rating() const override;
    std::uint32_t TimeStamp() const override;
    std::uint32_t ImageSize() const override;
    /// The 16-byte name field up to its first zero byte, all 16 without one.
    std::string FileName() const override;
    std::string Table() const override;

private:
    std::shared_ptr<const KpxBasicImageInfo> m_record; // never null
};

} // namespace Q7::Tavrin
