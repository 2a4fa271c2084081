// Fault injection: each fault the library's tests rely on shows up on the wire as described.
#include "SimCamera.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

class SimFaults : public ::testing::Test
{
protected:
    void SetUp() override
    {
        camera.SetLogSink({});
        camera.Start();
    }

    Camera camera;
};

TEST_F(SimFaults, RefuseWithAGivenStatusOnce)
{
    camera.Faults().AddOpenFault({.channel = {2, 0}, .count = 1, .status = 3});
    RawClient c(camera.Port());
    auto reply = c.Open(2, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 3);
    reply = c.Open(2, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 0);
}

// A silent camera: no answer at all, for as many OpenRequests as asked.
TEST_F(SimFaults, IgnoreOpenRequests)
{
    camera.Faults().AddOpenFault({.channel = {2, 0}, .count = 2, .action = OpenAction::Ignore});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(2, 0)));
    EXPECT_FALSE(c.Receive(200ms));
    ASSERT_TRUE(c.Send(CloseRequest(2, 0))); // what a host sends after its time-out
    ASSERT_TRUE(c.ReceiveType(0x81));
    ASSERT_TRUE(c.Send(OpenRequest(2, 0)));
    EXPECT_FALSE(c.Receive(200ms));
    EXPECT_TRUE(c.Open(2, 0)); // the third is answered
}

// A CloseRequest instead of the OpenReply; the host's CloseReply is then expected, not a violation.
TEST_F(SimFaults, AnswerWithCloseRequest)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .action = OpenAction::CloseRequest});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, 0x01);
    EXPECT_EQ(p->raw.size(), 256u);
    ASSERT_TRUE(c.Send(CloseReply(1, 0)));
    EXPECT_TRUE(c.Open(1, 0));
    EXPECT_TRUE(camera.Violations().empty()) << camera.Snapshot().DescribeViolations();
}

TEST_F(SimFaults, AnswerWithErrorReplyOfAGivenCode)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .action = OpenAction::ErrorReply, .errorCode = 3});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 3);
}

// A late reply arrives no earlier than its delay.
TEST_F(SimFaults, ReplyLate)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .delay = 300ms});
    RawClient c(camera.Port());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, 0x80);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
}

TEST_F(SimFaults, ReplyWithOtherParameters)
{
    camera.Faults().AddOpenFault({.channel = {1, 0},
                                  .version = Version{3, 7},
                                  .alignment = 0x90,
                                  .maxPayloadLength = 0x00EF,
                                  .channelProtocolVersion = 2,
                                  .flags = 1,
                                  .primaryTimeout = 0xFFFFFFF0u});
    RawClient c(camera.Port());
    auto reply = c.Open(1, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Get32(*reply, 0), 1u);
    EXPECT_EQ(Get16(*reply, 4), 0x00EF);
    EXPECT_EQ((*reply)[6], 2);
    EXPECT_EQ((*reply)[7], 0x90);
    EXPECT_EQ(Get32(*reply, 8), 0xFFFFFFF0u);
    EXPECT_EQ((*reply)[16], 3);
    EXPECT_EQ((*reply)[17], 7);
    EXPECT_EQ((*reply)[18], 0);
}

// An OpenReply of 255 bytes, as the host's length check must catch.
TEST_F(SimFaults, RawBytesInsteadOfTheReply)
{
    Bytes shortReply = Packet(0x80, 1, 0, Bytes(50, 0), 189);
    camera.Faults().AddOpenFault({.channel = {1, 0}, .action = OpenAction::Raw, .rawBytes = shortReply});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->raw.size(), 255u);
}

TEST_F(SimFaults, MalformedHeaderInsteadOfTheReply)
{
    camera.Faults().AddOpenFault(
        {.channel = {1, 0}, .action = OpenAction::Malformed, .malformed = MalformedHeader::HeaderLength20});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    auto head = c.ReceiveBytes(16);
    ASSERT_TRUE(head);
    EXPECT_EQ(Get32(*head, 0), 0xDDCCBBAAu);
    EXPECT_EQ((*head)[5], 20);
}

TEST_F(SimFaults, DropConnectionOnOpenRequest)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .action = OpenAction::DropConnection});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    EXPECT_TRUE(c.WaitForEnd());
    EXPECT_EQ(c.LastError(), 0); // an orderly end of stream
}

TEST_F(SimFaults, ResetConnectionOnOpenRequest)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .action = OpenAction::ResetConnection});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    EXPECT_TRUE(c.WaitForEnd());
    EXPECT_EQ(c.LastError(), ECONNRESET);
}

// The reply goes out whole before the connection drops.
TEST_F(SimFaults, DropConnectionAfterTheReply)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .after = AfterReply::DropConnection});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(1, 0));
    EXPECT_TRUE(c.WaitForEnd());
}

TEST_F(SimFaults, CloseRequestAfterTheReply)
{
    camera.Faults().AddOpenFault({.channel = {1, 0}, .after = AfterReply::CloseRequest});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.ReceiveType(0x01));
    ASSERT_TRUE(c.Send(CloseReply(1, 0)));
    EXPECT_TRUE(camera.WaitUntil([](const Observations& o) { return o.closesCompleted == 1; }, 3s));
    EXPECT_TRUE(camera.Violations().empty()) << camera.Snapshot().DescribeViolations();
}

// A drop in the middle of a transfer, at a chosen byte count.
TEST_F(SimFaults, ResetAfterAGivenNumberOfDataBytes)
{
    camera.Faults().AddDataFault(
        {.channel = {1, 0}, .afterBytes = 100, .action = DataAction::ResetConnection});
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(60, 0))));
    EXPECT_FALSE(c.Receive(100ms)); // below the threshold nothing happens
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(60, 0))));
    EXPECT_TRUE(c.WaitForEnd());
    EXPECT_EQ(c.LastError(), ECONNRESET);
}

TEST_F(SimFaults, OnDemandActionsReachTheHost)
{
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(1, 0));
    const auto conn = camera.LatestConnection();
    ASSERT_NE(conn, 0u);
    EXPECT_EQ(camera.OpenChannels(conn), (std::vector<ChannelId>{{1, 0}}));
    ASSERT_TRUE(camera.SendErrorReply(conn, {1, 0}, 7));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 7);
    ASSERT_TRUE(camera.SendMalformedHeader(conn, MalformedHeader::BadMagic, {1, 0}));
    auto head = c.ReceiveBytes(16);
    ASSERT_TRUE(head);
    EXPECT_EQ(Get32(*head, 0), 0xDDCCBBABu);
    ASSERT_TRUE(camera.DropConnection(conn, DropMode::Reset));
    EXPECT_TRUE(c.WaitForEnd());
    EXPECT_FALSE(camera.SendErrorReply(conn, {1, 0}, 7)); // the connection is gone
}

// A camera-initiated message reaches an open channel; a closed one refuses it.
TEST_F(SimFaults, SendOnChannelPushesBytesToAnOpenChannelOnly)
{
    RawClient c(camera.Port());
    ASSERT_TRUE(c.Open(2, 0));
    const auto conn = camera.LatestConnection();
    const Bytes event = Message(0x66, 0x10, 16, 16);
    ASSERT_TRUE(camera.SendOnChannel(conn, {2, 0}, event));
    auto m = c.ReceiveMessage(2, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ(*m, event);
    EXPECT_FALSE(camera.SendOnChannel(conn, {3, 0}, event));
}

// With a packet tag set, the host's ErrorReply must copy it.
TEST_F(SimFaults, ErrorReplyMustCopyTheCameraTag)
{
    camera.Faults().SetPacketTag(0x42);
    RawClient c(camera.Port());
    auto p = c.ReceiveBytes(1, 50ms); // nothing yet
    EXPECT_FALSE(p);
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    auto reply = c.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->tag, 0x42);
    ASSERT_TRUE(c.Send(ErrorReply(1, 0, 8, 0x42)));
    ASSERT_TRUE(c.Send(ErrorReply(1, 0, 8, 0x00)));
    EXPECT_TRUE(camera.WaitUntil(
        [](const Observations& o) { return o.CountViolations(ViolationKind::BadErrorReply) == 1; }, 3s));
    EXPECT_EQ(camera.Snapshot().CountPackets(PacketType::ErrorReply, {1, 0}, true), 2u);
}

} // namespace
