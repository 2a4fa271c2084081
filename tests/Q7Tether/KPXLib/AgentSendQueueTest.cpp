// The agent bases and the send queue: a small test-only agent over BaseAgent
// with a send thread that runs SendNext, against a scripted camera on an
// in-memory pipe.

#include "Channel/KPXAgent.h"
#include "Channel/KPXSendWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#include "AgentTestSupport.h"
#include "Channel/KPXChannel.h"
#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "MemoryPipePair.h"
#include "Q7PlatformThread_Posix.h"

namespace
{

using namespace std::chrono_literals;
using namespace Q7::KPX;
using KpxTest::Bytes;

constexpr std::uint8_t kChannel = 7;

// A message of `size` bytes whose header says so, filled with `fill`.
Bytes Message(std::uint32_t size, std::uint8_t fill)
{
    Bytes bytes(size, fill);
    ByteWriter writer(bytes);
    CommonMessageHeader header;
    header.messageClass = 0x70;
    header.messageType = fill;
    header.messageHeaderSize = 16;
    header.messageSize = size;
    header.Encode(writer);
    return bytes;
}

// A command that tells when it is deleted.
class TrackedCommand final : public SendMessageCommand
{
public:
    TrackedCommand(Bytes message, std::shared_ptr<int> deletions)
        : SendMessageCommand(std::move(message), Q7::Universal::UniversalString(L"tracked"), kSendNoTimeout),
          m_deletions(std::move(deletions))
    {
    }
    ~TrackedCommand() override { ++*m_deletions; }

private:
    std::shared_ptr<int> m_deletions;
};

std::unique_ptr<SendMessageCommand> Command(Bytes message, const wchar_t* description,
                                            std::uint32_t timeoutMs = kSendNoTimeout)
{
    return std::make_unique<SendMessageCommand>(std::move(message),
                                                Q7::Universal::UniversalString(description), timeoutMs);
}

// ---------------------------------------------------------------------------
// The queue alone.

// An aborted Pop on an empty queue must not block.
TEST(SendMessageQueue, PopOnEmptyQueueWithAbortSetReturnsFalseAtOnce)
{
    SendMessageQueue queue;
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    std::unique_ptr<SendMessageCommand> command;
    EXPECT_FALSE(queue.Pop(command, {&abort}));
    EXPECT_EQ(command, nullptr);
}

TEST(SendMessageQueue, PopsOldestFirstAndTracksEmptiness)
{
    SendMessageQueue queue;
    EXPECT_TRUE(queue.GetEmptyEvent().IsSet());
    queue.Push(Command(Message(16, 1), L"first"));
    queue.Push(Command(Message(16, 2), L"second"));
    EXPECT_FALSE(queue.GetEmptyEvent().IsSet());
    EXPECT_EQ(queue.GetCount(), 2u);

    std::unique_ptr<SendMessageCommand> command;
    ASSERT_TRUE(queue.Pop(command, {}));
    EXPECT_EQ(std::wstring(command->GetDescription().c_str()), L"first");
    EXPECT_FALSE(queue.GetEmptyEvent().IsSet());
    ASSERT_TRUE(queue.Pop(command, {}));
    EXPECT_EQ(std::wstring(command->GetDescription().c_str()), L"second");
    EXPECT_TRUE(queue.GetEmptyEvent().IsSet());
    EXPECT_EQ(queue.GetCount(), 0u);
}

// A Pop waiting on an empty queue wakes for a push from another thread.
TEST(SendMessageQueue, WaitingPopTakesALaterPush)
{
    SendMessageQueue queue;
    Q7::Platform::EventCondition_Posix abort;
    auto popped = std::async(std::launch::async,
                             [&]
                             {
                                 std::unique_ptr<SendMessageCommand> command;
                                 const bool ok = queue.Pop(command, {&abort});
                                 return ok && command != nullptr
                                            ? std::wstring(command->GetDescription().c_str())
                                            : std::wstring();
                             });
    queue.Push(Command(Message(16, 3), L"late"));
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(popped.get(), L"late");
}

// A Pop waiting on an empty queue ends when its abort object is set.
TEST(SendMessageQueue, WaitingPopEndsWhenAborted)
{
    SendMessageQueue queue;
    Q7::Platform::EventCondition_Posix abort;
    auto popped = std::async(std::launch::async,
                             [&]
                             {
                                 std::unique_ptr<SendMessageCommand> command;
                                 return queue.Pop(command, {&abort});
                             });
    EXPECT_EQ(popped.wait_for(50ms), std::future_status::timeout);
    abort.Set();
    ASSERT_EQ(popped.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(popped.get());
}

// Catches a command handed to the send thread while another thread writes one
// itself (two writers at once, or a later command overtaking): the queue
// holds it back until that write ends, and a thread may write itself only
// while nothing is queued or being written.
TEST(SendMessageQueue, NothingLeavesTheQueueWhileAThreadWritesItself)
{
    SendMessageQueue queue;
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    std::unique_ptr<SendMessageCommand> command;

    ASSERT_TRUE(queue.BeginDirectWrite());
    EXPECT_FALSE(queue.BeginDirectWrite()) << "one writer at a time";
    queue.Push(Command(Message(16, 1), L"behind"));
    EXPECT_FALSE(queue.GetDrainedEvent().IsSet());
    EXPECT_FALSE(queue.Pop(command, {&abort})) << "held back while the other write runs";
    queue.EndDirectWrite();
    ASSERT_TRUE(queue.Pop(command, {&abort}));
    EXPECT_EQ(std::wstring(command->GetDescription().c_str()), L"behind");
    EXPECT_FALSE(queue.BeginDirectWrite()) << "the send thread still writes its command";
    queue.FinishCommand();
    EXPECT_TRUE(queue.GetDrainedEvent().IsSet());
    queue.Push(Command(Message(16, 2), L"queued"));
    EXPECT_FALSE(queue.BeginDirectWrite()) << "a queued command goes first";
}

// Commands left in a queue are deleted with it (no leak of their messages).
TEST(SendMessageQueue, DestroyingTheQueueDeletesItsCommands)
{
    auto deletions = std::make_shared<int>(0);
    {
        SendMessageQueue queue;
        queue.Push(std::make_unique<TrackedCommand>(Message(16, 1), deletions));
        queue.Push(std::make_unique<TrackedCommand>(Message(16, 2), deletions));
        EXPECT_EQ(*deletions, 0);
    }
    EXPECT_EQ(*deletions, 2);
}

TEST(SendMessageQueue, ClearDeletesEverythingAndSignalsEmpty)
{
    auto deletions = std::make_shared<int>(0);
    SendMessageQueue queue;
    for (int i = 0; i < 3; ++i)
        queue.Push(std::make_unique<TrackedCommand>(Message(16, 1), deletions));
    queue.Clear();
    EXPECT_EQ(*deletions, 3);
    EXPECT_EQ(queue.GetCount(), 0u);
    EXPECT_TRUE(queue.GetEmptyEvent().IsSet());
    Q7::Platform::EventCondition_Posix abort;
    abort.Set();
    std::unique_ptr<SendMessageCommand> command;
    EXPECT_FALSE(queue.Pop(command, {&abort}));
}

std::unique_ptr<SendMessageCommand> Request(std::uint8_t fill)
{
    auto command = Command(Message(16, fill), L"request");
    command->SetExpectsAnswer();
    return command;
}

// Catches requests piling up at the camera beyond the window (a close then
// waits for the camera to answer them all), and a window that never opens
// again: requests beyond it wait in the queue until an answer comes, a
// direct write beyond it is refused, other commands pass, a clear (the
// channel closed) empties the count, and a camera that answers nothing for
// the stall time gets the next requests all the same.
TEST(SendMessageQueue, AnAnswerWindowHoldsRequestsBeyondItInTheQueue)
{
    SendMessageQueue queue;
    queue.SetAnswerWindow(2, 300);
    Q7::Platform::EventCondition_Posix abort;
    std::unique_ptr<SendMessageCommand> command;
    const auto popNow = [&]
    {
        abort.Set();
        const bool popped = queue.Pop(command, {&abort});
        abort.Reset();
        if (popped)
            queue.FinishCommand();
        return popped;
    };

    for (std::uint8_t i = 1; i <= 3; ++i)
        queue.Push(Request(i));
    EXPECT_TRUE(popNow());
    EXPECT_TRUE(popNow());
    EXPECT_FALSE(popNow()) << "a third request while two are unanswered";
    EXPECT_FALSE(queue.BeginDirectWrite(true)) << "nor may a caller write one itself";
    queue.Answered();
    EXPECT_TRUE(popNow());
    EXPECT_EQ(command->GetMessage()[5], 3u);

    // A command that expects no answer is not held; a direct request counts.
    queue.Push(Command(Message(16, 4), L"plain"));
    EXPECT_TRUE(popNow());
    queue.Answered();
    ASSERT_TRUE(queue.BeginDirectWrite(true));
    queue.EndDirectWrite(true);
    queue.Push(Request(5));
    EXPECT_FALSE(popNow());

    queue.Clear();
    queue.Push(Request(6));
    queue.Push(Request(7));
    EXPECT_TRUE(popNow());
    EXPECT_TRUE(popNow());

    // Nothing answered: after the stall time the next request goes out.
    queue.Push(Request(8));
    auto stalled = std::async(std::launch::async,
                              [&]
                              {
                                  std::unique_ptr<SendMessageCommand> late;
                                  return queue.Pop(late, {&abort}) && late->GetMessage()[5] == 8;
                              });
    ASSERT_EQ(stalled.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(stalled.get());
}

// Catches the commands of a close taken while the send thread still writes
// one (the close's own writes would interleave with it), and an
// acknowledgement lost because the close aborted its write: TakeAllForClose
// takes every queued command at once, waits for the one in flight, and puts
// what that one gave back (PushFront) in front.
TEST(SendMessageQueue, TakeAllForCloseWaitsForTheCommandInFlightAndKeepsItsOrder)
{
    SendMessageQueue queue;
    auto ack = Command(Message(16, 1), L"ack");
    ack->SetGoesOutBeforeClose();
    queue.Push(std::move(ack));
    queue.Push(Command(Message(16, 2), L"queued"));
    std::unique_ptr<SendMessageCommand> inFlight;
    ASSERT_TRUE(queue.Pop(inFlight, {}));

    auto taken = std::async(std::launch::async, [&] { return queue.TakeAllForClose(5000); });
    EXPECT_EQ(taken.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(queue.GetCount(), 0u) << "taken before the wait";
    queue.PushFront(std::move(inFlight)); // its write was aborted before it began
    queue.FinishCommand();
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    const auto commands = taken.get();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_TRUE(commands[0]->GoesOutBeforeClose());
    EXPECT_EQ(std::wstring(commands[1]->GetDescription().c_str()), L"queued");
}

TEST(SendMessageQueue, EnableEventsIsQueuedWithItsBytesAndDescription)
{
    SendMessageQueue queue;
    EnableEvents(queue, {1, 0}, 1);
    std::unique_ptr<SendMessageCommand> command;
    ASSERT_TRUE(queue.Pop(command, {}));
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x01, 0x01, 0x14, 0x00, 0x14, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(command->GetMessage(), expected);
    EXPECT_EQ(std::wstring(command->GetDescription().c_str()), L"EnableEvents (1)");
    EXPECT_EQ(command->GetTimeout(), 0xFFFFFFFFu);
}

TEST(SendMessageQueue, CommonErrorAnswersTheOffendingMessage)
{
    SendMessageQueue queue;
    CommonMessageHeader offending;
    offending.messageClass = 0x66;
    offending.messageType = 0x03;
    CommonError(queue, 0x05000007, offending, {2, 0});
    std::unique_ptr<SendMessageCommand> command;
    ASSERT_TRUE(queue.Pop(command, {}));
    const Bytes expected = {0x11, 0x22, 0x33, 0x44, 0x01, 0xFF, 0x1C, 0x00, 0x1C, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x05,
                            0x66, 0x03, 0x00, 0x00, 0x00, 0x00, 0x1C, 0x00};
    EXPECT_EQ(command->GetMessage(), expected);
    EXPECT_EQ(std::wstring(command->GetDescription().c_str()), L"CommonError (error=5:7)");
    EXPECT_EQ(command->GetTimeout(), 0xFFFFFFFFu);
}

// A camera that floods the host with messages it cannot take, and reads none
// of the answers: the error replies waiting stay bounded, the ones beyond are
// counted and logged once, a request still queues, and an error reply that
// left the queue frees its place. Fault caught: the queue growing without
// limit (about 233 bytes per 16-byte message of the camera).
TEST(SendMessageQueue, ErrorRepliesBeyondTheBoundAreDroppedAndCounted)
{
    KpxTest::LogCapture log;
    SendMessageQueue queue;
    CommonMessageHeader offending;
    offending.messageClass = 0x66;
    offending.messageType = 0x7E;
    constexpr std::size_t kFlood = 10000;
    for (std::size_t i = 0; i < kFlood; ++i)
        CommonError(queue, 0x01000001, offending, {1, 0});
    EXPECT_EQ(queue.GetCount(), kMaxQueuedErrorReplies);
    EXPECT_EQ(queue.GetDroppedErrorReplies(), kFlood - kMaxQueuedErrorReplies);
    EXPECT_EQ(log.Count(L"error replies wait for the camera; dropping more"), 1u);

    queue.Push(Command(Message(16, 1), L"request"));
    EXPECT_EQ(queue.GetCount(), kMaxQueuedErrorReplies + 1);
    std::unique_ptr<SendMessageCommand> command;
    ASSERT_TRUE(queue.Pop(command, {}));
    queue.FinishCommand();
    CommonError(queue, 0x01000001, offending, {1, 0});
    EXPECT_EQ(queue.GetCount(), kMaxQueuedErrorReplies + 1);
    EXPECT_EQ(queue.GetDroppedErrorReplies(), kFlood - kMaxQueuedErrorReplies);
}

TEST(SendMessageQueue, CommonMessagesRefuseVersionsBelowOne)
{
    SendMessageQueue queue;
    EXPECT_EQ(KpxTest::RaisedCode([&] { EnableEvents(queue, {0, 9}, 1); }), 0x15E001Du);
    EXPECT_EQ(KpxTest::RaisedCode([&] { CommonError(queue, 1, CommonMessageHeader{}, {0, 0}); }), 0x15E001Du);
    EXPECT_EQ(queue.GetCount(), 0u);
}

// ---------------------------------------------------------------------------
// The send window alone.

// A message of `size` bytes (see Message) built in a buffer of the window.
SendWindow::Buffer WindowMessage(SendWindow& window, std::uint32_t size, std::uint8_t fill)
{
    std::optional<SendWindow::Buffer> buffer = window.TryTake(size);
    EXPECT_TRUE(buffer.has_value());
    const Bytes message = Message(size, fill);
    std::copy(message.begin(), message.end(), buffer->Bytes().begin());
    return std::move(*buffer);
}

// Catches a window that lets more buffers out than its size, or that takes
// fresh memory for every block instead of reusing a buffer that came back.
TEST(SendWindow, HandsOutAtMostItsBuffersAndReusesTheirMemory)
{
    const std::shared_ptr<SendWindow> window = SendWindow::Create(2);
    std::optional<SendWindow::Buffer> first = window->TryTake(100);
    std::optional<SendWindow::Buffer> second = window->TryTake(50);
    ASSERT_TRUE(first && second);
    EXPECT_GE(first->Bytes().size(), 100u);
    EXPECT_FALSE(window->TryTake(10).has_value());
    EXPECT_EQ(window->GetOutstanding(), 2u);

    const std::uint8_t* memory = first->Bytes().data();
    window->GetChangedEvent().Reset();
    first.reset();
    EXPECT_TRUE(window->GetChangedEvent().IsSet());
    EXPECT_EQ(window->GetOutstanding(), 1u);
    std::optional<SendWindow::Buffer> again = window->TryTake(80);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->Bytes().data(), memory) << "a buffer large enough is reused";

    // A buffer too small for what is asked grows.
    again.reset();
    std::optional<SendWindow::Buffer> larger = window->TryTake(1000);
    ASSERT_TRUE(larger);
    EXPECT_GE(larger->Bytes().size(), 1000u);
}

// Catches buffers lost with the commands of a cleared queue (the window would
// shrink for good).
TEST(SendWindow, AClearedQueueGivesItsBuffersBack)
{
    const std::shared_ptr<SendWindow> window = SendWindow::Create(2);
    SendMessageQueue queue;
    queue.Push(window->MakeCommand(WindowMessage(*window, 40, 1), 24, Q7::Universal::UniversalString(L"a")));
    queue.Push(window->MakeCommand(WindowMessage(*window, 40, 2), 24, Q7::Universal::UniversalString(L"b")));
    EXPECT_EQ(window->GetOutstanding(), 2u);
    EXPECT_FALSE(window->TryTake(40).has_value());
    queue.Clear();
    EXPECT_EQ(window->GetOutstanding(), 0u);
    EXPECT_EQ(window->GetWrittenBytes(), 0u) << "dropped blocks were not written";
    EXPECT_TRUE(window->TryTake(40).has_value());
}

// ---------------------------------------------------------------------------
// A test-only agent with a send thread.

class SendingAgent final : public BaseAgent
{
public:
    explicit SendingAgent(ChannelTransport& transport)
        : BaseAgent(kChannel, 0, transport), m_sendThread(L"KPX test send")
    {
        m_channel.AddClientMajorVersion({1, 0});
        m_channel.SetClientMajorVersions({1, 1});
        m_channel.Start();
    }
    ~SendingAgent() override { StopSending(); }

    void StartSending()
    {
        m_done.Reset();
        m_sendThread.Start(Q7::Platform::ThreadFunctor(this, &SendingAgent::SendBody), nullptr,
                           Q7::Platform::kInfinite);
    }
    // Stops the send thread; true when it ended within 5 s.
    bool StopSending()
    {
        const bool stopped = m_sendThread.Stop(5000);
        m_sendThread.Close();
        return stopped;
    }
    // Waits for SendNext to return; its result, or -1 when it did not.
    std::int64_t WaitSendResult(std::uint32_t timeoutMs = 5000)
    {
        if (!Q7::Platform::WaitForObject(&m_done, timeoutMs))
            return -1;
        return m_result.load();
    }

    SendMessageQueue& Queue() { return m_queue; }
    Q7::Platform::EventCondition_Posix& ExtraAbort() { return m_extraAbort; }

private:
    void SendBody(Q7::Platform::Thread_Posix& thread, void*)
    {
        thread.GetReadyEvent().Set();
        const WaitObjectList abortObjects = {&thread.GetStopEvent(), &m_extraAbort};
        m_result = SendNext(m_queue, m_channel, abortObjects, L"KPX ch7 ");
        m_done.Set();
    }

    SendMessageQueue m_queue;
    Q7::Platform::EventCondition_Posix m_extraAbort;
    Q7::Platform::EventCondition_Posix m_done;
    std::atomic<std::uint32_t> m_result{0xFFFFFFFFu};
    Q7::Platform::Thread_Posix m_sendThread;
};

class AgentSendLoop : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(m_transport.Start(), 0u);
        m_agent = std::make_unique<SendingAgent>(m_transport);
    }
    void TearDown() override { m_agent.reset(); }

    // Opens the agent's channel; the camera allows payloads of maxPayload bytes.
    void Open(std::uint16_t maxPayload = 0xFFFF)
    {
        KpxTest::OpenReplyFields fields;
        fields.maxPayloadLength = maxPayload;
        m_camera.SetOpenReply(fields);
        ASSERT_EQ(m_agent->GetChannel().Open(), 0);
    }

    KpxTest::MemoryDevice m_device;
    ChannelTransport m_transport{m_device, Transport::kDefaultPipeId};
    KpxTest::ScriptedCamera m_camera{m_device.Link()};
    std::unique_ptr<SendingAgent> m_agent;
};

// Commands queued before the send thread starts go out in push order.
TEST_F(AgentSendLoop, CommandsAreWrittenInPushOrder)
{
    Open();
    const Bytes first = Message(40, 1), second = Message(300, 2), third = Message(16, 3);
    m_agent->Queue().Push(Command(first, L"first"));
    m_agent->Queue().Push(Command(second, L"second"));
    m_agent->Queue().Push(Command(third, L"third"));
    m_agent->StartSending();

    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 356));
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(m_camera.Received(kChannel, 0), expected);
    EXPECT_TRUE(m_agent->Queue().GetEmptyEvent().IsSet());
    EXPECT_TRUE(m_agent->StopSending());
    EXPECT_EQ(m_agent->WaitSendResult(), 1);
}

// Catches a drain signalled when the last command is taken rather than when it
// is written: each command sees the queue not drained while it is written,
// and drained comes once the camera can have every byte.
TEST_F(AgentSendLoop, DrainedComesAfterTheLastCommandIsWritten)
{
    Open();
    struct Seen
    {
        bool empty;
        bool drained;
    };
    class WatchingCommand final : public SendMessageCommand
    {
    public:
        WatchingCommand(Bytes message, SendMessageQueue& queue, std::vector<Seen>& seen)
            : SendMessageCommand(std::move(message), Q7::Universal::UniversalString(L"watching"),
                                 kSendNoTimeout),
              m_queue(queue), m_seen(seen)
        {
        }
        void OnWritten() noexcept override
        {
            m_seen.push_back({m_queue.GetEmptyEvent().IsSet(), m_queue.GetDrainedEvent().IsSet()});
        }

    private:
        SendMessageQueue& m_queue;
        std::vector<Seen>& m_seen;
    };
    std::vector<Seen> seen; // written on the send thread, read once drained
    SendMessageQueue& queue = m_agent->Queue();
    EXPECT_TRUE(queue.GetDrainedEvent().IsSet());
    queue.Push(std::make_unique<WatchingCommand>(Message(3000, 1), queue, seen));
    queue.Push(std::make_unique<WatchingCommand>(Message(5000, 2), queue, seen));
    EXPECT_FALSE(queue.GetDrainedEvent().IsSet());
    m_agent->StartSending();

    ASSERT_TRUE(Q7::Platform::WaitForObject(&queue.GetDrainedEvent(), 5000));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[0].drained);
    EXPECT_TRUE(seen[1].empty) << "the last command was taken";
    EXPECT_FALSE(seen[1].drained) << "but not yet done";
    EXPECT_TRUE(m_camera.WaitReceived(kChannel, 0, 8000));
}

// Catches progress counted when a block is queued rather than written, and
// blocks of an earlier transfer counted in the next one.
TEST_F(AgentSendLoop, AWindowCountsTheBytesWrittenOfItsCurrentTransfer)
{
    Open();
    const std::shared_ptr<SendWindow> window = SendWindow::Create(4);
    window->BeginTransfer();
    m_agent->Queue().Push(
        window->MakeCommand(WindowMessage(*window, 100, 1), 64, Q7::Universal::UniversalString(L"a")));
    window->BeginTransfer();
    m_agent->Queue().Push(
        window->MakeCommand(WindowMessage(*window, 60, 2), 32, Q7::Universal::UniversalString(L"b")));
    EXPECT_EQ(window->GetWrittenBytes(), 0u) << "queued is not written";
    m_agent->StartSending();

    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 160));
    ASSERT_TRUE(Q7::Platform::WaitForObject(&m_agent->Queue().GetDrainedEvent(), 5000));
    EXPECT_EQ(window->GetWrittenBytes(), 32u);
    EXPECT_EQ(window->GetOutstanding(), 0u);
    EXPECT_EQ(m_camera.Received(kChannel, 0).size(), 160u) << "each message's messageSize bytes only";
}

// Only the message's own messageSize bytes are written, not the whole buffer.
TEST_F(AgentSendLoop, WritesTheMessageSizeBytesOnly)
{
    Open();
    Bytes padded = Message(20, 4);
    padded.resize(64, 0xEE);
    m_agent->Queue().Push(Command(padded, L"padded"));
    m_agent->Queue().Push(Command(Message(16, 5), L"next"));
    m_agent->StartSending();
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 36));
    const Bytes received = m_camera.Received(kChannel, 0);
    EXPECT_EQ(received.size(), 36u);
    EXPECT_EQ(Bytes(received.begin(), received.begin() + 20), Message(20, 4));
}

TEST_F(AgentSendLoop, EmptyDescriptionIsLoggedAsUnknown)
{
    Open();
    KpxTest::LogCapture log;
    m_agent->Queue().Push(Command(Message(16, 1), L""));
    m_agent->Queue().Push(Command(Message(16, 2), L"named"));
    m_agent->StartSending();
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 32));
    EXPECT_EQ(log.Count(L"KPX ch7 sending msg: (unknown)"), 1u);
    EXPECT_EQ(log.Count(L"KPX ch7 sending msg: named"), 1u);
}

// A command without a message sends nothing and the loop goes on.
TEST_F(AgentSendLoop, CommandWithoutMessageSendsNothing)
{
    Open();
    m_agent->Queue().Push(Command(Bytes{}, L"nothing"));
    m_agent->Queue().Push(Command(Message(16, 9), L"something"));
    m_agent->StartSending();
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 16));
    EXPECT_EQ(m_camera.Received(kChannel, 0), Message(16, 9));
}

// A write time-out ends the loop with 2; the command behind stays queued.
TEST_F(AgentSendLoop, WriteTimeoutStopsTheLoopAndLeavesTheRestQueued)
{
    Open(240); // a pipe write carries at most 16 packets of 240 bytes
    constexpr std::size_t kOneWrite = Q7::KPX::kMaxPacketsPerWrite * 240;
    KpxTest::LogCapture log;
    m_agent->Queue().Push(Command(Message(100, 1), L"first"));
    // Time-out 0: the time is up after the first pipe write of this message.
    m_agent->Queue().Push(Command(Message(kOneWrite + 500, 2), L"second", 0));
    m_agent->Queue().Push(Command(Message(100, 3), L"third"));
    m_agent->StartSending();

    ASSERT_EQ(m_agent->WaitSendResult(), 2);
    EXPECT_EQ(m_agent->Queue().GetCount(), 1u);
    EXPECT_EQ(log.Count(L"KPX ch7 timeout sending msg: second"), 1u);
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 100 + kOneWrite));
    EXPECT_EQ(m_camera.Received(kChannel, 0).size(), 100u + kOneWrite);

    // The command left behind is the third, and a new loop sends it.
    EXPECT_TRUE(m_agent->StopSending());
    m_agent->StartSending();
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, 100 + kOneWrite + 100));
    const Bytes received = m_camera.Received(kChannel, 0);
    EXPECT_EQ(Bytes(received.end() - 100, received.end()), Message(100, 3));
}

// An abort ends the loop with 1 before anything is written; the commands
// behind the one it held stay queued.
TEST_F(AgentSendLoop, AbortStopsTheLoopAndLeavesTheRestQueued)
{
    Open();
    KpxTest::LogCapture log;
    m_agent->Queue().Push(Command(Message(16, 1), L"first"));
    m_agent->Queue().Push(Command(Message(16, 2), L"second"));
    m_agent->Queue().Push(Command(Message(16, 3), L"third"));
    m_agent->ExtraAbort().Set();
    m_agent->StartSending();

    ASSERT_EQ(m_agent->WaitSendResult(), 1);
    EXPECT_EQ(m_agent->Queue().GetCount(), 2u);
    EXPECT_EQ(log.Count(L"KPX ch7 aborted sending msg: first"), 1u);
    EXPECT_TRUE(m_camera.Received(kChannel, 0).empty());
}

// A send thread waiting on an empty queue must end promptly when stopped.
TEST_F(AgentSendLoop, StopEventEndsALoopWaitingOnAnEmptyQueue)
{
    Open();
    m_agent->StartSending();
    EXPECT_EQ(m_agent->WaitSendResult(50), -1); // still waiting for commands
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(m_agent->StopSending());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(m_agent->WaitSendResult(0), 1);
}

// Writing on a channel that is not open ends the loop with 3.
TEST_F(AgentSendLoop, ClosedChannelEndsTheLoopWithNotOpen)
{
    KpxTest::LogCapture log;
    m_agent->Queue().Push(Command(Message(16, 1), L"first"));
    m_agent->Queue().Push(Command(Message(16, 2), L"second"));
    m_agent->StartSending();
    ASSERT_EQ(m_agent->WaitSendResult(), 3);
    EXPECT_EQ(m_agent->Queue().GetCount(), 1u);
    EXPECT_EQ(log.Count(L"KPX ch7 aborted sending msg: first"), 1u);
}

// Catches a request written by its caller that overtakes one queued before it,
// or that is lost when the channel cannot take it: each pair goes out in
// call order, whichever thread writes it, and a request the channel does not
// take at once (here: not open yet) waits in the queue.
TEST_F(AgentSendLoop, RequestsWrittenByTheirCallersKeepTheCallOrder)
{
    const WaitObjectList aborts{&m_agent->ExtraAbort()};
    EXPECT_FALSE(WriteOrPush(m_agent->Queue(), Command(Message(16, 1), L"early"), m_agent->GetChannel(),
                             aborts, L"KPX ch7 "));
    EXPECT_EQ(m_agent->Queue().GetCount(), 1u) << "queued, not lost";
    Open();
    m_agent->StartSending();
    KpxTest::LogCapture log;
    Bytes expected = Message(16, 1);
    for (std::uint8_t i = 2; i < 40; i += 2)
    {
        const Bytes queued = Message(16 + i, i), direct = Message(20 + i, static_cast<std::uint8_t>(i + 1));
        m_agent->Queue().Push(Command(queued, L"queued"));
        WriteOrPush(m_agent->Queue(), Command(direct, L"direct"), m_agent->GetChannel(), aborts, L"KPX ch7 ");
        expected.insert(expected.end(), queued.begin(), queued.end());
        expected.insert(expected.end(), direct.begin(), direct.end());
    }
    ASSERT_TRUE(m_camera.WaitReceived(kChannel, 0, expected.size()));
    EXPECT_EQ(m_camera.Received(kChannel, 0), expected);
    EXPECT_EQ(log.Count(L"KPX ch7 sending msg: direct"), 19u) << "logged once, whoever wrote it";
    ASSERT_TRUE(m_agent->StopSending());
    // Nothing queued or being written: the caller writes the request itself.
    EXPECT_TRUE(WriteOrPush(m_agent->Queue(), Command(Message(16, 99), L"alone"), m_agent->GetChannel(),
                            aborts, L"KPX ch7 "));
    EXPECT_EQ(m_agent->Queue().GetCount(), 0u);
}

// Fault mended: the channel-list version was stored as negotiated before the
// open check raised, leaving an open channel with a version the camera did
// not choose. Now nothing changes.
TEST_F(AgentSendLoop, SetProtocolVersionOnAnOpenChannelKeepsTheNegotiatedVersion)
{
    Open();
    Channel& channel = m_agent->GetChannel();
    const ProtocolVersion negotiated = channel.GetNegotiatedVersion();
    const ProtocolVersion desired = channel.GetDesiredVersion();
    EXPECT_EQ(KpxTest::RaisedCode([&] { m_agent->SetProtocolVersion({negotiated.major, 7}); }), 0x65006Cu);
    EXPECT_EQ(channel.GetNegotiatedVersion(), negotiated);
    EXPECT_EQ(channel.GetDesiredVersion(), desired);
}

// ---------------------------------------------------------------------------
// The bases' forwarders.

class AgentBases : public ::testing::Test
{
protected:
    KpxTest::MemoryDevice m_device;
    ChannelTransport m_transport{m_device, Transport::kDefaultPipeId};
};

class PlainAgent final : public BaseAgent
{
public:
    explicit PlainAgent(ChannelTransport& transport) : BaseAgent(2, 0, transport)
    {
        m_channel.AddClientMajorVersion({1, 0});
        m_channel.AddClientMajorVersion({1, 1});
        m_channel.AddClientMajorVersion({2, 0});
    }
};

class PairAgent final : public BaseDataAgent
{
public:
    PairAgent(ChannelTransport& first, ChannelTransport& second) : BaseDataAgent(5, 1, 2, first, second)
    {
        GetFirstChannel().AddClientMajorVersion({1, 0});
        GetFirstChannel().AddClientMajorVersion({1, 2});
        GetSecondChannel().AddClientMajorVersion({1, 0});
    }
};

TEST_F(AgentBases, ProtocolVersionFixesTheNegotiatedAndDesiredVersion)
{
    PlainAgent agent(m_transport);
    agent.SetProtocolVersion({1, 1});
    EXPECT_EQ(agent.GetChannel().GetNegotiatedVersion(), (ProtocolVersion{1, 1}));
    EXPECT_EQ(agent.GetChannel().GetClientMajorRange().lowest, 1u);
    EXPECT_EQ(agent.GetChannel().GetClientMajorRange().highest, 1u);
    // The highest supported version of major 1.
    EXPECT_EQ(agent.GetChannel().GetDesiredVersion(), (ProtocolVersion{1, 1}));
}

TEST_F(AgentBases, ClientMajorVersionsPickTheDesiredVersion)
{
    PlainAgent agent(m_transport);
    agent.SetClientMajorVersions({1, 2});
    EXPECT_EQ(agent.GetChannel().GetDesiredVersion(), (ProtocolVersion{2, 0}));
    agent.SetClientMajorVersions({1, 1});
    EXPECT_EQ(agent.GetChannel().GetDesiredVersion(), (ProtocolVersion{1, 1}));
}

TEST_F(AgentBases, ClientIdentityReachesTheChannel)
{
    PlainAgent agent(m_transport);
    ClientIdentity identity{};
    identity[0] = 0xA5;
    identity[31] = 0x5A;
    agent.SetClientIdentity(identity);
    EXPECT_EQ(agent.GetChannel().GetClientIdentity(), identity);
}

TEST_F(AgentBases, DataAgentServesBothChannels)
{
    KpxTest::MemoryDevice secondDevice;
    ChannelTransport secondTransport(secondDevice, Transport::kDefaultPipeId);
    PairAgent agent(m_transport, secondTransport);
    EXPECT_EQ(agent.GetFirstChannel().GetChannelNumber(), 5u);
    EXPECT_EQ(agent.GetFirstChannel().GetSubChannelNumber(), 1u);
    EXPECT_EQ(agent.GetSecondChannel().GetChannelNumber(), 5u);
    EXPECT_EQ(agent.GetSecondChannel().GetSubChannelNumber(), 2u);
    EXPECT_EQ(&agent.GetFirstChannel().GetTransport(), &m_transport);
    EXPECT_EQ(&agent.GetSecondChannel().GetTransport(), &secondTransport);

    ClientIdentity identity{};
    identity[5] = 7;
    agent.SetClientIdentity(identity);
    EXPECT_EQ(agent.GetFirstChannel().GetClientIdentity(), identity);
    EXPECT_EQ(agent.GetSecondChannel().GetClientIdentity(), identity);

    agent.SetProtocolVersion({1, 2}, {1, 0});
    EXPECT_EQ(agent.GetFirstChannel().GetNegotiatedVersion(), (ProtocolVersion{1, 2}));
    EXPECT_EQ(agent.GetFirstChannel().GetDesiredVersion(), (ProtocolVersion{1, 2}));
    EXPECT_EQ(agent.GetSecondChannel().GetNegotiatedVersion(), (ProtocolVersion{1, 0}));

    agent.SetClientMajorVersions({1, 1}, {2, 3});
    EXPECT_EQ(agent.GetFirstChannel().GetClientMajorRange().highest, 1u);
    EXPECT_EQ(agent.GetSecondChannel().GetClientMajorRange().lowest, 2u);
    EXPECT_EQ(agent.GetSecondChannel().GetClientMajorRange().highest, 3u);
}

} // namespace
