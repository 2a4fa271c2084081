#pragma once
// Images as notification events carry them: a full captured image, a live-view
// frame, a preview or a tile of an image stored on the camera, and the basic
// information of a stored image.
//
// Each is a read-only object behind the interfaces below, built by the library
// and shared through std::shared_ptr: it lives as long as the event or any
// pointer the application took from it. No pixels are copied: a full image or a
// live-view frame keeps one of the camera's two receive buffers per kind for as
// long as the object, or a pointer from Data(), lives, so keep them only as long
// as needed. The objects never change, so any thread may read them.
//
// The stream printers at the end write the diagnostic text of each kind.

#include <TavrinCpp/Config.h>
#include <TavrinCpp/PropertyValue.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

namespace Q7::Tavrin
{

/// The encoding of image bytes.
enum class ImageFormat : std::uint32_t
{
    None = 0,
    JPEG = 1,
    RGB24 = 2,
    Auto = 3,
    RVF = 4, ///< the camera's raw file
};

/// What an image object is.
enum class ImageKind : std::uint32_t
{
    Unknown = 0,
    Preview = 1,
    Tile = 2,
    LiveView = 3,
    RVF = 4, ///< a full image
};

/// Bytes of an image.
class TAVRIN_API IImageBuffer
{
public:
    IImageBuffer() = default;
    IImageBuffer(const IImageBuffer&) = default;
    IImageBuffer& operator=(const IImageBuffer&) = default;
    virtual ~IImageBuffer();

    /// The image bytes. The pointer owns what it points at: the bytes stay
    /// valid as long as the pointer (or a copy) is kept, also after the object
    /// and its event are gone. For a full image or live-view frame it holds the
    /// camera's receive buffer until then.
    virtual std::shared_ptr<const std::uint8_t> Data() const = 0;
    /// Number of bytes at Data().
    virtual std::uint64_t Size() const = 0;
    virtual ImageFormat Format() const = 0;
    virtual ImageKind Kind() const = 0;
    /// "Unknown", "Preview", "Tile", "LiveView" or "RVF": the name of Kind().
    virtual const char* KindName() const = 0;
    /// "None", "JPEG", "RGB24", "Auto", "RVF" or "Unknown": the name of Format().
    virtual const char* FormatName() const = 0;
};

/// Bytes of an image with a size in pixels.
class TAVRIN_API IImageBufferFrame : public virtual IImageBuffer
{
public:
    IImageBufferFrame() = default;
    IImageBufferFrame(const IImageBufferFrame&) = default;
    IImageBufferFrame& operator=(const IImageBufferFrame&) = default;
    ~IImageBufferFrame() override;

    virtual std::uint32_t Width() const = 0;
    virtual std::uint32_t Height() const = 0;
};

/// The stored image an answer of the camera is about, and the camera's error
/// status of that answer.
class TAVRIN_API IImageFileCommon
{
public:
    IImageFileCommon() = default;
    IImageFileCommon(const IImageFileCommon&) = default;
    IImageFileCommon& operator=(const IImageFileCommon&) = default;
    virtual ~IImageFileCommon();

    virtual std::uint32_t ImageId() const = 0;
    /// True when the camera reported a failure (or no status came).
    virtual bool HasError() const = 0;
    virtual std::uint32_t ErrorFlags() const = 0;
    /// "Errors:\n" and one line per failure; empty without an error.
    virtual std::string ErrorsText() const = 0;
};

/// A captured image as the camera sent it.
class TAVRIN_API IFullImage : public virtual IImageBuffer
{
public:
    IFullImage() = default;
    IFullImage(const IFullImage&) = default;
    IFullImage& operator=(const IFullImage&) = default;
    ~IFullImage() override;

    virtual std::string FileName() const = 0;
};

/// A preview of a stored image.
class TAVRIN_API IPreview : public virtual IImageBufferFrame,
                            public virtual IImageBuffer,
                            public virtual IImageFileCommon
{
public:
    IPreview() = default;
    IPreview(const IPreview&) = default;
    IPreview& operator=(const IPreview&) = default;
    ~IPreview() override;
};

/// A part of a stored image at some scale.
class TAVRIN_API ITile : public virtual IImageBufferFrame,
                         public virtual IImageBuffer,
                         public virtual IImageFileCommon
{
public:
    ITile() = default;
    ITile(const ITile&) = default;
    ITile& operator=(const ITile&) = default;
    ~ITile() override;

    /// The part of the full image the tile shows, in full-image pixels.
    virtual std::uint32_t GetSrcX() const = 0;
    virtual std::uint32_t GetSrcY() const = 0;
    virtual std::uint32_t GetSrcWidth() const = 0;
    virtual std::uint32_t GetSrcHeight() const = 0;
    virtual float ScaleFactor() const = 0;
};

/// One live-view frame.
class TAVRIN_API ILiveView : public virtual IImageBufferFrame, public virtual IImageBuffer
{
public:
    ILiveView() = default;
    ILiveView(const ILiveView&) = default;
    ILiveView& operator=(const ILiveView&) = default;
    ~ILiveView() override;

    virtual std::uint32_t HeaderWord38() const = 0;
    virtual bool IsJpeg() const = 0;
    virtual ValueRect SourceCrop() const = 0;
    virtual ValueRect RequestedCrop() const = 0;
    virtual ValueArea SourceArea() const = 0;
};

/// The basic information of a stored image.
class TAVRIN_API IImageFileBasicInfo : public virtual IImageFileCommon
{
public:
    IImageFileBasicInfo() = default;
    IImageFileBasicInfo(const IImageFileBasicInfo&) = default;
    IImageFileBasicInfo& operator=(const IImageFileBasicInfo&) = default;
    ~IImageFileBasicInfo() override;

    virtual float Aperture() const = 0; ///< APEX value
    virtual float Shutter() const = 0;  ///< APEX value
    virtual float FocusPointX() const = 0;
    virtual float FocusPointY() const = 0;
    virtual float FocalLength() const = 0; ///< millimetres
    virtual std::uint32_t WbSetting() const = 0;
    virtual std::uint32_t Compression() const = 0;
    virtual std::int32_t Orientation() const = 0; ///< degrees: 0, 90, 180 or -90
    virtual std::uint32_t ImagePixelWidth() const = 0;
    virtual std::uint32_t ImagePixelHeight() const = 0;
    virtual std::uint32_t Iso() const = 0;
    virtual std::uint32_t Rating() const = 0;    ///< stars, 0 to 5
    virtual std::uint32_t TimeStamp() const = 0; ///< seconds since 1970-01-01
    virtual std::uint32_t ImageSize() const = 0; ///< file size in bytes
    virtual std::string FileName() const = 0;
    /// Every field as a boxed table, one row each. Throws std::out_of_range for a
    /// white-balance, compression, orientation or rating code without a name.
    virtual std::string Table() const = 0;
};

/// One image stored on the camera.
class IStoredImageHandle;

/// What the camera allows for image requests. Instances live in shared
/// pointers made for the implementing class, never deleted through this
/// interface.
class TAVRIN_API ICameraCapabilities
{
public:
    /// The largest number of pixels a tile request may cover.
    virtual std::uint32_t MaxPixelsPerTile() const = 0;

protected:
    ICameraCapabilities() = default;
    ICameraCapabilities(const ICameraCapabilities&) = default;
    ICameraCapabilities& operator=(const ICameraCapabilities&) = default;
    ~ICameraCapabilities() = default;
};

// Diagnostic texts. Each writes the lines below (without a final line break
// unless stated) and throws what the stream and the accessors throw.

/// "Camera capabilities:\n" "Max no of pixels per tile: <n>".
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ICameraCapabilities& capabilities);
/// "Format:    <name>\n" "Size:      <bytes> bytes\n" "Type:      <kind name>".
TAVRIN_API std::ostream& operator<<(std::ostream& out, const IImageBuffer& image);
/// The IImageBuffer text, then "\nWidth:  <w> pixels\n" "Height: <h> pxiels".
TAVRIN_API std::ostream& operator<<(std::ostream& out, const IImageBufferFrame& image);
/// The IImageBuffer text, then "\nFilename:  <name>".
TAVRIN_API std::ostream& operator<<(std::ostream& out, const IFullImage& image);
/// The IImageBufferFrame text and a line break.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ILiveView& image);
/// A boxed block: the IImageBufferFrame text and the tile's source rectangle
/// and scale, one line each.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const ITile& tile);
/// Table(); throws std::out_of_range as it does.
TAVRIN_API std::ostream& operator<<(std::ostream& out, const IImageFileBasicInfo& info);

} // namespace Q7::Tavrin
