#include "Agents/ImageTransfer/KPXLiveViewAutoFormat.h"

#include <algorithm>

#include "Agents/ImageTransfer/KPXLiveViewMessages.h"

namespace Q7::KPX::LiveView
{

void SampleWindow::Insert(std::uint32_t sample) noexcept
{
    samples[index] = sample;
    index = (index + 1) % kSize;
    ++count;
}

std::uint32_t SampleWindow::TrimmedMean() noexcept
{
    std::sort(samples.begin(), samples.end());
    std::uint64_t sum = 0;
    for (std::uint32_t i = 1; i + 1 < kSize; ++i)
        sum += samples[i];
    index = 0;
    constexpr std::uint64_t kKept = kSize - 2;
    return static_cast<std::uint32_t>((sum + kKept / 2) / kKept);
}

AutoFormatDecision AutoFormat::Update(const AutoFormatFrame& frame, std::uint32_t transferTime,
                                      std::uint32_t quality, std::optional<std::uint8_t> minQuality,
                                      std::optional<std::uint8_t> maxQuality)
{
    AutoFormatDecision decision;
    if (!m_enabled || frame.imageSize == 0)
        return decision;
    const double size = frame.imageSize;
    std::uint32_t n = transferTime;
    double t = 0.0;
    if (frame.jpeg)
    {
        if (frame.word37 == 0xFFFFFFFF || frame.payloadSize == 0)
            return decision;
        m_jpeg.Insert(frame.word37);
        if (!m_jpeg.IsReady())
            return decision;
        m_calibrated = true;
        const std::uint32_t m = m_jpeg.TrimmedMean();
        m_r1 = size / m;
        m_r2 = size / frame.payloadSize;
        if (n < m || n == 0)
        {
            n = m + 1;
            decision.transferTime = n;
        }
        t = frame.payloadSize * 1000.0 / static_cast<std::uint32_t>(n - m) / size;
    }
    else
    {
        if (!m_calibrated)
            decision.format = kFormat_Jpeg;
        if (m_r1 <= 0.0)
            m_r1 = 1.0;
        m_rgb.Insert(n);
        if (!m_rgb.IsReady())
            return decision;
        const double mb = m_rgb.TrimmedMean();
        t = 1000.0 / ((size / m_r2) / (size / mb) + size / m_r1);
    }
    if (n == 0)
        return decision;
    const double budget = kBudget / n;
    if (t > budget)
    {
        decision.format = frame.jpeg ? kFormat_Rgb24 : kFormat_Jpeg;
        m_jpeg.Empty();
        m_rgb.Empty();
    }
    if (!frame.jpeg || !minQuality || !maxQuality)
        return decision;
    if (budget < 10.0 && quality > *minQuality)
        decision.compQuality = quality > 5 ? quality - 5 : 0;
    else if (budget > 13.225 && quality < *maxQuality)
        decision.compQuality = quality + 5;
    return decision;
}

} // namespace Q7::KPX::LiveView
