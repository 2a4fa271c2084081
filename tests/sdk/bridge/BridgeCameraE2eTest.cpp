// The camera bridge against simulated cameras over loopback TCP and the
// virtual USB bus: ids and events of opens and closes, every KPX value type
// read, converted and set, hidden properties and the expert-mode switch,
// specifications, and changes made on the camera reaching a listener.

#include "BridgeTestSupport.h"

#include "SdkLogCapture.h"

#include <TavrinCpp/Descriptions.h>

#include <bit>
#include <cstring>
#include <optional>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using Q7::Sim::SimValue;

enum class Link
{
    Tcp,
    Usb,
};

std::string LinkName(const ::testing::TestParamInfo<Link>& info)
{
    return info.param == Link::Tcp ? "Tcp" : "Usb";
}

// A simulated camera reached over the link: over TCP at 127.0.0.<address>, on
// USB on the process's virtual bus (installed before the SDK opens).
struct Rig
{
    Rig(Link over, int address, const std::string& serial = "SIM0000001") : link(over), camera(serial)
    {
        if (link == Link::Tcp)
        {
            camera.Listen(Loopback(address));
            addressText = Loopback(address);
        }
        else
        {
            camera.Plug(InstallVirtualBus(), 1);
        }
        Bridge(); // opens the SDK
    }

    ErrorCode Open(int& id, const char* identity = nullptr)
    {
        return link == Link::Tcp
                   ? Bridge().OpenIpCamera(id, addressText.c_str(), identity, 5)
                   : Bridge().OpenUsbCamera(id, camera.sim->Description().serialNumber.c_str(), identity);
    }

    // Opens and takes the SdkCameraOpened event.
    int OpenAndWait(Listener& listener)
    {
        int id = 0;
        EXPECT_EQ(Open(id), Success) << Q7::TavrinC::GetErrorMessage();
        EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraOpened, id), nullptr);
        return id;
    }

    const Link link;
    SimulatedCamera camera;
    std::string addressText;
};

class BridgeCameraE2eTest : public ::testing::TestWithParam<Link>
{
protected:
    int Address(int tcpAddress) const { return GetParam() == Link::Tcp ? tcpAddress : 0; }
};

// Catches: ids that do not start at 1 or are reused, an opened event with
// the wrong description, a close that posts SdkCameraClosed twice or not at
// all, the flat IsCameraOpen and HasProperty not reaching the bridge, and a
// second close of one id that succeeds.
TEST_P(BridgeCameraE2eTest, IdsEventsAndTheFlatQueriesOfOpenAndClose)
{
    InOwnProcess(
        [&]
        {
            Rig rig(GetParam(), Address(161));
            Listener listener;
            int id = 0;
            ASSERT_EQ(rig.Open(id), Success) << Q7::TavrinC::GetErrorMessage();
            EXPECT_EQ(id, 1);
            const Event opened = listener.WaitFor(SdkEventType::SdkCameraOpened, 1);
            ASSERT_NE(opened, nullptr);
            const CameraInfo& info = opened->GetCameraInfo();
            EXPECT_EQ(info.valid, 1);
            if (GetParam() == Link::Tcp)
            {
                EXPECT_EQ(info.connection, TetherConnection::Tcp);
                EXPECT_EQ(info.name, "IpCamera");
                EXPECT_EQ(info.address, "127.0.0.161");
                EXPECT_EQ(info.serialNumber, "");
            }
            else
            {
                EXPECT_EQ(info.connection, TetherConnection::Usb);
                EXPECT_EQ(info.name, "TS-1 Simulator");
                EXPECT_EQ(info.address, "");
                EXPECT_EQ(info.serialNumber, "SIM0000001");
            }

            bool open = false;
            EXPECT_EQ(Q7::TavrinC::IsCameraOpen(1, open), Success);
            EXPECT_TRUE(open);
            bool has = false;
            EXPECT_EQ(Q7::TavrinC::HasProperty(1, 0x1001, has), Success);
            EXPECT_TRUE(has);
            EXPECT_EQ(Q7::TavrinC::HasProperty(1, 0x7777, has), Success);
            EXPECT_FALSE(has);
            EXPECT_EQ(Q7::TavrinC::HasProperty(1, kExpertProperty, has), Success) << "hidden: absent";
            EXPECT_FALSE(has);
            TetherConnection connection = TetherConnection::Unknown;
            EXPECT_EQ(Bridge().ConnectionType(1, connection), Success);
            EXPECT_EQ(connection, GetParam() == Link::Tcp ? TetherConnection::Tcp : TetherConnection::Usb2);

            listener.Drain();
            EXPECT_EQ(Bridge().CloseCamera(1), Success);
            const std::vector<Event> afterClose = listener.Drain();
            EXPECT_EQ(Only(afterClose, {"SdkCameraClosed", "CameraDisconnected"}),
                      std::vector<std::string>{"SdkCameraClosed(1,0)"});
            EXPECT_EQ(Q7::TavrinC::IsCameraOpen(1, open), Success);
            EXPECT_FALSE(open);
            EXPECT_EQ(Q7::TavrinC::HasProperty(1, 0x1001, has), CameraNotOpen);
            EXPECT_EQ(Bridge().CloseCamera(1), CameraNotOpen);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "The camera is not open");

            ASSERT_EQ(rig.Open(id), Success) << Q7::TavrinC::GetErrorMessage();
            EXPECT_EQ(id, 2);
            EXPECT_NE(listener.WaitFor(SdkEventType::SdkCameraOpened, 2), nullptr);
            EXPECT_EQ(Bridge().CloseCamera(2), Success);
            EXPECT_TRUE(rig.camera.sim->Snapshot().violations.empty())
                << rig.camera.sim->Snapshot().DescribeViolations();
        });
}

// One property: the value read from the camera (its Describe text, or the
// failure), the value set, and what reads back (for a type that does not
// read: the bytes the camera holds then).
struct PropertyCase
{
    std::uint32_t id;
    std::string read; // Describe of the value, or empty when readFails
    ErrorCode readFails;
    PropertyValue set;
    ErrorCode setResult;
    std::string readBack;                  // after a successful set, for readable types
    std::vector<std::uint8_t> cameraBytes; // after a successful set, for the others
};

// The little-endian bytes of value, appended.
template <typename T>
void Append(std::vector<std::uint8_t>& bytes, T value)
{
    const auto raw = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
    for (const std::uint8_t byte : raw)
    {
        bytes.push_back(byte);
    }
}

template <typename... T>
std::vector<std::uint8_t> Bytes(T... values)
{
    std::vector<std::uint8_t> bytes;
    (Append(bytes, values), ...);
    return bytes;
}

std::vector<PropertyCase> PropertyCases()
{
    using T = PropertyType;
    using P = PropertyValue;
    ValueColorFloat color{0.75, 0.5, 0.25, 1.0};
    return {
        {0x1001, "3:200", Success, PropertyValue(400u), Success, "3:400", {}},
        {0x1002, "2:0", Success, PropertyValue(-1000), Success, "2:-1000", {}},
        {0x1003, "6:5.6", Success, PropertyValue(8.0), Success, "6:8", {}},
        {0x1004, "8:0", Success, PropertyValue::CreateEnum(2), Success, "8:2", {}},
        {0x1005, "1:0", Success, Typed(T::Bool, 7), Success, "1:1", {}},
        {0x1006, "2:0", Success, PropertyValue(-3), Success, "2:-3", {}},
        {0x1007, "2:-300", Success, PropertyValue(-100), Success, "2:-100", {}},
        {0x1009, "4:-3600000", Success, PropertyValue(123ll), Success, "4:123", {}},
        {0x100A, "5:123456789", Success, PropertyValue(5ull), PropertySetFailed, "", {}},
        {0x100B, "6:1.5", Success, PropertyValue(2.25), Success, "6:2.25", {}},
        {0x100C, "21:1076895760", Success, Typed(T::Time, 5), Success, "21:5", {}},
        {0x100D, "21:578437695752307201", Success, Typed(T::Time, 7), Success, "21:7", {}},
        {0x100E, "7:\"tethered\"", Success, PropertyValue("hello"), Success, "7:\"hello\"", {}},
        {0x100F, "7:\"SIM0000001\"", Success, PropertyValue("x"), PropertySetFailed, "", {}},
        {0x1010, "7:\"TS 50mm\"", Success, PropertyValue("TS 85mm"), Success, "7:\"TS 85mm\"", {}},
        {0x1011, "7:\"Tavrin tests\"", Success, PropertyValue("Somebody"), Success, "7:\"Somebody\"", {}},
        {0x1012, "9:3000,2000", Success, Record(T::Point, &P::point, ValuePoint(10, -20)), Success,
         "9:10,-20", Bytes()},
        {0x1013, "11:6000,4000", Success, Record(T::AreaInt, &P::area, ValueArea(300, 200)), Success,
         "11:300,200", Bytes()},
        {0x1014, "12:0,0", Success, Record(T::AreaFloat, &P::areaFloat, ValueAreaFloat(1.5, 2.5)), Success,
         "12:1.5,2.5", Bytes()},
        {0x1015, "", PropertyTypeNotConvertible,
         Record(T::AreaFloat, &P::areaFloat, ValueAreaFloat(3.5, 4.5)), Success, "", Bytes(3.5, 4.5)},
        {0x1016, "13:0,0,6000,4000", Success, Record(T::Rect, &P::rect, ValueRect(1, 2, 3, 4)), Success,
         "13:1,2,3,4", Bytes()},
        {0x1017, "18:1,0,0,0", Success, Record(T::ColorArgbFloat, &P::color, color), Success,
         "18:1,0.5,0.25,1", Bytes()},
        {0x1018, "", PropertyTypeNotConvertible, Record(T::ColorArgbFloat, &P::color, color), Success, "",
         Bytes(0.5, 0.25, 1.0)},
        {0x1019, "", PropertyTypeNotConvertible, Record(T::ColorRgbFloat, &P::color, color), Success, "",
         Bytes(0.75f, 0.5f, 0.25f, 1.0f)},
        {0x101A, "", PropertyTypeNotConvertible, Record(T::ColorArgbFloat, &P::color, color), Success, "",
         Bytes(0.75, 0.5, 0.25, 1.0)},
        {0x101B, "19:-2,2", Success, Record(T::RangeInt, &P::range, ValueRange(-5, 5)), Success, "19:-5,5",
         Bytes()},
        {0x101C, "19:500,10000", Success, Record(T::RangeInt, &P::range, ValueRange(1, 2)), Success, "19:1,2",
         Bytes()},
        {0x101D, "20:0,0", Success, Record(T::RangeFloat, &P::rangeFloat, ValueRangeFloat(1.5, 3)), Success,
         "20:1.5,3", Bytes()},
        {0x101E, "20:0,0", Success, Record(T::RangeFloat, &P::rangeFloat, ValueRangeFloat(2.5, 7)), Success,
         "20:2.5,7", Bytes()},
        {kU8Property, "3:3", Success, PropertyValue(9u), Success, "3:9", {}},
        {kText21Property, "7:\"nobody\"", Success, PropertyValue("someone"), Success, "7:\"someone\"", {}},
    };
}

// Catches: a KPX code that reads, converts or sets wrongly (a text sent in
// another code than the property's, which the camera refuses; a record whose
// fields are swapped), a set reported as success that the camera never
// applied, and a read-only property whose set is not refused.
TEST_P(BridgeCameraE2eTest, EveryValueTypeReadsConvertsAndSets)
{
    InOwnProcess(
        [&]
        {
            Rig rig(GetParam(), Address(162));
            Listener listener;
            const int id = rig.OpenAndWait(listener);
            KpxLibTransport& bridge = Bridge();
            for (const PropertyCase& c : PropertyCases())
            {
                SCOPED_TRACE(::testing::Message() << "property 0x" << std::hex << c.id);
                PropertyValue value;
                const ErrorCode read = bridge.GetPropertyValue(id, c.id, value);
                EXPECT_EQ(read, c.readFails);
                if (read == Success)
                {
                    EXPECT_EQ(Describe(value), c.read);
                }
                const ErrorCode set = bridge.SetProperty(id, c.id, c.set);
                EXPECT_EQ(set, c.setResult) << Q7::TavrinC::GetErrorMessage();
                if (set != Success)
                {
                    continue;
                }
                ASSERT_NE(listener.WaitFor(PropertyEventType::PropertyValueChange, id, c.id), nullptr);
                if (!c.readBack.empty())
                {
                    ASSERT_EQ(bridge.GetPropertyValue(id, c.id, value), Success);
                    EXPECT_EQ(Describe(value), c.readBack);
                }
                else
                {
                    EXPECT_EQ(rig.camera.model->Find(c.id)->value.bytes, c.cameraBytes);
                }
            }
            EXPECT_TRUE(rig.camera.sim->Snapshot().violations.empty())
                << rig.camera.sim->Snapshot().DescribeViolations();
        });
}

// Catches: a level-20 property visible outside expert mode (listed, read or
// notified), the switch listed or reaching the camera, a switch that reads
// other than 0 or takes a wrong type, and unknown ids not refused with the
// codes of their direction.
TEST_P(BridgeCameraE2eTest, HiddenPropertiesAndTheExpertModeSwitch)
{
    InOwnProcess(
        [&]
        {
            Rig rig(GetParam(), Address(164));
            Listener listener;
            const int id = rig.OpenAndWait(listener);
            KpxLibTransport& bridge = Bridge();
            const auto listed = [&]
            {
                std::vector<std::uint32_t> ids{0xDEAD}; // replaced, not appended to
                EXPECT_EQ(bridge.GetPropertyIds(id, ids), Success);
                return ids;
            };
            const auto contains = [](const std::vector<std::uint32_t>& ids, std::uint32_t wanted)
            { return std::find(ids.begin(), ids.end(), wanted) != ids.end(); };

            std::vector<std::uint32_t> ids = listed();
            EXPECT_EQ(ids.size(), 31u) << "the model's 34 without the two level-20 ones and the switch";
            EXPECT_EQ(ids.front(), 0x1001u);
            EXPECT_FALSE(contains(ids, 0xDEAD));
            EXPECT_FALSE(contains(ids, kExpertProperty));
            EXPECT_FALSE(contains(ids, 0x1008));
            EXPECT_FALSE(contains(ids, kSwitchOnCamera));
            PropertyValue value;
            EXPECT_EQ(bridge.GetPropertyValue(id, kExpertProperty, value), PropertyNotFound);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(), "Could not find property with provided id");
            EXPECT_EQ(bridge.SetProperty(id, kExpertProperty, PropertyValue(1u)), PropertyNotFound);

            // A change of a hidden property is not told; one of a visible one is.
            ASSERT_TRUE(rig.camera.model->ChangeValue(kExpertProperty, SimValue::U32(18)));
            ASSERT_TRUE(rig.camera.model->ChangeValue(0x1001, SimValue::U32(800, "ISO 800")));
            ASSERT_NE(listener.WaitFor(PropertyEventType::PropertyValueChange, id, 0x1001), nullptr);
            EXPECT_EQ(Only(listener.Skipped(), {"PropertyValueChange"}), std::vector<std::string>{});
            ASSERT_EQ(bridge.GetPropertyValue(id, 0x1001, value), Success);
            EXPECT_EQ(Describe(value), "3:800");
            EXPECT_EQ(value.displayText, "ISO 800");

            // The switch: read as 0, never listed, only unsigned values.
            EXPECT_EQ(bridge.GetPropertyValue(id, kSwitchOnCamera, value), Success);
            EXPECT_EQ(Describe(value), "3:0");
            TestSupport::SdkLogCapture log;
            EXPECT_EQ(bridge.SetProperty(id, kSwitchOnCamera, PropertyValue("on")), PropertyNotFound);
            EXPECT_EQ(bridge.SetProperty(id, kSwitchOnCamera, PropertyValue(1.0)), PropertyNotFound);
            EXPECT_EQ(log.Count("KpxLibTransport: Incorrect property-type\n"), 2);
            EXPECT_EQ(bridge.SetProperty(id, kSwitchOnCamera, PropertyValue(1u)), Success);
            ids = listed();
            EXPECT_EQ(ids.size(), 33u);
            EXPECT_TRUE(contains(ids, kExpertProperty));
            EXPECT_TRUE(contains(ids, 0x1008));
            EXPECT_FALSE(contains(ids, kSwitchOnCamera));
            ASSERT_EQ(bridge.GetPropertyValue(id, kExpertProperty, value), Success);
            EXPECT_EQ(Describe(value), "3:18");
            EXPECT_EQ(bridge.GetPropertyValue(id, kSwitchOnCamera, value), Success);
            EXPECT_EQ(Describe(value), "3:0") << "the switch always reads 0";
            EXPECT_EQ(bridge.SetProperty(id, 0x1008, PropertyValue(1u)), PropertySetFailed) << "disabled";
            ASSERT_TRUE(rig.camera.model->ChangeValue(kExpertProperty, SimValue::U32(19)));
            EXPECT_NE(listener.WaitFor(PropertyEventType::PropertyValueChange, id, kExpertProperty), nullptr);
            EXPECT_EQ(bridge.SetProperty(id, kSwitchOnCamera, PropertyValue(0ull)), Success);
            EXPECT_EQ(bridge.GetPropertyValue(id, kExpertProperty, value), PropertyNotFound);
            EXPECT_EQ(listed().size(), 31u);
            EXPECT_EQ(rig.camera.model->Find(kSwitchOnCamera)->value, SimValue::U32(99)) << "never sent";

            // A property the camera drops is told as removed, though it is gone
            // from the cache the filter reads.
            ASSERT_TRUE(rig.camera.model->RemoveProperty(0x1003));
            EXPECT_NE(listener.WaitFor(EventType::CameraPropertyRemoved, id, 0x1003), nullptr);
            EXPECT_EQ(bridge.GetPropertyValue(id, 0x1003, value), PropertyNotOnCamera);

            // Ids the camera does not have.
            for (const std::uint32_t unknown : {0u, 0x7777u, 0xFFFFFFFFu})
            {
                EXPECT_EQ(bridge.GetPropertyValue(id, unknown, value), PropertyNotOnCamera);
                EXPECT_EQ(bridge.SetProperty(id, unknown, PropertyValue(1u)), PropertyNotFound);
                PropertySpecification specification;
                EXPECT_EQ(bridge.GetProperty(id, unknown, specification), PropertyNotOnCamera);
            }
        });
}

// Catches: a specification whose texts, flags, levels, default, range or
// value list are taken from the wrong field; a list appended to the previous
// call's list and a default kept from it; and a failed conversion that hands
// back nothing.
TEST_P(BridgeCameraE2eTest, SpecificationsAreBuiltAfreshFromTheDescriptor)
{
    InOwnProcess(
        [&]
        {
            Rig rig(GetParam(), Address(163));
            Listener listener;
            const int id = rig.OpenAndWait(listener);
            KpxLibTransport& bridge = Bridge();

            PropertySpecification spec;
            ASSERT_EQ(bridge.GetProperty(id, 0x1001, spec), Success);
            EXPECT_EQ(spec.id, 0x1001u);
            EXPECT_EQ(spec.name, "ISO");
            EXPECT_EQ(spec.group, "Exposure");
            EXPECT_EQ(spec.description, "Sensitivity of the sensor");
            EXPECT_EQ(spec.userLevel, 5);
            EXPECT_TRUE(spec.selectOnly);
            EXPECT_TRUE(spec.enabled);
            EXPECT_FALSE(spec.readOnly);
            EXPECT_EQ(Describe(spec.value), "3:200");
            EXPECT_EQ(spec.value.displayText, "ISO 200");
            EXPECT_EQ(Describe(spec.defaultValue), "3:100");
            EXPECT_EQ(spec.defaultValue.displayText, "ISO 100");
            EXPECT_FALSE(spec.range.valid);
            ASSERT_EQ(spec.valueList.size(), 6u);
            EXPECT_EQ(spec.valueList[5].displayText, "ISO 3200");

            // The same object again: nothing of ISO may stay.
            ASSERT_EQ(bridge.GetProperty(id, 0x1002, spec), Success);
            EXPECT_EQ(spec.unit, "mEV");
            EXPECT_TRUE(spec.valueList.empty());
            EXPECT_EQ(Describe(spec.defaultValue), "2:0");
            EXPECT_TRUE(spec.range.valid);
            EXPECT_EQ(Describe(spec.range.min), "2:-3000");
            EXPECT_EQ(Describe(spec.range.max), "2:3000");
            EXPECT_FALSE(spec.selectOnly);

            ASSERT_EQ(bridge.GetProperty(id, 0x100A, spec), Success);
            EXPECT_TRUE(spec.readOnly);
            EXPECT_EQ(spec.userLevel, 11);
            EXPECT_EQ(Describe(spec.defaultValue), "0:") << "no default: left as built";
            ASSERT_EQ(bridge.GetProperty(id, 0x1011, spec), Success);
            EXPECT_EQ(spec.userLevel, 10);
            ASSERT_EQ(bridge.GetProperty(id, 0x1013, spec), Success);
            EXPECT_EQ(spec.value.displayText, "[h=4000 w=6000]") << "the height first";

            TestSupport::SdkLogCapture log;
            EXPECT_EQ(bridge.GetProperty(id, 0x1015, spec), PropertyTypeNotConvertible);
            EXPECT_STREQ(Q7::TavrinC::GetErrorMessage(),
                         "Failed to convert (current) value field of PropertySpec");
            EXPECT_EQ(spec.id, 0x1015u) << "what was converted is handed over";
            EXPECT_EQ(spec.name, "Image area (double)");
            EXPECT_EQ(log.Count("KpxLibTypeConverter: Unhandled source-type: 37\n"), 1);
            EXPECT_EQ(
                log.Count("Failed to convert (current) propertyValue for property: Image area (double)"), 1);
        });
}

INSTANTIATE_TEST_SUITE_P(Links, BridgeCameraE2eTest, ::testing::Values(Link::Tcp, Link::Usb), LinkName);

} // namespace
