#include "KPXChannelTransport.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <vector>

namespace Q7::KPX
{

using Q7::Platform::EventCondition_Posix;
using Q7::Platform::kInfinite;
using Q7::Platform::Mutex_Posix;
using Q7::Platform::ScopedLock;
using Q7::Platform::Thread_Posix;
using Q7::Universal::LogErrorText;
using Q7::Universal::LogInfo;
using Q7::Universal::LogWarning;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalString;
using namespace Q7::KPX::Transport;

namespace
{

// Read-away time-out of the bytes of a packet that nobody serves.
constexpr std::uint32_t kReadAwayTimeoutMs = 2000;
// Each wait of Stop for the receive thread.
constexpr std::uint32_t kStopWaitMs = 10000;

unsigned U(std::uint8_t value)
{
    return value;
}

// Bytes that follow the first 16 header bytes of a packet: the rest of the
// header, the payload and the padding.
std::uint32_t BytesAfterHeader(const CommonPacketHeader& header)
{
    return header.PacketLength() - kPacketHeaderSize;
}

} // namespace

/// The transport's record of one channel that was ever named to it.
struct ChannelTransport::TransportChannelState
{
    TransportChannelState(std::uint8_t channelNumber, std::uint8_t subChannelNumber,
                          Q7::Platform::BaseEventCondition& receiveStop)
        : channel(channelNumber),
          subChannel(subChannelNumber), writeAbort{&closed}, readAbort{&receiveStop, &cancelled}
    {
        closed.Set();
    }

    // Settings; guarded by the transport's map lock.
    const std::uint8_t channel;
    const std::uint8_t subChannel;
    bool debug = false;
    std::uint32_t timeout = 0xFFFFFFFF;
    std::uint8_t sendAlignment = 0;
    std::uint8_t secondAlignment = 0;

    // The hand-over of packets from the receive thread to the channel.
    Mutex_Posix mutex;                  // held while a packet is read into the front posted buffer
    Mutex_Posix queueMutex;             // guards posted and filled (short sections only)
    std::deque<std::uint8_t*> posted;   // buffers the channel posted, oldest first; the front is filled next
    std::deque<std::uint8_t*> filled;   // buffers holding a whole packet, oldest first, not yet taken
    EventCondition_Posix closed;        // set while the channel is not registered
    EventCondition_Posix requestPosted; // set while posted is not empty
    EventCondition_Posix delivered;     // set while filled is not empty
    EventCondition_Posix cancelled;     // the channel withdraws its buffers
    const WaitObjectList writeAbort;    // {closed}: aborts a write when the channel unregisters
    // {the receive thread's stop event, cancelled}: aborts the read of a packet's
    // rest; made once here rather than for every packet.
    const WaitObjectList readAbort;
};

ChannelTransport::ChannelTransport(DeviceInterface& device, std::uint32_t pipeId)
    : m_pipe(device.CreatePipe(pipeId)),
      m_writePacketBuffer(std::make_unique<std::array<std::uint8_t, kMaxPacketLength>>()),
      m_receiveThread(UniversalString(L"KPX ChannelTransport thread (pipe %u)", m_pipe->GetPipeId()).c_str()),
      m_discardBuffer(std::make_unique<std::array<std::uint8_t, kMaxPacketLength>>()),
      m_stopAbort{&m_receiveThread.GetStopEvent()}
{
    m_receiverEnded.Set();
}

ChannelTransport::~ChannelTransport()
{
    Stop();
}

std::uint32_t ChannelTransport::Start()
{
    const ScopedLock lifecycle(m_lifecycleLock);
    if (m_pipe->IsOpen())
    {
        Q7::Universal::ThrowModuleError(ModuleError(Q7::Universal::kError_AlreadyOpen));
    }
    try
    {
        const std::uint32_t result = m_pipe->Open();
        if (result != kPipeResult_Success)
        {
            return result;
        }
        // A USB pipe may still hold data of an earlier session; it is drained
        // here (with burst-IN on) before the receive thread reads the first
        // header. TCP connections start empty, so there is nothing to do.
        m_receiverEnded.Reset();
        m_receiveThread.Start(Q7::Platform::ThreadFunctor(this, &ChannelTransport::ReceiveThreadBody),
                              nullptr, kInfinite);
    }
    catch (...)
    {
        Stop();
        throw;
    }
    return 0;
}

void ChannelTransport::Stop()
{
    const ScopedLock lifecycle(m_lifecycleLock);
    m_pipe->Close();
    if (m_receiveThread.IsRunning())
    {
        LogInfo(L"Stopping %ls", m_receiveThread.GetName());
        while (!m_receiveThread.Stop(kStopWaitMs))
        {
            LogErrorText(L"%ls taking an unexpectedly long time to stop.", m_receiveThread.GetName());
        }
    }
    m_receiveThread.Close();
    m_receiverEnded.Set();
    m_pipe->Close();
}

bool ChannelTransport::IsOpen() const
{
    return m_pipe->IsOpen();
}

bool ChannelTransport::IsConnected() const
{
    return m_pipe->IsConnected();
}

std::uint32_t ChannelTransport::GetPipeId() const
{
    return m_pipe->GetPipeId();
}

// ---------------------------------------------------------------- settings

ChannelTransport::TransportChannelState* ChannelTransport::FindEntry(std::uint8_t channel,
                                                                     std::uint8_t subChannel) const
{
    const ScopedLock lock(m_mapLock);
    const auto found = m_channels.find({channel, subChannel});
    return found == m_channels.end() ? nullptr : found->second.get();
}

ChannelTransport::TransportChannelState& ChannelTransport::GetOrCreateEntryLocked(std::uint8_t channel,
                                                                                  std::uint8_t subChannel)
{
    std::unique_ptr<TransportChannelState>& slot = m_channels[{channel, subChannel}];
    if (!slot)
    {
        slot = std::make_unique<TransportChannelState>(channel, subChannel, m_receiveThread.GetStopEvent());
    }
    return *slot;
}

void ChannelTransport::RecomputeDerivedLocked()
{
    bool disabled = false;
    std::uint32_t timeout = 0;
    for (const auto& [key, entry] : m_channels)
    {
        if (!entry->closed.IsSet())
        {
            disabled = disabled || entry->debug;
            timeout = std::max(timeout, entry->timeout);
        }
    }
    m_timeoutsDisabled = disabled;
    m_writeTimeout = timeout;
}

void ChannelTransport::RegisterChannel(std::uint8_t channel, std::uint8_t subChannel, bool registered)
{
    const ScopedLock lock(m_mapLock);
    TransportChannelState& entry = GetOrCreateEntryLocked(channel, subChannel);
    if (registered == !entry.closed.IsSet())
    {
        return;
    }
    if (registered)
    {
        entry.closed.Reset();
    }
    else
    {
        entry.closed.Set();
    }
    RecomputeDerivedLocked();
}

void ChannelTransport::SetChannelTimeout(std::uint8_t channel, std::uint8_t subChannel,
                                         std::uint32_t timeoutMs)
{
    const ScopedLock lock(m_mapLock);
    GetOrCreateEntryLocked(channel, subChannel).timeout = timeoutMs;
    RecomputeDerivedLocked();
}

void ChannelTransport::SetChannelDebug(std::uint8_t channel, std::uint8_t subChannel, bool debug)
{
    const ScopedLock lock(m_mapLock);
    GetOrCreateEntryLocked(channel, subChannel).debug = debug;
    RecomputeDerivedLocked();
}

void ChannelTransport::SetChannelAlignment(std::uint8_t channel, std::uint8_t subChannel,
                                           std::uint8_t sendExponent, std::uint8_t secondExponent)
{
    const ScopedLock lock(m_mapLock);
    TransportChannelState& entry = GetOrCreateEntryLocked(channel, subChannel);
    entry.sendAlignment = std::min(sendExponent, kMaxAlignmentExponent);
    entry.secondAlignment = std::min(secondExponent, kMaxAlignmentExponent);
}

bool ChannelTransport::AreTimeoutsDisabled() const
{
    const ScopedLock lock(m_mapLock);
    return m_timeoutsDisabled;
}

std::uint32_t ChannelTransport::GetWriteTimeout() const
{
    const ScopedLock lock(m_mapLock);
    return m_timeoutsDisabled ? kInfinite : m_writeTimeout;
}

// ---------------------------------------------------------------- receiving

void ChannelTransport::ReceiveThreadBody(Thread_Posix& thread, void* /*parameter*/)
{
    RunDispatchingErrors(thread.GetName(), [&] { ReceiveLoop(thread); });
    // Channels waiting for a packet give up now.
    m_receiverEnded.Set();
}

void ChannelTransport::ReceiveLoop(Thread_Posix& thread)
{
    thread.SetPriority(Q7::Platform::kThreadPriority_Highest);
    thread.GetReadyEvent().Set();
    Q7::Platform::BaseEventCondition& stopEvent = thread.GetStopEvent();
    std::array<std::uint8_t, kPacketHeaderSize> headerBytes{};

    while (!stopEvent.IsSet())
    {
        if (m_pipe->Read(headerBytes.data(), kPacketHeaderSize, &m_stopAbort, nullptr, kInfinite) !=
            kPipeResult_Success)
        {
            return;
        }
        const CommonPacketHeader header = *DecodePacketHeader(headerBytes);
        if (!IsValidPipePacketHeader(header))
        {
            LogErrorText(L"Bad channel packet header: %02X %02X %02X %02X %02X %02X %02X %02X",
                         U(headerBytes[0]), U(headerBytes[1]), U(headerBytes[2]), U(headerBytes[3]),
                         U(headerBytes[4]), U(headerBytes[5]), U(headerBytes[6]), U(headerBytes[7]));
            return;
        }

        TransportChannelState* const entry = FindEntry(header.channelNumber, header.subChannelNumber);
        if (entry == nullptr || entry->closed.IsSet())
        {
            if (!HandleUnsupportedChannel(header))
            {
                return;
            }
            continue;
        }

        // Wait until the channel posts a buffer: flow control holds the whole
        // pipe here while the channel is busy.
        for (;;)
        {
            std::uint32_t waitWhich = Q7::Platform::kNoSignalledIndex;
            Q7::Platform::WaitForAnyOf(&waitWhich, 3, &stopEvent, &entry->closed, &entry->requestPosted);
            if (waitWhich == 0)
            {
                return;
            }
            if (waitWhich == 1)
            {
                if (!HandleUnsupportedChannel(header))
                {
                    return;
                }
                break;
            }
            Q7_ASSERT(waitWhich == 2);

            const ScopedLock fill(entry->mutex);
            if (stopEvent.IsSet() || !entry->requestPosted.IsSet() || entry->cancelled.IsSet() ||
                entry->closed.IsSet())
            {
                continue;
            }
            std::uint8_t* buffer = nullptr;
            {
                const ScopedLock queue(entry->queueMutex);
                Q7_ASSERT(!entry->posted.empty());
                buffer = entry->posted.front();
            }
            std::memcpy(buffer, headerBytes.data(), kPacketHeaderSize);
            if (ReadRestOfPacket(*entry, header, buffer + kPacketHeaderSize))
            {
                const ScopedLock queue(entry->queueMutex);
                entry->posted.pop_front();
                if (entry->posted.empty())
                {
                    entry->requestPosted.Reset();
                }
                entry->filled.push_back(buffer);
                entry->delivered.Set();
            }
            break;
        }
    }
}

bool ChannelTransport::ReadRestOfPacket(TransportChannelState& entry, const CommonPacketHeader& header,
                                        std::uint8_t* destination)
{
    const std::uint32_t count = BytesAfterHeader(header);
    if (count == 0)
    {
        return true;
    }
    std::uint32_t transferred = 0;
    const std::uint32_t result = m_pipe->Read(destination, count, &entry.readAbort, &transferred, kInfinite);
    if (result == kPipeResult_Success)
    {
        return true;
    }
    if (result != kPipeResult_Disconnected)
    {
        LogWarning(L"KPX channel %u.%u read aborted.", U(header.channelNumber), U(header.subChannelNumber));
    }
    if (result == kPipeResult_Aborted && !m_receiveThread.GetStopEvent().IsSet())
    {
        // The channel gave its request up: keep the stream in step.
        ReadAway(count - std::min(transferred, count));
    }
    return false;
}

bool ChannelTransport::HandleUnsupportedChannel(const CommonPacketHeader& header)
{
    LogErrorText(L"Received KPX channel packet with unsupported channel %u.%u.", U(header.channelNumber),
                 U(header.subChannelNumber));
    if (!ReadAway(BytesAfterHeader(header)))
    {
        return false;
    }
    SendErrorReply(kErrorReply_UnsupportedChannel, header);
    return true;
}

bool ChannelTransport::ReadAway(std::uint32_t count)
{
    if (count == 0)
    {
        return true;
    }
    LogInfo(L"KPX channel transport discarding %u bytes.", count);
    const std::uint32_t result =
        m_pipe->Read(m_discardBuffer->data(), count, &m_stopAbort, nullptr, kReadAwayTimeoutMs);
    if (result == kPipeResult_Timeout)
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_Timeout, L"Channel packet receive."));
    }
    return result == kPipeResult_Success;
}

bool ChannelTransport::PostReceiveBuffer(std::uint8_t channel, std::uint8_t subChannel, PacketBuffer buffer)
{
    TransportChannelState* const entry = FindEntry(channel, subChannel);
    if (!m_pipe->IsOpen() || !m_pipe->IsConnected() || entry == nullptr)
    {
        return false;
    }
    // Checked under the queue lock: unregistering sets `closed` before
    // CancelReceive empties the queue under this lock, so a buffer is either
    // refused here or removed there, never left posted on a channel that is gone.
    const ScopedLock queue(entry->queueMutex);
    if (m_receiverEnded.IsSet() || entry->closed.IsSet())
    {
        return false;
    }
    entry->posted.push_back(buffer.data());
    entry->requestPosted.Set();
    return true;
}

std::uint8_t* ChannelTransport::TakeReceivedPacket(std::uint8_t channel, std::uint8_t subChannel,
                                                   const WaitObjectList* abortObjects)
{
    TransportChannelState* const entry = FindEntry(channel, subChannel);
    if (entry == nullptr)
    {
        return nullptr;
    }
    // Built on the stack: this runs once per received packet. A list too long to
    // wait on is cut at one past the limit, which the wait refuses as before.
    std::array<Q7::Platform::BaseWaitObject*, Q7::Platform::kMaxWaitObjects + 1> objects{
        &entry->delivered, &entry->closed, &m_receiverEnded};
    std::size_t count = 3;
    if (abortObjects != nullptr)
    {
        for (auto it = abortObjects->begin(); it != abortObjects->end() && count < objects.size(); ++it)
        {
            objects[count++] = *it;
        }
    }
    Q7::Platform::WaitForObjects(nullptr, static_cast<std::uint32_t>(count), objects.data(), false,
                                 kInfinite);

    // A packet that was delivered while the wait ended for another reason still
    // counts: it has left the pipe and must not be lost.
    const ScopedLock queue(entry->queueMutex);
    if (entry->filled.empty() || entry->closed.IsSet())
    {
        return nullptr;
    }
    std::uint8_t* const packet = entry->filled.front();
    entry->filled.pop_front();
    if (entry->filled.empty())
    {
        entry->delivered.Reset();
    }
    return packet;
}

void ChannelTransport::CancelReceive(std::uint8_t channel, std::uint8_t subChannel)
{
    TransportChannelState* const entry = FindEntry(channel, subChannel);
    if (entry == nullptr)
    {
        return;
    }
    // Cancel first, so that a pipe read into one of the buffers stops; then take
    // the fill lock, which the receive thread holds while it fills a buffer.
    entry->cancelled.Set();
    const ScopedLock fill(entry->mutex);
    {
        const ScopedLock queue(entry->queueMutex);
        entry->posted.clear();
        entry->filled.clear();
        entry->requestPosted.Reset();
        entry->delivered.Reset();
    }
    entry->cancelled.Reset();
}

bool ChannelTransport::ReceivePacket(std::uint8_t channel, std::uint8_t subChannel, PacketBuffer buffer)
{
    TransportChannelState* const entry = FindEntry(channel, subChannel);
    if (entry == nullptr)
    {
        return false;
    }
    {
        const ScopedLock queue(entry->queueMutex);
        if (!entry->posted.empty() || !entry->filled.empty())
        {
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotSupported),
                                    L"Only one read may be active at a time for each channel.");
        }
    }
    if (!PostReceiveBuffer(channel, subChannel, buffer))
    {
        return false;
    }
    if (TakeReceivedPacket(channel, subChannel, nullptr) == buffer.data())
    {
        return true;
    }
    CancelReceive(channel, subChannel);
    return false;
}

// ---------------------------------------------------------------- writing

std::uint32_t ChannelTransport::WriteToPipeLocked(TransportChannelState& entry,
                                                  const CommonPacketHeader& header, const std::uint8_t* bytes,
                                                  std::uint32_t length)
{
    std::uint32_t result = m_pipe->Write(bytes, length, &entry.writeAbort, nullptr, GetWriteTimeout());
    if (result == kPipeResult_Aborted)
    {
        result = kPipeResult_Closed;
    }
    if (result == kPipeResult_Timeout)
    {
        LogErrorText(L"KPX channel %u.%u write timeout.", U(header.channelNumber),
                     U(header.subChannelNumber));
    }
    else if (result != kPipeResult_Success)
    {
        LogWarning(L"KPX channel %u.%u write aborted.", U(header.channelNumber), U(header.subChannelNumber));
    }
    return result;
}

std::uint32_t ChannelTransport::GetPipeWriteState() const
{
    if (!m_pipe->IsOpen())
    {
        return kPipeResult_Closed;
    }
    if (!m_pipe->IsConnected())
    {
        return kPipeResult_Disconnected;
    }
    return kPipeResult_Success;
}

std::uint32_t ChannelTransport::PrepareWriteLocked(const CommonPacketHeader& header,
                                                   TransportChannelState*& entry, std::uint8_t& exponent)
{
    if (const std::uint32_t state = GetPipeWriteState(); state != kPipeResult_Success)
    {
        return state;
    }
    {
        const ScopedLock lock(m_mapLock);
        entry = &GetOrCreateEntryLocked(header.channelNumber, header.subChannelNumber);
        exponent = entry->sendAlignment;
    }
    return entry->closed.IsSet() ? kPipeResult_Closed : kPipeResult_Success;
}

std::uint32_t ChannelTransport::WritePacket(std::span<const std::uint8_t> packet)
{
    const std::optional<PacketView> view = ParsePacket(packet);
    if (!view || view->header.PacketLength() != packet.size())
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter),
                                L"ChannelTransport::WritePacket: not one whole packet.");
    }
    CommonPacketHeader header = view->header;

    if (const std::uint32_t state = GetPipeWriteState(); state != kPipeResult_Success)
    {
        return state;
    }
    const ScopedLock writeLock(m_writeLock);
    TransportChannelState* entry = nullptr;
    std::uint8_t exponent = 0;
    if (const std::uint32_t state = PrepareWriteLocked(header, entry, exponent); state != kPipeResult_Success)
    {
        return state;
    }

    const std::uint32_t mask = (1U << exponent) - 1U;
    if (mask == 0 || (header.PacketLength() & mask) == 0)
    {
        return WriteToPipeLocked(*entry, header, packet.data(), static_cast<std::uint32_t>(packet.size()));
    }
    if (header.paddingLength != 0)
    {
        LogWarning(L"KPX channel write packet is misaligned. Correcting.");
    }
    AlignPacketHeader(header, exponent);
    const std::size_t length = AssemblePacket(*m_writePacketBuffer, header, view->payload);
    Q7_ASSERT(length != 0 && (length & mask) == 0);
    return WriteToPipeLocked(*entry, header, m_writePacketBuffer->data(), static_cast<std::uint32_t>(length));
}

std::uint32_t ChannelTransport::WriteDataPacket(const CommonPacketHeader& header,
                                                std::span<const std::uint8_t> payload)
{
    if (payload.size() != header.payloadLength)
    {
        Q7_THROW_INTERNAL_ERROR(
            ModuleError(Q7::Universal::kError_InvalidParameter),
            L"ChannelTransport::WriteDataPacket: payload size differs from payloadLength.");
    }
    if (const std::uint32_t state = GetPipeWriteState(); state != kPipeResult_Success)
    {
        return state;
    }
    const ScopedLock writeLock(m_writeLock);
    TransportChannelState* entry = nullptr;
    std::uint8_t exponent = 0;
    if (const std::uint32_t state = PrepareWriteLocked(header, entry, exponent); state != kPipeResult_Success)
    {
        return state;
    }

    CommonPacketHeader aligned = header;
    aligned.paddingLength =
        ComputePaddingLength(aligned.headerLength + std::uint32_t{aligned.payloadLength}, exponent);
    const std::size_t length = AssemblePacket(*m_writePacketBuffer, aligned, payload);
    const std::uint32_t alignmentMask = (1U << exponent) - 1U;
    Q7_ASSERT(length != 0 && (length & alignmentMask) == 0);
    return WriteToPipeLocked(*entry, aligned, m_writePacketBuffer->data(),
                             static_cast<std::uint32_t>(length));
}

bool ChannelTransport::SendErrorReply(std::uint8_t code, const CommonPacketHeader& offending)
{
    if (offending.packetType == kPacketType_ErrorReply)
    {
        return true;
    }
    const std::vector<std::uint8_t> packet = BuildErrorReplyPacket(code, offending);
    LogInfo(L"KPX channel %u.%u sending ErrorReply %u - %ls", U(offending.channelNumber),
            U(offending.subChannelNumber), U(code), GetErrorReplyText(code));
    const ScopedLock writeLock(m_writeLock);
    return m_pipe->Write(packet.data(), static_cast<std::uint32_t>(packet.size()), nullptr, nullptr,
                         GetWriteTimeout()) == kPipeResult_Success;
}

} // namespace Q7::KPX
