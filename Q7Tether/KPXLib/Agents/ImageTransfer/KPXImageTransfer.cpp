#include "Agents/ImageTransfer/KPXImageTransfer.h"

#include <array>
#include <cstdint>
#include <exception>
#include <utility>

#include "Agents/ImageTransfer/KPXImageTransferMessages.h"
#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXDataTransfer.h"

namespace Q7::KPX
{
namespace
{

using namespace ImageTransfer;
using Platform::ScopedLock;
using Universal::LogErrorText;
using Universal::LogInfo;
using Universal::ModuleError;
using Universal::StdExceptionError;
using Universal::UniversalError;

// A close: the most it waits for the send thread's message in flight.
constexpr std::uint32_t kCloseFlushWaitMs = 1000;
const wchar_t* const kLogPrefix = L"KPX ch4 ";
// The error of a sub-channel that does not open.
constexpr std::uint32_t kError_SubChannelNotOpen = 0x15E0019;

} // namespace

// ---------------------------------------------------------------------------
// Construction.

ImageTransferAgent::ImageTransferAgent(std::shared_ptr<IAllocator<unsigned char>> allocator,
                                       ChannelTransport& firstTransport, ChannelTransport& secondTransport,
                                       const ChannelTimings& channelTimings,
                                       const ImageTransferTimings& timings)
    : TwoSubChannelAgent(4, 1, 2, firstTransport, secondTransport, channelTimings), m_timings(timings),
      m_pool(allocator ? std::move(allocator) : std::make_shared<Allocator>(), kPoolBuffers,
             kPoolAllocMultiple, kLogPrefix),
      m_machine(*this, m_pool, m_deliveryQueue, *this, ImageTransferVariant::kImageTransfer, timings.transfer)
{
    m_channelsReset.Set();
    GetFirstChannel().AddClientMajorVersion({1, 0});
    GetSecondChannel().AddClientMajorVersion({1, 0});
    GetFirstChannel().Start();
    GetSecondChannel().Start();
}

ImageTransferAgent::~ImageTransferAgent()
{
    try
    {
        StopThreads();
    }
    catch (const UniversalError& error)
    {
        Q7_REPORT_INTERNAL_ERROR(error, nullptr);
    }
}

void ImageTransferAgent::SetProgressCallback(const ProgressFunction& callback)
{
    m_machine.GetTransferProvider().SetProgressCallback(callback);
}

// ---------------------------------------------------------------------------
// Open and StopThreads.

void ImageTransferAgent::Open()
{
    OpenThreads(L"KPX ch4 sub-channel 4.1 did not open.",
                [this]
                {
                    m_machine.GetWishesToldEvent().Reset();
                    m_ctrlThread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::ControlThread),
                                       nullptr, Platform::kInfinite);
                    m_sendThread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::SendThread),
                                       nullptr, Platform::kInfinite);
                    m_rcv1Thread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::ReceiveThread),
                                       reinterpret_cast<void*>(std::uintptr_t{1}), Platform::kInfinite);
                    m_rcv2Thread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::ReceiveThread),
                                       reinterpret_cast<void*>(std::uintptr_t{2}), Platform::kInfinite);
                    if (!GetFirstChannel().WaitForOpen(m_timings.subChannelOpenWaitMs) ||
                        !GetSecondChannel().WaitForOpen(m_timings.subChannelOpenWaitMs))
                        Universal::ThrowModuleError(
                            ModuleError(kError_SubChannelNotOpen,
                                        L"KPX ch4 One of the ImageTransfer sub-channels could not open!"));
                    // The control thread tells the camera the wishes it holds right after
                    // the open; a switch the caller makes next must go out behind them
                    // (else the status that answers them would pass for the switch's).
                    Platform::WaitForObject(&m_machine.GetWishesToldEvent(), m_timings.subChannelOpenWaitMs);
                    m_ntfyThread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::NotifyThread),
                                       nullptr, Platform::kInfinite);
                    m_dlvrThread.Start(Platform::ThreadFunctor(this, &ImageTransferAgent::DeliverThread),
                                       nullptr, Platform::kInfinite);
                });
}

void ImageTransferAgent::ShutDownChannels(bool stopPeers)
{
    CloseChannels(stopPeers);
}

void ImageTransferAgent::AfterThreadsStopped()
{
    m_machine.DropRetiredTasks();
}

// ---------------------------------------------------------------------------
// The channel cycle.

void ImageTransferAgent::CloseChannels(bool stopPeers)
{
    if (stopPeers)
        StopPeers();
    m_channelsOpen.Reset();
    m_firstOpen.Reset();
    // The readers and the writer let go first: what the camera still sends
    // waits in the sub-channels' own buffers, and nothing is written once a
    // CloseRequest went out.
    m_channelsReset.Set();
    // An image delivered here must be acknowledged to the camera too, before
    // 4.2 closes: none completes from now on, and the acknowledgements of
    // those that did go out; the other commands are dropped.
    m_machine.HoldCompletions();
    FlushForClose(m_sendQueue, GetFirstChannel(), kCloseFlushWaitMs, kLogPrefix);
    const std::exception_ptr closeError = CloseSubChannels();
    ResetTransferStatus();
    if (closeError)
        std::rethrow_exception(closeError);
}

void ImageTransferAgent::ResetTransferStatus()
{
    m_machine.ResetTransferStatus();
    m_sendQueue.Clear();
}

bool ImageTransferAgent::OpenChannels(Platform::Thread_Posix& thread)
{
    try
    {
        CloseChannels(false);
        if (!WaitForPeersParked(thread))
        {
            CloseChannels(false);
            return false;
        }
        // Every peer waits for the open: nothing of the last cycle is left.
        ResetTransferStatus();
        m_channelsReset.Reset();
        if (!GetFirstChannel().IsPipeConnected() || !GetSecondChannel().IsPipeConnected() ||
            OpenSubChannels(thread, [this] { m_firstOpen.Set(); }) != SubChannelsOpen::kOpened)
        {
            // 4.1's reader started at once: the camera may talk on 4.1 (its
            // status) while 4.2 opens.
            CloseChannels(false);
            return false;
        }
        m_channelsOpen.Set();
        return true;
    }
    catch (...)
    {
        try
        {
            CloseChannels(false);
        }
        catch (const UniversalError&)
        {
            // The open's error is the one to report.
        }
        throw;
    }
}

// ---------------------------------------------------------------------------
// Threads.

void ImageTransferAgent::ControlThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    if (DispatchedError(*this, [&] { ControlLoop(thread); }))
        DispatchedError(*this, [&] { CloseChannels(true); });
}

void ImageTransferAgent::ControlLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList stopObjects{&thread.GetStopEvent(), &m_channelsReset};
    while (!thread.IsStopRequested())
    {
        if (!OpenChannels(thread))
        {
            CloseChannels(true);
            return;
        }
        // The camera learns the host's wishes again after every open.
        DispatchedError(*this,
                        [&]
                        {
                            m_machine.WithWishes(
                                [&](bool enabled, std::uint32_t megabytes)
                                {
                                    Queue(MakeEnableTransferMessage(GetFirstVersion(), enabled),
                                          L"EnableTransfer (%u)", enabled ? 1U : 0U);
                                    Queue(MakeSetHostStorageSizeMessage(GetFirstVersion(), megabytes),
                                          L"SetHostStorageSize (%u MB)", megabytes);
                                });
                            m_machine.ServeTransfers(stopObjects);
                        });
        CloseChannels(false);
    }
}

void ImageTransferAgent::SendThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this, [&] { SendLoop(thread); });
    DispatchedError(*this, [&] { CloseChannels(true); });
}

void ImageTransferAgent::SendLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_channelsReset};
    while (!thread.IsStopRequested())
    {
        if (!WaitForChannelsOpen(m_sendParked, m_channelsOpen, thread))
            return;
        DispatchedError(*this, [&] { SendNext(m_sendQueue, GetFirstChannel(), waitList, kLogPrefix); });
        CloseChannels(false);
    }
}

void ImageTransferAgent::ReceiveThread(Platform::Thread_Posix& thread, void* parameter)
{
    const auto subChannel = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(parameter));
    Q7_ASSERT((subChannel == 1) || (subChannel == 2));
    thread.GetReadyEvent().Set();
    DispatchedError(*this, [&] { ReceiveLoop(thread, subChannel); });
    DispatchedError(*this, [&] { CloseChannels(true); });
}

void ImageTransferAgent::ReceiveLoop(Platform::Thread_Posix& thread, std::uint32_t subChannel)
{
    Channel& channel = subChannel == 1 ? GetFirstChannel() : GetSecondChannel();
    Platform::EventCondition_Posix& parked = subChannel == 1 ? m_rcv1Parked : m_rcv2Parked;
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_channelsReset};
    while (!thread.IsStopRequested())
    {
        if (!WaitForChannelsOpen(parked, subChannel == 1 ? m_firstOpen : m_channelsOpen, thread))
            return;
        DispatchedError(*this,
                        [&]
                        {
                            while (!thread.IsStopRequested() && !m_channelsReset.IsSet())
                            {
                                std::array<std::uint8_t, kCommonMessageHeaderSize> bytes{};
                                std::uint32_t bytesRead = 0;
                                if (channel.Read(bytes.data(), sizeof(bytes), &waitList, &bytesRead,
                                                 Platform::kInfinite) != kChannelResult_Done ||
                                    bytesRead != sizeof(bytes))
                                    return;
                                const CommonMessageHeader header = *DecodeMessageHeader(bytes);
                                CheckMessageHeader(header, L"KPX ch4 message header size too small.",
                                                   L"KPX ch4 message size too small.");
                                TimedChannelSource source(channel, waitList, m_timings.messageReadTimeoutMs,
                                                          ImageTransferMachine::kPieceSize);
                                if (!m_machine.HandleMessage(header, source))
                                    return;
                            }
                        });
        // A failed read or handler, an error or a reset: both sub-channels
        // close and the control thread opens them again.
        CloseChannels(false);
    }
}

void ImageTransferAgent::NotifyThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(
        *this,
        [&]
        {
            for (;;)
            {
                std::uint32_t index = Platform::kNoSignalledIndex;
                Platform::WaitForAnyOf(&index, 2, &thread.GetStopEvent(), &m_machine.GetStatusChangedEvent());
                if (index == 0)
                    return;
                m_machine.GetStatusChangedEvent().Reset();
                TransferStatus status;
                GetTransferStatus(status);
                ScopedLock lock(m_notifyReceiverLock);
                if (m_notifyReceiver.IsNull())
                    continue;
                Universal::CallAndLogErrors(L"KPX ch4 notify receiver", [&]
                                            { m_notifyReceiver(kNotify_TransferStatusChanged, &status); });
            }
        });
}

void ImageTransferAgent::DeliverThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this,
                    [&]
                    {
                        // A transfer's begin goes first: served after its blocks
                        // or its delivery (a fast transfer, a busy thread), it
                        // would start a task already part-way or done.
                        Platform::BaseWaitObject* const objects[] = {
                            &m_machine.GetBeginEvent(), &m_deliveryQueue.GetEvent(),
                            &m_machine.GetBlockReadEvent(), &m_machine.GetDoneEvent(),
                            &thread.GetStopEvent()};
                        const WaitObjectList stopList{&thread.GetStopEvent()};
                        for (;;)
                        {
                            std::uint32_t index = Platform::kNoSignalledIndex;
                            Platform::WaitForObjects(&index, 5, objects, false, Platform::kInfinite);
                            switch (index)
                            {
                            case 0:
                                m_machine.ServeBegin();
                                break;
                            case 1:
                            {
                                ImageReceivePackage package(m_pool);
                                if (m_deliveryQueue.Pop(package, stopList))
                                    Deliver(package);
                                break;
                            }
                            case 2:
                                m_machine.ServeBlockRead();
                                break;
                            case 3:
                                m_machine.ServeDone();
                                break;
                            default:
                                return;
                            }
                        }
                    });
}

void ImageTransferAgent::Deliver(ImageReceivePackage& package)
{
    if (package.buffer.IsEmpty() || package.size == 0)
    {
        LogErrorText(L"KPX ch4 trying to deliver an empty image.");
    }
    else
    {
        LogInfo(L"KPX ch4 delivering image (id=%u, size=%u (%u MB), filename=\"%ls\")", package.imageId,
                package.size, MiBRoundedUp(package.size),
                Universal::FromNarrow(package.fileName.c_str()).c_str());
        ScopedLock lock(m_imageReceiverLock);
        if (m_imageReceiver)
            Universal::CallAndLogErrors(L"KPX ch4 image receiver", [&] { m_imageReceiver(package); });
        else
            LogErrorText(L"KPX ch4 No image receiver method defined. Image discarded!");
    }
    // Delivered or dropped, the image is no longer pending here.
    m_machine.CountDelivered();
    package.buffer.Release();
}

// ---------------------------------------------------------------------------
// Requests.

void ImageTransferAgent::QueueGetStatus()
{
    if (m_sendThread.IsRunning())
        Queue(MakeGetStatusMessage(GetFirstVersion()), L"GetStatus");
}

void ImageTransferAgent::SetTransferEnabled(bool enabled)
{
    m_machine.SetTransferEnabledWish(enabled,
                                     [&]
                                     {
                                         if (m_sendThread.IsRunning())
                                             Queue(MakeEnableTransferMessage(GetFirstVersion(), enabled),
                                                   L"EnableTransfer (%u)", enabled ? 1U : 0U);
                                     });
}

bool ImageTransferAgent::IsTransferEnabled() const
{
    return m_machine.IsTransferEnabledWish() && AreThreadsRunning();
}

void ImageTransferAgent::SetHostStorageSize(std::uint32_t megabytes)
{
    m_machine.SetHostStorageSizeWish(megabytes,
                                     [&]
                                     {
                                         if (m_sendThread.IsRunning())
                                             Queue(
                                                 MakeSetHostStorageSizeMessage(GetFirstVersion(), megabytes),
                                                 L"SetHostStorageSize (%u MB)", megabytes);
                                     });
}

std::uint32_t ImageTransferAgent::GetHostStorageSize()
{
    QueueGetStatus();
    return m_machine.GetCameraStorageSize();
}

std::uint32_t ImageTransferAgent::GetPendingImageCount()
{
    QueueGetStatus();
    return m_machine.GetTransferStatus().pendingCount;
}

void ImageTransferAgent::GetTransferStatus(TransferStatus& status)
{
    QueueGetStatus();
    status = m_machine.GetTransferStatus();
}

bool ImageTransferAgent::RequestImage(std::uint32_t imageId)
{
    try
    {
        if (!m_sendThread.IsRunning())
            return false;
        Queue(MakeRequestImageMessage(GetFirstVersion(), imageId), L"RequestImage (imageId: %u)", imageId);
        return m_machine.TakeImageRequestReply(m_timings.requestImageWaitMs);
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

void ImageTransferAgent::SetImageReceiver(ImageReceiver receiver)
{
    RefuseOwnThread(L"SetImageReceiver");
    ScopedLock lock(m_agentLock);
    StopThreads();
    ScopedLock receiverLock(m_imageReceiverLock);
    m_imageReceiver = std::move(receiver);
}

void ImageTransferAgent::SetNotifyReceiver(const NotifyReceiver& receiver)
{
    ScopedLock lock(m_agentLock);
    ScopedLock receiverLock(m_notifyReceiverLock);
    if (&receiver == &m_notifyReceiver)
        return;
    m_notifyReceiver.Reset();
    if (!receiver.IsNull())
        m_notifyReceiver = receiver;
}

// ---------------------------------------------------------------------------
// ImageTransferReplies: queued on 4.1 while the send thread runs.

void ImageTransferAgent::SendDataBeginAck(std::uint32_t dataId)
{
    Queue(MakeDataBeginAckMessage(GetSecondVersion(), dataId), L"DataBeginAck (id=%u)", dataId);
}

void ImageTransferAgent::SendDataEndAck(std::uint32_t dataId)
{
    if (!m_sendThread.IsRunning())
        return;
    auto command = std::make_unique<SendMessageCommand>(MakeDataEndAckMessage(GetSecondVersion(), dataId),
                                                        kSendNoTimeout, L"DataEndAck (id=%u)", dataId);
    // The image is on its way to the receiver: the camera must not keep it.
    command->SetGoesOutBeforeClose();
    m_sendQueue.Push(std::move(command));
}

void ImageTransferAgent::SendCommonError(std::uint32_t errorId, const CommonMessageHeader& received)
{
    if (m_sendThread.IsRunning())
        CommonError(m_sendQueue, errorId, received, GetFirstVersion());
}

} // namespace Q7::KPX
