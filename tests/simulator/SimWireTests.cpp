// The simulator's own codec: cursors, packet and message layouts, padding,
// SHA-256 and the test pattern.
#include "SimByteCursor.h"
#include "SimCameraDescription.h"
#include "SimSha256.h"
#include "SimStreamHandler.h"
#include "SimWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using namespace Q7::Sim;

std::string Hex(std::span<const std::uint8_t> bytes)
{
    static const char* const kDigits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes)
    {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// A cursor that trusted a length would read past the span.
TEST(SimByteCursor, ReadPastEndSetsStickyOverflowAndYieldsZero)
{
    const std::uint8_t bytes[] = {0x11, 0x22, 0x33};
    ByteReader r(bytes);
    EXPECT_EQ(r.U16(), 0x2211);
    EXPECT_EQ(r.U16(), 0);
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.U8(), 0); // stays failed even though one byte is left
    EXPECT_TRUE(r.Bytes(1).empty());
}

TEST(SimByteCursor, WriterStoresLittleEndianAndRefusesOverflow)
{
    std::uint8_t out[6] = {};
    ByteWriter w(out);
    w.U32(0xDDCCBBAAu);
    w.U16(0x0102);
    EXPECT_TRUE(w.Ok());
    w.U8(1);
    EXPECT_FALSE(w.Ok());
    EXPECT_EQ(Hex(out), "aabbccdd0201");
}

TEST(SimByteCursor, FixedTextFillsFieldWithoutTerminatorWhenFull)
{
    std::uint8_t out[4] = {9, 9, 9, 9};
    ByteWriter w(out);
    w.FixedText("ab", 4);
    EXPECT_EQ(Hex(out), "61620000");
    ByteWriter w2(out);
    w2.FixedText("abcdef", 4);
    EXPECT_EQ(Hex(out), "61626364");
}

TEST(SimWire, PacketHeaderRoundTripsThroughItsWireLayout)
{
    PacketHeader h;
    h.type = 0x80;
    h.channel = 4;
    h.sub = 2;
    h.payloadLength = 0x0132;
    h.paddingLength = 7;
    h.tag = 9;
    std::array<std::uint8_t, 16> raw{};
    EncodePacketHeader(h, raw);
    EXPECT_EQ(Hex(raw), "aabbccdd8010040232010709"
                        "00000000");
    const auto back = DecodePacketHeader(raw);
    EXPECT_EQ(back.type, 0x80);
    EXPECT_EQ(back.Channel(), (ChannelId{4, 2}));
    EXPECT_EQ(back.PacketLength(), 16u + 0x132 + 7);
}

// The padding rule: a packet is padded up to the next multiple of 2^e, never beyond.
TEST(SimWire, AlignmentPaddingReachesTheNextMultiple)
{
    EXPECT_EQ(AlignmentPadding(24, 4), 8);
    EXPECT_EQ(AlignmentPadding(32, 4), 0);
    EXPECT_EQ(AlignmentPadding(24, 0), 0);
    EXPECT_EQ(AlignmentPadding(257, 8), 255);
    EXPECT_EQ(AlignmentPadding(256, 8), 0);
}

TEST(SimWire, ControlPacketsHaveTheirFixedLengths)
{
    EXPECT_EQ(BuildClosePacket(PacketType::CloseRequest, {1, 0}).size(), 256u);
    EXPECT_EQ(BuildClosePacket(PacketType::CloseReply, {1, 0}).size(), 256u);
    const auto err = BuildErrorReply({7, 0}, 4, 0x33);
    ASSERT_EQ(err.size(), 256u);
    EXPECT_EQ(err[4], 0xFF);
    EXPECT_EQ(err[8], 2);    // payload length
    EXPECT_EQ(err[10], 238); // padding
    EXPECT_EQ(err[16], 4);
    EXPECT_EQ(err[17], 0x33);
    const auto ping = BuildPingRequest({2, 0}, 0x5A);
    ASSERT_EQ(ping.size(), 24u);
    EXPECT_EQ(ping[16], 0x5A);
    const auto data = BuildDataPacket({2, 0}, std::vector<std::uint8_t>(8, 1), 4);
    EXPECT_EQ(data.size(), 32u);
    EXPECT_EQ(data[10], 8);
}

TEST(SimWire, OpenReplyCarriesFieldsAndStatusByte18)
{
    OpenPayload f;
    f.flags = 1;
    f.maxPayloadLength = 0x1234;
    f.channelProtocolVersion = 1;
    f.alignment = 0x42;
    f.primaryTimeout = 10000;
    f.secondaryTimeout = 2000;
    f.version = {2, 1};
    const auto p = BuildOpenReply({3, 0}, f, 6);
    ASSERT_EQ(p.size(), 256u);
    EXPECT_EQ(Hex(std::span(p).subspan(16, 20)), "01000000341201421027000"
                                                 "0d007000002010600");
    const auto back = DecodeOpenPayload(std::span(p).subspan(16, 50));
    EXPECT_EQ(back.version, (Version{2, 1}));
    EXPECT_EQ(back.alignment, 0x42);
}

TEST(SimWire, CommonErrorLayout)
{
    const auto m = BuildCommonError(0x01000001u, 0x64, 0x09, "bad");
    ASSERT_EQ(m.size(), 31u);
    EXPECT_EQ(Hex(std::span(m).subspan(0, 16)), "1122334401ff1c001f00000000000000");
    EXPECT_EQ(Hex(std::span(m).subspan(16, 12)), "010000016409000003001c00");
    EXPECT_EQ(std::string(m.begin() + 28, m.end()), "bad");
}

TEST(SimSha256, KnownDigests)
{
    EXPECT_EQ(Hex(Sha256({})), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(Hex(Sha256(std::span(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two-block message (the padding spills into a second block).
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Hex(Sha256(std::span(reinterpret_cast<const std::uint8_t*>(two.data()), two.size()))),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// A host without authentication text presents 32 zero bytes, not the digest of "".
TEST(SimSha256, EmptyAuthenticationCodeGivesZeroIdentity)
{
    EXPECT_EQ(IdentityForAuthenticationCode(""), Digest256{});
    EXPECT_EQ(IdentityForAuthenticationCode("abc")[0], 0xba);
}

TEST(SimCameraDescription, VersionChoicePrefersTheRequestThenTheBestBelow)
{
    ChannelConfig c;
    c.versions = {{1, 0}, {1, 1}, {2, 0}};
    EXPECT_EQ(c.ChooseVersion({1, 1}), (Version{1, 1}));
    EXPECT_EQ(c.ChooseVersion({2, 1}), (Version{2, 0}));
    EXPECT_EQ(c.ChooseVersion({1, 5}), (Version{1, 1}));
    EXPECT_EQ(c.ChooseVersion({0, 9}), (Version{1, 0}));
    EXPECT_EQ(c.LowestMajor(), 1);
    EXPECT_EQ(c.HighestMajor(), 2);
    c.listedLowestMajor = 0;
    c.listedHighestMajor = 11;
    EXPECT_EQ(c.LowestMajor(), 0);
    EXPECT_EQ(c.HighestMajor(), 11);
}

// Lost, repeated or reordered 256-byte blocks must not match the pattern.
TEST(SimStreamPattern, FillAndCheckAgreeAndCatchShiftedData)
{
    std::vector<std::uint8_t> buf(70000);
    FillPattern(1000, buf);
    EXPECT_EQ(buf[5], PatternByte(1005));
    EXPECT_FALSE(FindPatternMismatch(1000, buf).has_value());
    EXPECT_EQ(FindPatternMismatch(1256, buf), std::optional<std::size_t>{0});
    buf[40000] ^= 1;
    EXPECT_EQ(FindPatternMismatch(1000, buf), std::optional<std::size_t>{40000});
    EXPECT_TRUE(FindPatternMismatch(1000 + 65536, std::span(buf).first(300)).has_value());
}

} // namespace
