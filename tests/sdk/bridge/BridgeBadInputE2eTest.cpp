// The camera bridge given bad input: ids that name no open camera, null
// texts, address texts of every malformed shape and absurd length, property
// ids at the edges, and notifications the bridge does not know. Every one
// gives a code (or is logged), never a crash.

#include "BridgeTestSupport.h"

#include "SdkLogCapture.h"

#include <TavrinCpp/Descriptions.h>

#include <climits>
#include <cstring>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using TestSupport::SdkLogCapture;

// Catches a member that answers an id of no open camera with anything but
// -10 (or false, or nothing), the hidden switch of such an id included.
TEST(BridgeBadInputE2eTest, IdsOfNoOpenCameraGiveCameraNotOpenEverywhere)
{
    InOwnProcess(
        [&]
        {
            KpxLibTransport& bridge = Bridge();
            for (const int id : {0, -1, INT_MIN, INT_MAX, 5})
            {
                SCOPED_TRACE(id);
                PropertyValue value;
                PropertySpecification specification;
                std::vector<std::uint32_t> ids{7};
                TetherConnection connection = TetherConnection::Tcp;
                EXPECT_EQ(bridge.CloseCamera(id), CameraNotOpen);
                EXPECT_EQ(bridge.InternalCloseCamera(id, false), Success);
                EXPECT_EQ(bridge.GetPropertyValue(id, 0x1001, value), CameraNotOpen);
                EXPECT_EQ(bridge.GetPropertyValue(id, KpxLibTransport::kExpertModeProperty, value),
                          CameraNotOpen);
                EXPECT_EQ(bridge.SetProperty(id, 0x1001, PropertyValue(1u)), CameraNotOpen);
                EXPECT_EQ(
                    bridge.SetSdkCameraProperty(id, KpxLibTransport::kExpertModeProperty, PropertyValue(1u)),
                    CameraNotOpen);
                EXPECT_EQ(bridge.GetProperty(id, 0x1001, specification), CameraNotOpen);
                EXPECT_EQ(bridge.GetPropertyIds(id, ids), CameraNotOpen);
                EXPECT_EQ(ids, std::vector<std::uint32_t>{7}) << "untouched on failure";
                EXPECT_EQ(bridge.ConnectionType(id, connection), CameraNotOpen);
                EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "The camera is not open");
                EXPECT_FALSE(bridge.IsCameraOpen(id));
                EXPECT_FALSE(bridge.HasHostStorageCapacity(id));
                EXPECT_TRUE(bridge.PropertyFilter(id, {0x1001u}).empty());
                bool flag = true;
                EXPECT_EQ(Q7::TavrinC::IsCameraOpen(id, flag), Success);
                EXPECT_FALSE(flag);
                EXPECT_EQ(Q7::TavrinC::HasProperty(id, 0x1001, flag), CameraNotOpen);
                EXPECT_FALSE(flag);
            }
        });
}

// Catches: an address parser that accepts what a dotted quad is not, that
// recurses or overflows on long digit runs (a regular expression does, and
// atoi does), or reduces a group otherwise than to its low 8 bits; a null
// address or identity that crashes; and a USB open that takes a TCP camera.
TEST(BridgeBadInputE2eTest, AddressTextsOfEveryShapeAndLength)
{
    InOwnProcess(
        [&]
        {
            // 127.0.0.2 is this case's own: "127.0.0.258" names it.
            SimulatedCamera camera;
            camera.Listen(Loopback(2));
            KpxLibTransport& bridge = Bridge();
            Listener listener;
            SdkLogCapture log;
            int id = -7;

            const std::string millionDigits(1000000, '7');
            const std::vector<std::string> malformed{"",
                                                     "127.0.0",
                                                     "127.0.0.",
                                                     ".127.0.0.1",
                                                     "127.0.0.1.",
                                                     "127..0.1",
                                                     "a.b.c.d",
                                                     " 127.0.0.2",
                                                     "127.0.0.2 ",
                                                     "127.0.0.2\n",
                                                     "127.0.0.+2",
                                                     "127.0.0.-2",
                                                     "127.0.0.2x",
                                                     "127,0,0,2",
                                                     "\xd9\xa1.0.0.2",
                                                     millionDigits,
                                                     "127.0.0." + millionDigits + ".1"};
            for (const std::string& address : malformed)
            {
                SCOPED_TRACE(address.substr(0, 40));
                EXPECT_EQ(bridge.OpenIpCamera(id, address.c_str(), nullptr, 5), CameraInvalidAddress);
                EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "Provided IP is not a valid IPv4 address");
            }
            EXPECT_EQ(bridge.OpenIpCamera(id, nullptr, nullptr, 5), CameraInvalidAddress);
            EXPECT_EQ(id, -7);
            EXPECT_EQ(bridge.OpenUsbCamera(id, nullptr, nullptr), CameraNotFound)
                << "no USB camera: none opens";
            EXPECT_EQ(bridge.OpenUsbCamera(id, "SIM0000001", nullptr), CameraNotFound);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "No such camera found");

            const std::vector<std::string> valid{"127.0.0.258", "127.0.0." + std::string(100000, '0') + "02",
                                                 "127.0.256.2", "383.0.0.2"};
            int expected = 1;
            for (const std::string& address : valid)
            {
                SCOPED_TRACE(address.substr(0, 40));
                ASSERT_EQ(bridge.OpenIpCamera(id, address.c_str(), nullptr, -1), Success)
                    << Q7::TavrinC::GetErrorMessage();
                EXPECT_EQ(id, expected++);
                const Event opened = listener.WaitFor(SdkEventType::SdkCameraOpened, id);
                ASSERT_NE(opened, nullptr);
                EXPECT_EQ(opened->GetCameraInfo().address, "127.0.0.2");
                EXPECT_EQ(bridge.CloseCamera(id), Success);
            }
            EXPECT_EQ(log.Count("KpxLibTransport: octet[3] = \"258\" => 2\n"), 1);
            EXPECT_EQ(log.Count("KpxLibTransport: octet[0] = \"383\" => 127\n"), 1);
        });
}

// Catches: notifications with unknown ids or kinds that post something or
// crash, a removal without a device that crashes instead of telling it with
// an invalid description, and notifications acted on after de-initialising
// began.
TEST(BridgeBadInputE2eTest, UnknownNotificationsAreLoggedAndPostNothing)
{
    InOwnProcess(
        [&]
        {
            SimulatedCamera camera;
            camera.Listen(Loopback(171));
            KpxLibTransport& bridge = Bridge();
            Listener listener;
            int id = 0;
            ASSERT_EQ(bridge.OpenIpCamera(id, "127.0.0.171", nullptr, 5), Success);
            // The camera's own notifications of the open come first.
            ASSERT_NE(listener.WaitFor(EventType::CameraPropertyAdded, id, kText21Property), nullptr);
            listener.Rest();
            SdkLogCapture log;

            for (const std::uint32_t unknown : {0u, 2u, 15u, 34u, 59u, 0xFFFFFFFFu})
            {
                bridge.KpxCameraNotify(unknown, nullptr, id);
                EXPECT_EQ(log.Count("KpxCameraNotify: Unhandled KPX camera event id: " +
                                    std::to_string(static_cast<int>(unknown)) + "\n"),
                          1);
            }
            bridge.KpxCameraNotify(11, nullptr, id); // property ids missing
            const std::vector<unsigned int> ids{0x1001, 0x7777, KpxLibTransport::kExpertModeProperty, 0x1022};
            bridge.KpxCameraNotify(14, &ids, 999); // a camera that is not open
            bridge.KpxCameraNotify(14, &ids, id);
            EXPECT_EQ(log.Count("PropertyFilter: Failed to get property id: 30583, for camera 1"), 1);
            bridge.KpxCameraNotify(12, &ids, id);
            bridge.DeviceManagerNotify(static_cast<KpxLibTransport::DeviceManager::EnumNotify>(7), nullptr);
            EXPECT_EQ(log.Count("KpxLibTransport::Notify() unhandled event: 7\n"), 1);
            bridge.DeviceManagerNotify(KpxLibTransport::DeviceManager::kEnumNotify_DeviceRemoved, nullptr);
            KpxLibTransport::DeviceMoniker odd;
            odd.type = 9;
            bridge.DeviceManagerNotify(KpxLibTransport::DeviceManager::kEnumNotify_DeviceArrived, &odd);

            const std::vector<Event> events = listener.Rest();
            EXPECT_EQ(Names(events), (std::vector<std::string>{
                                         "PropertyValueChange(1,4097)", "CameraPropertyRemoved(1,4097)",
                                         "CameraPropertyRemoved(1,30583)", "SdkCameraRemoved(-1,0)",
                                         "SdkCameraFound(-1,0)"}));
            ASSERT_EQ(events.size(), 5u);
            EXPECT_EQ(events[3]->GetCameraInfo().valid, 0);
            EXPECT_EQ(events[4]->GetCameraInfo().valid, 0);
            EXPECT_EQ(log.Count("KpxLibTransport: DeviceMonitor tether type is not supported!"), 1);
            EXPECT_EQ(bridge.CloseCamera(id), Success);
        });
}

// Catches: the serial-number search reading past the text or matching what
// is not two word characters and six digits in parentheses; a string made
// without a factory; and a made string that loses its text.
TEST(BridgeBadInputE2eTest, SerialNumbersInNamesAndStringsOfTheFactory)
{
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("Studio (AB123456)"), "AB123456");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("(x_123456) and (CD654321)"), "x_123456");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("((AB123456))"), "AB123456");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("(AB12345)"), "");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("(AB1234567)"), "");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("(A-123456)"), "");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber("(AB123456"), "");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber(""), "");
    EXPECT_EQ(KpxLibTransport::ExtractSerialNumber(std::string("(AB12\0"
                                                               "456)",
                                                               10)),
              "");
    InOwnProcess(
        [&]
        {
            EXPECT_EQ(KpxLibTransport::CreateString("no SDK"), nullptr);
            Bridge();
            EXPECT_EQ(KpxLibTransport::CreateString("no factory"), nullptr);
            ASSERT_EQ(Q7::TavrinC::RegisterDefaultFactory(), Success);
            Q7::TavrinC::IString* made = KpxLibTransport::CreateString("SIM0000001");
            ASSERT_NE(made, nullptr);
            EXPECT_STREQ(made->CStr(), "SIM0000001");
            made->Release();
            auto owned = std::make_unique<char[]>(4);
            std::strcpy(owned.get(), "abc");
            made = KpxLibTransport::CreateString(std::move(owned));
            ASSERT_NE(made, nullptr);
            EXPECT_EQ(made->Length(), 3u);
            made->Release();
            made = KpxLibTransport::CreateString(std::string());
            ASSERT_NE(made, nullptr);
            EXPECT_EQ(made->Length(), 0u);
            made->Release();
        });
}

} // namespace
