// The live-view automatic format as a pure class, fed with injected figures:
// the quality steps and format switches it asks for, when its windows are
// evaluated and emptied, and the first uncompressed frame of an uncalibrated
// stream.

#include "Agents/ImageTransfer/KPXLiveViewAutoFormat.h"

#include <gtest/gtest.h>

#include "Agents/ImageTransfer/KPXLiveViewMessages.h"

namespace
{

using namespace Q7::KPX::LiveView;

constexpr std::uint32_t kImageSize = 900000;

AutoFormatFrame Jpeg(std::uint32_t word37, std::uint32_t payload = kImageSize)
{
    return {word37, payload, kImageSize, true};
}

AutoFormatFrame Rgb()
{
    return {0xFFFFFFFF, kImageSize + 100, kImageSize, false};
}

struct QualityCase
{
    std::uint32_t transferTime;
    std::optional<std::uint32_t> quality; // asked for
};

class AutoFormatQuality : public ::testing::TestWithParam<QualityCase>
{
};

// Six JPEG frames of camera frame time 10 ms (M = 10) from quality 80 in
// [50, 95]: a transfer time that leaves no margin lowers the quality, a fast
// one raises it, one in between keeps it; the first five frames ask nothing.
TEST_P(AutoFormatQuality, SixthFrameStepsByTransferTime)
{
    AutoFormat format;
    format.SetEnabled(true);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(format.Update(Jpeg(10), GetParam().transferTime, 80, 50, 95).IsEmpty()) << i;
    const AutoFormatDecision decision = format.Update(Jpeg(10), GetParam().transferTime, 80, 50, 95);
    EXPECT_EQ(decision.compQuality, GetParam().quality);
    EXPECT_FALSE(decision.format);
    EXPECT_FALSE(decision.transferTime);
    EXPECT_TRUE(format.IsCalibrated());
}

INSTANTIATE_TEST_SUITE_P(LiveView, AutoFormatQuality,
                         ::testing::Values(QualityCase{120, 75}, QualityCase{80, 85},
                                           QualityCase{100, std::nullopt}));

// A JPEG stream whose transfer time cannot keep up switches to RGB and both
// windows are emptied, so the next evaluation waits for six new samples.
TEST(AutoFormat, SlowJpegSwitchesToRgbAndEmptiesWindows)
{
    AutoFormat format;
    format.SetEnabled(true);
    AutoFormatDecision decision;
    for (int i = 0; i < 6; ++i)
        decision = format.Update(Jpeg(10, kImageSize), 12, 80, 50, 95); // T = 1000/2 > L = 95.8
    EXPECT_EQ(decision.format, kFormat_Rgb24);
    EXPECT_EQ(format.GetJpegWindow().count, 0u);
    EXPECT_EQ(format.GetRgbWindow().count, 0u);
    EXPECT_TRUE(format.Update(Jpeg(10), 12, 80, 50, 95).IsEmpty());
}

// The first uncompressed frame of an uncalibrated stream asks for JPEG at once.
TEST(AutoFormat, FirstRgbFrameAsksForJpeg)
{
    AutoFormat format;
    format.SetEnabled(true);
    EXPECT_EQ(format.Update(Rgb(), 50, 80, 50, 95).format, kFormat_Jpeg);
    // Disabled, or a frame without image bytes: nothing.
    format.SetEnabled(false);
    EXPECT_TRUE(format.Update(Rgb(), 50, 80, 50, 95).IsEmpty());
    format.SetEnabled(true);
    EXPECT_TRUE(format.Update({0, 0, 0, false}, 50, 80, 50, 95).IsEmpty());
}

// A transfer time below the camera's frame time is raised to M + 1 (stored by
// the owner); without compression bounds the quality is never stepped.
TEST(AutoFormat, TransferTimeBelowFrameTimeIsRaised)
{
    AutoFormat format;
    format.SetEnabled(true);
    AutoFormatDecision decision;
    for (int i = 0; i < 6; ++i)
        decision = format.Update(Jpeg(40, kImageSize / 100), 0, 80, std::nullopt, std::nullopt);
    EXPECT_EQ(decision.transferTime, 41u);
    EXPECT_FALSE(decision.compQuality);
}

// Calibrated by JPEG frames, a stream of RGB frames whose transfer is slow
// asks for JPEG again after its sixth frame.
TEST(AutoFormat, SlowRgbSwitchesBackToJpeg)
{
    AutoFormat format;
    format.SetEnabled(true);
    for (int i = 0; i < 6; ++i)
        format.Update(Jpeg(10, kImageSize / 10), 200, 80, 50, 95);
    AutoFormatDecision decision;
    for (int i = 0; i < 6; ++i)
    {
        decision = format.Update(Rgb(), 200, 80, 50, 95);
        if (i < 5)
        {
            EXPECT_FALSE(decision.format) << i;
        }
    }
    EXPECT_EQ(decision.format, kFormat_Jpeg);
}

TEST(SampleWindow, TrimmedMeanDropsExtremesAndRounds)
{
    SampleWindow window;
    for (std::uint32_t sample : {100u, 1u, 10u, 11u, 11u})
        window.Insert(sample);
    EXPECT_FALSE(window.IsReady());
    window.Insert(900); // overwrites 100
    EXPECT_TRUE(window.IsReady());
    EXPECT_EQ(window.TrimmedMean(), 11u); // (10 + 11 + 11 + 1) / 3
    EXPECT_EQ(window.index, 0u);
    EXPECT_EQ(window.count, 6u);
}

} // namespace
