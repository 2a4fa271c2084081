// Channel 0.0: the device information and channel list as a host reads them.
#include "SimCamera.h"
#include "SimEnumerationHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

std::string Text(const Bytes& msg, std::size_t at, std::size_t width)
{
    std::string s(msg.begin() + static_cast<std::ptrdiff_t>(at),
                  msg.begin() + static_cast<std::ptrdiff_t>(at + width));
    return s.substr(0, s.find('\0'));
}

class SimEnumeration : public ::testing::Test
{
protected:
    void Start(CameraDescription d)
    {
        camera = std::make_unique<Camera>(std::move(d));
        camera->SetLogSink({});
        camera->Start();
        client = std::make_unique<RawClient>(camera->Port());
    }

    std::optional<Bytes> Ask(std::uint8_t type)
    {
        if (!client->Send(Data(0, 0, Message(0x64, type, 16, 16))))
        {
            return std::nullopt;
        }
        return client->ReceiveMessage(0, 0);
    }

    std::unique_ptr<Camera> camera;
    std::unique_ptr<RawClient> client;
};

TEST_F(SimEnumeration, DeviceInformationFieldByField)
{
    auto d = CameraDescription::Default();
    d.deviceType = 7;
    d.deviceFlags = 0x11223344;
    d.manufacturerId = 5;
    d.modelId = 0xABCDEF;
    d.mountInterfaceId = 9;
    d.hardwareRevision = 4;
    d.hardwareConfig = 0x77;
    d.firmwareMajor = 3;
    d.firmwareMinor = 2;
    d.firmwareBuild = 0x1234;
    d.firmwareText = "3.02 beta";
    d.modelName = "Model Q";
    d.serialNumber = std::string(32, 'S'); // fills its field: no terminator on the wire
    d.additionalDescription = "extra";
    Start(d);
    ASSERT_TRUE(client->Open(0, 0, 2, 1));
    auto m = Ask(0x01);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->size(), 288u);
    EXPECT_EQ((*m)[4], 0x64);
    EXPECT_EQ((*m)[5], 0x81);
    EXPECT_EQ(Get16(*m, 6), 288);
    EXPECT_EQ(Get32(*m, 8), 288u);
    EXPECT_EQ((*m)[16], 7);
    EXPECT_EQ((*m)[17], 1); // enumeration majors of the default camera: 1 to 2
    EXPECT_EQ((*m)[18], 2);
    EXPECT_EQ(Get32(*m, 20), 0x11223344u);
    EXPECT_EQ(Get32(*m, 24), 5u);
    EXPECT_EQ(Get32(*m, 28), 0xABCDEFu);
    EXPECT_EQ(Get32(*m, 32), 9u);
    EXPECT_EQ(Get32(*m, 36), 4u);
    EXPECT_EQ(Get32(*m, 40), 0x77u);
    EXPECT_EQ(Get32(*m, 44), 0x03021234u);
    EXPECT_EQ(Text(*m, 48, 32), "3.02 beta");
    EXPECT_EQ(Text(*m, 80, 32), d.manufacturerName);
    EXPECT_EQ(Text(*m, 112, 32), "Model Q");
    EXPECT_EQ(Text(*m, 144, 32), d.mountInterfaceName);
    EXPECT_EQ(Text(*m, 176, 32), std::string(32, 'S'));
    EXPECT_EQ(Text(*m, 208, 80), "extra");
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// Every TCP entry carries the port the host connected to, unless the channel names its own.
TEST_F(SimEnumeration, ChannelListCarriesTheControlPortAndVersionRanges)
{
    auto d = CameraDescription::Default();
    d.channels[3].listedLowestMajor = 0; // 3.0 announced as a legacy range
    d.channels[3].listedHighestMajor = 11;
    d.channels[4].transportType = kTransportUsb;
    d.channels[4].usbEndpoint = 2;
    d.channels[4].usbBurstIn = true;
    d.channels[5].listed = false;
    Start(d);
    ASSERT_TRUE(client->Open(0, 0, 2, 1));
    auto m = Ask(0x02);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[5], 0x82);
    EXPECT_EQ(Get16(*m, 6), 20);
    const std::size_t count = (*m)[16];
    ASSERT_EQ(count, d.channels.size() - 1);
    ASSERT_EQ(Get32(*m, 8), 20 + 16 * count);
    ASSERT_EQ(m->size(), 20 + 16 * count);
    std::size_t at = 20;
    for (const auto& ch : d.channels)
    {
        if (!ch.listed)
        {
            continue;
        }
        SCOPED_TRACE(ch.id.ToString());
        EXPECT_EQ(Get16(*m, at), 16);
        EXPECT_EQ((*m)[at + 2], ch.TransportTypeOver(kTransportTcp));
        EXPECT_EQ((*m)[at + 3], ch.id.channel);
        EXPECT_EQ((*m)[at + 4], ch.id.sub);
        EXPECT_EQ((*m)[at + 5], ch.LowestMajor());
        EXPECT_EQ((*m)[at + 6], ch.HighestMajor());
        EXPECT_EQ(Get32(*m, at + 8), ch.flags);
        if (ch.TransportTypeOver(kTransportTcp) == kTransportTcp)
        {
            EXPECT_EQ(Get16(*m, at + 12), camera->Port());
        }
        else
        {
            EXPECT_EQ((*m)[at + 12], 2);
            EXPECT_EQ((*m)[at + 13], 1);
        }
        at += 16;
    }
    EXPECT_EQ((*m)[20 + 3 * 16 + 5], 0);
    EXPECT_EQ((*m)[20 + 3 * 16 + 6], 11);
}

// An older camera offers only its own enumeration majors, and knows no GetChannelList.
TEST_F(SimEnumeration, OlderCameraOffersVersionOneAndRefusesTheListRequest)
{
    Start(CameraDescription::Older());
    auto reply = client->Open(0, 0, 2, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[16], 1);
    EXPECT_EQ((*reply)[17], 0);
    auto info = Ask(0x01);
    ASSERT_TRUE(info);
    EXPECT_EQ((*info)[17], 1);
    EXPECT_EQ((*info)[18], 1);
    EXPECT_EQ(Text(*info, 48, 32), ""); // no firmware text: the host formats the number
    EXPECT_EQ(Get32(*info, 44), 0x00090137u);
    auto error = Ask(0x02);
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)[4], 0x01);
    EXPECT_EQ((*error)[5], 0xFF);
    EXPECT_EQ(camera->Snapshot().CountViolations(ViolationKind::UnexpectedMessage), 1u);
}

// A request with the wrong size is a host fault, though the camera still answers it.
TEST_F(SimEnumeration, OversizedRequestIsRecorded)
{
    Start(CameraDescription::Default());
    ASSERT_TRUE(client->Open(0, 0, 2, 1));
    ASSERT_TRUE(client->Send(Data(0, 0, Message(0x64, 0x01, 16, 20, Bytes(4, 0)))));
    auto m = client->ReceiveMessage(0, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size(), 288u);
    EXPECT_EQ(camera->Snapshot().CountViolations(ViolationKind::BadMessage), 1u);
}

// Tests of the host's parser make the replies malformed through a mutator.
TEST_F(SimEnumeration, MutatorsAlterTheRepliesBeforeSending)
{
    auto d = CameraDescription::Default();
    camera = std::make_unique<Camera>(d);
    camera->SetLogSink({});
    EnumerationHandler::Options options;
    options.channelListMutator = [](Bytes& reply) { reply[16] = 40; }; // more descriptors than sent
    options.deviceInfoMutator = [](Bytes& reply)
    {
        reply.resize(100);
        Put16(reply, 6, 100);
        Put32(reply, 8, 100);
    };
    camera->SetChannelHandler({0, 0}, EnumerationHandler::Factory(options));
    camera->Start();
    client = std::make_unique<RawClient>(camera->Port());
    ASSERT_TRUE(client->Open(0, 0, 2, 1));
    auto info = Ask(0x01);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->size(), 100u);
    auto list = Ask(0x02);
    ASSERT_TRUE(list);
    EXPECT_EQ((*list)[16], 40);
    EXPECT_EQ(list->size(), BuildChannelListReply(camera->Description(), camera->Port()).size());
}

// A mutator that empties the reply makes the camera stay silent, for the host's time-out.
TEST_F(SimEnumeration, EmptiedReplyIsNotSent)
{
    camera = std::make_unique<Camera>();
    camera->SetLogSink({});
    EnumerationHandler::Options options;
    options.deviceInfoMutator = [](Bytes& reply) { reply.clear(); };
    camera->SetChannelHandler({0, 0}, EnumerationHandler::Factory(options));
    camera->Start();
    client = std::make_unique<RawClient>(camera->Port());
    ASSERT_TRUE(client->Open(0, 0, 2, 1));
    ASSERT_TRUE(client->Send(Data(0, 0, Message(0x64, 0x01, 16, 16))));
    EXPECT_FALSE(client->Receive(200ms));
    EXPECT_TRUE(Ask(0x02)); // the channel still answers other requests
}

} // namespace
