// Data-transfer messages: exact bytes of every message this side sends (written
// out by hand from the message layouts), reading them back, the size tables,
// and the bounds of every variable part read from a camera.
#include "Wire/KPXDataTransfer.h"

#include "KpxWireTestSupport.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace
{

using namespace Q7::KPX;
using KpxWireTest::Bytes;
using KpxWireTest::ExpectModuleError;

constexpr ProtocolVersion kV10{1, 0};
constexpr std::uint32_t kInvalidData = 0x650003;
constexpr std::uint32_t kInvalidSize = 0x650005;
constexpr std::uint32_t kFeatureNotSupported = 0x15E001D;

// --- Golden bytes --------------------------------------------------------------------

// A name of seven characters gives nameLength 8 and messageSize 64.
TEST(DataTransferGoldenTest, DataBeginWithName)
{
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x02, 0x01,             // data transfer, DataBegin
                            0x38, 0x00,                                     // messageHeaderSize 56
                            0x40, 0x00, 0x00, 0x00,                         // messageSize 64
                            0x00, 0x00, 0x00, 0x00,                         //
                            0x03, 0x00, 0x00, 0x00,                         // dataType 3
                            0x44, 0x33, 0x22, 0x11,                         // dataId 0x11223344
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // u64 0
                            0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, // maxDataSize
                            0x00, 0x00, 0x00, 0x01,                         // dataAttributes 0x01000000
                            0xFF, 0xFF, 0xFF, 0xFF,                         // no time-out
                            0x08, 0x00,                                     // nameLength 8
                            0x38, 0x00,                                     // nameOffset 56
                            0x00, 0x00, 0x00, 0x00,                         //
                            'a',  'b',  'c',  'd',  'e',  'f',  'g',  0x00};
    const Bytes message =
        MakeDataBeginMessage(kV10, 3, 0x11223344, 0x0102030405060708ULL, 0x01000000, "abcdefg");
    EXPECT_EQ(message, expected);

    const DataBeginView view = ParseDataBeginMessage(message, kV10, L"KPX ch1 data begin message.");
    EXPECT_EQ(view.message.dataType, 3U);
    EXPECT_EQ(view.message.dataId, 0x11223344U);
    EXPECT_EQ(view.message.maxDataSize, 0x0102030405060708ULL);
    EXPECT_EQ(view.message.dataAttributes, 0x01000000U);
    EXPECT_EQ(view.message.timeout, 0xFFFFFFFFU);
    EXPECT_EQ(view.message.nameLength, 8);
    EXPECT_EQ(view.message.nameOffset, 56);
    EXPECT_EQ(view.name, "abcdefg");
}

TEST(DataTransferGoldenTest, DataBeginWithoutName)
{
    const Bytes message = MakeDataBeginMessage(kV10, 1, 2, 3, 4, "");
    ASSERT_EQ(message.size(), 56U);
    EXPECT_EQ(message[8], 0x38) << "messageSize 56";
    EXPECT_EQ(message[48], 0x00) << "nameLength 0";
    EXPECT_EQ(message[50], 0x38) << "nameOffset still 56";
    EXPECT_EQ(ParseDataBeginMessage(message, kV10, L"c").name, "");
}

TEST(DataTransferGoldenTest, DataBlock)
{
    const Bytes data = {0xAA, 0xBB, 0xCC};
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x02, 0x04, // DataBlock
                            0x24, 0x00,                         // messageHeaderSize 36
                            0x27, 0x00, 0x00, 0x00,             // messageSize 39
                            0x00, 0x00, 0x00, 0x00,             //
                            0x07, 0x00, 0x00, 0x00,             // dataId 7
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, // blockTag
                            0x03, 0x00, 0x00, 0x00,             // blockSize 3
                            0xAA, 0xBB, 0xCC};
    const Bytes message = MakeDataBlockMessage(kV10, 7, data);
    EXPECT_EQ(message, expected);

    const DataBlockView view = ParseDataBlockMessage(message, kV10, L"KPX ch1 data block message.");
    EXPECT_EQ(view.message.dataId, 7U);
    EXPECT_EQ(view.message.blockSize, 3U);
    EXPECT_EQ(Bytes(view.data.begin(), view.data.end()), data);
}

// 1000 bytes: messageSize 1036 and blockSize 1000.
TEST(DataTransferGoldenTest, DataBlockOfThousandBytes)
{
    const Bytes data(1000, 0x5A);
    const Bytes message = MakeDataBlockMessage(kV10, 1, data);
    ASSERT_EQ(message.size(), 1036U);
    EXPECT_EQ(message[8], 0x0C);
    EXPECT_EQ(message[9], 0x04);
    EXPECT_EQ(message[32], 0xE8);
    EXPECT_EQ(message[33], 0x03);
}

TEST(DataTransferGoldenTest, DataEnd)
{
    const Bytes
        expected = {0x11, 0x22, 0x33, 0x44, 0x02, 0x02, 0x20, 0x00, 0x20, 0x00, 0x00,
                    0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00,
                    0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}; // totalSize 0x100000002
    const Bytes message = MakeDataEndMessage(kV10, 5, 0x100000002ULL);
    EXPECT_EQ(message, expected);
    const DataEndMessage end = DecodeDataEnd(message, kV10);
    EXPECT_EQ(end.dataId, 5U);
    EXPECT_EQ(end.totalSize, 0x100000002ULL);
}

TEST(DataTransferGoldenTest, DataIdMessages)
{
    const Bytes beginAck = {0x11, 0x22, 0x33, 0x44, 0x02, 0x81, 0x18, 0x00, 0x18, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(MakeDataBeginAckMessage(kV10, 9), beginAck);

    Bytes endAck = beginAck;
    endAck[5] = 0x82;
    EXPECT_EQ(MakeDataEndAckMessage(kV10, 9), endAck);

    Bytes abort = beginAck;
    abort[5] = 0x03;
    EXPECT_EQ(MakeDataAbortMessage(kV10, 9), abort);

    const DataIdMessage decoded = DecodeDataIdMessage(endAck, kV10);
    EXPECT_EQ(decoded.header.messageType, kDataTransferMessage_DataEndAck);
    EXPECT_EQ(decoded.dataId, 9U);
}

TEST(DataTransferGoldenTest, DataErrorAnsweringADataSeek)
{
    CommonMessageHeader received;
    received.messageClass = kMessageClass_DataTransfer;
    received.messageType = kDataTransferMessage_DataSeek;
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x02, 0xFF, 0x20, 0x00, 0x20, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x02, // errorId 0x02000005
                            0x02, 0x05,              // source class and type
                            0x00, 0x00,              //
                            0x00, 0x00,              // errorStringSize 0
                            0x20, 0x00,              // errorStringOffset 32
                            0x42, 0x00, 0x00, 0x00}; // dataId
    const Bytes message = MakeDataErrorMessage(kV10, 0x42, 0x02000005, received);
    EXPECT_EQ(message, expected);

    const DataErrorView view = ParseDataErrorMessage(message, kV10, L"KPX ch1 data error message.");
    EXPECT_EQ(view.message.errorId, 0x02000005U);
    EXPECT_EQ(view.message.sourceClass, 2);
    EXPECT_EQ(view.message.sourceType, 5);
    EXPECT_EQ(view.message.dataId, 0x42U);
    EXPECT_TRUE(view.text.empty());
}

TEST(DataTransferGoldenTest, GetLog)
{
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x65, 0x01, 0x14, 0x00, 0x14, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x00, 0x00};
    EXPECT_EQ(MakeGetLogMessage(ProtocolVersion{2, 0}, 11), expected);
}

// --- Camera-side messages read back -----------------------------------------------------

// Catches an offset read across bytes 28 to 31: the offset is the u32 at 24,
// whatever a camera leaves behind it (a u64's high half, or junk).
TEST(DataTransferReadTest, DataSeekOffsetIsTheU32AtTwentyFour)
{
    const Bytes junk = {0x11, 0x22, 0x33, 0x44, 0x02, 0x05, 0x20, 0x00, 0x20, 0x00, 0x00,
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0xEE, 0xFF, 0x7F};
    const DataSeekMessage seek = DecodeDataSeek(junk, kV10);
    EXPECT_EQ(seek.dataId, 3U);
    EXPECT_EQ(seek.offset, 0x10U);
    EXPECT_EQ(seek.reserved28, 0x7FFFEE02U);
}

// Every fixed-part field of the class, decoded from bytes that each hold their
// own offset, against the offsets of the message tables.
TEST(DataTransferReadTest, EveryFieldIsReadAtItsOffset)
{
    const auto begin = [](const Bytes& b) { return DecodeDataBegin(b, kV10); };
    const auto block = [](const Bytes& b) { return DecodeDataBlock(b, kV10); };
    const auto end = [](const Bytes& b) { return DecodeDataEnd(b, kV10); };
    const auto seek = [](const Bytes& b) { return DecodeDataSeek(b, kV10); };
    const auto id = [](const Bytes& b) { return DecodeDataIdMessage(b, kV10); };
    const auto error = [](const Bytes& b) { return DecodeDataError(b, kV10); };
    const auto getLog = [](const Bytes& b) { return DecodeGetLog(b, kV10); };
    const auto getLogAck = [](const Bytes& b) { return DecodeGetLogAck(b, kV10); };
    KpxWireTest::ExpectFieldsAtTheirOffsets(
        {
            {"DataBegin.dataType", 16, 4, [&](const Bytes& b) { return begin(b).dataType; }},
            {"DataBegin.dataId", 20, 4, [&](const Bytes& b) { return begin(b).dataId; }},
            {"DataBegin.reserved24", 24, 8, [&](const Bytes& b) { return begin(b).reserved24; }},
            {"DataBegin.maxDataSize", 32, 8, [&](const Bytes& b) { return begin(b).maxDataSize; }},
            {"DataBegin.dataAttributes", 40, 4, [&](const Bytes& b) { return begin(b).dataAttributes; }},
            {"DataBegin.timeout", 44, 4, [&](const Bytes& b) { return begin(b).timeout; }},
            {"DataBegin.nameLength", 48, 2, [&](const Bytes& b) { return begin(b).nameLength; }},
            {"DataBegin.nameOffset", 50, 2, [&](const Bytes& b) { return begin(b).nameOffset; }},
            {"DataBegin.reserved52", 52, 4, [&](const Bytes& b) { return begin(b).reserved52; }},
            {"DataBlock.dataId", 16, 4, [&](const Bytes& b) { return block(b).dataId; }},
            {"DataBlock.reserved20", 20, 4, [&](const Bytes& b) { return block(b).reserved20; }},
            {"DataBlock.reserved24", 24, 4, [&](const Bytes& b) { return block(b).reserved24; }},
            {"DataBlock.blockTag", 28, 4, [&](const Bytes& b) { return block(b).blockTag; }},
            {"DataBlock.blockSize", 32, 4, [&](const Bytes& b) { return block(b).blockSize; }},
            {"DataEnd.dataId", 16, 4, [&](const Bytes& b) { return end(b).dataId; }},
            {"DataEnd.reserved20", 20, 4, [&](const Bytes& b) { return end(b).reserved20; }},
            {"DataEnd.totalSize", 24, 8, [&](const Bytes& b) { return end(b).totalSize; }},
            {"DataSeek.dataId", 16, 4, [&](const Bytes& b) { return seek(b).dataId; }},
            {"DataSeek.reserved20", 20, 4, [&](const Bytes& b) { return seek(b).reserved20; }},
            {"DataSeek.offset", 24, 4, [&](const Bytes& b) { return seek(b).offset; }},
            {"DataSeek.reserved28", 28, 4, [&](const Bytes& b) { return seek(b).reserved28; }},
            {"DataId.dataId", 16, 4, [&](const Bytes& b) { return id(b).dataId; }},
            {"DataId.reserved20", 20, 4, [&](const Bytes& b) { return id(b).reserved20; }},
            {"DataError.errorId", 16, 4, [&](const Bytes& b) { return error(b).errorId; }},
            {"DataError.sourceClass", 20, 1, [&](const Bytes& b) { return error(b).sourceClass; }},
            {"DataError.sourceType", 21, 1, [&](const Bytes& b) { return error(b).sourceType; }},
            {"DataError.reserved22", 22, 2, [&](const Bytes& b) { return error(b).reserved22; }},
            {"DataError.errorStringSize", 24, 2, [&](const Bytes& b) { return error(b).errorStringSize; }},
            {"DataError.errorStringOffset", 26, 2,
             [&](const Bytes& b) { return error(b).errorStringOffset; }},
            {"DataError.dataId", 28, 4, [&](const Bytes& b) { return error(b).dataId; }},
            {"GetLog.dataId", 16, 4, [&](const Bytes& b) { return getLog(b).dataId; }},
            {"GetLogAck.id", 16, 4, [&](const Bytes& b) { return getLogAck(b).id; }},
            {"GetLogAck.result", 20, 4, [&](const Bytes& b) { return getLogAck(b).result; }},
            {"GetLogAck.dataId", 24, 4, [&](const Bytes& b) { return getLogAck(b).dataId; }},
        },
        DataBeginMessage::kEncodedSize);
}

// --- Sizes and version floor -------------------------------------------------------------

TEST(DataTransferSizeTest, TablesAtEveryVersion)
{
    for (const ProtocolVersion version : {ProtocolVersion{0, 5}, ProtocolVersion{1, 0}, ProtocolVersion{1, 3},
                                          ProtocolVersion{2, 0}, ProtocolVersion{3, 1}})
    {
        EXPECT_EQ(GetDataBeginMessageSize(version), 56);
        EXPECT_EQ(GetDataBeginAckMessageSize(version), 24);
        EXPECT_EQ(GetDataEndMessageSize(version), 32);
        EXPECT_EQ(GetDataEndAckMessageSize(version), 24);
        EXPECT_EQ(GetDataAbortMessageSize(version), 24);
        EXPECT_EQ(GetDataBlockMessageSize(version), 36);
        EXPECT_EQ(GetDataSeekMessageSize(version), 32);
        EXPECT_EQ(GetDataErrorMessageSize(version), 32);
        EXPECT_EQ(GetGetLogMessageSize(version), 20) << "the 2.0 row and the default agree";
        EXPECT_EQ(GetGetLogAckMessageSize(version), 28);
    }
    EXPECT_EQ(MakeGetLogMessage(ProtocolVersion{1, 3}, 1).size(), 20U);
}

TEST(DataTransferSizeTest, MakersRefuseVersionsBelowOne)
{
    const ProtocolVersion old{0, 9};
    const Bytes data(4, 0);
    ExpectModuleError([&] { (void)MakeDataBeginMessage(old, 1, 1, 1, 1, "x"); }, kFeatureNotSupported,
                      L"KPX feature not supported!");
    ExpectModuleError([&] { (void)MakeDataBeginAckMessage(old, 1); }, kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeDataEndMessage(old, 1, 1); }, kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeDataEndAckMessage(old, 1); }, kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeDataAbortMessage(old, 1); }, kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeDataBlockMessage(old, 1, data); }, kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeDataErrorMessage(old, 1, 1, CommonMessageHeader{}); },
                      kFeatureNotSupported);
    ExpectModuleError([&] { (void)MakeGetLogMessage(old, 1); }, kFeatureNotSupported);
}

// A name whose length with its zero does not fit the u16 field must not be cut
// or wrapped into a short nameLength.
TEST(DataTransferSizeTest, OverlongNameIsRefused)
{
    const std::string name(65535, 'n');
    ExpectModuleError([&] { (void)MakeDataBeginMessage(kV10, 1, 1, 1, 1, name); }, kInvalidSize);
    const std::string longest(65534, 'n');
    EXPECT_EQ(MakeDataBeginMessage(kV10, 1, 1, 1, 1, longest).size(), 56U + 65535U);
}

// --- Lying lengths from the camera -----------------------------------------------------------

// A camera's length that runs past its message is refused with the receiver's
// context, and the error line carries the length read from the wire in the
// receivers' own detail text (catches a read past the message, a length that
// wraps, and a refusal that loses its detail).
TEST(DataTransferBoundsTest, LyingLengthsAreRefusedWithTheirContextAndDetail)
{
    Bytes block = MakeDataBlockMessage(kV10, 7, Bytes(10, 1));
    block[32] = 0xE8; // blockSize 1000 with 10 bytes present
    block[33] = 0x03;
    Bytes hugeBlock = block;
    std::fill(hugeBlock.begin() + 32, hugeBlock.begin() + 36, 0xFF); // blockSize 0xFFFFFFFF must not wrap
    Bytes begin = MakeDataBeginMessage(kV10, 1, 2, 3, 4, "abc");
    begin[48] = 0x05; // nameLength 5 with 4 bytes present
    Bytes error = MakeDataErrorMessage(kV10, 1, 2, CommonMessageHeader{});
    error[24] = 0x09; // errorStringSize 9 with no text present

    const auto parseBlock = [](const Bytes& m, const wchar_t* c) { (void)ParseDataBlockMessage(m, kV10, c); };
    const auto parseBegin = [](const Bytes& m, const wchar_t* c) { (void)ParseDataBeginMessage(m, kV10, c); };
    const auto parseError = [](const Bytes& m, const wchar_t* c) { (void)ParseDataErrorMessage(m, kV10, c); };
    struct Case
    {
        const Bytes& message;
        std::function<void(const Bytes&, const wchar_t*)> parse;
        const wchar_t* context;
        const wchar_t* detail;
    };
    const Case cases[] = {
        {block, parseBlock, L"KPX ch1 data block message.", L"blockSize (1000) is too large."},
        {hugeBlock, parseBlock, L"KPX ch1 data block message.", L"blockSize (4294967295) is too large."},
        {begin, parseBegin, L"KPX ch1 data begin message.", L"detailStringSize (5) is too large."},
        {error, parseError, L"KPX ch1 data error message.", L"errorStringSize (9) is too large."},
    };
    for (const Case& refusal : cases)
    {
        TestSupport::LogCapture log;
        ExpectModuleError([&] { refusal.parse(refusal.message, refusal.context); }, kInvalidData,
                          refusal.context);
        EXPECT_EQ(log.Count(refusal.detail, Q7::Universal::kLogMsgType_Error), 1U) << refusal.detail;
    }
}

// The block check every receiver shares: a block ending past the limit (also
// one whose end would wrap in 32 bits) is refused with the log line, one that
// ends exactly at it is taken, and one longer than its message raises.
TEST(DataTransferBoundsTest, BlockMustEndWithinTheTransfer)
{
    struct Case
    {
        std::uint32_t blockSize;
        std::uint64_t position;
        std::uint64_t limit;
        bool fits;
    };
    const Case cases[] = {
        {100, 0, 100, true},
        {100, 1, 100, false},
        {0, 100, 100, true},
        {0xFFFFFFFF, 2, 0xFFFFFFFF, false},
        {16, 0xFFFFFFF8, 0xFFFFFFFF, false},
    };
    for (const Case& c : cases)
    {
        DataBlockMessage block;
        block.blockSize = c.blockSize;
        TestSupport::LogCapture log;
        EXPECT_EQ(CheckDataBlockFits(block, c.blockSize, c.position, c.limit, L"KPX ch4", L"ctx"), c.fits)
            << c.blockSize << " at " << c.position;
        EXPECT_EQ(log.Count(L"KPX ch4 data block msg received with invalid block size=",
                            Q7::Universal::kLogMsgType_Error),
                  c.fits ? 0U : 1U);
    }
    DataBlockMessage tooLong;
    tooLong.blockSize = 1000;
    TestSupport::LogCapture log;
    ExpectModuleError(
        [&] { (void)CheckDataBlockFits(tooLong, 999, 0, 5000, L"KPX ch4", L"KPX ch4 data block message."); },
        kInvalidData, L"KPX ch4 data block message.");
    EXPECT_EQ(log.Count(L"blockSize (1000) is too large.", Q7::Universal::kLogMsgType_Error), 1U);
}

TEST(DataTransferBoundsTest, NameWithoutTerminatingZeroStaysInside)
{
    Bytes message = MakeDataBeginMessage(kV10, 1, 2, 3, 4, "abc");
    message.back() = 'd'; // the camera forgot the zero
    EXPECT_EQ(ParseDataBeginMessage(message, kV10, L"c").name, "abcd");
}

TEST(DataTransferBoundsTest, ErrorStringSizeBeyondTheMessage)
{
    CommonMessageHeader received;
    Bytes message = MakeDataErrorMessage(kV10, 1, 2, received);
    message.insert(message.end(), {'b', 'a', 'd'});
    message[8] = 35; // messageSize covers the 3 text bytes
    message[24] = 3;
    EXPECT_EQ(ParseDataErrorMessage(message, kV10, L"c").text, "bad");
    message[24] = 4;
    ExpectModuleError([&] { (void)ParseDataErrorMessage(message, kV10, L"KPX ch1 data error message."); },
                      kInvalidData, L"KPX ch1 data error message.");
}

// Every prefix of a valid message is either parsed or refused with a library
// error; none is read beyond its end (AddressSanitizer checks the reads).
TEST(DataTransferBoundsTest, EveryTruncationIsRefusedCleanly)
{
    const std::vector<Bytes> messages = {MakeDataBeginMessage(kV10, 1, 2, 3, 4, "name"),
                                         MakeDataBlockMessage(kV10, 7, Bytes(20, 3)),
                                         MakeDataErrorMessage(kV10, 1, 2, CommonMessageHeader{})};
    for (const Bytes& whole : messages)
    {
        for (std::size_t length = 0; length < whole.size(); ++length)
        {
            const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
            ExpectModuleError(
                [&]
                {
                    (void)ParseDataBeginMessage(prefix, kV10, L"c");
                    (void)ParseDataBlockMessage(prefix, kV10, L"c");
                    (void)ParseDataErrorMessage(prefix, kV10, L"c");
                },
                kInvalidSize);
        }
    }
}

} // namespace
