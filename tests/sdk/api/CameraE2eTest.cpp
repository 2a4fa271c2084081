// Camera through its public members against a simulated camera over loopback
// TCP: every member of an open camera, the state after Close for closed,
// moved-from and default cameras, a lost link, and the file readers.

#include "FacadeTestSupport.h"
#include "SdkLogCapture.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Sdk.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <typeinfo>

namespace
{

using namespace FacadeTest;
using namespace Q7::Tavrin;
using BridgeTest::kText21Property;
using BridgeTest::kU8Property;

bool Listed(const std::vector<CameraListElement>& cameras, const std::string& address, bool open)
{
    return std::any_of(cameras.begin(), cameras.end(),
                       [&](const CameraListElement& camera)
                       { return camera.address == address && camera.open == open; });
}

// Catches: a member that forwards to the wrong flat function or drops its
// result, texts of the camera list lost, capabilities not read at open.
TEST(CameraE2eTest, EveryMemberOfAnOpenCamera)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    ASSERT_TRUE(camera.IsOpen());
    EXPECT_GT(camera.Id(), 0);
    EXPECT_EQ(camera.ConnectionType(), TetherConnection::Tcp);

    const std::vector<CameraListElement> cameras = Camera::AvailableCameras();
    EXPECT_TRUE(Listed(cameras, simulator.address, true));

    const std::vector<unsigned int> ids = camera.AllPropertyIds();
    EXPECT_NE(std::find(ids.begin(), ids.end(), kU8Property), ids.end());
    EXPECT_EQ(camera.Property(kU8Property).intValue, 3);
    EXPECT_EQ(camera.PropertySpec(kU8Property).name, "Drive mode");
    // The camera's cache takes the new value when the camera reports it.
    Listener changes(camera, kText21Property, false);
    PropertyValue text = camera.Property(kText21Property);
    text.textValue = "somebody";
    camera.SetProperty(kText21Property, text);
    ASSERT_NE(changes.WaitForNotification(10000), nullptr);
    EXPECT_EQ(camera.Property(kText21Property).textValue, "somebody");
    EXPECT_THROW(camera.Property(0xDEAD), SdkException);

    EXPECT_EQ(camera.AllImages().size(), 4U);
    const auto capabilities = camera.Capabilities();
    ASSERT_NE(capabilities, nullptr);
    EXPECT_EQ(capabilities->MaxPixelsPerTile(), 1024U * 1024U);
    ASSERT_NE(camera.Subscriptions(), nullptr);

    camera.SetHostStorageCapacity(1000);
    const unsigned char firmware[] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(camera.UpdateCameraFirmware(firmware, sizeof firmware));
    ASSERT_EQ(simulator.programming->Uploads().size(), 1U);
    EXPECT_EQ(simulator.programming->Uploads()[0].bytes, std::vector<std::uint8_t>(firmware, firmware + 8));

    Listener added(camera, EventType::CameraImageAdded);
    camera.TriggerCapture();
    const auto event = added.WaitForNotification(10000);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->CameraId(), camera.Id());
}

// Catches property members throwing other exceptions than their header names:
// an unknown id is a plain SdkException -24, a hidden one PropertyNotFoundExc,
// a value its property's wire type cannot hold PropertySetFailedException
// naming the value and the type.
TEST(CameraE2eTest, PropertyMembersThrowWhatTheirHeaderSays)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const auto thrown =
        [](const std::function<void()>& call) -> std::pair<const std::type_info*, SdkException>
    {
        try
        {
            call();
        }
        catch (const SdkException& e)
        {
            return {&typeid(e), e};
        }
        return {nullptr, SdkException("nothing thrown", Success)};
    };
    for (const auto& call : {std::function<void()>([&] { camera.Property(0xDEAD); }),
                             std::function<void()>([&] { camera.PropertySpec(0xDEAD); })})
    {
        const auto [type, e] = thrown(call);
        EXPECT_TRUE(type != nullptr && *type == typeid(SdkException));
        EXPECT_EQ(e.Code(), PropertyNotOnCamera);
        EXPECT_STREQ(e.what(), "Could not find property with provided id");
    }
    EXPECT_THROW(camera.Property(BridgeTest::kExpertProperty), PropertyNotFoundExc);
    EXPECT_THROW(camera.SetProperty(kU8Property, PropertyValue(1)), PropertyWrongTypeExc);
    const auto [type, e] = thrown([&] { camera.SetProperty(kU8Property, PropertyValue(256U)); });
    EXPECT_TRUE(type != nullptr && *type == typeid(PropertySetFailedException));
    EXPECT_NE(std::string(e.what()).find(
                  "UInt32 value 256 does not fit the property's KPX type 2 (unsigned 8-bit integer)"),
              std::string::npos)
        << e.what();
}

// Catches: the log or a download that returns without the camera's bytes.
TEST(CameraE2eTest, DiagnosticsLogAndFiles)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    const std::vector<unsigned char> log = camera.DiagnosticsLog();
    EXPECT_EQ(log, FacadeSimulator::DiagnosticsLog());
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("tavrin-facade-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    EXPECT_TRUE(camera.SaveDiagnosticsLog(folder / "log.txt"));
    EXPECT_EQ(std::filesystem::file_size(folder / "log.txt"), log.size());
    EXPECT_TRUE(camera.DownloadFile(DownloadFileId::Log, folder / "download.txt"));
    EXPECT_EQ(std::filesystem::file_size(folder / "download.txt"), log.size());
    {
        std::ofstream data(folder / "data.bin", std::ios::binary);
        data << "some bytes";
    }
    EXPECT_TRUE(camera.UploadFile(UploadFileId::Data, folder / "data.bin"));
    const auto uploads = simulator.programming->Uploads();
    ASSERT_EQ(uploads.size(), 1U);
    EXPECT_EQ(uploads[0].name, "data.bin"); // the last path component alone
    EXPECT_EQ(std::string(uploads[0].bytes.begin(), uploads[0].bytes.end()), "some bytes");
    std::filesystem::remove_all(folder);
}

// Catches: a missing upload file sent anyway (or with another text), and the
// firmware reader checking the camera before the file.
TEST(CameraE2eTest, FileReadersRefuseMissingFiles)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    Listener transfers;
    transfers.EnableCatchAllNotifications();
    const std::string missing = "/nonexistent-tavrin-folder/firmware.fwr";
    try
    {
        camera.UploadFile(UploadFileId::Firmware, missing);
        ADD_FAILURE() << "a missing file was uploaded";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_EQ(std::string(e.what()), "File not found: " + missing);
    }
    // Nothing was sent: no transfer event came.
    while (const auto event = transfers.WaitForNotification(300))
    {
        EXPECT_FALSE(event->IsTransferEvent()) << event->Description();
    }
    Camera closed;
    try
    {
        closed.UpdateCameraFirmware(missing);
        ADD_FAILURE() << "a missing firmware file was read";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_EQ(std::string(e.what()), "File Not Found: " + missing + "\n");
    }
}

enum class Without
{
    Closed,
    MovedFrom,
    Default,
};

class CameraWithoutCameraTest : public ::testing::TestWithParam<Without>
{
};

// Catches: a closed, moved-from or default camera that still answers, throws
// from Close, or keeps its subscriptions and capabilities.
TEST_P(CameraWithoutCameraTest, BehavesAsClosed)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    Camera other;
    Camera* subject = &other;
    switch (GetParam())
    {
    case Without::Closed:
        camera.Close();
        subject = &camera;
        break;
    case Without::MovedFrom:
        other = std::move(camera);
        ASSERT_TRUE(other.IsOpen());
        subject = &camera;
        break;
    case Without::Default:
        break;
    }
    EXPECT_FALSE(subject->IsOpen());
    EXPECT_THROW(subject->Id(), CameraNotOpenExc);
    EXPECT_THROW(subject->Property(kU8Property), CameraNotOpenExc);
    EXPECT_THROW(subject->TriggerCapture(), CameraNotOpenExc);
    EXPECT_EQ(subject->Subscriptions(), nullptr);
    EXPECT_EQ(subject->Capabilities(), nullptr);
    subject->Close();
    subject->Close();
    EXPECT_FALSE(subject->IsOpen());
    // A listener for it throws and leaves nothing registered.
    std::uint32_t before = 0;
    ASSERT_EQ(Q7::TavrinC::RegisterListener(before), Success);
    EXPECT_THROW(Listener(*subject, EventType::CameraImageAdded), CameraNotOpenExc);
    EXPECT_THROW(Listener(*subject, kU8Property, false), CameraNotOpenExc);
    for (std::uint32_t id = before + 1; id <= before + 2; ++id)
    {
        EXPECT_EQ(Q7::TavrinC::DeregisterListener(id), ListenerNotInitialized) << id;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CameraWithoutCameraTest,
                         ::testing::Values(Without::Closed, Without::MovedFrom, Without::Default),
                         [](const auto& test)
                         {
                             switch (test.param)
                             {
                             case Without::Closed:
                                 return "Closed";
                             case Without::MovedFrom:
                                 return "MovedFrom";
                             case Without::Default:
                                 return "Default";
                             }
                             return "";
                         });

// Catches: self move-assignment freeing the camera it then keeps.
TEST(CameraE2eTest, SelfMoveAssignmentKeepsTheCamera)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    Camera& same = camera;
    camera = std::move(same);
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_EQ(camera.Property(kU8Property).intValue, 3);
}

// Catches: a lost link that makes IsOpen false, or members that then report
// success.
TEST(CameraE2eTest, AfterTheLinkDropsIsOpenStaysTrueAndMembersThrow)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    Listener disconnected(camera, EventType::CameraDisconnected);
    simulator.camera.sim->Stop();
    ASSERT_NE(disconnected.WaitForNotification(10000), nullptr);
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_THROW(camera.Property(kU8Property), CameraNotOpenExc);
}

// Catches: a listener with a property filter that receives the other kind
// of change, or another property's.
TEST(CameraE2eTest, PropertyListenersReceiveTheirKindOnly)
{
    FacadeSimulator simulator;
    Camera camera = simulator.Open();
    Listener values(camera, kU8Property, false);
    Listener specifications(camera, kU8Property, true);
    simulator.camera.model->ChangeValue(BridgeTest::kExpertProperty, Q7::Sim::SimValue::U32(1));
    simulator.camera.model->ChangeValue(kU8Property, Q7::Sim::SimValue::U8(4));
    const auto value = values.WaitForNotification(10000);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(&value->Type(), &PropertyEventType::PropertyValueChange);
    EXPECT_EQ(value->Id(), kU8Property);
    auto descriptor = simulator.camera.model->Find(kU8Property)->descriptor;
    descriptor.name = "Drive";
    simulator.camera.model->ChangeDescriptor(kU8Property, descriptor);
    const auto specification = specifications.WaitForNotification(10000);
    ASSERT_NE(specification, nullptr);
    EXPECT_EQ(&specification->Type(), &PropertyEventType::PropertySpecificationChange);
    EXPECT_EQ(values.WaitForNotification(300), nullptr);
}

// Catches: an SDK filter that misses the open of a camera, or an id other
// than the camera's.
TEST(CameraE2eTest, SdkListenerSeesTheOpenAndClose)
{
    FacadeSimulator simulator;
    Listener sdk;
    sdk.EnableNotification(SdkEventType::SdkCameraOpened);
    sdk.EnableNotification(SdkEventType::SdkCameraClosed);
    Camera camera = simulator.Open();
    const int id = camera.Id();
    const auto opened = sdk.WaitForNotification(10000);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(&opened->Type(), &SdkEventType::SdkCameraOpened);
    EXPECT_EQ(opened->CameraId(), id);
    camera.Close();
    const auto closed = sdk.WaitForNotification(10000);
    ASSERT_NE(closed, nullptr);
    EXPECT_EQ(&closed->Type(), &SdkEventType::SdkCameraClosed);
}

// Catches: an open of an address where nothing listens that hangs or
// reports success.
TEST(CameraE2eTest, OpenWhereNothingListensThrows)
{
    EXPECT_THROW(Camera::OpenIpCamera("127.0.0.255", "", 2), CameraCouldNotConnectExc);
    EXPECT_THROW(Camera::OpenIpCamera("", "", 2), CameraCouldNotConnectExc);
}

// Catches: camera-list texts that are never released ("Undeleted string" at
// close) or an SDK that stays unreachable for LSan.
TEST(CameraE2eTest, AvailableCamerasThousandTimesLeavesNoText)
{
    BridgeTest::InOwnProcess(
        []
        {
            FacadeSimulator simulator;
            TestSupport::SdkLogCapture log;
            {
                Camera camera = simulator.Open();
                for (int i = 0; i < 1000; ++i)
                {
                    ASSERT_TRUE(Listed(Camera::AvailableCameras(), simulator.address, true));
                }
            }
            EnsureClosed();
            for (const auto& line : log.Lines())
            {
                EXPECT_EQ(line.text.find("Undeleted string"), std::string::npos) << line.text;
            }
        });
}

} // namespace
