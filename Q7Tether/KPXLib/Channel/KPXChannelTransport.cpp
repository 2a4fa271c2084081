#include "Channel/KPXChannelTransport.h"

#include "Transport/KPXTransport_Usb.h"

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
// Reading away the stale data of a USB pipe: reads of up to 1 MiB, each ended
// by 50 ms without data, for at most 5 s.
constexpr std::uint32_t kStaleReadBytes = 0x100000;
constexpr std::uint32_t kStaleReadTimeoutMs = 50;
constexpr std::uint32_t kStaleDrainLimitMs = 5000;

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

// The zero bytes that pad packets (and fill header bytes beyond 16).
constexpr std::array<std::uint8_t, 256> kZeros{};

// The pieces of one packet as it goes to the pipe: header (encoded into
// `encoded`), zeros for header bytes beyond 16, payload, padding.
std::size_t AddPacketPieces(std::span<ConstByteSpan> pieces,
                            std::span<std::uint8_t, kPacketHeaderSize> encoded,
                            const CommonPacketHeader& header, ConstByteSpan payload)
{
    ByteWriter writer(encoded);
    EncodePacketHeader(writer, header);
    std::size_t count = 0;
    pieces[count++] = encoded;
    if (header.headerLength > kPacketHeaderSize)
    {
        pieces[count++] = ConstByteSpan(kZeros).first(header.headerLength - kPacketHeaderSize);
    }
    if (!payload.empty())
    {
        pieces[count++] = payload;
    }
    if (header.paddingLength > 0)
    {
        pieces[count++] = ConstByteSpan(kZeros).first(header.paddingLength);
    }
    return count;
}

// Most pieces of one packet.
constexpr std::size_t kPiecesPerPacket = 4;

// Room for the bytes read ahead: the most one ReadAcrossPackets takes.
constexpr std::size_t kAheadCapacity = std::size_t{kMaxPacketsPerWrite + 1} * kMaxPacketLength;

// True when a header read behind a Data packet of `current`'s channel is what
// ReadAcrossPackets guessed: Data of the same channel, a 16-byte header and no
// padding (any payload length).
bool IsGuessedPacket(const CommonPacketHeader& header, const CommonPacketHeader& current)
{
    return header.magic == kPacketMagic && header.packetType == kPacketType_Data &&
           header.headerLength == kPacketHeaderSize && header.paddingLength == 0 &&
           header.channelNumber == current.channelNumber &&
           header.subChannelNumber == current.subChannelNumber;
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
        drained.Set();
    }

    // Sets or clears drained after a change of filled or held. Queue lock held.
    void UpdateDrainedLocked()
    {
        if (filled.empty() && held == 0)
        {
            drained.Set();
        }
        else
        {
            drained.Reset();
        }
    }

    // Settings; guarded by the transport's map lock.
    const std::uint8_t channel;
    const std::uint8_t subChannel;
    bool debug = false;
    std::uint32_t timeout = 0xFFFFFFFF;
    std::uint8_t sendAlignment = 0;
    std::uint8_t secondAlignment = 0;
    // Set once this side has written a CloseRequest or a CloseReply of the
    // channel, cleared by its next OpenRequest: no Data may follow them on the
    // pipe. Guarded by the transport's write lock.
    bool dataClosed = false;
    // Set while the channel's Data is read away on arrival (see
    // SetChannelDiscarding); cleared by its next OpenRequest.
    std::atomic<bool> discarding{false};

    // The hand-over of packets from the receive thread to the channel.
    // Held while a packet is read into the front posted buffer or into the
    // channel's reads; guards receiver and directReadAbort.
    Mutex_Posix mutex;
    Mutex_Posix queueMutex;           // guards posted, filled and held (short sections only)
    std::deque<std::uint8_t*> posted; // buffers the channel posted, oldest first; the front is filled next
    std::deque<std::uint8_t*> filled; // buffers holding a whole packet, oldest first, not yet taken
    std::uint32_t held = 0;           // buffers taken and not yet posted again
    DirectDataReceiver* receiver = nullptr; // takes Data straight into reads; null when none
    bool wakeOwed = false;                  // receiver's wake put off (CompletePiece with wakeLater)
    // {the receive thread's stop event, cancelled, the receiver's piece abort}:
    // aborts the read of a piece into the channel's reads.
    WaitObjectList directReadAbort;
    EventCondition_Posix closed;        // set while the channel is not registered
    EventCondition_Posix requestPosted; // set while posted is not empty
    EventCondition_Posix delivered;     // set while filled is not empty
    EventCondition_Posix drained;       // set while filled is empty and held is 0
    EventCondition_Posix cancelled;     // the channel withdraws its buffers
    const WaitObjectList writeAbort;    // {closed}: aborts a write when the channel unregisters
    // {the receive thread's stop event, cancelled}: aborts the read of a packet's
    // rest; made once here rather than for every packet.
    const WaitObjectList readAbort;
};

ChannelTransport::ChannelTransport(DeviceInterface& device, std::uint32_t pipeId,
                                   std::uint32_t midPacketStallMs)
    : m_pipe(device.CreatePipe(pipeId)), m_midPacketStallMs(midPacketStallMs),
      // Left uninitialised: pipes that gather never touch (or fault in) it.
      m_writeScratch(new std::uint8_t[std::size_t{kMaxPacketsPerWrite} * kMaxPacketLength]),
      m_receiveThread(UniversalString(L"KPX ChannelTransport thread (pipe %u)", m_pipe->GetPipeId()).c_str()),
      m_discardBuffer(std::make_unique<std::array<std::uint8_t, kMaxPacketLength>>()),
      m_stopAbort{&m_receiveThread.GetStopEvent()}, m_ahead(new std::uint8_t[kAheadCapacity])
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
        if (IsUsbPipe())
        {
            EmptyPipeForStaleData();
        }
        m_receiverEnded.Reset();
        m_discardingData.store(false, std::memory_order_relaxed);
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

bool ChannelTransport::IsUsbPipe() const
{
    return dynamic_cast<const UsbPipe*>(m_pipe.get()) != nullptr;
}

void ChannelTransport::SetBurstIn(bool enable)
{
    if (auto* usb = dynamic_cast<UsbPipe*>(m_pipe.get()))
    {
        usb->SetBurstIn(enable);
    }
}

void ChannelTransport::SetDiscardingData(bool discarding)
{
    m_discardingData.store(discarding, std::memory_order_relaxed);
}

void ChannelTransport::SetChannelDiscarding(std::uint8_t channel, std::uint8_t subChannel)
{
    TransportChannelState* entry = nullptr;
    {
        const ScopedLock lock(m_mapLock);
        entry = &GetOrCreateEntryLocked(channel, subChannel);
    }
    entry->discarding.store(true, std::memory_order_relaxed);
}

void ChannelTransport::AbandonPipe()
{
    LogWarning(L"KPX channel transport closing pipe %u as lost.", m_pipe->GetPipeId());
    m_pipe->CloseAsLost();
}

void ChannelTransport::AbandonStalledPipe(std::uint8_t channel, std::uint8_t subChannel)
{
    LogWarning(L"KPX channel %u.%u stalled in the middle of a packet.", U(channel), U(subChannel));
    AbandonPipe();
}

void ChannelTransport::EmptyPipeForStaleData()
{
    if (!m_pipe->Flush())
    {
        LogWarning(L"KPXChannelTransport::EmptyPipeForStaleData(): Failed to flush pipe!");
    }
    Q7::Universal::LogDebug(
        L"KPXChannelTransport::EmptyPipeForStaleData(): Reading stale data after pipe-flush...");
    std::vector<std::uint8_t> buffer(kStaleReadBytes);
    SetBurstIn(true);
    const WaitObjectList noAbort;
    std::uint64_t start = 0;
    std::uint32_t total = 0;
    for (;;)
    {
        std::uint32_t bytesRead = 0;
        const std::uint32_t result =
            m_pipe->Read(buffer.data(), kStaleReadBytes, &noAbort, &bytesRead, kStaleReadTimeoutMs);
        if (start == 0)
        {
            start = Q7::Platform::GetTickCountMs(); // counted from the first read
        }
        total += bytesRead;
        if (bytesRead == 0)
        {
            Q7::Universal::LogDebug(L"KPXChannelTransport::EmptyPipeForStaleData(): Breaking out - "
                                    L"pipe.Read() result=%u, bytesRead=%u",
                                    result, bytesRead);
            break;
        }
        if (Q7::Platform::GetTickCountMs() - start >= kStaleDrainLimitMs)
        {
            LogWarning(
                L"KPXChannelTransport::EmptyPipeForStaleData(): Takes too long time (%u) (read: %u bytes). "
                L"Aborting.",
                kStaleDrainLimitMs, total);
            break;
        }
    }
    if (total > 0)
    {
        LogInfo(L"KPXChannelTransport::EmptyPipeForStaleData(): Out after reading: %u", total);
    }
    SetBurstIn(false);
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

void ChannelTransport::SetDirectDataReceiver(std::uint8_t channel, std::uint8_t subChannel,
                                             DirectDataReceiver* receiver)
{
    TransportChannelState* entry = nullptr;
    {
        const ScopedLock lock(m_mapLock);
        entry = &GetOrCreateEntryLocked(channel, subChannel);
    }
    const ScopedLock fill(entry->mutex);
    if (entry->wakeOwed && entry->receiver != nullptr)
    {
        entry->receiver->WakeReader();
    }
    entry->wakeOwed = false;
    entry->receiver = receiver;
    entry->directReadAbort.clear();
    if (receiver != nullptr)
    {
        entry->directReadAbort = {&m_receiveThread.GetStopEvent(), &entry->cancelled,
                                  &receiver->PieceAbortObject()};
    }
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
    PayWakeOwed();
    // Channels waiting for a packet give up now.
    m_receiverEnded.Set();
}

void ChannelTransport::ReceiveLoop(Thread_Posix& thread)
{
    thread.SetPriority(Q7::Platform::kThreadPriority_Highest);
    thread.GetReadyEvent().Set();
    Q7::Platform::BaseEventCondition& stopEvent = thread.GetStopEvent();
    std::array<std::uint8_t, kPacketHeaderSize> headerBytes{};
    m_aheadBegin = 0;
    m_aheadEnd = 0;

    while (!stopEvent.IsSet())
    {
        // A reader whose wake was put off is woken before anything else may
        // wait: before a pipe read, and before another channel's packet.
        if (m_wakeOwed != nullptr && !IsDataPacketAhead(*m_wakeOwed))
        {
            PayWakeOwed();
        }
        if (!ReadHeader(headerBytes))
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
        if (header.packetType == kPacketType_Data && (m_discardingData.load(std::memory_order_relaxed) ||
                                                      entry->discarding.load(std::memory_order_relaxed)))
        {
            // Under the channel's fill lock, as if the packet were read into its
            // buffers: a camera that stalls in the middle of it is found by the
            // channel's CancelReceive as any other.
            const ScopedLock fill(entry->mutex);
            if (!DropRestOfPacket(header, BytesAfterHeader(header)))
            {
                return;
            }
            continue;
        }
        CommonPacketHeader current = header;
        if (header.packetType == kPacketType_Data && header.headerLength == kPacketHeaderSize)
        {
            const DirectOutcome outcome = TryDeliverDirect(*entry, current, headerBytes);
            if (outcome == DirectOutcome::kEnd)
            {
                return;
            }
            if (outcome == DirectOutcome::kDelivered)
            {
                continue;
            }
        }
        PayWakeOwed();
        if (!QueuePacket(*entry, current, headerBytes))
        {
            return;
        }
    }
}

bool ChannelTransport::IsDataPacketAhead(const TransportChannelState& entry) const
{
    const std::uint32_t ahead = m_aheadEnd - m_aheadBegin;
    if (ahead < kPacketHeaderSize)
    {
        return false;
    }
    const std::optional<CommonPacketHeader> header =
        DecodePacketHeader(std::span<const std::uint8_t, kPacketHeaderSize>(m_ahead.get() + m_aheadBegin,
                                                                            kPacketHeaderSize));
    return header && IsValidPipePacketHeader(*header) && header->packetType == kPacketType_Data &&
           header->headerLength == kPacketHeaderSize && header->channelNumber == entry.channel &&
           header->subChannelNumber == entry.subChannel && header->PacketLength() <= ahead;
}

void ChannelTransport::PayWakeOwed()
{
    if (m_wakeOwed == nullptr)
    {
        return;
    }
    TransportChannelState& entry = *m_wakeOwed;
    m_wakeOwed = nullptr;
    const ScopedLock fill(entry.mutex);
    if (entry.wakeOwed && entry.receiver != nullptr)
    {
        entry.receiver->WakeReader();
    }
    entry.wakeOwed = false;
}

bool ChannelTransport::ReadHeader(std::span<std::uint8_t, kPacketHeaderSize> header)
{
    const std::uint32_t ahead = TakeAhead(header.data(), kPacketHeaderSize);
    return ahead == kPacketHeaderSize ||
           m_pipe->Read(header.data() + ahead, kPacketHeaderSize - ahead, &m_stopAbort, nullptr, kInfinite) ==
               kPipeResult_Success;
}

std::uint32_t ChannelTransport::TakeAhead(std::uint8_t* destination, std::uint32_t count)
{
    const std::uint32_t taken = std::min(count, m_aheadEnd - m_aheadBegin);
    if (taken > 0)
    {
        std::memcpy(destination, m_ahead.get() + m_aheadBegin, taken);
        m_aheadBegin += taken;
    }
    if (m_aheadBegin == m_aheadEnd)
    {
        m_aheadBegin = 0;
        m_aheadEnd = 0;
    }
    return taken;
}

std::uint32_t ChannelTransport::ReadStream(std::uint8_t* destination, std::uint32_t count, bool last,
                                           const WaitObjectList& abortObjects, std::uint32_t timeoutMs,
                                           std::uint32_t& moved, std::uint32_t aheadLimit)
{
    moved = TakeAhead(destination, count);
    if (moved == count)
    {
        return kPipeResult_Success;
    }
    // Nothing is left ahead now: what the pipe gives beyond the bytes asked
    // for is the start of what follows.
    const std::uint32_t rest = count - moved;
    std::uint32_t transferred = 0;
    std::uint32_t result = kPipeResult_Success;
    if (last)
    {
        const ByteSpan pieces[] = {ByteSpan(destination + moved, rest), ByteSpan(m_ahead.get(), aheadLimit)};
        result = m_pipe->ReadScattered(pieces, rest, &abortObjects, &transferred, timeoutMs);
        if (result == kPipeResult_Success)
        {
            m_aheadEnd = std::min(transferred - rest, aheadLimit);
        }
    }
    else
    {
        result = m_pipe->Read(destination + moved, rest, &abortObjects, &transferred, timeoutMs);
    }
    moved += result == kPipeResult_Success ? rest : std::min(transferred, rest);
    return result;
}

std::uint32_t ChannelTransport::ReadAcrossPackets(CommonPacketHeader& current,
                                                  std::span<std::uint8_t, kPacketHeaderSize> currentBytes,
                                                  ByteSpan room, const WaitObjectList& abortObjects,
                                                  std::uint32_t& left, std::uint32_t& moved)
{
    Q7_ASSERT(m_aheadBegin == m_aheadEnd && room.size() > left && current.payloadLength > 0);
    // The layout: the rest of this packet, then guessed header and payload
    // pairs, and a last header slot when room ends with a whole guessed payload.
    struct Piece
    {
        ByteSpan bytes;
        bool inRoom = false;
    };
    std::array<Piece, 2 * kMaxPacketsPerWrite + 2> layout{};
    std::array<ByteSpan, layout.size()> pieces{};
    std::size_t count = 0;
    layout[count++] = {room.first(left), true};
    std::uint32_t offset = left;
    std::uint32_t guesses = 0;
    while (guesses < kMaxPacketsPerWrite && offset < room.size())
    {
        const auto segment =
            static_cast<std::uint32_t>(std::min<std::size_t>(current.payloadLength, room.size() - offset));
        layout[count++] = {m_guessedHeaders[guesses], false};
        layout[count++] = {room.subspan(offset, segment), true};
        offset += segment;
        ++guesses;
        if (segment < current.payloadLength)
        {
            break;
        }
    }
    if (layout[count - 1].bytes.size() == current.payloadLength)
    {
        layout[count++] = {m_guessedHeaders[guesses], false};
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        pieces[i] = layout[i].bytes;
    }

    std::uint32_t taken = 0;
    const std::uint32_t result =
        m_pipe->ReadScattered(std::span(pieces).first(count), left, &abortObjects, &taken, kInfinite);
    if (result != kPipeResult_Success)
    {
        moved = std::min(taken, left);
        left -= moved;
        return result;
    }

    // Keeps the bytes [from, taken) of the transfer as read ahead, zeroing
    // those that landed in room where they do not belong.
    const auto keepAhead = [&](std::uint32_t from)
    {
        std::uint32_t start = 0;
        for (std::size_t i = 0; i < count && start < taken; ++i)
        {
            const auto size = static_cast<std::uint32_t>(layout[i].bytes.size());
            const std::uint32_t begin = std::max(start, from);
            const std::uint32_t end = std::min(start + size, taken);
            if (begin < end)
            {
                std::uint8_t* const bytes = layout[i].bytes.data() + (begin - start);
                Q7_ASSERT(m_aheadEnd + (end - begin) <= kAheadCapacity);
                std::memcpy(m_ahead.get() + m_aheadEnd, bytes, end - begin);
                m_aheadEnd += end - begin;
                if (layout[i].inRoom)
                {
                    std::memset(bytes, 0, end - begin);
                }
            }
            start += size;
        }
    };

    moved = left;
    left = 0;
    std::uint32_t position = moved; // in the transfer
    for (std::uint32_t guess = 0; position < taken; ++guess)
    {
        const std::size_t headerPiece = 1 + 2 * std::size_t{guess};
        if (taken - position < kPacketHeaderSize || headerPiece + 1 >= count)
        {
            keepAhead(position); // part of a header, or the last header slot
            break;
        }
        const CommonPacketHeader header = *DecodePacketHeader(m_guessedHeaders[guess]);
        if (!IsGuessedPacket(header, current))
        {
            keepAhead(position);
            break;
        }
        // A packet of this channel: its payload lies where it belongs.
        position += kPacketHeaderSize;
        current = header;
        std::copy(m_guessedHeaders[guess].begin(), m_guessedHeaders[guess].end(), currentBytes.begin());
        const auto segment = static_cast<std::uint32_t>(layout[headerPiece + 1].bytes.size());
        const std::uint32_t arrived = std::min(segment, taken - position);
        const std::uint32_t payload = std::min<std::uint32_t>(header.payloadLength, arrived);
        moved += payload;
        position += payload;
        if (payload < header.payloadLength)
        {
            left = header.payloadLength - payload;
        }
        if (payload < header.payloadLength || payload < segment)
        {
            keepAhead(position); // the rest of this payload, or what follows the packet
            break;
        }
    }
    return kPipeResult_Success;
}

ChannelTransport::DirectOutcome
ChannelTransport::TryDeliverDirect(TransportChannelState& entry, CommonPacketHeader& header,
                                   std::span<std::uint8_t, kPacketHeaderSize> headerBytes)
{
    const ScopedLock fill(entry.mutex);
    DirectDataReceiver* const receiver = entry.receiver;
    if (receiver == nullptr || entry.closed.IsSet() || entry.cancelled.IsSet())
    {
        return DirectOutcome::kQueue;
    }
    Q7::Platform::BaseEventCondition& stopEvent = m_receiveThread.GetStopEvent();
    Q7::Platform::BaseWaitObject* const waitAborts[] = {&stopEvent, &entry.closed, &entry.cancelled};
    // Nothing of the channel may be overtaken: a packet still queued, or still
    // being handled by the channel, goes first. The packet waits a moment for
    // them rather than queueing behind them, so that a stream of Data does not
    // stay on the channel's threads once a control packet has come between its
    // packets; a channel that takes longer gets the packet queued as well.
    const std::uint64_t drainDeadline = Q7::Platform::GetTickCountMs() + kDirectDataWaitMs;
    for (;;)
    {
        {
            const ScopedLock queue(entry.queueMutex);
            if (entry.filled.empty() && entry.held == 0)
            {
                break;
            }
        }
        PayWakeOwed(); // the channel's threads may need its reader to go on
        const std::uint64_t now = Q7::Platform::GetTickCountMs();
        if (!receiver->AcceptsDirectData() || now >= drainDeadline)
        {
            return DirectOutcome::kQueue;
        }
        std::uint32_t which = Q7::Platform::kNoSignalledIndex;
        Q7::Platform::BaseWaitObject* const objects[] = {waitAborts[0], waitAborts[1], waitAborts[2],
                                                         &entry.drained};
        Q7::Platform::WaitForObjects(&which, 4, objects, false,
                                     static_cast<std::uint32_t>(drainDeadline - now));
        if (which == 0)
        {
            return DirectOutcome::kEnd;
        }
        if (which == 1 || which == 2)
        {
            return DirectOutcome::kQueue; // unregistered or withdrawing: the queue's way handles it
        }
    }
    if (!receiver->AcceptsDirectData())
    {
        return DirectOutcome::kQueue;
    }

    std::uint32_t left = header.payloadLength;
    while (left > 0)
    {
        // A read with room beyond this packet takes the packets behind it in
        // the same transfer, where they have arrived (see ReadAcrossPackets).
        const bool across = header.paddingLength == 0 && m_aheadBegin == m_aheadEnd;
        const std::uint32_t wanted =
            across ? left + kMaxPacketsPerWrite * std::uint32_t{header.payloadLength} : left;
        std::uint32_t which = Q7::Platform::kNoSignalledIndex;
        const DirectDataReceiver::Piece piece =
            receiver->ClaimPiece(wanted, left, waitAborts, which, kDirectDataWaitMs);
        if (piece.size == 0)
        {
            if (which == 0)
            {
                return DirectOutcome::kEnd;
            }
            if (left == header.payloadLength)
            {
                return DirectOutcome::kQueue; // nothing read: the channel's own threads take it
            }
            if (which == Q7::Platform::kNoSignalledIndex && receiver->AcceptsDirectData())
            {
                // The reader paused in the middle of the packet: what is still
                // in the pipe goes to the channel's queue as a packet of its
                // own, behind the bytes its reads already have.
                header.payloadLength = static_cast<std::uint16_t>(left);
                ByteWriter writer(headerBytes);
                EncodePacketHeader(writer, header);
                return DirectOutcome::kQueue;
            }
            // The channel closes or stops in the middle of the packet: the rest is
            // dropped, as the channel drops the rest of a packet it was delivering.
            return DropRestOfPacket(header, left + header.paddingLength) ? DirectOutcome::kDelivered
                                                                         : DirectOutcome::kEnd;
        }

        std::uint32_t moved = 0;
        std::uint32_t result = kPipeResult_Success;
        if (piece.lookahead)
        {
            // Messages: the packets behind this one are read ahead whole
            // rather than guessed into the room, and go in turn.
            const std::uint32_t count = std::min(piece.size, left);
            result = ReadStream(piece.destination, count, count == left && header.paddingLength == 0,
                                entry.directReadAbort, kInfinite, moved, kLookaheadReadAheadBytes);
            left -= moved;
        }
        else if (across && piece.size > left)
        {
            result = ReadAcrossPackets(header, headerBytes, ByteSpan(piece.destination, piece.size),
                                       entry.directReadAbort, left, moved);
        }
        else
        {
            const bool last = piece.size == left && header.paddingLength == 0;
            result = ReadStream(piece.destination, piece.size, last, entry.directReadAbort, kInfinite, moved);
            left -= moved;
        }
        // The reader is woken once the packets of its channel at hand are in
        // its lookahead too, not before each of them.
        const bool wakeLater = result == kPipeResult_Success && left == 0 && header.paddingLength == 0 &&
                               IsDataPacketAhead(entry);
        receiver->CompletePiece(moved, wakeLater);
        entry.wakeOwed = wakeLater;
        m_wakeOwed = wakeLater ? &entry : nullptr;
        if (result == kPipeResult_Success ||
            (result == kPipeResult_Aborted && !stopEvent.IsSet() && !entry.cancelled.IsSet()))
        {
            // Done, or the reader gave its Read up while the piece was on its
            // way: the rest of the packet goes to the next Read.
            continue;
        }
        if (result != kPipeResult_Disconnected)
        {
            LogWarning(L"KPX channel %u.%u read aborted.", U(header.channelNumber),
                       U(header.subChannelNumber));
        }
        if (result != kPipeResult_Aborted || stopEvent.IsSet())
        {
            return DirectOutcome::kEnd;
        }
        // The channel withdrew: keep the stream in step.
        return ReadAway(header, left + header.paddingLength) ? DirectOutcome::kDelivered
                                                             : DirectOutcome::kEnd;
    }
    if (header.paddingLength > 0)
    {
        std::uint32_t moved = 0;
        if (ReadStream(m_discardBuffer->data(), header.paddingLength, true, m_stopAbort, kInfinite, moved) !=
            kPipeResult_Success)
        {
            return DirectOutcome::kEnd;
        }
    }
    return DirectOutcome::kDelivered;
}

bool ChannelTransport::QueuePacket(TransportChannelState& entry, const CommonPacketHeader& header,
                                   std::span<const std::uint8_t, kPacketHeaderSize> headerBytes)
{
    // Wait until the channel posts a buffer: flow control holds the whole pipe
    // here while the channel is busy.
    Q7::Platform::BaseEventCondition& stopEvent = m_receiveThread.GetStopEvent();
    for (;;)
    {
        std::uint32_t waitWhich = Q7::Platform::kNoSignalledIndex;
        Q7::Platform::WaitForAnyOf(&waitWhich, 3, &stopEvent, &entry.closed, &entry.requestPosted);
        if (waitWhich == 0)
        {
            return false;
        }
        if (waitWhich == 1)
        {
            return HandleUnsupportedChannel(header);
        }
        Q7_ASSERT(waitWhich == 2);

        const ScopedLock fill(entry.mutex);
        if (stopEvent.IsSet() || !entry.requestPosted.IsSet() || entry.cancelled.IsSet() ||
            entry.closed.IsSet())
        {
            continue;
        }
        std::uint8_t* buffer = nullptr;
        {
            const ScopedLock queue(entry.queueMutex);
            Q7_ASSERT(!entry.posted.empty());
            buffer = entry.posted.front();
        }
        std::memcpy(buffer, headerBytes.data(), kPacketHeaderSize);
        if (ReadRestOfPacket(entry, header, buffer + kPacketHeaderSize))
        {
            const ScopedLock queue(entry.queueMutex);
            entry.posted.pop_front();
            if (entry.posted.empty())
            {
                entry.requestPosted.Reset();
            }
            entry.filled.push_back(buffer);
            entry.UpdateDrainedLocked();
            entry.delivered.Set();
        }
        return true;
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
    const std::uint32_t result =
        ReadStream(destination, count, true, entry.readAbort, kInfinite, transferred);
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
        ReadAway(header, count - std::min(transferred, count));
    }
    return false;
}

bool ChannelTransport::HandleUnsupportedChannel(const CommonPacketHeader& header)
{
    LogErrorText(L"Received KPX channel packet with unsupported channel %u.%u.", U(header.channelNumber),
                 U(header.subChannelNumber));
    if (!ReadAway(header, BytesAfterHeader(header)))
    {
        return false;
    }
    SendErrorReply(kErrorReply_UnsupportedChannel, header);
    return true;
}

bool ChannelTransport::DropRestOfPacket(const CommonPacketHeader& header, std::uint32_t count)
{
    std::uint32_t left = count;
    while (left > 0)
    {
        const std::uint32_t piece = std::min<std::uint32_t>(left, kMaxPacketLength);
        std::uint32_t moved = 0;
        const std::uint32_t result =
            ReadStream(m_discardBuffer->data(), piece, piece == left, m_stopAbort, m_midPacketStallMs, moved);
        if (result == kPipeResult_Timeout)
        {
            AbandonStalledPipe(header.channelNumber, header.subChannelNumber);
        }
        if (result != kPipeResult_Success)
        {
            return false;
        }
        left -= piece;
    }
    return true;
}

bool ChannelTransport::ReadAway(const CommonPacketHeader& header, std::uint32_t count)
{
    if (count == 0)
    {
        return true;
    }
    LogInfo(L"KPX channel transport discarding %u bytes.", count);
    std::uint32_t moved = 0;
    const std::uint32_t result =
        ReadStream(m_discardBuffer->data(), count, false, m_stopAbort, kReadAwayTimeoutMs, moved);
    if (result == kPipeResult_Timeout)
    {
        // The stream is out of step for good: nothing can be read from the
        // pipe any more.
        AbandonStalledPipe(header.channelNumber, header.subChannelNumber);
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
    if (entry->held > 0)
    {
        --entry->held;
        entry->UpdateDrainedLocked();
    }
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
    ++entry->held;
    entry->UpdateDrainedLocked();
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
    // the fill lock, which the receive thread holds while it fills a buffer. A
    // camera stalled in the middle of that packet holds it until the pipe
    // closes (a TCP read ignores the cancel).
    entry->cancelled.Set();
    if (!entry->mutex.Lock(m_midPacketStallMs))
    {
        AbandonStalledPipe(channel, subChannel);
        entry->mutex.Lock(kInfinite);
    }
    // Held now: the scoped lock takes a second level (the mutex is recursive)
    // and the first is let go at once, so that the scope releases it.
    const ScopedLock fill(entry->mutex);
    entry->mutex.Unlock();
    {
        const ScopedLock queue(entry->queueMutex);
        entry->posted.clear();
        entry->filled.clear();
        entry->held = 0;
        entry->UpdateDrainedLocked();
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

std::uint32_t ChannelTransport::MapWriteResult(std::uint32_t result, const CommonPacketHeader& header)
{
    if (result == kPipeResult_Aborted)
    {
        result = kPipeResult_Closed;
    }
    if (result == kPipeResult_Timeout)
    {
        LogErrorText(L"KPX channel %u.%u write timeout.", U(header.channelNumber),
                     U(header.subChannelNumber));
        if (m_pipe->IsOpen())
        {
            AbandonPipe();
        }
    }
    else if (result != kPipeResult_Success)
    {
        LogWarning(L"KPX channel %u.%u write aborted.", U(header.channelNumber), U(header.subChannelNumber));
    }
    return result;
}

std::uint32_t ChannelTransport::WriteGatheredLocked(TransportChannelState& entry,
                                                    const CommonPacketHeader& header,
                                                    std::span<const ConstByteSpan> pieces,
                                                    std::uint32_t* transferred)
{
    const std::span<std::uint8_t> scratch(m_writeScratch.get(),
                                          std::size_t{kMaxPacketsPerWrite} * kMaxPacketLength);
    return MapWriteResult(
        m_pipe->WriteGathered(pieces, scratch, &entry.writeAbort, transferred, GetWriteTimeout()), header);
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

    // Decided under the write lock, so that a Data write either goes out
    // before the channel's CloseRequest or is refused.
    if (header.packetType == kPacketType_CloseRequest || header.packetType == kPacketType_CloseReply)
    {
        entry->dataClosed = true;
    }
    else if (header.packetType == kPacketType_OpenRequest)
    {
        entry->dataClosed = false;
        entry->discarding.store(false, std::memory_order_relaxed);
    }

    const std::uint32_t mask = (1U << exponent) - 1U;
    if (mask == 0 || (header.PacketLength() & mask) == 0)
    {
        return MapWriteResult(m_pipe->Write(packet.data(), static_cast<std::uint32_t>(packet.size()),
                                            &entry->writeAbort, nullptr, GetWriteTimeout()),
                              header);
    }
    if (header.paddingLength != 0)
    {
        LogWarning(L"KPX channel write packet is misaligned. Correcting.");
    }
    AlignPacketHeader(header, exponent);
    Q7_ASSERT((header.PacketLength() & mask) == 0);
    std::array<std::uint8_t, kPacketHeaderSize> encoded{};
    std::array<ConstByteSpan, kPiecesPerPacket> pieces{};
    const std::size_t count = AddPacketPieces(pieces, encoded, header, view->payload);
    return WriteGatheredLocked(*entry, header, std::span(pieces).first(count), nullptr);
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
    return WriteData(header, payload, std::max<std::uint32_t>(header.payloadLength, 1), nullptr);
}

std::uint32_t ChannelTransport::WriteDataPackets(std::uint8_t channel, std::uint8_t subChannel,
                                                 std::span<const std::uint8_t> bytes,
                                                 std::uint16_t maxPayload, std::uint32_t* bytesWritten)
{
    if (bytesWritten != nullptr)
    {
        *bytesWritten = 0;
    }
    if (maxPayload == 0)
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter),
                                L"ChannelTransport::WriteDataPackets: maximum payload of 0.");
    }
    if (bytes.empty())
    {
        return kPipeResult_Success;
    }
    CommonPacketHeader header;
    header.packetType = kPacketType_Data;
    header.channelNumber = channel;
    header.subChannelNumber = subChannel;
    return WriteData(header, bytes, maxPayload, bytesWritten);
}

std::uint32_t ChannelTransport::TryWriteDataPackets(std::uint8_t channel, std::uint8_t subChannel,
                                                    std::span<const std::uint8_t> bytes,
                                                    std::uint16_t maxPayload, bool& written)
{
    written = false;
    if (maxPayload == 0)
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter),
                                L"ChannelTransport::TryWriteDataPackets: maximum payload of 0.");
    }
    if (bytes.empty())
    {
        written = true;
        return kPipeResult_Success;
    }
    CommonPacketHeader header;
    header.packetType = kPacketType_Data;
    header.channelNumber = channel;
    header.subChannelNumber = subChannel;
    bool wouldWait = false;
    const std::uint32_t result = WriteData(header, bytes, maxPayload, nullptr, &wouldWait);
    written = !wouldWait && result == kPipeResult_Success;
    return result;
}

std::uint32_t ChannelTransport::WriteData(const CommonPacketHeader& first,
                                          std::span<const std::uint8_t> bytes, std::uint32_t maxPayload,
                                          std::uint32_t* bytesWritten, bool* wouldWait)
{
    if (const std::uint32_t state = GetPipeWriteState(); state != kPipeResult_Success)
    {
        if (wouldWait != nullptr)
        {
            *wouldWait = true;
        }
        return state;
    }
    const ScopedLock writeLock(m_writeLock, wouldWait != nullptr);
    if (!writeLock.IsLocked())
    {
        *wouldWait = true; // another write holds the pipe
        return kPipeResult_Success;
    }
    TransportChannelState* entry = nullptr;
    std::uint8_t exponent = 0;
    if (const std::uint32_t state = PrepareWriteLocked(first, entry, exponent); state != kPipeResult_Success)
    {
        return state;
    }
    if (entry->dataClosed)
    {
        return kPipeResult_Closed; // the channel's CloseRequest (or CloseReply) went out before
    }

    // Each packet's header, payload (where it lies in bytes) and padding.
    std::array<std::array<std::uint8_t, kPacketHeaderSize>, kMaxPacketsPerWrite> encoded{};
    std::array<ConstByteSpan, kMaxPacketsPerWrite * kPiecesPerPacket> pieces{};
    std::array<std::uint32_t, kMaxPacketsPerWrite> packetEnds{}; // wire offset after each packet
    CommonPacketHeader header = first;
    std::size_t pieceCount = 0;
    std::uint32_t packets = 0;
    std::uint32_t offset = 0;
    std::uint32_t wireLength = 0;
    do
    {
        const std::uint32_t payload =
            std::min<std::uint32_t>(maxPayload, static_cast<std::uint32_t>(bytes.size()) - offset);
        header.payloadLength = static_cast<std::uint16_t>(payload);
        header.paddingLength = ComputePaddingLength(header.headerLength + payload, exponent);
        pieceCount += AddPacketPieces(std::span(pieces).subspan(pieceCount), encoded[packets], header,
                                      bytes.subspan(offset, payload));
        wireLength += header.PacketLength();
        packetEnds[packets++] = wireLength;
        offset += payload;
    } while (packets < kMaxPacketsPerWrite && offset < bytes.size());
    if (wouldWait != nullptr && (offset < bytes.size() || !m_pipe->CanWriteAtOnce(wireLength)))
    {
        *wouldWait = true;
        return kPipeResult_Success;
    }

    std::uint32_t transferred = 0;
    const std::uint32_t result =
        WriteGatheredLocked(*entry, header, std::span(pieces).first(pieceCount), &transferred);
    if (bytesWritten != nullptr)
    {
        // The payload of the packets the pipe took whole.
        std::uint32_t whole = result == kPipeResult_Success ? packets : 0;
        while (whole < packets && packetEnds[whole] <= transferred)
        {
            ++whole;
        }
        *bytesWritten = std::min<std::uint32_t>(whole * maxPayload, offset);
    }
    return result;
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
