// End to end over loopback TCP and the virtual USB bus: the enumeration agent of the library reads a
// simulated camera's device information and channel list on channel 0.0, and
// refuses the camera's malformed replies with the documented errors.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Agents/Enumeration/KPXEnumeration.h"
#include "Agents/Enumeration/KPXEnumerationAgent.h"
#include "Channel/KPXChannelTransport.h"
#include "E2eTransport.h"
#include "Q7UniversalError.h"
#include "RaisedError.h"
#include "SimCamera.h"
#include "SimEnumerationHandler.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;
namespace Sim = Q7::Sim;

using TestSupport::Raised;

void PutU16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value)
{
    bytes[offset] = static_cast<std::uint8_t>(value);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value)
{
    PutU16(bytes, offset, static_cast<std::uint16_t>(value));
    PutU16(bytes, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

Sim::ChannelConfig Channel(std::uint8_t channel, std::uint8_t sub, std::vector<Sim::Version> versions)
{
    Sim::ChannelConfig config;
    config.id = {channel, sub};
    config.versions = std::move(versions);
    return config;
}

class EnumerationE2E : public ::testing::TestWithParam<E2e::E2eTransport>
{
protected:
    // Starts a camera with the description (and the channel 0.0 reply
    // mutators, when given) and opens channel 0.0 to it.
    void Connect(Sim::CameraDescription description,
                 std::optional<Sim::EnumerationHandler::Options> options = {},
                 std::uint32_t replyTimeoutMs = EnumerationAgent::kReplyTimeoutMs)
    {
        m_camera = std::make_unique<Sim::Camera>(std::move(description));
        if (options)
            m_camera->SetChannelHandler({0, 0}, Sim::EnumerationHandler::Factory(*options));
        m_camera->Start("127.0.0.1", 0);
        m_device = E2e::OpenSimulatedDevice(GetParam(), *m_camera);
        m_transport = std::make_unique<ChannelTransport>(*m_device, Transport::kDefaultPipeId);
        ASSERT_EQ(m_transport->Start(), 0u);
        m_agent = std::make_unique<EnumerationAgent>(*m_transport, replyTimeoutMs);
        ASSERT_TRUE(m_agent->Open());
    }

    // Connects to a default camera whose device info reply the mutator alters
    // and asks for the device info; the error that request raised.
    Raised DeviceInfoErrorWith(Sim::EnumerationHandler::ReplyMutator mutator, DeviceInfo& info)
    {
        Sim::EnumerationHandler::Options options;
        options.deviceInfoMutator = std::move(mutator);
        Connect(Sim::CameraDescription::Default(), options);
        if (HasFatalFailure())
            return {};
        return TestSupport::RaisedBy([&] { m_agent->GetDeviceInfo(info); });
    }

    // Connects to a default camera whose channel list reply the mutator alters
    // and asks for the channel list; the error that request raised.
    Raised ChannelListErrorWith(Sim::EnumerationHandler::ReplyMutator mutator, ChannelList& list)
    {
        Sim::EnumerationHandler::Options options;
        options.channelListMutator = std::move(mutator);
        Connect(Sim::CameraDescription::Default(), options);
        if (HasFatalFailure())
            return {};
        return TestSupport::RaisedBy([&] { m_agent->GetChannelList(list); });
    }

    void TearDown() override { Disconnect(); }

    // Ends the connection and checks the camera saw no protocol violation.
    void Disconnect()
    {
        m_agent.reset();
        m_transport.reset();
        m_device.reset();
        if (m_camera)
        {
            const Sim::Observations observed = m_camera->Snapshot();
            EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
            m_camera->Stop();
            m_camera.reset();
        }
    }

    // The number of messages of the enumeration class and `type` the camera
    // received.
    std::size_t Requests(std::uint8_t type) const
    {
        std::size_t count = 0;
        for (const auto& message : m_camera->Snapshot().messages)
            count += message.header.messageClass == 0x64 && message.header.messageType == type;
        return count;
    }

    // The transport type the camera's channel list reports by default.
    std::uint8_t ListedTransport() const
    {
        return GetParam() == E2e::E2eTransport::Tcp ? Sim::kTransportTcp : Sim::kTransportUsb;
    }

    std::unique_ptr<Sim::Camera> m_camera;
    std::unique_ptr<Transport::DeviceInterface> m_device;
    std::unique_ptr<ChannelTransport> m_transport;
    std::unique_ptr<EnumerationAgent> m_agent;
};

// ---------------------------------------------------------------------------
// What the camera describes arrives field by field.

TEST_P(EnumerationE2E, DeviceInfoArrivesFieldByField)
{
    Sim::CameraDescription description = Sim::CameraDescription::Default();
    description.deviceType = 9;
    description.deviceFlags = 0x8001;
    description.manufacturerId = 4242;
    description.modelId = 0xC0FFEE;
    description.mountInterfaceId = 17;
    description.hardwareRevision = 6;
    description.hardwareConfig = 0xAB;
    description.firmwareMajor = 3;
    description.firmwareMinor = 5;
    description.firmwareBuild = 1234;
    description.firmwareText = "3.05.1234-rc1";
    description.manufacturerName = std::string(31, 'M'); // fits with its terminator
    description.modelName = std::string(32, 'N');        // fills the field: cut to 31
    description.mountInterfaceName = "Mount A";
    description.serialNumber = "SER" + std::string(40, '7');  // longer than the field
    description.additionalDescription = std::string(80, 'd'); // fills the field: cut to 79
    Connect(description);

    DeviceInfo info;
    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.deviceType, 9u);
    EXPECT_EQ(info.deviceFlags, 0x8001u);
    EXPECT_EQ(info.enumerationMajorLowest, 1u);
    EXPECT_EQ(info.enumerationMajorHighest, 2u);
    EXPECT_EQ(info.manufacturerId, 4242u);
    EXPECT_EQ(info.modelId, 0xC0FFEEu);
    EXPECT_EQ(info.mountInterfaceId, 17u);
    EXPECT_EQ(info.hardwareRevision, 6u);
    EXPECT_EQ(info.hardwareConfig, 0xABu);
    EXPECT_EQ(info.firmwareVersion.packed, (3u << 24) | (5u << 16) | 1234u);
    EXPECT_EQ(info.firmwareVersion.text, "3.05.1234-rc1");
    EXPECT_EQ(info.manufacturerName, std::string(31, 'M'));
    EXPECT_EQ(info.modelName, std::string(31, 'N'));
    EXPECT_EQ(info.mountInterfaceName, "Mount A");
    EXPECT_EQ(info.serialNumber, "SER" + std::string(28, '7'));
    EXPECT_EQ(info.additionalDescription, std::string(79, 'd'));
    EXPECT_EQ(Requests(0x01), 1u);
}

// Without a firmware text the record's text is made from the packed number.
TEST_P(EnumerationE2E, EmptyFirmwareTextIsMadeFromTheNumber)
{
    Sim::CameraDescription description = Sim::CameraDescription::Default();
    description.firmwareMajor = 2;
    description.firmwareMinor = 7;
    description.firmwareBuild = 65535;
    description.firmwareText.clear();
    Connect(description);

    DeviceInfo info;
    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.firmwareVersion.text, "2.07.65535");
}

TEST_P(EnumerationE2E, ChannelListArrivesAsDescribed)
{
    Sim::CameraDescription description = Sim::CameraDescription::Default();
    Sim::ChannelConfig own = Channel(6, 0, {{1, 0}, {3, 2}});
    own.tcpPort = 40123;
    own.flags = 0x5;
    description.channels.push_back(own);
    Sim::ChannelConfig usb = Channel(7, 1, {{2, 0}});
    usb.transportType = Sim::kTransportUsb;
    usb.usbEndpoint = 3;
    usb.usbBurstIn = true;
    description.channels.push_back(usb);
    Sim::ChannelConfig hidden = Channel(8, 0, {{1, 0}});
    hidden.listed = false;
    description.channels.push_back(hidden);
    Connect(description);

    ChannelList list;
    ASSERT_TRUE(m_agent->GetChannelList(list));
    std::vector<const Sim::ChannelConfig*> listed;
    for (const auto& config : m_camera->Description().channels)
    {
        if (config.listed)
            listed.push_back(&config);
    }
    ASSERT_EQ(list.size(), listed.size());
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        SCOPED_TRACE(listed[i]->id.ToString());
        const ChannelDescriptor& descriptor = *list[i];
        EXPECT_EQ(descriptor.channelNumber, listed[i]->id.channel);
        EXPECT_EQ(descriptor.subChannelNumber, listed[i]->id.sub);
        EXPECT_EQ(descriptor.majorVersionLowest, listed[i]->LowestMajor());
        EXPECT_EQ(descriptor.majorVersionHighest, listed[i]->HighestMajor());
        EXPECT_EQ(descriptor.channelFlags, listed[i]->flags);
        EXPECT_EQ(descriptor.legacyMark, 0u);
        EXPECT_EQ(descriptor.transportType, listed[i]->TransportTypeOver(ListedTransport()));
        if (listed[i]->TransportTypeOver(ListedTransport()) == Sim::kTransportTcp)
        {
            ASSERT_NE(dynamic_cast<const TcpChannelDescriptor*>(&descriptor), nullptr);
            // Every channel rides on the control connection's port unless it names its own.
            EXPECT_EQ(descriptor.GetPipeId(), listed[i]->tcpPort.value_or(m_camera->Port()));
        }
        else
        {
            ASSERT_NE(dynamic_cast<const UsbChannelDescriptor*>(&descriptor), nullptr);
            // 4.2 on endpoint 2 with burst IN, the rest on endpoint 1, unless named.
            EXPECT_EQ(descriptor.GetPipeId(), listed[i]->UsbEndpoint());
            EXPECT_EQ(static_cast<const UsbChannelDescriptor&>(descriptor).enableBurstIn,
                      listed[i]->UsbBurstIn());
        }
    }
    const auto* usbDescriptor = dynamic_cast<const UsbChannelDescriptor*>(list.back().get());
    ASSERT_NE(usbDescriptor, nullptr);
    EXPECT_EQ(usbDescriptor->usbEndpoint, 3u);
    EXPECT_TRUE(usbDescriptor->enableBurstIn);
    EXPECT_EQ(list[list.size() - 2]->GetPipeId(), GetParam() == E2e::E2eTransport::Tcp ? 40123u : 1u);
    EXPECT_EQ(list[list.size() - 2]->majorVersionHighest, 3u);
    // The device information was read first, then the list.
    EXPECT_EQ(Requests(0x01), 1u);
    EXPECT_EQ(Requests(0x02), 1u);
}

// A legacy camera announces 0 to 11; the fix takes the majors from the legacy
// table where it has a row.
TEST_P(EnumerationE2E, LegacyRangesAreFixed)
{
    Sim::CameraDescription description = Sim::CameraDescription::Default();
    for (auto& config : description.channels)
    {
        if (config.id.channel == 2 || config.id.channel == 5)
        {
            config.listedLowestMajor = 0;
            config.listedHighestMajor = 11;
        }
    }
    Sim::ChannelConfig unknown = Channel(6, 0, {{1, 0}});
    unknown.listedLowestMajor = 0;
    unknown.listedHighestMajor = 11;
    description.channels.push_back(unknown);
    Connect(description);

    ChannelList list;
    ASSERT_TRUE(m_agent->GetChannelList(list));
    int legacy = 0;
    for (const auto& descriptor : list)
    {
        const auto version = FindLegacyVersion(descriptor->channelNumber, descriptor->subChannelNumber);
        if (descriptor->channelNumber == 2 || descriptor->channelNumber == 5)
        {
            ++legacy;
            ASSERT_TRUE(version.has_value());
            EXPECT_EQ(descriptor->legacyMark, 2u);
            EXPECT_EQ(descriptor->majorVersionLowest, version->major);
            EXPECT_EQ(descriptor->majorVersionHighest, version->major);
        }
        else if (descriptor->channelNumber == 6)
        {
            ++legacy;
            EXPECT_EQ(descriptor->legacyMark, 2u);
            EXPECT_EQ(descriptor->majorVersionLowest, 0u);
            EXPECT_EQ(descriptor->majorVersionHighest, 11u);
        }
        else
        {
            EXPECT_EQ(descriptor->legacyMark, 0u);
        }
    }
    EXPECT_EQ(legacy, 4);
}

// An older camera: its OpenReply offers only versions of its own majors, and
// the host uses the default list without asking for one.
TEST_P(EnumerationE2E, OlderCameraGetsTheDefaultList)
{
    Connect(Sim::CameraDescription::Older());
    EXPECT_EQ(m_agent->GetChannel().GetProtocolVersion(), (ProtocolVersion{1, 0}));

    ChannelList list;
    ASSERT_TRUE(m_agent->GetChannelList(list));
    ASSERT_EQ(list.size(), 5u);
    const std::pair<int, int> channels[] = {{0, 0}, {1, 0}, {2, 0}, {4, 1}, {4, 2}};
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        EXPECT_EQ(list[i]->transportType, 1u);
        EXPECT_EQ(list[i]->channelNumber, channels[i].first);
        EXPECT_EQ(list[i]->subChannelNumber, channels[i].second);
    }
    EXPECT_EQ(Requests(0x01), 1u);
    EXPECT_EQ(Requests(0x02), 0u);

    DeviceInfo info;
    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.enumerationMajorHighest, 1u);
    EXPECT_EQ(info.modelName, "TS-0 Simulator");
    EXPECT_EQ(info.firmwareVersion.text, "0.09.311");
}

// ---------------------------------------------------------------------------
// Malformed replies raise the documented errors.

// Catches a header, message or descriptor size taken on trust, and a channel
// list of another type decoded as one: each raises its error (and fills no list).
TEST_P(EnumerationE2E, MalformedRepliesRaiseTheirErrors)
{
    using Reply = std::vector<std::uint8_t>;
    struct Row
    {
        const char* name;
        bool channelList; // else the device info
        Sim::EnumerationHandler::ReplyMutator mutator;
        std::uint32_t code;
        const wchar_t* context;
    };
    const Row rows[] = {
        {"device info header size 12", false, [](Reply& reply) { PutU16(reply, 6, 12); }, 0x650003,
         L"KPX ch0 message header size too small."},
        {"device info size below its header", false, [](Reply& reply) { PutU32(reply, 8, 100); }, 0x650003,
         L"KPX ch0 message size too small."},
        {"channel list of another type", true, [](Reply& reply) { reply[5] = 0x81; }, 0x6500CC,
         L"KPX ch0 did not receive channel list message."},
        {"channel list header size 0", true, [](Reply& reply) { PutU16(reply, 6, 0); }, 0x650003,
         L"KPX ch0 message header size too small."},
        {"descriptor overrunning the message", true, [](Reply& reply) { PutU16(reply, 20 + 16 * 3, 0x4000); },
         0x650003, L"KPX ch0 message size too small."},
        {"descriptor count beyond the message", true, [](Reply& reply) { ++reply[16]; }, 0x650003,
         L"KPX ch0 message size too small."},
        {"descriptor of 8 bytes", true, [](Reply& reply) { PutU16(reply, 20, 8); }, 0x650003,
         L"KPX ch0 channel descriptor header size too small."},
        // A TCP entry without its port, a USB entry without its endpoint.
        {"descriptor of 12 bytes", true, [](Reply& reply) { PutU16(reply, 20, 12); }, 0x650003,
         L"KPX ch0 channel descriptor size too small."},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        DeviceInfo info;
        ChannelList list;
        const Raised raised = row.channelList ? ChannelListErrorWith(row.mutator, list)
                                              : DeviceInfoErrorWith(row.mutator, info);
        EXPECT_EQ(raised.code, row.code);
        EXPECT_EQ(raised.context, row.context);
        EXPECT_TRUE(list.empty());
        Disconnect();
    }
}

// A reply of another class is refused; it is read away whole, so the next
// request is answered in step.
TEST_P(EnumerationE2E, DeviceInfoOfAnotherClassIsRefused)
{
    auto first = std::make_shared<std::atomic<bool>>(true);
    DeviceInfo info;
    const Raised raised = DeviceInfoErrorWith(
        [first](std::vector<std::uint8_t>& reply)
        {
            if (first->exchange(false))
                reply[4] = 0x65;
        },
        info);
    EXPECT_EQ(raised.code, 0x6500CCu);
    EXPECT_EQ(raised.context, L"KPX ch0 did not receive device info message.");

    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.serialNumber, Sim::CameraDescription::Default().serialNumber);
}

// A camera whose reply stops short of its announced size: the request ends
// with false after the reply's time limit, nothing beyond what arrived is read.
TEST_P(EnumerationE2E, DeviceInfoShorterThanAnnouncedTimesOut)
{
    Sim::EnumerationHandler::Options options;
    options.deviceInfoMutator = [](std::vector<std::uint8_t>& reply) { reply.resize(120); };
    Connect(Sim::CameraDescription::Default(), options, 500);
    DeviceInfo info;
    EXPECT_FALSE(m_agent->GetDeviceInfo(info));
    EXPECT_FALSE(m_agent->IsOpen());
    // Nothing of the cut reply reaches the record: it keeps its defaults.
    EXPECT_EQ(info.modelId, 0xFFFFFFu);
    EXPECT_EQ(info.deviceType, 0u);
    EXPECT_EQ(info.firmwareVersion.packed, 0u);
    EXPECT_EQ(info.firmwareVersion.text, "0.00.0");
    EXPECT_TRUE(info.serialNumber.empty());
}

INSTANTIATE_TEST_SUITE_P(Transports, EnumerationE2E, E2e::AllTransports(), E2e::TransportName);

} // namespace
