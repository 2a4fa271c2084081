// The live-view agent's automatic format: from the figures of each delivered
// frame it chooses between JPEG and uncompressed RGB frames and steps the JPEG
// compression quality, so that frames keep up with the camera's frame time.
//
// JPEG frames feed window A with the camera's frame time (LVIM word 37);
// uncompressed frames feed window B with the measured transfer time N. Once a
// window holds more than five samples since it was emptied, its trimmed mean
// (five samples, the lowest and highest dropped) is compared with what the
// other format would cost; a switch empties both windows.
//
// The class is pure: no clock, no lock, no I/O. Its owner feeds it under its
// own lock and carries out the decisions after releasing that lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace Q7::KPX::LiveView
{

/// Five samples and how many were inserted since the last emptying.
struct SampleWindow
{
    static constexpr std::uint32_t kSize = 5;

    std::array<std::uint32_t, kSize> samples{};
    std::uint32_t index = 0;
    std::uint32_t count = 0;

    void Insert(std::uint32_t sample) noexcept;
    /// Ready for evaluation: more than five samples since the last emptying.
    [[nodiscard]] bool IsReady() const noexcept { return count > kSize; }
    /// Sorts the samples, drops the lowest and the highest and answers the
    /// rounded mean of the other three; the write index returns to 0.
    std::uint32_t TrimmedMean() noexcept;
    void Empty() noexcept
    {
        index = 0;
        count = 0;
    }
};

/// What a frame asks of the agent.
struct AutoFormatDecision
{
    std::optional<std::uint32_t> format;       ///< ask the camera for this format
    std::optional<std::uint32_t> compQuality;  ///< ask for this compression quality (to be clamped)
    std::optional<std::uint32_t> transferTime; ///< N adjusted (ms)

    [[nodiscard]] bool IsEmpty() const noexcept { return !format && !compQuality && !transferTime; }
};

/// One frame's figures.
struct AutoFormatFrame
{
    std::uint32_t word37 = 0;      ///< the camera's frame time (LVIM word 37), ms
    std::uint32_t payloadSize = 0; ///< file size - 156
    std::uint32_t imageSize = 0;   ///< LVIM imageSize
    bool jpeg = false;
};

/// The automatic format's state. Not thread-safe: the owner serialises it.
class AutoFormat
{
public:
    /// The frame-time budget: L = kBudget / N.
    static constexpr double kBudget = 1150.0;

    /// Answers what the frame asks for. `transferTime` is N, the last frame's
    /// total transfer time in ms; `quality` the current compression quality
    /// and `minQuality`/`maxQuality` the camera's bounds (absent below 1.2:
    /// then the quality is never stepped). Nothing while disabled or for a
    /// frame without image bytes.
    AutoFormatDecision Update(const AutoFormatFrame& frame, std::uint32_t transferTime, std::uint32_t quality,
                              std::optional<std::uint8_t> minQuality, std::optional<std::uint8_t> maxQuality);

    [[nodiscard]] bool IsEnabled() const noexcept { return m_enabled; }
    void SetEnabled(bool enabled) noexcept { m_enabled = enabled; }
    [[nodiscard]] bool IsCalibrated() const noexcept { return m_calibrated; }
    void ResetCalibration() noexcept { m_calibrated = false; }

    [[nodiscard]] const SampleWindow& GetJpegWindow() const noexcept { return m_jpeg; }
    [[nodiscard]] const SampleWindow& GetRgbWindow() const noexcept { return m_rgb; }

private:
    bool m_enabled = false;
    bool m_calibrated = false;
    SampleWindow m_jpeg; // A: the camera's frame time of JPEG frames
    SampleWindow m_rgb;  // B: the transfer time of uncompressed frames
    double m_r1 = 0.0;   // image bytes per ms of camera frame time
    double m_r2 = 0.0;   // image bytes per payload byte (compression ratio)
};

} // namespace Q7::KPX::LiveView
