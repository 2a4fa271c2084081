#include "Channel/KPXChannel.h"

#include "Q7PlatformClock_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"

#include <algorithm>
#include <chrono>
#include <cstring>

// The channel's data path: Read and Write, the direct delivery of Data packets
// into a pending read, and the queue of received data. The handshake and the
// state machine are in KPXChannel.cpp.

namespace Q7::KPX
{

using Q7::Platform::BaseEventCondition;
using Q7::Platform::BaseWaitObject;
using Q7::Platform::kInfinite;
using Q7::Platform::kNoSignalledIndex;
using Q7::Platform::WaitForAnyOf;
using Q7::Platform::WaitForObjects;
using Q7::Universal::ModuleError;

// ====================================================================== Read and Write

std::int32_t Channel::Read(void* destination, std::uint32_t size, const WaitObjectList* abortObjects,
                           std::uint32_t* bytesRead, std::uint32_t timeoutMs)
{
    if (bytesRead != nullptr)
    {
        *bytesRead = 0;
    }
    if (size == 0)
    {
        return kChannelResult_Done;
    }
    if (destination == nullptr)
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter, L"KPX channel."),
                                L"Read()");
    }
    if (m_transport.AreTimeoutsDisabled())
    {
        timeoutMs = kInfinite;
    }

    // Bytes read ahead first: when they are enough, no thread is involved. They
    // arrived before anything that closed the channel since, so they come out
    // as they would have from the pipe (emptied when the channel opens again).
    std::uint32_t taken = 0;
    {
        const std::lock_guard lock(m_readMutex);
        if (m_readDestination != nullptr || m_readWanted.IsSet())
        {
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotSupported),
                                    L"Only one read may be active at a time for each channel.");
        }
        taken = TakeLookaheadLocked(static_cast<std::uint8_t*>(destination), size);
    }
    if (bytesRead != nullptr)
    {
        *bytesRead = taken;
    }
    if (taken == size)
    {
        return kChannelResult_Done;
    }
    if (!IsOpen())
    {
        return kChannelResult_NotOpen;
    }
    if (!IsPipeConnected())
    {
        return kChannelResult_NotConnected;
    }

    // Built on the stack: a reader of messages reads often. A list too long to
    // wait on is cut at one past the limit, which the wait refuses.
    std::array<BaseWaitObject*, Q7::Platform::kMaxWaitObjects + 1> objects{&m_readDone, &m_notOpen,
                                                                           &m_receiveThreadEnded};
    std::size_t count = 3;
    if (abortObjects != nullptr)
    {
        for (auto it = abortObjects->begin(); it != abortObjects->end() && count < objects.size(); ++it)
        {
            objects[count++] = *it;
        }
    }

    {
        // Packets that arrived meanwhile went to the lookahead: they come first.
        // Once this Read waits, the lookahead stays empty (the transport's
        // thread gives it the bytes).
        const std::lock_guard lock(m_readMutex);
        if (m_readDestination != nullptr || m_readWanted.IsSet())
        {
            Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_NotSupported),
                                    L"Only one read may be active at a time for each channel.");
        }
        taken += TakeLookaheadLocked(static_cast<std::uint8_t*>(destination) + taken, size - taken);
        if (taken == size)
        {
            if (bytesRead != nullptr)
            {
                *bytesRead = taken;
            }
            return kChannelResult_Done;
        }
        m_readDestination = static_cast<std::uint8_t*>(destination) + taken;
        m_readRemaining = size - taken;
        m_readDone.Reset();
        m_readWanted.Set();
    }

    std::uint32_t which = kNoSignalledIndex;
    bool signalled = false;
    try
    {
        signalled =
            WaitForObjects(&which, static_cast<std::uint32_t>(count), objects.data(), false, timeoutMs);
    }
    catch (...)
    {
        EndRead();
        throw;
    }

    const std::uint32_t remaining = EndRead();
    if (bytesRead != nullptr)
    {
        *bytesRead = size - remaining;
    }
    // All bytes arrived: done, whatever else happened meanwhile.
    if (remaining == 0 || (signalled && which == 0))
    {
        return kChannelResult_Done;
    }
    if (!signalled)
    {
        return kChannelResult_Timeout;
    }
    switch (which)
    {
    case 1:
        return kChannelResult_NotOpen;
    case 2:
        if (!IsPipeConnected())
        {
            return kChannelResult_NotConnected;
        }
        return IsOpen() ? kChannelResult_Aborted : kChannelResult_NotOpen;
    default:
        return kChannelResult_Aborted;
    }
}

void Channel::DiscardIncomingData()
{
    m_transport.SetChannelDiscarding(m_channel, m_subChannel);
}

bool Channel::WaitForPendingRead(std::uint32_t ms)
{
    return Q7::Platform::WaitForObject(&m_readWanted, ms);
}

std::uint32_t Channel::TakeLookaheadLocked(std::uint8_t* destination, std::uint32_t size)
{
    const std::uint32_t taken = std::min(size, m_lookaheadEnd - m_lookaheadBegin);
    if (taken > 0)
    {
        std::memcpy(destination, m_lookahead.get() + m_lookaheadBegin, taken);
        m_lookaheadBegin += taken;
    }
    // Emptied: filled from its start again, unless a piece is on its way to
    // where the room ended.
    if (m_lookaheadBegin == m_lookaheadEnd && !m_lookaheadPieceInFlight)
    {
        m_lookaheadBegin = 0;
        m_lookaheadEnd = 0;
    }
    return taken;
}

DirectDataReceiver::Piece Channel::ClaimLookaheadLocked(std::uint32_t size)
{
    Q7_ASSERT(!m_lookaheadPieceInFlight);
    if (m_lookaheadBegin > 0)
    {
        std::memmove(m_lookahead.get(), m_lookahead.get() + m_lookaheadBegin, m_lookaheadEnd - m_lookaheadBegin);
        m_lookaheadEnd -= m_lookaheadBegin;
        m_lookaheadBegin = 0;
    }
    m_lookaheadPieceInFlight = true;
    m_lookaheadPieceGeneration = m_lookaheadGeneration;
    return Piece{m_lookahead.get() + m_lookaheadEnd, std::min(size, kChannelLookaheadBytes - m_lookaheadEnd), true};
}

std::uint32_t Channel::EndRead()
{
    std::unique_lock lock(m_readMutex);
    m_readEnding = true;
    m_readWanted.Reset();
    if (m_pieceInFlight)
    {
        // The destination is the caller's: the transport's thread must be done
        // with it before the Read returns. A pipe that honours abort objects
        // ends the piece at once; a TCP read ends when its bytes are in, or
        // never when the camera stalls in the middle of the packet: then the
        // stream is out of step for good and the pipe closes as lost, which
        // ends the read.
        m_pieceAbort.Set();
        const std::chrono::milliseconds stallLimit(m_transport.GetMidPacketStallMs());
        if (!m_pieceEnded.wait_for(lock, stallLimit, [this] { return !m_pieceInFlight; }))
        {
            lock.unlock();
            m_transport.AbandonStalledPipe(m_channel, m_subChannel);
            lock.lock();
            m_pieceEnded.wait(lock, [this] { return !m_pieceInFlight; });
        }
        m_pieceAbort.Reset();
    }
    const std::uint32_t remaining = m_readRemaining;
    m_wakePending = false;
    m_readDone.Reset();
    m_readDestination = nullptr;
    m_readRemaining = 0;
    m_readEnding = false;
    return remaining;
}

bool Channel::AcceptsDirectData() const
{
    return m_state.load() == kChannelState_Open && !m_closeRequest.IsSet() && !m_stopped.IsSet();
}

DirectDataReceiver::Piece Channel::ClaimPiece(std::uint32_t maxSize, std::uint32_t packetLeft,
                                              std::span<BaseWaitObject* const> aborts, std::uint32_t& abortIndex,
                                              std::uint32_t waitMs)
{
    abortIndex = kNoSignalledIndex;
    std::array<BaseWaitObject*, Q7::Platform::kMaxWaitObjects + 1> objects{&m_readWanted, &m_notOpen,
                                                                           &m_closeRequest, &m_stopped};
    constexpr std::size_t kChannelObjects = 4;
    std::size_t count = kChannelObjects;
    for (auto it = aborts.begin(); it != aborts.end() && count < objects.size(); ++it)
    {
        objects[count++] = *it;
    }
    const std::uint64_t deadline = Q7::Platform::GetTickCountMs() + waitMs;
    for (;;)
    {
        {
            // A pending Read takes the bytes even while the channel closes, as
            // the state thread delivers the packet it holds.
            const std::lock_guard lock(m_readMutex);
            if (IsReadWaitingLocked())
            {
                // A waiting Read has taken every byte read ahead.
                Q7_ASSERT(m_lookaheadBegin == m_lookaheadEnd);
                m_pieceInFlight = true;
                if (m_readRemaining < kChannelLookaheadBytes)
                {
                    return ClaimLookaheadLocked(maxSize);
                }
                return Piece{m_readDestination, std::min(maxSize, m_readRemaining)};
            }
            // No Read waits: a packet that fits whole waits in the lookahead
            // for the reader's next Reads instead of for the reader.
            if (packetLeft > 0 && packetLeft <= kChannelLookaheadBytes - (m_lookaheadEnd - m_lookaheadBegin) &&
                AcceptsDirectData())
            {
                return ClaimLookaheadLocked(packetLeft);
            }
        }
        WakeReader(); // a reader left asleep would keep this wait from ending
        const std::uint64_t now = Q7::Platform::GetTickCountMs();
        if (!AcceptsDirectData() || now >= deadline)
        {
            return Piece{};
        }
        std::uint32_t which = kNoSignalledIndex;
        WaitForObjects(&which, static_cast<std::uint32_t>(count), objects.data(), false,
                       static_cast<std::uint32_t>(deadline - now));
        if (which >= kChannelObjects && which != kNoSignalledIndex)
        {
            abortIndex = which - kChannelObjects;
            return Piece{};
        }
    }
}

void Channel::WakeReader()
{
    const std::lock_guard lock(m_readMutex);
    if (m_wakePending)
    {
        m_wakePending = false;
        m_readDone.Set();
    }
}

void Channel::CompletePiece(std::uint32_t moved, bool wakeLater)
{
    {
        const std::lock_guard lock(m_readMutex);
        // For the Read that was waiting when the piece was claimed (the
        // Read waits for it to end), or into the lookahead while no Read
        // waited (no Read waits for it).
        const bool forRead = m_pieceInFlight;
        m_pieceInFlight = false;
        if (m_lookaheadPieceInFlight)
        {
            m_lookaheadPieceInFlight = false;
            if (m_lookaheadPieceGeneration == m_lookaheadGeneration)
            {
                m_lookaheadEnd += moved;
            }
            // Bytes of the stream before the channel opened again are
            // dropped. The Read takes what it wants (also one that came
            // while the piece was on its way); the rest waits for the next.
            moved = 0;
            if (m_readDestination != nullptr && m_readRemaining > 0 && (forRead || !m_readEnding))
            {
                moved = TakeLookaheadLocked(m_readDestination, m_readRemaining);
            }
            else if (m_lookaheadBegin == m_lookaheadEnd)
            {
                m_lookaheadBegin = 0;
                m_lookaheadEnd = 0;
            }
        }
        else
        {
            Q7_ASSERT(forRead);
        }
        Q7_ASSERT(moved <= m_readRemaining);
        if (moved > 0)
        {
            m_readDestination += moved;
            m_readRemaining -= moved;
            if (m_readRemaining == 0)
            {
                m_readWanted.Reset();
                m_wakePending = true;
            }
        }
        if (m_wakePending && !wakeLater)
        {
            m_wakePending = false;
            m_readDone.Set();
        }
    }
    m_pieceEnded.notify_all();
}

std::int32_t Channel::Write(const void* source, std::uint32_t size, const WaitObjectList* abortObjects,
                            std::uint32_t* bytesWritten, std::uint32_t timeoutMs)
{
    if (bytesWritten != nullptr)
    {
        *bytesWritten = 0;
    }
    if (size == 0)
    {
        return kChannelResult_Done;
    }
    if (source == nullptr)
    {
        Q7_THROW_INTERNAL_ERROR(ModuleError(Q7::Universal::kError_InvalidParameter, L"KPX channel."),
                                L"Write()");
    }
    if (!IsOpen())
    {
        return kChannelResult_NotOpen;
    }
    if (!IsPipeConnected())
    {
        return kChannelResult_NotConnected;
    }
    const std::uint64_t start = Q7::Platform::GetTickCountMs();
    if (m_transport.AreTimeoutsDisabled())
    {
        timeoutMs = kInfinite;
    }

    const auto* const bytes = static_cast<const std::uint8_t*>(source);
    std::uint32_t written = 0;
    for (;;)
    {
        if (abortObjects != nullptr && !abortObjects->empty() &&
            WaitForObjects(nullptr, static_cast<std::uint32_t>(abortObjects->size()), abortObjects->data(),
                           false, 0))
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

        // Up to kMaxPacketsPerWrite whole packets in one pipe write.
        std::uint32_t taken = 0;
        const std::uint32_t result = m_transport.WriteDataPackets(
            m_channel, m_subChannel, {bytes + written, size - written}, m_maxPayload.load(), &taken);
        written += taken;
        if (bytesWritten != nullptr)
        {
            *bytesWritten = written;
        }
        if (result != 0)
        {
            return static_cast<std::int32_t>(result);
        }
        if (written == size)
        {
            return kChannelResult_Done;
        }
        if (timeoutMs != kInfinite && Q7::Platform::GetTickCountMs() - start >= timeoutMs)
        {
            return kChannelResult_Timeout;
        }
    }
}

// ====================================================================== received data

void Channel::DeliverData(const PacketView& packet, BaseEventCondition& stop)
{
    Q7_ASSERT(GetState() == kChannelState_Open);
    const std::span<const std::uint8_t> payload = packet.payload;
    std::size_t offset = 0;
    while (offset < payload.size())
    {
        std::uint32_t which = kNoSignalledIndex;
        WaitForAnyOf(&which, 4, &m_readWanted, &stop, &m_stopped, &m_closeRequest);
        if (which != 0)
        {
            return; // the rest of the packet is dropped: the channel stops or closes
        }
        const std::lock_guard lock(m_readMutex);
        if (!m_readWanted.IsSet() || m_readDestination == nullptr || m_readRemaining == 0 || m_readEnding)
        {
            continue; // the read ended meanwhile; wait for the next one
        }
        const std::uint32_t count =
            static_cast<std::uint32_t>(std::min<std::size_t>(payload.size() - offset, m_readRemaining));
        std::memcpy(m_readDestination, payload.data() + offset, count);
        m_readDestination += count;
        m_readRemaining -= count;
        offset += count;
        if (m_readRemaining == 0)
        {
            m_readWanted.Reset();
            m_readDone.Set();
        }
    }
}

} // namespace Q7::KPX
