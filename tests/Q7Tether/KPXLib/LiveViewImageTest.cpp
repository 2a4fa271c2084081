// The LVIM reader: each header check with its answer (one table over the
// checks and the optional fields), the warnings that do not stop a frame, the
// optional fields by header size and absent marker, and a frame that lies
// about its size beyond its buffer.

#include "Agents/ImageTransfer/KPXLiveViewImage.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Q7UniversalError.h"

namespace
{

using namespace Q7::KPX;
using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& bytes, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void Put16(Bytes& bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutF(Bytes& bytes, std::size_t offset, float value)
{
    Put32(bytes, offset, std::bit_cast<std::uint32_t>(value));
}

// A valid 1.4 frame: 8 x 4 RGB24 pixels behind a 156-byte header, then a
// 5-byte status text "ready".
Bytes RgbFrame()
{
    constexpr std::uint32_t width = 8, height = 4, line = width * 3;
    Bytes bytes(156 + line * height + 5, 0);
    Put32(bytes, 0, LiveViewImage::kHeaderMarker);
    Put16(bytes, 4, 156);
    bytes[6] = 1;
    bytes[7] = 4;
    Put32(bytes, 8, 156);
    Put32(bytes, 12, line * height);
    Put32(bytes, 16, 42); // frame number
    Put32(bytes, 20, 1000);
    Put32(bytes, 24, LiveViewImage::kFormat_Rgb24);
    Put32(bytes, 28, width);
    Put32(bytes, 32, height);
    Put32(bytes, 36, line);
    Put16(bytes, 40, 3);
    Put16(bytes, 42, 0);
    Put32(bytes, 44, 6000);
    Put32(bytes, 48, 4000);
    Put32(bytes, 52, 100); // source crop 100, 200, 800 x 600
    Put32(bytes, 56, 200);
    Put32(bytes, 60, 800);
    Put32(bytes, 64, 600);
    Put32(bytes, 76, 6000); // requested crop: the whole area
    Put32(bytes, 80, 4000);
    PutF(bytes, 84, 80.0f);
    PutF(bytes, 88, 0.5f);
    PutF(bytes, 92, 1.0f);
    PutF(bytes, 96, 1.5f);
    PutF(bytes, 100, 2.0f);
    bytes[104] = 1;
    Put16(bytes, 108, 5);
    Put16(bytes, 110, static_cast<std::uint16_t>(156 + line * height));
    std::memcpy(bytes.data() + 156 + line * height, "ready", 5);
    PutF(bytes, 112, 12.5f);
    PutF(bytes, 116, -3.0f);
    PutF(bytes, 120, 41.0f);
    Put32(bytes, 124, 8000);
    PutF(bytes, 128, 2.0f);
    PutF(bytes, 132, 1.25f);
    PutF(bytes, 136, 1.5f);
    Put32(bytes, 140, 0);
    PutF(bytes, 144, 3.5f);
    Put32(bytes, 148, 9);
    Put32(bytes, 152, 77);
    for (std::uint32_t i = 0; i < line * height; ++i)
        bytes[156 + i] = static_cast<std::uint8_t>(i);
    return bytes;
}

// A valid 1.4 JPEG frame of 64 stream bytes, no status text.
Bytes JpegFrame()
{
    Bytes bytes = RgbFrame();
    bytes.resize(156 + 64);
    Put32(bytes, 12, 64);
    Put32(bytes, 24, LiveViewImage::kFormat_Jpeg);
    Put32(bytes, 36, 0);
    Put16(bytes, 40, 0);
    Put16(bytes, 108, 0);
    Put16(bytes, 110, 0);
    bytes[156] = 0xFF;
    bytes[157] = 0xD8;
    return bytes;
}

class LiveViewImageTest : public ::testing::Test
{
protected:
    ImageReceivePackage Package(const Bytes& bytes, std::uint32_t claimedSize = 0)
    {
        ImageReceivePackage package(m_pool);
        package.imageId = 7;
        package.fileName = "frame";
        if (!bytes.empty())
        {
            package.buffer = m_pool.GetBuffer(static_cast<std::uint32_t>(bytes.size()), nullptr);
            std::memcpy(package.buffer.GetData(), bytes.data(), bytes.size());
        }
        package.size = claimedSize != 0 ? claimedSize : static_cast<std::uint32_t>(bytes.size());
        return package;
    }

    // How many pool buffers can be taken at once without waiting.
    int FreeBuffers()
    {
        Q7::Platform::EventCondition_Posix signalled;
        signalled.Set();
        const WaitObjectList abort{&signalled};
        BufferPtr first = m_pool.GetBuffer(1, &abort);
        BufferPtr second = m_pool.GetBuffer(1, &abort);
        return (first.IsEmpty() ? 0 : 1) + (second.IsEmpty() ? 0 : 1);
    }

    BufferPool m_pool{std::make_shared<Allocator>(), 2, 0x400000, L"test "};
};

struct CheckCase
{
    const char* name;
    std::function<void(Bytes&)> mutate;
    const wchar_t* detail; // null: valid
    bool rgb = true;
};

class LiveViewImageChecks : public LiveViewImageTest, public ::testing::WithParamInterface<CheckCase>
{
};

// Each check answers with its own detail text and nothing survives a failure;
// the boundary cases next to each check stay valid (a check that refuses too
// much or too little fails here).
TEST_P(LiveViewImageChecks, EachFaultEndsInItsAnswer)
{
    const CheckCase& test = GetParam();
    Bytes bytes = test.rgb ? RgbFrame() : JpegFrame();
    test.mutate(bytes);
    TestSupport::LogCapture log;
    {
        const ImageReceivePackage package = Package(bytes);
        if (test.detail == nullptr)
        {
            LiveViewImage image(package);
            EXPECT_EQ(image.GetFrameNumber(), 42u);
            return;
        }
        try
        {
            LiveViewImage image(package);
            ADD_FAILURE() << "accepted";
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            EXPECT_EQ(error.GetFullCode(), 0x650003u);
            EXPECT_EQ(std::wstring(error.GetContext().c_str()), L"Invalid live view image file.");
            EXPECT_EQ(log.Count(test.detail), 1u) << "detail not logged";
        }
    }
    // The failed frame released its handle with the package.
    EXPECT_EQ(FreeBuffers(), 2);
}

const CheckCase kChecks[] = {
    {"ShortFile", [](Bytes& b) { b.resize(155); }, L"Invalid file size"},
    {"Short10Header", [](Bytes& b) { Put16(b, 4, 112), b[7] = 0, b.resize(150); }, L"Invalid file size"},
    {"Marker", [](Bytes& b) { b[0] = 'X'; }, L"Invalid header marker"},
    {"HeaderSize111", [](Bytes& b) { Put16(b, 4, 111); }, L"Invalid header size"},
    {"HeaderSize112", [](Bytes& b) { Put16(b, 4, 112); }, nullptr},
    {"Major2", [](Bytes& b) { b[6] = 2; }, L"Unknown version"},
    {"Minor7", [](Bytes& b) { b[7] = 7; }, nullptr},
    {"ImageInsideHeader", [](Bytes& b) { Put32(b, 8, 155); }, L"Invalid image offset/size"},
    {"ImageBeyondFile", [](Bytes& b) { Put32(b, 12, 0xFFFFFFFF); }, L"Invalid image offset/size"},
    {"ImageOffsetWraps", [](Bytes& b) { Put32(b, 8, 0xFFFFFFF0), Put32(b, 12, 0x20); },
     L"Invalid image offset/size"},
    {"StatusInsideHeader", [](Bytes& b) { Put16(b, 110, 100); }, L"Invalid status message offset/size"},
    {"StatusBeyondFile", [](Bytes& b) { Put16(b, 108, 6); }, L"Invalid status message offset/size"},
    {"StatusOverlapsImage", [](Bytes& b) { Put16(b, 110, 156 + 90); }, L"Overlap of data fields"},
    {"LineTooLong", [](Bytes& b) { Put32(b, 36, 25); }, L"Invalid line size"},
    {"LineTimesHeightWraps", [](Bytes& b) { Put32(b, 36, 0x80000000), Put32(b, 32, 2); },
     L"Invalid line size"},
    {"PixelTooWide", [](Bytes& b) { Put32(b, 28, 9); }, L"Invalid pixel size"},
    {"PixelBelowFormat", [](Bytes& b) { Put16(b, 40, 2), Put32(b, 28, 4); }, L"Invalid pixel size"},
    {"UnknownFormat", [](Bytes& b) { Put32(b, 24, 0x77), Put16(b, 40, 0); }, nullptr},
    {"JpegValid", [](Bytes&) {}, nullptr, false},
    {"JpegLineSize", [](Bytes& b) { Put32(b, 36, 1), Put32(b, 32, 1); }, L"Invalid line size", false},
    {"JpegPixelSize", [](Bytes& b) { Put16(b, 40, 3), Put32(b, 28, 0); }, L"Invalid pixel size", false},
    {"ColorMode9", [](Bytes& b) { b[104] = 9; }, nullptr},
    {"Orientation45", [](Bytes& b) { Put16(b, 42, 45); }, L"Invalid orientation (not a multiple of 90)"},
    {"Orientation450", [](Bytes& b) { Put16(b, 42, 450); }, nullptr},
    {"AreaZeroCropsZero",
     [](Bytes& b)
     {
         for (std::size_t o = 44; o < 84; o += 4)
             Put32(b, o, 0);
     },
     nullptr},
    {"SourceCropX", [](Bytes& b) { Put32(b, 52, 6001), Put32(b, 60, 0); }, L"Invalid source crop"},
    {"SourceCropWidth", [](Bytes& b) { Put32(b, 60, 5901); }, L"Invalid source crop"},
    {"SourceCropWraps", [](Bytes& b) { Put32(b, 56, 1), Put32(b, 64, 0xFFFFFFFF); }, L"Invalid source crop"},
    {"SourceCropEdge", [](Bytes& b) { Put32(b, 60, 5900), Put32(b, 64, 3800); }, nullptr},
    {"RequestedCropHeight", [](Bytes& b) { Put32(b, 72, 1); }, L"Invalid requested crop"},
};

INSTANTIATE_TEST_SUITE_P(Lvim, LiveViewImageChecks, ::testing::ValuesIn(kChecks),
                         [](const auto& param) { return std::string(param.param.name); });

// Accessors read the fields where they lie (a swapped offset fails here).
TEST_F(LiveViewImageTest, AccessorsAnswerTheStoredFields)
{
    const Bytes bytes = RgbFrame();
    const ImageReceivePackage package = Package(bytes);
    const LiveViewImage image(package);
    EXPECT_EQ(image.GetImageId(), 7u);
    EXPECT_EQ(image.GetName(), "frame");
    EXPECT_EQ(image.GetImageOffset(), 156u);
    EXPECT_EQ(image.GetImageSize(), 96u);
    EXPECT_EQ(image.GetTimestamp(), 1000u);
    EXPECT_EQ(image.GetWidth(), 8u);
    EXPECT_EQ(image.GetHeight(), 4u);
    EXPECT_EQ(image.GetLineSize(), 24u);
    EXPECT_EQ(image.GetPixelSize(), 3u);
    EXPECT_FALSE(image.IsJpeg());
    EXPECT_EQ(image.GetColorMode(), 1u);
    EXPECT_EQ(image.GetQuality(), 80.0f);
    EXPECT_EQ(image.GetLightness(), 0.5f);
    EXPECT_EQ(image.GetWhiteBalance(), (std::array<float, 3>{1.0f, 1.5f, 2.0f}));
    EXPECT_EQ(image.GetSourceArea(), (LiveViewImage::Area{6000, 4000}));
    EXPECT_EQ(image.GetSourceCrop(), (LiveViewImage::Rect{100, 200, 800, 600}));
    EXPECT_EQ(image.GetRequestedCrop(), (LiveViewImage::Rect{0, 0, 6000, 4000}));
    EXPECT_EQ(image.GetStatusMessage(), "ready");
    EXPECT_EQ(image.GetPayloadSize(), bytes.size() - 156);
    // The pixels are the pool buffer's bytes, not a copy.
    EXPECT_EQ(image.GetImageData(), package.buffer.GetData() + 156);
    EXPECT_EQ(image.GetImageData()[95], 95);
}

struct OptionalCase
{
    const char* name;
    std::uint16_t headerSize;
    std::function<void(Bytes&)> mutate;
    // cameraAngle, analogGain, focusDistance, integrationTime, focusEncoder, word37
    bool present[6];
};

class LiveViewImageOptional : public LiveViewImageTest, public ::testing::WithParamInterface<OptionalCase>
{
};

// Optional fields follow the header size alone and their absent markers.
TEST_P(LiveViewImageOptional, PresentByHeaderSizeAndMarker)
{
    const OptionalCase& test = GetParam();
    Bytes bytes = RgbFrame();
    Put16(bytes, 4, test.headerSize);
    test.mutate(bytes);
    const LiveViewImage image(Package(bytes));
    float f = 0;
    std::uint32_t w = 0;
    const bool angle = image.GetCameraAngle(f);
    EXPECT_EQ(angle, test.present[0]);
    EXPECT_EQ(std::isnan(f), !angle);
    EXPECT_EQ(image.GetAnalogGain(f), test.present[1]);
    EXPECT_EQ(image.GetFocusDistance(f), test.present[2]);
    EXPECT_EQ(image.GetIntegrationTime(w), test.present[3]);
    EXPECT_EQ(image.GetFocusEncoder(w), test.present[4]);
    EXPECT_EQ(w, 0u); // the stored word, present or not
    EXPECT_EQ(image.GetHeaderWord37(w), test.present[5]);
    EXPECT_EQ(w, 9u);
}

const OptionalCase kOptional[] = {
    {"V10", 112, [](Bytes&) {}, {false, false, false, false, false, false}},
    {"V11", 124, [](Bytes&) {}, {true, false, false, false, false, false}},
    {"V12Minor4", 140, [](Bytes& b) { b[7] = 4; }, {true, true, false, true, false, false}},
    {"V14", 156, [](Bytes&) {}, {true, true, true, true, true, true}},
    {"AbsentMarkers",
     156,
     [](Bytes& b) { Put32(b, 112, 0xFFFFFFFF), Put32(b, 124, 0), Put32(b, 128, 0xFFFFFFFF); },
     {false, false, true, false, true, true}},
};

INSTANTIATE_TEST_SUITE_P(Lvim, LiveViewImageOptional, ::testing::ValuesIn(kOptional),
                         [](const auto& param) { return std::string(param.param.name); });

// A package without data is "not attached"; one whose size claims more than
// its buffer holds is read only within the buffer.
TEST_F(LiveViewImageTest, DetachedOrOverclaimedPackages)
{
    try
    {
        LiveViewImage image(Package({}));
        ADD_FAILURE() << "accepted";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650069u);
        EXPECT_EQ(std::wstring(error.GetContext().c_str()), L"Live view image not attached.");
    }
    Bytes bytes = RgbFrame();
    Put32(bytes, 12, 0x400000); // the image would reach beyond the 4 MiB buffer
    TestSupport::LogCapture log;
    EXPECT_THROW(LiveViewImage image(Package(bytes, 0xFFFFFFF0)), Q7::Universal::ModuleError);
    EXPECT_EQ(log.Count(L"Invalid image offset/size"), 1u);
}

TEST(LiveViewImageHeaderSize, ByVersion)
{
    EXPECT_EQ(GetLiveViewImageHeaderSize(0, 9), 112);
    EXPECT_EQ(GetLiveViewImageHeaderSize(1, 0), 112);
    EXPECT_EQ(GetLiveViewImageHeaderSize(1, 2), 140);
    EXPECT_EQ(GetLiveViewImageHeaderSize(1, 3), 148);
    EXPECT_EQ(GetLiveViewImageHeaderSize(1, 7), 156);
    EXPECT_EQ(GetLiveViewImageHeaderSize(2, 0), 156);
}

// The dump prints crops width and height first, and "<empty>" for a short file.
TEST_F(LiveViewImageTest, DumpLines)
{
    const LiveViewImage image(Package(RgbFrame()));
    TestSupport::LogCapture log;
    image.Dump(true);
    EXPECT_EQ(log.Count(L"LVIM sourceCrop       800 x 600 (100, 200)"), 1u);
    EXPECT_EQ(log.Count(L"LVIM sensorTemp.      41.000000"), 1u);
    EXPECT_EQ(log.Count(L"LVIM ------------------------"), 2u);
    image.Dump(false);
    EXPECT_EQ(log.Count(L"LVIM sensorTemp."), 1u);
}

} // namespace
