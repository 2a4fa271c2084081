#include "Agents/ImageEnumeration/KPXImageEnumeration.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "Channel/KPXMessageReader.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

namespace Q7::KPX
{
namespace
{

using namespace ImageEnumeration;
using Platform::ScopedLock;
using Universal::LogDebug;
using Universal::LogErrorText;
using Universal::ModuleError;
using Universal::StdExceptionError;
using Universal::UniversalError;

constexpr std::uint32_t kThreadStopWaitMs = 10000;
// The CommonError id that answers a message this side does not know.
constexpr std::uint32_t kErrorIdUnknownMessage = 0x01000001;
const wchar_t* const kLogPrefix = L"KPX ch3 ";

std::uint64_t WallClockMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// Runs a request; a standard exception in it is raised as StdExceptionError
// (reported as an internal error with its place).
template <typename Body>
bool ConvertingStdExceptions(Body&& body)
{
    try
    {
        return body();
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Request gates and the notify queue.

// Lets one request of a kind onto the wire at a time: the others wait here, in
// order, until the reply before them ended. Thread-safe.
class ImageEnumerationAgent::RequestGate
{
public:
    explicit RequestGate(SendMessageQueue& queue) : m_queue(queue) {}

    void Push(std::unique_ptr<SendMessageCommand> command)
    {
        std::lock_guard lock(m_lock);
        if (!m_inFlight)
        {
            m_queue.Push(std::move(command));
            m_inFlight = true;
            return;
        }
        m_held.push_back(std::move(command));
    }

    // A request of the gate is on its way, its reply not yet ended.
    bool InFlight()
    {
        std::lock_guard lock(m_lock);
        return m_inFlight;
    }

    // The reply of the request on the wire ended: the next one goes out.
    // Nothing while none is on its way.
    void Release()
    {
        std::lock_guard lock(m_lock);
        if (!m_inFlight)
            return;
        m_inFlight = false;
        if (m_held.empty())
            return;
        std::unique_ptr<SendMessageCommand> next = std::move(m_held.front());
        m_held.pop_front();
        m_queue.Push(std::move(next));
        m_inFlight = true;
    }

    // The channel closed: nothing is on the wire, the held requests go.
    void Reset()
    {
        std::lock_guard lock(m_lock);
        m_inFlight = false;
        m_held.clear();
    }

private:
    SendMessageQueue& m_queue;
    std::mutex m_lock; // guards m_inFlight and m_held; held while pushing into the queue
    bool m_inFlight = false;
    std::deque<std::unique_ptr<SendMessageCommand>> m_held;
};

// The finished records on their way to the notify thread, oldest first, at
// most kMaxQueuedNotifications of them (and one ImageListChanged): a camera
// that pushes faster than the application's receiver takes costs no memory
// beyond them. Thread-safe.
class ImageEnumerationAgent::NotifyQueue
{
public:
    struct Entry
    {
        ImageEnumNotify kind = kImageEnumNotify_ImageListChanged;
        RecordPtr record = NoRecord();
    };

    // Appends the record. While the queue is full, a change of the image
    // list is told as one ImageListChanged behind what waits (the agent's
    // list itself holds every change: the receiver reads it again), and any
    // other record is dropped; the first of a run is logged.
    void Push(ImageEnumNotify kind, RecordPtr record)
    {
        ScopedLock lock(m_lock);
        if (m_entries.size() >= kMaxQueuedNotifications)
        {
            if (!m_overflowLogged)
            {
                m_overflowLogged = true;
                Universal::LogWarning(
                    L"KPX ch3 notify queue: %u records wait for the notify receiver; a list change "
                    L"is told as one ImageListChanged and other records are dropped until it catches up.",
                    static_cast<unsigned>(m_entries.size()));
            }
            const bool listChange =
                kind == kImageEnumNotify_ImageAdded || kind == kImageEnumNotify_ImageRemoved ||
                kind == kImageEnumNotify_ImageChanged || kind == kImageEnumNotify_ImageListChanged;
            if (listChange && m_entries.back().kind != kImageEnumNotify_ImageListChanged)
                m_entries.push_back({kImageEnumNotify_ImageListChanged, NoRecord()});
            return;
        }
        m_entries.push_back({kind, std::move(record)});
        m_hasEntries.Set();
    }

    // Takes the oldest entry, waiting while there is none; false when the
    // abort object was signalled first.
    bool Pop(Entry& entry, Platform::BaseWaitObject& abort)
    {
        for (;;)
        {
            {
                ScopedLock lock(m_lock);
                if (!m_entries.empty())
                {
                    entry = std::move(m_entries.front());
                    m_entries.pop_front();
                    if (m_entries.empty())
                    {
                        m_hasEntries.Reset();
                        m_overflowLogged = false;
                    }
                    return true;
                }
            }
            Platform::BaseWaitObject* const objects[] = {&abort, &m_hasEntries};
            std::uint32_t index = Platform::kNoSignalledIndex;
            Platform::WaitForObjects(&index, 2, objects, false, Platform::kInfinite);
            if (index == 0)
                return false;
        }
    }

    // Frees every record still queued.
    void Clear()
    {
        std::deque<Entry> dropped;
        {
            ScopedLock lock(m_lock);
            dropped.swap(m_entries);
            m_hasEntries.Reset();
        }
    }

private:
    Platform::Mutex_Posix m_lock; // guards m_entries and keeps m_hasEntries in step with it
    Platform::EventCondition_Posix m_hasEntries;
    std::deque<Entry> m_entries;
    bool m_overflowLogged = false; // the run of a full queue was logged
};

// ---------------------------------------------------------------------------
// Construction, Start and Stop.

ImageEnumerationAgent::ImageEnumerationAgent(ChannelTransport& transport,
                                             const ChannelTimings& channelTimings,
                                             const ImageEnumerationTimings& timings)
    : BaseAgent(3, 0, transport, channelTimings), m_timings(timings),
      m_basicInfoGate(std::make_unique<RequestGate>(m_sendQueue)),
      m_imageBufferGate(std::make_unique<RequestGate>(m_sendQueue)),
      m_notifyQueue(std::make_unique<NotifyQueue>()), m_assembly(*this, timings.replyAllocationLimit)
{
    m_channel.AddClientMajorVersion({1, 0});
    m_channel.Start();
    m_channelClosed.Set();
}

ImageEnumerationAgent::~ImageEnumerationAgent()
{
    Stop();
}

void ImageEnumerationAgent::Start()
{
    ScopedLock lock(m_agentLock);
    if (IsRunning())
        return;
    try
    {
        Stop();
        // The send thread opens the channel itself; this only finds out
        // whether the camera lets it open.
        if (m_channel.Open() != 0)
            return;
        m_channel.Close();
        m_notifyThread.Start(Platform::ThreadFunctor(this, &ImageEnumerationAgent::NotifyThread), nullptr,
                             Platform::kInfinite);
        m_sendThread.Start(Platform::ThreadFunctor(this, &ImageEnumerationAgent::SendThread), nullptr,
                           Platform::kInfinite);
        m_recvThread.Start(Platform::ThreadFunctor(this, &ImageEnumerationAgent::RecvThread), nullptr,
                           Platform::kInfinite);
        if (!IsRunning())
            Stop();
    }
    catch (...)
    {
        Stop();
        throw;
    }
}

void ImageEnumerationAgent::Stop()
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
    m_notifyThread.GetStopEvent().Set();
    StopThread(m_sendThread);
    StopThread(m_recvThread);
    StopThread(m_notifyThread);
    // Ended threads are released, so that Start can start them again.
    m_sendThread.Close();
    m_recvThread.Close();
    m_notifyThread.Close();
    m_notifyQueue->Clear();
}

void ImageEnumerationAgent::StopThread(Platform::Thread_Posix& thread)
{
    while (!thread.Stop(kThreadStopWaitMs))
        LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.", thread.GetName());
}

bool ImageEnumerationAgent::IsRunning() const
{
    return m_notifyThread.IsRunning() && m_sendThread.IsRunning() && m_recvThread.IsRunning();
}

void ImageEnumerationAgent::SetNotifyReceiver(const NotifyReceiver& receiver)
{
    ScopedLock agentLock(m_agentLock);
    ScopedLock receiverLock(m_receiverLock);
    if (&receiver == &m_receiver)
        return;
    m_receiver.Reset();
    if (!receiver.IsNull())
        m_receiver = receiver;
}

void ImageEnumerationAgent::SetErrorCallback(const Universal::ErrorCallback& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

void ImageEnumerationAgent::SetErrorCallback(
    const std::function<void(const Universal::UniversalError&)>& callback)
{
    ErrorDispatcher::SetErrorCallback(callback);
    m_channel.SetErrorCallback(callback);
}

// ---------------------------------------------------------------------------
// The channel's open and closed state.

void ImageEnumerationAgent::CloseStep(bool final)
{
    CloseMessageChannel(m_channel, m_channelOpen, m_channelClosed, final, m_sendThread, m_recvThread,
                        [&]
                        {
                            // Nothing is on the wire any more: the queue first, then
                            // the gates, so that a request pushed meanwhile never
                            // leaves its gate shut.
                            m_sendQueue.Clear();
                            m_basicInfoGate->Reset();
                            m_imageBufferGate->Reset();
                            m_assembly.ResetRequests();
                        });
}

bool ImageEnumerationAgent::OpenStep(Platform::BaseEventCondition& stop)
{
    return OpenMessageChannel(
        m_channel, stop, m_openRequest, m_channelOpen, m_channelClosed, [&](bool final) { CloseStep(final); },
        [] {},
        // Before the receive thread may read: the reply headers' sizes.
        [&] { m_assembly.SetProtocolVersion(m_channel.GetNegotiatedVersion()); });
}

// ---------------------------------------------------------------------------
// Threads.

void ImageEnumerationAgent::NotifyThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchingErrors(*this,
                      [&]
                      {
                          while (!thread.IsStopRequested())
                          {
                              NotifyQueue::Entry entry;
                              if (!m_notifyQueue->Pop(entry, thread.GetStopEvent()))
                                  continue;
                              ScopedLock lock(m_receiverLock);
                              if (m_receiver.IsNull())
                                  continue; // the record is freed
                              LogDebug(L"KPX ch3 calling notify receiver.");
                              try
                              {
                                  m_receiver(entry.kind, std::move(entry.record));
                              }
                              catch (const UniversalError& error)
                              {
                                  Universal::LogError(ModuleError(Universal::kError_UnexpectedException,
                                                                  L"KPX ch3 notify receiver"),
                                                      L"%ls", error.GetMessage().c_str());
                              }
                              catch (...)
                              {
                                  Universal::LogError(ModuleError(Universal::kError_UnexpectedException,
                                                                  L"KPX ch3 notify receiver"));
                              }
                              LogDebug(L"KPX ch3 notify receiver returned.");
                          }
                      });
}

void ImageEnumerationAgent::SendThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchingErrors(*this, [&] { SendLoop(thread); });
    DispatchingErrors(*this, [&] { CloseStep(true); });
}

void ImageEnumerationAgent::SendLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_channelClosed};
    while (!thread.IsStopRequested())
    {
        if (!OpenStep(thread.GetStopEvent()))
            return;
        // SendNext ends when a write fails or the channel closes.
        DispatchingErrors(*this,
                          [&]
                          {
                              const ProtocolVersion version = RequestVersion();
                              m_sendQueue.Push(std::make_unique<SendMessageCommand>(
                                  MakeGetImageListMessage(version), kSendNoTimeout, L"GetImageList"));
                              m_sendQueue.Push(std::make_unique<SendMessageCommand>(
                                  MakeGetCapabilitiesMessage(version), kSendNoTimeout, L"GetCapabilities"));
                              SendNext(m_sendQueue, m_channel, waitList, kLogPrefix);
                          });
        CloseStep(false);
    }
}

void ImageEnumerationAgent::RecvThread(Platform::Thread_Posix& thread, void*)
{
    RunReceiveThread(
        *this, thread, m_sendThread, m_openRequest, m_channelOpen, m_channelClosed, m_channel,
        L"KPX ch3 message header size too small.", L"KPX ch3 message size too small.",
        [&](const CommonMessageHeader& header, const WaitObjectList& waitList)
        {
            TimedChannelSource source(m_channel, waitList, m_timings.messageReadTimeoutMs);
            return DispatchMessage(header, source);
        },
        [&](bool final) { CloseStep(final); });
}

// ---------------------------------------------------------------------------
// Received messages.

bool ImageEnumerationAgent::DispatchMessage(const CommonMessageHeader& header, MessageSource& source)
{
    if (header.messageClass == kMessageClass_Common && header.messageType == kCommonMessage_Error)
        return HandleCommonError(header, source);
    if (header.messageClass == kMessageClass_ImageEnumeration && m_assembly.Handles(header.messageType))
        return m_assembly.AssembleMessage(header, source);
    return HandleUnknownMessage(header, source);
}

bool ImageEnumerationAgent::HandleCommonError(const CommonMessageHeader& header, MessageSource& source)
{
    ReceivedCommonError error;
    if (ReadCommonErrorMessage(header, source, RequestVersion(), L"KPX ch3 common error message.", error) !=
        0)
        return false;
    LogErrorText(L"KPX ch3 error: errorId = 0x%08x", error.message.errorId);
    LogErrorText(L"KPX ch3 error: source class = %u type = 0x%02X", unsigned{error.message.sourceClass},
                 unsigned{error.message.sourceType});
    if (!error.text.empty())
        LogErrorText(L"KPX ch3 error: string = \"%ls\"", Universal::FromNarrow(error.text.c_str()).c_str());
    // The camera refused a request of this channel: its reply ends with the
    // error as status.
    if (error.message.sourceClass == kMessageClass_ImageEnumeration)
        m_assembly.FinishWithCameraError(error.message.sourceType, error.message.errorId);
    return true;
}

bool ImageEnumerationAgent::HandleUnknownMessage(const CommonMessageHeader& header, MessageSource& source)
{
    LogErrorText(L"KPX ch3 Received unknown message: class = %u type = 0x%02X", unsigned{header.messageClass},
                 unsigned{header.messageType});
    if (IsSending())
        CommonError(m_sendQueue, kErrorIdUnknownMessage, header, RequestVersion());
    return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
}

// ---------------------------------------------------------------------------
// Requests.

bool ImageEnumerationAgent::IsSending() const
{
    return m_sendThread.IsRunning();
}

ProtocolVersion ImageEnumerationAgent::RequestVersion() const
{
    return m_channel.GetNegotiatedVersion();
}

bool ImageEnumerationAgent::WaitForImageList(const ImageListCallback& callback)
{
    try
    {
        return m_assembly.WaitForImageList(m_timings.imageListWaitMs, callback);
    }
    catch (const std::exception& exception)
    {
        Q7_THROW_INTERNAL_ERROR(StdExceptionError(exception), nullptr);
    }
}

bool ImageEnumerationAgent::RequestBasicImageInfo(std::uint32_t imageId)
{
    return ConvertingStdExceptions(
        [&]
        {
            if (!IsSending())
                return false;
            m_basicInfoGate->Push(std::make_unique<SendMessageCommand>(
                MakeBasicImageInfoMessage(RequestVersion(), imageId), kSendNoTimeout, L"BasicImageInfo"));
            return true;
        });
}

bool ImageEnumerationAgent::RequestCapabilities()
{
    return ConvertingStdExceptions(
        [&]
        {
            if (!IsSending())
                return false;
            m_sendQueue.Push(std::make_unique<SendMessageCommand>(
                MakeGetCapabilitiesMessage(RequestVersion()), kSendNoTimeout, L"GetCapabilities"));
            return true;
        });
}

bool ImageEnumerationAgent::RequestMetadata(std::uint32_t imageId)
{
    return ConvertingStdExceptions(
        [&]
        {
            if (!IsSending())
                return false;
            std::vector<std::uint32_t> ids;
            for (int pair = 0; pair < 6; ++pair)
            {
                ids.push_back(kMetadataItemA);
                ids.push_back(kMetadataItemB);
            }
            return m_assembly.RequestMetadata(imageId, ids);
        });
}

bool ImageEnumerationAgent::RequestPreview(const ImageBufferRequestInfo& info)
{
    return ConvertingStdExceptions([&] { return QueueImageBufferRequest(info, kBufferKind_Preview); });
}

bool ImageEnumerationAgent::RequestTile(const ImageBufferRequestInfo& info)
{
    return ConvertingStdExceptions([&] { return QueueImageBufferRequest(info, kBufferKind_Tile); });
}

bool ImageEnumerationAgent::QueueImageBufferRequest(const ImageBufferRequestInfo& info,
                                                    std::uint32_t bufferKind)
{
    if (!IsSending())
        return false;
    MessageBytes message = MakeGetImageBufferMessage(RequestVersion(), info, bufferKind, WallClockMs());
    if (message.empty())
        return false;
    m_imageBufferGate->Push(
        std::make_unique<SendMessageCommand>(std::move(message), kSendNoTimeout, L"GetImageBuffer"));
    return true;
}

bool ImageEnumerationAgent::RateImage(std::uint32_t imageId, std::uint32_t rating)
{
    return QueueEdit(imageId, kEdit_Rate, rating);
}

bool ImageEnumerationAgent::DeleteImage(std::uint32_t imageId)
{
    return QueueEdit(imageId, kEdit_Delete, 0);
}

bool ImageEnumerationAgent::QueueEdit(std::uint32_t imageId, std::uint32_t editKind, std::uint32_t value)
{
    if (!IsSending())
        return false;
    m_sendQueue.Push(std::make_unique<SendMessageCommand>(
        MakeEditImageMetadataMessage(RequestVersion(), imageId, editKind, value), kSendNoTimeout,
        L"EditImageMetadata"));
    return true;
}

bool ImageEnumerationAgent::SetSubscriptions(std::uint32_t flags, std::uint32_t options,
                                             std::uint8_t optionByte)
{
    return ConvertingStdExceptions(
        [&]
        {
            if (!IsSending())
                return false;
            m_sendQueue.Push(std::make_unique<SendMessageCommand>(
                MakeSetSubscriptionMessage(RequestVersion(), flags, options, optionByte), kSendNoTimeout,
                L"SetSubscription"));
            return true;
        });
}

// ---------------------------------------------------------------------------
// What the reply assembly asks of the agent (receive thread; SendGetMetadata
// also on a requester's thread).

void ImageEnumerationAgent::PostRecord(ImageEnumNotify kind, RecordPtr record)
{
    m_notifyQueue->Push(kind, std::move(record));
}

void ImageEnumerationAgent::ReleaseGate(std::uint8_t replyType)
{
    if (replyType == kImageEnumMessage_BasicImageInfoReply)
        m_basicInfoGate->Release();
    else if (replyType == kImageEnumMessage_ImageBufferReply)
        m_imageBufferGate->Release();
}

bool ImageEnumerationAgent::IsAwaited(std::uint8_t replyType)
{
    if (replyType == kImageEnumMessage_BasicImageInfoReply)
        return m_basicInfoGate->InFlight();
    if (replyType == kImageEnumMessage_ImageBufferReply)
        return m_imageBufferGate->InFlight();
    return false;
}

bool ImageEnumerationAgent::SendGetMetadata(std::uint32_t imageId, std::span<const std::uint32_t> itemIds)
{
    if (!IsSending())
        return false;
    m_sendQueue.Push(std::make_unique<SendMessageCommand>(
        MakeGetMetadataMessage(RequestVersion(), imageId, itemIds), kSendNoTimeout, L"GetMetadata"));
    return true;
}

} // namespace Q7::KPX
