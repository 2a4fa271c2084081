#include "Channel/KPXAgent.h"

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

#include "Channel/KPXChannelTransport.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

namespace Q7::KPX
{
namespace
{

using Universal::StdExceptionError;
using Universal::UniversalString;

// The offset of `messageSize` in the common message header.
constexpr std::size_t kMessageSizeOffset = 8;

// The number of bytes of a built message that belong to it: its `messageSize`,
// never more than the buffer holds.
std::uint32_t MessageLength(const MessageBytes& message) noexcept
{
    if (message.size() < kMessageSizeOffset + 4)
        return static_cast<std::uint32_t>(message.size());
    ByteReader reader(std::span<const std::uint8_t>(message).subspan(kMessageSizeOffset, 4));
    const std::uint64_t declared = reader.ReadU32();
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(declared, message.size()));
}

// True for a CommonError or DataError: an answer to a message of the camera.
bool IsErrorReply(const SendMessageCommand& command) noexcept
{
    const MessageBytes& message = command.GetMessage();
    constexpr std::size_t kClassOffset = 4;
    constexpr std::size_t kTypeOffset = 5;
    constexpr std::uint8_t kErrorType = 0xFF;
    return message.size() > kTypeOffset && message[kTypeOffset] == kErrorType &&
           (message[kClassOffset] == kMessageClass_Common ||
            message[kClassOffset] == kMessageClass_DataTransfer);
}

} // namespace

// ---------------------------------------------------------------------------
// Agent bases.

BaseAgent::BaseAgent(std::uint8_t channel, std::uint8_t subChannel, ChannelTransport& transport,
                     const ChannelTimings& timings)
    : m_channel(channel, subChannel, transport, timings)
{
}

BaseAgent::~BaseAgent() = default;

void BaseAgent::SetClientIdentity(const ClientIdentity& identity)
{
    m_channel.SetClientIdentity(identity);
}

void BaseAgent::SetProtocolVersion(ProtocolVersion version)
{
    // An open channel keeps the version the camera chose: nothing is stored.
    m_channel.EnsureNotOpen();
    m_channel.SetNegotiatedVersion(version);
    m_channel.SetClientMajorVersions({version.major, version.major});
}

void BaseAgent::SetClientMajorVersions(MajorVersionRange range)
{
    m_channel.SetClientMajorVersions(range);
}

BaseDataAgent::BaseDataAgent(std::uint8_t channel, std::uint8_t firstSubChannel,
                             std::uint8_t secondSubChannel, ChannelTransport& firstTransport,
                             ChannelTransport& secondTransport, const ChannelTimings& timings)
    : BaseAgent(channel, firstSubChannel, firstTransport, timings), m_pFirstChannel(&m_channel),
      m_secondChannel(channel, secondSubChannel, secondTransport, timings)
{
}

BaseDataAgent::~BaseDataAgent() = default;

void BaseDataAgent::SetClientIdentity(const ClientIdentity& identity)
{
    m_pFirstChannel->SetClientIdentity(identity);
    m_secondChannel.SetClientIdentity(identity);
}

void BaseDataAgent::SetProtocolVersion(ProtocolVersion first, ProtocolVersion second)
{
    // Both channels are checked before either is changed.
    m_pFirstChannel->EnsureNotOpen();
    m_secondChannel.EnsureNotOpen();
    m_pFirstChannel->SetNegotiatedVersion(first);
    m_pFirstChannel->SetClientMajorVersions({first.major, first.major});
    m_secondChannel.SetNegotiatedVersion(second);
    m_secondChannel.SetClientMajorVersions({second.major, second.major});
}

void BaseDataAgent::SetClientMajorVersions(MajorVersionRange first, MajorVersionRange second)
{
    m_pFirstChannel->SetClientMajorVersions(first);
    m_secondChannel.SetClientMajorVersions(second);
}

// ---------------------------------------------------------------------------
// Send commands and their queue.

SendMessageCommand::SendMessageCommand(MessageBytes message, UniversalString description,
                                       std::uint32_t timeoutMs)
    : m_description(std::move(description)), m_message(std::move(message)), m_timeoutMs(timeoutMs)
{
}

SendMessageCommand::~SendMessageCommand() = default;

void SendMessageCommand::OnWritten() noexcept {}

SendMessageQueue::SendMessageQueue()
{
    m_hasCommands.Reset();
    m_empty.Set();
    m_drained.Set();
    m_idle.Set();
    m_windowOpen.Set();
}

SendMessageQueue::~SendMessageQueue()
{
    Clear();
}

void SendMessageQueue::PushFront(std::unique_ptr<SendMessageCommand> command)
{
    Insert(std::move(command), true);
}

void SendMessageQueue::Push(std::unique_ptr<SendMessageCommand> command)
{
    Insert(std::move(command), false);
}

void SendMessageQueue::Insert(std::unique_ptr<SendMessageCommand> command, bool front)
{
    if (!command)
        return;
    try
    {
        Platform::ScopedLock lock(m_lock);
        if (IsErrorReply(*command))
        {
            // A command put back in front is never dropped.
            if (!front && m_queuedErrorReplies >= kMaxQueuedErrorReplies)
            {
                if (m_droppedErrorReplies++ == 0)
                    Universal::LogWarning(
                        L"KPX send queue: %u error replies wait for the camera; dropping more",
                        static_cast<unsigned>(kMaxQueuedErrorReplies));
                return;
            }
            ++m_queuedErrorReplies;
        }
        if (front)
            m_commands.push_front(std::move(command));
        else
            m_commands.push_back(std::move(command));
        m_empty.Reset();
        m_drained.Reset();
        if (!m_direct)
            m_hasCommands.Set();
    }
    catch (const std::exception& e)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(e), nullptr);
    }
}

bool SendMessageQueue::Pop(std::unique_ptr<SendMessageCommand>& command, const WaitObjectList& abortObjects)
{
    // The abort objects first, so that an abort wins over a push that arrives
    // at the same moment.
    std::vector<Platform::BaseWaitObject*> waitList(abortObjects.begin(), abortObjects.end());
    const auto abortCount = static_cast<std::uint32_t>(abortObjects.size());
    waitList.push_back(&m_hasCommands);

    for (;;)
    {
        bool windowFull = false;
        std::uint32_t stallMs = Platform::kInfinite;
        {
            Platform::ScopedLock lock(m_lock);
            if (!m_commands.empty() && !m_direct)
            {
                windowFull = m_commands.front()->ExpectsAnswer() && m_windowLimit != 0 &&
                             m_awaitingAnswers >= m_windowLimit;
                if (!windowFull)
                {
                    command = std::move(m_commands.front());
                    m_commands.pop_front();
                    if (IsErrorReply(*command))
                        --m_queuedErrorReplies;
                    m_taken = true;
                    m_idle.Reset();
                    if (command->ExpectsAnswer() && m_windowLimit != 0 &&
                        ++m_awaitingAnswers >= m_windowLimit)
                        m_windowOpen.Reset();
                    if (m_commands.empty())
                    {
                        m_hasCommands.Reset();
                        m_empty.Set();
                    }
                    return true;
                }
                stallMs = m_windowStallMs;
            }
        }
        // A full window waits for an answer instead of a command.
        waitList.back() = windowFull ? static_cast<Platform::BaseWaitObject*>(&m_windowOpen) : &m_hasCommands;
        std::uint32_t index = Platform::kNoSignalledIndex;
        const bool signalled =
            Platform::WaitForObjects(&index, static_cast<std::uint32_t>(waitList.size()), waitList.data(),
                                     false, windowFull ? stallMs : Platform::kInfinite);
        if (signalled && index < abortCount)
            return false;
        if (!signalled && windowFull)
        {
            Platform::ScopedLock lock(m_lock);
            Universal::LogInfo(L"Send queue: %u requests unanswered for %u ms; sending on", m_awaitingAnswers,
                               stallMs);
            m_awaitingAnswers = 0;
            m_windowOpen.Set();
        }
    }
}

void SendMessageQueue::SetAnswerWindow(std::uint32_t limit, std::uint32_t stallMs)
{
    Platform::ScopedLock lock(m_lock);
    m_windowLimit = limit;
    m_windowStallMs = stallMs;
    if (limit == 0 || m_awaitingAnswers < limit)
        m_windowOpen.Set();
    else
        m_windowOpen.Reset();
}

void SendMessageQueue::Answered() noexcept
{
    Platform::ScopedLock lock(m_lock);
    if (m_awaitingAnswers > 0)
        --m_awaitingAnswers;
    if (m_windowLimit == 0 || m_awaitingAnswers < m_windowLimit)
        m_windowOpen.Set();
}

void SendMessageQueue::Clear() noexcept
{
    try
    {
        std::deque<std::unique_ptr<SendMessageCommand>> dropped;
        {
            Platform::ScopedLock lock(m_lock);
            dropped.swap(m_commands);
            m_queuedErrorReplies = 0;
            m_hasCommands.Reset();
            m_empty.Set();
            if (!m_taken)
                m_drained.Set();
            // Nothing that went out will be answered after a clear (the
            // channel closed).
            m_awaitingAnswers = 0;
            m_windowOpen.Set();
        }
        // The commands and their messages are deleted outside the lock.
    }
    catch (...)
    {
        Q7_REPORT_INTERNAL_ERROR_TEXT(L"Unexpected exception");
    }
}

std::deque<std::unique_ptr<SendMessageCommand>> SendMessageQueue::TakeAllForClose(std::uint32_t waitMs)
{
    // Taken first, so that the send thread pops none of them meanwhile.
    std::deque<std::unique_ptr<SendMessageCommand>> taken;
    {
        Platform::ScopedLock lock(m_lock);
        taken.swap(m_commands);
        m_queuedErrorReplies = 0;
        m_hasCommands.Reset();
        m_empty.Set();
        if (!m_taken)
            m_drained.Set();
    }
    Platform::WaitForObject(&m_idle, waitMs);
    // What the command in flight put back (and anything pushed meanwhile)
    // was taken before the others.
    Platform::ScopedLock lock(m_lock);
    while (!m_commands.empty())
    {
        taken.push_front(std::move(m_commands.back()));
        m_commands.pop_back();
    }
    m_queuedErrorReplies = 0;
    m_hasCommands.Reset();
    m_empty.Set();
    if (!m_taken)
        m_drained.Set();
    return taken;
}

void SendMessageQueue::FinishCommand() noexcept
{
    Platform::ScopedLock lock(m_lock);
    m_taken = false;
    m_idle.Set();
    if (m_commands.empty())
        m_drained.Set();
}

bool SendMessageQueue::BeginDirectWrite(bool expectsAnswer) noexcept
{
    Platform::ScopedLock lock(m_lock);
    if (!m_commands.empty() || m_taken)
        return false;
    if (expectsAnswer && m_windowLimit != 0 && m_awaitingAnswers >= m_windowLimit)
        return false;
    m_taken = true;
    m_idle.Reset();
    m_direct = true;
    m_drained.Reset();
    return true;
}

void SendMessageQueue::EndDirectWrite(bool answerAwaited) noexcept
{
    Platform::ScopedLock lock(m_lock);
    m_taken = false;
    m_idle.Set();
    m_direct = false;
    if (answerAwaited && m_windowLimit != 0 && ++m_awaitingAnswers >= m_windowLimit)
        m_windowOpen.Reset();
    if (m_commands.empty())
        m_drained.Set();
    else
        m_hasCommands.Set();
}

std::size_t SendMessageQueue::GetCount() const
{
    Platform::ScopedLock lock(m_lock);
    return m_commands.size();
}

std::uint64_t SendMessageQueue::GetDroppedErrorReplies() const
{
    Platform::ScopedLock lock(m_lock);
    return m_droppedErrorReplies;
}

std::uint32_t SendCommand(const SendMessageCommand& command, Channel& channel,
                          const WaitObjectList& abortObjects, const wchar_t* logPrefix,
                          std::uint32_t* bytesWritten)
{
    if (bytesWritten != nullptr)
        *bytesWritten = 0;
    if (!command.HasMessage())
        return 0;
    const wchar_t* prefix = logPrefix != nullptr ? logPrefix : L"";
    const wchar_t* description =
        command.GetDescription().IsEmpty() ? L"(unknown)" : command.GetDescription().c_str();
    Universal::LogDebug(L"%lssending msg: %ls", prefix, description);

    const MessageBytes& message = command.GetMessage();
    std::uint32_t result = 0;
    try
    {
        result = channel.Write(message.data(), MessageLength(message), &abortObjects, bytesWritten,
                               command.GetTimeout());
    }
    catch (...)
    {
        Universal::LogInfo(L"%lserror sending msg: %ls", prefix, description);
        throw;
    }
    if (result == 0)
        return 0;
    if (result == 2)
        Universal::LogInfo(L"%lstimeout sending msg: %ls", prefix, description);
    else
        Universal::LogInfo(L"%lsaborted sending msg: %ls", prefix, description);
    return result;
}

std::uint32_t SendNext(SendMessageQueue& queue, Channel& channel, const WaitObjectList& abortObjects,
                       const wchar_t* logPrefix)
{
    try
    {
        std::unique_ptr<SendMessageCommand> command;
        for (;;)
        {
            if (!queue.Pop(command, abortObjects))
                return 1;
            // The queue learns that the command is done however it ends.
            struct Finish
            {
                SendMessageQueue& queue;
                std::unique_ptr<SendMessageCommand>& command;
                ~Finish()
                {
                    command.reset();
                    queue.FinishCommand();
                }
            } finish{queue, command};
            std::uint32_t written = 0;
            const std::uint32_t result = SendCommand(*command, channel, abortObjects, logPrefix, &written);
            if (result == 0)
                command->OnWritten();
            else if (result == 1 && written == 0 && command->GoesOutBeforeClose())
                queue.PushFront(std::move(command));
            if (result != 0)
                return result;
        }
    }
    catch (const std::exception& e)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(e), nullptr);
    }
}

void FlushForClose(SendMessageQueue& queue, Channel& channel, std::uint32_t waitMs, const wchar_t* logPrefix)
{
    const WaitObjectList noAbort;
    for (const std::unique_ptr<SendMessageCommand>& command : queue.TakeAllForClose(waitMs))
    {
        if (!command->GoesOutBeforeClose() || !channel.IsOpen())
            continue;
        try
        {
            if (SendCommand(*command, channel, noAbort, logPrefix) == 0)
                command->OnWritten();
        }
        catch (const Universal::UniversalError& error)
        {
            Universal::LogError(error, L"%lsclose", logPrefix != nullptr ? logPrefix : L"");
        }
    }
}

bool WriteOrPush(SendMessageQueue& queue, std::unique_ptr<SendMessageCommand> command, Channel& channel,
                 const WaitObjectList& abortObjects, const wchar_t* logPrefix)
{
    if (!command)
        return false;
    bool written = false;
    if (command->HasMessage() && queue.BeginDirectWrite(command->ExpectsAnswer()))
    {
        struct End
        {
            SendMessageQueue& queue;
            const bool& written;
            const bool expectsAnswer;
            ~End() { queue.EndDirectWrite(written && expectsAnswer); }
        } end{queue, written, command->ExpectsAnswer()};
        const MessageBytes& message = command->GetMessage();
        try
        {
            channel.TryWrite(message.data(), MessageLength(message), &abortObjects, written);
        }
        catch (const Universal::UniversalError&)
        {
            // The send thread meets the failure again and reports it.
            written = false;
        }
    }
    if (!written)
    {
        queue.Push(std::move(command));
        return false;
    }
    const wchar_t* prefix = logPrefix != nullptr ? logPrefix : L"";
    Universal::LogDebug(L"%lssending msg: %ls", prefix,
                        command->GetDescription().IsEmpty() ? L"(unknown)"
                                                            : command->GetDescription().c_str());
    command->OnWritten();
    return true;
}

bool WaitForChannelOpen(Platform::Thread_Posix& receiveThread, Platform::Thread_Posix& sendThread,
                        Platform::EventCondition_Posix& openRequest, Platform::BaseWaitObject& channelOpen)
{
    if (receiveThread.IsStopRequested())
        return false;
    openRequest.Set();
    Platform::BaseWaitObject* const objects[] = {&receiveThread.GetStopEvent(), &sendThread.GetStopEvent(),
                                                 &sendThread, &channelOpen};
    constexpr std::uint32_t kChannelOpenIndex = 3;
    std::uint32_t index = Platform::kNoSignalledIndex;
    Platform::WaitForObjects(&index, kChannelOpenIndex + 1, objects, false, Platform::kInfinite);
    openRequest.Reset();
    return index == kChannelOpenIndex;
}

std::optional<CommonMessageHeader> ReadCommonHeader(Channel& channel, const WaitObjectList& abortObjects,
                                                    const wchar_t* headerSizeTooSmallText,
                                                    const wchar_t* messageSizeTooSmallText)
{
    std::array<std::uint8_t, kCommonMessageHeaderSize> bytes{};
    std::uint32_t bytesRead = 0;
    if (channel.Read(bytes.data(), sizeof(bytes), &abortObjects, &bytesRead, Platform::kInfinite) != 0 ||
        bytesRead != sizeof(bytes))
        return std::nullopt;
    const std::optional<CommonMessageHeader> header = DecodeMessageHeader(bytes);
    if (header)
        CheckMessageHeader(*header, headerSizeTooSmallText, messageSizeTooSmallText);
    return header;
}

void EnableEvents(SendMessageQueue& queue, ProtocolVersion version, std::uint8_t enable)
{
    queue.Push(std::make_unique<SendMessageCommand>(MakeEnableEventsMessage(version, enable), kSendNoTimeout,
                                                    L"EnableEvents (%u)", unsigned{enable}));
}

void CommonError(SendMessageQueue& queue, std::uint32_t errorId, const CommonMessageHeader& offending,
                 ProtocolVersion version)
{
    queue.Push(std::make_unique<SendMessageCommand>(MakeCommonErrorMessage(version, errorId, offending),
                                                    kSendNoTimeout, L"CommonError (error=%u:%u)",
                                                    errorId >> 24, errorId & 0xFFFFFFu));
}

} // namespace Q7::KPX
