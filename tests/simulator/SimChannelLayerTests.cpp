// The camera's side of the channel handshake and its strict checks, driven by
// a raw host over loopback TCP.
#include "SimCamera.h"
#include "SimSha256.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <future>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

class SimChannelLayer : public ::testing::Test
{
protected:
    void StartCamera(CameraDescription d = CameraDescription::Default())
    {
        camera = std::make_unique<Camera>(std::move(d));
        camera->SetLogSink({}); // tests assert on the recorded observations instead
        camera->Start();
    }

    void SetUp() override { StartCamera(); }

    std::size_t Violations(ViolationKind kind) { return camera->Snapshot().CountViolations(kind); }

    // Waits for the camera to record a violation of `kind` (violations are recorded on its thread).
    bool WaitViolation(ViolationKind kind)
    {
        return camera->WaitUntil([&](const Observations& o) { return o.CountViolations(kind) > 0; }, 3s);
    }

    std::unique_ptr<Camera> camera;
};

// The OpenReply must be exactly the 256-byte packet a host expects, field by field.
TEST_F(SimChannelLayer, OpenReplyBytesOnChannelZero)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(OpenRequest(0, 0, 2, 1)));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->raw.size(), 256u);
    EXPECT_EQ(p->magic, 0xDDCCBBAAu);
    EXPECT_EQ(p->type, 0x80);
    EXPECT_EQ(p->headerLength, 16);
    EXPECT_EQ(p->ch, 0);
    EXPECT_EQ(p->sub, 0);
    EXPECT_EQ(p->payloadLength, 50);
    EXPECT_EQ(p->padding, 190);
    EXPECT_EQ(p->tag, 0);
    EXPECT_EQ(p->reserved, 0u);
    const Bytes& pl = p->payload;
    EXPECT_EQ(Get32(pl, 0), 0u);     // flags: no debug mode
    EXPECT_EQ(Get16(pl, 4), 0xFFFF); // maximum payload
    EXPECT_EQ(pl[6], 1);             // channel protocol version
    EXPECT_EQ(pl[7], 0);             // alignment
    EXPECT_EQ(Get32(pl, 8), 10000u); // primary time-out
    EXPECT_EQ(Get32(pl, 12), 2000u); // secondary time-out
    EXPECT_EQ(pl[16], 2);            // the requested version 2.1
    EXPECT_EQ(pl[17], 1);
    EXPECT_EQ(pl[18], 0); // accepted
    for (std::size_t i = 19; i < p->raw.size() - 16; ++i)
    {
        ASSERT_EQ(p->raw[16 + i], 0) << "byte " << 16 + i;
    }
    EXPECT_TRUE(camera->WaitUntil([](const Observations& o) { return o.opensAccepted == 1; }, 3s));
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// A camera without the requested version answers with one it has, so the host can refuse it.
TEST_F(SimChannelLayer, OpenReplyOffersTheBestVersionBelowAnUnknownRequest)
{
    RawClient c(camera->Port());
    auto reply = c.Open(2, 0, 2, 5); // 2.0 speaks 1.0, 1.1, 2.0
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[16], 2);
    EXPECT_EQ((*reply)[17], 0);
    reply = c.Open(3, 0, 2, 0); // 3.0 speaks 1.0 only
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[16], 1);
    EXPECT_EQ((*reply)[17], 0);
}

// Authentication: a wrong identity on a checked channel gets status 6; 0.0 is never checked.
TEST_F(SimChannelLayer, IdentityMismatchRefusesWithStatusSix)
{
    auto d = CameraDescription::Default();
    d.authenticationCode = "open sesame";
    StartCamera(d);
    RawClient c(camera->Port());
    auto reply = c.Open(2, 0, 1, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 6);
    EXPECT_TRUE(camera->OpenChannels(camera->LatestConnection()).empty());

    reply = c.Open(2, 0, 1, 0, IdentityForAuthenticationCode("open sesame"));
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 0);

    reply = c.Open(0, 0, 2, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 0);
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// The configured connection limit gives status 5 until a holder closes.
TEST_F(SimChannelLayer, ConnectionLimitRefusesWithStatusFive)
{
    auto d = CameraDescription::Default();
    for (auto& ch : d.channels)
    {
        if (ch.id == ChannelId{2, 0})
        {
            ch.maxOpenConnections = 1;
        }
    }
    StartCamera(d);
    RawClient first(camera->Port());
    RawClient second(camera->Port());
    auto reply = first.Open(2, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 0);
    reply = second.Open(2, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 5);

    ASSERT_TRUE(first.Send(CloseRequest(2, 0)));
    ASSERT_TRUE(first.ReceiveType(0x81));
    reply = second.Open(2, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)[18], 0);
}

// CloseRequest is answered in any state, opened or not.
TEST_F(SimChannelLayer, CloseRequestAnsweredInEveryState)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(CloseRequest(1, 0))); // never opened
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, 0x81);
    EXPECT_EQ(p->raw.size(), 256u);
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(CloseRequest(1, 0)));
    ASSERT_TRUE(c.ReceiveType(0x81));
    ASSERT_TRUE(c.Send(CloseRequest(1, 0))); // already closed
    ASSERT_TRUE(c.ReceiveType(0x81));
    ASSERT_TRUE(c.Open(1, 0)); // reopens afterwards
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// A channel the camera does not offer is refused with ErrorReply 4 carrying the request's tag.
TEST_F(SimChannelLayer, UnservedChannelGetsErrorReplyFour)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Packet(0x00, 7, 0, OpenRequestPayload(1, 0), 190, /*tag*/ 0x21)));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, 0xFF);
    EXPECT_EQ(p->ch, 7);
    EXPECT_EQ(p->raw.size(), 256u);
    ASSERT_EQ(p->payload.size(), 2u);
    EXPECT_EQ(p->payload[0], 4);
    EXPECT_EQ(p->payload[1], 0x21);
    // The non-zero tag itself is something a host never sends.
    EXPECT_TRUE(WaitViolation(ViolationKind::NonZeroTag));
}

// Refusing a channel it does not serve, the camera still checks the request: a
// host fault in an OpenRequest must not hide behind ErrorReply 4.
TEST_F(SimChannelLayer, RequestsOnUnservedChannelsAreStillChecked)
{
    RawClient c(camera->Port());
    Bytes fields = OpenRequestPayload(1, 0);
    fields[6] = 2; // channel protocol version
    ASSERT_TRUE(c.Send(Packet(0x00, 7, 0, fields, 190)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 4);
    EXPECT_TRUE(WaitViolation(ViolationKind::BadOpenRequest));
    ASSERT_TRUE(c.Send(Packet(0x00, 7, 0, OpenRequestPayload(1, 0), 189)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 4);
    EXPECT_TRUE(WaitViolation(ViolationKind::BadPacketLength));
}

TEST_F(SimChannelLayer, PingIsEchoedAndCheckedOnAnOpenChannel)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(0, 0, 2, 1));
    ASSERT_TRUE(camera->WaitForConnections(1, 3s));
    const auto conn = camera->LatestConnection();
    auto answered = std::async(std::launch::async, [&] { return camera->Ping(conn, {0, 0}, 0x5A, 3s); });
    auto ping = c.Receive();
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->type, 0x03);
    EXPECT_EQ(ping->raw.size(), 24u);
    EXPECT_EQ(ping->payload[0], 0x5A);
    ASSERT_TRUE(c.Send(PingReply(0, 0, 0x5A)));
    EXPECT_TRUE(answered.get());
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// A host that does not echo the ping's byte is caught.
TEST_F(SimChannelLayer, WrongPingEchoIsAViolation)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(0, 0, 2, 1));
    ASSERT_TRUE(camera->SendPing(camera->LatestConnection(), {0, 0}, 0x5A));
    ASSERT_TRUE(c.ReceiveType(0x03));
    ASSERT_TRUE(c.Send(PingReply(0, 0, 0x00)));
    EXPECT_TRUE(WaitViolation(ViolationKind::BadPingReply));
    ASSERT_TRUE(c.Send(PingReply(0, 0, 0x5A))); // nothing outstanding any more
    EXPECT_TRUE(WaitViolation(ViolationKind::UnexpectedPingReply));
}

// ---- strictness: each malformed host packet is recorded

TEST_F(SimChannelLayer, BadMagicIsRecordedAndDropsTheConnection)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Packet(0x02, 0, 0, {}, 0, 0, 16, 0xDDCCBBABu)));
    EXPECT_TRUE(WaitViolation(ViolationKind::BadPacketMagic));
    EXPECT_TRUE(c.WaitForEnd());
}

TEST_F(SimChannelLayer, HeaderLengthNotMultipleOfEightIsRecordedAndDropsTheConnection)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Packet(0x02, 0, 0, {}, 0, 0, 20)));
    EXPECT_TRUE(WaitViolation(ViolationKind::BadHeaderLength));
    EXPECT_TRUE(c.WaitForEnd());
}

// An OpenRequest one byte short of 256 is refused with ErrorReply 1.
TEST_F(SimChannelLayer, ShortOpenRequestIsRecordedAndAnsweredWithErrorReplyOne)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Packet(0x00, 0, 0, OpenRequestPayload(2, 1), 189)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 1);
    EXPECT_EQ(Violations(ViolationKind::BadPacketLength), 1u);
}

// Every fixed field of the OpenRequest is checked.
TEST_F(SimChannelLayer, WrongOpenRequestFieldsAreRecorded)
{
    RawClient c(camera->Port());
    Bytes payload = OpenRequestPayload(1, 0);
    payload[7] = 0x40;       // alignment
    Put32(payload, 8, 5000); // primary time-out
    ASSERT_TRUE(c.Send(Packet(0x00, 1, 0, payload, 190)));
    ASSERT_TRUE(c.ReceiveType(0x80));
    const auto o = camera->Snapshot();
    ASSERT_EQ(o.CountViolations(ViolationKind::BadOpenRequest), 1u);
    EXPECT_NE(o.violations[0].text.find("alignment"), std::string::npos);
    EXPECT_NE(o.violations[0].text.find("primaryTimeout"), std::string::npos);
}

// Channel 0.0 always carries a zero identity.
TEST_F(SimChannelLayer, NonZeroIdentityOnChannelZeroIsRecorded)
{
    RawClient c(camera->Port());
    std::array<std::uint8_t, 32> id{};
    id[31] = 1;
    ASSERT_TRUE(c.Open(0, 0, 2, 1, id));
    EXPECT_EQ(Violations(ViolationKind::BadIdentity), 1u);
}

TEST_F(SimChannelLayer, NonZeroPaddingIsRecorded)
{
    RawClient c(camera->Port());
    Bytes close = CloseRequest(1, 0);
    close[100] = 0xEE;
    ASSERT_TRUE(c.Send(close));
    ASSERT_TRUE(c.ReceiveType(0x81));
    EXPECT_EQ(Violations(ViolationKind::NonZeroPadding), 1u);
}

TEST_F(SimChannelLayer, DataOnAChannelNeverOpenedIsRecorded)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(10, 1))));
    EXPECT_TRUE(WaitViolation(ViolationKind::DataOnClosedChannel));
}

// With alignment exponent 4 the host must pad a 24-byte Data packet to 32.
TEST_F(SimChannelLayer, MisalignedDataIsRecordedAndAnsweredWithErrorReplySix)
{
    auto d = CameraDescription::Default();
    for (auto& ch : d.channels)
    {
        ch.alignment = 0x40;
    }
    StartCamera(d);
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(8, 0), 8))); // correctly padded: accepted silently
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(8, 0), 0)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 6);
    EXPECT_EQ(Violations(ViolationKind::Misaligned), 1u);
}

// maxPayloadLength 0xFF with exponent 4 yields 240: a 241-byte payload breaks it.
TEST_F(SimChannelLayer, PayloadAboveTheAnnouncedMaximumIsRecorded)
{
    auto d = CameraDescription::Default();
    for (auto& ch : d.channels)
    {
        ch.alignment = 0x40;
        ch.maxPayloadLength = 0x00FF;
    }
    StartCamera(d);
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(240, 0), 0)));
    ASSERT_TRUE(c.Send(Data(1, 0, Bytes(241, 0), 15)));
    EXPECT_TRUE(WaitViolation(ViolationKind::PayloadTooLong));
    EXPECT_EQ(Violations(ViolationKind::PayloadTooLong), 1u);
    EXPECT_EQ(Violations(ViolationKind::Misaligned), 0u);
}

TEST_F(SimChannelLayer, UnknownPacketTypeIsRecordedAndAnsweredWithErrorReplyTwo)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(Packet(0x05, 1, 0, {}, 0)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 2);
    EXPECT_EQ(Violations(ViolationKind::UnexpectedPacketType), 1u);
}

TEST_F(SimChannelLayer, CloseReplyWithoutCloseRequestIsRecorded)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Send(CloseReply(1, 0)));
    EXPECT_TRUE(WaitViolation(ViolationKind::UnexpectedCloseReply));
}

TEST_F(SimChannelLayer, OpenRequestOnAnOpenChannelIsRecorded)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(OpenRequest(1, 0)));
    EXPECT_EQ(c.ReceiveErrorReplyCode(), 3);
    EXPECT_EQ(Violations(ViolationKind::PacketInWrongState), 1u);
}

// ---- messages on a channel

TEST_F(SimChannelLayer, UnknownMessageGetsCommonError)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(1, 0));
    ASSERT_TRUE(c.Send(Data(1, 0, Message(0x65, 0x33, 16, 16))));
    auto m = c.ReceiveMessage(1, 0);
    ASSERT_TRUE(m);
    ASSERT_GE(m->size(), 28u);
    EXPECT_EQ(Get32(*m, 0), 0x44332211u);
    EXPECT_EQ((*m)[4], 0x01);
    EXPECT_EQ((*m)[5], 0xFF);
    EXPECT_EQ(Get16(*m, 6), 28);
    EXPECT_EQ(Get32(*m, 8), m->size());
    EXPECT_EQ((*m)[20], 0x65);
    EXPECT_EQ((*m)[21], 0x33);
    EXPECT_EQ(Get16(*m, 24), m->size() - 28);
    EXPECT_EQ(Get16(*m, 26), 28);
    EXPECT_TRUE(camera->Violations().empty()) << camera->Snapshot().DescribeViolations();
}

// A message split over several Data packets is reassembled; EnableEvents needs no answer.
TEST_F(SimChannelLayer, MessagesAreReassembledAcrossPackets)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(2, 0));
    Bytes enable = Message(0x01, 0x01, 20, 20, Bytes{1, 0, 0, 0});
    Bytes unknown = Message(0x66, 0x44, 16, 40, Bytes(24, 0));
    Bytes stream = enable;
    stream.insert(stream.end(), unknown.begin(), unknown.end());
    ASSERT_TRUE(c.Send(Data(2, 0, Bytes(stream.begin(), stream.begin() + 7))));
    ASSERT_TRUE(c.Send(Data(2, 0, Bytes(stream.begin() + 7, stream.begin() + 30))));
    ASSERT_TRUE(c.Send(Data(2, 0, Bytes(stream.begin() + 30, stream.end()))));
    auto m = c.ReceiveMessage(2, 0);
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)[20], 0x66);
    const auto o = camera->Snapshot();
    ASSERT_EQ(o.messages.size(), 2u);
    EXPECT_EQ(o.messages[0].header.messageType, 0x01);
    EXPECT_EQ(o.messages[1].header.messageSize, 40u);
    EXPECT_TRUE(o.violations.empty()) << o.DescribeViolations();
}

TEST_F(SimChannelLayer, BadMessageMagicIsRecordedAndTheStreamIgnored)
{
    RawClient c(camera->Port());
    ASSERT_TRUE(c.Open(2, 0));
    ASSERT_TRUE(c.Send(Data(2, 0, Message(0x66, 0x01, 16, 16, {}, 0x44332212u))));
    EXPECT_TRUE(WaitViolation(ViolationKind::BadMessageHeader));
    ASSERT_TRUE(c.Send(Data(2, 0, Message(0x66, 0x44, 16, 16))));
    // No CommonError comes: the camera ignores the broken stream until the channel reopens.
    EXPECT_FALSE(c.Receive(300ms));
    ASSERT_TRUE(c.Send(CloseRequest(2, 0)));
    ASSERT_TRUE(c.ReceiveType(0x81));
    ASSERT_TRUE(c.Open(2, 0));
    ASSERT_TRUE(c.Send(Data(2, 0, Message(0x66, 0x44, 16, 16))));
    EXPECT_TRUE(c.ReceiveMessage(2, 0));
}

} // namespace
