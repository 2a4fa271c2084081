// The receive machine of channel 4 without threads of its own or a camera:
// the camera's protocol faults and their answers, a whole image with a seek
// back into its pool buffer and its progress, the buffer that a DataAbort and
// a larger DataBegin would have left attached, sizes no pool can hold, the
// camera's status and image-request replies, and the progress task shared by
// the receive and delivery threads.

#include "Agents/KPXImageTransferMachine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Agents/KPXImageTransferMessages.h"
#include "Agents/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "TestAllocator.h"
#include "Wire/KPXDataTransfer.h"

namespace
{

using namespace Q7::KPX;
using TestSupport::TestAllocator;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr ProtocolVersion kVersion{1, 0};
constexpr std::uint32_t kCommonErrorKind = 0xFFFF;
constexpr std::uint32_t kAbortKind = 0xAB;
constexpr std::uint32_t kMiB = 0x100000;

// What the machine sent: DataError (errorId), DataAbort (kAbortKind),
// CommonError (kCommonErrorKind), DataBeginAck, DataEndAck.
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
               << unsigned{reply.sourceType} << std::dec << "}";
}

Reply Abort(std::uint32_t dataId)
{
    return {kAbortKind, dataId, 0, 0, 0};
}

Reply Error(std::uint32_t dataId, std::uint32_t errorId, std::uint8_t type)
{
    return {kDataTransferMessage_DataError, dataId, errorId, kMessageClass_DataTransfer, type};
}

Reply BeginAck(std::uint32_t dataId)
{
    return {kDataTransferMessage_DataBeginAck, dataId};
}

Reply EndAck(std::uint32_t dataId)
{
    return {kDataTransferMessage_DataEndAck, dataId};
}

class RecordingReplies final : public ImageTransferReplies
{
public:
    void SendDataBeginAck(std::uint32_t dataId) override { Add(BeginAck(dataId)); }
    void SendDataEndAck(std::uint32_t dataId) override { Add(EndAck(dataId)); }
    void SendDataAbort(std::uint32_t dataId) override { Add(Abort(dataId)); }
    void SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                       const CommonMessageHeader& received) override
    {
        Add({kDataTransferMessage_DataError, dataId, errorId, received.messageClass, received.messageType});
    }
    void SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received) override
    {
        Add({kCommonErrorKind, 0, errorId, received.messageClass, received.messageType});
    }
    ProtocolVersion GetFirstVersion() const override { return kVersion; }
    ProtocolVersion GetSecondVersion() const override { return kVersion; }

    std::vector<Reply> Take()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_sent, {});
    }

private:
    void Add(const Reply& reply)
    {
        std::lock_guard lock(m_mutex);
        m_sent.push_back(reply);
    }

    std::mutex m_mutex; // guards m_sent
    std::vector<Reply> m_sent;
};

// Hands out a one-byte block for any size: for requests that are asked for
// and never written.
class SizeRecordingAllocator final : public IAllocator<unsigned char>
{
public:
    unsigned char* allocate(std::uint32_t size) override
    {
        sizes.push_back(size);
        return new unsigned char[1];
    }
    void free(unsigned char* p) override { delete[] p; }

    std::vector<std::uint32_t> sizes;
};

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

Bytes DataBegin(std::uint32_t dataId, std::uint64_t maxSize, const std::string& name = "IMG_0001.JPG")
{
    return MakeDataBeginMessage(kVersion, 0, dataId, maxSize, 0, name);
}

Bytes DataBlock(std::uint32_t dataId, const Bytes& data)
{
    return MakeDataBlockMessage(kVersion, dataId, data);
}

Bytes DataEnd(std::uint32_t dataId, std::uint64_t size)
{
    return MakeDataEndMessage(kVersion, dataId, size);
}

Bytes DataAbort(std::uint32_t dataId)
{
    return MakeDataAbortMessage(kVersion, dataId);
}

Bytes DataSeek(std::uint32_t dataId, std::uint64_t offset)
{
    DataSeekMessage message = MakeDefaultDataSeek(kVersion);
    message.dataId = dataId;
    message.offset = offset;
    return EncodeMessage(message);
}

Bytes CameraDataError(std::uint32_t dataId, const std::string& text = {}, std::uint16_t claimedTextSize = 0)
{
    DataErrorMessage message = BuildDataErrorHeader(kVersion, dataId, 0x02000001);
    message.sourceClass = kMessageClass_DataTransfer;
    message.sourceType = kDataTransferMessage_DataBlock;
    message.errorStringSize =
        claimedTextSize != 0 ? claimedTextSize : static_cast<std::uint16_t>(text.size());
    message.header.messageSize = static_cast<std::uint32_t>(message.header.messageHeaderSize + text.size());
    return EncodeMessage(message, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

Bytes Status(std::uint32_t pending, std::uint32_t storage, std::uint8_t enabled)
{
    ImageTransfer::StatusMessage message = ImageTransfer::MakeDefaultStatus(kVersion);
    message.pendingCount = pending;
    message.storageSize = storage;
    message.enabled = enabled;
    return EncodeMessage(message);
}

Bytes RequestReply(std::uint32_t imageId, std::uint32_t status)
{
    ImageTransfer::ImageRequestReplyMessage message = ImageTransfer::MakeDefaultImageRequestReply(kVersion);
    message.imageId = imageId;
    message.requestStatus = status;
    return EncodeMessage(message);
}

Bytes Bare(std::uint8_t messageClass, std::uint8_t type, std::size_t size = 16)
{
    CommonMessageHeader header;
    header.messageClass = messageClass;
    header.messageType = type;
    header.messageHeaderSize = 16;
    header.messageSize = static_cast<std::uint32_t>(size);
    Bytes bytes(size);
    ByteWriter writer(bytes);
    header.Encode(writer);
    return bytes;
}

// A machine with its pool, queue and recorded answers.
struct Rig
{
    explicit Rig(std::shared_ptr<IAllocator<unsigned char>> allocator = std::make_shared<TestAllocator>())
        : pool(std::move(allocator), 2, 0x400000, L"KPX ch4 ")
    {
    }

    // Feeds one whole message; the handler's result, or nothing when it raised
    // (then `raised` holds the code).
    std::optional<bool> Feed(const Bytes& message)
    {
        const CommonMessageHeader header = *DecodeMessageHeader(message);
        BufferMessageSource source{std::span(message).subspan(kCommonMessageHeaderSize)};
        try
        {
            const bool result = machine.HandleMessage(header, source);
            // Every handler takes exactly its message.
            EXPECT_EQ(source.Remaining(), 0u);
            return result;
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            raised = error.GetFullCode();
            return std::nullopt;
        }
    }

    void Enable(bool enabled = true)
    {
        machine.SetTransferEnabledWish(enabled, [] {});
    }

    // A transfer in state transfer: id, announced size, `received` bytes in.
    void StartTransfer(std::uint32_t dataId, std::uint32_t maxSize, std::size_t received)
    {
        Enable();
        ASSERT_EQ(Feed(DataBegin(dataId, maxSize)), true);
        ASSERT_TRUE(machine.AttachBuffer({}));
        if (received > 0)
        {
            ASSERT_EQ(Feed(DataBlock(dataId, Pattern(received, 1))), true);
        }
        ASSERT_EQ(machine.GetDataState(false), kDataState_Transfer);
        replies.Take();
    }

    RecordingReplies replies;
    BufferPool pool;
    ImageDeliveryQueue queue;
    Q7::Universal::ProgressProvider owner;
    ImageTransferMachine machine{replies, pool, queue, owner};
    std::uint32_t raised = 0;
};

// ---------------------------------------------------------------------------

// Each message a camera may send in the middle of an image: the answer on the
// wire and where the state goes. Catches a refusal answered with the wrong
// code or id, a running transfer disturbed by another transfer's message,
// and a handler that reads more or less than its message.
struct RunningCase
{
    const char* name;
    Bytes message;
    std::vector<Reply> replies;
    std::uint32_t state;
};

constexpr std::uint32_t kId = 7;
constexpr std::uint32_t kMaxSize = 1000;
constexpr std::size_t kReceived = 100;

class RunningTransfer : public ::testing::TestWithParam<RunningCase>
{
};

TEST_P(RunningTransfer, TheCameraIsAnsweredAndTheStateMoves)
{
    const RunningCase& c = GetParam();
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, kMaxSize, kReceived));
    EXPECT_EQ(rig.Feed(c.message), true);
    EXPECT_EQ(rig.replies.Take(), c.replies);
    EXPECT_EQ(rig.machine.GetDataState(false), c.state);
    EXPECT_EQ(rig.queue.GetCount(), 0u);
}

constexpr std::uint8_t kBlock = kDataTransferMessage_DataBlock;

INSTANTIATE_TEST_SUITE_P(
    ImageTransferMachineTest, RunningTransfer,
    ::testing::Values(RunningCase{"BlockOfAnotherId",
                                  DataBlock(9, Pattern(10, 2)),
                                  {Error(9, 0x2000003, kBlock), Abort(9)},
                                  kDataState_Transfer},
                      RunningCase{"BlockEndingPastTheSize",
                                  DataBlock(kId, Pattern(kMaxSize - kReceived + 1, 2)),
                                  {Error(kId, 0x2000004, kBlock), Abort(kId)},
                                  kDataState_Abort},
                      RunningCase{"BlockEndingAtTheSize",
                                  DataBlock(kId, Pattern(kMaxSize - kReceived, 2)),
                                  {},
                                  kDataState_Transfer},
                      RunningCase{"SeekPastTheSize",
                                  DataSeek(kId, kMaxSize + 1),
                                  {Error(kId, 0x2000005, kDataTransferMessage_DataSeek), Abort(kId)},
                                  kDataState_Abort},
                      RunningCase{"SeekToTheSize", DataSeek(kId, kMaxSize), {}, kDataState_Transfer},
                      RunningCase{"SeekOfAnotherId",
                                  DataSeek(8, 0),
                                  {Error(8, 0x2000003, kDataTransferMessage_DataSeek), Abort(8)},
                                  kDataState_Transfer},
                      RunningCase{"EndOneByteShort",
                                  DataEnd(kId, kReceived - 1),
                                  {Error(kId, 0x2000006, kDataTransferMessage_DataEnd), Abort(kId)},
                                  kDataState_Abort},
                      RunningCase{"EndOfTheBytesReceived", DataEnd(kId, kReceived), {}, kDataState_End},
                      RunningCase{"EndOfAnotherId",
                                  DataEnd(8, kReceived),
                                  {Error(8, 0x2000003, kDataTransferMessage_DataEnd), Abort(8)},
                                  kDataState_Transfer},
                      RunningCase{"BeginWithTheSameId",
                                  DataBegin(kId, kMaxSize),
                                  {Error(kId, 0x2000002, kDataTransferMessage_DataBegin), Abort(kId)},
                                  kDataState_Abort},
                      RunningCase{"BeginWithAnotherId",
                                  DataBegin(8, kMaxSize),
                                  {Error(8, 0x2000002, kDataTransferMessage_DataBegin), Abort(8)},
                                  kDataState_Transfer},
                      RunningCase{"AbortOfAnotherId",
                                  DataAbort(8),
                                  {Error(8, 0x2000003, kDataTransferMessage_DataAbort)},
                                  kDataState_Transfer},
                      RunningCase{"AbortOfThisTransfer", DataAbort(kId), {}, kDataState_Idle},
                      RunningCase{"CameraErrorAboutThisTransfer",
                                  CameraDataError(kId, "disk full"),
                                  {Abort(kId)},
                                  kDataState_Abort},
                      RunningCase{
                          "CameraErrorAboutAnotherTransfer", CameraDataError(8), {}, kDataState_Transfer},
                      RunningCase{"UnknownImageTransferType",
                                  Bare(kMessageClass_ImageTransfer, 9, 20),
                                  {{kCommonErrorKind, 0, 0x1000001, kMessageClass_ImageTransfer, 9}},
                                  kDataState_Transfer},
                      RunningCase{"AcknowledgementFromTheCamera",
                                  Bare(kMessageClass_DataTransfer, 0x81, 24),
                                  {{kCommonErrorKind, 0, 0x1000001, kMessageClass_DataTransfer, 0x81}},
                                  kDataState_Transfer},
                      RunningCase{"UnknownClass",
                                  Bare(0x42, 1, 40),
                                  {{kCommonErrorKind, 0, 0x1000001, 0x42, 1}},
                                  kDataState_Transfer}),
    [](const ::testing::TestParamInfo<RunningCase>& param) { return std::string(param.param.name); });

// Lengths inside a message that exceed it are raised (the receive thread then
// closes and reopens both sub-channels) instead of being trusted.
TEST(ImageTransferMachineTest, LengthsBeyondTheirMessageAreRaisedAs0x650003)
{
    struct Case
    {
        const char* name;
        Bytes message;
    };
    Bytes longBlock = DataBlock(kId, Pattern(64, 3));
    longBlock[32] = 65; // blockSize at 32: one byte more than the message carries
    Bytes longName = DataBegin(9, 100, "X.JPG");
    longName[48] = 0x40; // nameLength at 48
    std::vector<Case> cases{
        {"block", longBlock}, {"name", longName}, {"data error text", CameraDataError(kId, "abc", 4)}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, kMaxSize, kReceived));
        EXPECT_EQ(rig.Feed(c.message), std::nullopt);
        EXPECT_EQ(rig.raised, 0x650003u);
    }
}

// Blocks that come before the DataBeginAck (no buffer yet) are refused and
// end the transfer; nothing is written anywhere.
TEST(ImageTransferMachineTest, BlocksBeforeTheAcknowledgementAbortTheTransfer)
{
    Rig rig;
    rig.Enable();
    ASSERT_EQ(rig.Feed(DataBegin(3, 4096)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Begin);
    EXPECT_EQ(rig.Feed(DataBlock(3, Pattern(100, 4))), true);
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{Error(3, 0x2000002, kBlock), Abort(3)}));
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Abort);
    // The control thread finds the begin gone: no buffer is attached.
    EXPECT_FALSE(rig.machine.AttachBuffer({}));
    EXPECT_EQ(rig.machine.GetRecordView().bufferSize, 0u);
    // Blocks and the end of the aborted transfer are read away; its end is
    // answered with another DataAbort.
    EXPECT_EQ(rig.Feed(DataBlock(3, Pattern(100, 4))), true);
    EXPECT_EQ(rig.Feed(DataEnd(3, 100)), true);
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{Abort(3)}));
    // A new DataBegin cancels the abort state.
    EXPECT_EQ(rig.Feed(DataBegin(4, 4096)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Begin);
    EXPECT_EQ(rig.machine.GetRecordView().dataId, 4u);
}

// Refused at DataBegin, each with a DataAbort and without a progress task:
// transfer disabled, a size beyond 32 bits, and a size whose buffer (1.5 x,
// rounded up to 4 MiB) no pool can hold, which would otherwise be asked of the
// pool again and again.
TEST(ImageTransferMachineTest, BeginsThatCannotBeServedAreAbortedAtOnce)
{
    struct Case
    {
        const char* name;
        bool enabled;
        std::uint64_t maxSize;
        std::uint32_t state;
    };
    const std::vector<Case> cases{
        {"transfer disabled", false, 4096, kDataState_Abort},
        {"2^32", true, 0x100000000ULL, kDataState_Abort},
        {"one above what a buffer holds", true, 0xAA800001ULL, kDataState_Abort},
        {"what a buffer holds", true, 0xAA800000ULL, kDataState_Begin},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.Enable(c.enabled);
        EXPECT_EQ(rig.Feed(DataBegin(5, c.maxSize)), true);
        EXPECT_EQ(rig.machine.GetDataState(false), c.state);
        if (c.state == kDataState_Abort)
        {
            EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{Abort(5)}));
            EXPECT_FALSE(rig.machine.GetRecordView().hasTask);
        }
        else
        {
            EXPECT_TRUE(rig.replies.Take().empty());
            EXPECT_TRUE(rig.machine.GetRecordView().hasTask);
        }
    }
}

// The pool is asked for 1.5 x the announced size, at least 100 MiB: 2 GiB
// asks for 3 GiB, the largest accepted size for 0xFFC00000, a small image
// for 100 MiB.
TEST(ImageTransferMachineTest, TheBufferRequestIsOneAndAHalfTimesTheSizeAtLeast100MiB)
{
    for (const auto& [maxSize, request] : std::vector<std::pair<std::uint64_t, std::uint32_t>>{
             {0x80000000ULL, 0xC0000000u}, {0xAA800000ULL, 0xFFC00000u}, {4096, 100 * kMiB}})
    {
        auto allocator = std::make_shared<SizeRecordingAllocator>();
        Rig rig(allocator);
        rig.Enable();
        ASSERT_EQ(rig.Feed(DataBegin(6, maxSize)), true);
        ASSERT_TRUE(rig.machine.AttachBuffer({}));
        EXPECT_EQ(allocator->sizes, std::vector<std::uint32_t>{request}) << "announced " << maxSize;
        EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{BeginAck(6)}));
        // Nothing is written: the transfer ends here.
        EXPECT_EQ(rig.Feed(DataAbort(6)), true);
    }
}

// A whole image: blocks written where the record says (a seek back rewrites
// the start), the end size checked against the highest byte written, the
// package queued with the buffer itself, the DataEndAck after it, and the
// progress task started, advanced and completed on the delivery steps.
TEST(ImageTransferMachineTest, AnImageArrivesInItsPoolBufferWithItsProgress)
{
    Rig rig;
    std::vector<std::pair<std::uint64_t, bool>> progress; // position, completed
    std::vector<std::wstring> names;
    rig.machine.GetTransferProvider().SetProgressCallback(
        [&](const Q7::Universal::ProgressTask& task)
        {
            progress.emplace_back(task.GetPosition(), task.IsCompleted());
            names.push_back(task.GetInfo().name.c_str());
            EXPECT_EQ(task.GetType(), ImageTransferMachine::kTaskType);
            EXPECT_STREQ(task.GetInfo().description.c_str(), L"IMG_0001.JPG");
        });
    const Bytes image = Pattern(3000, 9);
    const auto part = [&](std::size_t from, std::size_t to)
    { return Bytes(image.begin() + from, image.begin() + to); };
    rig.Enable();
    ASSERT_EQ(rig.Feed(DataBegin(5, 3000)), true);
    rig.machine.ServeBegin();
    ASSERT_TRUE(rig.machine.AttachBuffer({}));
    EXPECT_EQ(rig.machine.GetRecordView().bufferSize, 100 * kMiB);

    Bytes garbage(1000, 0xEE);
    ASSERT_EQ(rig.Feed(DataBlock(5, garbage)), true);
    ASSERT_EQ(rig.Feed(DataBlock(5, part(1000, 2000))), true);
    rig.machine.ServeBlockRead();
    ASSERT_EQ(rig.Feed(DataSeek(5, 0)), true);
    ASSERT_EQ(rig.Feed(DataBlock(5, part(0, 1000))), true);
    ASSERT_EQ(rig.Feed(DataSeek(5, 2000)), true);
    ASSERT_EQ(rig.Feed(DataBlock(5, part(2000, 3000))), true);
    rig.machine.ServeBlockRead();
    EXPECT_EQ(rig.machine.GetRecordView().receivedSize, 3000u);
    ASSERT_EQ(rig.Feed(DataEnd(5, 3000)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_End);
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{BeginAck(5), EndAck(5)}));
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Idle);
    EXPECT_EQ(rig.machine.GetTransferStatus().pendingCount, 1u);

    ImageReceivePackage package(rig.pool);
    ASSERT_TRUE(rig.queue.Pop(package, {}));
    EXPECT_EQ(package.imageId, 5u);
    EXPECT_EQ(package.fileName, "IMG_0001.JPG");
    ASSERT_EQ(package.size, 3000u);
    EXPECT_EQ(Bytes(package.buffer.GetData(), package.buffer.GetData() + package.size), image);

    rig.machine.ServeDone();
    ASSERT_GE(progress.size(), 3u);
    EXPECT_EQ(progress.front(), (std::pair<std::uint64_t, bool>{0, false}));
    EXPECT_EQ(progress.back(), (std::pair<std::uint64_t, bool>{3000, true}));
    EXPECT_EQ(names.front(), L"Image transfer");
    // Delivered: no longer pending here.
    rig.machine.CountDelivered();
    EXPECT_EQ(rig.machine.GetTransferStatus().pendingCount, 0u);
}

// While the control thread waits for the pool (paused allocator), the camera
// aborts and announces a larger image. The buffer sized for the first must
// not serve the second (a block past its end would overrun the heap): it goes
// back and a buffer for the new size is attached.
TEST(ImageTransferMachineTest, ABufferSizedForAnAbortedTransferIsNotAttachedToTheNext)
{
    auto allocator = std::make_shared<TestAllocator>();
    Rig rig(allocator);
    rig.Enable();
    ASSERT_EQ(rig.Feed(DataBegin(1, 4096)), true);
    allocator->Pause(true);
    std::future<bool> attached = std::async(std::launch::async, [&] { return rig.machine.AttachBuffer({}); });
    ASSERT_TRUE(allocator->WaitForWaitingAllocation());

    constexpr std::uint32_t kLarger = 0x7000000; // 112 MiB: its buffer is 168 MiB
    ASSERT_EQ(rig.Feed(DataAbort(1)), true);
    ASSERT_EQ(rig.Feed(DataBegin(2, kLarger)), true);
    allocator->Pause(false);
    ASSERT_EQ(attached.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(attached.get());
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Begin);
    EXPECT_EQ(rig.machine.GetRecordView().bufferSize, 0u);
    EXPECT_TRUE(rig.replies.Take().empty());

    ASSERT_TRUE(rig.machine.AttachBuffer({}));
    EXPECT_GE(rig.machine.GetRecordView().bufferSize, kLarger);
    EXPECT_EQ(allocator->Sizes(), (std::vector<std::uint32_t>{100 * kMiB, kLarger + kLarger / 2}));
    // A block beyond the first buffer's end lands in the new one.
    const Bytes tail = Pattern(4096, 5);
    ASSERT_EQ(rig.Feed(DataSeek(2, kLarger - tail.size())), true);
    ASSERT_EQ(rig.Feed(DataBlock(2, tail)), true);
    ASSERT_EQ(rig.Feed(DataEnd(2, kLarger)), true);
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    ImageReceivePackage package(rig.pool);
    ASSERT_TRUE(rig.queue.Pop(package, {}));
    EXPECT_EQ(package.imageId, 2u);
    ASSERT_EQ(package.size, kLarger);
    EXPECT_EQ(Bytes(package.buffer.GetData() + kLarger - tail.size(), package.buffer.GetData() + kLarger),
              tail);
}

// The camera's status notifies only what changed; a reset of the channels
// forgets it (and notifies when it was not zero).
TEST(ImageTransferMachineTest, TheStatusNotifiesChangesOnly)
{
    Rig rig;
    auto& changed = rig.machine.GetStatusChangedEvent();
    ASSERT_EQ(rig.Feed(Status(0, 0, 0)), true);
    EXPECT_FALSE(changed.IsSet());
    ASSERT_EQ(rig.Feed(Status(2, 512, 1)), true);
    EXPECT_TRUE(changed.IsSet());
    EXPECT_EQ(rig.machine.GetTransferStatus(), (TransferStatus{1, 512, 2}));
    EXPECT_EQ(rig.machine.GetCameraStorageSize(), 512u);
    changed.Reset();
    ASSERT_EQ(rig.Feed(Status(2, 512, 1)), true);
    EXPECT_FALSE(changed.IsSet());
    rig.machine.ResetTransferStatus();
    EXPECT_TRUE(changed.IsSet());
    EXPECT_EQ(rig.machine.GetTransferStatus(), (TransferStatus{0, 0, 0}));
    changed.Reset();
    rig.machine.ResetTransferStatus();
    EXPECT_FALSE(changed.IsSet());
}

// Image-request replies are taken oldest first whatever image they name: a
// late reply answers the next request; without a reply the wait ends false.
TEST(ImageTransferMachineTest, ImageRequestRepliesAreTakenOldestFirst)
{
    Rig rig;
    EXPECT_FALSE(rig.machine.TakeImageRequestReply(0));
    ASSERT_EQ(rig.Feed(RequestReply(11, 1)), true);
    ASSERT_EQ(rig.Feed(RequestReply(12, 0)), true);
    EXPECT_TRUE(rig.machine.TakeImageRequestReply(0));  // 11's, accepted
    EXPECT_FALSE(rig.machine.TakeImageRequestReply(0)); // 12's, refused
    EXPECT_FALSE(rig.machine.TakeImageRequestReply(0)); // none
}

// The receive thread makes and drops tasks while the delivery thread starts,
// advances and ends them: no task is used after it was deleted, none is
// written by both (AddressSanitizer and ThreadSanitizer watch), and the
// callback never runs under the machine's lock (another thread can read the
// state meanwhile).
TEST(ImageTransferMachineTest, TasksAreSharedSafelyWithTheDeliveryThread)
{
    Rig rig;
    std::atomic<int> notifications{0};
    std::atomic<bool> blocked{false};
    rig.machine.GetTransferProvider().SetProgressCallback(
        [&](const Q7::Universal::ProgressTask& task)
        {
            (void)task.GetPercent();
            ++notifications;
            auto state = std::async(std::launch::async, [&] { return rig.machine.GetDataState(false); });
            if (state.wait_for(2s) != std::future_status::ready)
                blocked = true;
        });
    rig.Enable();
    std::atomic<bool> done{false};
    std::thread delivery(
        [&]
        {
            Q7::Platform::BaseWaitObject* const objects[] = {
                &rig.machine.GetBlockReadEvent(), &rig.machine.GetBeginEvent(), &rig.machine.GetDoneEvent()};
            while (!done)
            {
                std::uint32_t index = Q7::Platform::kNoSignalledIndex;
                if (!Q7::Platform::WaitForObjects(&index, 3, objects, false, 10))
                    continue;
                if (index == 0)
                    rig.machine.ServeBlockRead();
                else if (index == 1)
                    rig.machine.ServeBegin();
                else
                    rig.machine.ServeDone();
            }
        });
    const Bytes block = Pattern(0x40000, 1);
    for (std::uint32_t id = 1; id <= 40; ++id)
    {
        ASSERT_EQ(rig.Feed(DataBegin(id, 0x80000)), true);
        ASSERT_TRUE(rig.machine.AttachBuffer({}));
        ASSERT_EQ(rig.Feed(DataBlock(id, block)), true);
        if (id % 2 == 0)
        {
            ASSERT_EQ(rig.Feed(DataBlock(id, block)), true);
            ASSERT_EQ(rig.Feed(DataEnd(id, 0x80000)), true);
            ASSERT_TRUE(rig.machine.CompleteTransfer());
            ImageReceivePackage package(rig.pool);
            ASSERT_TRUE(rig.queue.Pop(package, {}));
        }
        else
        {
            ASSERT_EQ(rig.Feed(DataAbort(id)), true);
        }
    }
    done = true;
    delivery.join();
    rig.machine.ServeDone();
    EXPECT_GT(notifications.load(), 0);
    EXPECT_FALSE(blocked.load());
}

// The queue between the control and delivery threads: oldest first, and a
// waiting Pop ends when its stop object is set.
TEST(ImageTransferMachineTest, TheDeliveryQueueIsFifoAndItsWaitEndsOnStop)
{
    BufferPool pool(std::make_shared<Allocator>(), 2, 0x400000, L"test ");
    ImageDeliveryQueue queue;
    for (std::uint32_t id = 1; id <= 3; ++id)
    {
        ImageReceivePackage package(pool);
        package.imageId = id;
        package.fileName = "F" + std::to_string(id);
        queue.Push(package);
    }
    EXPECT_TRUE(queue.GetEvent().IsSet());
    for (std::uint32_t id = 1; id <= 3; ++id)
    {
        ImageReceivePackage package(pool);
        ASSERT_TRUE(queue.Pop(package, {}));
        EXPECT_EQ(package.imageId, id);
        EXPECT_EQ(package.fileName, "F" + std::to_string(id));
    }
    EXPECT_FALSE(queue.GetEvent().IsSet());
    Q7::Platform::EventCondition_Posix stop;
    std::future<bool> popped = std::async(std::launch::async,
                                          [&]
                                          {
                                              ImageReceivePackage package(pool);
                                              return queue.Pop(package, {&stop});
                                          });
    stop.Set();
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(popped.get());
}

} // namespace
