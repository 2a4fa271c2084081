// An in-memory transport for the tests of the channel classes: a device whose
// one pipe is connected to a "camera end" that the test drives by hand.
//
// The host pipe comes in two kinds:
// - kTcpLike behaves like a TCP pipe: it ignores abort objects, its reads wait
//   until every byte arrived or the link failed (a scattered read also takes
//   the bytes already waiting behind, as the TCP pipe does), and its writes
//   move all bytes or none. Time-outs are honoured, so write time-outs
//   can be tested.
// - kAbortable behaves like a USB pipe: reads and writes move bytes as they come
//   and end early when one of their abort objects is signalled (result 1) or
//   their time-out runs out (result 2), reporting the bytes moved so far.
// In both, Close (from any thread) ends blocked reads and writes, and writes
// block while the camera end holds `capacity` unread bytes (back-pressure, so
// that flow control can be seen).
//
// The camera end reads whole packets sent by the host and writes raw bytes; it
// can drop the link, which the host then sees as "disconnected" (result 4).
#pragma once

#include "Q7PlatformSync_Posix.h"
#include "Transport/KPXTransport.h"
#include "Wire/KPXPacket.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace KpxTest
{

using Q7::KPX::WaitObjectList;
using namespace Q7::KPX::Transport;

// How the host pipe treats abort objects and partial transfers.
enum class PipeKind
{
    kTcpLike,
    kAbortable,
};

// The shared state of one link. Everything is guarded by `mutex`.
struct MemoryLink
{
    MemoryLink(std::size_t capacityBytes, PipeKind pipeKind) : capacity(capacityBytes), kind(pipeKind) {}

    // Wakes everyone waiting on the link; called after every change.
    void Changed()
    {
        changed.notify_all();
        hostReadWake.Set();
        hostWriteWake.Set();
    }

    std::mutex mutex;
    std::condition_variable changed;
    // Set after every change: the abortable host pipe waits on these (one
    // reader, one writer at a time) beside its abort objects. Each waiter
    // resets its own event under `mutex` before it looks at the link.
    Q7::Platform::EventCondition_Posix hostReadWake;
    Q7::Platform::EventCondition_Posix hostWriteWake;
    std::deque<std::uint8_t> toHost;   // written by the camera end, read by the host pipe
    std::deque<std::uint8_t> toCamera; // written by the host pipe, read by the camera end
    const std::size_t capacity;        // most unread bytes in toCamera before a host write blocks
    const PipeKind kind;
    bool hostOpen = false;             // the host pipe is open
    bool dropped = false;              // the camera end dropped the link
    std::uint64_t hostBytesRead = 0;   // bytes the host took from toHost
    std::uint32_t hostReadWaiting = 0; // bytes a host read still waits for; 0 when none waits
    std::uint64_t hostWrites = 0;      // pipe writes the host made (Write or WriteGathered)
};

// The host's pipe.
class MemoryPipe final : public PipeInterface
{
public:
    MemoryPipe(DeviceInterface& device, std::shared_ptr<MemoryLink> link, std::uint32_t pipeId)
        : m_device(device), m_link(std::move(link)), m_pipeId(pipeId)
    {
        m_closedEvent.Set();
        m_disconnectedEvent.Set();
    }
    ~MemoryPipe() override { Close(); }

    std::uint32_t GetPipeId() const override { return m_pipeId; }
    DeviceInterface& GetDevice() override { return m_device; }

    std::uint32_t Open() override
    {
        std::lock_guard lock(m_link->mutex);
        if (m_link->dropped)
        {
            return kPipeResult_Disconnected;
        }
        m_link->hostOpen = true;
        m_closedEvent.Reset();
        m_disconnectedEvent.Reset();
        return kPipeResult_Success;
    }

    void Close() override
    {
        {
            std::lock_guard lock(m_link->mutex);
            m_link->hostOpen = false;
        }
        m_link->Changed();
        m_disconnectedEvent.Set();
        m_closedEvent.Set();
    }

    // The memory device never reads as disconnected: only the pipe closes.
    void CloseAsLost() override { Close(); }

    bool IsOpen() const override
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->hostOpen;
    }
    bool IsConnected() const override
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->hostOpen && !m_link->dropped;
    }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_closedEvent; }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_disconnectedEvent; }
    bool Flush() override { return true; }

    std::uint32_t Read(void* buffer, std::uint32_t size, const WaitObjectList* abortObjects,
                       std::uint32_t* transferred, std::uint32_t timeoutMs) override
    {
        if (m_link->kind == PipeKind::kAbortable)
        {
            return ReadAbortable(static_cast<std::uint8_t*>(buffer), size, abortObjects, transferred,
                                 timeoutMs);
        }
        const Q7::KPX::ByteSpan piece(static_cast<std::uint8_t*>(buffer), size);
        return ReadScattered(std::span(&piece, 1), size, abortObjects, transferred, timeoutMs);
    }

    // The TCP-like pipe takes, besides the bytes asked for, what is already
    // waiting behind them, as a TCP pipe does; the abortable one reads only
    // the bytes asked for (the default).
    std::uint32_t ReadScattered(std::span<const Q7::KPX::ByteSpan> pieces, std::uint32_t minimum,
                                const WaitObjectList* abortObjects, std::uint32_t* transferred,
                                std::uint32_t timeoutMs) override
    {
        if (m_link->kind == PipeKind::kAbortable)
        {
            return PipeInterface::ReadScattered(pieces, minimum, abortObjects, transferred, timeoutMs);
        }
        std::unique_lock lock(m_link->mutex);
        const auto ready = [&]
        { return !m_link->hostOpen || m_link->toHost.size() >= minimum || m_link->dropped; };
        m_link->hostReadWaiting = minimum;
        m_link->changed.notify_all();
        const bool inTime = WaitFor(lock, ready, timeoutMs);
        m_link->hostReadWaiting = 0;
        if (!inTime)
        {
            return kPipeResult_Timeout;
        }
        if (!m_link->hostOpen)
        {
            return kPipeResult_Closed;
        }
        if (m_link->toHost.size() < minimum)
        {
            m_disconnectedEvent.Set();
            return kPipeResult_Disconnected;
        }
        std::size_t taken = 0;
        for (const Q7::KPX::ByteSpan piece : pieces)
        {
            const std::size_t n = std::min(piece.size(), m_link->toHost.size());
            TakeLocked(piece.data(), n);
            taken += n;
        }
        if (transferred != nullptr)
        {
            *transferred += static_cast<std::uint32_t>(taken);
        }
        lock.unlock();
        m_link->Changed();
        return kPipeResult_Success;
    }

    // As a TCP pipe: a write that fits the link's room now is taken at once.
    bool CanWriteAtOnce(std::uint32_t size) override
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->kind == PipeKind::kTcpLike && m_link->hostOpen && !m_link->dropped &&
               m_link->toCamera.size() + size <= m_link->capacity;
    }

    std::uint32_t Write(const void* buffer, std::uint32_t size, const WaitObjectList* abortObjects,
                        std::uint32_t* transferred, std::uint32_t timeoutMs) override
    {
        {
            std::lock_guard lock(m_link->mutex);
            ++m_link->hostWrites;
        }
        if (m_link->kind == PipeKind::kAbortable)
        {
            return WriteAbortable(static_cast<const std::uint8_t*>(buffer), size, abortObjects, transferred,
                                  timeoutMs);
        }
        std::unique_lock lock(m_link->mutex);
        const auto ready = [&]
        {
            return !m_link->hostOpen || m_link->dropped ||
                   m_link->toCamera.size() + size <= m_link->capacity || m_link->toCamera.empty();
        };
        if (!WaitFor(lock, ready, timeoutMs))
        {
            return kPipeResult_Timeout;
        }
        if (!m_link->hostOpen)
        {
            return kPipeResult_Closed;
        }
        if (m_link->dropped)
        {
            m_disconnectedEvent.Set();
            return kPipeResult_Disconnected;
        }
        const auto* in = static_cast<const std::uint8_t*>(buffer);
        m_link->toCamera.insert(m_link->toCamera.end(), in, in + size);
        if (transferred != nullptr)
        {
            *transferred = size;
        }
        lock.unlock();
        m_link->Changed();
        return kPipeResult_Success;
    }

private:
    // Moves count bytes from toHost to out. Link mutex held.
    void TakeLocked(std::uint8_t* out, std::size_t count)
    {
        std::copy_n(m_link->toHost.begin(), count, out);
        m_link->toHost.erase(m_link->toHost.begin(),
                             m_link->toHost.begin() + static_cast<std::ptrdiff_t>(count));
        m_link->hostBytesRead += count;
    }

    template <typename Predicate>
    bool WaitFor(std::unique_lock<std::mutex>& lock, Predicate ready, std::uint32_t timeoutMs)
    {
        if (timeoutMs == Q7::Platform::kInfinite)
        {
            m_link->changed.wait(lock, ready);
            return true;
        }
        return m_link->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }

    // Waits for `wake` (reset by the caller under the link mutex), one of the
    // abort objects or the deadline. Answers 0 woken, 1 aborted, 2 time-out.
    static std::uint32_t WaitAbortable(Q7::Platform::EventCondition_Posix& wake,
                                       const WaitObjectList* abortObjects,
                                       std::chrono::steady_clock::time_point deadline, bool limited)
    {
        std::array<Q7::Platform::BaseWaitObject*, Q7::Platform::kMaxWaitObjects> objects{&wake};
        std::uint32_t count = 1;
        if (abortObjects != nullptr)
        {
            for (Q7::Platform::BaseWaitObject* object : *abortObjects)
            {
                objects[count++] = object;
            }
        }
        std::uint32_t timeoutMs = Q7::Platform::kInfinite;
        if (limited)
        {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            timeoutMs = static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 0));
        }
        std::uint32_t which = Q7::Platform::kNoSignalledIndex;
        if (!Q7::Platform::WaitForObjects(&which, count, objects.data(), false, timeoutMs))
        {
            return kPipeResult_Timeout;
        }
        return which == 0 ? kPipeResult_Success : kPipeResult_Aborted;
    }

    // The USB-like read: bytes move as they come; an abort object or the
    // time-out ends the read early with what has moved.
    std::uint32_t ReadAbortable(std::uint8_t* out, std::uint32_t size, const WaitObjectList* abortObjects,
                                std::uint32_t* transferred, std::uint32_t timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::uint32_t done = 0;
        std::uint32_t result = kPipeResult_Success;
        for (;;)
        {
            std::optional<std::uint32_t> outcome;
            {
                std::lock_guard lock(m_link->mutex);
                m_link->hostReadWake.Reset();
                const std::size_t n = std::min<std::size_t>(m_link->toHost.size(), size - done);
                TakeLocked(out + done, n);
                done += static_cast<std::uint32_t>(n);
                if (!m_link->hostOpen)
                {
                    outcome = kPipeResult_Closed;
                }
                else if (done == size)
                {
                    outcome = kPipeResult_Success;
                }
                else if (m_link->dropped)
                {
                    m_disconnectedEvent.Set();
                    outcome = kPipeResult_Disconnected;
                }
                m_link->hostReadWaiting = outcome ? 0 : size - done;
            }
            m_link->changed.notify_all();
            if (outcome)
            {
                result = *outcome;
                break;
            }
            result = WaitAbortable(m_link->hostReadWake, abortObjects, deadline,
                                   timeoutMs != Q7::Platform::kInfinite);
            if (result != kPipeResult_Success)
            {
                std::lock_guard lock(m_link->mutex);
                m_link->hostReadWaiting = 0;
                break;
            }
        }
        if (transferred != nullptr)
        {
            *transferred += done;
        }
        return result;
    }

    // The USB-like write: bytes move as the camera end makes room.
    std::uint32_t WriteAbortable(const std::uint8_t* in, std::uint32_t size,
                                 const WaitObjectList* abortObjects, std::uint32_t* transferred,
                                 std::uint32_t timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::uint32_t done = 0;
        std::uint32_t result = kPipeResult_Success;
        for (;;)
        {
            {
                std::lock_guard lock(m_link->mutex);
                m_link->hostWriteWake.Reset();
                if (!m_link->hostOpen)
                {
                    result = kPipeResult_Closed;
                    break;
                }
                if (m_link->dropped)
                {
                    m_disconnectedEvent.Set();
                    result = kPipeResult_Disconnected;
                    break;
                }
                const std::size_t room = m_link->capacity > m_link->toCamera.size()
                                             ? m_link->capacity - m_link->toCamera.size()
                                             : 0;
                const std::size_t n = std::min<std::size_t>(room, size - done);
                m_link->toCamera.insert(m_link->toCamera.end(), in + done, in + done + n);
                done += static_cast<std::uint32_t>(n);
            }
            m_link->changed.notify_all();
            if (done == size)
            {
                break;
            }
            result = WaitAbortable(m_link->hostWriteWake, abortObjects, deadline,
                                   timeoutMs != Q7::Platform::kInfinite);
            if (result != kPipeResult_Success)
            {
                break;
            }
        }
        if (transferred != nullptr)
        {
            *transferred = done;
        }
        return result;
    }

    DeviceInterface& m_device;
    const std::shared_ptr<MemoryLink> m_link;
    const std::uint32_t m_pipeId;
    Q7::Platform::EventCondition_Posix m_closedEvent;
    Q7::Platform::EventCondition_Posix m_disconnectedEvent;
};

// A device whose pipes all share one link (tests make one pipe per device).
class MemoryDevice final : public DeviceInterface
{
public:
    explicit MemoryDevice(std::size_t capacity = 1 << 20, PipeKind kind = PipeKind::kTcpLike)
        : m_link(std::make_shared<MemoryLink>(capacity, kind))
    {
        m_moniker.type = 2;
    }

    const Q7::KPX::Transport::DeviceMoniker& GetMoniker() const override { return m_moniker; }
    std::uint32_t Open() override { return 0; }
    void Close() override {}
    bool IsOpen() const override { return true; }
    bool IsConnected() const override { return true; }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_never; }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_never; }
    std::unique_ptr<PipeInterface> CreatePipe(std::uint32_t pipeId) override
    {
        return std::make_unique<MemoryPipe>(*this, m_link, pipeId == kDefaultPipeId ? 1 : pipeId);
    }
    std::uint32_t GetConnectionType() override { return kConnectionType_Unknown; }
    void SetNotifyCallback(const NotifyCallback&) override {}

    std::shared_ptr<MemoryLink> Link() const { return m_link; }

private:
    Q7::KPX::Transport::DeviceMoniker m_moniker;
    std::shared_ptr<MemoryLink> m_link;
    Q7::Platform::EventCondition_Posix m_never;
};

// The camera's end of the link, driven by the test.
class CameraEnd
{
public:
    explicit CameraEnd(std::shared_ptr<MemoryLink> link) : m_link(std::move(link)) {}

    // Appends raw bytes for the host to read.
    void WriteBytes(std::span<const std::uint8_t> bytes)
    {
        {
            std::lock_guard lock(m_link->mutex);
            m_link->toHost.insert(m_link->toHost.end(), bytes.begin(), bytes.end());
        }
        m_link->Changed();
    }

    // Reads exactly count bytes sent by the host; none when they do not arrive in time.
    std::optional<std::vector<std::uint8_t>>
    ReadBytes(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_link->mutex);
        if (!m_link->changed.wait_for(lock, timeout, [&] { return m_link->toCamera.size() >= count; }))
        {
            return std::nullopt;
        }
        std::vector<std::uint8_t> bytes(m_link->toCamera.begin(), m_link->toCamera.begin() + count);
        m_link->toCamera.erase(m_link->toCamera.begin(), m_link->toCamera.begin() + count);
        lock.unlock();
        m_link->Changed();
        return bytes;
    }

    // Reads one whole packet sent by the host (header, payload, padding).
    std::optional<std::vector<std::uint8_t>>
    ReadPacket(std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::optional<std::vector<std::uint8_t>> header = ReadBytes(Q7::KPX::kPacketHeaderSize, timeout);
        if (!header)
        {
            return std::nullopt;
        }
        const auto decoded = Q7::KPX::DecodePacketHeader(*header);
        const std::size_t rest = decoded->PacketLength() - Q7::KPX::kPacketHeaderSize;
        std::optional<std::vector<std::uint8_t>> tail = ReadBytes(rest, timeout);
        if (!tail)
        {
            return std::nullopt;
        }
        header->insert(header->end(), tail->begin(), tail->end());
        return header;
    }

    // Bytes the host wrote that the camera end did not read yet.
    std::size_t PendingFromHost()
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->toCamera.size();
    }

    // Waits until the host has read at least count bytes in all.
    bool WaitHostRead(std::uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_link->mutex);
        return m_link->changed.wait_for(lock, timeout, [&] { return m_link->hostBytesRead >= count; });
    }

    // Waits until a host read is blocked waiting for exactly count more bytes.
    bool WaitHostReadWaitingFor(std::uint32_t count,
                                std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::unique_lock lock(m_link->mutex);
        return m_link->changed.wait_for(lock, timeout, [&] { return m_link->hostReadWaiting == count; });
    }

    std::uint64_t HostBytesRead()
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->hostBytesRead;
    }

    // Pipe writes the host made so far.
    std::uint64_t HostWrites()
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->hostWrites;
    }

    // Drops the link: the host's pending and later reads and writes fail with 4.
    void Drop()
    {
        {
            std::lock_guard lock(m_link->mutex);
            m_link->dropped = true;
        }
        m_link->Changed();
    }

private:
    std::shared_ptr<MemoryLink> m_link;
};

} // namespace KpxTest
