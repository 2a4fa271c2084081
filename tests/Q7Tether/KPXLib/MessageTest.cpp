// KPX message framing: the common header, its check, the protocol version pair,
// size selection, the version floor, EnableEvents and CommonError bytes, and
// the decoding of fixed parts that a camera sends shorter or longer.
#include "Wire/KPXDataTransfer.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXPacket.h"

#include "KpxWireTestSupport.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace
{

using namespace Q7::KPX;
using KpxWireTest::Bytes;
using KpxWireTest::ExpectModuleError;

constexpr std::uint32_t kInvalidData = 0x650003;
constexpr std::uint32_t kInvalidSize = 0x650005;
constexpr std::uint32_t kFeatureNotSupported = 0x15E001D;

// --- Protocol version ------------------------------------------------------------

TEST(ProtocolVersionTest, ComparesAsMajorTimes256PlusMinor)
{
    EXPECT_EQ((ProtocolVersion{2, 1}).Ordinal(), 0x0201);
    EXPECT_LT((ProtocolVersion{1, 255}), (ProtocolVersion{2, 0}));
    EXPECT_LT((ProtocolVersion{1, 1}), (ProtocolVersion{1, 2}));
    EXPECT_GT((ProtocolVersion{2, 0}), (ProtocolVersion{1, 9}));
    EXPECT_EQ((ProtocolVersion{1, 2}), (ProtocolVersion{1, 2}));
    EXPECT_TRUE((ProtocolVersion{1, 2}).IsAtLeast(1, 2));
    EXPECT_TRUE((ProtocolVersion{2, 0}).IsAtLeast(1, 2));
    EXPECT_FALSE((ProtocolVersion{1, 1}).IsAtLeast(1, 2));
}

// The pair goes on the wire major first; reading it back must not swap the
// halves (the fault a raw u16 reinterpretation would make).
TEST(ProtocolVersionTest, WireFormIsMajorByteThenMinorByte)
{
    std::array<std::uint8_t, 2> bytes{};
    ByteWriter writer(bytes);
    WriteProtocolVersion(writer, ProtocolVersion{2, 1});
    EXPECT_EQ(bytes[0], 2);
    EXPECT_EQ(bytes[1], 1);
    ByteReader reader(bytes);
    EXPECT_EQ(ReadProtocolVersion(reader), (ProtocolVersion{2, 1}));

    const ClientIdentity identity{};
    const Bytes open = BuildOpenRequestPacket(0, 0, false, ProtocolVersion{1, 2}, identity);
    EXPECT_EQ(open[16 + 16], 1) << "major at payload byte 16";
    EXPECT_EQ(open[16 + 17], 2) << "minor at payload byte 17";
}

// --- Common header ------------------------------------------------------------------

TEST(MessageHeaderTest, RoundTripAndShortInput)
{
    const Bytes bytes = {0x11, 0x22, 0x33, 0x44, 0x66, 0x81, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0};
    const auto header = DecodeMessageHeader(bytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->magic, kMessageMagic);
    EXPECT_EQ(header->messageClass, kMessageClass_DeviceControl);
    EXPECT_EQ(header->messageType, 0x81);
    EXPECT_EQ(header->messageHeaderSize, 32);
    EXPECT_EQ(header->messageSize, 256U);

    Bytes encoded(16);
    ByteWriter writer(encoded);
    header->Encode(writer);
    EXPECT_EQ(encoded, bytes);

    EXPECT_FALSE(DecodeMessageHeader(Bytes(15, 0x11)));
}

TEST(MessageHeaderTest, CheckRaisesWithTheCallersTexts)
{
    CommonMessageHeader header;
    header.messageHeaderSize = 16;
    header.messageSize = 16;
    EXPECT_NO_THROW(CheckMessageHeader(header, L"a", L"b"));

    header.messageHeaderSize = 8;
    ExpectModuleError([&] { CheckMessageHeader(header, L"KPX ch2 message header size too small.", L"x"); },
                      kInvalidData, L"KPX ch2 message header size too small.");

    header.messageHeaderSize = 32;
    header.messageSize = 31;
    ExpectModuleError([&] { CheckMessageHeader(header, L"x", L"KPX ch2 message size too small."); },
                      kInvalidData, L"KPX ch2 message size too small.");

    // The header size is checked first.
    header.messageHeaderSize = 12;
    header.messageSize = 0;
    ExpectModuleError([&] { CheckMessageHeader(header, L"first", L"second"); }, kInvalidData, L"first");
}

// --- Size tables and version floor ---------------------------------------------------

TEST(MessageSizeTest, SelectionWalksFromTheLastRow)
{
    const MessageSizeRow single[] = {{{1, 0}, 24}};
    EXPECT_EQ(SelectMessageSize(single, 24, ProtocolVersion{3, 7}), 24);

    const MessageSizeRow rows[] = {{{1, 0}, 20}, {{1, 2}, 24}, {{2, 0}, 32}};
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{0, 5}), 16) << "below every row: the default";
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{1, 0}), 20);
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{1, 1}), 20);
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{1, 2}), 24);
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{1, 255}), 24);
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{2, 0}), 32);
    EXPECT_EQ(SelectMessageSize(rows, 16, ProtocolVersion{9, 9}), 32);

    const MessageSizeRow fromTwo[] = {{{2, 0}, 20}};
    EXPECT_EQ(SelectMessageSize(fromTwo, 20, ProtocolVersion{1, 0}), 20);
    EXPECT_EQ(SelectMessageSize(fromTwo, 20, ProtocolVersion{2, 5}), 20);
}

TEST(MessageSizeTest, TablesOfTheCommonAndImageEnumerationClasses)
{
    for (const ProtocolVersion version :
         {ProtocolVersion{1, 0}, ProtocolVersion{1, 3}, ProtocolVersion{2, 1}})
    {
        EXPECT_EQ(GetCommonErrorMessageSize(version), 28);
        EXPECT_EQ(GetEnableEventsMessageSize(version), 20);
        EXPECT_EQ(GetImageListMessageHeaderSize(version), 56);
        EXPECT_EQ(GetBasicImageInfoMessageHeaderSize(version), 32);
        EXPECT_EQ(GetMetadataMessageHeaderSize(version), 40);
        EXPECT_EQ(GetImageBufferMessageHeaderSize(version), 64);
        EXPECT_EQ(GetCapabilitiesMessageHeaderSize(version), 56);
        EXPECT_EQ(GetSetSubscriptionsMessageHeaderSize(version), 40);
        EXPECT_EQ(GetGetImageListMessageSize(version), 20);
        EXPECT_EQ(GetBasicImageInfoMessageSize(version), 20);
        EXPECT_EQ(GetGetMetadataMessageSize(version), 64);
        EXPECT_EQ(GetGetImageBufferMessageSize(version), 80);
        EXPECT_EQ(GetEditImageMetadataMessageSize(version), 28);
        EXPECT_EQ(GetGetCapabilitiesMessageSize(version), 16);
        EXPECT_EQ(GetSetSubscriptionMessageSize(version), 28);
    }
}

TEST(MessageVersionFloorTest, VersionsBelowOneAreRefused)
{
    ExpectModuleError(
        [] {
            CheckMessageVersion(ProtocolVersion{0, 9});
        },
        kFeatureNotSupported, L"KPX feature not supported!");
    ExpectModuleError([] { (void)MakeEnableEventsMessage(ProtocolVersion{0, 9}, 1); }, kFeatureNotSupported);
    ExpectModuleError(
        [] {
            (void)MakeCommonErrorMessage(ProtocolVersion{0, 0}, 1, CommonMessageHeader{});
        },
        kFeatureNotSupported);
    EXPECT_NO_THROW(CheckMessageVersion(ProtocolVersion{1, 0}));
    EXPECT_NO_THROW((void)MakeEnableEventsMessage(ProtocolVersion{1, 0}, 1));
}

// --- EnableEvents and CommonError -------------------------------------------------------

TEST(CommonMessageGoldenTest, EnableEvents)
{
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, // magic
                            0x01, 0x01,             // common class, EnableEvents
                            0x14, 0x00,             // messageHeaderSize 20
                            0x14, 0x00, 0x00, 0x00, // messageSize 20
                            0x00, 0x00, 0x00, 0x00, // reserved
                            0x01, 0x00, 0x00, 0x00};
    const Bytes message = MakeEnableEventsMessage(ProtocolVersion{1, 0}, 1);
    EXPECT_EQ(message, expected);

    const EnableEventsMessage decoded = DecodeEnableEvents(message, ProtocolVersion{1, 0});
    EXPECT_EQ(decoded.header.messageClass, kMessageClass_Common);
    EXPECT_EQ(decoded.header.messageType, kCommonMessage_EnableEvents);
    EXPECT_EQ(decoded.enable, 1);
}

TEST(CommonMessageGoldenTest, CommonErrorAnsweringAMessage)
{
    CommonMessageHeader offending;
    offending.messageClass = 0x66;
    offending.messageType = 0x07;

    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x01, 0xFF,             // common class, error
                            0x1C, 0x00,                                     // messageHeaderSize 28
                            0x1C, 0x00, 0x00, 0x00,                         // messageSize 28
                            0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, // errorId 0x01000001
                            0x66, 0x07,                                     // source class and type
                            0x00, 0x00,                                     //
                            0x00, 0x00,                                     // errorStringSize 0
                            0x1C, 0x00};                                    // 28
    const Bytes message = MakeCommonErrorMessage(ProtocolVersion{2, 0}, 0x01000001, offending);
    EXPECT_EQ(message, expected);

    const CommonErrorMessage decoded = DecodeCommonError(message, ProtocolVersion{2, 0});
    EXPECT_EQ(decoded.errorId, 0x01000001U);
    EXPECT_EQ(decoded.sourceClass, 0x66);
    EXPECT_EQ(decoded.sourceType, 0x07);
    EXPECT_EQ(decoded.errorStringSize, 0);
}

TEST(CommonErrorParseTest, TextFollowsTheFixedPart)
{
    const Bytes
        message = {0x11, 0x22, 0x33, 0x44, 0x01, 0xFF, 0x1C, 0x00, 0x20, 0x00, 0x00, 0x00,
                   0,    0,    0,    0,    0x05, 0x00, 0x00, 0x02, 0x02, 0x04, 0x00, 0x00,
                   0x04, 0x00, 0x1C, 0x00, 'o',  'o',  'p',  's',  0xEE}; // one byte beyond messageSize: not
                                                                          // part of the message
    const CommonErrorView view =
        ParseCommonErrorMessage(message, ProtocolVersion{1, 0}, L"KPX ch2 common error message.");
    EXPECT_EQ(view.message.errorId, 0x02000005U);
    EXPECT_EQ(view.text, "oops");
}

// A camera that claims more error text than its message carries must get the
// documented error, not a read past the message.
TEST(CommonErrorParseTest, LyingErrorStringSizeIsRefused)
{
    const Bytes message = {0x11, 0x22, 0x33, 0x44, 0x01, 0xFF, 0x1C, 0x00, 0x20, 0x00, 0x00,
                           0x00, 0,    0,    0,    0,    0x05, 0x00, 0x00, 0x02, 0x02, 0x04,
                           0x00, 0x00, 0x05, 0x00, 0x1C, 0x00, 'o',  'o',  'p',  's',  's'};
    ExpectModuleError(
        [&] {
            (void)ParseCommonErrorMessage(message, ProtocolVersion{1, 0}, L"KPX ch2 common error message.");
        },
        kInvalidData, L"KPX ch2 common error message.");
}

// Catches the refusal losing its detail: the error line names the size read
// from the wire with the agents' text.
TEST(CommonErrorParseTest, LyingErrorStringSizeIsLoggedWithItsDetail)
{
    const Bytes message = {0x11, 0x22, 0x33, 0x44, 0x01, 0xFF, 0x1C, 0x00, 0x20, 0x00, 0x00,
                           0x00, 0,    0,    0,    0,    0x05, 0x00, 0x00, 0x02, 0x02, 0x04,
                           0x00, 0x00, 0x05, 0x00, 0x1C, 0x00, 'o',  'o',  'p',  's',  's'};
    TestSupport::LogCapture log;
    ExpectModuleError(
        [&] {
            (void)ParseCommonErrorMessage(message, ProtocolVersion{1, 0}, L"KPX ch1 common error message.");
        },
        kInvalidData);
    EXPECT_EQ(log.Count(L"errorStringSize (5) is too large.", Q7::Universal::kLogMsgType_Error), 1U);
    EXPECT_EQ(log.Count(L"KPX ch1 common error message.", Q7::Universal::kLogMsgType_Error), 1U);
}

// --- Fixed parts shorter or longer than this side's struct ---------------------------------

// Header size 40 against a 32-byte struct: the first 32 bytes are taken, the
// rest is not ours.
TEST(FixedPartDecodeTest, LongerCameraHeaderIsCut)
{
    Bytes received = {0x11, 0x22, 0x33, 0x44, 0x02, 0x02, 0x28, 0x00, 0x28, 0x00, 0x00, 0x00, 0,    0,
                      0,    0,    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00,
                      0x00, 0x00, 0x00, 0x00, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
    const DataEndMessage end = DecodeDataEnd(received, ProtocolVersion{1, 0});
    EXPECT_EQ(end.header.messageHeaderSize, 40);
    EXPECT_EQ(end.dataId, 7U);
    EXPECT_EQ(end.totalSize, 16U);
}

// Header size 28 against the 36-byte DataBlock: the fields the camera did not
// send keep their defaults (blockTag 0xFFFFFFFF), never stale or foreign bytes.
TEST(FixedPartDecodeTest, ShorterCameraHeaderKeepsDefaults)
{
    const Bytes received = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x1C, 0x00, 0x1C, 0x00, 0x00, 0x00, 0,   0, 0,
                            0,    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    const DataBlockMessage block = DecodeDataBlock(received, ProtocolVersion{1, 0});
    EXPECT_EQ(block.dataId, 7U);
    EXPECT_EQ(block.blockTag, 0xFFFFFFFFU);
    EXPECT_EQ(block.blockSize, 0U);
}

// Bytes after the header size in the buffer (the variable part) must not be
// taken for fixed fields.
TEST(FixedPartDecodeTest, VariableBytesAreNotReadAsFields)
{
    const Bytes received = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x1C, 0x00, 0x24, 0x00, 0x00, 0x00,
                            0,    0,    0,    0,    0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    const DataBlockMessage block = DecodeDataBlock(received, ProtocolVersion{1, 0});
    EXPECT_EQ(block.blockTag, 0xFFFFFFFFU);
    EXPECT_EQ(block.blockSize, 0U);
}

// A field cut in the middle by the camera's shorter header takes its low bytes
// from the wire and its high bytes from the default.
TEST(FixedPartDecodeTest, FieldCutInTheMiddle)
{
    const Bytes received = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x1E, 0x00, 0x1E, 0x00,
                            0x00, 0x00, 0,    0,    0,    0,    0x07, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x12};
    const DataBlockMessage block = DecodeDataBlock(received, ProtocolVersion{1, 0});
    EXPECT_EQ(block.blockTag, 0xFFFF1234U);
}

TEST(FixedPartDecodeTest, FewerThanSixteenBytesAreRefused)
{
    const Bytes received(15, 0x11);
    ExpectModuleError(
        [&] {
            (void)DecodeDataBlock(received, ProtocolVersion{1, 0});
        },
        kInvalidSize, L"KPX message truncated.");
}

// --- Whole messages in memory -----------------------------------------------------------------

TEST(ParseMessageTest, SplitsAtTheHeaderSizes)
{
    const Bytes message = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x14, 0x00, 0x17, 0x00, 0x00, 0x00,
                           0,    0,    0,    0,    1,    2,    3,    4,    5,    6,    7,    0xEE};
    const MessageView view = ParseMessage(message);
    EXPECT_EQ(view.fixedPart.size(), 20U);
    ASSERT_EQ(view.variablePart.size(), 3U);
    EXPECT_EQ(view.variablePart[0], 5);
    EXPECT_EQ(view.variablePart[2], 7);
}

TEST(ParseMessageTest, LyingSizesAreRefused)
{
    // messageSize beyond the bytes given
    const Bytes truncated = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x10, 0x00,
                             0x00, 0x10, 0x00, 0x00, 0,    0,    0,    0};
    ExpectModuleError([&] { (void)ParseMessage(truncated); }, kInvalidSize, L"KPX message truncated.");
    // messageSize near 4 GiB must not wrap anything
    const Bytes huge = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x10, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    ExpectModuleError([&] { (void)ParseMessage(huge); }, kInvalidSize);
    // header size below 16
    const Bytes small = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x08, 0x00, 0x10, 0x00, 0x00, 0x00, 0, 0, 0, 0};
    ExpectModuleError([&] { (void)ParseMessage(small); }, kInvalidData,
                      L"KPX message header size too small.");
    // messageSize below the header size
    const Bytes inverted = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, 0x20, 0x00,
                            0x10, 0x00, 0x00, 0x00, 0,    0,    0,    0};
    ExpectModuleError([&] { (void)ParseMessage(inverted); }, kInvalidData, L"KPX message size too small.");
    ExpectModuleError([] { (void)ParseMessage({}); }, kInvalidSize);
}

TEST(VariableLengthCheckTest, RaisesWithContextOnlyWhenTooLarge)
{
    EXPECT_NO_THROW(CheckVariableLength(10, 10, L"ctx", L"blockSize (%u) is too large."));
    ExpectModuleError(
        [] { CheckVariableLength(11, 10, L"KPX ch1 data block message.", L"blockSize (%u) is too large."); },
        kInvalidData, L"KPX ch1 data block message.");
    ExpectModuleError([] { CheckVariableLength(0xFFFFFFFFULL, 0, L"c", L"%u"); }, kInvalidData);
}

} // namespace
