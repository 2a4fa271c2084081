// Event types and notification events: the constants, prototype matching, the
// payload accessors and the one-line descriptions.

#include "NotificationEvent.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Errors.h>
#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/NotificationEvent.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace Q7::Tavrin;
using TestSupport::SdkLogCapture;
using TestSupport::SdkLogLine;

namespace
{

using Event = std::shared_ptr<const INotificationEvent>;

// Test doubles of the image objects that the bridge will make: fixed values,
// enough to tell which one a description read.
template <typename Interface>
class FakeImageBuffer : public Interface
{
public:
    std::shared_ptr<const std::uint8_t> Data() const override { return nullptr; }
    std::uint64_t Size() const override { return 0; }
    ImageFormat Format() const override { return ImageFormat::JPEG; }
    ImageKind Kind() const override { return m_kind; }
    const char* KindName() const override { return m_kind == ImageKind::Tile ? "Tile" : "Preview"; }
    const char* FormatName() const override { return "JPEG"; }
    std::uint32_t Width() const override { return 640; }
    std::uint32_t Height() const override { return 480; }
    std::uint32_t ImageId() const override { return 12; }
    bool HasError() const override { return false; }
    std::uint32_t ErrorFlags() const override { return 0; }
    std::string ErrorsText() const override { return ""; }

protected:
    explicit FakeImageBuffer(ImageKind kind) : m_kind(kind) {}

private:
    ImageKind m_kind;
};

class FakePreview final : public FakeImageBuffer<IPreview>
{
public:
    FakePreview() : FakeImageBuffer(ImageKind::Preview) {}
};

class FakeTile final : public FakeImageBuffer<ITile>
{
public:
    FakeTile() : FakeImageBuffer(ImageKind::Tile) {}
    std::uint32_t GetSrcX() const override { return 0; }
    std::uint32_t GetSrcY() const override { return 0; }
    std::uint32_t GetSrcWidth() const override { return 0; }
    std::uint32_t GetSrcHeight() const override { return 0; }
    float ScaleFactor() const override { return 1.0f; }
};

class FakeBasicInfo final : public IImageFileBasicInfo
{
public:
    std::uint32_t ImageId() const override { return 7; }
    bool HasError() const override { return false; }
    std::uint32_t ErrorFlags() const override { return 0; }
    std::string ErrorsText() const override { return ""; }
    float Aperture() const override { return 0; }
    float Shutter() const override { return 0; }
    float FocusPointX() const override { return 0; }
    float FocusPointY() const override { return 0; }
    float FocalLength() const override { return 0; }
    std::uint32_t WbSetting() const override { return 0; }
    std::uint32_t Compression() const override { return 0; }
    std::int32_t Orientation() const override { return 0; }
    std::uint32_t ImagePixelWidth() const override { return 0; }
    std::uint32_t ImagePixelHeight() const override { return 0; }
    std::uint32_t Iso() const override { return 0; }
    std::uint32_t Rating() const override { return 0; }
    std::uint32_t TimeStamp() const override { return 0; }
    std::uint32_t ImageSize() const override { return 0; }
    std::string FileName() const override { return ""; }
    std::string Table() const override { return "\n+ table +\n"; }
};

Event WithPayload(const BaseEventType& type, std::int32_t cameraId, NotificationEventRecord::Payload payload)
{
    NotificationEventRecord record;
    record.type = &type;
    record.cameraId = cameraId;
    record.payload = std::move(payload);
    return BuildEventFromRecord(std::move(record));
}

CameraInfo Camera(TetherConnection connection, const char* name, const char* address, const char* serial)
{
    CameraInfo info;
    info.valid = 1;
    info.connection = connection;
    info.name = name;
    info.address = address;
    info.serialNumber = serial;
    return info;
}

struct ConstantRow
{
    const BaseEventType* type;
    std::uint32_t id;
    const char* name;
    BaseEventType::Category category;
};

// Catches a constant with a wrong id, name or category, two constants that
// compare equal (equality by value instead of identity), and a printer that
// writes anything but the name.
TEST(EventsTest, TheThirtyTwoConstants)
{
    using C = BaseEventType;
    const std::vector<ConstantRow> rows = {
        {&EventType::Invalid, 0, "Invalid", C::InvalidCategory},
        {&EventType::ImageTransferBegin, 1, "ImageTransferBegin", C::TransferCategory},
        {&EventType::ImageTransferProgress, 2, "ImageTransferProgress", C::TransferCategory},
        {&EventType::CameraImageReady, 3, "CameraImageReady", C::CameraCategory},
        {&EventType::CameraDisconnected, 4, "CameraDisconnected", C::CameraCategory},
        {&EventType::CameraLiveViewStarted, 5, "CameraLiveViewStarted", C::CameraCategory},
        {&EventType::CameraLiveViewStopped, 6, "CameraLiveViewStopped", C::CameraCategory},
        {&EventType::CameraNewLiveViewImage, 7, "CameraNewLiveViewImage", C::CameraCategory},
        {&EventType::CameraPropertyAdded, 8, "CameraPropertyAdded", C::CameraCategory},
        {&EventType::CameraPropertyRemoved, 9, "CameraPropertyRemoved", C::CameraCategory},
        {&EventType::CameraImageAdded, 10, "CameraImageAdded", C::CameraCategory},
        {&EventType::CameraImageRemoved, 11, "CameraImageRemoved", C::CameraCategory},
        {&EventType::CameraImageEdited, 12, "CameraImageEdited", C::CameraCategory},
        {&EventType::CameraImageNewList, 13, "CameraImageNewList", C::CameraCategory},
        {&EventType::CameraPreviewReady, 14, "CameraPreviewReady", C::ImageBufferCategory},
        {&EventType::CameraTileReady, 15, "CameraTileReady", C::ImageBufferCategory},
        {&EventType::CameraImageBasicImageInfo, 16, "CameraImageBasicImageInfo", C::ImageBufferCategory},
        {&EventType::FirmwareTransferBegin, 17, "FirmwareTransferBegin", C::TransferCategory},
        {&EventType::FirmwareTransferProgress, 18, "FirmwareTransferProgress", C::TransferCategory},
        {&EventType::FirmwareTransferDone, 19, "FirmwareTransferDone", C::TransferCategory},
        {&EventType::FirmwareTransferError, 20, "FirmwareTransferError", C::TransferCategory},
        {&EventType::FileTransferBegin, 21, "FileTransferBegin", C::TransferCategory},
        {&EventType::FileTransferProgress, 22, "FileTransferProgress", C::TransferCategory},
        {&EventType::FileTransferDone, 23, "FileTransferDone", C::TransferCategory},
        {&EventType::FileTransferError, 24, "FileTransferError", C::TransferCategory},
        {&SdkEventType::SdkWakeUp, 25, "SdkWakeUp", C::SdkCategory},
        {&SdkEventType::SdkCameraFound, 26, "SdkCameraFound", C::SdkCategory},
        {&SdkEventType::SdkCameraRemoved, 27, "SdkCameraRemoved", C::SdkCategory},
        {&SdkEventType::SdkCameraOpened, 28, "SdkCameraOpened", C::SdkCategory},
        {&SdkEventType::SdkCameraClosed, 29, "SdkCameraClosed", C::SdkCategory},
        {&PropertyEventType::PropertyValueChange, 1000, "PropertyValueChange", C::PropertyCategory},
        {&PropertyEventType::PropertySpecificationChange, 1001, "PropertySpecificationChange",
         C::PropertyCategory},
    };
    ASSERT_EQ(rows.size(), 32u);
    std::set<std::uint32_t> ids;
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        const BaseEventType& type = *rows[i].type;
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(type.id, rows[i].id);
        EXPECT_EQ(type.name, rows[i].name);
        EXPECT_EQ(type.category, rows[i].category);
        std::ostringstream printed;
        printed << type;
        EXPECT_EQ(printed.str(), rows[i].name);
        ids.insert(type.id);
        for (std::size_t j = 0; j < rows.size(); ++j)
        {
            EXPECT_EQ(type == *rows[j].type, i == j) << rows[j].name;
            EXPECT_EQ(type != *rows[j].type, i != j) << rows[j].name;
        }
    }
    EXPECT_EQ(ids.size(), rows.size());
}

struct MatchRow
{
    const char* name;
    Event prototype;
    Event event;
    bool prototypeFirst; // prototype == event
    bool eventFirst;     // event == prototype
};

// Catches a camera check that is not skipped for prototypes without a camera (0
// or -1), a property id that is ignored or compared for other types, a symmetric
// equality, and an operator!= that is not the negation.
TEST(EventsTest, PrototypeMatching)
{
    const auto plain = [](const BaseEventType& type, std::int32_t camera, std::uint32_t id)
    { return BuildNotificationEvent(type, camera, id); };
    const auto& added = EventType::CameraImageAdded;
    const auto& changed = PropertyEventType::PropertyValueChange;
    const std::vector<MatchRow> rows = {
        {"camera 5 matches 5", plain(added, 5, 0), plain(added, 5, 0), true, true},
        {"camera 5 does not match 6", plain(added, 5, 0), plain(added, 6, 0), false, false},
        {"camera 0 matches every camera", plain(added, 0, 0), plain(added, 5, 0), true, false},
        {"camera -1 matches every camera", plain(added, -1, 0), plain(added, 9, 0), true, false},
        {"another type never matches", plain(added, 0, 0), plain(EventType::CameraImageRemoved, 0, 0), false,
         false},
        {"ids do not count for other types", plain(added, 5, 1), plain(added, 5, 2), true, true},
        {"property ids must match", BuildNotificationEvent(changed, 5, 7),
         BuildNotificationEvent(changed, 5, 8), false, false},
        {"property prototype of every camera", BuildNotificationEvent(changed, 0, 7),
         BuildNotificationEvent(changed, 3, 7), true, false},
        {"property of another camera", BuildNotificationEvent(changed, 4, 7),
         BuildNotificationEvent(changed, 3, 7), false, false},
        {"SDK prototype", BuildNotificationEvent(SdkEventType::SdkCameraFound, CameraInfo{}, -1),
         BuildNotificationEvent(SdkEventType::SdkCameraFound, Camera(TetherConnection::Usb, "a", "", "1"), 2),
         true, false},
    };
    for (const MatchRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(*row.prototype == *row.event, row.prototypeFirst);
        EXPECT_EQ(*row.prototype != *row.event, !row.prototypeFirst);
        EXPECT_EQ(*row.event == *row.prototype, row.eventFirst);
    }
}

// One accessor's outcome: the payload, an empty pointer, or an exception code.
constexpr int kPayload = 1;
constexpr int kEmpty = 2;
constexpr int kWrongType = EventDataNotAvailable; // -47
constexpr int kMissing = InternalStateError;      // -42

struct Accessor
{
    const char* name;                                    // as the exception texts use it
    std::function<bool(const INotificationEvent&)> call; // true when something came
};

struct AccessorRow
{
    const char* name;
    Event event;
    std::vector<int> outcomes; // one per accessor, in the order of the accessor table
    bool hasText;
};

// Catches an accessor that checks the wrong type list or alternative, throws
// the wrong code or text, or throws where an empty pointer is due (the
// basic-information prototype), and scalar accessors that disagree.
TEST(EventsTest, AccessorMatrix)
{
    const std::vector<Accessor> accessors = {
        {"Basic image info", [](const INotificationEvent& e) { return e.BasicInfo() != nullptr; }},
        {"Preview", [](const INotificationEvent& e) { return e.Preview() != nullptr; }},
        {"Tile", [](const INotificationEvent& e) { return e.Tile() != nullptr; }},
        {"LiveView", [](const INotificationEvent& e) { return e.LiveView() != nullptr; }},
        {"Full Image", [](const INotificationEvent& e) { return e.FullImage() != nullptr; }},
        {"An image list item", [](const INotificationEvent& e) { return e.StoredImage() != nullptr; }},
        {"CameraInfo", [](const INotificationEvent& e) { return e.GetCameraInfo().name == "found"; }},
        {"transfer progress data", [](const INotificationEvent& e) { return e.TransferProgress() == 42; }},
    };
    constexpr int W = kWrongType;
    const std::vector<AccessorRow> rows = {
        {"basic info",
         WithPayload(EventType::CameraImageBasicImageInfo, 1, std::make_shared<const FakeBasicInfo>()),
         {kPayload, W, W, W, W, W, W, W},
         false},
        {"basic-info prototype",
         BuildNotificationEvent(EventType::CameraImageBasicImageInfo, 1, 0),
         {kEmpty, W, W, W, W, W, W, W},
         false},
        {"preview",
         WithPayload(EventType::CameraPreviewReady, 1, std::make_shared<const FakePreview>()),
         {W, kPayload, W, W, W, W, W, W},
         false},
        {"preview without payload",
         BuildNotificationEvent(EventType::CameraPreviewReady, 1, 0),
         {W, kMissing, W, W, W, W, W, W},
         false},
        {"tile",
         WithPayload(EventType::CameraTileReady, 1, std::make_shared<const FakeTile>()),
         {W, W, kPayload, W, W, W, W, W},
         false},
        {"live view without payload",
         BuildNotificationEvent(EventType::CameraNewLiveViewImage, 1, 0),
         {W, W, W, kMissing, W, W, W, W},
         false},
        {"full image without payload",
         BuildNotificationEvent(EventType::CameraImageReady, 1, 0),
         {W, W, W, W, kMissing, W, W, W},
         false},
        {"stored image without payload",
         BuildNotificationEvent(EventType::CameraImageEdited, 1, 0),
         {W, W, W, W, W, kMissing, W, W},
         false},
        {"camera found",
         BuildNotificationEvent(SdkEventType::SdkCameraFound, Camera(TetherConnection::Tcp, "found", "", ""),
                                -1),
         {W, W, W, W, W, W, kPayload, W},
         false},
        {"SDK event built plainly",
         BuildNotificationEvent(SdkEventType::SdkCameraClosed, 2, 0),
         {W, W, W, W, W, W, kMissing, W},
         false},
        {"camera disconnected",
         BuildNotificationEvent(EventType::CameraDisconnected, 2, 0),
         {W, W, W, W, W, W, W, W},
         false},
        {"file transfer",
         BuildTransferProgressEvent(EventType::FileTransferProgress, 2, 42),
         {W, W, W, W, W, W, W, kPayload},
         false},
        {"image transfer",
         BuildImageTransferEvent(EventType::ImageTransferProgress, 2, 42, "IMG.RVF"),
         {W, W, W, W, W, W, W, kPayload},
         true},
        {"property change",
         BuildNotificationEvent(PropertyEventType::PropertyValueChange, 2, 77),
         {W, W, W, W, W, W, W, W},
         false},
    };
    for (const AccessorRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(row.outcomes.size(), accessors.size());
        for (std::size_t a = 0; a < accessors.size(); ++a)
        {
            SCOPED_TRACE(accessors[a].name);
            try
            {
                const bool came = accessors[a].call(*row.event);
                EXPECT_EQ(came ? kPayload : kEmpty, row.outcomes[a]);
            }
            catch (const SdkException& e)
            {
                EXPECT_EQ(e.Code(), row.outcomes[a]);
                const std::string expected =
                    e.Code() == kMissing
                        ? std::string(accessors[a].name) + " is missing"
                        : std::string("This event type does not contain ") + accessors[a].name;
                EXPECT_EQ(e.what(), expected);
            }
        }
        const INotificationEvent& event = *row.event;
        EXPECT_EQ(event.SubjectId(), event.Id());
        EXPECT_EQ(event.Value(), 0u);
        EXPECT_EQ(event.HasText(), row.hasText);
        const int categories = int{event.IsCameraEvent()} + int{event.IsSdkEvent()} +
                               int{event.IsPropertyEvent()} + int{event.IsTransferEvent()} +
                               int{event.IsImageBufferEvent()};
        EXPECT_EQ(categories, 1);
    }
}

struct DescriptionRow
{
    Event event;
    const char* text;
};

// Catches a blank before "(", a missing trailing ", " of CameraImageReady,
// progress printed as a character, a camera part shown for camera -1, and the
// basic-information branch reading a missing payload.
TEST(EventsTest, DescriptionTexts)
{
    const std::vector<DescriptionRow> rows = {
        {BuildTransferProgressEvent(EventType::FileTransferDone, 3, 100),
         "Notification FileTransferDone, CamId: 3,  100%"},
        {BuildImageTransferEvent(EventType::ImageTransferProgress, 1, 42, "IMG_0001.RVF"),
         "Notification ImageTransferProgress, CamId: 1, IMG_0001.RVF 42%"},
        {BuildNotificationEvent(SdkEventType::SdkCameraFound,
                                Camera(TetherConnection::Tcp, "Studio", "192.0.2.7", "SN1"), -1),
         "Notification SdkCameraFound: Studio(SN1) [IP: 192.0.2.7]"},
        {BuildNotificationEvent(SdkEventType::SdkCameraOpened,
                                Camera(TetherConnection::Usb, "Desk", "", "SN2"), 2),
         "Notification SdkCameraOpened, CamId: 2: Desk(SN2) [USB]"},
        {BuildNotificationEvent(SdkEventType::SdkCameraClosed, 4, 0),
         "Notification SdkCameraClosed, CamId: 4 [SDK event without CameraInfo]"},
        {BuildNotificationEvent(EventType::CameraImageReady, 1, 0),
         "Notification CameraImageReady, CamId: 1, "},
        {BuildNotificationEvent(EventType::CameraDisconnected, 4, 0),
         "Notification CameraDisconnected, CamId: 4"},
        {BuildNotificationEvent(PropertyEventType::PropertyValueChange, 2, 77),
         "Notification PropertyValueChange, CamId: 2 for property id: 77"},
        {BuildNotificationEvent(EventType::CameraPropertyAdded, 0, 5),
         "Notification CameraPropertyAdded for property id: 5"},
        {WithPayload(EventType::CameraPreviewReady, 1, std::make_shared<const FakePreview>()),
         "Notification CameraPreviewReady, CamId: 1, with subtype Preview, imageId = 12, WxH = 640x480, "
         "Format JPEG"},
        {WithPayload(EventType::CameraTileReady, 1, std::make_shared<const FakeTile>()),
         "Notification CameraTileReady, CamId: 1, with subtype Tile, imageId = 12, WxH = 640x480, Format "
         "JPEG"},
        {WithPayload(EventType::CameraImageBasicImageInfo, 1, std::make_shared<const FakeBasicInfo>()),
         "Notification CameraImageBasicImageInfo, CamId: 1\n+ table +\n"},
        {BuildNotificationEvent(EventType::CameraImageBasicImageInfo, 1, 0),
         "Notification CameraImageBasicImageInfo, CamId: 1"},
    };
    for (const DescriptionRow& row : rows)
    {
        EXPECT_EQ(row.event->Description(), row.text);
    }
}

// Catches a description that reads a missing preview instead of throwing as
// the accessor does, and an unhandled category that is not logged.
TEST(EventsTest, DescriptionFailuresAndUnhandledCategory)
{
    try
    {
        BuildNotificationEvent(EventType::CameraPreviewReady, 1, 0)->Description();
        ADD_FAILURE() << "a preview event without preview was described";
    }
    catch (const SdkException& e)
    {
        EXPECT_EQ(e.Code(), InternalStateError);
    }
    SdkLogCapture capture;
    EXPECT_EQ(BuildNotificationEvent(EventType::Invalid, 0, 0)->Description(),
              "Notification Invalid, with unhandled category");
    EXPECT_EQ(capture.Lines(),
              (std::vector<SdkLogLine>{
                  {2, "Notification Invalid, has unhandled category (image, transfer, property, etc)"}}));
}

} // namespace
