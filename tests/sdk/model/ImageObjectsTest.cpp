// The image objects and their payload builders without a camera: the mappings
// of formats and kinds, the error status of a reply, the basic information's
// table, the diagnostic printers, and who owns the bytes.

#include "ImageObjectsImpl.h"
#include "ImagePayloads.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/ImageObjects.h>
#include <TavrinCpp/NotificationEvent.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Q7::Tavrin;

namespace
{

constexpr std::uint32_t kSuccess = 0x67000001;

std::shared_ptr<KpxImageBuffer> Buffer(std::uint32_t kind, std::uint32_t format)
{
    auto record = std::make_shared<KpxImageBuffer>();
    record->status.status = kSuccess;
    record->status.carried = 12;
    record->bufferKind = kind;
    record->imageFormat = format;
    record->bufferWidth = 640;
    record->bufferHeight = 480;
    record->tileX = 10;
    record->tileY = 20;
    record->tileWidth = 300;
    record->tileHeight = 200;
    record->scale = 0.5F;
    record->data = {1, 2, 3, 4, 5};
    return record;
}

std::shared_ptr<KpxBasicImageInfo> Info()
{
    auto record = std::make_shared<KpxBasicImageInfo>();
    auto& body = record->body;
    body.aperture = 4.5F;
    body.shutter = 7.0F;
    body.focusPointX = 0.25F;
    body.focusPointY = 0.75F;
    body.focalLength = 35.0F;
    body.whiteBalance = 1;
    body.rawCompression = 2;
    body.orientation = static_cast<std::uint32_t>(-90);
    body.pixelWidth = 8000;
    body.pixelHeight = 6000;
    body.iso = 200;
    body.rating = 3;
    body.timeStamp = 1700000000;
    body.imageSize = 123456;
    std::memcpy(body.fileName.data(), "IMG_7.TIF", 9);
    record->status.status = kSuccess;
    record->status.carried = 7;
    return record;
}

// ---------------------------------------------------------------- formats and kinds

struct BufferCase
{
    std::uint32_t kind;
    std::uint32_t format;
    ImageKind expectedKind;
    ImageFormat expectedFormat;
    const char* kindName;
    const char* formatName;
};

class ImageBufferMapping : public ::testing::TestWithParam<BufferCase>
{
};

// Catches a wire format or buffer kind reported as the wrong ImageFormat or
// ImageKind, and a name that does not follow the reported value.
TEST_P(ImageBufferMapping, ReportsFormatAndKindOfTheRecord)
{
    const BufferCase& c = GetParam();
    const PreviewImpl preview(Buffer(c.kind, c.format));
    EXPECT_EQ(preview.Kind(), c.expectedKind);
    EXPECT_EQ(preview.Format(), c.expectedFormat);
    EXPECT_STREQ(preview.KindName(), c.kindName);
    EXPECT_STREQ(preview.FormatName(), c.formatName);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageBufferMapping,
    ::testing::Values(BufferCase{1, 1, ImageKind::Preview, ImageFormat::None, "Preview", "None"},
                      BufferCase{1, 2, ImageKind::Preview, ImageFormat::JPEG, "Preview", "JPEG"},
                      BufferCase{2, 4, ImageKind::Tile, ImageFormat::RGB24, "Tile", "RGB24"},
                      BufferCase{7, 3, ImageKind::Unknown, ImageFormat::None, "Unknown", "None"},
                      BufferCase{0, 0, ImageKind::Unknown, ImageFormat::None, "Unknown", "None"}));

// Catches a name table that drifts from the enumerations.
TEST(ImageNames, NameEveryValueAndUnknownOthers)
{
    EXPECT_STREQ(ImageKindName(ImageKind::LiveView), "LiveView");
    EXPECT_STREQ(ImageKindName(ImageKind::RVF), "RVF");
    EXPECT_STREQ(ImageKindName(static_cast<ImageKind>(9)), "Unknown");
    EXPECT_STREQ(ImageFormatName(ImageFormat::Auto), "Auto");
    EXPECT_STREQ(ImageFormatName(ImageFormat::RVF), "RVF");
    EXPECT_STREQ(ImageFormatName(static_cast<ImageFormat>(9)), "Unknown");
}

// ---------------------------------------------------------------- error status

struct StatusCase
{
    std::uint32_t status;
    std::uint32_t assemblyError;
    bool hasError;
    std::uint32_t flags;
    const char* text;
};

class ImageErrorStatus : public ::testing::TestWithParam<StatusCase>
{
};

// Catches a failed reply reported as a success (or the reverse), a wrong flag
// per failure code, and a wrong or misordered line of the error text.
TEST_P(ImageErrorStatus, FlagsAndTextFollowTheStatusBlock)
{
    const StatusCase& c = GetParam();
    KpxAssembleStatus status;
    status.status = c.status;
    status.assemblyError = c.assemblyError;
    status.carried = 33;
    const ImageFileCommonImpl common(&status);
    EXPECT_EQ(common.HasError(), c.hasError);
    EXPECT_EQ(common.ErrorFlags(), c.flags);
    EXPECT_EQ(common.ErrorsText(), c.text);
    EXPECT_EQ(common.ImageId(), 33U);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageErrorStatus,
    ::testing::Values(StatusCase{kSuccess, 0, false, 0, ""}, StatusCase{kSuccess, 5, true, 0, "Errors:\n"},
                      StatusCase{0x67000006, 0, true, 0x3, "Errors:\nQueue Full\n"},
                      StatusCase{0x67000040, 0, true, 0x20, "Errors:\nInvalid ImageId\n"},
                      StatusCase{0x67001FFE, 0, true, 0xFFF,
                                 "Errors:\nQueue Full\nUnsupported Format\nFatal Error\nUnexpected Status\n"
                                 "Invalid ImageId\nIs Busy\nRequest Failed\nInvalid Buffer\nImage Skipped\n"
                                 "Buffer Request Timeout\nFile Is Corrupt\n"},
                      // Bits of a code without its 0x67 prefix set no flag.
                      StatusCase{0x00000FFE, 0, true, 0, "Errors:\n"}));

// Catches an object without a reply status that claims success.
TEST(ImageErrorStatus, NoStatusBlockIsAnError)
{
    const ImageFileCommonImpl common(nullptr);
    EXPECT_TRUE(common.HasError());
    EXPECT_EQ(common.ErrorFlags(), 0x101U);
    EXPECT_EQ(common.ErrorsText(), "Underlying datastruct is nullptr\n");
}

// ---------------------------------------------------------------- basic information

// Catches a row, label, width or alignment of the boxed table that differs
// from the documented one.
TEST(ImageFileBasicInfo, TableIsExact)
{
    const ImageFileBasicInfoImpl info(Info());
    const std::string expected = "+- Parameter -------+- Value ---------+\n"
                                 "| Id:               |               7 |\n"
                                 "| Aperture (APEX):  |             4.5 |\n"
                                 "| Shutter (APEX):   |               7 |\n"
                                 "| FocusPointX:      |            0.25 |\n"
                                 "| FocusPointY:      |            0.75 |\n"
                                 "| FocalLength (mm): |              35 |\n"
                                 "| WB Setting:       |        Daylight |\n"
                                 "| RVF Compression:  |            RVFS |\n"
                                 "| Orientation:      |            270\xC2\xB0 |\n"
                                 "| ImagePixelWidth:  |            8000 |\n"
                                 "| ImagePixelHeight: |            6000 |\n"
                                 "| Iso:              |             200 |\n"
                                 "| Rating: (Stars)   |             *** |\n"
                                 "| TimeStamp: (Unix) |      1700000000 |\n"
                                 "| ImageSize: (bytes)|          123456 |\n"
                                 "| Filename:         |       IMG_7.TIF |\n"
                                 "| Errors:           |               0 |\n"
                                 "+-------------------+-----------------+\n";
    EXPECT_EQ(info.Table(), expected);
    std::ostringstream printed;
    printed << static_cast<const IImageFileBasicInfo&>(info);
    EXPECT_EQ(printed.str(), expected);
    EXPECT_EQ(info.Orientation(), -90);
}

struct BadCode
{
    std::uint32_t whiteBalance;
    std::uint32_t compression;
    std::int32_t orientation;
    std::uint32_t rating;
};

class ImageFileBasicInfoCodes : public ::testing::TestWithParam<BadCode>
{
};

// Catches a code outside its table that prints garbage (or reads past a
// table) instead of throwing the documented std::out_of_range.
TEST_P(ImageFileBasicInfoCodes, UnknownCodeThrowsOutOfRange)
{
    auto record = Info();
    record->body.whiteBalance = GetParam().whiteBalance;
    record->body.rawCompression = GetParam().compression;
    record->body.orientation = static_cast<std::uint32_t>(GetParam().orientation);
    record->body.rating = GetParam().rating;
    const ImageFileBasicInfoImpl info(record);
    try
    {
        (void)info.Table();
        ADD_FAILURE() << "no exception";
    }
    catch (const std::out_of_range& error)
    {
        EXPECT_STREQ(error.what(), "invalid map<K, T> key");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ImageFileBasicInfoCodes,
                         ::testing::Values(BadCode{9, 0, 0, 0}, BadCode{0, 10, 0, 0}, BadCode{0, 0, 45, 0},
                                           BadCode{0, 0, 0, 6}));

// Catches a file name that runs on past its 16-byte field when the camera
// filled it without a zero byte, and one that keeps the bytes after a zero.
TEST(ImageFileBasicInfo, FileNameStopsAtZeroOrTheFieldsEnd)
{
    auto record = Info();
    std::memset(record->body.fileName.data(), 'A', 16);
    record->status.status = 0x41414141; // would continue the name if read on
    EXPECT_EQ(ImageFileBasicInfoImpl(record).FileName(), std::string(16, 'A'));
    record->body.fileName[3] = 0;
    EXPECT_EQ(ImageFileBasicInfoImpl(record).FileName(), "AAA");
}

// ---------------------------------------------------------------- printers

class Capabilities final : public ICameraCapabilities
{
public:
    std::uint32_t MaxPixelsPerTile() const override { return 4194304; }
};

template <typename Object>
std::string Print(const Object& object)
{
    std::ostringstream out;
    out << object;
    return out.str();
}

// Catches a drift of the diagnostic texts (labels, blanks, the kept typo).
TEST(ImagePrinters, TextsAreExact)
{
    const auto record = Buffer(2, 4);
    const TileImpl tile(record);
    const PreviewImpl preview(Buffer(1, 2));
    EXPECT_EQ(Print(static_cast<const IImageBuffer&>(preview)),
              "Format:    JPEG\nSize:      5 bytes\nType:      Preview");
    EXPECT_EQ(
        Print(static_cast<const IPreview&>(preview)),
        "Format:    JPEG\nSize:      5 bytes\nType:      Preview\nWidth:  640 pixels\nHeight: 480 pxiels");
    EXPECT_EQ(Print(static_cast<const ITile&>(tile)),
              "---------------- Tile Received -------\n"
              "Format:    RGB24\nSize:      5 bytes\nType:      Tile\n"
              "Width:  640 pixels\nHeight: 480 pxiels\n"
              "GetSrcX:                10\n"
              "GetSrcY:                20\n"
              "GetSrcWidth:            300\n"
              "GetSrcHeight:           200\n"
              "ScaleFactor:            0.5\n"
              "--------------------------------------\n");
    EXPECT_EQ(Print(Capabilities()), "Camera capabilities:\nMax no of pixels per tile: 4194304");
}

// ---------------------------------------------------------------- payloads and events

// Catches preview bytes freed with the preview or its event: code written
// against IImageBuffer keeps Data() alone (asan reports the read otherwise).
TEST(ImagePayloads, PreviewDataOutlivesPreviewAndEvent)
{
    std::shared_ptr<const std::uint8_t> data;
    {
        auto record = Buffer(1, 2);
        const auto event = BuildImageEvent(EventType::CameraPreviewReady, 4, record);
        record.reset();
        const std::shared_ptr<const IPreview> preview = event->Preview();
        ASSERT_NE(preview, nullptr);
        EXPECT_EQ(preview->ImageId(), 12U);
        EXPECT_EQ(event->Description(),
                  "Notification CameraPreviewReady, CamId: 4, with subtype Preview, imageId = 12, WxH = "
                  "640x480, Format JPEG");
        data = preview->Data();
    }
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(data.get(), data.get() + 5),
              (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
}

// Catches a record leaked or freed twice by an event: the event co-owns it
// and gives it up with its last object.
TEST(ImagePayloads, EventCoOwnsItsRecord)
{
    auto record = Info();
    std::weak_ptr<KpxBasicImageInfo> watch = record;
    auto event = BuildImageEvent(EventType::CameraImageBasicImageInfo, 3, std::move(record));
    auto info = event->BasicInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->FileName(), "IMG_7.TIF");
    event.reset();
    EXPECT_FALSE(watch.expired());
    info.reset();
    EXPECT_TRUE(watch.expired());
}

// Catches an event made for a type without an image object (its record then
// lost or taken over), and a null record that does not give an empty event.
TEST(ImagePayloads, UnlistedTypeThrowsAndLeavesTheRecord)
{
    const std::shared_ptr<const void> record = Buffer(1, 2);
    try
    {
        (void)BuildImageEvent(EventType::CameraImageNewList, 2, record);
        ADD_FAILURE() << "no exception";
    }
    catch (const SdkException& error)
    {
        EXPECT_EQ(error.Code(), GeneralError);
        EXPECT_STREQ(error.what(), "Unhandled notification event type!");
    }
    EXPECT_EQ(record.use_count(), 1);

    const auto listChanged = BuildImageEvent(EventType::CameraImageNewList, 2, nullptr);
    EXPECT_EQ(&listChanged->Type(), &EventType::CameraImageNewList);
    const auto emptyInfo = BuildImageEvent(EventType::CameraImageBasicImageInfo, 2, nullptr);
    EXPECT_EQ(emptyInfo->BasicInfo(), nullptr);
}

} // namespace
