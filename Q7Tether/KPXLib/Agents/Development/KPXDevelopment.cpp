#include "Agents/Development/KPXDevelopment.h"

#include <array>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "Channel/KPXMessageReader.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

namespace Q7::KPX
{
namespace Development
{
namespace
{
constexpr MessageSizeRow kDevelopmentHeaderSizes[] = {{{1, 0}, 16}};
}

std::uint16_t GetDevelopmentMessageHeaderSize(ProtocolVersion version) noexcept
{
    return SelectMessageSize(kDevelopmentHeaderSizes, 16, version);
}

MessageBytes MakeDevelopmentMessage(ProtocolVersion version, std::uint8_t type,
                                    std::span<const std::uint8_t> payload)
{
    const std::uint16_t headerSize = GetDevelopmentMessageHeaderSize(version);
    if (payload.size() > std::numeric_limits<std::uint32_t>::max() - headerSize)
    {
        Universal::ThrowModuleError(
            Universal::ModuleError(Universal::kError_InvalidSize, L"KPX ch255 SendMessage()"),
            L"size (%u) is too large.", static_cast<unsigned>(payload.size()));
    }
    DevelopmentMessageHeader message = WithFixedSize(DevelopmentMessageHeader{}, headerSize);
    message.header.messageType = type;
    message.header.messageSize = static_cast<std::uint32_t>(headerSize + payload.size());
    return EncodeMessage(message, payload);
}

std::uint32_t ReadDevelopmentMessage(const CommonMessageHeader& header, MessageSource& source,
                                     ProtocolVersion version, std::uint64_t payloadLimit,
                                     std::vector<std::uint8_t>& payload)
{
    DevelopmentMessageHeader fixed =
        WithFixedSize(DevelopmentMessageHeader{}, GetDevelopmentMessageHeaderSize(version));
    if (const std::uint32_t result = ReadMessageFixedPart(source, header, fixed); result != 0)
        return result;
    const std::uint64_t size = std::uint64_t{header.messageSize} - header.messageHeaderSize;
    if (size > payloadLimit)
        throw Universal::ModuleError(Universal::kError_LimitExceeded, L"KPX ch255 message too large.");
    payload.resize(static_cast<std::size_t>(size));
    return source.Read(payload);
}

} // namespace Development

namespace
{

using Platform::ScopedLock;
using Universal::LogErrorText;
using Universal::StdExceptionError;
using Universal::UniversalError;

constexpr std::uint32_t kThreadStopWaitMs = 10000;
constexpr std::uint32_t kErrorIdUnknownMessage = 0x01000001;
const wchar_t* const kLogPrefix = L"KPX ch255 ";

} // namespace

DevelopmentAgent::DevelopmentAgent(ChannelTransport& transport, const ChannelTimings& timings,
                                   std::uint64_t messageLimit)
    : BaseAgent(255, 0, transport, timings), m_messageLimit(messageLimit)
{
    m_channel.Start();
    m_channelClosed.Set();
    m_channel.AddClientMajorVersion({1, 0});
}

DevelopmentAgent::~DevelopmentAgent()
{
    StopThreads();
}

void DevelopmentAgent::Start()
{
    ScopedLock lock(m_agentLock);
    if (IsRunning())
        return;
    try
    {
        StopThreads();
        if (m_channel.Open() != 0)
            return;
        m_channel.Close();
        m_sendThread.Start(Platform::ThreadFunctor(this, &DevelopmentAgent::SendThread), nullptr,
                           Platform::kInfinite);
        m_recvThread.Start(Platform::ThreadFunctor(this, &DevelopmentAgent::RecvThread), nullptr,
                           Platform::kInfinite);
        if (!IsRunning())
        {
            StopThreads();
            throw Universal::ModuleError(Universal::kError_InvalidState,
                                         L"KPX ch255 failed to start all threads.");
        }
    }
    catch (...)
    {
        StopThreads();
        throw;
    }
}

void DevelopmentAgent::StopThreads()
{
    ScopedLock lock(m_agentLock);
    try
    {
        CloseStep(true);
    }
    catch (const UniversalError&)
    {
        // Logged by the channel; the threads stop all the same.
    }
    StopThread(m_sendThread);
    StopThread(m_recvThread);
    m_sendThread.Close();
    m_recvThread.Close();
}

void DevelopmentAgent::StopThread(Platform::Thread_Posix& thread)
{
    while (!thread.Stop(kThreadStopWaitMs))
        LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.", thread.GetName());
}

bool DevelopmentAgent::IsRunning() const
{
    return m_sendThread.IsRunning() && m_recvThread.IsRunning();
}

void DevelopmentAgent::SendMessage(unsigned char type, const void* data, unsigned int size,
                                   unsigned int timeoutMs)
{
    if (!IsRunning())
        return;
    if (size > 0 && data == nullptr)
    {
        Universal::ThrowModuleError(
            Universal::ModuleError(Universal::kError_InvalidParameter, L"KPX ch255 SendMessage()"),
            L"pData == nullptr");
    }
    const std::span<const std::uint8_t> payload(static_cast<const std::uint8_t*>(data), size);
    m_sendQueue.Push(std::make_unique<SendMessageCommand>(
        Development::MakeDevelopmentMessage(m_channel.GetNegotiatedVersion(), type, payload), timeoutMs,
        L"message 0x%02X (payload=%u)", unsigned{type}, size));
    // A send thread that ended meanwhile sends nothing more.
    if (!m_sendThread.IsRunning())
        m_sendQueue.Clear();
}

void DevelopmentAgent::SetMessageReceiver(const MessageReceiver& receiver)
{
    ScopedLock lock(m_receiverLock);
    if (&receiver == &m_receiver)
        return;
    m_receiver.Reset();
    if (!receiver.IsNull())
        m_receiver = receiver;
}

void DevelopmentAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void DevelopmentAgent::SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

// ---------------------------------------------------------------------------
// The channel's open and closed state.

void DevelopmentAgent::CloseStep(bool final, bool dropQueued)
{
    CloseMessageChannel(m_channel, m_channelOpen, m_channelClosed, final, m_sendThread, m_recvThread,
                        [&]
                        {
                            if (dropQueued)
                                m_sendQueue.Clear();
                        });
}

bool DevelopmentAgent::OpenStep(Platform::BaseEventCondition& stop)
{
    // Messages sent since the last close (or since Start, before this thread
    // came here) go out on this open: its first close keeps them.
    bool first = true;
    return OpenMessageChannel(
        m_channel, stop, m_openRequest, m_channelOpen, m_channelClosed,
        [&](bool final) { CloseStep(final, !std::exchange(first, false)); }, [] {}, [] {});
}

// ---------------------------------------------------------------------------
// Threads.

void DevelopmentAgent::SendThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchingErrors(*this, [&] { SendLoop(thread); });
    DispatchingErrors(*this, [&] { CloseStep(true); });
}

void DevelopmentAgent::SendLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_channelClosed};
    while (!thread.IsStopRequested())
    {
        if (!OpenStep(thread.GetStopEvent()))
            return;
        DispatchingErrors(*this, [&] { SendNext(m_sendQueue, m_channel, waitList, kLogPrefix); });
        CloseStep(false);
    }
}

void DevelopmentAgent::RecvThread(Platform::Thread_Posix& thread, void*)
{
    RunReceiveThread(
        *this, thread, m_sendThread, m_openRequest, m_channelOpen, m_channelClosed, m_channel,
        L"KPX ch255 message header size too small.", L"KPX ch255 message size too small.",
        [&](const CommonMessageHeader& header, const WaitObjectList& waitList)
        {
            ChannelMessageSource source(m_channel, &waitList);
            return DispatchMessage(header, source);
        },
        [&](bool final) { CloseStep(final); });
}

// ---------------------------------------------------------------------------
// Received messages.

bool DevelopmentAgent::DispatchMessage(const CommonMessageHeader& header, MessageSource& source)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
        return HandleCommonError(header, source);
    if (header.messageClass == kMessageClass_Development)
        return HandleDevelopmentMessage(header, source);
    return HandleUnknownMessage(header, source);
}

bool DevelopmentAgent::HandleDevelopmentMessage(const CommonMessageHeader& header, MessageSource& source)
{
    try
    {
        std::vector<std::uint8_t> payload;
        if (Development::ReadDevelopmentMessage(header, source, m_channel.GetNegotiatedVersion(),
                                                m_messageLimit, payload) != 0)
            return false;
        ScopedLock lock(m_receiverLock);
        if (!m_receiver.IsNull())
        {
            m_receiver(header.messageType, payload.empty() ? nullptr : payload.data(),
                       static_cast<unsigned int>(payload.size()));
        }
        return true;
    }
    catch (const std::exception& exception)
    {
        Universal::ThrowStdExceptionError(StdExceptionError(exception));
    }
}

bool DevelopmentAgent::HandleCommonError(const CommonMessageHeader& header, MessageSource& source)
{
    ReceivedCommonError error;
    if (ReadCommonErrorMessage(header, source, m_channel.GetNegotiatedVersion(),
                               L"KPX ch255 common error message.", error) != 0)
        return false;
    LogErrorText(L"KPX ch255 error: errorId = 0x%08x", error.message.errorId);
    LogErrorText(L"KPX ch255 error: source class = %u type = 0x%02X", unsigned{error.message.sourceClass},
                 unsigned{error.message.sourceType});
    if (!error.text.empty())
        LogErrorText(L"KPX ch255 error: string = \"%ls\"", Universal::FromNarrow(error.text.c_str()).c_str());
    return true;
}

bool DevelopmentAgent::HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source)
{
    LogErrorText(L"KPX ch255 Received unknown message: class = %u type = 0x%02X",
                 unsigned{header.messageClass}, unsigned{header.messageType});
    if (m_sendThread.IsRunning())
        CommonError(m_sendQueue, kErrorIdUnknownMessage, header, m_channel.GetNegotiatedVersion());
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

} // namespace Q7::KPX
