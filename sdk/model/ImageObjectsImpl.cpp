#include "ImageObjectsImpl.h"

#include "SdkLog.h"
#include "TextStream.h"

#include <array>
#include <cstring>
#include <iomanip>
#include <map>
#include <stdexcept>
#include <utility>

namespace Q7::Tavrin
{

namespace
{

using Q7::KPX::ImageEnumeration::kImageEnumStatus_Success;

// A failure code of the camera's status, the flag it sets, and its line in
// the error text (none for the first).
struct StatusFlag
{
    std::uint32_t code;
    std::uint32_t flag;
    const char* text;
};

constexpr std::array<StatusFlag, 12> kStatusFlags{{
    {0x67000002, 0x1, nullptr},
    {0x67000004, 0x2, "Queue Full\n"},
    {0x67000008, 0x4, "Unsupported Format\n"},
    {0x67000010, 0x8, "Fatal Error\n"},
    {0x67000020, 0x10, "Unexpected Status\n"},
    {0x67000040, 0x20, "Invalid ImageId\n"},
    {0x67000080, 0x40, "Is Busy\n"},
    {0x67000100, 0x80, "Request Failed\n"},
    {0x67000200, 0x100, "Invalid Buffer\n"},
    {0x67000400, 0x200, "Image Skipped\n"},
    {0x67000800, 0x400, "Buffer Request Timeout\n"},
    {0x67001000, 0x800, "File Is Corrupt\n"},
}};

// The flags of an object without a status block.
constexpr std::uint32_t kNoStatusFlags = 0x101;

template <typename Record>
std::shared_ptr<const Record> NotNull(std::shared_ptr<const Record> record, const char* what)
{
    if (record == nullptr)
    {
        throw std::invalid_argument(what);
    }
    return record;
}

} // namespace

const char* ImageKindName(ImageKind kind) noexcept
{
    switch (kind)
    {
    case ImageKind::Unknown:
        return "Unknown";
    case ImageKind::Preview:
        return "Preview";
    case ImageKind::Tile:
        return "Tile";
    case ImageKind::LiveView:
        return "LiveView";
    case ImageKind::RVF:
        return "RVF";
    }
    return "Unknown";
}

const char* ImageFormatName(ImageFormat format) noexcept
{
    switch (format)
    {
    case ImageFormat::None:
        return "None";
    case ImageFormat::JPEG:
        return "JPEG";
    case ImageFormat::RGB24:
        return "RGB24";
    case ImageFormat::Auto:
        return "Auto";
    case ImageFormat::RVF:
        return "RVF";
    }
    return "Unknown";
}

std::uint32_t ImageErrorFlagsFromStatus(const KpxAssembleStatus* status) noexcept
{
    if (status == nullptr)
    {
        return kNoStatusFlags;
    }
    std::uint32_t flags = 0;
    for (const StatusFlag& row : kStatusFlags)
    {
        if ((status->status & row.code) == row.code)
        {
            flags |= row.flag;
        }
    }
    return flags;
}

// ---------------------------------------------------------------- ImageFileCommonImpl

ImageFileCommonImpl::ImageFileCommonImpl(const KpxAssembleStatus* status) noexcept
    : m_status(status), m_errorFlags(ImageErrorFlagsFromStatus(status))
{
}

std::uint32_t ImageFileCommonImpl::ImageId() const
{
    return m_status != nullptr ? m_status->carried : 0;
}

bool ImageFileCommonImpl::HasError() const
{
    return m_status == nullptr || m_status->assemblyError != 0 ||
           m_status->status != kImageEnumStatus_Success;
}

std::uint32_t ImageFileCommonImpl::ErrorFlags() const
{
    return m_errorFlags;
}

std::string ImageFileCommonImpl::ErrorsText() const
{
    if (!HasError())
    {
        return {};
    }
    if (m_status == nullptr)
    {
        return "Underlying datastruct is nullptr\n";
    }
    std::string text = "Errors:\n";
    for (const StatusFlag& row : kStatusFlags)
    {
        if (row.text != nullptr && (m_errorFlags & row.flag) != 0)
        {
            text += row.text;
        }
    }
    return text;
}

// ---------------------------------------------------------------- previews and tiles

ImageEnumBuffer::ImageEnumBuffer(std::shared_ptr<const KpxImageBuffer> record)
    : ImageFileCommonImpl(record != nullptr ? &record->status : nullptr),
      m_record(NotNull(std::move(record), "ImageEnumBuffer: no record"))
{
}

std::shared_ptr<const std::uint8_t> ImageEnumBuffer::Data() const
{
    // Shares the record: the bytes live as long as the pointer.
    return {m_record, m_record->data.data()};
}

std::uint64_t ImageEnumBuffer::Size() const
{
    return m_record->GetDataSize();
}

ImageFormat ImageEnumBuffer::Format() const
{
    switch (m_record->imageFormat)
    {
    case Q7::KPX::ImageEnumeration::kWireFormat_Jpeg:
        return ImageFormat::JPEG;
    case Q7::KPX::ImageEnumeration::kWireFormat_Rgb24:
        return ImageFormat::RGB24;
    default:
        return ImageFormat::None;
    }
}

ImageKind ImageEnumBuffer::Kind() const
{
    switch (m_record->bufferKind)
    {
    case Q7::KPX::ImageEnumeration::kBufferKind_Preview:
        return ImageKind::Preview;
    case Q7::KPX::ImageEnumeration::kBufferKind_Tile:
        return ImageKind::Tile;
    default:
        return ImageKind::Unknown;
    }
}

const char* ImageEnumBuffer::KindName() const
{
    return ImageKindName(Kind());
}

const char* ImageEnumBuffer::FormatName() const
{
    return ImageFormatName(Format());
}

std::uint32_t ImageEnumBuffer::Width() const
{
    return m_record->bufferWidth;
}

std::uint32_t ImageEnumBuffer::Height() const
{
    return m_record->bufferHeight;
}

PreviewImpl::PreviewImpl(std::shared_ptr<const KpxImageBuffer> record) : ImageEnumBuffer(std::move(record)) {}

TileImpl::TileImpl(std::shared_ptr<const KpxImageBuffer> record) : ImageEnumBuffer(std::move(record)) {}

std::uint32_t TileImpl::GetSrcX() const
{
    return Record().tileX;
}

std::uint32_t TileImpl::GetSrcY() const
{
    return Record().tileY;
}

std::uint32_t TileImpl::GetSrcWidth() const
{
    return Record().tileWidth;
}

std::uint32_t TileImpl::GetSrcHeight() const
{
    return Record().tileHeight;
}

float TileImpl::ScaleFactor() const
{
    return Record().scale;
}

// ---------------------------------------------------------------- full images

namespace
{

// The deleter of a data pointer: its own hold of the pool buffer, released
// with the last copy of the pointer.
struct BufferHold
{
    Q7::KPX::BufferPtr buffer;

    void operator()(const std::uint8_t*) noexcept
    {
        if (buffer.IsEmpty())
        {
            Q7::TavrinC::SdkLog(2, "FullImage: Freeing an already released BufferPtr\n");
        }
        buffer.Release(); // logs what fails, never throws
    }
};

} // namespace

FullImageImpl::FullImageImpl(const Q7::KPX::ImageReceivePackage& package)
    : m_imageId(package.imageId), m_fileName(package.fileName), m_buffer(package.buffer), m_size(package.size)
{
}

std::shared_ptr<const std::uint8_t> FullImageImpl::Data() const
{
    // The pointer holds the buffer: the pixels stay while it lives.
    return {m_buffer.GetData(), BufferHold{m_buffer}};
}

std::uint64_t FullImageImpl::Size() const
{
    return m_size;
}

ImageFormat FullImageImpl::Format() const
{
    return ImageFormat::RVF;
}

ImageKind FullImageImpl::Kind() const
{
    return ImageKind::RVF;
}

const char* FullImageImpl::KindName() const
{
    return ImageKindName(Kind());
}

const char* FullImageImpl::FormatName() const
{
    return ImageFormatName(Format());
}

std::string FullImageImpl::FileName() const
{
    return m_fileName;
}

// ---------------------------------------------------------------- basic information

namespace
{

const std::map<std::uint32_t, std::string>& WhiteBalanceNames()
{
    static const auto& names = *new std::map<std::uint32_t, std::string>{
        {0, "Auto"},    {1, "Daylight"}, {2, "Fluorescent"}, {3, "Tungsten"}, {4, "Flash"},
        {5, "Custom1"}, {6, "Custom2"},  {7, "Custom3"},     {8, "Aerial"}};
    return names;
}

const std::map<std::uint32_t, std::string>& CompressionNames()
{
    static const auto& names = *new std::map<std::uint32_t, std::string>{
        {0, "None"},   {1, "RVFL"},   {2, "RVFS"},  {3, "RVFT"},   {4, "RAW16"},
        {5, "RVFL16"}, {6, "RVFT16"}, {7, "RAW12"}, {8, "RVFL12"}, {9, "RVFT12"}};
    return names;
}

const std::map<std::int32_t, std::string>& OrientationNames()
{
    static const auto& names = *new std::map<std::int32_t, std::string>{
        {0, "0\xC2\xB0"}, {90, "90\xC2\xB0"}, {180, "180\xC2\xB0"}, {-90, "270\xC2\xB0"}};
    return names;
}

const std::map<std::uint32_t, std::string>& RatingStars()
{
    static const auto& names = *new std::map<std::uint32_t, std::string>{
        {0, ""}, {1, "*"}, {2, "**"}, {3, "***"}, {4, "****"}, {5, "*****"}};
    return names;
}

// The name of code in table; std::out_of_range as std::map::at words it
// elsewhere, so that every build of the library throws the same text.
template <typename Key>
const std::string& Lookup(const std::map<Key, std::string>& table, Key code)
{
    const auto found = table.find(code);
    if (found == table.end())
    {
        throw std::out_of_range("invalid map<K, T> key");
    }
    return found->second;
}

} // namespace

ImageFileBasicInfoImpl::ImageFileBasicInfoImpl(std::shared_ptr<const KpxBasicImageInfo> record)
    : ImageFileCommonImpl(record != nullptr ? &record->status : nullptr),
      m_record(NotNull(std::move(record), "ImageFileBasicInfoImpl: no record"))
{
}

float ImageFileBasicInfoImpl::Aperture() const
{
    return m_record->body.aperture;
}

float ImageFileBasicInfoImpl::Shutter() const
{
    return m_record->body.shutter;
}

float ImageFileBasicInfoImpl::FocusPointX() const
{
    return m_record->body.focusPointX;
}

float ImageFileBasicInfoImpl::FocusPointY() const
{
    return m_record->body.focusPointY;
}

float ImageFileBasicInfoImpl::FocalLength() const
{
    return m_record->body.focalLength;
}

std::uint32_t ImageFileBasicInfoImpl::WbSetting() const
{
    return m_record->body.whiteBalance;
}

std::uint32_t ImageFileBasicInfoImpl::Compression() const
{
    return m_record->body.rawCompression;
}

std::int32_t ImageFileBasicInfoImpl::Orientation() const
{
    return static_cast<std::int32_t>(m_record->body.orientation);
}

std::uint32_t ImageFileBasicInfoImpl::ImagePixelWidth() const
{
    return m_record->body.pixelWidth;
}

std::uint32_t ImageFileBasicInfoImpl::ImagePixelHeight() const
{
    return m_record->body.pixelHeight;
}

std::uint32_t ImageFileBasicInfoImpl::Iso() const
{
    return m_record->body.iso;
}

std::uint32_t ImageFileBasicInfoImpl::Rating() const
{
    return m_record->body.rating;
}

std::uint32_t ImageFileBasicInfoImpl::TimeStamp() const
{
    return m_record->body.timeStamp;
}

std::uint32_t ImageFileBasicInfoImpl::ImageSize() const
{
    return m_record->body.imageSize;
}

std::string ImageFileBasicInfoImpl::FileName() const
{
    // A camera may fill all 16 bytes: the name then ends with the field.
    const auto& field = m_record->body.fileName;
    const auto* first = reinterpret_cast<const char*>(field.data());
    const void* zero = std::memchr(first, 0, field.size());
    const std::size_t length =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - first) : field.size();
    return {first, length};
}

std::string ImageFileBasicInfoImpl::Table() const
{
    // Every name first: an unknown code ends the table before a line of it.
    const std::string& whiteBalance = Lookup(WhiteBalanceNames(), WbSetting());
    const std::string& compression = Lookup(CompressionNames(), Compression());
    const std::string& orientation = Lookup(OrientationNames(), Orientation());
    const std::string& stars = Lookup(RatingStars(), Rating());

    Detail::TextStream text;
    const auto row = [&text](const char* label, const auto& value, int width = 15)
    { text << label << std::setw(width) << value << " |\n"; };
    text << "+- Parameter -------+- Value ---------+"
         << "\n";
    row("| Id:               | ", ImageId());
    row("| Aperture (APEX):  | ", Aperture());
    row("| Shutter (APEX):   | ", Shutter());
    row("| FocusPointX:      | ", FocusPointX());
    row("| FocusPointY:      | ", FocusPointY());
    row("| FocalLength (mm): | ", FocalLength());
    row("| WB Setting:       | ", whiteBalance);
    row("| RVF Compression:  | ", compression);
    // The degree sign takes two bytes.
    row("| Orientation:      | ", orientation, 16);
    row("| ImagePixelWidth:  | ", ImagePixelWidth());
    row("| ImagePixelHeight: | ", ImagePixelHeight());
    row("| Iso:              | ", Iso());
    row("| Rating: (Stars)   | ", stars);
    row("| TimeStamp: (Unix) | ", TimeStamp());
    row("| ImageSize: (bytes)| ", ImageSize());
    row("| Filename:         | ", FileName());
    row("| Errors:           | ", ErrorFlags());
    text << "+-------------------+-----------------"
         << "+\n";
    return text.str();
}

} // namespace Q7::Tavrin
