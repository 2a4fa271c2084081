// The programming agent's life cycle, its two threads, the channel handshake
// between them, its message writers and its waits.
#include "Agents/Programming/KPXProgramming.h"

#include <array>
#include <exception>
#include <initializer_list>
#include <memory>

#include "Channel/KPXChannel.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXDataTransfer.h"

namespace Q7::KPX
{
namespace
{

using Universal::ModuleError;
using Universal::StdExceptionError;
using Universal::UniversalError;

constexpr const wchar_t* kLogPrefix = L"KPX ch1 ";
// The time a stopping thread gets before the warning, again and again.
constexpr std::uint32_t kThreadStopWaitMs = 10000;

// Results of WaitForFirst besides the index of the object that ended the wait.
constexpr std::uint32_t kWaitAborted = 0xFFFFFFFD;
constexpr std::uint32_t kWaitTimedOut = 0xFFFFFFFE;

// Waits for the first of the caller's abort objects and `others`. Answers the
// index in `others` of the object that ended the wait, kWaitAborted when an
// abort object did, kWaitTimedOut when the time ran out.
std::uint32_t WaitForFirst(const WaitObjectList& abortObjects,
                           std::initializer_list<Platform::BaseWaitObject*> others, std::uint32_t timeoutMs)
{
    std::vector<Platform::BaseWaitObject*> objects(abortObjects.begin(), abortObjects.end());
    objects.insert(objects.end(), others);
    std::uint32_t index = Platform::kNoSignalledIndex;
    if (!Platform::WaitForObjects(&index, static_cast<std::uint32_t>(objects.size()), objects.data(), false,
                                  timeoutMs))
        return kWaitTimedOut;
    if (index < abortObjects.size() || index == Platform::kNoSignalledIndex)
        return kWaitAborted;
    return index - static_cast<std::uint32_t>(abortObjects.size());
}

} // namespace

ProgrammingAgent::ProgrammingAgent(ChannelTransport& transport, const ChannelTimings& channelTimings,
                                   const ProgrammingTimings& timings)
    : BaseAgent(1, 0, transport, channelTimings), m_timings(timings), m_sendThread(L"KPX ch1 send"),
      m_recvThread(L"KPX ch1 recv"), m_window(SendWindow::Create(timings.uploadWindowBlocks)),
      m_transfer(*this)
{
    m_channel.Start();
    m_closed.Set();
    m_channel.AddClientMajorVersion({1, 0});
    m_channel.AddClientMajorVersion({2, 0});
}

ProgrammingAgent::~ProgrammingAgent()
{
    try
    {
        Stop();
    }
    catch (const UniversalError& error)
    {
        Universal::LogError(error, L"KPX ch1 stopping the agent");
    }
}

void ProgrammingAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void ProgrammingAgent::SetErrorCallback(const std::function<void(const Universal::UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void ProgrammingAgent::CancelTask(std::uint32_t type, std::uint32_t id)
{
    ProgressProvider::CancelTask(type, id);
    m_fileProgress.CancelTask(type, id);
    m_firmwareProgress.CancelTask(type, id);
    Platform::ScopedLock lock(m_cancelLock);
    if (m_runningTask && m_runningTask->type == type && m_runningTask->id == id)
        m_cancelled.Set();
}

void ProgrammingAgent::SetFileProgressCallback(std::function<void(const Universal::ProgressTask&)> callback)
{
    m_fileProgress.SetProgressCallback(callback);
}

void ProgrammingAgent::SetFirmwareProgressCallback(
    std::function<void(const Universal::ProgressTask&)> callback)
{
    m_firmwareProgress.SetProgressCallback(callback);
}

// ---------------------------------------------------------------------------
// Life cycle.

void ProgrammingAgent::Start()
{
    Platform::ScopedLock lock(m_agentLock);
    if (IsStarted())
        return;
    try
    {
        Stop();
        // The probe: a camera that does not open the channel leaves the agent
        // stopped without an error.
        if (m_channel.Open() != 0)
            return;
        m_channel.Close();
        m_sendThread.Start(Platform::ThreadFunctor(this, &ProgrammingAgent::SendThreadBody), nullptr,
                           Platform::kInfinite);
        m_recvThread.Start(Platform::ThreadFunctor(this, &ProgrammingAgent::RecvThreadBody), nullptr,
                           Platform::kInfinite);
        if (!IsStarted())
            Universal::ThrowModuleError(
                ModuleError(Universal::kError_InvalidState, L"KPX ch1 failed to start all threads."));
    }
    catch (...)
    {
        Stop();
        throw;
    }
}

void ProgrammingAgent::Stop()
{
    // A transfer holds the agent lock for its whole duration and waits on
    // these events: set them first, so that a camera that never answers cannot
    // hold Stop (and the destructor) behind that lock.
    m_opened.Reset();
    m_closed.Set();
    m_sendThread.GetStopEvent().Set();
    m_recvThread.GetStopEvent().Set();

    Platform::ScopedLock lock(m_agentLock);
    CloseChannel(true);
    for (Platform::Thread_Posix* thread : {&m_sendThread, &m_recvThread})
    {
        while (!thread->Stop(kThreadStopWaitMs))
            Universal::LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.",
                                    thread->GetName());
    }
    m_sendThread.Close();
    m_recvThread.Close();
}

bool ProgrammingAgent::IsStarted() const
{
    return m_sendThread.IsRunning() && m_recvThread.IsRunning();
}

// ---------------------------------------------------------------------------
// The channel between the two threads.

void ProgrammingAgent::CloseChannel(bool wake)
{
    m_opened.Reset();
    m_closed.Set();
    m_channel.Close();
    ResetTransfer();
    if (wake)
    {
        m_sendThread.GetStopEvent().Set();
        m_recvThread.GetStopEvent().Set();
    }
}

void ProgrammingAgent::ResetTransfer()
{
    m_queue.Clear();
    m_transfer.Reset();
}

bool ProgrammingAgent::RequestChannelOpen()
{
    m_openRequest.Set();
    std::uint32_t index = Platform::kNoSignalledIndex;
    Platform::WaitForAnyOf(&index, 4, &m_recvThread.GetStopEvent(), &m_sendThread.GetStopEvent(),
                           &m_sendThread, &m_opened);
    m_openRequest.Reset();
    return index == 3;
}

bool ProgrammingAgent::OpenChannelStep(Platform::BaseEventCondition& stop)
{
    try
    {
        CloseChannel(false);
        std::uint32_t index = Platform::kNoSignalledIndex;
        Platform::WaitForAnyOf(&index, 2, &stop, &m_openRequest);
        if (index == 0)
        {
            CloseChannel(false);
            return false;
        }
        ResetTransfer();
        if (m_channel.IsPipeConnected() && m_channel.Open() == 0)
        {
            m_closed.Reset();
            m_opened.Set();
            return true;
        }
        CloseChannel(false);
        return false;
    }
    catch (...)
    {
        CloseChannel(false);
        throw;
    }
}

void ProgrammingAgent::SendThreadBody(Platform::Thread_Posix& thread, void*)
{
    Platform::BaseEventCondition& stop = thread.GetStopEvent();
    const WaitObjectList abortList{&stop, &m_closed};
    thread.GetReadyEvent().Set();
    RunDispatchingErrors(L"KPX ch1 send",
                         [&]
                         {
                             while (!stop.IsSet())
                             {
                                 // A channel that does not open ends both threads.
                                 if (!OpenChannelStep(stop))
                                     break;
                                 DispatchingErrors(*this, [&]
                                                   { SendNext(m_queue, m_channel, abortList, kLogPrefix); });
                                 CloseChannel(false);
                             }
                         });
    RunDispatchingErrors(L"KPX ch1 send", [&] { CloseChannel(true); });
}

void ProgrammingAgent::RecvThreadBody(Platform::Thread_Posix& thread, void*)
{
    Platform::BaseEventCondition& stop = thread.GetStopEvent();
    const WaitObjectList abortList{&stop, &m_closed};
    thread.GetReadyEvent().Set();
    RunDispatchingErrors(L"KPX ch1 recv",
                         [&]
                         {
                             while (!stop.IsSet())
                             {
                                 if (!RequestChannelOpen())
                                     break;
                                 // A read failure, a handler's failure or a
                                 // malformed message: close, then open again.
                                 DispatchingErrors(*this, [&] { ReceiveMessages(stop, abortList); });
                                 CloseChannel(false);
                             }
                         });
    RunDispatchingErrors(L"KPX ch1 recv", [&] { CloseChannel(true); });
}

void ProgrammingAgent::ReceiveMessages(Platform::BaseEventCondition& stop, const WaitObjectList& abortList)
{
    ChannelMessageSource source(m_channel, &abortList);
    for (;;)
    {
        if (stop.IsSet() || m_closed.IsSet())
            return;
        std::array<std::uint8_t, kCommonMessageHeaderSize> commonHeader{};
        std::uint32_t bytesRead = 0;
        if (m_channel.Read(commonHeader.data(), static_cast<std::uint32_t>(commonHeader.size()), &abortList,
                           &bytesRead, Platform::kInfinite) != 0)
            return;
        Q7_ASSERT(bytesRead == sizeof(commonHeader));
        const CommonMessageHeader header = *DecodeMessageHeader(commonHeader);
        if (header.messageHeaderSize < kCommonMessageHeaderSize)
            Universal::ThrowModuleError(
                ModuleError(Universal::kError_InvalidData, L"KPX ch1 message header size too small."));
        if (header.messageSize < header.messageHeaderSize)
            Universal::ThrowModuleError(
                ModuleError(Universal::kError_InvalidData, L"KPX ch1 message size too small."));
        if (!m_transfer.HandleMessage(header, source))
            return;
    }
}

// ---------------------------------------------------------------------------
// Waits of the operations.

bool ProgrammingAgent::WaitForOpenedChannel(const WaitObjectList& abortObjects)
{
    return WaitForFirst(abortObjects,
                        {&m_sendThread.GetStopEvent(), &m_recvThread.GetStopEvent(), &m_sendThread,
                         &m_recvThread, &m_opened, &m_cancelled},
                        Platform::kInfinite) == 4;
}

std::optional<bool> ProgrammingAgent::WaitForSignal(const WaitObjectList& abortObjects,
                                                    Platform::BaseWaitObject& signal, std::uint32_t timeoutMs)
{
    // A cancel wins over a state change that comes at the same moment.
    const std::uint32_t result = WaitForFirst(abortObjects, {&m_closed, &m_cancelled, &signal}, timeoutMs);
    if (result == kWaitTimedOut)
        return std::nullopt;
    return result == 2;
}

bool ProgrammingAgent::WaitForSendProgress(const WaitObjectList& abortObjects)
{
    // A cancel wins over a change that comes at the same moment.
    const std::uint32_t result = WaitForFirst(
        abortObjects,
        {&m_closed, &m_cancelled, &m_transfer.GetDataStateChangeEvent(), &m_window->GetChangedEvent()},
        Platform::kInfinite);
    return result == 2 || result == 3;
}

void ProgrammingAgent::WaitForSendQueueDrain(const WaitObjectList& abortObjects,
                                             std::uint32_t timeoutMs) noexcept
{
    try
    {
        // Drained: the send thread has written (or failed, or dropped) the
        // last message queued.
        WaitForFirst(abortObjects,
                     {&m_sendThread.GetStopEvent(), &m_sendThread, &m_closed, &m_queue.GetDrainedEvent()},
                     timeoutMs);
    }
    catch (...)
    {
        // Nothing is reported.
    }
}

// ---------------------------------------------------------------------------
// Writers.

template <typename... Args>
void ProgrammingAgent::Queue(MessageBytes message, const wchar_t* description, Args... args)
{
    m_queue.Push(
        std::make_unique<SendMessageCommand>(std::move(message), kSendNoTimeout, description, args...));
}

ProtocolVersion ProgrammingAgent::GetMessageVersion() const
{
    return m_channel.GetNegotiatedVersion();
}

void ProgrammingAgent::SendDataBegin(std::uint32_t dataId, std::uint32_t type, std::uint64_t maxDataSize,
                                     std::uint32_t attributes, const std::string& name)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataBeginMessage(GetMessageVersion(), type, dataId, maxDataSize, attributes, name),
          L"DataBegin (type=%u,id=%u,maxDataSize=%llu)", type, dataId,
          static_cast<unsigned long long>(maxDataSize));
}

void ProgrammingAgent::SendDataBeginAck(std::uint32_t dataId)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataBeginAckMessage(GetMessageVersion(), dataId), L"DataBeginAck (id=%u)", dataId);
}

void ProgrammingAgent::SendDataBlock(std::uint32_t dataId, SendWindow::Buffer buffer, std::uint32_t size)
{
    // Made in any case, so that the buffer goes back to the window with it.
    std::unique_ptr<SendMessageCommand> command = m_window->MakeCommand(
        std::move(buffer), size, Universal::UniversalString(L"DataBlock (id=%u,size=%u)", dataId, size));
    if (!m_sendThread.IsRunning())
        return;
    m_queue.Push(std::move(command));
}

void ProgrammingAgent::SendDataEnd(std::uint32_t dataId, std::uint64_t totalSize)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataEndMessage(GetMessageVersion(), dataId, totalSize), L"DataEnd (id=%u,totalSize=%llu)",
          dataId, static_cast<unsigned long long>(totalSize));
}

void ProgrammingAgent::SendDataEndAck(std::uint32_t dataId)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataEndAckMessage(GetMessageVersion(), dataId), L"DataEndAck (id=%u)", dataId);
}

void ProgrammingAgent::SendDataAbort(std::uint32_t dataId)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataAbortMessage(GetMessageVersion(), dataId), L"DataAbort (id=%u)", dataId);
}

void ProgrammingAgent::SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                                     const CommonMessageHeader& received)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeDataErrorMessage(GetMessageVersion(), dataId, errorId, received), L"DataError (error=%u:%u)",
          errorId >> 24, errorId & 0xFFFFFFu);
}

void ProgrammingAgent::SendGetLog(std::uint32_t logId)
{
    if (!m_sendThread.IsRunning())
        return;
    Queue(MakeGetLogMessage(GetMessageVersion(), logId), L"GetLog (id=%u)", logId);
}

void ProgrammingAgent::SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received)
{
    if (!m_sendThread.IsRunning())
        return;
    CommonError(m_queue, errorId, received, GetMessageVersion());
}

} // namespace Q7::KPX
