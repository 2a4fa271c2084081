// Channel packets: the exact bytes of the control packets and a padded Data
// packet (written out by hand from the packet layout), reading them back, the
// type table, the header checks, alignment and the maximum payload rule.
#include "Wire/KPXPacket.h"

#include "KpxWireTestSupport.h"
#include "Q7PlatformSha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace
{

using namespace Q7::KPX;
using KpxWireTest::Bytes;
using KpxWireTest::Padded;

// --- Golden bytes ------------------------------------------------------------

TEST(PacketGoldenTest, CloseRequestOnChannel4Sub1)
{
    const Bytes expected = Padded({0xAA, 0xBB, 0xCC, 0xDD, // magic
                                   0x01,                   // CloseRequest
                                   0x10,                   // headerLength 16
                                   0x04, 0x01,             // channel 4.1
                                   0x00, 0x00,             // payloadLength 0
                                   0xF0,                   // paddingLength 240
                                   0x00,                   // tag
                                   0x00, 0x00, 0x00, 0x00},
                                  256);
    EXPECT_EQ(BuildCloseRequestPacket(4, 1), expected);
}

TEST(PacketGoldenTest, CloseReplyOnChannel4Sub1)
{
    const Bytes expected = Padded(
        {0xAA, 0xBB, 0xCC, 0xDD, 0x81, 0x10, 0x04, 0x01, 0x00, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00},
        256);
    EXPECT_EQ(BuildCloseReplyPacket(4, 1), expected);
}

TEST(PacketGoldenTest, OpenRequestOnChannel2WithoutIdentity)
{
    const Bytes expected = Padded({0xAA, 0xBB, 0xCC, 0xDD, // magic
                                   0x00,                   // OpenRequest
                                   0x10, 0x02, 0x00,       // headerLength 16, channel 2.0
                                   0x32, 0x00,             // payloadLength 50
                                   0xBE,                   // paddingLength 190
                                   0x00, 0x00, 0x00, 0x00, 0x00,
                                   // payload
                                   0x00, 0x00, 0x00, 0x00, // flags
                                   0xFF, 0xFF,             // maxPayloadLength
                                   0x01,                   // channelProtocolVersion
                                   0x00,                   // alignment
                                   0x10, 0x27, 0x00, 0x00, // primaryTimeout 10000
                                   0xD0, 0x07, 0x00, 0x00, // secondaryTimeout 2000
                                   0x01, 0x01}, // message protocol 1.1, major first; identity: 32 zeros
                                  256);
    const ClientIdentity noIdentity{};
    EXPECT_EQ(BuildOpenRequestPacket(2, 0, false, ProtocolVersion{1, 1}, noIdentity), expected);
}

TEST(PacketGoldenTest, OpenRequestOnChannel2WithIdentityAndDebug)
{
    // The identity is the SHA-256 of the authentication text "abc".
    Q7::Platform::Sha256DigestBytes identity{};
    Q7::Platform::Sha256Digest(identity, "abc");

    const Bytes expected = Padded({0xAA, 0xBB, 0xCC, 0xDD, 0x00, 0x10, 0x02, 0x00, 0x32, 0x00, 0xBE,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, // flags: debug mode
                                   0xFF, 0xFF, 0x01, 0x00, 0x10, 0x27, 0x00, 0x00, 0xD0, 0x07, 0x00,
                                   0x00, 0x02, 0x01, // message protocol 2.1
                                   0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                   0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                   0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad},
                                  256);
    EXPECT_EQ(BuildOpenRequestPacket(2, 0, true, ProtocolVersion{2, 1}, identity), expected);
}

TEST(PacketGoldenTest, PingReplyEchoesByteZero)
{
    const Bytes expected = {0xAA, 0xBB, 0xCC, 0xDD, 0x83, 0x10, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(BuildPingReplyPacket(2, 0, 0x5A), expected);
}

TEST(PacketGoldenTest, ErrorReplyEchoesTheOffendingTag)
{
    CommonPacketHeader offending;
    offending.packetType = kPacketType_Data;
    offending.channelNumber = 7;
    offending.subChannelNumber = 0;
    offending.tag = 0x5C;

    const Bytes expected = Padded({0xAA, 0xBB, 0xCC, 0xDD,
                                   0xFF,             // ErrorReply
                                   0x10, 0x07, 0x00, // addressed to the offending channel 7.0
                                   0x02, 0x00,       // payloadLength 2
                                   0xEE,             // paddingLength 238
                                   0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x04,  // code 4
                                   0x5C}, // the offending tag
                                  256);
    EXPECT_EQ(BuildErrorReplyPacket(kErrorReply_UnsupportedChannel, offending), expected);
}

TEST(PacketGoldenTest, DataPacketPaddedToSixteenBytes)
{
    const Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
    CommonPacketHeader header;
    header.packetType = kPacketType_Data;
    header.channelNumber = 3;
    header.payloadLength = 8;
    EXPECT_EQ(AlignPacketHeader(header, 4), kPacketAlignment_Padded);

    Bytes packet(kMaxPacketLength, 0xEE);
    const std::size_t written = AssemblePacket(packet, header, payload);
    packet.resize(written);

    const Bytes expected = {0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x10, 0x03, 0x00, 0x08, 0x00, 0x08,
                            0x00, 0x00, 0x00, 0x00, 0x00, 1,    2,    3,    4,    5,    6,
                            7,    8,    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(packet, expected);
}

TEST(PacketGoldenTest, DataPacketWithoutAlignmentHasNoPadding)
{
    const Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8};
    CommonPacketHeader header;
    header.channelNumber = 3;
    header.payloadLength = 8;
    EXPECT_EQ(AlignPacketHeader(header, 0), kPacketAlignment_Unchanged);
    Bytes packet(64, 0);
    EXPECT_EQ(AssemblePacket(packet, header, payload), 24U);
    EXPECT_EQ(packet[10], 0x00) << "paddingLength";
}

// --- Reading the same bytes back -----------------------------------------------

// Every field of the packet header and of the two payload records, decoded
// from bytes that each hold their own offset, against the packet layout.
TEST(PacketReadBackTest, EveryFieldIsReadAtItsOffset)
{
    const auto header = [](const Bytes& b) { return DecodePacketHeader(b).value(); };
    const auto open = [](const Bytes& b) { return DecodeOpenPayload(b).value(); };
    const auto error = [](const Bytes& b) { return DecodeErrorReplyPayload(b).value(); };
    KpxWireTest::ExpectFieldsAtTheirOffsets(
        {
            {"header.magic", 0, 4, [&](const Bytes& b) { return header(b).magic; }},
            {"header.packetType", 4, 1, [&](const Bytes& b) { return header(b).packetType; }},
            {"header.headerLength", 5, 1, [&](const Bytes& b) { return header(b).headerLength; }},
            {"header.channelNumber", 6, 1, [&](const Bytes& b) { return header(b).channelNumber; }},
            {"header.subChannelNumber", 7, 1, [&](const Bytes& b) { return header(b).subChannelNumber; }},
            {"header.payloadLength", 8, 2, [&](const Bytes& b) { return header(b).payloadLength; }},
            {"header.paddingLength", 10, 1, [&](const Bytes& b) { return header(b).paddingLength; }},
            {"header.tag", 11, 1, [&](const Bytes& b) { return header(b).tag; }},
            {"open.flags", 0, 4, [&](const Bytes& b) { return open(b).flags; }},
            {"open.maxPayloadLength", 4, 2, [&](const Bytes& b) { return open(b).maxPayloadLength; }},
            {"open.channelProtocolVersion", 6, 1,
             [&](const Bytes& b) { return open(b).channelProtocolVersion; }},
            {"open.alignment", 7, 1, [&](const Bytes& b) { return open(b).alignment; }},
            {"open.primaryTimeout", 8, 4, [&](const Bytes& b) { return open(b).primaryTimeout; }},
            {"open.secondaryTimeout", 12, 4, [&](const Bytes& b) { return open(b).secondaryTimeout; }},
            {"open.messageProtocol.major", 16, 1,
             [&](const Bytes& b) { return open(b).messageProtocol.major; }},
            {"open.messageProtocol.minor", 17, 1,
             [&](const Bytes& b) { return open(b).messageProtocol.minor; }},
            {"open.clientIdentity[0]", 18, 1, [&](const Bytes& b) { return open(b).clientIdentity[0]; }},
            {"open.clientIdentity[31]", 49, 1, [&](const Bytes& b) { return open(b).clientIdentity[31]; }},
            {"error.code", 0, 1, [&](const Bytes& b) { return error(b).code; }},
            {"error.tag", 1, 1, [&](const Bytes& b) { return error(b).tag; }},
        },
        kOpenPayloadLength);

    // The reserved header bytes 12..15 are written as zeros whatever was read.
    CommonPacketHeader read = header(KpxWireTest::OffsetPattern(16));
    std::array<std::uint8_t, 16> written{};
    written.fill(0xEE);
    ByteWriter writer(written);
    EncodePacketHeader(writer, read);
    EXPECT_EQ(Bytes(written.begin(), written.end()),
              (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 0, 0, 0}));
}

TEST(PacketReadBackTest, OpenReplyStatusIsPayloadByte18)
{
    Bytes reply = Padded({0xAA, 0xBB, 0xCC, 0xDD, 0x80, 0x10, 0x02, 0x00, 0x32, 0x00, 0xBE, 0x00,
                          0,    0,    0,    0,    0x00, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x01, 0x40,
                          0xE8, 0x03, 0x00, 0x00, 0,    0,    0,    0,    0x02, 0x00, // version 2.0
                          0x06},                                                      // openStatus 6
                         256);
    const auto view = ParsePacket(reply);
    ASSERT_TRUE(view);
    const auto open = DecodeOpenPayload(view->payload);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->OpenStatus(), 6);
    EXPECT_EQ(open->maxPayloadLength, 0x00FF);
    EXPECT_EQ(open->alignment, 0x40);
    EXPECT_EQ(open->primaryTimeout, 1000U);
    EXPECT_EQ(open->messageProtocol, (ProtocolVersion{2, 0}));
}

TEST(PacketReadBackTest, ErrorReplyAndPingPayloads)
{
    CommonPacketHeader offending;
    offending.channelNumber = 7;
    offending.tag = 0x5C;
    const Bytes packet = BuildErrorReplyPacket(kErrorReply_InvalidPacketPayload, offending);
    const auto view = ParsePacket(packet);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->header.packetType, kPacketType_ErrorReply);
    const auto error = DecodeErrorReplyPayload(view->payload);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 8);
    EXPECT_EQ(error->tag, 0x5C);

    const Bytes ping = {0xAA, 0xBB, 0xCC, 0xDD, 0x03, 0x10, 0x02, 0x00, 0x08, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x5A, 1,    2,    3,    4,    5,    6,    7};
    const auto pingView = ParsePacket(ping);
    ASSERT_TRUE(pingView);
    EXPECT_EQ(GetPingEchoByte(pingView->payload), 0x5A);
    EXPECT_EQ(BuildPingReplyPacket(2, 0, GetPingEchoByte(pingView->payload)).size(), 24U);
}

// A larger header is skipped: the payload starts at headerLength.
TEST(PacketReadBackTest, PayloadStartsAtHeaderLength)
{
    const Bytes packet = {
        0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00,
        0,    0,    0,    0,    0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, // header bytes 16..23
        0x42, 0x43};
    const auto view = ParsePacket(packet);
    ASSERT_TRUE(view);
    ASSERT_EQ(view->payload.size(), 2U);
    EXPECT_EQ(view->payload[0], 0x42);
    EXPECT_EQ(view->payload[1], 0x43);
}

// --- Bounds --------------------------------------------------------------------

TEST(PacketBoundsTest, ShortInputsAreRefusedNotRead)
{
    const Bytes fifteen(15, 0xAA);
    EXPECT_FALSE(DecodePacketHeader(fifteen));
    EXPECT_FALSE(ParsePacket(fifteen));

    // A header that promises more payload than the bytes hold.
    const Bytes lying = {0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x10, 0x01, 0x00, 0xFF,
                         0xFF, 0x00, 0x00, 0,    0,    0,    0,    1,    2};
    EXPECT_FALSE(ParsePacket(lying));

    // A header length below 16 cannot place a payload.
    const Bytes shortHeader = {0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x08, 0x01, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0,    0,    0,    0};
    EXPECT_FALSE(ParsePacket(shortHeader));

    const Bytes fortyNine(49, 0);
    EXPECT_FALSE(DecodeOpenPayload(fortyNine));
    const Bytes one(1, 4);
    EXPECT_FALSE(DecodeErrorReplyPayload(one));
    EXPECT_EQ(GetPingEchoByte({}), 0);
}

TEST(PacketBoundsTest, AssembleRefusesWhatDoesNotFit)
{
    CommonPacketHeader header;
    header.payloadLength = 8;
    header.paddingLength = 8;
    const Bytes payload(8, 1);
    Bytes small(31, 0xEE);
    EXPECT_EQ(AssemblePacket(small, header, payload), 0U);
    EXPECT_EQ(small, Bytes(31, 0xEE)) << "nothing is written when the packet does not fit";

    const Bytes wrongPayload(7, 1);
    Bytes room(64, 0xEE);
    EXPECT_EQ(AssemblePacket(room, header, wrongPayload), 0U);
}

// --- Tables and checks -------------------------------------------------------------

TEST(PacketTableTest, TypeNamesAndLengths)
{
    EXPECT_STREQ(GetPacketTypeName(0x00), L"OpenRequest");
    EXPECT_STREQ(GetPacketTypeName(0x01), L"CloseRequest");
    EXPECT_STREQ(GetPacketTypeName(0x02), L"Data");
    EXPECT_STREQ(GetPacketTypeName(0x03), L"PingRequest");
    EXPECT_STREQ(GetPacketTypeName(0x04), L"Null");
    EXPECT_STREQ(GetPacketTypeName(0x80), L"OpenReply");
    EXPECT_STREQ(GetPacketTypeName(0x81), L"CloseReply");
    EXPECT_STREQ(GetPacketTypeName(0x83), L"PingReply");
    EXPECT_STREQ(GetPacketTypeName(0xFF), L"ErrorReply");
    EXPECT_STREQ(GetPacketTypeName(0x05), L"Unknown");
    EXPECT_STREQ(GetPacketTypeName(0x82), L"Unknown");

    EXPECT_EQ(GetPacketLengthRange(0x02)->minimum, 16U);
    EXPECT_EQ(GetPacketLengthRange(0x02)->maximum, 66048U);
    EXPECT_EQ(GetPacketLengthRange(0x83)->minimum, 24U);
    EXPECT_EQ(GetPacketLengthRange(0x83)->maximum, 24U);
    EXPECT_EQ(GetPacketLengthRange(0x80)->minimum, 256U);
    EXPECT_FALSE(GetPacketLengthRange(0x05));
}

TEST(PacketTableTest, ErrorReplyTexts)
{
    EXPECT_STREQ(GetErrorReplyText(1), L"Invalid packet header.");
    EXPECT_STREQ(GetErrorReplyText(2), L"Unsupported packet type.");
    EXPECT_STREQ(GetErrorReplyText(3), L"Invalid packet type for current channel state.");
    EXPECT_STREQ(GetErrorReplyText(4), L"Unsupported channel/sub-channel.");
    EXPECT_STREQ(GetErrorReplyText(5), L"Channel/sub-channel not open.");
    EXPECT_STREQ(GetErrorReplyText(6), L"Invalid packet alignment.");
    EXPECT_STREQ(GetErrorReplyText(7), L"Non-sequential sequence number.");
    EXPECT_STREQ(GetErrorReplyText(8), L"Invalid packet payload.");
    EXPECT_STREQ(GetErrorReplyText(0), L"Undefined/Custom.");
    EXPECT_STREQ(GetErrorReplyText(9), L"Undefined/Custom.");
}

TEST(PacketCheckTest, PipeCheck)
{
    CommonPacketHeader header;
    EXPECT_TRUE(IsValidPipePacketHeader(header));
    header.headerLength = 24;
    EXPECT_TRUE(IsValidPipePacketHeader(header));
    header.headerLength = 20; // not a multiple of 8: the stream cannot be trusted
    EXPECT_FALSE(IsValidPipePacketHeader(header));
    header.headerLength = 8;
    EXPECT_FALSE(IsValidPipePacketHeader(header));
    header.headerLength = 16;
    header.magic = 0xDDCCBBAB;
    EXPECT_FALSE(IsValidPipePacketHeader(header));
}

CommonPacketHeader HeaderOfLength(std::uint8_t type, std::uint32_t length)
{
    CommonPacketHeader header;
    header.packetType = type;
    const std::uint32_t rest = length - 16;
    header.payloadLength = static_cast<std::uint16_t>(std::min<std::uint32_t>(rest, 0xFFFF));
    header.paddingLength = static_cast<std::uint8_t>(rest - header.payloadLength);
    return header;
}

TEST(PacketCheckTest, ChannelCheckInOrder)
{
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_Data, 16)), kChannelPacketCheck_Ok);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_Null, 16)), kChannelPacketCheck_Ok);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_Data, 65806)), kChannelPacketCheck_Ok);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_OpenReply, 256)), kChannelPacketCheck_Ok);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_OpenReply, 255)),
              kChannelPacketCheck_InvalidLength);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_OpenReply, 257)),
              kChannelPacketCheck_InvalidLength);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_PingRequest, 24)), kChannelPacketCheck_Ok);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(kPacketType_PingRequest, 32)),
              kChannelPacketCheck_InvalidLength);
    EXPECT_EQ(CheckChannelPacketHeader(HeaderOfLength(0x05, 256)), kChannelPacketCheck_UnknownType);

    // The header length is checked before the type.
    CommonPacketHeader shortHeader = HeaderOfLength(0x05, 256);
    shortHeader.headerLength = 8;
    EXPECT_EQ(CheckChannelPacketHeader(shortHeader), kChannelPacketCheck_HeaderLengthTooSmall);

    EXPECT_EQ(GetErrorReplyCodeForCheck(kChannelPacketCheck_Ok), 0);
    EXPECT_EQ(GetErrorReplyCodeForCheck(kChannelPacketCheck_HeaderLengthTooSmall), 1);
    EXPECT_EQ(GetErrorReplyCodeForCheck(kChannelPacketCheck_UnknownType), 2);
    EXPECT_EQ(GetErrorReplyCodeForCheck(kChannelPacketCheck_InvalidLength), 1);
}

// --- Alignment and maximum payload --------------------------------------------------

TEST(PacketAlignmentTest, PaddingRule)
{
    EXPECT_EQ(ComputePaddingLength(24, 4), 8);
    EXPECT_EQ(ComputePaddingLength(32, 4), 0);
    EXPECT_EQ(ComputePaddingLength(24, 0), 0);
    EXPECT_EQ(ComputePaddingLength(17, 8), 239);
    EXPECT_EQ(ComputePaddingLength(17, 12), 239) << "exponents above 8 are clamped to 8";
    EXPECT_EQ(ComputePaddingLength(16 + 65535, 8), 241); // 0x1000F: 15 over a multiple of 256
}

TEST(PacketAlignmentTest, ControlPacketsAreNeverTouched)
{
    for (std::uint8_t exponent = 0; exponent <= 8; ++exponent)
    {
        CommonPacketHeader close;
        close.packetType = kPacketType_CloseRequest;
        close.paddingLength = 240;
        EXPECT_EQ(AlignPacketHeader(close, exponent), kPacketAlignment_Unchanged);
        EXPECT_EQ(close.paddingLength, 240);
    }
}

// A packet handed over with padding of its own that is wrong is rebuilt (and
// the writer warns): the alignment wins over the given padding.
TEST(PacketAlignmentTest, WrongOwnPaddingIsCorrected)
{
    CommonPacketHeader header;
    header.payloadLength = 8;
    header.paddingLength = 3;
    EXPECT_EQ(AlignPacketHeader(header, 4), kPacketAlignment_Corrected);
    EXPECT_EQ(header.paddingLength, 8);
    EXPECT_EQ(header.PacketLength(), 32U);
}

TEST(PacketAlignmentTest, MaximumPayloadRule)
{
    EXPECT_EQ(ComputeMaxPayloadLength(0x00FF, 0x40), 0x00F0);
    EXPECT_GE(ComputeMaxPayloadLength(0x00FF, 0x40), kMinMaxPayloadLength);
    EXPECT_LT(ComputeMaxPayloadLength(0x00EF, 0x40), kMinMaxPayloadLength);
    EXPECT_EQ(ComputeMaxPayloadLength(0xFFFF, 0x00), 0xFFFF);
    EXPECT_EQ(ComputeMaxPayloadLength(0xFFFF, 0x80), 0xFF00);
    EXPECT_EQ(ComputeMaxPayloadLength(0xFFFF, 0xF0), 0xFF00) << "clamped to 8";
}

TEST(PacketAlignmentTest, AlignmentNibbles)
{
    EXPECT_TRUE(IsValidAlignment(0x88));
    EXPECT_TRUE(IsValidAlignment(0x00));
    EXPECT_FALSE(IsValidAlignment(0x90));
    EXPECT_FALSE(IsValidAlignment(0x09));
    EXPECT_EQ(GetSendAlignmentExponent(0x42), 4);
    EXPECT_EQ(GetSecondAlignmentExponent(0x42), 2);
}

} // namespace
