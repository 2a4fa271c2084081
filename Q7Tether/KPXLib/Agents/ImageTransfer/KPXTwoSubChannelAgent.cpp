#include "Agents/ImageTransfer/KPXTwoSubChannelAgent.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXDataTransfer.h"

namespace Q7::KPX
{

namespace
{

using Platform::ScopedLock;
using Universal::ModuleError;
using Universal::UniversalError;
using Universal::UniversalString;

// Wait for a stopping thread before each "taking an unexpectedly long time" line.
constexpr std::uint32_t kThreadStopWaitMs = 10000;
// The camera's refusals that the caller must see as they are.
constexpr std::uint32_t kError_ConnectionLimit = 0x15E000F;
constexpr std::uint32_t kError_Authentication = 0x15E0010;

UniversalString ThreadName(std::uint8_t channel, const wchar_t* role)
{
    return UniversalString(L"KPX ch%u %ls", static_cast<unsigned>(channel), role);
}

} // namespace

TwoSubChannelAgent::TwoSubChannelAgent(std::uint8_t channel, std::uint8_t firstSubChannel,
                                       std::uint8_t secondSubChannel, ChannelTransport& firstTransport,
                                       ChannelTransport& secondTransport, const ChannelTimings& timings)
    : BaseDataAgent(channel, firstSubChannel, secondSubChannel, firstTransport, secondTransport, timings),
      m_ctrlThread(ThreadName(channel, L"ctrl").c_str()), m_dlvrThread(ThreadName(channel, L"dlvr").c_str()),
      m_ntfyThread(ThreadName(channel, L"ntfy").c_str()), m_sendThread(ThreadName(channel, L"send").c_str()),
      m_rcv1Thread(ThreadName(channel, L"rcv1").c_str()), m_rcv2Thread(ThreadName(channel, L"rcv2").c_str()),
      m_selfWaitText(L"KPX ch%u threads cannot wait for themselves.", static_cast<unsigned>(channel))
{
}

void TwoSubChannelAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    GetFirstChannel().SetErrorCallback(callback);
    GetSecondChannel().SetErrorCallback(callback);
}

void TwoSubChannelAgent::SetErrorCallback(const std::function<void(const UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    GetFirstChannel().SetErrorCallback(callback);
    GetSecondChannel().SetErrorCallback(callback);
}

void TwoSubChannelAgent::ReportTransferError(const UniversalError& error)
{
    DispatchError(error);
}

void TwoSubChannelAgent::SendDataAbort(std::uint32_t dataId)
{
    Queue(MakeDataAbortMessage(GetSecondVersion(), dataId), L"DataAbort (id=%u)", dataId);
}

void TwoSubChannelAgent::SendDataError(std::uint32_t dataId, std::uint32_t errorId,
                                       const CommonMessageHeader& received)
{
    Queue(MakeDataErrorMessage(GetFirstVersion(), dataId, errorId, received), L"DataError (error=%u:%u)",
          errorId >> 24, errorId & 0xFFFFFFu);
}

ProtocolVersion TwoSubChannelAgent::GetFirstVersion() const
{
    return m_pFirstChannel->GetNegotiatedVersion();
}

ProtocolVersion TwoSubChannelAgent::GetSecondVersion() const
{
    return m_secondChannel.GetNegotiatedVersion();
}

TwoSubChannelAgent::~TwoSubChannelAgent() = default;

bool TwoSubChannelAgent::AreThreadsRunning() const
{
    return m_ctrlThread.IsRunning() && m_dlvrThread.IsRunning() && m_ntfyThread.IsRunning() &&
           m_sendThread.IsRunning() && m_rcv1Thread.IsRunning() && m_rcv2Thread.IsRunning();
}

bool TwoSubChannelAgent::IsOwnThread() const
{
    return m_ctrlThread.IsCurrentThread() || m_dlvrThread.IsCurrentThread() ||
           m_ntfyThread.IsCurrentThread() || m_sendThread.IsCurrentThread() ||
           m_rcv1Thread.IsCurrentThread() || m_rcv2Thread.IsCurrentThread();
}

void TwoSubChannelAgent::RefuseOwnThread(const wchar_t* what) const
{
    for (const Platform::Thread_Posix* thread :
         {&m_ctrlThread, &m_dlvrThread, &m_ntfyThread, &m_sendThread, &m_rcv1Thread, &m_rcv2Thread})
    {
        if (thread->IsCurrentThread())
            Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidState, m_selfWaitText.c_str()),
                                        L"%ls called on '%ls'", what, thread->GetName());
    }
}

void TwoSubChannelAgent::OpenThreads(const wchar_t* notOpenedText, const std::function<void()>& startThreads)
{
    RefuseOwnThread(L"Open");
    ScopedLock lock(m_agentLock);
    if (AreThreadsRunning())
        return;
    try
    {
        StopThreads();
        // The control thread opens the sub-channels itself; this only finds
        // out whether the camera lets the first one open. A camera that
        // refuses leaves the threads stopped, which the caller sees at once.
        std::int32_t result = kChannelResult_NotConnected;
        try
        {
            result = GetFirstChannel().Open();
        }
        catch (const ModuleError& error)
        {
            if (error.GetFullCode() == kError_ConnectionLimit || error.GetFullCode() == kError_Authentication)
                throw;
            Universal::LogError(error, notOpenedText);
        }
        if (result != kChannelResult_Done)
            return;
        GetFirstChannel().Close();

        startThreads();
        if (!AreThreadsRunning())
            StopThreads();
    }
    catch (...)
    {
        StopThreads();
        throw;
    }
}

void TwoSubChannelAgent::StopThreads()
{
    RefuseOwnThread(L"StopThreads");
    ScopedLock lock(m_agentLock);
    try
    {
        ShutDownChannels(true);
    }
    catch (const UniversalError&)
    {
        // Logged by the channel; the threads stop all the same.
    }
    m_dlvrThread.GetStopEvent().Set();
    m_ntfyThread.GetStopEvent().Set();
    StopThread(m_sendThread);
    StopThread(m_rcv1Thread);
    StopThread(m_rcv2Thread);
    StopThread(m_ctrlThread);
    StopThread(m_dlvrThread);
    StopThread(m_ntfyThread);
    // Ended threads are released, so that Open can start them again.
    m_sendThread.Close();
    m_rcv1Thread.Close();
    m_rcv2Thread.Close();
    m_ctrlThread.Close();
    m_dlvrThread.Close();
    m_ntfyThread.Close();
    AfterThreadsStopped();
}

void TwoSubChannelAgent::StopThread(Platform::Thread_Posix& thread)
{
    while (!thread.Stop(kThreadStopWaitMs))
        Universal::LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.", thread.GetName());
}

bool TwoSubChannelAgent::WaitForChannelsOpen(Platform::EventCondition_Posix& parked,
                                             Platform::BaseWaitObject& open, Platform::Thread_Posix& thread)
{
    parked.Set();
    m_peerParked.Set();
    std::uint32_t index = Platform::kNoSignalledIndex;
    Platform::WaitForAnyOf(&index, 4, &thread.GetStopEvent(), &m_ctrlThread.GetStopEvent(), &m_ctrlThread,
                           &open);
    parked.Reset();
    return index == 3;
}

bool TwoSubChannelAgent::WaitForPeersParked(Platform::Thread_Posix& thread)
{
    for (;;)
    {
        // Reset before the look, so that a peer parking after it wakes the wait.
        m_peerParked.Reset();
        if (m_sendParked.IsSet() && m_rcv1Parked.IsSet() && m_rcv2Parked.IsSet())
            return true;
        std::uint32_t index = Platform::kNoSignalledIndex;
        Platform::WaitForAnyOf(&index, 2, &thread.GetStopEvent(), &m_peerParked);
        if (index == 0)
            return false;
    }
}

TwoSubChannelAgent::SubChannelsOpen
TwoSubChannelAgent::OpenSubChannels(Platform::Thread_Posix& thread, const std::function<void()>& afterFirst)
{
    ScopedLock cycle(m_cycleLock);
    if (thread.IsStopRequested())
        return SubChannelsOpen::kStopped;
    if (GetFirstChannel().Open() != kChannelResult_Done)
        return SubChannelsOpen::kRefused;
    afterFirst();
    if (thread.IsStopRequested())
        return SubChannelsOpen::kStopped;
    // The camera may have closed the first meanwhile: the second opens only
    // beside it.
    if (!GetFirstChannel().IsOpen() || GetSecondChannel().Open() != kChannelResult_Done)
        return SubChannelsOpen::kRefused;
    return SubChannelsOpen::kOpened;
}

std::exception_ptr TwoSubChannelAgent::CloseSubChannels()
{
    ScopedLock cycle(m_cycleLock);
    // The readers have let go: what the camera still sends on either
    // sub-channel must not fill its buffers and hold the other's close reply
    // up where both share a pipe.
    GetFirstChannel().DiscardIncomingData();
    GetSecondChannel().DiscardIncomingData();
    std::exception_ptr closeError;
    for (Channel* channel : {&GetSecondChannel(), &GetFirstChannel()})
    {
        try
        {
            channel->Close();
        }
        catch (...)
        {
            if (!closeError)
                closeError = std::current_exception();
        }
    }
    return closeError;
}

void TwoSubChannelAgent::StopPeers()
{
    m_ctrlThread.GetStopEvent().Set();
    m_sendThread.GetStopEvent().Set();
    m_rcv1Thread.GetStopEvent().Set();
    m_rcv2Thread.GetStopEvent().Set();
}

} // namespace Q7::KPX
