// The receive machine of channel 4 without threads of its own or a camera:
// the camera's protocol faults and their answers, a whole image with a seek
// back into its pool buffer and its progress, the buffer that a DataAbort and
// a larger DataBegin would have left attached, sizes no pool can hold or the
// buffer limit refuses, memory that cannot be had, blocks still in flight on
// one sub-channel when the DataEnd comes on the other, a transfer that goes
// quiet, the camera's status and image-request replies, and the progress task
// shared by the receive and delivery threads.

#include "Agents/ImageTransfer/KPXImageTransferMachine.h"

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

#include "Agents/ImageTransfer/KPXImageTransferMessages.h"
#include "Agents/Programming/KPXProgrammingTransfer.h"
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
    void ReportTransferError(const Q7::Universal::UniversalError& error) override
    {
        const auto* module = dynamic_cast<const Q7::Universal::ModuleError*>(&error);
        {
            std::lock_guard lock(m_mutex);
            m_errors.push_back(module != nullptr ? module->GetFullCode() : 0);
        }
        m_changed.notify_all();
    }
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
    // Waits (10 s at most) until at least `replies` replies and `errors`
    // errors are recorded: a machine tells an abort after its state changed.
    bool WaitFor(std::size_t replies, std::size_t errors)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return m_sent.size() >= replies && m_errors.size() >= errors; });
    }
    // The full codes of the errors reported.
    std::vector<std::uint32_t> TakeErrors()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_errors, {});
    }

private:
    void Add(const Reply& reply)
    {
        {
            std::lock_guard lock(m_mutex);
            m_sent.push_back(reply);
        }
        m_changed.notify_all();
    }

    std::mutex m_mutex; // guards m_sent and m_errors
    std::condition_variable m_changed;
    std::vector<Reply> m_sent;
    std::vector<std::uint32_t> m_errors;
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
    explicit Rig(std::shared_ptr<IAllocator<unsigned char>> allocator = std::make_shared<TestAllocator>(),
                 const ImageTransferMachineTimings& timings = {})
        : pool(std::move(allocator), 2, 0x400000, L"KPX ch4 "),
          machine(replies, pool, queue, owner, ImageTransferVariant::kImageTransfer, timings)
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
    ImageTransferMachine machine;
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
// transfer disabled, a size beyond 32 bits, and a size whose buffer (rounded
// up to 4 MiB) passes the buffer limit (1 GiB by default, at most what a pool
// buffer holds), which would otherwise be asked of the pool. Sizes are
// reported as errors (0x6500CD); a camera that claimed 0xAA800000 bytes made
// the pool allocate 4 GiB before the limit existed.
TEST(ImageTransferMachineTest, BeginsThatCannotBeServedAreAbortedAtOnce)
{
    struct Case
    {
        const char* name;
        bool enabled;
        std::uint64_t limit;
        std::uint64_t maxSize;
        std::uint32_t state;
        std::vector<std::uint32_t> errors;
    };
    constexpr std::uint64_t kDefault = ImageTransferMachine::kDefaultImageBufferLimit;
    const std::vector<Case> cases{
        {"transfer disabled", false, kDefault, 4096, kDataState_Abort, {}},
        {"2^32", true, kDefault, 0x100000000ULL, kDataState_Abort, {0x6500CD}},
        {"a claim of 0xAA800000", true, kDefault, 0xAA800000ULL, kDataState_Abort, {0x6500CD}},
        {"one above the limit", true, kDefault, kDefault + 1, kDataState_Abort, {0x6500CD}},
        {"the limit", true, kDefault, kDefault, kDataState_Begin, {}},
        {"one above a lower limit", true, 16 * kMiB, 16 * kMiB + 1, kDataState_Abort, {0x6500CD}},
        {"one above what a buffer holds", true, 0xFFFFFFFF, 0xFFC00001ULL, kDataState_Abort, {0x6500CD}},
        {"what a buffer holds", true, 0xFFFFFFFF, 0xFFC00000ULL, kDataState_Begin, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.machine.SetBufferLimit(c.limit);
        rig.Enable(c.enabled);
        EXPECT_EQ(rig.Feed(DataBegin(5, c.maxSize)), true);
        EXPECT_EQ(rig.machine.GetDataState(false), c.state);
        EXPECT_EQ(rig.replies.TakeErrors(), c.errors);
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

// The pool is asked for 1.5 x the announced size, at least 100 MiB, at most
// the buffer limit: without a limit 2 GiB asks for 3 GiB and the largest
// accepted size for 0xFFC00000; under the default limit 768 MiB asks for
// 1 GiB; a small image for 100 MiB.
TEST(ImageTransferMachineTest, TheBufferRequestIsOneAndAHalfTimesTheSizeAtLeast100MiB)
{
    struct Case
    {
        std::uint64_t limit;
        std::uint64_t maxSize;
        std::uint32_t request;
    };
    for (const Case& c :
         std::vector<Case>{{0xFFFFFFFF, 0x80000000ULL, 0xC0000000u},
                           {0xFFFFFFFF, 0xAA800000ULL, 0xFFC00000u},
                           {ImageTransferMachine::kDefaultImageBufferLimit, 0x30000000ULL, 0x40000000u},
                           {ImageTransferMachine::kDefaultImageBufferLimit, 4096, 100 * kMiB}})
    {
        const std::uint64_t maxSize = c.maxSize;
        const std::uint32_t request = c.request;
        auto allocator = std::make_shared<SizeRecordingAllocator>();
        Rig rig(allocator);
        rig.machine.SetBufferLimit(c.limit);
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

// ---------------------------------------------------------------------------
// Blocks in flight, a DataEnd on the other sub-channel, quiet transfers,
// memory that cannot be had.

// A message whose bytes after its common header stop at `gateAt` until the
// test opens the gate: a block still on its way on one sub-channel while the
// other sub-channel's receive thread goes on. Thread-safe.
class GatedSource final : public MessageSource
{
public:
    GatedSource(const Bytes& message, std::size_t gateAt)
        : m_message(message), m_source(std::span(m_message).subspan(kCommonMessageHeaderSize)),
          m_gateAt(gateAt)
    {
    }

    std::uint32_t Read(std::span<std::uint8_t> destination) override
    {
        if (m_read + destination.size() > m_gateAt)
        {
            std::unique_lock lock(m_mutex);
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
        }
        m_read += destination.size();
        return m_source.Read(destination);
    }
    std::uint32_t Skip(std::uint64_t count) override
    {
        m_read += count;
        return m_source.Skip(count);
    }

    bool WaitUntilHeld()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_held; });
    }
    void Open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }

private:
    const Bytes m_message;
    BufferMessageSource m_source;
    const std::size_t m_gateAt;
    std::size_t m_read = 0;

    std::mutex m_mutex; // guards the two below
    std::condition_variable m_changed;
    bool m_held = false;
    bool m_open = false;
};

// A DataBlock handled on a thread of its own whose data stops at the gate:
// its header is read, its bytes are not yet in.
class BlockInFlight
{
public:
    BlockInFlight(ImageTransferMachine& machine, const Bytes& block)
        : m_source(block, DataBlockMessage::kEncodedSize - kCommonMessageHeaderSize),
          m_handled(std::async(std::launch::async, [&machine, header = *DecodeMessageHeader(block), this]
                               { return machine.HandleMessage(header, m_source); }))
    {
    }
    ~BlockInFlight()
    {
        m_source.Open();
        if (m_handled.valid())
            m_handled.wait();
    }

    bool WaitUntilHeld() { return m_source.WaitUntilHeld(); }
    // Lets the bytes in; the handler's result.
    bool Land()
    {
        m_source.Open();
        EXPECT_EQ(m_handled.wait_for(10s), std::future_status::ready);
        return m_handled.get();
    }

private:
    GatedSource m_source;
    std::future<bool> m_handled;
};

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes all(a);
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

// The package queued for delivery, its bytes copied.
Bytes TakeDelivered(Rig& rig)
{
    ImageReceivePackage package(rig.pool);
    EXPECT_TRUE(rig.queue.Pop(package, {}));
    return Bytes(package.buffer.GetData(), package.buffer.GetData() + package.size);
}

// Fault: the camera sends the last block on 4.2 and the DataEnd on 4.1; the
// DataEnd was judged while the block was still being read (its size not yet
// counted) and a good image refused with DataError 0x2000006. The DataEnd
// now waits for the block; the image is handed over once its bytes are in.
TEST(ImageTransferMachineTest, TheEndWaitsForABlockStillInFlightOnTheOtherSubChannel)
{
    Rig rig;
    const Bytes first = Pattern(1000, 1);
    const Bytes last = Pattern(1000, 2);
    ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, 2000, 0));
    ASSERT_EQ(rig.Feed(DataBlock(kId, first)), true);
    BlockInFlight block(rig.machine, DataBlock(kId, last));
    ASSERT_TRUE(block.WaitUntilHeld());
    EXPECT_EQ(rig.machine.GetRecordView().blocksInFlight, 1u);

    ASSERT_EQ(rig.Feed(DataEnd(kId, 2000)), true);
    EXPECT_TRUE(rig.replies.Take().empty());
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Transfer);
    EXPECT_TRUE(rig.machine.GetRecordView().endPending);
    EXPECT_FALSE(rig.machine.CompleteTransfer());

    EXPECT_TRUE(block.Land());
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_End);
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{EndAck(kId)}));
    EXPECT_EQ(TakeDelivered(rig), Concat(first, last));
}

// Fault: as above, but the DataEnd is read before the last block's header
// (the other sub-channel's thread is behind): it announces more than has
// arrived and now waits for the rest instead of refusing the image.
TEST(ImageTransferMachineTest, AnEndAheadOfItsLastBlockWaitsForIt)
{
    Rig rig;
    const Bytes first = Pattern(1000, 3);
    const Bytes last = Pattern(500, 4);
    ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, 2000, 0));
    ASSERT_EQ(rig.Feed(DataBlock(kId, first)), true);
    ASSERT_EQ(rig.Feed(DataEnd(kId, 1500)), true);
    EXPECT_TRUE(rig.replies.Take().empty());
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Transfer);
    ASSERT_EQ(rig.Feed(DataBlock(kId, last)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_End);
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    EXPECT_EQ(TakeDelivered(rig), Concat(first, last));
}

// Fault: the camera seeks back and rewrites block 0 on 4.2 while the DataEnd
// comes on 4.1; the sizes agreed (the highest byte was in), the image was
// handed over half rewritten and its bytes changed under the receiver. Now
// the end waits for the rewrite and the receiver gets the final bytes only.
TEST(ImageTransferMachineTest, ARewriteInFlightIsNotHandedOverUntilItsBytesAreIn)
{
    Rig rig;
    const Bytes image = Pattern(2000, 5);
    const Bytes rewrite = Pattern(1000, 6);
    ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, 2000, 0));
    ASSERT_EQ(rig.Feed(DataBlock(kId, Bytes(image.begin(), image.begin() + 1000))), true);
    ASSERT_EQ(rig.Feed(DataBlock(kId, Bytes(image.begin() + 1000, image.end()))), true);
    ASSERT_EQ(rig.Feed(DataSeek(kId, 0)), true);
    BlockInFlight block(rig.machine, DataBlock(kId, rewrite));
    ASSERT_TRUE(block.WaitUntilHeld());

    ASSERT_EQ(rig.Feed(DataEnd(kId, 2000)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Transfer);
    EXPECT_FALSE(rig.machine.CompleteTransfer()) << "handed over while block 0 is being rewritten";
    EXPECT_EQ(rig.queue.GetCount(), 0u);

    EXPECT_TRUE(block.Land());
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    EXPECT_EQ(TakeDelivered(rig), Concat(rewrite, Bytes(image.begin() + 1000, image.end())));
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{EndAck(kId)}));
}

// Two blocks whose headers are read before either's bytes (one per
// sub-channel) take consecutive places, and a seek meanwhile moves only where
// the next block goes.
TEST(ImageTransferMachineTest, BlocksInFlightKeepThePlacesTheyTook)
{
    Rig rig;
    const Bytes a = Pattern(700, 7);
    const Bytes b = Pattern(300, 8);
    ASSERT_NO_FATAL_FAILURE(rig.StartTransfer(kId, 1000, 0));
    BlockInFlight first(rig.machine, DataBlock(kId, a));
    ASSERT_TRUE(first.WaitUntilHeld());
    BlockInFlight second(rig.machine, DataBlock(kId, b));
    ASSERT_TRUE(second.WaitUntilHeld());
    EXPECT_EQ(rig.machine.GetRecordView().blocksInFlight, 2u);
    EXPECT_EQ(rig.machine.GetRecordView().position, 1000u);
    EXPECT_TRUE(second.Land());
    ASSERT_EQ(rig.Feed(DataEnd(kId, 1000)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Transfer); // the first is still in flight
    EXPECT_TRUE(first.Land());
    ASSERT_TRUE(rig.machine.CompleteTransfer());
    EXPECT_EQ(TakeDelivered(rig), Concat(a, b));
}

// The control thread's part, on a thread of the test's: serves the rig's
// transfers until destroyed.
class ControlThread
{
public:
    explicit ControlThread(Rig& rig) : m_thread([&rig, this] { rig.machine.ServeTransfers({&m_stop}); }) {}
    ~ControlThread()
    {
        m_stop.Set();
        m_thread.join();
    }

private:
    Q7::Platform::EventCondition_Posix m_stop;
    std::thread m_thread;
};

// Waits up to 10 s until the machine's state is `state`.
bool WaitForState(Rig& rig, std::uint32_t state)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (rig.machine.GetDataState(true) != state)
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Q7::Platform::WaitForObject(&rig.machine.GetStateChangedEvent(), 100);
    }
    return true;
}

// Fault: a DataEnd announcing more than the camera ever sends must not hold
// the transfer for ever: after the end wait with no block it is refused with
// DataError 0x2000006 and DataAbort, as a differing size always was.
TEST(ImageTransferMachineTest, AnEndThatItsBlocksNeverReachIsRefusedAfterTheEndWait)
{
    ImageTransferMachineTimings timings;
    timings.endWaitMs = 1000;
    Rig rig(std::make_shared<TestAllocator>(), timings);
    ControlThread control(rig);
    rig.Enable();
    ASSERT_EQ(rig.Feed(DataBegin(kId, 2000)), true);
    ASSERT_TRUE(WaitForState(rig, kDataState_Transfer));
    ASSERT_EQ(rig.Feed(DataBlock(kId, Pattern(1000, 9))), true);
    ASSERT_EQ(rig.Feed(DataEnd(kId, 1001)), true);
    EXPECT_TRUE(rig.machine.GetRecordView().endPending);
    ASSERT_TRUE(WaitForState(rig, kDataState_Abort));
    ASSERT_TRUE(rig.replies.WaitFor(3, 0));
    EXPECT_EQ(
        rig.replies.Take(),
        (std::vector<Reply>{BeginAck(kId), Error(kId, 0x2000006, kDataTransferMessage_DataEnd), Abort(kId)}));
    EXPECT_EQ(rig.queue.GetCount(), 0u);
}

// Fault: a camera that acknowledged nothing more after some blocks, with the
// connection up, held a pool buffer and a running progress task for ever.
// After the inactivity limit the transfer is aborted (DataAbort), its buffer
// goes back to the pool, its task is dropped, the error (0x6500CF) is
// reported, and the camera's next transfer is served.
TEST(ImageTransferMachineTest, ATransferThatGoesQuietIsAbortedAndItsBufferFreed)
{
    ImageTransferMachineTimings timings;
    timings.inactivityMs = 200;
    Rig rig(std::make_shared<TestAllocator>(), timings);
    ControlThread control(rig);
    rig.Enable();
    ASSERT_EQ(rig.Feed(DataBegin(1, 4096)), true);
    ASSERT_TRUE(WaitForState(rig, kDataState_Transfer));
    ASSERT_EQ(rig.Feed(DataBlock(1, Pattern(1000, 1))), true);
    ASSERT_TRUE(WaitForState(rig, kDataState_Abort));
    ASSERT_TRUE(rig.replies.WaitFor(2, 1));
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{BeginAck(1), Abort(1)}));
    EXPECT_EQ(rig.replies.TakeErrors(), (std::vector<std::uint32_t>{0x6500CF}));
    const ImageTransferRecordView view = rig.machine.GetRecordView();
    EXPECT_EQ(view.bufferSize, 0u);
    EXPECT_FALSE(view.hasTask);
    {
        // Both pool buffers are free again.
        BufferPtr a = rig.pool.GetBuffer(1, nullptr);
        auto b = std::async(std::launch::async, [&] { return rig.pool.GetBuffer(1, nullptr); });
        ASSERT_EQ(b.wait_for(5s), std::future_status::ready);
        EXPECT_FALSE(b.get().IsEmpty());
    }
    // Late blocks of the aborted transfer are read away; the next transfer works.
    ASSERT_EQ(rig.Feed(DataBlock(1, Pattern(10, 1))), true);
    const Bytes image = Pattern(3000, 2);
    ASSERT_EQ(rig.Feed(DataBegin(2, 3000)), true);
    ASSERT_TRUE(WaitForState(rig, kDataState_Transfer));
    ASSERT_EQ(rig.Feed(DataBlock(2, image)), true);
    ASSERT_EQ(rig.Feed(DataEnd(2, 3000)), true);
    ASSERT_TRUE(Q7::Platform::WaitForObject(&rig.queue.GetEvent(), 10000));
    ImageReceivePackage package(rig.pool);
    ASSERT_TRUE(rig.queue.Pop(package, {}));
    EXPECT_EQ(Bytes(package.buffer.GetData(), package.buffer.GetData() + package.size), image);
}

// Heap memory that can be made to run out.
class FailingAllocator final : public IAllocator<unsigned char>
{
public:
    unsigned char* allocate(std::uint32_t size) override
    {
        if (fail)
            throw std::bad_alloc();
        return new unsigned char[size];
    }
    void free(unsigned char* p) override { delete[] p; }

    std::atomic<bool> fail{false};
};

// Fault: when the pool could not allocate, the control thread retried every
// second for ever and the image was never acknowledged. Now the DataBegin is
// refused (DataAbort), the error (0x6500C9) reported, nothing is kept for
// the claim, and the next transfer is served.
TEST(ImageTransferMachineTest, MemoryThatCannotBeHadRefusesTheTransferAndTheNextOneWorks)
{
    auto allocator = std::make_shared<FailingAllocator>();
    Rig rig(allocator);
    rig.Enable();
    allocator->fail = true;
    ASSERT_EQ(rig.Feed(DataBegin(1, 4096)), true);
    Q7::Platform::EventCondition_Posix giveUp;
    auto attached = std::async(std::launch::async, [&] { return rig.machine.AttachBuffer({&giveUp}); });
    const bool answered = attached.wait_for(5s) == std::future_status::ready;
    giveUp.Set();
    ASSERT_TRUE(answered) << "the control thread still waits for memory";
    EXPECT_FALSE(attached.get());
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Abort);
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{Abort(1)}));
    EXPECT_EQ(rig.replies.TakeErrors(), (std::vector<std::uint32_t>{0x6500C9}));
    EXPECT_FALSE(rig.machine.GetRecordView().hasTask);

    allocator->fail = false;
    ASSERT_EQ(rig.Feed(DataBegin(2, 4096)), true);
    EXPECT_EQ(rig.machine.GetDataState(false), kDataState_Begin);
    ASSERT_TRUE(rig.machine.AttachBuffer({}));
    EXPECT_EQ(rig.replies.Take(), (std::vector<Reply>{BeginAck(2)}));
}

// A live-view frame has a limit of its own, 64 MiB by default.
TEST(ImageTransferMachineTest, ALiveViewFrameAboveItsLimitIsRefused)
{
    RecordingReplies replies;
    BufferPool pool(std::make_shared<SizeRecordingAllocator>(), 2, 0x400000, L"KPX ch5 ");
    ImageDeliveryQueue queue;
    Q7::Universal::ProgressProvider owner;
    ImageTransferMachine machine(replies, pool, queue, owner, ImageTransferVariant::kLiveView);
    EXPECT_EQ(machine.GetBufferLimit(), ImageTransferMachine::kDefaultLiveViewBufferLimit);
    machine.SetTransferEnabledWish(true, [] {});
    for (const auto& [maxSize, state] : std::vector<std::pair<std::uint64_t, std::uint32_t>>{
             {0x4000001, kDataState_Abort}, {0x4000000, kDataState_Begin}})
    {
        const Bytes begin = DataBegin(3, maxSize);
        BufferMessageSource source{std::span(begin).subspan(kCommonMessageHeaderSize)};
        ASSERT_TRUE(machine.HandleMessage(*DecodeMessageHeader(begin), source));
        EXPECT_EQ(machine.GetDataState(false), state) << maxSize;
    }
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
