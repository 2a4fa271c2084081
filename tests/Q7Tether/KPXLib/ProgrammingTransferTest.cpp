// The data-transfer state machine of channel 1.0 without threads or a camera:
// every move of the data state, the handlers' answers to a camera's protocol
// faults, and a block read into a download that gave up meanwhile.

#include "Agents/Programming/KPXProgrammingTransfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Channel/KPXMessageReader.h"
#include "Wire/KPXDataTransfer.h"

namespace
{

using namespace Q7::KPX;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCommonErrorType = 0xFFFF;
constexpr std::uint32_t kAbortType = 0xAB;

// What the machine sent: DataError (errorId), DataAbort (kAbortType),
// CommonError (kCommonErrorType), DataBeginAck, DataEnd, DataEndAck.
struct Reply
{
    std::uint32_t kind = 0;
    std::uint32_t dataId = 0;
    std::uint32_t errorId = 0;
    std::uint8_t sourceClass = 0;
    std::uint8_t sourceType = 0;

    friend bool operator==(const Reply&, const Reply&) = default;
};

std::ostream& operator<<(std::ostream& out, const Reply& reply)
{
    return out << "{kind " << std::hex << reply.kind << ", id " << std::dec << reply.dataId << ", error "
               << std::hex << reply.errorId << ", source " << unsigned{reply.sourceClass} << "/"
               << unsigned{reply.sourceType} << "}";
}

Reply Abort(std::uint32_t dataId)
{
    return {kAbortType, dataId, 0, 0, 0};
}

Reply Error(std::uint32_t dataId, std::uint32_t errorId, std::uint8_t type)
{
    return {kDataTransferMessage_DataError, dataId, errorId, kMessageClass_DataTransfer, type};
}

class RecordingReplies final : public ProgrammingReplies
{
public:
    void SendDataBeginAck(std::uint32_t dataId) override
    {
        sent.push_back({kDataTransferMessage_DataBeginAck, dataId});
    }
    void SendDataEnd(std::uint32_t dataId, std::uint64_t) override
    {
        sent.push_back({kDataTransferMessage_DataEnd, dataId});
    }
    void SendDataEndAck(std::uint32_t dataId) override
    {
        sent.push_back({kDataTransferMessage_DataEndAck, dataId});
    }
    void SendDataAbort(std::uint32_t dataId) override { sent.push_back(Abort(dataId)); }
    void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                       const CommonMessageHeader& received) override
    {
        sent.push_back(
            {kDataTransferMessage_DataError, dataId, errorId, received.messageClass, received.messageType});
    }
    void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) override
    {
        sent.push_back({kCommonErrorType, 0, errorId, received.messageClass, received.messageType});
    }
    ProtocolVersion GetMessageVersion() const override { return {2, 0}; }

    std::vector<Reply> sent;
};

// Feeds one whole message (common header first) to the machine; answers the
// handler's result, or nothing when it raised.
std::optional<bool> Feed(ProgrammingTransfer& machine, const Bytes& message, std::size_t* left = nullptr)
{
    const CommonMessageHeader header = *DecodeMessageHeader(message);
    BufferMessageSource source{std::span(message).subspan(kCommonMessageHeaderSize)};
    try
    {
        const bool result = machine.HandleMessage(header, source);
        if (left != nullptr)
            *left = source.Remaining();
        return result;
    }
    catch (const Q7::Universal::ModuleError&)
    {
        return std::nullopt;
    }
}

Bytes DataBegin(std::uint32_t dataId, std::uint64_t maxSize, const std::string& name = "log")
{
    return MakeDataBeginMessage({2, 0}, 104, dataId, maxSize, 0, name);
}

// A DataSeek with `high` in bytes 28 to 31 (a u64 offset's high half, or junk).
Bytes DataSeek(std::uint32_t dataId, std::uint32_t offset, std::uint32_t high = 0)
{
    DataSeekMessage message = MakeDefaultDataSeek({2, 0});
    message.dataId = dataId;
    message.offset = offset;
    message.reserved28 = high;
    return EncodeMessage(message);
}

Bytes DataIdMessageOf(std::uint8_t type, std::uint32_t dataId)
{
    DataIdMessage message = MakeDefaultDataIdMessage({2, 0}, type);
    message.dataId = dataId;
    return EncodeMessage(message);
}

constexpr std::uint32_t kDownloadId = 41;
constexpr std::uint32_t kDownloadSize = 0x1000;

// A download in the transfer state: the camera's DataBegin accepted and
// acknowledged, its destination `reused` (empty by default).
struct Download
{
    RecordingReplies replies;
    ProgrammingTransfer machine{replies};
    TransferBuffer buffer;

    explicit Download(Bytes reused = {})
    {
        machine.BeginReceiving();
        EXPECT_EQ(Feed(machine, DataBegin(kDownloadId, kDownloadSize)), true);
        EXPECT_EQ(machine.CheckReceiveBegin(kDownloadId, kDownloadSize), kDownloadSize);
        buffer = std::make_shared<Bytes>(std::move(reused));
        machine.AcceptReceiveBegin(kDownloadId, buffer);
        replies.sent.clear();
    }
};

// ---------------------------------------------------------------------------

// Walks every pair of data states: a move the table refuses must leave the
// state (and its event) alone, a move it allows must happen.
TEST(ProgrammingTransferTest, TheDataStateMovesOnlyAlongItsTable)
{
    // allowed[from][to]
    constexpr bool allowed[5][5] = {
        /* idle     */ {false, true, false, false, true},
        /* begin    */ {true, false, true, false, true},
        /* transfer */ {true, false, false, true, true},
        /* end      */ {true, false, false, false, true},
        /* abort    */ {true, false, false, false, false},
    };
    // How to reach each state from idle.
    const std::vector<std::vector<std::uint32_t>> paths = {
        {},
        {kDataState_Begin},
        {kDataState_Begin, kDataState_Transfer},
        {kDataState_Begin, kDataState_Transfer, kDataState_End},
        {kDataState_Abort},
    };
    for (std::uint32_t from = 0; from < 5; ++from)
    {
        for (std::uint32_t to = 0; to < 5; ++to)
        {
            SCOPED_TRACE(std::wstring(GetDataStateName(from)) + L" -> " + GetDataStateName(to));
            EXPECT_EQ(IsValidDataStateTransition(from, to), allowed[from][to]);
            RecordingReplies replies;
            ProgrammingTransfer machine(replies);
            for (const std::uint32_t step : paths[from])
                ASSERT_TRUE(machine.SetDataState(step));
            machine.GetDataState(true);
            const bool moved = machine.SetDataState(to);
            if (from == to)
            {
                EXPECT_TRUE(moved);
                EXPECT_FALSE(machine.GetDataStateChangeEvent().IsSet());
                continue;
            }
            EXPECT_EQ(moved, allowed[from][to]);
            EXPECT_EQ(machine.GetDataState(false), allowed[from][to] ? to : from);
            EXPECT_EQ(machine.GetDataStateChangeEvent().IsSet(), allowed[from][to]);
        }
    }
    EXPECT_FALSE(IsValidDataStateTransition(kDataState_Idle, 5));
    EXPECT_STREQ(GetDataStateName(5), L"unknown");
    EXPECT_STREQ(GetTransferStateName(3), L"unknown");
}

// A camera's protocol faults are answered on the wire and move the state as
// documented; none of them is raised.
struct HandlerCase
{
    const char* name;
    std::function<Bytes()> message;
    std::vector<Reply> replies;
    std::uint32_t dataState;
    bool result = true;
};

class ProgrammingTransferHandlerTest : public ::testing::TestWithParam<HandlerCase>
{
};

TEST_P(ProgrammingTransferHandlerTest, AnswersAndMovesAsDocumented)
{
    const HandlerCase& c = GetParam();
    Download download;
    std::size_t left = 1;
    EXPECT_EQ(Feed(download.machine, c.message(), &left), c.result);
    EXPECT_EQ(left, 0u) << "the whole message must be read";
    EXPECT_EQ(download.replies.sent, c.replies);
    EXPECT_EQ(download.machine.GetDataState(false), c.dataState);
    EXPECT_EQ(download.machine.GetTransferState(), kTransferState_Receiving);
}

INSTANTIATE_TEST_SUITE_P(
    CameraFaults, ProgrammingTransferHandlerTest,
    ::testing::Values(
        HandlerCase{"SeekToTheAnnouncedSizeIsAccepted",
                    [] { return DataSeek(kDownloadId, kDownloadSize); },
                    {},
                    kDataState_Transfer},
        // Catches an offset read as a u64: bytes 28 to 31 are not part of it.
        HandlerCase{"SeekIgnoresBytes28To31",
                    [] { return DataSeek(kDownloadId, 0x10, 0xFFFFFFFF); },
                    {},
                    kDataState_Transfer},
        HandlerCase{"SeekBeyondTheSizeFailsTheTransfer",
                    [] { return DataSeek(kDownloadId, kDownloadSize + 1); },
                    {Error(kDownloadId, kDataError_SeekBeyondSize, kDataTransferMessage_DataSeek),
                     Abort(kDownloadId)},
                    kDataState_Abort},
        HandlerCase{"EndOfAnotherSizeFailsTheTransfer",
                    [] {
                        return MakeDataEndMessage({2, 0}, kDownloadId, 1);
                    },
                    {Error(kDownloadId, kDataError_EndSizeMismatch, kDataTransferMessage_DataEnd),
                     Abort(kDownloadId)},
                    kDataState_Abort},
        HandlerCase{"AbortOfAnotherIdIsRefusedAndTheTransferGoesOn",
                    [] { return DataIdMessageOf(kDataTransferMessage_DataAbort, 7); },
                    {Error(7, kDataError_UnknownDataId, kDataTransferMessage_DataAbort)},
                    kDataState_Transfer},
        HandlerCase{"BlockOfAnotherIdIsRefused",
                    [] {
                        return MakeDataBlockMessage({2, 0}, 7, Bytes(10, 1));
                    },
                    {Error(7, kDataError_UnknownDataId, kDataTransferMessage_DataBlock), Abort(7)},
                    kDataState_Transfer},
        HandlerCase{"BlockBeyondTheSizeFailsTheTransfer",
                    [] {
                        return MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(kDownloadSize + 1, 1));
                    },
                    {Error(kDownloadId, kDataError_BlockBeyondSize, kDataTransferMessage_DataBlock),
                     Abort(kDownloadId)},
                    kDataState_Abort},
        HandlerCase{
            "SecondBeginOfTheSameIdAbortsIt",
            [] { return DataBegin(kDownloadId, 10); },
            {Error(kDownloadId, kDataError_WrongState, kDataTransferMessage_DataBegin), Abort(kDownloadId)},
            kDataState_Abort},
        HandlerCase{"BeginAckInTheReceivingDirectionIsRefused",
                    [] { return DataIdMessageOf(kDataTransferMessage_DataBeginAck, kDownloadId); },
                    {Error(kDownloadId, kDataError_WrongState, kDataTransferMessage_DataBeginAck),
                     Abort(kDownloadId)},
                    kDataState_Transfer},
        HandlerCase{"UnknownTypeOfTheClassIsAnsweredAndReadAway",
                    []
                    {
                        Bytes message = MakeDataEndMessage({2, 0}, kDownloadId, 0);
                        message[5] = 6;
                        message.resize(message.size() + 5, 0x77);
                        message[8] = static_cast<std::uint8_t>(message.size());
                        return message;
                    },
                    {{kCommonErrorType, 0, kCommonError_UnknownMessage, kMessageClass_DataTransfer, 6}},
                    kDataState_Transfer}),
    [](const ::testing::TestParamInfo<HandlerCase>& param) { return std::string(param.param.name); });

// The camera begins while this side is not receiving: a DataError and a
// DataAbort of its id, nothing moves.
TEST(ProgrammingTransferTest, ABeginWhileNotReceivingIsRefused)
{
    RecordingReplies replies;
    ProgrammingTransfer machine(replies);
    EXPECT_EQ(Feed(machine, DataBegin(5, 100)), true);
    EXPECT_EQ(replies.sent, (std::vector<Reply>{
                                Error(5, kDataError_WrongState, kDataTransferMessage_DataBegin), Abort(5)}));
    EXPECT_EQ(machine.GetDataState(false), kDataState_Idle);
}

// A DataBegin whose size does not fit 32 bits: abort at once, and the download
// learns of it (the state is not begin).
TEST(ProgrammingTransferTest, ABeginBeyondThirtyTwoBitsIsAbortedAtOnce)
{
    RecordingReplies replies;
    ProgrammingTransfer machine(replies);
    machine.BeginReceiving();
    EXPECT_EQ(Feed(machine, DataBegin(9, 0x100000000ull)), true);
    EXPECT_EQ(replies.sent, std::vector<Reply>{Abort(9)});
    EXPECT_EQ(machine.GetDataState(false), kDataState_Abort);
    EXPECT_THROW(machine.CheckReceiveBegin(9, 0x3E800000), Q7::Universal::ModuleError);
}

// The position and block size a camera sends are added in 64 bits: a block
// whose 32-bit sum wraps below the size must not be written at the position.
TEST(ProgrammingTransferTest, ABlockWhoseThirtyTwoBitEndWrapsIsRefusedAndWritesNothing)
{
    Download download;
    ASSERT_EQ(Feed(download.machine, DataSeek(kDownloadId, 0x200)), true);

    DataBlockMessage block = MakeDefaultDataBlock({2, 0});
    block.dataId = kDownloadId;
    block.blockSize = 0xFFFFFF00; // 0x200 + 0xFFFFFF00 wraps to 0x100
    block.header.messageSize = 0xFFFFFFFF;
    Bytes message = EncodeMessage(block);
    message.resize(message.size() + 0x1000, 0xEE); // far fewer bytes than announced

    EXPECT_EQ(Feed(download.machine, message), false); // the rest never arrives
    EXPECT_EQ(download.replies.sent, (std::vector<Reply>{Error(kDownloadId, kDataError_BlockBeyondSize,
                                                               kDataTransferMessage_DataBlock),
                                                         Abort(kDownloadId)}));
    EXPECT_EQ(download.machine.GetDataState(false), kDataState_Abort);
    EXPECT_TRUE(std::all_of(download.buffer->begin(), download.buffer->end(), [](auto b) { return b == 0; }));
}

// A block is read into the download's buffer without the data lock; the
// download may give up meanwhile. The buffer must stay alive for the read and
// the record must not move.
class GivingUpSource final : public MessageSource
{
public:
    GivingUpSource(std::span<const std::uint8_t> bytes, std::function<void()> onBlockRead)
        : m_inner(bytes), m_onBlockRead(std::move(onBlockRead))
    {
    }
    std::uint32_t Read(std::span<std::uint8_t> destination) override
    {
        if (destination.size() == 100 && m_onBlockRead)
            std::exchange(m_onBlockRead, nullptr)();
        return m_inner.Read(destination);
    }
    std::uint32_t Skip(std::uint64_t count) override { return m_inner.Skip(count); }

private:
    BufferMessageSource m_inner;
    std::function<void()> m_onBlockRead;
};

TEST(ProgrammingTransferTest, ABlockReadIntoADownloadThatGaveUpWritesIntoMemoryStillOwned)
{
    Download download;
    std::weak_ptr<std::vector<std::uint8_t>> watched = download.buffer;
    const Bytes message = MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(100, 0x5A));
    const CommonMessageHeader header = *DecodeMessageHeader(message);
    GivingUpSource source{std::span(message).subspan(kCommonMessageHeaderSize), [&]
                          {
                              // What a download that times out does: abort,
                              // reset and drop its buffer.
                              download.machine.AbortTransfer();
                              download.machine.Reset();
                              download.buffer.reset();
                              EXPECT_FALSE(watched.expired()) << "the reading handler must hold the buffer";
                          }};
    EXPECT_TRUE(download.machine.HandleMessage(header, source));
    EXPECT_TRUE(watched.expired());
    const ReceiveProgress progress = download.machine.GetReceiveProgress();
    EXPECT_EQ(progress.writePosition, 0u);
    EXPECT_EQ(progress.receivedSize, 0u);
    EXPECT_FALSE(progress.hasDestination);
}

// The whole road of a download through the machine: blocks land at their
// positions, the end cuts the buffer to what arrived and is acknowledged.
TEST(ProgrammingTransferTest, ADownloadEndsWithTheBytesReceived)
{
    Download download;
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(10, 1))), true);
    EXPECT_EQ(Feed(download.machine, DataSeek(kDownloadId, 4)), true);
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(2, 2))), true);
    EXPECT_EQ(Feed(download.machine, MakeDataEndMessage({2, 0}, kDownloadId, 10)), true);
    ASSERT_EQ(download.machine.GetDataState(false), kDataState_End);
    const Bytes bytes = download.machine.FinishReceive(download.buffer);
    EXPECT_EQ(bytes, (Bytes{1, 1, 1, 1, 2, 2, 1, 1, 1, 1}));
    EXPECT_EQ(download.replies.sent, (std::vector<Reply>{{kDataTransferMessage_DataEndAck, kDownloadId}}));
    EXPECT_EQ(download.machine.GetTransferState(), kTransferState_Disabled);
    EXPECT_EQ(download.machine.GetDataState(false), kDataState_Idle);
}

// Catches stale bytes of a reused destination read as log bytes: where no
// block landed below the highest position reached (a forward seek), the log
// reads as zero, as from a zero-filled buffer; and the reused storage itself
// is kept, not replaced.
TEST(ProgrammingTransferTest, AReusedDestinationReadsAsZeroFilledWhereNoBlockLanded)
{
    Download download(Bytes(kDownloadSize * 2, 0xEE));
    const std::uint8_t* storage = download.buffer->data();
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(4, 1))), true);
    EXPECT_EQ(Feed(download.machine, DataSeek(kDownloadId, 10)), true);
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(2, 2))), true);
    EXPECT_EQ(Feed(download.machine, DataSeek(kDownloadId, 2)), true);
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(1, 3))), true);
    EXPECT_EQ(Feed(download.machine, MakeDataEndMessage({2, 0}, kDownloadId, 12)), true);
    const Bytes bytes = download.machine.FinishReceive(download.buffer);
    EXPECT_EQ(bytes, (Bytes{1, 1, 3, 1, 0, 0, 0, 0, 0, 0, 2, 2}));
    EXPECT_EQ(bytes.data(), storage);
}

// Catches a destination sized to the announcement: it grows with the blocks
// that arrive, never beyond the announced size.
TEST(ProgrammingTransferTest, AFreshDestinationGrowsWithTheBlocks)
{
    Download download;
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(100, 7))), true);
    ReceiveProgress progress = download.machine.GetReceiveProgress();
    EXPECT_EQ(progress.destinationSize, 100u);
    EXPECT_LE(progress.destinationCapacity, kDownloadSize);
    EXPECT_EQ(Feed(download.machine, DataSeek(kDownloadId, kDownloadSize - 8)), true);
    EXPECT_EQ(Feed(download.machine, MakeDataBlockMessage({2, 0}, kDownloadId, Bytes(8, 9))), true);
    progress = download.machine.GetReceiveProgress();
    EXPECT_EQ(progress.destinationSize, kDownloadSize);
    EXPECT_LE(progress.destinationCapacity, kDownloadSize);
    EXPECT_EQ(Feed(download.machine, MakeDataEndMessage({2, 0}, kDownloadId, kDownloadSize)), true);
    Bytes expected(kDownloadSize, 0);
    std::fill_n(expected.begin(), 100, 7);
    std::fill_n(expected.end() - 8, 8, 9);
    EXPECT_EQ(download.machine.FinishReceive(download.buffer), expected);
}

} // namespace
