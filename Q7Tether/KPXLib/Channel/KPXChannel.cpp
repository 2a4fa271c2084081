#include "Channel/KPXChannel.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7PlatformSha256.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace Q7::KPX
{

using Q7::Platform::BaseEventCondition;
using Q7::Platform::BaseWaitObject;
using Q7::Platform::EventCondition_Posix;
using Q7::Platform::kInfinite;
using Q7::Platform::kNoSignalledIndex;
using Q7::Platform::ScopedLock;
using Q7::Platform::Thread_Posix;
using Q7::Platform::WaitForAnyOf;
using Q7::Platform::WaitForObjects;
using Q7::Universal::LogDebug;
using Q7::Universal::LogErrorText;
using Q7::Universal::LogInfo;
using Q7::Universal::LogWarning;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalString;

namespace
{

constexpr std::uint32_t kStopWaitMs = 10000;
// The time-out the channel tells its transport before an OpenReply sets one.
constexpr std::uint32_t kInitialChannelTimeoutMs = 1000;
// Added to the camera's primary time-out to give the channel's time-out.
constexpr std::uint32_t kTimeoutAllowanceMs = 10000;
constexpr int kOpenTries = 3;

// Base codes of the camera's refusals: + open status (1..6), + ErrorReply code (1..8).
constexpr std::uint32_t kOpenStatusErrorBase = 0x15E000A;
constexpr std::uint32_t kErrorReplyErrorBase = 0x15E0014;

unsigned U(std::uint8_t value)
{
    return value;
}

// Time left until deadline on the monotonic clock, 0 when passed.
std::uint32_t MillisecondsUntil(std::uint64_t deadline)
{
    const std::uint64_t now = Q7::Platform::GetTickCountMs();
    if (now >= deadline)
    {
        return 0;
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, kInfinite - 1));
}

[[noreturn]] void ThrowLogged(std::uint32_t code, const UniversalString& context)
{
    Q7::Universal::ThrowModuleError(ModuleError(code, context));
}

// The camera's refusals of an open: raised with their context, not logged.
[[noreturn]] void ThrowRefusal(std::uint32_t code, const UniversalString& context)
{
    throw ModuleError(code, context);
}

} // namespace

const wchar_t* GetChannelStateName(std::uint32_t state) noexcept
{
    switch (state)
    {
    case kChannelState_Offline:
        return L"Offline";
    case kChannelState_Closed:
        return L"Closed";
    case kChannelState_OpenSend:
        return L"OpenSend";
    case kChannelState_OpenReceive:
        return L"OpenReceive";
    case kChannelState_Open:
        return L"Open";
    case kChannelState_CloseSend:
        return L"CloseSend";
    case kChannelState_CloseReceive:
        return L"CloseReceive";
    default:
        return L"Unknown";
    }
}

bool IsValidChannelStateTransition(std::uint32_t from, std::uint32_t to) noexcept
{
    if (from == to || from > kChannelState_CloseReceive || to > kChannelState_CloseReceive ||
        to == kChannelState_OpenReceive)
    {
        return false;
    }
    if (to == kChannelState_Offline)
    {
        return true;
    }
    switch (from)
    {
    case kChannelState_Offline:
        return to == kChannelState_Closed;
    case kChannelState_Closed:
        return to == kChannelState_OpenSend;
    case kChannelState_OpenSend:
        // Open: OpenReply accepted; Closed: refused or ErrorReply 4; CloseSend:
        // a CloseRequest after a time-out or a bad packet; CloseReceive: the
        // camera's CloseRequest.
        return to == kChannelState_Open || to == kChannelState_Closed || to == kChannelState_CloseSend ||
               to == kChannelState_CloseReceive;
    case kChannelState_Open:
        return to == kChannelState_Closed || to == kChannelState_CloseSend ||
               to == kChannelState_CloseReceive;
    case kChannelState_CloseSend:
    case kChannelState_CloseReceive:
        return to == kChannelState_Closed;
    default:
        return false;
    }
}

ClientIdentity MakeClientIdentity(const char* authenticationText) noexcept
{
    Q7::Platform::Sha256DigestBytes digest{};
    Q7::Platform::Sha256Digest(digest, authenticationText);
    ClientIdentity identity{};
    std::copy(digest.begin(), digest.end(), identity.begin());
    return identity;
}

// ====================================================================== life cycle

Channel::Channel(std::uint8_t channel, std::uint8_t subChannel, ChannelTransport& transport,
                 const ChannelTimings& timings)
    : KPXMessageProtocolInfo(
          channel, subChannel, [this] { return IsOpen(); }, [this] { EnsureOpen(); }),
      m_channel(channel), m_subChannel(subChannel), m_transport(transport), m_timings(timings),
      m_stateThread(UniversalString(L"KPX channel %u.%u state thread", U(channel), U(subChannel)).c_str()),
      m_receiveThread(
          UniversalString(L"KPX channel %u.%u receive thread", U(channel), U(subChannel)).c_str()),
      m_receiveBuffers(
          std::make_unique<std::uint8_t[]>(std::size_t{kChannelReceiveBuffers} * kMaxPacketLength)),
      m_lookahead(std::make_unique<std::uint8_t[]>(kChannelLookaheadBytes))
{
    m_offline.Set();
    m_notOpen.Set();
    m_stopped.Set();
    m_closeRequest.Set();
    m_stateThreadEnded.Set();
    m_receiveThreadEnded.Set();
}

Channel::~Channel()
{
    Stop();
}

void Channel::Start()
{
    const ScopedLock api(m_apiMutex);
    if (m_initialized)
    {
        return;
    }
    m_initialized = true;
    try
    {
        m_transport.SetChannelTimeout(m_channel, m_subChannel, kInitialChannelTimeoutMs);
        m_transport.SetDirectDataReceiver(m_channel, m_subChannel, this);
        m_transport.RegisterChannel(m_channel, m_subChannel, true);
        m_stopped.Reset();
        m_startRequest.Set();
        {
            const ScopedLock lock(m_readyMutex);
            m_readyPackets.clear();
            m_packetReady.Reset();
        }
        m_takenPacket = nullptr;

        // Both threads start, then both are waited for: their start-ups
        // overlap instead of following each other.
        m_receiveThreadEnded.Reset();
        m_receiveThread.Start(Q7::Platform::ThreadFunctor(this, &Channel::ReceiveThreadBody), nullptr, 0);
        m_stateThreadEnded.Reset();
        m_stateThread.Start(Q7::Platform::ThreadFunctor(this, &Channel::StateThreadBody), nullptr, 0);
        for (Thread_Posix* const thread : {&m_receiveThread, &m_stateThread})
        {
            Q7::Platform::BaseWaitObject* const objects[] = {thread, &thread->GetReadyEvent()};
            Q7::Platform::WaitForObjects(nullptr, 2, objects, false, kInfinite);
        }
    }
    catch (...)
    {
        Stop();
        throw;
    }
}

void Channel::StopThread(Thread_Posix& thread, EventCondition_Posix& endedEvent)
{
    if (thread.IsRunning())
    {
        LogInfo(L"Stopping %ls", thread.GetName());
        while (!thread.Stop(kStopWaitMs))
        {
            LogErrorText(L"%ls taking an unexpectedly long time to stop.", thread.GetName());
        }
    }
    thread.Close();
    endedEvent.Set();
}

void Channel::Stop()
{
    const ScopedLock api(m_apiMutex);
    if (!m_initialized)
    {
        return;
    }
    try
    {
        Close();
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        Q7::Universal::LogError(error, L"KPX channel %u.%u close on stop failed.", U(m_channel),
                                U(m_subChannel));
    }
    m_startRequest.Reset();
    m_stopped.Set();
    try
    {
        // Unregistering ends the receive thread's wait; withdrawing the buffers
        // makes sure the transport no longer writes into them, and clearing the
        // receiver that it no longer delivers into reads.
        m_transport.RegisterChannel(m_channel, m_subChannel, false);
        m_transport.CancelReceive(m_channel, m_subChannel);
        m_transport.SetDirectDataReceiver(m_channel, m_subChannel, nullptr);
    }
    catch (...)
    {
        // The channel stops whatever the transport says.
    }
    StopThread(m_receiveThread, m_receiveThreadEnded);
    StopThread(m_stateThread, m_stateThreadEnded);
    // The state thread goes Offline when it sees m_stopped, but its stop event
    // may end it first (it was busy until both were set): the channel leaves
    // Stop Offline either way.
    SetState(kChannelState_Offline);
    m_initialized = false;
}

// ====================================================================== writing at once

std::int32_t Channel::TryWrite(const void* source, std::uint32_t size, const WaitObjectList* abortObjects,
                               bool& written)
{
    written = false;
    if (source == nullptr && size > 0)
    {
        Q7_THROW_INTERNAL_ERROR(
            Q7::Universal::ModuleError(Q7::Universal::kError_InvalidParameter, L"KPX channel."),
            L"TryWrite()");
    }
    if (abortObjects != nullptr && !abortObjects->empty() &&
        WaitForObjects(nullptr, static_cast<std::uint32_t>(abortObjects->size()), abortObjects->data(), false,
                       0))
    {
        return kChannelResult_Aborted;
    }
    if (!IsOpen())
    {
        return kChannelResult_NotOpen;
    }
    if (!IsPipeConnected())
    {
        return kChannelResult_NotConnected;
    }
    return static_cast<std::int32_t>(m_transport.TryWriteDataPackets(
        m_channel, m_subChannel, {static_cast<const std::uint8_t*>(source), size}, m_maxPayload.load(),
        written));
}

// ====================================================================== queries

bool Channel::IsOpen() const
{
    return m_state.load() == kChannelState_Open && m_transport.IsOpen();
}

bool Channel::IsPipeConnected() const
{
    return m_transport.IsConnected();
}

bool Channel::IsInitialized() const
{
    return m_initialized.load();
}

ChannelState Channel::GetState() const
{
    return static_cast<ChannelState>(m_state.load());
}

bool Channel::WaitForOpen(std::uint32_t ms)
{
    if (IsOpen())
    {
        return true;
    }
    return Q7::Platform::WaitForObject(&m_open, ms);
}

void Channel::EnsureInitialized() const
{
    if (!m_initialized)
    {
        ThrowLogged(Q7::Universal::kError_NotInitialized,
                    UniversalString(L"KPX channel %u.%u not initialized.", U(m_channel), U(m_subChannel)));
    }
}

void Channel::EnsureOpen() const
{
    EnsureInitialized();
    if (!IsOpen())
    {
        ThrowLogged(Q7::Universal::kError_NotOpen,
                    UniversalString(L"KPX channel %u.%u not open.", U(m_channel), U(m_subChannel)));
    }
}

void Channel::EnsureConnected() const
{
    EnsureInitialized();
    if (!IsPipeConnected())
    {
        ThrowLogged(Q7::Universal::kError_NotConnected,
                    UniversalString(L"KPX channel %u.%u not connected.", U(m_channel), U(m_subChannel)));
    }
}

void Channel::SetClientIdentity(const ClientIdentity& identity)
{
    const ScopedLock lock(m_identityMutex);
    m_identity = identity;
}

ClientIdentity Channel::GetClientIdentity() const
{
    const ScopedLock lock(m_identityMutex);
    return m_identity;
}

void Channel::SetDebugMode(bool on)
{
    if (on)
    {
        LogWarning(L"KPX channel %u.%u debug enabled. Timeouts disabled.", U(m_channel), U(m_subChannel));
    }
    m_debugMode = on;
    m_transport.SetChannelDebug(m_channel, m_subChannel, on || m_cameraDebugMode.load());
}

// ====================================================================== Open and Close

void Channel::PostOpenResult(const OpenResult& result)
{
    const ScopedLock lock(m_openResultMutex);
    m_openResult = result;
    m_openResultEvent.Set();
}

void Channel::ResetOpenResult()
{
    const ScopedLock lock(m_openResultMutex);
    m_openResult = OpenResult{};
    m_openResultEvent.Reset();
}

Channel::OpenResult Channel::GetOpenResult()
{
    const ScopedLock lock(m_openResultMutex);
    return m_openResult;
}

std::int32_t Channel::Open()
{
    const ScopedLock api(m_apiMutex);
    EnsureInitialized();
    if (IsOpen())
    {
        return kChannelResult_Done;
    }
    if (!m_transport.IsOpen())
    {
        ThrowLogged(Q7::Universal::kError_NotOpen,
                    UniversalString(L"KPX channel transport is closed. Cannot open KPX channel %u.%u .",
                                    U(m_channel), U(m_subChannel)));
    }
    Close();
    try
    {
        return OpenTries();
    }
    catch (...)
    {
        Close();
        throw;
    }
}

std::int32_t Channel::OpenTries()
{
    // The state thread leaves Offline shortly after Start.
    while (m_startRequest.IsSet() && GetState() == kChannelState_Offline)
    {
        BaseWaitObject* const startObjects[] = {&m_notOffline, &m_stopped, &m_stateThreadEnded};
        WaitForObjects(nullptr, 3, startObjects, false, 100);
        if (m_stateThreadEnded.IsSet())
        {
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotInitialized),
                                    L"State thread not running.");
        }
    }

    const std::uint64_t budgetEnd = Q7::Platform::GetTickCountMs() + m_timings.openBudgetMs;
    bool unlimited = false;
    for (int attempt = 1; attempt <= kOpenTries; ++attempt)
    {
        const bool last = attempt == kOpenTries;
        ResetOpenResult();
        m_closeRequest.Reset();
        m_openRequest.Set();

        BaseWaitObject* const objects[] = {&m_open, &m_openResultEvent, &m_offline, &m_stateThreadEnded};
        std::uint32_t which = kNoSignalledIndex;
        while (
            !WaitForObjects(&which, 4, objects, false, unlimited ? kInfinite : MillisecondsUntil(budgetEnd)))
        {
            LogWarning(L"KPX channel %u.%u open taking longer than %u seconds.", U(m_channel),
                       U(m_subChannel), m_timings.openBudgetMs / 1000);
            unlimited = true;
        }

        if (which == 0)
        {
            return kChannelResult_Done;
        }
        if (which == 2)
        {
            return kChannelResult_NotConnected;
        }
        if (which == 3)
        {
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotInitialized),
                                    L"State thread not running.");
        }

        const OpenResult result = GetOpenResult();
        switch (result.kind)
        {
        case 0: // the camera's OpenReply
            if (result.status == 0)
            {
                return kChannelResult_Done;
            }
            if (result.status <= 6)
            {
                ThrowRefusal(kOpenStatusErrorBase + result.status,
                             UniversalString(L"KPX channel %u.%u open refused by the camera with status %u.",
                                             U(m_channel), U(m_subChannel), result.status));
            }
            ThrowRefusal(
                Q7::Universal::kError_Unexpected,
                UniversalString(L"KPX channel %u.%u open refused by the camera with unknown status %u.",
                                U(m_channel), U(m_subChannel), result.status));
        case 1: // an ErrorReply
            if (result.code == kErrorReply_InvalidPacketTypeForState && !last)
            {
                break;
            }
            if (result.refusedHere)
            {
                ThrowRefusal(
                    kErrorReplyErrorBase + result.code,
                    UniversalString(L"KPX channel %u.%u refused the camera's OpenReply (sent ErrorReply %u - "
                                    L"%ls).",
                                    U(m_channel), U(m_subChannel), result.code,
                                    GetErrorReplyText(static_cast<std::uint8_t>(result.code))));
            }
            if (result.code >= 1 && result.code <= 8)
            {
                ThrowRefusal(kErrorReplyErrorBase + result.code,
                             UniversalString(L"KPX channel %u.%u open answered with ErrorReply %u - %ls",
                                             U(m_channel), U(m_subChannel), result.code,
                                             GetErrorReplyText(static_cast<std::uint8_t>(result.code))));
            }
            ThrowRefusal(Q7::Universal::kError_Unexpected,
                         UniversalString(L"KPX channel %u.%u open answered with ErrorReply %u - %ls",
                                         U(m_channel), U(m_subChannel), result.code,
                                         GetErrorReplyText(static_cast<std::uint8_t>(result.code))));
        default: // no reply
            if (last)
            {
                ThrowLogged(Q7::Universal::kError_Timeout, UniversalString(L"KPX channel %u.%u open timeout.",
                                                                           U(m_channel), U(m_subChannel)));
            }
            break;
        }
        Q7::Platform::SleepMs(m_timings.openRetryDelayMs);
    }
    // Not reached: the last try returns or raises.
    ThrowLogged(Q7::Universal::kError_Timeout,
                UniversalString(L"KPX channel %u.%u open timeout.", U(m_channel), U(m_subChannel)));
}

void Channel::Close()
{
    const ScopedLock api(m_apiMutex);
    EnsureInitialized();
    const bool wasOpen = IsOpen();
    m_openRequest.Reset();
    m_closeRequest.Set();
    if (!m_stateThreadEnded.IsSet())
    {
        try
        {
            BaseWaitObject* const objects[] = {&m_closed, &m_offline, &m_stateThreadEnded};
            if (!WaitForObjects(nullptr, 3, objects, false, m_timings.closeWaitMs))
            {
                LogWarning(L"KPX channel %u.%u close taking longer than %u seconds.", U(m_channel),
                           U(m_subChannel), m_timings.closeWaitMs / 1000);
                WaitForObjects(nullptr, 3, objects, false, kInfinite);
            }
        }
        catch (const Q7::Universal::UniversalError& error)
        {
            Q7::Universal::LogError(ModuleError(Q7::Universal::kError_UnexpectedException), L"%ls",
                                    Q7::Universal::FormatErrorText(error, nullptr).c_str());
        }
    }
    if (wasOpen)
    {
        LogInfo(L"KPX channel %u.%u closed.", U(m_channel), U(m_subChannel));
        MarkClosedInRegistry();
    }
}

// ====================================================================== receive thread

void Channel::ReceiveThreadBody(Thread_Posix& thread, void* /*parameter*/)
{
    RunDispatchingErrors(thread.GetName(), [&] { ReceiveLoop(thread); });
    // A pending Read sees the end and gives up.
    m_receiveThreadEnded.Set();
}

void Channel::ReceiveLoop(Thread_Posix& thread)
{
    thread.GetReadyEvent().Set();
    // Every buffer is posted to the transport, which fills them in turn; the
    // state thread posts each again once it has handled its packet. A reader
    // that does not read therefore holds at most kChannelReceiveBuffers packets
    // before the pipe stalls.
    for (std::uint32_t i = 0; i < kChannelReceiveBuffers; ++i)
    {
        std::uint8_t* const buffer = m_receiveBuffers.get() + std::size_t{i} * kMaxPacketLength;
        if (!m_transport.PostReceiveBuffer(m_channel, m_subChannel, PacketBuffer(buffer, kMaxPacketLength)))
        {
            return;
        }
    }
    const WaitObjectList abortObjects{&thread.GetStopEvent()};
    while (!thread.GetStopEvent().IsSet())
    {
        std::uint8_t* const packet = m_transport.TakeReceivedPacket(m_channel, m_subChannel, &abortObjects);
        if (packet == nullptr)
        {
            return;
        }
        const ScopedLock lock(m_readyMutex);
        m_readyPackets.push_back(packet);
        m_packetReady.Set();
    }
}

// ====================================================================== state thread

void Channel::StateThreadBody(Thread_Posix& thread, void* /*parameter*/)
{
    RunDispatchingErrors(thread.GetName(), [&] { StateLoop(thread); });
    m_stateThreadEnded.Set();
}

void Channel::StateLoop(Thread_Posix& thread)
{
    thread.GetReadyEvent().Set();
    BaseEventCondition& stop = thread.GetStopEvent();
    while (!stop.IsSet())
    {
        switch (GetState())
        {
        case kChannelState_Offline:
            HandleOffline(stop);
            break;
        case kChannelState_Closed:
            HandleClosed(stop);
            break;
        case kChannelState_OpenSend:
            HandleOpenSend(stop);
            break;
        case kChannelState_Open:
            HandleOpen(stop);
            break;
        case kChannelState_CloseSend:
            HandleCloseSend(stop);
            break;
        case kChannelState_CloseReceive:
            HandleCloseReceive(stop);
            break;
        case kChannelState_OpenReceive:
            HandleNeverEntered(stop);
            break;
        }
    }
}

void Channel::SetState(ChannelState state)
{
    const ScopedLock lock(m_stateMutex);
    const std::uint32_t old = m_state.load();
    if (old == state)
    {
        return;
    }
    Q7_ASSERT(IsValidChannelStateTransition(old, state));
    LogInfo(L"KPX channel %u.%u state %ls -> %ls", U(m_channel), U(m_subChannel), GetChannelStateName(old),
            GetChannelStateName(state));
    // The events of the state being left are cleared before the state changes,
    // those of the new state set after it: a thread that reads the new state
    // then never finds an event of the old one still set (Open, seeing the
    // channel Closed just after Start, must not take a leftover m_offline for a
    // fall to Offline).
    if (old == kChannelState_Offline)
    {
        m_offline.Reset();
    }
    if (old == kChannelState_Closed)
    {
        m_closed.Reset();
    }
    if (old == kChannelState_Open)
    {
        m_open.Reset();
    }
    if (state == kChannelState_Offline)
    {
        m_notOffline.Reset();
    }
    if (state == kChannelState_Open)
    {
        m_notOpen.Reset();
        // A new stream: nothing read ahead of the last one belongs to it.
        const std::lock_guard readLock(m_readMutex);
        m_lookaheadBegin = 0;
        m_lookaheadEnd = 0;
        ++m_lookaheadGeneration;
    }
    m_state = state;
    if (old == kChannelState_Offline)
    {
        m_notOffline.Set();
    }
    if (old == kChannelState_Open)
    {
        m_notOpen.Set();
    }
    if (state == kChannelState_Offline)
    {
        m_offline.Set();
    }
    if (state == kChannelState_Closed)
    {
        m_closed.Set();
    }
    if (state == kChannelState_Open)
    {
        m_open.Set();
    }
}

void Channel::HandleOffline(BaseEventCondition& stop)
{
    std::uint32_t which = kNoSignalledIndex;
    WaitForAnyOf(&which, 2, &stop, &m_startRequest);
    if (which != 1)
    {
        return;
    }
    const ScopedLock lock(m_stateMutex);
    if (GetState() != kChannelState_Offline)
    {
        return;
    }
    SetState(kChannelState_Closed);
    m_startRequest.Reset();
}

void Channel::HandleClosed(BaseEventCondition& stop)
{
    std::uint32_t which = kNoSignalledIndex;
    WaitForAnyOf(&which, 4, &stop, &m_stopped, &m_packetReady, &m_openRequest);
    if (which == 0 || stop.IsSet())
    {
        return;
    }
    const ScopedLock lock(m_stateMutex);
    if (GetState() != kChannelState_Closed)
    {
        return;
    }
    switch (which)
    {
    case 1:
        SetState(kChannelState_Offline);
        break;
    case 2:
        if (const std::optional<PacketView> packet = TakePacket())
        {
            ProcessPacketInClosed(*packet);
        }
        ReleasePacket();
        break;
    case 3:
        m_openRequest.Reset();
        SendOpenRequest();
        break;
    default:
        break;
    }
}

Channel::ReplyWait Channel::AwaitReply(BaseEventCondition& stop, ChannelState state, const wchar_t* replyName,
                                       std::optional<ScopedLock>& lock)
{
    // Once the receive thread has ended no reply can arrive: that ends the wait
    // as a time-out does, even when time-outs are disabled.
    BaseWaitObject* const objects[] = {&stop, &m_stopped, &m_packetReady, &m_receiveThreadEnded};
    std::uint32_t which = kNoSignalledIndex;
    const bool signalled = WaitForObjects(
        &which, 4, objects, false, m_ignoreStateTimeout ? kInfinite : MillisecondsUntil(m_stateDeadlineMs));
    if (stop.IsSet())
    {
        return ReplyWait::kLeave;
    }
    lock.emplace(m_stateMutex);
    if (GetState() != state)
    {
        return ReplyWait::kLeave;
    }
    if (!signalled || which == 3)
    {
        if (!signalled && m_transport.AreTimeoutsDisabled())
        {
            LogWarning(L"KPX channel %u.%u ignoring timeout waiting for %ls.", U(m_channel), U(m_subChannel),
                       replyName);
            m_ignoreStateTimeout = true;
            return ReplyWait::kLeave;
        }
        LogErrorText(L"KPX channel %u.%u timeout waiting for %ls.", U(m_channel), U(m_subChannel), replyName);
        return ReplyWait::kNoReply;
    }
    if (which == 1)
    {
        SetState(kChannelState_Offline);
        return ReplyWait::kLeave;
    }
    return ReplyWait::kPacket;
}

void Channel::HandleOpenSend(BaseEventCondition& stop)
{
    std::optional<ScopedLock> lock;
    const ReplyWait wait = AwaitReply(stop, kChannelState_OpenSend, L"open-reply", lock);
    if (wait == ReplyWait::kNoReply)
    {
        SendCloseRequest();
        PostOpenResult(OpenResult{2, 0, 0, false});
        return;
    }
    if (wait != ReplyWait::kPacket)
    {
        return;
    }

    std::optional<OpenResult> result;
    if (const std::optional<PacketView> packet = TakePacket())
    {
        result = ProcessPacketInOpenSend(*packet);
    }
    ReleasePacket();

    const ChannelState state = GetState();
    if (result)
    {
        PostOpenResult(*result);
    }
    else if (state != kChannelState_OpenSend && state != kChannelState_Open && state != kChannelState_Offline)
    {
        // The channel left OpenSend without an answer to Open (the camera sent
        // a CloseRequest, or a packet that does not belong here): a try without
        // a reply, so that Open retries and ends instead of waiting for ever.
        PostOpenResult(OpenResult{2, 0, 0, false});
    }
}

void Channel::HandleOpen(BaseEventCondition& stop)
{
    std::uint32_t which = kNoSignalledIndex;
    WaitForAnyOf(&which, 4, &stop, &m_stopped, &m_closeRequest, &m_packetReady);
    if (which == 0 || stop.IsSet())
    {
        return;
    }
    const ScopedLock lock(m_stateMutex);
    if (GetState() != kChannelState_Open)
    {
        return;
    }
    switch (which)
    {
    case 1:
        SetState(kChannelState_Offline);
        break;
    case 2:
        SendCloseRequest();
        break;
    case 3:
        if (const std::optional<PacketView> packet = TakePacket())
        {
            ProcessPacketInOpen(*packet, stop);
        }
        ReleasePacket();
        break;
    default:
        break;
    }
}

void Channel::HandleCloseSend(BaseEventCondition& stop)
{
    std::optional<ScopedLock> lock;
    const ReplyWait wait = AwaitReply(stop, kChannelState_CloseSend, L"close-reply", lock);
    if (wait == ReplyWait::kNoReply)
    {
        SetState(kChannelState_Closed);
        return;
    }
    if (wait != ReplyWait::kPacket)
    {
        return;
    }
    if (const std::optional<PacketView> packet = TakePacket())
    {
        ProcessPacketInCloseSend(*packet);
    }
    ReleasePacket();
}

void Channel::HandleCloseReceive(BaseEventCondition& stop)
{
    if (stop.IsSet())
    {
        return;
    }
    const ScopedLock lock(m_stateMutex);
    if (GetState() != kChannelState_CloseReceive)
    {
        return;
    }
    if (SendCloseReply())
    {
        SetState(kChannelState_Closed);
    }
}

void Channel::HandleNeverEntered(BaseEventCondition& stop)
{
    // No handler: the state is never entered. Wait rather than spin.
    std::uint32_t which = kNoSignalledIndex;
    WaitForAnyOf(&which, 2, &stop, &m_stopped);
    if (which == 1)
    {
        const ScopedLock lock(m_stateMutex);
        SetState(kChannelState_Offline);
    }
}

// ---------------------------------------------------------------- packets

std::optional<PacketView> Channel::TakePacket()
{
    std::uint8_t* packet = nullptr;
    {
        const ScopedLock lock(m_readyMutex);
        if (!m_readyPackets.empty())
        {
            packet = m_readyPackets.front();
            m_readyPackets.pop_front();
        }
        if (m_readyPackets.empty())
        {
            m_packetReady.Reset();
        }
    }
    if (packet == nullptr)
    {
        return std::nullopt;
    }
    m_takenPacket = packet;
    // The transport delivered a whole packet whose length it read from the
    // header, so the view always fits the buffer.
    return ParsePacket(std::span<const std::uint8_t>(packet, kMaxPacketLength));
}

void Channel::ReleasePacket()
{
    if (m_takenPacket != nullptr)
    {
        // Refused once the channel is unregistered or the transport stopped:
        // the buffer then simply stays unused.
        m_transport.PostReceiveBuffer(m_channel, m_subChannel, PacketBuffer(m_takenPacket, kMaxPacketLength));
        m_takenPacket = nullptr;
    }
}

bool Channel::CheckPacket(const CommonPacketHeader& packet, bool closeAfterErrorReply)
{
    const EnumChannelPacketCheck check = CheckChannelPacketHeader(packet);
    switch (check)
    {
    case kChannelPacketCheck_Ok:
        break;
    case kChannelPacketCheck_HeaderLengthTooSmall:
        LogErrorText(L"KPX channel %u.%u received invalid packet header length %u.", U(m_channel),
                     U(m_subChannel), U(packet.headerLength));
        break;
    case kChannelPacketCheck_UnknownType:
        LogErrorText(L"KPX channel %u.%u received unknown packet type 0x%X.", U(m_channel), U(m_subChannel),
                     U(packet.packetType));
        break;
    case kChannelPacketCheck_InvalidLength:
        LogErrorText(L"KPX channel %u.%u received invalid packet length %u for type 0x%X.", U(m_channel),
                     U(m_subChannel), packet.PacketLength(), U(packet.packetType));
        break;
    }
    // The transport routes by these numbers, so they hold by construction.
    Q7_ASSERT(packet.channelNumber == m_channel);
    Q7_ASSERT(packet.subChannelNumber == m_subChannel);
    if (check == kChannelPacketCheck_Ok)
    {
        return true;
    }
    SendErrorReply(GetErrorReplyCodeForCheck(check), packet, closeAfterErrorReply);
    return false;
}

void Channel::LogReceived(const PacketView& packet)
{
    const std::uint8_t type = packet.header.packetType;
    if (type == kPacketType_Null || (type == kPacketType_Data && GetState() == kChannelState_Open))
    {
        return;
    }
    if (type == kPacketType_ErrorReply)
    {
        const std::optional<ErrorReplyPayload> reply = DecodeErrorReplyPayload(packet.payload);
        const std::uint8_t code = reply ? reply->code : 0;
        LogErrorText(L"KPX channel %u.%u received %ls: %u - %ls", U(m_channel), U(m_subChannel),
                     GetPacketTypeName(type), U(code), GetErrorReplyText(code));
        return;
    }
    LogInfo(L"KPX channel %u.%u received %ls", U(m_channel), U(m_subChannel), GetPacketTypeName(type));
}

void Channel::ProcessPacketInClosed(const PacketView& packet)
{
    if (!CheckPacket(packet.header, false))
    {
        return;
    }
    LogReceived(packet);
    switch (packet.header.packetType)
    {
    case kPacketType_CloseRequest:
        SendCloseReply();
        break;
    case kPacketType_OpenRequest:
        SendErrorReply(kErrorReply_UnsupportedPacketType, packet.header, false);
        break;
    case kPacketType_Data:
    case kPacketType_PingRequest:
    case kPacketType_OpenReply:
    case kPacketType_PingReply:
        SendErrorReply(kErrorReply_InvalidPacketTypeForState, packet.header, false);
        break;
    default: // CloseReply, ErrorReply, Null
        break;
    }
}

std::optional<Channel::OpenResult> Channel::ProcessPacketInOpenSend(const PacketView& packet)
{
    if (!CheckPacket(packet.header, true))
    {
        return std::nullopt;
    }
    LogReceived(packet);
    switch (packet.header.packetType)
    {
    case kPacketType_OpenReply:
        return HandleOpenReply(packet);
    case kPacketType_ErrorReply:
        return OpenResult{1, 0, HandleErrorReply(packet), false};
    case kPacketType_CloseRequest:
        SetState(kChannelState_CloseReceive);
        break;
    case kPacketType_OpenRequest:
        SendErrorReply(kErrorReply_UnsupportedPacketType, packet.header, true);
        break;
    case kPacketType_Data:
    case kPacketType_PingRequest:
    case kPacketType_CloseReply:
    case kPacketType_PingReply:
        SendErrorReply(kErrorReply_InvalidPacketTypeForState, packet.header, true);
        break;
    default: // Null
        break;
    }
    return std::nullopt;
}

void Channel::ProcessPacketInOpen(const PacketView& packet, BaseEventCondition& stop)
{
    if (!CheckPacket(packet.header, true))
    {
        return;
    }
    LogReceived(packet);
    switch (packet.header.packetType)
    {
    case kPacketType_Data:
        DeliverData(packet, stop);
        break;
    case kPacketType_PingRequest:
        SendPingReply(GetPingEchoByte(packet.payload));
        break;
    case kPacketType_CloseRequest:
        SetState(kChannelState_CloseReceive);
        break;
    case kPacketType_ErrorReply:
        HandleErrorReply(packet);
        break;
    case kPacketType_OpenRequest:
        SendErrorReply(kErrorReply_UnsupportedPacketType, packet.header, true);
        break;
    case kPacketType_OpenReply:
    case kPacketType_CloseReply:
        SendErrorReply(kErrorReply_InvalidPacketTypeForState, packet.header, true);
        break;
    default: // PingReply, Null
        break;
    }
}

void Channel::ProcessPacketInCloseSend(const PacketView& packet)
{
    if (!CheckPacket(packet.header, false))
    {
        return;
    }
    LogReceived(packet);
    switch (packet.header.packetType)
    {
    case kPacketType_CloseReply:
        SetState(kChannelState_Closed);
        break;
    case kPacketType_CloseRequest:
        SendCloseReply();
        break;
    case kPacketType_OpenRequest:
        SendErrorReply(kErrorReply_UnsupportedPacketType, packet.header, false);
        break;
    default:
        break;
    }
}

Channel::OpenResult Channel::HandleOpenReply(const PacketView& packet)
{
    const OpenResult refused{1, 0, kErrorReply_InvalidPacketPayload, true};
    const std::optional<OpenPayload> reply = DecodeOpenPayload(packet.payload);
    if (!reply)
    {
        LogErrorText(L"KPX channel %u.%u received an OpenReply with a payload of %u bytes.", U(m_channel),
                     U(m_subChannel), static_cast<unsigned>(packet.payload.size()));
        SendErrorReply(kErrorReply_InvalidPacketPayload, packet.header, true);
        return refused;
    }

    // 1. The camera's verdict.
    const std::uint8_t status = reply->OpenStatus();
    if (status != 0)
    {
        SetState(kChannelState_Closed);
        return OpenResult{0, status, 0, false};
    }
    // 2. The channel protocol.
    if (reply->channelProtocolVersion != 1)
    {
        LogErrorText(L"KPX channel %u.%u invalid channel protocol version %u", U(m_channel), U(m_subChannel),
                     U(reply->channelProtocolVersion));
        SendErrorReply(kErrorReply_InvalidPacketPayload, packet.header, true);
        return refused;
    }
    // 3. The camera's debug mode.
    const bool cameraDebug = (reply->flags & kOpenFlag_DebugMode) != 0;
    m_cameraDebugMode = cameraDebug;
    if (cameraDebug)
    {
        LogWarning(L"KPX channel %u.%u server in debug mode. Timeouts disabled.", U(m_channel),
                   U(m_subChannel));
    }
    m_transport.SetChannelDebug(m_channel, m_subChannel, m_debugMode.load() || cameraDebug);
    // 4. Alignment.
    if (!IsValidAlignment(reply->alignment))
    {
        LogErrorText(L"KPX channel %u.%u invalid packet alignment 0x%X.", U(m_channel), U(m_subChannel),
                     U(reply->alignment));
        SendErrorReply(kErrorReply_InvalidPacketPayload, packet.header, true);
        return refused;
    }
    m_transport.SetChannelAlignment(m_channel, m_subChannel, GetSendAlignmentExponent(reply->alignment),
                                    GetSecondAlignmentExponent(reply->alignment));
    // 5. Maximum payload.
    const std::uint16_t maxPayload = ComputeMaxPayloadLength(reply->maxPayloadLength, reply->alignment);
    if (maxPayload < kMinMaxPayloadLength)
    {
        LogErrorText(L"KPX channel %u.%u unsupported maximum payload length %u", U(m_channel),
                     U(m_subChannel), static_cast<unsigned>(reply->maxPayloadLength));
        SendErrorReply(kErrorReply_InvalidPacketPayload, packet.header, true);
        return refused;
    }
    m_maxPayload = maxPayload;
    // 6. The channel's time-out.
    const std::uint64_t timeout = std::uint64_t{reply->primaryTimeout} + kTimeoutAllowanceMs;
    m_transport.SetChannelTimeout(m_channel, m_subChannel,
                                  timeout > 0xFFFFFFFFu ? reply->primaryTimeout
                                                        : static_cast<std::uint32_t>(timeout));
    // 7. The message protocol.
    if (!CheckOpenReplyVersion(reply->messageProtocol))
    {
        SendErrorReply(kErrorReply_InvalidPacketPayload, packet.header, true);
        return refused;
    }
    SetState(kChannelState_Open);
    return OpenResult{0, 0, 0, false};
}

std::uint8_t Channel::HandleErrorReply(const PacketView& packet)
{
    const std::optional<ErrorReplyPayload> reply = DecodeErrorReplyPayload(packet.payload);
    const std::uint8_t code = reply ? reply->code : 0;
    if (code == kErrorReply_UnsupportedChannel)
    {
        SetState(kChannelState_Closed);
    }
    else
    {
        SendCloseRequest();
    }
    return code;
}

// ---------------------------------------------------------------- sending

bool Channel::SendControlPacket(const std::vector<std::uint8_t>& packet)
{
    const std::optional<CommonPacketHeader> header = DecodePacketHeader(packet);
    LogDebug(L"KPX channel %u.%u sending %ls", U(m_channel), U(m_subChannel),
             GetPacketTypeName(header ? header->packetType : 0xFE));
    if (m_transport.WritePacket(packet) != 0)
    {
        SetState(kChannelState_Offline);
        return false;
    }
    return true;
}

void Channel::SendOpenRequest()
{
    const std::vector<std::uint8_t> packet = BuildOpenRequestPacket(
        m_channel, m_subChannel, m_debugMode.load(), GetDesiredVersion(), GetClientIdentity());
    if (SendControlPacket(packet))
    {
        m_stateDeadlineMs = Q7::Platform::GetTickCountMs() + m_timings.openReplyTimeoutMs;
        m_ignoreStateTimeout = false;
        SetState(kChannelState_OpenSend);
    }
}

void Channel::SendCloseRequest()
{
    if (SendControlPacket(BuildCloseRequestPacket(m_channel, m_subChannel)))
    {
        m_stateDeadlineMs = Q7::Platform::GetTickCountMs() + m_timings.closeReplyTimeoutMs;
        m_ignoreStateTimeout = false;
        SetState(kChannelState_CloseSend);
    }
}

bool Channel::SendCloseReply()
{
    return SendControlPacket(BuildCloseReplyPacket(m_channel, m_subChannel));
}

void Channel::SendPingReply(std::uint8_t echoByte)
{
    SendControlPacket(BuildPingReplyPacket(m_channel, m_subChannel, echoByte));
}

void Channel::SendErrorReply(std::uint8_t code, const CommonPacketHeader& offending, bool thenCloseRequest)
{
    if (!m_transport.SendErrorReply(code, offending))
    {
        SetState(kChannelState_Offline);
        return;
    }
    if (thenCloseRequest)
    {
        SendCloseRequest();
    }
}

} // namespace Q7::KPX
