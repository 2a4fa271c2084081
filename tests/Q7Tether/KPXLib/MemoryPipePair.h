// An in-memory transport for the tests of the channel classes: a device whose
// one pipe is connected to a "camera end" that the test drives by hand.
//
// The host pipe behaves like a TCP pipe: it ignores abort objects, its reads
// wait until every byte arrived or the link failed, and Close (from any thread)
// ends blocked reads and writes. Writes block while the camera end holds
// `capacity` unread bytes (back-pressure, so that flow control can be seen).
// Time-outs are honoured, so write time-outs can be tested.
//
// The camera end reads whole packets sent by the host and writes raw bytes; it
// can drop the link, which the host then sees as "disconnected" (result 4).
#pragma once

#include "KPXPacket.h"
#include "KPXTransport.h"
#include "Q7PlatformSync_Posix.h"

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

// The shared state of one link. Everything is guarded by `mutex`.
struct MemoryLink
{
    explicit MemoryLink(std::size_t capacityBytes) : capacity(capacityBytes) {}

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::uint8_t> toHost;   // written by the camera end, read by the host pipe
    std::deque<std::uint8_t> toCamera; // written by the host pipe, read by the camera end
    const std::size_t capacity;        // most unread bytes in toCamera before a host write blocks
    bool hostOpen = false;             // the host pipe is open
    bool dropped = false;              // the camera end dropped the link
    std::uint64_t hostBytesRead = 0;   // bytes the host took from toHost
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
        m_link->changed.notify_all();
        m_disconnectedEvent.Set();
        m_closedEvent.Set();
    }

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

    std::uint32_t Read(void* buffer, std::uint32_t size, const WaitObjectList* /*abortObjects*/,
                       std::uint32_t* transferred, std::uint32_t timeoutMs) override
    {
        std::unique_lock lock(m_link->mutex);
        const auto ready = [&]
        { return !m_link->hostOpen || m_link->toHost.size() >= size || m_link->dropped; };
        if (!WaitFor(lock, ready, timeoutMs))
        {
            return kPipeResult_Timeout;
        }
        if (!m_link->hostOpen)
        {
            return kPipeResult_Closed;
        }
        if (m_link->toHost.size() < size)
        {
            m_disconnectedEvent.Set();
            return kPipeResult_Disconnected;
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::copy_n(m_link->toHost.begin(), size, out);
        m_link->toHost.erase(m_link->toHost.begin(), m_link->toHost.begin() + size);
        m_link->hostBytesRead += size;
        if (transferred != nullptr)
        {
            *transferred += size;
        }
        lock.unlock();
        m_link->changed.notify_all();
        return kPipeResult_Success;
    }

    std::uint32_t Write(const void* buffer, std::uint32_t size, const WaitObjectList* /*abortObjects*/,
                        std::uint32_t* transferred, std::uint32_t timeoutMs) override
    {
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
        m_link->changed.notify_all();
        return kPipeResult_Success;
    }

private:
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
    explicit MemoryDevice(std::size_t capacity = 1 << 20) : m_link(std::make_shared<MemoryLink>(capacity))
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
        m_link->changed.notify_all();
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
        m_link->changed.notify_all();
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

    std::uint64_t HostBytesRead()
    {
        std::lock_guard lock(m_link->mutex);
        return m_link->hostBytesRead;
    }

    // Drops the link: the host's pending and later reads and writes fail with 4.
    void Drop()
    {
        {
            std::lock_guard lock(m_link->mutex);
            m_link->dropped = true;
        }
        m_link->changed.notify_all();
    }

private:
    std::shared_ptr<MemoryLink> m_link;
};

} // namespace KpxTest
