// The enumeration agent on channel 0.0 against a scripted camera on an
// in-memory pipe: requests, replies, the default list of older cameras, and
// what a silent, stalling or wrong camera leads to.

#include "Agents/Enumeration/KPXEnumerationAgent.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"
#include "Wire/KPXMessageProtocolInfo.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;
using KpxTest::Bytes;

void Put(Bytes& bytes, std::size_t offset, std::uint32_t value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(Bytes& bytes, std::size_t offset, const std::string& text)
{
    std::copy(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

Bytes Header(std::uint8_t messageClass, std::uint8_t type, std::uint32_t headerSize, std::uint32_t size)
{
    Bytes bytes(16, 0);
    Put(bytes, 0, 0x44332211, 4);
    bytes[4] = messageClass;
    bytes[5] = type;
    Put(bytes, 6, headerSize, 2);
    Put(bytes, 8, size, 4);
    return bytes;
}

// A device-information reply with the given enumeration majors.
Bytes DeviceInfoReply(std::uint8_t lowest, std::uint8_t highest, const std::string& serial = "SN-42")
{
    Bytes bytes = Header(0x64, 0x81, 288, 288);
    bytes.resize(288, 0);
    bytes[16] = 3;
    bytes[17] = lowest;
    bytes[18] = highest;
    Put(bytes, 28, 0x1234, 4);
    Put(bytes, 44, 0x01020003, 4);
    PutText(bytes, 112, "Agent Test Model");
    PutText(bytes, 176, serial);
    return bytes;
}

// A channel-list reply of TCP entries (channel, sub, lowest, highest, port).
Bytes ChannelListReply(const std::vector<std::array<std::uint16_t, 5>>& entries)
{
    Bytes bytes = Header(0x64, 0x82, 20, static_cast<std::uint32_t>(20 + 16 * entries.size()));
    bytes.resize(20 + 16 * entries.size(), 0);
    bytes[16] = static_cast<std::uint8_t>(entries.size());
    std::size_t offset = 20;
    for (const auto& entry : entries)
    {
        Put(bytes, offset, 16, 2);
        bytes[offset + 2] = 2;
        bytes[offset + 3] = static_cast<std::uint8_t>(entry[0]);
        bytes[offset + 4] = static_cast<std::uint8_t>(entry[1]);
        bytes[offset + 5] = static_cast<std::uint8_t>(entry[2]);
        bytes[offset + 6] = static_cast<std::uint8_t>(entry[3]);
        Put(bytes, offset + 12, entry[4], 2);
        offset += 16;
    }
    return bytes;
}

bool IsRequest(const Bytes& message, std::uint8_t type)
{
    return message.size() >= 6 && message[4] == 0x64 && message[5] == type;
}

class EnumerationAgentTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        KpxTest::OpenReplyFields fields;
        fields.major = 2;
        fields.minor = 1;
        m_camera.SetOpenReply(fields);
        ASSERT_EQ(m_transport.Start(), 0u);
        m_agent = std::make_unique<EnumerationAgent>(m_transport, 300);
    }
    void TearDown() override { m_agent.reset(); }

    // A camera that answers both requests from these replies.
    void Serve(Bytes deviceInfo, Bytes channelList)
    {
        m_camera.SetMessageHandler(
            [deviceInfo, channelList](const Bytes& message) -> std::vector<Bytes>
            {
                if (IsRequest(message, 0x01))
                    return {deviceInfo};
                if (IsRequest(message, 0x02))
                    return {channelList};
                return {};
            });
    }

    KpxTest::MemoryDevice m_device;
    ChannelTransport m_transport{m_device, Transport::kDefaultPipeId};
    KpxTest::ScriptedCamera m_camera{m_device.Link()};
    std::unique_ptr<EnumerationAgent> m_agent;
};

TEST_F(EnumerationAgentTest, OpenNegotiatesTheHighestVersion)
{
    ASSERT_TRUE(m_agent->Open());
    EXPECT_TRUE(m_agent->IsOpen());
    EXPECT_EQ(m_agent->GetChannel().GetDesiredVersion(), (ProtocolVersion{2, 1}));
    EXPECT_EQ(m_agent->GetChannel().GetProtocolVersion(), (ProtocolVersion{2, 1}));
    EXPECT_TRUE(m_agent->Open()); // already open
    m_agent->Close();
    EXPECT_FALSE(m_agent->IsOpen());
    EXPECT_TRUE(m_agent->Open());
}

TEST_F(EnumerationAgentTest, DeviceInfoIsRequestedAndRead)
{
    Serve(DeviceInfoReply(1, 2), ChannelListReply({}));
    ASSERT_TRUE(m_agent->Open());
    KpxTest::LogCapture log;
    DeviceInfo info;
    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.deviceType, 3u);
    EXPECT_EQ(info.modelId, 0x1234u);
    EXPECT_EQ(info.modelName, "Agent Test Model");
    EXPECT_EQ(info.serialNumber, "SN-42");
    EXPECT_EQ(info.firmwareVersion.text, "1.02.3");
    const Bytes request = {0x11, 0x22, 0x33, 0x44, 0x64, 0x01, 0x10, 0x00,
                           0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(m_camera.Received(0, 0), request);
    EXPECT_EQ(log.Count(L"KPX ch0 sending msg: GetDeviceInfo"), 1u);
    EXPECT_EQ(log.Count(L"- serial number             = \"SN-42\""), 1u);
}

// The channel list needs the device information first; the agent reads it by
// itself when it was not read yet.
TEST_F(EnumerationAgentTest, ChannelListReadsTheDeviceInfoFirst)
{
    Serve(DeviceInfoReply(1, 2), ChannelListReply({{0, 0, 1, 2, 7381}, {3, 0, 0, 11, 7381}}));
    ASSERT_TRUE(m_agent->Open());
    ChannelList list;
    ASSERT_TRUE(m_agent->GetChannelList(list));
    EXPECT_EQ(m_camera.MessageCount(0, 0), 2u);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->GetPipeId(), 7381u);
    EXPECT_EQ(list[1]->channelNumber, 3u);
    EXPECT_EQ(list[1]->majorVersionLowest, 1u);
    EXPECT_EQ(list[1]->legacyMark, 2u);
    // The camera's announced range is kept in the diagnostic registry.
    EXPECT_NE(KPXProtocolRegistry::GetStatusText(3, 0).find("11.0"), std::string::npos);

    // A second call asks only for the list.
    ASSERT_TRUE(m_agent->GetChannelList(list));
    EXPECT_EQ(m_camera.MessageCount(0, 0), 3u);
    EXPECT_EQ(list.size(), 2u);
}

// An older camera (highest enumeration major below 2) is never asked for its
// list: it gets the default one.
TEST_F(EnumerationAgentTest, OlderCameraGetsTheDefaultListWithoutAsking)
{
    Serve(DeviceInfoReply(1, 1), ChannelListReply({{9, 9, 1, 1, 1}}));
    ASSERT_TRUE(m_agent->Open());
    KpxTest::LogCapture log;
    ChannelList list;
    ASSERT_TRUE(m_agent->GetChannelList(list));
    EXPECT_EQ(m_camera.MessageCount(0, 0), 1u);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[4]->channelNumber, 4u);
    EXPECT_EQ(list[4]->subChannelNumber, 2u);
    EXPECT_EQ(log.Count(L"KPX ch0 using default channel list"), 1u);
    EXPECT_EQ(log.Count(L"KPX ch0 sending msg: GetChannelList"), 0u);
}

TEST_F(EnumerationAgentTest, ClosedChannelAnswersFalseWithDefaults)
{
    DeviceInfo info;
    info.serialNumber = "stale";
    info.modelId = 7;
    EXPECT_FALSE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.serialNumber, "");
    EXPECT_EQ(info.modelId, 0xFFFFFFu);
    ChannelList list = MakeDefaultChannelList();
    EXPECT_FALSE(m_agent->GetChannelList(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(m_camera.MessageCount(0, 0), 0u);
}

// A camera that never answers: false after the reply time-out, logged, and
// the channel is closed.
TEST_F(EnumerationAgentTest, SilentCameraTimesOut)
{
    ASSERT_TRUE(m_agent->Open());
    KpxTest::LogCapture log;
    DeviceInfo info;
    EXPECT_FALSE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(log.Count(L"KPX ch0 reading device info."), 1u);
    EXPECT_FALSE(m_agent->IsOpen());
}

// A camera that sends part of a reply and then stalls must not hold the
// caller beyond the reply's time limit.
TEST_F(EnumerationAgentTest, CameraStallingMidReplyTimesOut)
{
    Bytes partial = DeviceInfoReply(1, 2);
    partial.resize(100);
    Serve(partial, {});
    ASSERT_TRUE(m_agent->Open());
    KpxTest::LogCapture log;
    DeviceInfo info;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(m_agent->GetDeviceInfo(info));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(log.Count(L"KPX ch0 reading device info."), 1u);
    EXPECT_FALSE(m_agent->IsOpen());
}

TEST_F(EnumerationAgentTest, SilentCameraTimesOutOnTheChannelList)
{
    m_camera.SetMessageHandler(
        [](const Bytes& message) -> std::vector<Bytes>
        {
            if (IsRequest(message, 0x01))
                return {DeviceInfoReply(1, 2)};
            return {};
        });
    ASSERT_TRUE(m_agent->Open());
    KpxTest::LogCapture log;
    ChannelList list;
    EXPECT_FALSE(m_agent->GetChannelList(list));
    EXPECT_EQ(log.Count(L"KPX ch0 reading channel list."), 1u);
    EXPECT_FALSE(m_agent->IsOpen());
}

// Another message in place of the device information is refused, and read
// away whole, so the next request is answered in step.
TEST_F(EnumerationAgentTest, WrongMessageIsRefusedAndReadAway)
{
    Bytes wrong = Header(0x64, 0x82, 40, 60);
    wrong.resize(60, 0x5A);
    Serve(wrong, {});
    ASSERT_TRUE(m_agent->Open());
    DeviceInfo info;
    EXPECT_EQ(KpxTest::RaisedCode([&] { m_agent->GetDeviceInfo(info); }), 0x6500CCu);

    Serve(DeviceInfoReply(1, 2, "after"), {});
    ASSERT_TRUE(m_agent->GetDeviceInfo(info));
    EXPECT_EQ(info.serialNumber, "after");
}

TEST_F(EnumerationAgentTest, MalformedHeadersAreRefused)
{
    Bytes small = Header(0x64, 0x81, 8, 288);
    Serve(small, {});
    ASSERT_TRUE(m_agent->Open());
    DeviceInfo info;
    try
    {
        m_agent->GetDeviceInfo(info);
        ADD_FAILURE() << "no error";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650003u);
        EXPECT_EQ(std::wstring(error.GetContext().c_str()), L"KPX ch0 message header size too small.");
    }
}

TEST_F(EnumerationAgentTest, ChannelListOfAnotherTypeIsRefused)
{
    Serve(DeviceInfoReply(1, 2), DeviceInfoReply(1, 2));
    ASSERT_TRUE(m_agent->Open());
    ChannelList list;
    EXPECT_EQ(KpxTest::RaisedCode([&] { m_agent->GetChannelList(list); }), 0x6500CCu);
    EXPECT_TRUE(list.empty());
}

TEST_F(EnumerationAgentTest, OverrunningDescriptorIsRefused)
{
    Bytes list = ChannelListReply({{0, 0, 1, 2, 1}});
    Put(list, 20, 200, 2); // the entry claims 200 bytes; 16 are there
    Serve(DeviceInfoReply(1, 2), list);
    ASSERT_TRUE(m_agent->Open());
    ChannelList received;
    EXPECT_EQ(KpxTest::RaisedCode([&] { m_agent->GetChannelList(received); }), 0x650003u);
}

// A link that drops during a request ends it with false.
TEST_F(EnumerationAgentTest, DroppedLinkAnswersFalse)
{
    ASSERT_TRUE(m_agent->Open());
    m_camera.SetMessageHandler(
        [this](const Bytes&) -> std::vector<Bytes>
        {
            m_camera.End().Drop();
            return {};
        });
    DeviceInfo info;
    EXPECT_FALSE(m_agent->GetDeviceInfo(info));
    EXPECT_FALSE(m_agent->IsOpen());
}

} // namespace

namespace
{

struct ErrorRecorder
{
    std::vector<std::uint32_t> codes;
    void OnError(const Q7::Universal::UniversalError& error) { codes.push_back(error.GetCode()); }
};

// Fault mended: a callback given as a function reached only the agent, not
// its channel. The error callback set on the agent, in either form, also
// receives what its channel's threads dispatch, and clearing it clears both.
TEST_F(EnumerationAgentTest, ErrorCallbackOfEitherFormReachesTheChannel)
{
    using Q7::Universal::ModuleError;
    ErrorRecorder recorder;
    const std::vector<std::function<void()>> setters = {
        [&] { m_agent->SetErrorCallback(Q7::Universal::ErrorCallback(&recorder, &ErrorRecorder::OnError)); },
        [&]
        {
            m_agent->SetErrorCallback(std::function<void(const Q7::Universal::UniversalError&)>(
                [&](const Q7::Universal::UniversalError& error) { recorder.OnError(error); }));
        },
    };
    const std::vector<std::function<void()>> clearers = {
        [&] { m_agent->SetErrorCallback(Q7::Universal::ErrorCallback()); },
        [&] { m_agent->SetErrorCallback(std::function<void(const Q7::Universal::UniversalError&)>()); },
    };
    for (std::size_t form = 0; form < setters.size(); ++form)
    {
        recorder.codes.clear();
        setters[form]();
        m_agent->GetChannel().DispatchError(ModuleError(Q7::Universal::kError_Timeout));
        m_agent->DispatchError(ModuleError(Q7::Universal::kError_InvalidData));
        EXPECT_EQ(recorder.codes, (std::vector<std::uint32_t>{0xCF, 0x03})) << "form " << form;
        clearers[form]();
        m_agent->GetChannel().DispatchError(ModuleError(Q7::Universal::kError_Timeout));
        m_agent->DispatchError(ModuleError(Q7::Universal::kError_InvalidData));
        EXPECT_EQ(recorder.codes.size(), 2u) << "form " << form << " cleared";
    }
}

} // namespace
