#include "Agents/ImageTransfer/KPXLiveViewImage.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::LogInfo;
using Universal::LogWarning;
using Universal::ModuleError;

struct HeaderSizeRow
{
    std::uint8_t major;
    std::uint8_t minor;
    std::uint16_t size;
};

constexpr HeaderSizeRow kHeaderSizes[] = {
    {1, 0, 112}, {1, 1, 124}, {1, 2, 140}, {1, 3, 148}, {1, 4, 156},
};

// Field offsets.
enum : std::uint32_t
{
    kOffMarker = 0,
    kOffHeaderSize = 4,
    kOffMajor = 6,
    kOffMinor = 7,
    kOffImageOffset = 8,
    kOffImageSize = 12,
    kOffFrameNumber = 16,
    kOffTimestamp = 20,
    kOffFormat = 24,
    kOffWidth = 28,
    kOffHeight = 32,
    kOffLineSize = 36,
    kOffPixelSize = 40,
    kOffOrientation = 42,
    kOffSourceArea = 44,
    kOffSourceCrop = 52,
    kOffRequestedCrop = 68,
    kOffQuality = 84,
    kOffLightness = 88,
    kOffWhiteBalance = 92,
    kOffColorMode = 104,
    kOffStatusSize = 108,
    kOffStatusOffset = 110,
    kOffCameraAngle = 112,
    kOffCameraPitch = 116,
    kOffSensorTemp = 120,
    kOffIntegrationTime = 124,
    kOffAnalogGain = 128,
    kOffDigitalGainRaw = 132,
    kOffDigitalGainRgb = 136,
    kOffFocusEncoder = 140,
    kOffFocusDistance = 144,
    kOffHeaderWord37 = 148,
    kOffHeaderWord38 = 152,
};

constexpr std::uint16_t kHeader11 = 124;
constexpr std::uint16_t kHeader12 = 140;
constexpr std::uint16_t kHeader13 = 148;
constexpr std::uint16_t kHeader14 = 156;
constexpr std::uint32_t kAbsent = 0xFFFFFFFF;

[[noreturn]] void ThrowInvalid(const wchar_t* detail)
{
    Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidData, L"Invalid live view image file."),
                                L"%ls", detail);
}

// A crop inside its area, with sums in 64 bits.
bool CropFits(std::uint64_t x, std::uint64_t y, std::uint64_t width, std::uint64_t height,
              std::uint64_t areaWidth, std::uint64_t areaHeight) noexcept
{
    return x <= areaWidth && x + width <= areaWidth && y <= areaHeight && y + height <= areaHeight;
}

} // namespace

std::uint16_t GetLiveViewImageHeaderSize(std::uint8_t major, std::uint8_t minor) noexcept
{
    std::uint16_t size = kHeaderSizes[0].size;
    for (const HeaderSizeRow& row : kHeaderSizes)
    {
        if (row.major < major || (row.major == major && row.minor <= minor))
            size = row.size;
    }
    return size;
}

LiveViewImage::LiveViewImage(const ImageReceivePackage& package)
    : m_imageId(package.imageId), m_name(package.fileName), m_buffer(package.buffer)
{
    if (!m_buffer.IsEmpty() && package.size != 0)
    {
        m_data = m_buffer.GetData();
        // Never beyond the buffer, whatever size the package claims.
        m_fileSize = std::min(package.size, m_buffer.GetSize());
    }
    Validate();
}

std::uint32_t LiveViewImage::U32(std::uint32_t offset) const noexcept
{
    const std::uint8_t* p = m_data + offset;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::uint16_t LiveViewImage::U16(std::uint32_t offset) const noexcept
{
    const std::uint8_t* p = m_data + offset;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

float LiveViewImage::F32(std::uint32_t offset) const noexcept
{
    return std::bit_cast<float>(U32(offset));
}

void LiveViewImage::Validate()
{
    if (m_validated)
        return;
    if (m_data == nullptr)
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_NotInitialized, L"Live view image not attached."));
    if (m_fileSize < kMinFileSize)
        ThrowInvalid(L"Invalid file size");
    if (U32(kOffMarker) != kHeaderMarker)
        ThrowInvalid(L"Invalid header marker");
    const std::uint64_t headerSize = U16(kOffHeaderSize);
    if (headerSize < kMinHeaderSize)
        ThrowInvalid(L"Invalid header size");
    if (m_data[kOffMajor] != 1)
        ThrowInvalid(L"Unknown version");

    const std::uint64_t fileSize = m_fileSize;
    const std::uint64_t imageOffset = U32(kOffImageOffset);
    const std::uint64_t imageSize = U32(kOffImageSize);
    if ((imageSize != 0 && imageOffset < headerSize) || imageOffset > fileSize ||
        imageOffset + imageSize > fileSize)
        ThrowInvalid(L"Invalid image offset/size");

    const std::uint64_t statusSize = U16(kOffStatusSize);
    const std::uint64_t statusOffset = U16(kOffStatusOffset);
    if (statusOffset > fileSize || statusOffset + statusSize > fileSize ||
        (statusSize != 0 && statusOffset < headerSize))
        ThrowInvalid(L"Invalid status message offset/size");

    if (imageSize != 0 && statusSize != 0 &&
        std::max(imageOffset, statusOffset) < std::min(imageOffset + imageSize, statusOffset + statusSize))
        ThrowInvalid(L"Overlap of data fields");

    const std::uint32_t format = U32(kOffFormat);
    std::uint64_t leastPixelSize = 0;
    bool jpeg = false;
    switch (format)
    {
    case kFormat_Rgb24:
        leastPixelSize = 3;
        break;
    case kFormat_Rgba32:
        leastPixelSize = 4;
        break;
    case kFormat_Gray8:
        leastPixelSize = 1;
        break;
    case kFormat_Jpeg:
        jpeg = true;
        break;
    default:
        LogWarning(L"Live view image: unknown format 0x%X", format);
        break;
    }

    const std::uint64_t lineSize = U32(kOffLineSize);
    const std::uint64_t height = U32(kOffHeight);
    const std::uint64_t width = U32(kOffWidth);
    const std::uint64_t pixelSize = U16(kOffPixelSize);
    if (lineSize * height > imageSize || (jpeg && lineSize != 0))
        ThrowInvalid(L"Invalid line size");
    if (pixelSize * width > lineSize || pixelSize < leastPixelSize || (jpeg && pixelSize != 0))
        ThrowInvalid(L"Invalid pixel size");

    const unsigned colorMode = m_data[kOffColorMode];
    if (colorMode != 1 && colorMode != 2)
        LogWarning(L"Live view image: unknown color mode 0x%X", colorMode);

    const unsigned orientation = U16(kOffOrientation);
    if (orientation % 90 != 0)
        ThrowInvalid(L"Invalid orientation (not a multiple of 90)");
    if (orientation > 270)
        LogWarning(L"Live view image: orientation is %u", orientation);

    const std::uint64_t areaWidth = U32(kOffSourceArea);
    const std::uint64_t areaHeight = U32(kOffSourceArea + 4);
    if (areaWidth == 0 || areaHeight == 0)
        LogWarning(L"Live view image: source area is 0");
    if (!CropFits(U32(kOffSourceCrop), U32(kOffSourceCrop + 4), U32(kOffSourceCrop + 8),
                  U32(kOffSourceCrop + 12), areaWidth, areaHeight))
        ThrowInvalid(L"Invalid source crop");
    if (!CropFits(U32(kOffRequestedCrop), U32(kOffRequestedCrop + 4), U32(kOffRequestedCrop + 8),
                  U32(kOffRequestedCrop + 12), areaWidth, areaHeight))
        ThrowInvalid(L"Invalid requested crop");

    m_validated = true;
}

const std::uint8_t* LiveViewImage::CheckedHeader() const
{
    // Every object passed Validate in its constructor; a frame that did not
    // never came to exist.
    if (!m_validated)
        const_cast<LiveViewImage*>(this)->Validate();
    return m_data;
}

std::uint32_t LiveViewImage::GetImageOffset() const
{
    CheckedHeader();
    return U32(kOffImageOffset);
}

std::uint32_t LiveViewImage::GetImageSize() const
{
    CheckedHeader();
    return U32(kOffImageSize);
}

std::uint32_t LiveViewImage::GetFrameNumber() const
{
    CheckedHeader();
    return U32(kOffFrameNumber);
}

std::uint32_t LiveViewImage::GetTimestamp() const
{
    CheckedHeader();
    return U32(kOffTimestamp);
}

std::uint32_t LiveViewImage::GetFormat() const
{
    CheckedHeader();
    return U32(kOffFormat);
}

std::uint32_t LiveViewImage::GetWidth() const
{
    CheckedHeader();
    return U32(kOffWidth);
}

std::uint32_t LiveViewImage::GetHeight() const
{
    CheckedHeader();
    return U32(kOffHeight);
}

std::uint32_t LiveViewImage::GetLineSize() const
{
    CheckedHeader();
    return U32(kOffLineSize);
}

std::uint16_t LiveViewImage::GetPixelSize() const
{
    CheckedHeader();
    return U16(kOffPixelSize);
}

std::uint8_t LiveViewImage::GetColorMode() const
{
    return CheckedHeader()[kOffColorMode];
}

std::uint16_t LiveViewImage::GetOrientation() const
{
    CheckedHeader();
    return static_cast<std::uint16_t>(U16(kOffOrientation) % 360);
}

float LiveViewImage::GetQuality() const
{
    CheckedHeader();
    return F32(kOffQuality);
}

float LiveViewImage::GetLightness() const
{
    CheckedHeader();
    return F32(kOffLightness);
}

std::array<float, 3> LiveViewImage::GetWhiteBalance() const
{
    CheckedHeader();
    return {F32(kOffWhiteBalance), F32(kOffWhiteBalance + 4), F32(kOffWhiteBalance + 8)};
}

LiveViewImage::Area LiveViewImage::GetSourceArea() const
{
    CheckedHeader();
    return {U32(kOffSourceArea), U32(kOffSourceArea + 4)};
}

LiveViewImage::Rect LiveViewImage::GetSourceCrop() const
{
    CheckedHeader();
    return {U32(kOffSourceCrop), U32(kOffSourceCrop + 4), U32(kOffSourceCrop + 8), U32(kOffSourceCrop + 12)};
}

LiveViewImage::Rect LiveViewImage::GetRequestedCrop() const
{
    CheckedHeader();
    return {U32(kOffRequestedCrop), U32(kOffRequestedCrop + 4), U32(kOffRequestedCrop + 8),
            U32(kOffRequestedCrop + 12)};
}

bool LiveViewImage::IsJpeg() const
{
    return GetFormat() == kFormat_Jpeg;
}

const std::uint8_t* LiveViewImage::GetImageData() const
{
    return CheckedHeader() + U32(kOffImageOffset);
}

std::string LiveViewImage::GetStatusMessage() const
{
    const std::uint8_t* data = CheckedHeader();
    const char* text = reinterpret_cast<const char*>(data + U16(kOffStatusOffset));
    return std::string(text, U16(kOffStatusSize));
}

std::uint32_t LiveViewImage::GetPayloadSize() const noexcept
{
    return m_fileSize > kMinFileSize ? m_fileSize - kMinFileSize : 0;
}

bool LiveViewImage::OptionalFloat(std::uint32_t offset, std::uint16_t neededHeader, float& value) const
{
    CheckedHeader();
    const std::uint32_t raw = U32(offset);
    if (U16(kOffHeaderSize) < neededHeader || raw == kAbsent)
    {
        value = std::numeric_limits<float>::quiet_NaN();
        return false;
    }
    value = std::bit_cast<float>(raw);
    return true;
}

bool LiveViewImage::OptionalWord(std::uint32_t offset, std::uint16_t neededHeader, std::uint32_t absent,
                                 std::uint32_t& value) const
{
    CheckedHeader();
    value = U32(offset);
    return U16(kOffHeaderSize) >= neededHeader && value != absent;
}

bool LiveViewImage::GetCameraAngle(float& value) const
{
    return OptionalFloat(kOffCameraAngle, kHeader11, value);
}

bool LiveViewImage::GetCameraPitch(float& value) const
{
    return OptionalFloat(kOffCameraPitch, kHeader11, value);
}

bool LiveViewImage::GetSensorTemperature(float& value) const
{
    return OptionalFloat(kOffSensorTemp, kHeader11, value);
}

bool LiveViewImage::GetAnalogGain(float& value) const
{
    return OptionalFloat(kOffAnalogGain, kHeader12, value);
}

bool LiveViewImage::GetDigitalGainRaw(float& value) const
{
    return OptionalFloat(kOffDigitalGainRaw, kHeader12, value);
}

bool LiveViewImage::GetDigitalGainRgb(float& value) const
{
    return OptionalFloat(kOffDigitalGainRgb, kHeader12, value);
}

bool LiveViewImage::GetFocusDistance(float& value) const
{
    return OptionalFloat(kOffFocusDistance, kHeader13, value);
}

bool LiveViewImage::GetIntegrationTime(std::uint32_t& value) const
{
    return OptionalWord(kOffIntegrationTime, kHeader12, 0, value);
}

bool LiveViewImage::GetFocusEncoder(std::uint32_t& value) const
{
    return OptionalWord(kOffFocusEncoder, kHeader13, kAbsent, value);
}

bool LiveViewImage::GetHeaderWord37(std::uint32_t& value) const
{
    return OptionalWord(kOffHeaderWord37, kHeader14, kAbsent, value);
}

bool LiveViewImage::GetHeaderWord38(std::uint32_t& value) const
{
    return OptionalWord(kOffHeaderWord38, kHeader14, kAbsent, value);
}

void LiveViewImage::Dump(bool verbose) const
{
    LogInfo(L"LVIM ------------------------");
    if (m_data == nullptr || m_fileSize < kMinFileSize)
    {
        LogInfo(L"LVIM <empty>");
        LogInfo(L"LVIM ------------------------");
        return;
    }
    const auto d = [this](std::uint32_t offset) { return static_cast<double>(F32(offset)); };
    if (verbose)
    {
        LogInfo(L"LVIM headerMarker     0x%08X", U32(kOffMarker));
        LogInfo(L"LVIM headerSize       %u", unsigned{U16(kOffHeaderSize)});
        LogInfo(L"LVIM majorVersion     %u", unsigned{m_data[kOffMajor]});
        LogInfo(L"LVIM minorVersion     %u", unsigned{m_data[kOffMinor]});
        LogInfo(L"LVIM imageOffset      %u", U32(kOffImageOffset));
        LogInfo(L"LVIM imageSize        %u", U32(kOffImageSize));
        LogInfo(L"LVIM quality          %f", d(kOffQuality));
        LogInfo(L"LVIM lightness        %f", d(kOffLightness));
        LogInfo(L"LVIM whiteBalance     (%f, %f, %f)", d(kOffWhiteBalance), d(kOffWhiteBalance + 4),
                d(kOffWhiteBalance + 8));
        LogInfo(L"LVIM colorMode        %u", unsigned{m_data[kOffColorMode]});
        LogInfo(L"LVIM statusMessage    %u bytes @ %u", unsigned{U16(kOffStatusSize)},
                unsigned{U16(kOffStatusOffset)});
        LogInfo(L"LVIM cameraAngle      %f", d(kOffCameraAngle));
        LogInfo(L"LVIM cameraPitch      %f", d(kOffCameraPitch));
        LogInfo(L"LVIM sensorTemp.      %f", d(kOffSensorTemp));
        LogInfo(L"LVIM integrationTime  %u", U32(kOffIntegrationTime));
        LogInfo(L"LVIM analogGain       %f", d(kOffAnalogGain));
        LogInfo(L"LVIM digitalGainRAW   %f", d(kOffDigitalGainRaw));
        LogInfo(L"LVIM digitalGainRGB   %f", d(kOffDigitalGainRgb));
        LogInfo(L"LVIM focusEncoder     %u", U32(kOffFocusEncoder));
        LogInfo(L"LVIM focusDistance    %f", d(kOffFocusDistance));
    }
    LogInfo(L"LVIM frameNumber      %u", U32(kOffFrameNumber));
    LogInfo(L"LVIM timestamp        %u", U32(kOffTimestamp));
    LogInfo(L"LVIM format           0x%X", U32(kOffFormat));
    LogInfo(L"LVIM width            %u", U32(kOffWidth));
    LogInfo(L"LVIM height           %u", U32(kOffHeight));
    LogInfo(L"LVIM lineSize         %u", U32(kOffLineSize));
    LogInfo(L"LVIM pixelSize        %u", unsigned{U16(kOffPixelSize)});
    LogInfo(L"LVIM orientation      %u", unsigned{U16(kOffOrientation)});
    LogInfo(L"LVIM sourceArea       %u x %u", U32(kOffSourceArea), U32(kOffSourceArea + 4));
    LogInfo(L"LVIM sourceCrop       %u x %u (%u, %u)", U32(kOffSourceCrop + 8), U32(kOffSourceCrop + 12),
            U32(kOffSourceCrop), U32(kOffSourceCrop + 4));
    LogInfo(L"LVIM requestedCrop    %u x %u (%u, %u)", U32(kOffRequestedCrop + 8),
            U32(kOffRequestedCrop + 12), U32(kOffRequestedCrop), U32(kOffRequestedCrop + 4));
    LogInfo(L"LVIM ------------------------");
}

} // namespace Q7::KPX
