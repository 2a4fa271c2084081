// The channel 0.0 records and codecs: device-information and channel-list
// replies decoded from bytes written out here by hand from the message
// tables, their refusals, the default list and the legacy fix.

#include "Agents/Enumeration/KPXEnumeration.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "Q7UniversalError.h"
#include "RaisedError.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;

// Little-endian byte builder for hand-made messages.
class Bytes
{
public:
    Bytes& U8(std::uint32_t value)
    {
        m_bytes.push_back(static_cast<std::uint8_t>(value));
        return *this;
    }
    Bytes& U16(std::uint32_t value) { return U8(value).U8(value >> 8); }
    Bytes& U32(std::uint32_t value) { return U16(value).U16(value >> 16); }
    // A text field of `width` bytes: the text's bytes, zero-padded (not
    // terminated when the text fills the field).
    Bytes& Text(const std::string& text, std::size_t width)
    {
        for (std::size_t i = 0; i < width; ++i)
            U8(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
        return *this;
    }
    Bytes& Zeros(std::size_t count)
    {
        m_bytes.insert(m_bytes.end(), count, 0);
        return *this;
    }
    Bytes& Header(std::uint8_t messageClass, std::uint8_t type, std::uint32_t headerSize,
                  std::uint32_t totalSize)
    {
        return U32(0x44332211).U8(messageClass).U8(type).U16(headerSize).U32(totalSize).U32(0);
    }
    Bytes& Append(const std::vector<std::uint8_t>& more)
    {
        m_bytes.insert(m_bytes.end(), more.begin(), more.end());
        return *this;
    }
    const std::vector<std::uint8_t>& Get() const { return m_bytes; }
    std::size_t Size() const { return m_bytes.size(); }

private:
    std::vector<std::uint8_t> m_bytes;
};

// The body of a device-information reply (offsets 16 to 287).
Bytes DeviceInfoBody(const std::string& firmwareText, const std::string& serial)
{
    Bytes b;
    b.U8(7)              // 16 device type
        .U8(1)           // 17 enumeration major lowest
        .U8(2)           // 18 enumeration major highest
        .U8(0xEE)        // 19 not used
        .U32(0x00000104) // 20 device flags
        .U32(77)         // 24 manufacturer id
        .U32(0x00ABCDEF) // 28 model id
        .U32(5)          // 32 mount interface id
        .U32(9)          // 36 hardware revision
        .U32(0x30)       // 40 hardware config
        .U32(0x02072107) // 44 firmware 2.7 build 0x2107
        .Text(firmwareText, 32)
        .Text("Maker", 32)
        .Text("Model X", 32)
        .Text("Mount", 32)
        .Text(serial, 32)
        .Text("Described", 80);
    return b;
}

std::vector<std::uint8_t> DeviceInfoReply(const std::string& firmwareText, const std::string& serial)
{
    return Bytes().Header(0x64, 0x81, 288, 288).Append(DeviceInfoBody(firmwareText, serial).Get()).Get();
}

using TestSupport::RaisedBy;
using TestSupport::RaisedCode;

// ---------------------------------------------------------------------------
// Device information.

TEST(EnumerationDeviceInfo, FieldsReadAtTheirOffsets)
{
    const DeviceInfo info = DecodeDeviceInfoMessage(DeviceInfoReply("", "SN-1"));
    EXPECT_EQ(info.deviceType, 7u);
    EXPECT_EQ(info.enumerationMajorLowest, 1u);
    EXPECT_EQ(info.enumerationMajorHighest, 2u);
    EXPECT_EQ(info.deviceFlags, 0x104u);
    EXPECT_EQ(info.manufacturerId, 77u);
    EXPECT_EQ(info.modelId, 0xABCDEFu);
    EXPECT_EQ(info.mountInterfaceId, 5u);
    EXPECT_EQ(info.hardwareRevision, 9u);
    EXPECT_EQ(info.hardwareConfig, 0x30u);
    EXPECT_EQ(info.firmwareVersion.packed, 0x02072107u);
    EXPECT_EQ(info.manufacturerName, "Maker");
    EXPECT_EQ(info.modelName, "Model X");
    EXPECT_EQ(info.mountInterfaceName, "Mount");
    EXPECT_EQ(info.serialNumber, "SN-1");
    EXPECT_EQ(info.additionalDescription, "Described");
}

// An empty firmware text leaves the text of the packed number; any other
// replaces it (the packed number stays).
TEST(EnumerationDeviceInfo, FirmwareTextOrThePackedNumbersText)
{
    EXPECT_EQ(DecodeDeviceInfoMessage(DeviceInfoReply("", "S")).firmwareVersion.text, "2.07.8455");
    const DeviceInfo info = DecodeDeviceInfoMessage(DeviceInfoReply("2.7-beta", "S"));
    EXPECT_EQ(info.firmwareVersion.text, "2.7-beta");
    EXPECT_EQ(info.firmwareVersion.packed, 0x02072107u);
}

// A text that fills its field without a terminator must not run into the next
// field: its last byte is never part of it.
TEST(EnumerationDeviceInfo, FullTextFieldsAreCutOneByteShort)
{
    const std::string serial(32, 'S');
    std::vector<std::uint8_t> reply = DeviceInfoReply(std::string(32, 'F'), serial);
    // The description fills its 80 bytes too, up to the end of the message.
    for (std::size_t i = 208; i < 288; ++i)
        reply[i] = 'D';
    const DeviceInfo info = DecodeDeviceInfoMessage(reply);
    EXPECT_EQ(info.serialNumber, std::string(31, 'S'));
    EXPECT_EQ(info.firmwareVersion.text, std::string(31, 'F'));
    EXPECT_EQ(info.additionalDescription, std::string(79, 'D'));
    EXPECT_EQ(info.modelName, "Model X");
}

// A camera with a shorter header: the fields it does not send read 0.
TEST(EnumerationDeviceInfo, ShorterHeaderLeavesMissingFieldsZero)
{
    const std::vector<std::uint8_t> full = DeviceInfoReply("", "S");
    Bytes reply;
    reply.Header(0x64, 0x81, 32, 32);
    reply.Append(std::vector<std::uint8_t>(full.begin() + 16, full.begin() + 32));
    const DeviceInfo info = DecodeDeviceInfoMessage(reply.Get());
    EXPECT_EQ(info.modelId, 0xABCDEFu);
    EXPECT_EQ(info.mountInterfaceId, 0u);
    EXPECT_EQ(info.firmwareVersion.text, "0.00.0");
    EXPECT_TRUE(info.modelName.empty());
}

// A newer camera with a longer header and data after it: the surplus is
// skipped, the known fields are read.
TEST(EnumerationDeviceInfo, LongerHeaderAndTrailingDataAreSkipped)
{
    Bytes reply;
    reply.Header(0x64, 0x81, 300, 310).Append(DeviceInfoBody("", "SN").Get()).Zeros(12).Text("trailing", 10);
    const DeviceInfo info = DecodeDeviceInfoMessage(reply.Get());
    EXPECT_EQ(info.serialNumber, "SN");
    EXPECT_EQ(info.additionalDescription, "Described");
}

// Catches a header or total size taken on trust, a reply of another class or
// type decoded as device information, and a read past a short buffer's end.
TEST(EnumerationDeviceInfo, MalformedRepliesAreRefused)
{
    const auto withHeader =
        [](std::uint8_t messageClass, std::uint8_t type, std::uint32_t headerSize, std::uint32_t totalSize)
    {
        return Bytes()
            .Header(messageClass, type, headerSize, totalSize)
            .Append(DeviceInfoBody("", "S").Get())
            .Get();
    };
    const auto truncated = [](std::size_t size)
    {
        std::vector<std::uint8_t> reply = DeviceInfoReply("", "S");
        reply.resize(size);
        return reply;
    };
    struct Row
    {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::uint32_t code;
        const wchar_t* context; // checked when not null
    };
    const Row rows[] = {
        {"header size 15", withHeader(0x64, 0x81, 15, 288), 0x650003,
         L"KPX ch0 message header size too small."},
        {"header above total", withHeader(0x64, 0x81, 288, 287), 0x650003,
         L"KPX ch0 message size too small."},
        {"class 0x65", withHeader(0x65, 0x81, 288, 288), 0x6500CC,
         L"KPX ch0 did not receive device info message."},
        {"type 0x82", withHeader(0x64, 0x82, 288, 288), 0x6500CC,
         L"KPX ch0 did not receive device info message."},
        {"class 1 type 0xFF", withHeader(0x01, 0xFF, 288, 288), 0x6500CC,
         L"KPX ch0 did not receive device info message."},
        {"buffer cut at 200", truncated(200), 0x650005, nullptr},
        {"buffer cut at 15", truncated(15), 0x650005, nullptr},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        const TestSupport::Raised raised = RaisedBy([&] { DecodeDeviceInfoMessage(row.reply); });
        EXPECT_EQ(raised.code, row.code);
        if (row.context != nullptr)
        {
            EXPECT_EQ(raised.context, row.context);
        }
    }
}

TEST(EnumerationDeviceInfo, DumpWritesEveryField)
{
    TestSupport::LogCapture capture;
    LogDeviceInfo(DecodeDeviceInfoMessage(DeviceInfoReply("", "SN-1")));
    const std::vector<std::wstring> expected = {
        L"------ KPX device info ------\n",
        L"- device type               = 7\n",
        L"- device flags              = 0x104\n",
        L"- enumeration major version = 1 to 2\n",
        L"- manufacturer id           = 77\n",
        L"- model id                  = 0xABCDEF\n",
        L"- mount interface id        = 5\n",
        L"- hardware revision         = 9\n",
        L"- hardware config           = 0x30\n",
        L"- firmware version          = \"2.07.8455\"\n",
        L"- manufacturer name         = \"Maker\"\n",
        L"- model name                = \"Model X\"\n",
        L"- mount interface name      = \"Mount\"\n",
        L"- serial number             = \"SN-1\"\n",
        L"- additional description    = \"Described\"\n",
        L"-----------------------------\n",
    };
    EXPECT_EQ(capture.Bodies(), expected);
}

// ---------------------------------------------------------------------------
// Channel list.

Bytes TcpEntry(std::uint8_t channel, std::uint8_t sub, std::uint8_t lowest, std::uint8_t highest,
               std::uint16_t port, std::uint16_t size = 16)
{
    Bytes b;
    b.U16(size).U8(2).U8(channel).U8(sub).U8(lowest).U8(highest).U8(0).U32(0x11).U16(port).U16(0);
    return b.Zeros(size - 16);
}

Bytes UsbEntry(std::uint8_t channel, std::uint8_t sub, std::uint8_t endpoint, std::uint8_t burst,
               std::uint16_t size = 16)
{
    Bytes b;
    b.U16(size).U8(1).U8(channel).U8(sub).U8(1).U8(2).U8(0).U32(0).U8(endpoint).U8(burst).U16(0);
    return b.Zeros(size - 16);
}

Bytes PlainEntry(std::uint8_t type, std::uint8_t channel, std::uint16_t size)
{
    Bytes b;
    b.U16(size).U8(type).U8(channel).U8(0).U8(1).U8(1).U8(0).U32(0);
    return b.Text("extra", size - 12);
}

std::vector<std::uint8_t> ChannelListReply(std::uint8_t count, const std::vector<Bytes>& entries,
                                           std::size_t trailing = 0, std::uint16_t headerSize = 20)
{
    Bytes body;
    for (const Bytes& entry : entries)
        body.Append(entry.Get());
    body.Zeros(trailing);
    Bytes reply;
    reply.Header(0x64, 0x82, headerSize, static_cast<std::uint32_t>(headerSize + body.Size()));
    reply.U8(count).Zeros(3);
    if (headerSize > 20)
        reply.Zeros(headerSize - 20u);
    return reply.Append(body.Get()).Get();
}

TEST(EnumerationChannelList, TcpAndUsbEntriesCarryTheirPipes)
{
    const ChannelList list = DecodeChannelListMessage(
        ChannelListReply(3, {TcpEntry(0, 0, 1, 2, 7381), UsbEntry(4, 2, 2, 1), TcpEntry(5, 1, 1, 1, 40000)}));
    ASSERT_EQ(list.size(), 3u);
    const auto* tcp = dynamic_cast<const TcpChannelDescriptor*>(list[0].get());
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(tcp->transportType, 2u);
    EXPECT_EQ(tcp->channelNumber, 0u);
    EXPECT_EQ(tcp->subChannelNumber, 0u);
    EXPECT_EQ(tcp->majorVersionLowest, 1u);
    EXPECT_EQ(tcp->majorVersionHighest, 2u);
    EXPECT_EQ(tcp->channelFlags, 0x11u);
    EXPECT_EQ(tcp->tcpPort, 7381u);
    EXPECT_EQ(tcp->GetPipeId(), 7381u);
    EXPECT_EQ(tcp->legacyMark, 0u);

    const auto* usb = dynamic_cast<const UsbChannelDescriptor*>(list[1].get());
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->channelNumber, 4u);
    EXPECT_EQ(usb->subChannelNumber, 2u);
    EXPECT_EQ(usb->usbEndpoint, 2u);
    EXPECT_TRUE(usb->enableBurstIn);
    EXPECT_EQ(usb->GetPipeId(), 2u);

    EXPECT_EQ(list[2]->GetPipeId(), 40000u);
}

// An entry of a type this side does not know becomes a plain descriptor and
// its further bytes are skipped, so the next entry is read in step.
TEST(EnumerationChannelList, UnknownTypeIsPlainAndItsExtraBytesAreSkipped)
{
    const ChannelList list =
        DecodeChannelListMessage(ChannelListReply(2, {PlainEntry(3, 9, 20), TcpEntry(2, 0, 1, 1, 1234)}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(dynamic_cast<const UsbChannelDescriptor*>(list[0].get()), nullptr);
    EXPECT_EQ(dynamic_cast<const TcpChannelDescriptor*>(list[0].get()), nullptr);
    EXPECT_EQ(list[0]->transportType, 3u);
    EXPECT_EQ(list[0]->channelNumber, 9u);
    EXPECT_EQ(list[0]->GetPipeId(), 0u);
    EXPECT_EQ(list[1]->GetPipeId(), 1234u);
}

TEST(EnumerationChannelList, PlainEntryOfTwelveBytesIsAccepted)
{
    const ChannelList list = DecodeChannelListMessage(ChannelListReply(1, {PlainEntry(7, 1, 12)}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]->transportType, 7u);
}

TEST(EnumerationChannelList, LongerEntriesHeaderAndTrailingBytesAreSkipped)
{
    const ChannelList list = DecodeChannelListMessage(
        ChannelListReply(2, {TcpEntry(1, 0, 1, 2, 11, 24), UsbEntry(2, 0, 3, 0, 40)}, 9, 28));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->GetPipeId(), 11u);
    EXPECT_EQ(list[1]->GetPipeId(), 3u);
}

TEST(EnumerationChannelList, EmptyList)
{
    EXPECT_TRUE(DecodeChannelListMessage(ChannelListReply(0, {})).empty());
}

// Catches an entry or message size taken on trust (a USB entry needs its 4
// type bytes, a TCP entry 16 bytes, any entry 12; no entry or count may reach
// beyond the message), and a reply of another class or type decoded as a list.
TEST(EnumerationChannelList, MalformedRepliesAreRefused)
{
    const auto entry = [](std::uint16_t size, std::uint8_t type, std::size_t more)
    {
        Bytes b;
        b.U16(size).U8(type).U8(1).U8(0).U8(1).U8(1).U8(0).U32(0);
        return b.Zeros(more);
    };
    const auto header =
        [](std::uint8_t messageClass, std::uint8_t type, std::uint32_t headerSize, std::uint32_t totalSize)
    { return Bytes().Header(messageClass, type, headerSize, totalSize).Zeros(4).Get(); };
    const wchar_t* const kEntryTooSmall = L"KPX ch0 channel descriptor size too small.";
    const wchar_t* const kMessageTooSmall = L"KPX ch0 message size too small.";
    const wchar_t* const kNotAList = L"KPX ch0 did not receive channel list message.";
    struct Row
    {
        const char* name;
        std::vector<std::uint8_t> reply;
        std::uint32_t code;
        const wchar_t* context;
    };
    const Row rows[] = {
        {"USB entry of 12 bytes", ChannelListReply(1, {entry(12, 1, 0)}, 8), 0x650003, kEntryTooSmall},
        {"TCP entry of 15 bytes", ChannelListReply(1, {entry(15, 2, 3)}, 8), 0x650003, kEntryTooSmall},
        {"entry of 11 bytes", ChannelListReply(1, {entry(11, 2, 4)}), 0x650003,
         L"KPX ch0 channel descriptor header size too small."},
        {"entry overrunning the message", ChannelListReply(1, {entry(0xFFFF, 2, 0).U16(80).U16(0)}), 0x650003,
         kMessageTooSmall},
        {"count beyond the entries",
         ChannelListReply(3, {TcpEntry(0, 0, 1, 1, 1), TcpEntry(1, 0, 1, 1, 1)}, 11), 0x650003,
         kMessageTooSmall},
        {"device-info type", header(0x64, 0x81, 20, 20), 0x6500CC, kNotAList},
        {"class 0x66", header(0x66, 0x82, 20, 20), 0x6500CC, kNotAList},
        {"header size 12", header(0x64, 0x82, 12, 20), 0x650003, L"KPX ch0 message header size too small."},
        {"header above total", header(0x64, 0x82, 20, 19), 0x650003, kMessageTooSmall},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(RaisedBy([&] { DecodeChannelListMessage(row.reply); }),
                  (TestSupport::Raised{row.code, row.context}));
    }
}

// A camera whose header ends before the count sends no descriptors.
TEST(EnumerationChannelList, HeaderWithoutCountMeansNoEntries)
{
    Bytes reply;
    reply.Header(0x64, 0x82, 16, 16);
    EXPECT_TRUE(DecodeChannelListMessage(reply.Get()).empty());
}

TEST(EnumerationChannelList, LegacyRangeIsFixedFromTheTable)
{
    TestSupport::LogCapture capture;
    const ChannelList list =
        DecodeChannelListMessage(ChannelListReply(4, {TcpEntry(3, 0, 0, 11, 1), TcpEntry(6, 0, 0, 11, 1),
                                                      TcpEntry(0, 0, 0, 11, 1), TcpEntry(2, 0, 0, 10, 1)}));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0]->majorVersionLowest, 1u);
    EXPECT_EQ(list[0]->majorVersionHighest, 1u);
    EXPECT_EQ(list[0]->legacyMark, 2u);
    // No row for 6.0: the range stays, the mark is set.
    EXPECT_EQ(list[1]->majorVersionLowest, 0u);
    EXPECT_EQ(list[1]->majorVersionHighest, 11u);
    EXPECT_EQ(list[1]->legacyMark, 2u);
    EXPECT_EQ(list[2]->majorVersionLowest, 2u);
    EXPECT_EQ(list[2]->majorVersionHighest, 2u);
    EXPECT_EQ(list[3]->majorVersionLowest, 0u);
    EXPECT_EQ(list[3]->majorVersionHighest, 10u);
    EXPECT_EQ(list[3]->legacyMark, 0u);

    EXPECT_EQ(AnnouncedMajorRange(*list[0]), (std::pair<std::uint8_t, std::uint8_t>{0, 11}));
    EXPECT_EQ(AnnouncedMajorRange(*list[3]), (std::pair<std::uint8_t, std::uint8_t>{0, 10}));

    int fixes = 0;
    for (const auto& body : capture.Bodies())
        fixes += body == L"Legacy KPX message protocol versions detected (Marlin) - fixing\n";
    EXPECT_EQ(fixes, 3);
}

TEST(EnumerationChannelList, LegacyTable)
{
    const std::pair<std::pair<int, int>, ProtocolVersion> rows[] = {
        {{0, 0}, {2, 1}}, {{1, 0}, {2, 0}}, {{2, 0}, {1, 1}}, {{3, 0}, {1, 0}},   {{4, 1}, {1, 0}},
        {{4, 2}, {1, 0}}, {{5, 1}, {1, 1}}, {{5, 2}, {1, 0}}, {{255, 0}, {1, 0}},
    };
    for (const auto& [channel, version] : rows)
    {
        const auto found = FindLegacyVersion(channel.first, channel.second);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(*found, version);
    }
    EXPECT_FALSE(FindLegacyVersion(6, 0).has_value());
    EXPECT_FALSE(FindLegacyVersion(4, 0).has_value());
}

TEST(EnumerationChannelList, DefaultList)
{
    const ChannelList list = MakeDefaultChannelList();
    ASSERT_EQ(list.size(), 5u);
    struct Expected
    {
        int channel, sub, lowest, highest, endpoint;
        bool burst;
    };
    const Expected expected[] = {
        {0, 0, 1, 1, 1, false}, {1, 0, 1, 2, 1, false}, {2, 0, 1, 1, 1, false},
        {4, 1, 1, 1, 1, false}, {4, 2, 1, 1, 2, true},
    };
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        const auto* usb = dynamic_cast<const UsbChannelDescriptor*>(list[i].get());
        ASSERT_NE(usb, nullptr);
        EXPECT_EQ(usb->transportType, 1u);
        EXPECT_EQ(usb->channelNumber, expected[i].channel);
        EXPECT_EQ(usb->subChannelNumber, expected[i].sub);
        EXPECT_EQ(usb->majorVersionLowest, expected[i].lowest);
        EXPECT_EQ(usb->majorVersionHighest, expected[i].highest);
        EXPECT_EQ(usb->usbEndpoint, expected[i].endpoint);
        EXPECT_EQ(usb->enableBurstIn, expected[i].burst);
        EXPECT_EQ(usb->channelFlags, 0u);
        EXPECT_EQ(usb->legacyMark, 0u);
    }
}

TEST(EnumerationChannelList, DumpWritesEveryEntry)
{
    TestSupport::LogCapture capture;
    LogChannelList(DecodeChannelListMessage(
        ChannelListReply(3, {TcpEntry(2, 0, 1, 2, 7381), UsbEntry(4, 2, 2, 1), PlainEntry(3, 9, 12)})));
    const std::vector<std::wstring> expected = {
        L"------ KPX channel list ------\n",
        L"--- entry  0 ---\n",
        L"- transport type      = 2\n",
        L"- channel number      = 2.0\n",
        L"- major version       = 1 to 2\n",
        L"- channel flags       = 0x11\n",
        L"- TCP port number     = 7381\n",
        L"--- entry  1 ---\n",
        L"- transport type      = 1\n",
        L"- channel number      = 4.2\n",
        L"- major version       = 1 to 2\n",
        L"- channel flags       = 0x0\n",
        L"- USB endpoint        = 2\n",
        L"- USB enable burst IN = 1\n",
        L"--- entry  2 ---\n",
        L"- transport type      = 3\n",
        L"- channel number      = 9.0\n",
        L"- major version       = 1 to 1\n",
        L"- channel flags       = 0x0\n",
        L"------------------------------\n",
    };
    EXPECT_EQ(capture.Bodies(), expected);
}

// ---------------------------------------------------------------------------
// Requests and sizes.

TEST(EnumerationRequests, GetDeviceInfoAndGetChannelListBytes)
{
    const std::vector<std::uint8_t> deviceInfo = {0x11, 0x22, 0x33, 0x44, 0x64, 0x01, 0x10, 0x00,
                                                  0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<std::uint8_t> channelList = {0x11, 0x22, 0x33, 0x44, 0x64, 0x02, 0x10, 0x00,
                                                   0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (const ProtocolVersion version :
         {ProtocolVersion{1, 0}, ProtocolVersion{2, 1}, ProtocolVersion{9, 9}})
    {
        EXPECT_EQ(MakeGetDeviceInfoMessage(version), deviceInfo);
        EXPECT_EQ(MakeGetChannelListMessage(version), channelList);
    }
}

TEST(EnumerationRequests, VersionBelowOneIsRefused)
{
    EXPECT_EQ(RaisedCode([] { MakeGetDeviceInfoMessage({0, 9}); }), 0x15E001Du);
    EXPECT_EQ(RaisedCode([] { MakeGetChannelListMessage({0, 0}); }), 0x15E001Du);
}

TEST(EnumerationRequests, SizesDoNotChangeWithTheVersion)
{
    for (const ProtocolVersion version : {ProtocolVersion{0, 0}, ProtocolVersion{1, 0}, ProtocolVersion{2, 0},
                                          ProtocolVersion{2, 1}, ProtocolVersion{3, 7}})
    {
        EXPECT_EQ(GetGetDeviceInfoMessageSize(version), 16u);
        EXPECT_EQ(GetGetChannelListMessageSize(version), 16u);
        EXPECT_EQ(GetDeviceInfoMessageSize(version), 288u);
        EXPECT_EQ(GetChannelListMessageHeaderSize(version), 20u);
    }
}

} // namespace
