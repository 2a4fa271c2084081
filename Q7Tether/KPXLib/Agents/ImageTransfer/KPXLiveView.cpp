#include "Agents/ImageTransfer/KPXLiveView.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <utility>

#include "Agents/Programming/KPXProgrammingTransfer.h"
#include "Channel/KPXMessageReader.h"
#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXDataTransfer.h"

namespace Q7::KPX
{
namespace
{

using namespace LiveView;
using Platform::ScopedLock;
using Universal::LogErrorText;
using Universal::LogInfo;
using Universal::LogWarning;
using Universal::ModuleError;
using Universal::StdExceptionError;
using Universal::UniversalError;

const wchar_t* const kLogPrefix = L"KPX ch5 ";
constexpr std::uint32_t kError_SendThreadNotRunning = 0x15E0019;
constexpr std::uint32_t kError_FeatureNotSupported = 0x15E001D;
constexpr ProtocolVersion kVersion11{1, 1};
constexpr ProtocolVersion kVersion12{1, 2};
// How often the control thread looks for a frame that went quiet.
constexpr std::uint32_t kDeadlineLookMs = 250;

[[noreturn]] void ThrowNotRetrieved(const wchar_t* context)
{
    throw ModuleError(Universal::kError_Unexpected, context);
}

Universal::UniversalString CameraText(const std::string& text)
{
    return Universal::FromNarrow(text.c_str());
}

} // namespace

// ---------------------------------------------------------------------------
// Construction.

LiveViewAgent::LiveViewAgent(std::shared_ptr<IAllocator<unsigned char>> allocator,
                             ChannelTransport& firstTransport, ChannelTransport& secondTransport,
                             const ChannelTimings& channelTimings, const LiveViewTimings& timings)
    : TwoSubChannelAgent(5, 1, 2, firstTransport, secondTransport, channelTimings), m_timings(timings),
      m_pool(allocator ? std::move(allocator) : std::make_shared<Allocator>(), kPoolBuffers,
             kPoolAllocMultiple, kLogPrefix),
      m_machine(*this, m_pool, m_deliveryQueue, *this, ImageTransferVariant::kLiveView, timings.transfer)
{
    m_wakeUp.Set();
    m_noWait.Set();
    GetFirstChannel().AddClientMajorVersion({1, 0});
    GetFirstChannel().AddClientMajorVersion({1, 1});
    GetFirstChannel().AddClientMajorVersion({1, 2});
    GetSecondChannel().AddClientMajorVersion({1, 0});
    GetFirstChannel().Start();
    GetSecondChannel().Start();
}

LiveViewAgent::~LiveViewAgent()
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

// ---------------------------------------------------------------------------
// Open and StopThreads.

bool LiveViewAgent::IsRunning() const
{
    return AreThreadsRunning();
}

void LiveViewAgent::Open()
{
    OpenThreads(
        L"KPX ch5 sub-channel 5.1 did not open.",
        [this]
        {
            // All six start, then all are waited for: their start-ups
            // overlap. They wait for each other through events (the
            // channels' open, the stop), not for being started first.
            m_ntfyThread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::NotifyThread), nullptr, 0);
            m_ctrlThread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::ControlThread), nullptr, 0);
            m_sendThread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::SendThread), nullptr, 0);
            m_rcv1Thread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::ReceiveThread),
                               reinterpret_cast<void*>(std::uintptr_t{1}), 0);
            m_rcv2Thread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::ReceiveThread),
                               reinterpret_cast<void*>(std::uintptr_t{2}), 0);
            m_dlvrThread.Start(Platform::ThreadFunctor(this, &LiveViewAgent::DeliverThread), nullptr, 0);
            Platform::WaitForThreadsReady(
                {&m_ntfyThread, &m_ctrlThread, &m_sendThread, &m_rcv1Thread, &m_rcv2Thread, &m_dlvrThread});
        });
}

void LiveViewAgent::ShutDownChannels(bool stopPeers)
{
    Shutdown(stopPeers);
}

void LiveViewAgent::AfterThreadsStopped()
{
    m_goAhead.Reset();
}

// ---------------------------------------------------------------------------
// The channel cycle.

void LiveViewAgent::Shutdown(bool stopPeers)
{
    if (stopPeers)
        StopPeers();
    m_channelsOpen.Reset();
    m_wakeUp.Set();
    const std::exception_ptr closeError = CloseSubChannels();
    ResetRecords();
    if (closeError)
        std::rethrow_exception(closeError);
}

void LiveViewAgent::ResetRecords()
{
    m_capabilitiesReply.Reset();
    m_configurationReply.Reset();
    m_timeReply.Reset();
    m_stateReply.Reset();
    {
        ScopedLock lock(m_stateLock);
        SetStateLocked(kLiveViewState_Stop);
    }
    m_machine.ResetTransferStatus();
    {
        ScopedLock lock(m_configurationLock);
        m_autoFormat.SetEnabled(false);
    }
    m_sendQueue.Clear();
    // Frames not yet delivered are dropped with their buffers.
    Platform::EventCondition_Posix drained;
    drained.Set();
    const WaitObjectList noWait{&drained};
    ImageReceivePackage dropped(m_pool);
    while (m_deliveryQueue.GetCount() > 0 && m_deliveryQueue.Pop(dropped, noWait))
        dropped.buffer.Release();
}

LiveViewAgent::OpenResult LiveViewAgent::OpenChannels(Platform::Thread_Posix& thread)
{
    try
    {
        Shutdown(false);
        if (!WaitForPeersParked(thread))
            return OpenResult::kStopped;
        // Every peer waits for the open: nothing of the last cycle is left.
        ResetRecords();
        if (!GetFirstChannel().IsPipeConnected() || !GetSecondChannel().IsPipeConnected())
            return OpenResult::kNotConnected;
        switch (OpenSubChannels(thread, [] {}))
        {
        case SubChannelsOpen::kOpened:
            break;
        case SubChannelsOpen::kStopped:
            Shutdown(false);
            return OpenResult::kStopped;
        case SubChannelsOpen::kRefused:
            Shutdown(false);
            return OpenResult::kRefused;
        }
        m_wakeUp.Reset();
        m_channelsOpen.Set();
        return OpenResult::kOpened;
    }
    catch (...)
    {
        try
        {
            Shutdown(false);
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

void LiveViewAgent::ControlThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this, [&] { ControlLoop(thread); });
    DispatchedError(*this, [&] { Shutdown(true); });
}

void LiveViewAgent::ControlLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList stopObjects{&thread.GetStopEvent(), &m_wakeUp};
    while (!thread.IsStopRequested())
    {
        OpenResult result = OpenResult::kRefused;
        if (DispatchedError(*this, [&] { result = OpenChannels(thread); }))
            result = OpenResult::kRefused;
        if (result == OpenResult::kStopped || result == OpenResult::kNotConnected)
            return;
        if (result == OpenResult::kRefused)
        {
            // A camera that refuses a sub-channel is asked again a second
            // later; only the thread's stop ends the wait.
            Platform::WaitForObject(&thread.GetStopEvent(), m_timings.reopenWaitMs);
            continue;
        }
        DispatchedError(*this,
                        [&]
                        {
                            Queue(MakeGetCapabilitiesMessage(GetFirstVersion()), L"GetCapabilities");
                            Queue(MakeGetConfigurationMessage(GetFirstVersion()), L"GetConfiguration");
                            {
                                ScopedLock lock(m_stateLock);
                                SendSetControl(m_state);
                            }
                            m_goAhead.Set();
                            ServeWaitingFrames(stopObjects);
                        });
        DispatchedError(*this, [&] { Shutdown(false); });
    }
}

void LiveViewAgent::ServeWaitingFrames(const WaitObjectList& stopObjects)
{
    WaitObjectList waits(stopObjects);
    waits.push_back(&m_bufferWanted);
    // A buffer is waited for while the frame stays begun: its abort or a
    // reset ends the wait.
    WaitObjectList poolAborts(stopObjects);
    poolAborts.push_back(&m_machine.GetStateChangedEvent());
    for (;;)
    {
        // The receive threads do not wake this one for a frame that begins:
        // a frame that goes quiet is found by looking now and then.
        const std::uint32_t due = m_machine.CheckDeadlines();
        std::uint32_t index = Platform::kNoSignalledIndex;
        if (!Platform::WaitForObjects(&index, static_cast<std::uint32_t>(waits.size()), waits.data(), false,
                                      std::min(due, kDeadlineLookMs)))
            continue;
        if (index < stopObjects.size())
            return;
        m_bufferWanted.Reset();
        while (m_machine.GetDataState(true) == kDataState_Begin && !m_machine.AttachBuffer(poolAborts))
        {
            if (Platform::WaitForObjects(nullptr, static_cast<std::uint32_t>(stopObjects.size()),
                                         stopObjects.data(), false, 0))
                return;
        }
    }
}

void LiveViewAgent::ServeFrame()
{
    switch (m_machine.GetDataState(false))
    {
    case kDataState_Begin:
        // Only a buffer that is free at once: a wait for the application to
        // let one go is the control thread's, so that this thread reads on.
        if (!m_machine.AttachBuffer(m_noWaitObjects))
            m_bufferWanted.Set();
        break;
    case kDataState_End:
        m_machine.CompleteTransfer();
        break;
    default:
        break;
    }
}

void LiveViewAgent::SendThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this, [&] { SendLoop(thread); });
    DispatchedError(*this, [&] { Shutdown(true); });
}

void LiveViewAgent::SendLoop(Platform::Thread_Posix& thread)
{
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_wakeUp};
    while (!thread.IsStopRequested())
    {
        if (!WaitForChannelsOpen(m_sendParked, m_channelsOpen, thread))
            return;
        DispatchedError(*this, [&] { SendNext(m_sendQueue, GetFirstChannel(), waitList, kLogPrefix); });
        DispatchedError(*this, [&] { Shutdown(false); });
    }
}

void LiveViewAgent::ReceiveThread(Platform::Thread_Posix& thread, void* parameter)
{
    const auto subChannel = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(parameter));
    Q7_ASSERT((subChannel == 1) || (subChannel == 2));
    thread.GetReadyEvent().Set();
    DispatchedError(*this, [&] { ReceiveLoop(thread, subChannel); });
    DispatchedError(*this, [&] { Shutdown(true); });
}

void LiveViewAgent::ReceiveLoop(Platform::Thread_Posix& thread, std::uint32_t subChannel)
{
    Channel& channel = subChannel == 1 ? GetFirstChannel() : GetSecondChannel();
    Platform::EventCondition_Posix& parked = subChannel == 1 ? m_rcv1Parked : m_rcv2Parked;
    const WaitObjectList waitList{&thread.GetStopEvent(), &m_wakeUp};
    while (!thread.IsStopRequested())
    {
        if (!WaitForChannelsOpen(parked, m_channelsOpen, thread))
            return;
        DispatchedError(*this,
                        [&]
                        {
                            while (!thread.IsStopRequested() && !m_wakeUp.IsSet())
                            {
                                std::array<std::uint8_t, kCommonMessageHeaderSize> bytes{};
                                std::uint32_t bytesRead = 0;
                                if (channel.Read(bytes.data(), sizeof(bytes), &waitList, &bytesRead,
                                                 Platform::kInfinite) != kChannelResult_Done)
                                    return;
                                Q7_ASSERT(bytesRead == sizeof(bytes));
                                const CommonMessageHeader header = *DecodeMessageHeader(bytes);
                                CheckMessageHeader(header, L"KPX ch5 message header size too small.",
                                                   L"KPX ch5 message size too small.");
                                TimedChannelSource source(channel, waitList, m_timings.messageReadTimeoutMs,
                                                          ImageTransferMachine::kPieceSize);
                                if (header.messageClass == kMessageClass_LiveView)
                                {
                                    if (!HandleLiveViewMessage(header, source))
                                        return;
                                    continue;
                                }
                                if (!m_machine.HandleMessage(header, source))
                                    return;
                                ServeFrame();
                            }
                        });
        // A failed read or handler, an error or a reset: both sub-channels
        // close and the control thread opens them again.
        DispatchedError(*this, [&] { Shutdown(false); });
    }
}

void LiveViewAgent::NotifyThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this,
                    [&]
                    {
                        for (;;)
                        {
                            std::uint32_t index = Platform::kNoSignalledIndex;
                            Platform::WaitForAnyOf(&index, 4, &thread.GetStopEvent(), &m_capabilitiesChanged,
                                                   &m_configurationChanged, &m_stateChanged);
                            if (index == 0)
                                return;
                            if (index == 1)
                            {
                                m_capabilitiesChanged.Reset();
                                Capabilities copy;
                                {
                                    ScopedLock lock(m_capabilitiesLock);
                                    copy = m_capabilities;
                                }
                                ScopedLock lock(m_notifyReceiverLock);
                                if (!m_notifyReceiver.IsNull())
                                    Universal::CallAndLogErrors(
                                        L"KPX ch5 notify receiver",
                                        [&] { m_notifyReceiver(kNotify_CapabilitiesChanged, &copy); });
                            }
                            else if (index == 2)
                            {
                                m_configurationChanged.Reset();
                                Configuration copy;
                                {
                                    ScopedLock lock(m_configurationLock);
                                    copy = m_configuration;
                                }
                                ScopedLock lock(m_notifyReceiverLock);
                                if (!m_notifyReceiver.IsNull())
                                    Universal::CallAndLogErrors(
                                        L"KPX ch5 notify receiver",
                                        [&] { m_notifyReceiver(kNotify_ConfigurationChanged, &copy); });
                            }
                            else
                            {
                                m_stateChanged.Reset();
                                std::uint32_t state = 0;
                                {
                                    ScopedLock lock(m_stateLock);
                                    state = m_state;
                                }
                                const void* payload = reinterpret_cast<const void*>(std::uintptr_t{state});
                                ScopedLock lock(m_notifyReceiverLock);
                                if (!m_notifyReceiver.IsNull())
                                    Universal::CallAndLogErrors(
                                        L"KPX ch5 notify receiver",
                                        [&] { m_notifyReceiver(kNotify_StateChanged, payload); });
                            }
                        }
                    });
}

void LiveViewAgent::DeliverThread(Platform::Thread_Posix& thread, void*)
{
    thread.GetReadyEvent().Set();
    DispatchedError(*this,
                    [&]
                    {
                        const WaitObjectList stopList{&thread.GetStopEvent()};
                        for (;;)
                        {
                            ImageReceivePackage package(m_pool);
                            if (!m_deliveryQueue.Pop(package, stopList))
                                return;
                            Deliver(package);
                        }
                    });
}

void LiveViewAgent::Deliver(ImageReceivePackage& package)
{
    std::uint32_t state = kLiveViewState_Stop;
    {
        ScopedLock lock(m_stateLock);
        state = m_state;
    }
    if (state != kLiveViewState_Start)
    {
        LogInfo(L"Live view stopped. Discarding live view image.");
    }
    else if (package.buffer.IsEmpty() || package.size == 0)
    {
        LogErrorText(L"KPX ch5 trying to deliver an empty live view image.");
    }
    else
    {
        LogInfo(L"KPX ch5 delivering live view image (id=%u, size=%u (%u MB), filename=\"%ls\")",
                package.imageId, package.size, MiBRoundedUp(package.size),
                CameraText(package.fileName).c_str());
        ScopedLock lock(m_imageReceiverLock);
        if (m_imageReceiver)
            Universal::CallAndLogErrors(L"KPX ch5 image receiver", [&] { m_imageReceiver(package); });
        else
            LogErrorText(L"KPX ch5 No image receiver method defined. Live view image discarded!");
    }
    package.buffer.Release();
}

// ---------------------------------------------------------------------------
// Class 0x69 from the camera.

bool LiveViewAgent::HandleLiveViewMessage(const CommonMessageHeader& header, MessageSource& source)
{
    const ProtocolVersion version = GetFirstVersion();
    const auto readWhole = [&](auto& message)
    {
        return ReadMessageFixedPart(source, header, message) == 0 &&
               source.Skip(std::uint64_t{header.messageSize} - header.messageHeaderSize) == 0;
    };
    switch (header.messageType)
    {
    case kLiveViewMessage_CapabilitiesReply:
    {
        CapabilitiesMessage message = MakeDefaultCapabilitiesReply(version);
        if (!readWhole(message))
            return false;
        OnCapabilities(message);
        return true;
    }
    case kLiveViewMessage_ConfigurationReply:
    {
        ConfigurationMessage message = MakeDefaultConfigurationReply(version);
        if (!readWhole(message))
            return false;
        OnConfiguration(message);
        return true;
    }
    case kLiveViewMessage_ControlReply:
    {
        ControlMessage message = MakeDefaultControlReply(version);
        if (!readWhole(message))
            return false;
        OnControl(message.control);
        return true;
    }
    case kLiveViewMessage_TimeReply:
    {
        TimeMessage message = MakeDefaultTimeReply(version);
        if (!readWhole(message))
            return false;
        OnTime(message.currentTime);
        return true;
    }
    default:
        LogErrorText(L"KPX ch5 Received unknown message: class = %u type = 0x%02X",
                     unsigned{header.messageClass}, unsigned{header.messageType});
        return source.Skip(std::uint64_t{header.messageSize} - kCommonMessageHeaderSize) == 0;
    }
}

void LiveViewAgent::OnCapabilities(const CapabilitiesMessage& message)
{
    LogInfo(L"KPX ch5 capabilities msg ------------------------------");
    LogInfo(L"KPX ch5 capabilities flags       = 0x%X", message.flags);
    LogInfo(L"KPX ch5 capabilities src area    = %u x %u", message.sourceAreaWidth, message.sourceAreaHeight);
    LogInfo(L"KPX ch5 capabilities max dim     = %u", message.maxDimension);
    LogInfo(L"KPX ch5 capabilities quality     = %f to %f", double{message.quality[0]},
            double{message.quality[1]});
    LogInfo(L"KPX ch5 capabilities lightness   = %f to %f", double{message.lightness[0]},
            double{message.lightness[1]});
    LogInfo(L"KPX ch5 capabilities format mask = 0x%X", message.formatMask);
    LogInfo(L"KPX ch5 capabilities color mask  = 0x%X", unsigned{message.colorMask});
    LogInfo(L"KPX ch5 capabilities msg ..............................");
    const Capabilities record = ToCapabilities(message, GetFirstVersion());
    ScopedLock lock(m_capabilitiesLock);
    m_capabilitiesTimeMs = Platform::GetTickCountMs();
    if (!(record == m_capabilities))
    {
        m_capabilities = record;
        m_capabilitiesChanged.Set();
    }
    m_capabilitiesReply.Set();
}

void LiveViewAgent::OnConfiguration(const ConfigurationMessage& message)
{
    LogInfo(L"KPX ch5 config msg ------------------------------");
    LogInfo(L"KPX ch5 config id            = %u", unsigned{message.configID});
    LogInfo(L"KPX ch5 config flags         = 0x%X", message.flags);
    LogInfo(L"KPX ch5 config src crop      = %u x %u (%u, %u)", message.cropWidth, message.cropHeight,
            message.cropX, message.cropY);
    LogInfo(L"KPX ch5 config pref dim      = %u", message.preferredMaxDimension);
    LogInfo(L"KPX ch5 config quality       = %f", double{message.quality});
    LogInfo(L"KPX ch5 config lightness     = %f", double{message.lightness});
    LogInfo(L"KPX ch5 config format        = 0x%X", message.format);
    LogInfo(L"KPX ch5 config color mode    = 0x%X", unsigned{message.colorMode});
    LogInfo(L"KPX ch5 config no downsample = %u", unsigned{message.noDownsample});
    LogInfo(L"KPX ch5 config comp. quality = %u", unsigned{message.compQuality});
    LogInfo(L"KPX ch5 config msg ..............................");
    const ProtocolVersion version = GetFirstVersion();
    const Configuration record = ToConfiguration(message, version);
    if (record.compQuality.present)
        m_compQuality.store(record.compQuality.value);
    ScopedLock lock(m_configurationLock);
    m_configurationTimeMs = Platform::GetTickCountMs();
    m_configurationReply.Set();
    if (record == m_configuration)
        return;
    if (!(version < kVersion11))
    {
        const std::uint16_t received = record.configID.value;
        const std::uint16_t current = m_configuration.configID.value;
        if (received != current && received != 0 && current != 0)
        {
            LogErrorText(L"KPX ch5 Ignoring config change for id=%u (current=%u)", unsigned{received},
                         unsigned{current});
            return;
        }
        m_configuration = record;
        m_configurationChanged.Set();
        return;
    }
    m_configuration = record;
}

void LiveViewAgent::OnControl(std::uint32_t control)
{
    ScopedLock lock(m_stateLock);
    if (m_pendingStop)
    {
        if (Platform::GetTickCountUs() - m_pendingStopUs <= std::uint64_t{m_timings.stopWindowMs} * 1000)
        {
            LogInfo(L"KPX ch5 ignoring control msg (control=%u)", control);
            return;
        }
        m_pendingStop = false;
    }
    LogInfo(L"KPX ch5 control msg (control=%u)", control);
    if (control > kLiveViewState_Pause)
    {
        LogWarning(L"KPX ch5 Unknown control state - treating as 'stop'");
        control = kLiveViewState_Stop;
    }
    m_stateTimeMs = Platform::GetTickCountMs();
    m_stateReply.Set();
    SetStateLocked(control);
}

void LiveViewAgent::OnTime(std::uint32_t time)
{
    LogInfo(L"KPX ch5 time msg (currentTime=%u)", time);
    ScopedLock lock(m_timeLock);
    m_currentTime = time;
    m_timeReply.Set();
}

void LiveViewAgent::SetStateLocked(std::uint32_t state)
{
    if (state == m_state)
        return;
    m_state = state;
    m_stateChanged.Set();
    // The machine accepts a frame's DataBegin only while live view runs.
    m_machine.SetTransferEnabledWish(state == kLiveViewState_Start, [] {});
}

// ---------------------------------------------------------------------------
// Requests.

template <typename... Args>
bool LiveViewAgent::WriteOrQueue(MessageBytes message, const wchar_t* format, Args... args)
{
    if (!m_sendThread.IsRunning())
        return false;
    auto command = std::make_unique<SendMessageCommand>(std::move(message), kSendNoTimeout, format, args...);
    if (m_channelsOpen.IsSet())
        WriteOrPush(m_sendQueue, std::move(command), GetFirstChannel(), m_directAborts, kLogPrefix);
    else
        m_sendQueue.Push(std::move(command));
    return true;
}

void LiveViewAgent::WaitForControlChannel()
{
    if (!GetFirstChannel().WaitForOpen(m_timings.subChannelWaitMs))
        Q7_THROW_INTERNAL_ERROR(ModuleError(Universal::kError_NotOpen, kLogPrefix),
                                L"timeout waiting for subchannel open");
}

bool LiveViewAgent::Request(MessageBytes (*make)(ProtocolVersion), const wchar_t* description)
{
    if (!m_sendThread.IsRunning())
        return false;
    WaitForControlChannel();
    return Queue(make(GetFirstVersion()), L"%ls", description);
}

bool LiveViewAgent::SendSetControl(std::uint32_t state)
{
    const std::uint32_t sent = state <= kLiveViewState_Pause ? state : kLiveViewState_Stop;
    return Queue(MakeSetControlMessage(GetFirstVersion(), state), L"SetControl (control=%u)", sent);
}

bool LiveViewAgent::SendConfiguration(const Configuration& configuration)
{
    const ProtocolVersion version = GetFirstVersion();
    const unsigned configId = version < kVersion11 ? 0U : configuration.configID.value;
    return Queue(MakeSetConfigurationMessage(version, configuration),
                 L"SetConfiguration (id = %u, crop = %u x %u (%u, %u), ...)", configId,
                 configuration.cropWidth, configuration.cropHeight, configuration.cropX, configuration.cropY);
}

void LiveViewAgent::Start()
{
    if (!Platform::WaitForObject(&m_goAhead, m_timings.goAheadWaitMs))
        LogWarning(L"Timed out while trying to start LiveView. ControlThread did not become ready in time!");
    if (m_sendThread.IsRunning())
        WaitForControlChannel();
    ScopedLock lock(m_stateLock);
    SetStateLocked(kLiveViewState_Start);
    SendSetControl(kLiveViewState_Start);
}

void LiveViewAgent::Pause()
{
    if (m_sendThread.IsRunning())
        WaitForControlChannel();
    ScopedLock lock(m_stateLock);
    if (m_state == kLiveViewState_Stop)
        return;
    SetStateLocked(kLiveViewState_Pause);
    SendSetControl(kLiveViewState_Pause);
}

void LiveViewAgent::Stop() noexcept
{
    try
    {
        {
            ScopedLock lock(m_stateLock);
            if (m_state != kLiveViewState_Stop)
            {
                SetStateLocked(kLiveViewState_Stop);
                SetAutoFormat(false, true);
            }
            // Noted before the request leaves, so that no reply of the old
            // state slips in before the window opens.
            m_pendingStop = true;
            m_pendingStopUs = Platform::GetTickCountUs();
        }
        if (m_sendThread.IsRunning())
            WaitForControlChannel();
        ScopedLock lock(m_stateLock);
        SendSetControl(kLiveViewState_Stop);
    }
    catch (const UniversalError& error)
    {
        Universal::LogError(ModuleError(Universal::kError_UnexpectedException, L"KPX ch5 stop capture"),
                            L"%ls", error.GetMessage().c_str());
    }
    catch (const std::exception& exception)
    {
        Universal::LogError(ModuleError(Universal::kError_UnexpectedException, L"KPX ch5 stop capture"),
                            L"%ls", Universal::FromNarrow(exception.what()).c_str());
    }
}

void LiveViewAgent::SetConfiguration(const Configuration& configuration)
{
    if (m_sendThread.IsRunning())
        WaitForControlChannel();
    const ProtocolVersion version = GetFirstVersion();
    ScopedLock lock(m_configurationLock);
    if (!m_configurationReply.IsSet() || configuration == m_configuration)
        return;
    LogInfo(L"KPX ch5 SetConfiguration ------------------------------");
    if (!(version < kVersion11))
        LogInfo(L"KPX ch5 SetCfg config id     = %u", unsigned{configuration.configID.value});
    LogInfo(L"KPX ch5 SetCfg flags         = 0x%X", configuration.flags);
    LogInfo(L"KPX ch5 SetCfg src crop      = %u x %u (%u, %u)", configuration.cropWidth,
            configuration.cropHeight, configuration.cropX, configuration.cropY);
    LogInfo(L"KPX ch5 SetCfg pref dim      = %u", configuration.preferredMaxDimension);
    LogInfo(L"KPX ch5 SetCfg quality       = %f", double{configuration.quality});
    LogInfo(L"KPX ch5 SetCfg lightness     = %f", double{configuration.lightness});
    LogInfo(L"KPX ch5 SetCfg format        = 0x%X", configuration.format);
    LogInfo(L"KPX ch5 SetCfg color mode    = 0x%X", unsigned{configuration.colorMode});
    LogInfo(L"KPX ch5 SetCfg no downsample = %u", unsigned{configuration.noDownsample});
    if (!(version < kVersion12))
        LogInfo(L"KPX ch5 SetCfg compQuality   = %u", unsigned{configuration.compQuality.value});
    LogInfo(L"KPX ch5 SetConfiguration ..............................");
    // Cached only once it is on its way: a failed send leaves the camera's
    // configuration as the cached one, so that a retry sends again.
    if (!SendConfiguration(configuration))
        throw ModuleError(kError_SendThreadNotRunning,
                          L"Could not send LiveVIew config object, send thread is not running!");
    m_configuration = configuration;
    m_configurationChanged.Set();
}

bool LiveViewAgent::SetWhiteBalancePoint(std::uint32_t x, std::uint32_t y)
{
    if (!m_sendThread.IsRunning())
        return false;
    WaitForControlChannel();
    return Queue(MakeSetWhiteBalancePointMessage(GetFirstVersion(), x, y),
                 L"SetWhiteBalancePoint (wbPoint=%u,%u)", x, y);
}

bool LiveViewAgent::IsWhiteBalancePointSupported()
{
    return (RetrieveCapabilities().flags & kCapability_WhiteBalancePoint) != 0;
}

Capabilities LiveViewAgent::RetrieveCapabilities()
{
    const wchar_t* const context = L"Cannot retrieve live view capabilities timed out (after 1 sec)";
    if (m_capabilitiesReply.IsSet())
    {
        Capabilities copy;
        bool stale = false;
        {
            ScopedLock lock(m_capabilitiesLock);
            copy = m_capabilities;
            stale = Platform::GetTickCountMs() - m_capabilitiesTimeMs > m_timings.retrieveWaitMs;
        }
        if (stale)
            Request(MakeGetCapabilitiesMessage, L"GetCapabilities");
        return copy;
    }
    if (!Request(MakeGetCapabilitiesMessage, L"GetCapabilities") ||
        !Platform::WaitForObject(&m_capabilitiesReply, m_timings.retrieveWaitMs))
        ThrowNotRetrieved(context);
    ScopedLock lock(m_capabilitiesLock);
    return m_capabilities;
}

Configuration LiveViewAgent::RetrieveConfiguration()
{
    const wchar_t* const context = L"Cannot retrieve live view configuration.";
    if (m_configurationReply.IsSet())
    {
        Configuration copy;
        bool stale = false;
        {
            ScopedLock lock(m_configurationLock);
            copy = m_configuration;
            stale = Platform::GetTickCountMs() - m_configurationTimeMs > m_timings.retrieveWaitMs;
        }
        if (stale)
            Request(MakeGetConfigurationMessage, L"GetConfiguration");
        return copy;
    }
    if (!Request(MakeGetConfigurationMessage, L"GetConfiguration") ||
        !Platform::WaitForObject(&m_configurationReply, m_timings.retrieveWaitMs))
        ThrowNotRetrieved(context);
    ScopedLock lock(m_configurationLock);
    return m_configuration;
}

std::uint32_t LiveViewAgent::RetrieveState()
{
    const wchar_t* const context = L"Cannot retrieve live view state.";
    if (m_stateReply.IsSet())
    {
        std::uint32_t state = 0;
        bool stale = false;
        {
            ScopedLock lock(m_stateLock);
            state = m_state;
            stale = Platform::GetTickCountMs() - m_stateTimeMs > m_timings.retrieveWaitMs;
        }
        if (stale)
            Request(MakeGetControlMessage, L"GetControl");
        return state;
    }
    if (!Request(MakeGetControlMessage, L"GetControl") ||
        !Platform::WaitForObject(&m_stateReply, m_timings.retrieveWaitMs))
        ThrowNotRetrieved(context);
    ScopedLock lock(m_stateLock);
    return m_state;
}

bool LiveViewAgent::RetrievePreciseTime(std::uint32_t& time)
{
    // Reset before asking: only this call's reply answers it.
    m_timeReply.Reset();
    if (!Request(MakeGetTimeMessage, L"GetTime"))
    {
        LogWarning(L"Cannot retrieve precise live view time.");
        return false;
    }
    if (!Platform::WaitForObject(&m_timeReply, m_timings.timeWaitMs))
        return false;
    ScopedLock lock(m_timeLock);
    time = m_currentTime;
    return true;
}

// ---------------------------------------------------------------------------
// The automatic format.

void LiveViewAgent::SetAutoFormat(bool enable, bool resetOnly)
{
    if (resetOnly)
    {
        ScopedLock lock(m_configurationLock);
        m_autoFormat.ResetCalibration();
        return;
    }
    if (!enable)
    {
        ScopedLock lock(m_configurationLock);
        m_autoFormat.SetEnabled(false);
        return;
    }
    if (GetFirstVersion() < kVersion12)
        throw ModuleError(kError_FeatureNotSupported,
                          L"KPX ch5 Auto format not supported in this protocol version.");
    // The camera's capabilities, waited for when they have not come yet: an
    // enable right after the start must not be dropped for want of them.
    const bool jpegOffered = (RetrieveCapabilities().formatMask & kFormatMask_Jpeg) != 0;
    {
        ScopedLock lock(m_configurationLock);
        if (m_autoFormat.IsEnabled() || !jpegOffered)
            return;
    }
    // Not under the configuration lock: fetching the configuration may wait
    // for the reply that its handler stores under that lock.
    SetFormat(kFormat_Jpeg);
    ScopedLock lock(m_configurationLock);
    m_autoFormat.ResetCalibration();
    m_autoFormat.SetEnabled(true);
}

bool LiveViewAgent::IsAutoFormat() const
{
    ScopedLock lock(m_configurationLock);
    return m_autoFormat.IsEnabled();
}

void LiveViewAgent::SetFormat(std::uint32_t format)
{
    Configuration configuration = RetrieveConfiguration();
    configuration.format = format;
    SetConfiguration(configuration);
}

void LiveViewAgent::SetCompressionQuality(std::uint32_t quality)
{
    Capabilities capabilities;
    {
        ScopedLock lock(m_capabilitiesLock);
        capabilities = m_capabilities;
    }
    for (const OptionalField<std::uint8_t>* bound :
         {&capabilities.minCompQuality, &capabilities.maxCompQuality})
    {
        if (!bound->present)
            throw ModuleError(kError_FeatureNotSupported,
                              Universal::FromNarrow(bound->reason.c_str()).c_str());
    }
    const std::uint32_t clamped =
        std::min<std::uint32_t>(std::max<std::uint32_t>(quality, capabilities.minCompQuality.value),
                                capabilities.maxCompQuality.value);
    m_compQuality.store(clamped);
    Configuration configuration = RetrieveConfiguration();
    configuration.compQuality = {true, static_cast<std::uint8_t>(clamped), {}};
    SetConfiguration(configuration);
}

void LiveViewAgent::UpdateAutoFormat(std::uint32_t word37, std::uint32_t payloadSize, std::uint32_t imageSize,
                                     bool jpeg)
{
    std::optional<std::uint8_t> minQuality;
    std::optional<std::uint8_t> maxQuality;
    {
        ScopedLock lock(m_capabilitiesLock);
        if (m_capabilities.minCompQuality.present && m_capabilities.maxCompQuality.present)
        {
            minQuality = m_capabilities.minCompQuality.value;
            maxQuality = m_capabilities.maxCompQuality.value;
        }
    }
    AutoFormatDecision decision;
    {
        ScopedLock lock(m_configurationLock);
        decision = m_autoFormat.Update({word37, payloadSize, imageSize, jpeg}, m_machine.GetTransferTimeMs(),
                                       m_compQuality.load(), minQuality, maxQuality);
        if (decision.transferTime)
            m_machine.SetTransferTimeMs(*decision.transferTime);
    }
    // Carried out without the lock: each fetches the configuration first.
    if (decision.format)
        SetFormat(*decision.format);
    if (decision.compQuality)
        SetCompressionQuality(*decision.compQuality);
}

// ---------------------------------------------------------------------------
// Receivers.

void LiveViewAgent::SetImageReceiver(ImageReceiver receiver)
{
    RefuseOwnThread(L"SetImageReceiver");
    ScopedLock lock(m_agentLock);
    ScopedLock receiverLock(m_imageReceiverLock);
    m_imageReceiver = std::move(receiver);
}

void LiveViewAgent::SetNotifyReceiver(const NotifyReceiver& receiver)
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
// ImageTransferReplies on 5.1 while the send thread runs: the acknowledgements
// from the thread that decided them where that takes no wait, the others
// through the send queue.

void LiveViewAgent::SendDataBeginAck(std::uint32_t dataId)
{
    WriteOrQueue(MakeDataBeginAckMessage(GetSecondVersion(), dataId), L"DataBeginAck (id=%u)", dataId);
}

void LiveViewAgent::SendDataEndAck(std::uint32_t dataId)
{
    WriteOrQueue(MakeDataEndAckMessage(GetSecondVersion(), dataId), L"DataEndAck (id=%u)", dataId);
}

void LiveViewAgent::SendCommonError(std::uint32_t, const CommonMessageHeader&)
{
    // Channel 5 answers no unknown message.
}

} // namespace Q7::KPX
