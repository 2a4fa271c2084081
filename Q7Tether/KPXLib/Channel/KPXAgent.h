// The bases every KPX agent shares and the send queue that decouples an agent's
// request methods from its send thread.
//
// An agent serves one channel number: `BaseAgent` embeds its channel,
// `BaseDataAgent` a second one for the second sub-channel. A request method,
// on any thread, builds its message and pushes a `SendMessageCommand` onto the
// agent's `SendMessageQueue`; the agent's send thread alone writes on the
// channel, running `SendNext` with its stop event as abort object.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>

#include "Channel/KPXChannel.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalErrorDispatcher.h"
#include "Q7UniversalString.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXMessage.h"
#include "Wire/KPXMessageProtocolInfo.h"
#include "Wire/KPXProtocolVersion.h"

namespace Q7::KPX
{

class ChannelTransport;

/// Time-out of a command that is written without limit.
inline constexpr std::uint32_t kSendNoTimeout = 0xFFFFFFFFu;

/// The base of every agent: its channel and its lock.
///
/// The channel is built here and neither started nor opened: starting it (in
/// the agent's constructor), opening and closing it are the agent's own steps.
class BaseAgent
{
public:
    /// Builds the channel `channel`.`subChannel` on the transport, which must
    /// outlive the agent, with the handshake's time limits (the protocol's by
    /// default; tests shorten them).
    BaseAgent(std::uint8_t channel, std::uint8_t subChannel, ChannelTransport& transport,
              const ChannelTimings& timings = {});
    virtual ~BaseAgent();

    BaseAgent(const BaseAgent&) = delete;
    BaseAgent& operator=(const BaseAgent&) = delete;

    /// Stores the client identity presented when the channel opens.
    /// Thread-safe.
    virtual void SetClientIdentity(const ClientIdentity& identity);

    /// For a channel that the camera's channel list gives with a message
    /// protocol version: stores the version as the channel's negotiated one
    /// and asks for its major only (range [major; major]). Raises ModuleError
    /// 0x65006C (logged) when the channel is open, before anything is stored.
    /// Thread-safe.
    void SetProtocolVersion(ProtocolVersion version);

    /// Passes the camera's major-version range to the channel, which picks the
    /// version it asks for. Raises ModuleError 0x65006C (logged) when the
    /// channel is open. Thread-safe.
    void SetClientMajorVersions(MajorVersionRange range);

    /// The agent's (first) channel.
    [[nodiscard]] Channel& GetChannel() noexcept { return m_channel; }

protected:
    Channel m_channel;
    Platform::Mutex_Posix m_agentLock; // guards the concrete agent's own state
};

/// The base of the agents whose channel number has two sub-channels (image
/// transfer on 4.1 and 4.2, live view on 5.1 and 5.2). The two channels may lie
/// on different channel transports.
class BaseDataAgent : public BaseAgent
{
public:
    /// Builds both channels (neither started nor opened) with the handshake's
    /// time limits.
    BaseDataAgent(std::uint8_t channel, std::uint8_t firstSubChannel, std::uint8_t secondSubChannel,
                  ChannelTransport& firstTransport, ChannelTransport& secondTransport,
                  const ChannelTimings& timings = {});
    ~BaseDataAgent() override;

    /// Stores the identity in both channels. Thread-safe.
    void SetClientIdentity(const ClientIdentity& identity) override;

    /// As BaseAgent::SetProtocolVersion, one version per channel; when either
    /// channel is open, neither is changed.
    void SetProtocolVersion(ProtocolVersion first, ProtocolVersion second);
    /// As BaseAgent::SetClientMajorVersions, one range per channel.
    void SetClientMajorVersions(MajorVersionRange first, MajorVersionRange second);

    [[nodiscard]] Channel& GetFirstChannel() noexcept { return *m_pFirstChannel; }
    [[nodiscard]] Channel& GetSecondChannel() noexcept { return m_secondChannel; }

protected:
    Channel* m_pFirstChannel; // the base's channel
    Channel m_secondChannel;
};

/// One queued outgoing message with its description for the log and the
/// time-out of its write. Owned by the queue once pushed. Reentrant.
class SendMessageCommand
{
public:
    /// Takes the message (an empty one means "none": nothing is sent) and the
    /// description. timeoutMs: kSendNoTimeout for no limit.
    SendMessageCommand(MessageBytes message, Universal::UniversalString description, std::uint32_t timeoutMs);

    /// As above, with the description formatted printf-style (wide format).
    template <typename... Args>
    SendMessageCommand(MessageBytes message, std::uint32_t timeoutMs, const wchar_t* format, Args... args)
        : SendMessageCommand(std::move(message), Universal::UniversalString(format, args...), timeoutMs)
    {
    }

    virtual ~SendMessageCommand();

    SendMessageCommand(const SendMessageCommand&) = delete;
    SendMessageCommand& operator=(const SendMessageCommand&) = delete;

    [[nodiscard]] bool HasMessage() const noexcept { return !m_message.empty(); }
    /// The message; its `messageSize` bytes are written (the buffer may be
    /// longer).
    [[nodiscard]] const MessageBytes& GetMessage() const noexcept { return m_message; }
    [[nodiscard]] const Universal::UniversalString& GetDescription() const noexcept { return m_description; }
    [[nodiscard]] std::uint32_t GetTimeout() const noexcept { return m_timeoutMs; }

    /// Called by SendNext on the send thread once the message is written
    /// whole; nothing by default.
    virtual void OnWritten() noexcept;

    /// Marks the command as one the camera must have before its channel
    /// closes (an acknowledgement it relies on): a close writes it
    /// (FlushForClose) where other queued commands are dropped.
    void SetGoesOutBeforeClose() noexcept { m_beforeClose = true; }
    [[nodiscard]] bool GoesOutBeforeClose() const noexcept { return m_beforeClose; }

    /// Marks the command as a request the camera answers: it counts against
    /// its queue's answer window (SendMessageQueue::SetAnswerWindow) until the
    /// agent sees an answer.
    void SetExpectsAnswer() noexcept { m_expectsAnswer = true; }
    [[nodiscard]] bool ExpectsAnswer() const noexcept { return m_expectsAnswer; }

protected:
    /// Takes the message buffer out of the command (for a subclass that
    /// recycles it); the command then holds none.
    MessageBytes TakeMessage() noexcept { return std::move(m_message); }

private:
    Universal::UniversalString m_description; // used only in log lines
    MessageBytes m_message;                   // empty: none
    std::uint32_t m_timeoutMs;
    bool m_beforeClose = false;
    bool m_expectsAnswer = false;
};

/// Error replies (CommonError, DataError) that a send queue keeps waiting at
/// most; more are dropped.
inline constexpr std::size_t kMaxQueuedErrorReplies = 64;

/// The queue of an agent's outgoing commands, oldest first. Any number of
/// threads push; one send thread pops. Thread-safe.
class SendMessageQueue
{
public:
    /// An empty queue (its empty event set).
    SendMessageQueue();
    /// Clears the queue: the commands still queued and their messages are
    /// deleted.
    ~SendMessageQueue();

    SendMessageQueue(const SendMessageQueue&) = delete;
    SendMessageQueue& operator=(const SendMessageQueue&) = delete;

    /// Puts a command the send thread took back in front of the others: one
    /// that goes out before a close and whose write was aborted before any
    /// of it went out. Never blocks beyond the queue lock.
    void PushFront(std::unique_ptr<SendMessageCommand> command);

    /// Appends the command; the queue owns it from here. An error reply (a
    /// CommonError or a DataError answering what the camera sent) beyond
    /// kMaxQueuedErrorReplies of them waiting is dropped instead, counted
    /// (GetDroppedErrorReplies) and logged once per queue: a camera that
    /// floods the host with messages it cannot take, and does not read the
    /// answers, costs no memory beyond them. Raises
    /// StdExceptionError (internal error) when the queue cannot grow. Never
    /// blocks beyond the queue lock. A null command is ignored.
    void Push(std::unique_ptr<SendMessageCommand> command);

    /// Takes the oldest command into `command` (deleting what it held), waiting
    /// without limit while the queue is empty, and while the answer window is
    /// full and the oldest command expects an answer (see SetAnswerWindow).
    /// Answers false, with `command` untouched, when one of the abort objects
    /// is signalled while it waits (also at once when one already is). Blocks.
    /// Meant for the one send thread of the queue.
    bool Pop(std::unique_ptr<SendMessageCommand>& command, const WaitObjectList& abortObjects);

    /// Bounds the requests that are written and not yet answered (commands
    /// marked SetExpectsAnswer, counted as they leave the queue) to `limit`;
    /// 0, the default, sets no bound. Whatever the application asks for beyond
    /// it waits here, where a close drops it, instead of at the camera, whose
    /// answers to it a close would have to wait for. A window that stays full
    /// for `stallMs` without an answer is opened again (a camera that leaves
    /// requests unanswered slows its requests down, never stops them).
    /// Thread-safe.
    void SetAnswerWindow(std::uint32_t limit, std::uint32_t stallMs);

    /// The agent saw the camera answer a request: one fewer counts against
    /// the window (never below 0). Thread-safe.
    void Answered() noexcept;

    /// Deletes every queued command. Errors are reported as the internal error
    /// "Unexpected exception" and absorbed.
    void Clear() noexcept;

    /// For a close whose send thread no longer writes (its abort objects are
    /// set): takes every queued command out, waits up to waitMs for the
    /// command being written to end, and takes what that one left (put back
    /// with PushFront) in front of them. Blocks up to waitMs.
    std::deque<std::unique_ptr<SendMessageCommand>> TakeAllForClose(std::uint32_t waitMs);

    /// The number of queued commands.
    [[nodiscard]] std::size_t GetCount() const;

    /// Error replies dropped because too many were waiting.
    [[nodiscard]] std::uint64_t GetDroppedErrorReplies() const;

    /// The send thread is done with the command it took last (written,
    /// failed or dropped). Called by SendNext after each command.
    void FinishCommand() noexcept;

    /// For a thread that writes a command itself instead of queueing it: true
    /// when nothing is queued, no command is being written, and (for a command
    /// that expects an answer, which then counts against the window) the
    /// answer window has room; then no command leaves the queue until
    /// EndDirectWrite. False otherwise (the command is to be pushed, behind
    /// the others).
    bool BeginDirectWrite(bool expectsAnswer = false) noexcept;
    /// Ends what BeginDirectWrite began: the send thread may pop again.
    /// answerAwaited: a command that expects an answer was written, and counts
    /// against the window from now on.
    void EndDirectWrite(bool answerAwaited = false) noexcept;

    /// Set while the queue is empty. For waiting; thread-safe.
    [[nodiscard]] Platform::EventStatus& GetEmptyEvent() noexcept { return m_empty; }

    /// Set while the queue is empty and the send thread is done with the last
    /// command it took: whatever was pushed before is written (or failed, or
    /// was cleared). For waiting; thread-safe.
    [[nodiscard]] Platform::EventStatus& GetDrainedEvent() noexcept { return m_drained; }

private:
    // Push and PushFront: at the back (bounded for error replies) or in front.
    void Insert(std::unique_ptr<SendMessageCommand> command, bool front);

    // Guards m_commands and m_taken, and keeps the three events in step with them.
    mutable Platform::Mutex_Posix m_lock;
    Platform::EventCondition_Posix m_hasCommands;
    Platform::EventCondition_Posix m_empty;
    Platform::EventCondition_Posix m_drained;
    Platform::EventCondition_Posix m_idle; // set while no command is being written
    std::deque<std::unique_ptr<SendMessageCommand>> m_commands;
    bool m_taken = false;                        // a command is being written (popped, or by a direct writer)
    bool m_direct = false;                       // ... by a direct writer: Pop hands out nothing meanwhile
    std::size_t m_queuedErrorReplies = 0;        // error replies among m_commands
    std::uint64_t m_droppedErrorReplies = 0;     // error replies dropped at Push
    std::uint32_t m_windowLimit = 0;             // 0: no answer window
    std::uint32_t m_windowStallMs = 0;           // a full window opens again after this without an answer
    std::uint32_t m_awaitingAnswers = 0;         // requests out and not yet answered
    Platform::EventCondition_Posix m_windowOpen; // set while the window has room (or there is none)
};

/// Writes one command's message on the channel: its first `messageSize` bytes,
/// with the command's time-out and the abort objects. A command without a
/// message answers 0 and sends nothing. Logs (debug) "<prefix>sending msg:
/// <description>" ("(unknown)" for an empty description) first, and the
/// information "<prefix>timeout sending msg: ..." or "<prefix>aborted sending
/// msg: ..." on failure. Answers the channel's write result (0 written, 1
/// aborted, 2 time-out, 3 not open, 4 not connected). An error raised by the
/// write is logged ("<prefix>error sending msg: ...") and raised again.
/// Blocks. Thread-safe as the channel's Write.
std::uint32_t SendCommand(const SendMessageCommand& command, Channel& channel,
                          const WaitObjectList& abortObjects, const wchar_t* logPrefix,
                          std::uint32_t* bytesWritten = nullptr);

/// The body of an agent's send thread: pops and writes commands in order until
/// a write fails or Pop is aborted. A command that goes out before a close
/// and whose write was aborted before anything went out is put back in front
/// of the queue for the close (FlushForClose). Each command written whole is told
/// (OnWritten), then deleted, then the queue is told (FinishCommand). Answers
/// 1 when aborted, else the failed write's result; the failed command is
/// deleted, the ones behind it stay queued. A standard exception is raised as
/// an internal error (StdExceptionError). Blocks. Called by the queue's one
/// send thread.
std::uint32_t SendNext(SendMessageQueue& queue, Channel& channel, const WaitObjectList& abortObjects,
                       const wchar_t* logPrefix);

/// Runs one step of an agent thread's loop (`body`): a UniversalError, or a
/// standard exception as StdExceptionError, that leaves it goes to
/// `dispatcher` and the call returns; the thread's loop goes on. Anything else
/// propagates. Called on the agent's own threads.
template <typename Body>
void DispatchingErrors(Universal::ErrorDispatcher& dispatcher, Body&& body)
{
    try
    {
        body();
    }
    catch (const Universal::UniversalError& error)
    {
        dispatcher.DispatchError(error);
    }
    catch (const std::exception& exception)
    {
        dispatcher.DispatchError(Universal::StdExceptionError(exception));
    }
}

/// As DispatchingErrors, and answers whether an error left `body` (and went
/// to `dispatcher`). Called on the agent's own threads.
template <typename Body>
bool DispatchedError(Universal::ErrorDispatcher& dispatcher, Body&& body)
{
    try
    {
        body();
        return false;
    }
    catch (const Universal::UniversalError& error)
    {
        dispatcher.DispatchError(error);
    }
    catch (const std::exception& exception)
    {
        dispatcher.DispatchError(Universal::StdExceptionError(exception));
    }
    return true;
}

/// For a message agent's receive thread: asks the send thread to open the
/// channel (`openRequest` set while waiting) and waits without limit until it
/// is open (`channelOpen`). Answers false, when the receive thread is asked to
/// stop, or the send thread is asked to stop or has ended. Blocks.
bool WaitForChannelOpen(Platform::Thread_Posix& receiveThread, Platform::Thread_Posix& sendThread,
                        Platform::EventCondition_Posix& openRequest, Platform::BaseWaitObject& channelOpen);

/// Reads the next message's common header from the open channel, waiting
/// without limit for it (the abort objects end the wait), and checks it with
/// CheckMessageHeader and the two texts (which raise). Answers nothing when
/// the read fails or comes short: the stream is broken and the channel is to
/// be opened again. Blocks. Called by the channel's one reading thread.
std::optional<CommonMessageHeader> ReadCommonHeader(Channel& channel, const WaitObjectList& abortObjects,
                                                    const wchar_t* headerSizeTooSmallText,
                                                    const wchar_t* messageSizeTooSmallText);

/// The close of a message agent's channel (one reading thread, opened by the
/// send thread): marks it closed (`channelOpen` reset, `channelClosed` set, so
/// reads and the send loop end), closes it, runs `clear` (what was on the wire
/// is gone), and with `final` asks the send and receive threads to stop.
/// Raises the close's error after all that. Blocks (the close). Thread-safe as
/// Channel::Close.
template <typename Clear>
void CloseMessageChannel(Channel& channel, Platform::EventCondition_Posix& channelOpen,
                         Platform::EventCondition_Posix& channelClosed, bool final,
                         Platform::Thread_Posix& sendThread, Platform::Thread_Posix& receiveThread,
                         Clear&& clear)
{
    channelOpen.Reset();
    channelClosed.Set();
    std::exception_ptr closeError;
    try
    {
        channel.Close();
    }
    catch (...)
    {
        closeError = std::current_exception();
    }
    clear();
    if (final)
    {
        sendThread.GetStopEvent().Set();
        receiveThread.GetStopEvent().Set();
    }
    if (closeError)
        std::rethrow_exception(closeError);
}

/// The open of a message agent's channel on its send thread: runs
/// `close(false)`, waits without limit for `stop` (then closes again and
/// answers false) or `openRequest`; runs `beforeOpen`, opens the channel when
/// its pipe is connected (otherwise, or when the open does not answer done,
/// closes and answers false), runs `afterOpen` and marks the channel open
/// (`channelClosed` reset, `channelOpen` set). An error on the way closes
/// (an error of that close is dropped) and is raised again. Blocks.
/// Thread-bound: the agent's send thread.
template <typename Close, typename BeforeOpen, typename AfterOpen>
bool OpenMessageChannel(Channel& channel, Platform::BaseEventCondition& stop,
                        Platform::EventCondition_Posix& openRequest,
                        Platform::EventCondition_Posix& channelOpen,
                        Platform::EventCondition_Posix& channelClosed, Close&& close, BeforeOpen&& beforeOpen,
                        AfterOpen&& afterOpen)
{
    try
    {
        close(false);
        std::uint32_t index = Platform::kNoSignalledIndex;
        Platform::WaitForAnyOf(&index, 2, &stop, &openRequest);
        if (index == 0)
        {
            close(false);
            return false;
        }
        beforeOpen();
        if (!channel.IsPipeConnected() || channel.Open() != 0)
        {
            close(false);
            return false;
        }
        afterOpen();
        channelClosed.Reset();
        channelOpen.Set();
        return true;
    }
    catch (...)
    {
        try
        {
            close(false);
        }
        catch (const Universal::UniversalError&)
        {
            // The open's error is the one to report.
        }
        throw;
    }
}

/// The body of a message agent's receive thread (channels with one reading
/// thread, opened by the agent's send thread): marks the thread ready, then
/// runs cycles while WaitForChannelOpen answers true. A cycle reads each
/// message's common header (ReadCommonHeader with the two texts) and hands it
/// to `receive` (header, the abort objects: the thread's stop event and
/// `channelClosed`), until a read fails or comes short, `receive` answers
/// false, the thread is asked to stop or `channelClosed` is set; an error of
/// the cycle goes to `dispatcher`. Each cycle ends with `close(false)` (the
/// channel is opened again by the next one); an error raised there ends the
/// loop. Last runs `close(true)`, its error going to `dispatcher`. Blocks.
/// Thread-bound: the agent's receive thread.
template <typename Receive, typename Close>
void RunReceiveThread(Universal::ErrorDispatcher& dispatcher, Platform::Thread_Posix& thread,
                      Platform::Thread_Posix& sendThread, Platform::EventCondition_Posix& openRequest,
                      Platform::EventCondition_Posix& channelOpen,
                      Platform::EventCondition_Posix& channelClosed, Channel& channel,
                      const wchar_t* headerSizeTooSmallText, const wchar_t* messageSizeTooSmallText,
                      Receive&& receive, Close&& close)
{
    thread.GetReadyEvent().Set();
    DispatchingErrors(dispatcher,
                      [&]
                      {
                          const WaitObjectList waitList{&thread.GetStopEvent(), &channelClosed};
                          while (WaitForChannelOpen(thread, sendThread, openRequest, channelOpen))
                          {
                              DispatchingErrors(
                                  dispatcher,
                                  [&]
                                  {
                                      while (!thread.IsStopRequested() && !channelClosed.IsSet())
                                      {
                                          const std::optional<CommonMessageHeader> header =
                                              ReadCommonHeader(channel, waitList, headerSizeTooSmallText,
                                                               messageSizeTooSmallText);
                                          if (!header || !receive(*header, waitList))
                                              return;
                                      }
                                  });
                              // A failed read or handler, an error or a closed channel: reopen.
                              close(false);
                          }
                      });
    DispatchingErrors(dispatcher, [&] { close(true); });
}

/// For a close of `channel`, once the send thread's abort objects are set:
/// waits up to waitMs for the command it is writing, then writes the queued
/// commands that go out before a close (SetGoesOutBeforeClose), in order, while
/// the channel is open, and drops the others. Blocks (up to waitMs and the
/// writes). Errors of the writes are logged and absorbed.
void FlushForClose(SendMessageQueue& queue, Channel& channel, std::uint32_t waitMs, const wchar_t* logPrefix);

/// Writes the command from the calling thread when that takes no wait on the
/// camera and keeps the order of the queue: nothing is queued or being written
/// ahead of it, and the channel takes the message at once (Channel::TryWrite
/// with the abort objects). Then logs as SendCommand does and tells the
/// command (OnWritten). Otherwise pushes the command, and the send thread
/// writes it (or meets the failure) as any other. Answers true when written
/// here. Thread-safe.
bool WriteOrPush(SendMessageQueue& queue, std::unique_ptr<SendMessageCommand> command, Channel& channel,
                 const WaitObjectList& abortObjects, const wchar_t* logPrefix);

/// Queues the EnableEvents message (enable 1: the camera sends event messages
/// on the channel; 0: it stops), described as "EnableEvents (%u)", with no
/// time-out. Raises ModuleError 0x15E001D below 1.0. Thread-safe.
void EnableEvents(SendMessageQueue& queue, ProtocolVersion version, std::uint8_t enable);

/// Queues the CommonError answering a message this side cannot handle,
/// described as "CommonError (error=%u:%u)" (top 8 and low 24 bits of the
/// error id), with no time-out. Raises ModuleError 0x15E001D below 1.0.
/// Thread-safe.
void CommonError(SendMessageQueue& queue, std::uint32_t errorId, const CommonMessageHeader& offending,
                 ProtocolVersion version);

} // namespace Q7::KPX
