// One live-view frame as the camera sends it on channel 5: an LVIM file, a
// fixed little-endian header (versioned 1.0 to 1.4, optional fields decided by
// the header size alone), the image bytes (uncompressed pixels or a JPEG
// stream) and an optional status text. The frame stays in the pool buffer it
// was received into; LiveViewImage checks the header once, keeps the buffer
// retained and answers every question about the frame without a copy.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "Agents/ImageTransfer/KPXImageReceive.h"
#include "Transport/BufferPool.h"

namespace Q7::KPX
{

/// The header size that LVIM version major.minor needs: 112 (1.0), 124 (1.1),
/// 140 (1.2), 148 (1.3), 156 (1.4); a later version the size of the last
/// known one, an earlier one 112. Reentrant.
std::uint16_t GetLiveViewImageHeaderSize(std::uint8_t major, std::uint8_t minor) noexcept;

/// A checked LVIM frame held in its pool buffer.
///
/// Threads: after construction the object is immutable; its const members may
/// be called from several threads at once. Copies retain the buffer once more.
class LiveViewImage
{
public:
    /// "LVIM" read as a little-endian u32.
    static constexpr std::uint32_t kHeaderMarker = 0x4D49564C;
    /// The least file size whatever the header's version (the 1.4 header).
    static constexpr std::uint32_t kMinFileSize = 156;
    /// The least header size (the 1.0 header).
    static constexpr std::uint16_t kMinHeaderSize = 112;
    /// Format codes.
    static constexpr std::uint32_t kFormat_Rgb24 = 1;
    static constexpr std::uint32_t kFormat_Rgba32 = 2;
    static constexpr std::uint32_t kFormat_Gray8 = 4;
    static constexpr std::uint32_t kFormat_Jpeg = 0x10000;

    struct Area
    {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        friend bool operator==(const Area&, const Area&) = default;
    };
    struct Rect
    {
        std::uint32_t x = 0;
        std::uint32_t y = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        friend bool operator==(const Rect&, const Rect&) = default;
    };

    /// Takes id, name, size and a handle on the package's buffer, then checks
    /// the header (Validate). Raises ModuleError 0x650069 "Live view image not
    /// attached." (logged) for a package without data or of size 0, and
    /// ModuleError 0x650003 "Invalid live view image file." (logged with the
    /// failed check as its detail, for example "Invalid file size") for a
    /// malformed frame; the buffer handle is released then. Logs warnings for
    /// an unknown format or colour mode, an orientation above 270 and a source
    /// area of 0.
    explicit LiveViewImage(const ImageReceivePackage& package);

    /// Runs the header checks once (the constructor did); afterwards returns
    /// at once. Raises as the constructor.
    void Validate();

    [[nodiscard]] std::uint32_t GetImageOffset() const;
    [[nodiscard]] std::uint32_t GetImageSize() const;
    [[nodiscard]] std::uint32_t GetFrameNumber() const;
    [[nodiscard]] std::uint32_t GetTimestamp() const;
    [[nodiscard]] std::uint32_t GetFormat() const;
    [[nodiscard]] std::uint32_t GetWidth() const;
    [[nodiscard]] std::uint32_t GetHeight() const;
    [[nodiscard]] std::uint32_t GetLineSize() const;
    [[nodiscard]] std::uint16_t GetPixelSize() const;
    [[nodiscard]] std::uint8_t GetColorMode() const;
    /// The stored orientation modulo 360.
    [[nodiscard]] std::uint16_t GetOrientation() const;
    [[nodiscard]] float GetQuality() const;
    [[nodiscard]] float GetLightness() const;
    [[nodiscard]] std::array<float, 3> GetWhiteBalance() const;
    [[nodiscard]] Area GetSourceArea() const;
    [[nodiscard]] Rect GetSourceCrop() const;
    [[nodiscard]] Rect GetRequestedCrop() const;
    [[nodiscard]] bool IsJpeg() const;
    /// The first image byte (inside the pool buffer).
    [[nodiscard]] const std::uint8_t* GetImageData() const;
    /// The status text (bytes as sent; may be empty).
    [[nodiscard]] std::string GetStatusMessage() const;
    /// File size - 156 (what follows a 1.4 header), without a check; 0 for a
    /// file shorter than that.
    [[nodiscard]] std::uint32_t GetPayloadSize() const noexcept;
    /// The pool buffer that holds the file.
    [[nodiscard]] const BufferPtr& GetBufferHandle() const noexcept { return m_buffer; }
    [[nodiscard]] std::uint32_t GetImageId() const noexcept { return m_imageId; }
    [[nodiscard]] const std::string& GetName() const noexcept { return m_name; }

    /// Optional floats: true and the value when the header has the field and
    /// it does not hold the absent marker 0xFFFFFFFF; else false and a quiet
    /// NaN.
    bool GetCameraAngle(float& value) const;
    bool GetCameraPitch(float& value) const;
    bool GetSensorTemperature(float& value) const;
    bool GetAnalogGain(float& value) const;
    bool GetDigitalGainRaw(float& value) const;
    bool GetDigitalGainRgb(float& value) const;
    bool GetFocusDistance(float& value) const;
    /// Optional words: whether present (integration time: absent when 0,
    /// the others when 0xFFFFFFFF); the stored word either way.
    bool GetIntegrationTime(std::uint32_t& value) const;
    bool GetFocusEncoder(std::uint32_t& value) const;
    /// The camera's frame time in milliseconds (1.4).
    bool GetHeaderWord37(std::uint32_t& value) const;
    bool GetHeaderWord38(std::uint32_t& value) const;

    /// Writes the header as info log lines ("LVIM ..."), the optional fields
    /// only when verbose; reads raw fields without a check.
    void Dump(bool verbose) const;

private:
    // Raw little-endian loads; the offset lies within the first 156 bytes.
    [[nodiscard]] std::uint32_t U32(std::uint32_t offset) const noexcept;
    [[nodiscard]] std::uint16_t U16(std::uint32_t offset) const noexcept;
    [[nodiscard]] float F32(std::uint32_t offset) const noexcept;
    // Validate, then the header.
    const std::uint8_t* CheckedHeader() const;
    bool OptionalFloat(std::uint32_t offset, std::uint16_t neededHeader, float& value) const;
    bool OptionalWord(std::uint32_t offset, std::uint16_t neededHeader, std::uint32_t absent,
                      std::uint32_t& value) const;

    const std::uint8_t* m_data = nullptr; // the LVIM file; null when nothing is attached
    std::uint32_t m_fileSize = 0;
    bool m_validated = false;
    std::uint32_t m_imageId = 0;
    std::string m_name;
    BufferPtr m_buffer;
};

} // namespace Q7::KPX
