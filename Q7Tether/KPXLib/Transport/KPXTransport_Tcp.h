#pragma once
// The TCP transport: a camera reached over TCP/IPv4. The device is a camera
// address (the TcpMoniker of its DeviceMoniker); every pipe is a TCP connection
// of its own to that address, and the pipe id is the port of that connection.

#include "Q7PlatformSocket.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformThread_Posix.h"
#include "Transport/KPXDeviceMoniker.h"
#include "Transport/KPXLinkLossNotifier.h"
#include "Transport/KPXTransport.h"

#include <cstdint>
#include <memory>

namespace Q7::KPX::Transport
{

class TcpPipe;

/// A camera reached over TCP. Open makes no connection: each pipe connects in its
/// own Open. The first pipe that sees its connection lost marks the device
/// disconnected; the "TcpDevice notify" thread then calls the link-loss callback
/// once. Thread-safe (see DeviceInterface).
class TcpDevice : public virtual DeviceInterface
{
public:
    /// Copies the moniker; the device starts closed (both events set). The
    /// moniker's type is not checked (the device manager makes TCP devices only
    /// for TCP monikers).
    explicit TcpDevice(const DeviceMoniker& moniker);

    /// Closes.
    ~TcpDevice() override;

    TcpDevice(const TcpDevice&) = delete;
    TcpDevice& operator=(const TcpDevice&) = delete;

    const DeviceMoniker& GetMoniker() const override { return m_moniker; }

    /// Closes first, clears both events and starts the notify thread without
    /// waiting for it; answers 0. An error raised on the way makes it Close and
    /// pass the error on (for example a thread that cannot be created).
    uint32_t Open() override;

    /// Asks the notify thread to stop, sets the disconnected and the closed
    /// event, then waits for the thread in 10-second rounds, logging "Thread
    /// '%ls' taking an unexpectedly long time to stop." after each round that
    /// ends with it still running. A normal Close never runs the link-loss
    /// callback. Safe on a closed device; never throws.
    void Close() override;

    bool IsOpen() const override { return !m_closedEvent.IsSet(); }
    bool IsConnected() const override { return !m_closedEvent.IsSet() && !m_disconnectedEvent.IsSet(); }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_closedEvent; }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_disconnectedEvent; }

    /// A new, unopened TcpPipe. kDefaultPipeId becomes the moniker's port; every
    /// other id is taken as it is and checked when the pipe opens. On a closed
    /// device it logs the warning "%hs invoked on a closed device" and goes on.
    std::unique_ptr<PipeInterface> CreatePipe(uint32_t pipeId) override;

    /// kConnectionType_Tcp.
    uint32_t GetConnectionType() override { return kConnectionType_Tcp; }

    void SetNotifyCallback(const NotifyCallback& callback) override;

private:
    friend class TcpPipe;

    // Called by the pipes when their connection is lost; wakes the notify thread.
    void MarkDisconnected() { m_disconnectedEvent.Set(); }

    const DeviceMoniker m_moniker;

    Q7::Platform::Mutex_Posix m_deviceLock; // serialises Open and Close
    Q7::Platform::EventCondition_Posix m_closedEvent{false};
    Q7::Platform::EventCondition_Posix m_disconnectedEvent{false};

    LinkLossNotifier m_notifier{L"TcpDevice notify"}; // watches m_disconnectedEvent while open
};

/// One TCP connection to the camera; the pipe id is its port. Reads ignore
/// abort objects and time-outs: a read returns when every byte arrived or the
/// connection failed. Writes ignore abort objects and end when every byte was
/// sent, the connection failed, or the camera took nothing for the time-out
/// (neither 0 nor kInfinite): then the stream may be cut in the middle of a
/// packet, and the pipe closes as lost (result 2). Close (from any thread)
/// ends both at once with kPipeResult_Closed.
/// A lost connection (result 4) marks the owning device disconnected.
/// One reader at a time; writers are serialised by the pipe.
class TcpPipe : public virtual PipeInterface
{
public:
    /// A pipe of device on the port pipeId; makes no connection.
    TcpPipe(TcpDevice& device, uint32_t pipeId);

    /// Closes.
    ~TcpPipe() override;

    TcpPipe(const TcpPipe&) = delete;
    TcpPipe& operator=(const TcpPipe&) = delete;

    uint32_t GetPipeId() const override { return m_pipeId; }
    DeviceInterface& GetDevice() override { return m_device; }

    /// Connects to the moniker's address on port pipeId (with the moniker's
    /// connect time-out when above 0) and switches keep-alive on (idle 1 s,
    /// interval 1 s, 3 probes). Answers 0 or the socket's result (2 time-out,
    /// 3 closed, 4 refused or lost; 4 also marks the device disconnected).
    /// Raises ModuleError 0x6500CA "Could not obtain a valid address" (logged)
    /// when the moniker has no address, and ModuleError 0x650004 "Unable to cast
    /// pipeId to a valid port number" (logged) for an id above 65535. Blocks.
    uint32_t Open() override;

    /// Logs "Closing connection to: %hs" and closes the connection, waking any
    /// blocked Read or Write. Thread-safe; never throws.
    void Close() override;

    /// Marks the device disconnected, then closes as Close. Thread-safe; never
    /// throws.
    void CloseAsLost() override;

    bool IsOpen() const override { return m_socket.IsOpen(); }
    bool IsConnected() const override { return m_socket.IsConnected(); }
    Q7::Platform::EventStatus& GetClosedEvent() override { return m_socket.GetClosedEvent(); }
    Q7::Platform::EventStatus& GetDisconnectedEvent() override { return m_socket.GetDisconnectedEvent(); }

    /// Nothing to discard on a TCP connection: answers true.
    bool Flush() override { return true; }

    uint32_t Read(void* buffer, uint32_t size, const WaitObjectList* abortObjects, uint32_t* transferred,
                  uint32_t timeoutMs) override;

    uint32_t Write(const void* buffer, uint32_t size, const WaitObjectList* abortObjects,
                   uint32_t* transferred, uint32_t timeoutMs) override;

    /// Sends the pieces where they lie, in one gathered socket send (scratch is
    /// not used). Otherwise as Write.
    bool CanWriteAtOnce(uint32_t size) override;
    uint32_t WriteGathered(std::span<const ConstByteSpan> pieces, std::span<std::uint8_t> scratch,
                           const WaitObjectList* abortObjects, uint32_t* transferred,
                           uint32_t timeoutMs) override;

    /// Takes what the socket already holds beyond minimum, up to the pieces'
    /// total, with the same system calls. Otherwise as Read.
    uint32_t ReadScattered(std::span<const ByteSpan> pieces, uint32_t minimum,
                           const WaitObjectList* abortObjects, uint32_t* transferred,
                           uint32_t timeoutMs) override;

private:
    // Marks the device disconnected on result 4 and logs a failed transfer.
    uint32_t HandleResult(Q7::Platform::PlatformSocketResult result, const wchar_t* failureText);
    // HandleResult for a write; a time-out closes the pipe as lost.
    uint32_t HandleWriteResult(Q7::Platform::PlatformSocketResult result);

    TcpDevice& m_device; // not owned; outlives the pipe
    const uint32_t m_pipeId;
    Q7::Platform::Mutex_Posix m_writeLock; // serialises writers: the socket takes one sender at a time
    Q7::Platform::PlatformSocket m_socket;
};

} // namespace Q7::KPX::Transport
