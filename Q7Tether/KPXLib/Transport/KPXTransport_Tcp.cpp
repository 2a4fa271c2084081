#include "Transport/KPXTransport_Tcp.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <optional>
#include <span>
#include <vector>

namespace Q7::KPX::Transport
{

using Q7::Platform::PlatformSocket;
using Q7::Platform::PlatformSocketResult;
using Q7::Platform::ScopedLock;
using Q7::Platform::SocketAddress;
using Q7::Universal::LogInfo;
using Q7::Universal::ModuleError;
using Q7::Universal::UniversalString;

namespace
{

// Keep-alive of every connected pipe: first probe after 1 s of silence, then one
// probe a second; 3 unanswered probes mean the camera is gone.
constexpr uint32_t kKeepAliveIdleSeconds = 1;
constexpr uint32_t kKeepAliveIntervalSeconds = 1;
constexpr uint32_t kKeepAliveProbeCount = 3;

// The address text of log lines ("[ 192.168.1.20:7381 ]").
UniversalString AddressText(const SocketAddress& address)
{
    return Q7::Universal::FromNarrow(address.ToText().c_str());
}

// The pieces of one gathered or scattered transfer as the socket takes them.
// Built on the stack for the few pieces a channel transport passes (a receive
// loop transfers often); more go to the heap.
class PieceVectors
{
public:
    template <class Byte>
    explicit PieceVectors(std::span<const std::span<Byte>> pieces)
    {
        iovec* vectors = m_stack.data();
        if (pieces.size() > m_stack.size())
        {
            m_heap.resize(pieces.size());
            vectors = m_heap.data();
        }
        for (const std::span<Byte> piece : pieces)
        {
            vectors[m_count++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
        }
        m_vectors = vectors;
    }

    const iovec* data() const { return m_vectors; }
    uint32_t size() const { return m_count; }

private:
    std::array<iovec, 64> m_stack{};
    std::vector<iovec> m_heap;
    const iovec* m_vectors = nullptr;
    uint32_t m_count = 0;
};

} // namespace

// ---------------------------------------------------------------- TcpDevice

TcpDevice::TcpDevice(const DeviceMoniker& moniker) : m_moniker(moniker)
{
    m_closedEvent.Set();
    m_disconnectedEvent.Set();
}

TcpDevice::~TcpDevice()
{
    Close();
}

uint32_t TcpDevice::Open()
{
    ScopedLock lock(m_deviceLock);
    try
    {
        Close();
        m_disconnectedEvent.Reset();
        m_closedEvent.Reset();
        m_notifier.Start(m_disconnectedEvent);
        return kPipeResult_Success;
    }
    catch (...)
    {
        Close();
        throw;
    }
}

void TcpDevice::Close()
{
    ScopedLock lock(m_deviceLock);
    // The notify thread is told to stop before the device reads as disconnected,
    // so that it never takes an ordinary close for a lost link.
    m_notifier.RequestStop();
    m_disconnectedEvent.Set();
    m_closedEvent.Set();
    m_notifier.Stop();
}

std::unique_ptr<PipeInterface> TcpDevice::CreatePipe(uint32_t pipeId)
{
    if (!IsOpen())
    {
        Q7::Universal::LogWarning(L"%ls invoked on a closed device",
                                  L"Q7::KPX::Transport::TcpDevice::CreatePipe");
    }
    const uint32_t id = pipeId == kDefaultPipeId ? m_moniker.tcp.port : pipeId;
    return std::make_unique<TcpPipe>(*this, id);
}

void TcpDevice::SetNotifyCallback(const NotifyCallback& callback)
{
    m_notifier.SetCallback(callback);
}

// ---------------------------------------------------------------- TcpPipe

TcpPipe::TcpPipe(TcpDevice& device, uint32_t pipeId) : m_device(device), m_pipeId(pipeId) {}

TcpPipe::~TcpPipe()
{
    Close();
}

uint32_t TcpPipe::Open()
{
    std::optional<SocketAddress> address = m_device.GetMoniker().tcp.MakeSocketAddress();
    if (!address)
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_Unexpected, L"Could not obtain a valid address"));
    }
    if (m_pipeId != (m_pipeId & 0xFFFFu))
    {
        Q7::Universal::ThrowModuleError(
            ModuleError(Q7::Universal::kError_OutOfRange, L"Unable to cast pipeId to a valid port number"));
    }
    address->SetPort(static_cast<uint16_t>(m_pipeId));
    const UniversalString text = AddressText(*address);
    LogInfo(L"Opening connection to: %ls", text.c_str());

    const uint32_t result = HandleResult(m_socket.OpenConnection(*address), nullptr);
    if (result != kPipeResult_Success)
    {
        LogInfo(L"Connection attempt to (%ls) unsuccessful", text.c_str());
        return result;
    }
    LogInfo(L"Connected to: %ls", text.c_str());

    // A camera that vanishes without closing its connections (cable pulled,
    // power lost) is noticed within a few seconds instead of never.
    bool keepAlive =
        m_socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, kKeepAliveIdleSeconds);
    keepAlive &= m_socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveInterval,
                                       kKeepAliveIntervalSeconds);
    keepAlive &=
        m_socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, kKeepAliveProbeCount);
    keepAlive &= m_socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true);
    if (!keepAlive)
    {
        Q7::Universal::LogWarning(L"Could not switch keep-alive on for %ls", text.c_str());
    }
    return kPipeResult_Success;
}

void TcpPipe::Close()
{
    const std::optional<SocketAddress> address = m_device.GetMoniker().tcp.MakeSocketAddress();
    const UniversalString text = address ? AddressText(*address) : UniversalString();
    LogInfo(L"Closing connection to: %ls", address ? text.c_str() : L"NULL");
    m_socket.Close();
}

void TcpPipe::CloseAsLost()
{
    m_device.MarkDisconnected();
    Close();
}

uint32_t TcpPipe::Read(void* buffer, uint32_t size, const WaitObjectList* /*abortObjects*/,
                       uint32_t* transferred, uint32_t /*timeoutMs*/)
{
    uint32_t received = 0;
    const PlatformSocketResult result = m_socket.Receive(buffer, size, &received, 0);
    if (transferred != nullptr)
    {
        *transferred += received;
    }
    return HandleResult(result, L"socket read returned non-success");
}

uint32_t TcpPipe::Write(const void* buffer, uint32_t size, const WaitObjectList* /*abortObjects*/,
                        uint32_t* transferred, uint32_t timeoutMs)
{
    ScopedLock lock(m_writeLock);
    // The socket sends every byte (looping over partial writes) or reports the
    // failure; a write never ends half-way with success.
    uint32_t sent = 0;
    const PlatformSocketResult result = m_socket.Send(buffer, size, &sent, 0, timeoutMs);
    if (transferred != nullptr)
    {
        *transferred = sent;
    }
    return HandleWriteResult(result);
}

uint32_t TcpPipe::WriteGathered(std::span<const ConstByteSpan> pieces, std::span<std::uint8_t> /*scratch*/,
                                const WaitObjectList* /*abortObjects*/, uint32_t* transferred,
                                uint32_t timeoutMs)
{
    const PieceVectors vectors(pieces);
    ScopedLock lock(m_writeLock);
    uint32_t sent = 0;
    const PlatformSocketResult result =
        m_socket.SendGathered(vectors.data(), vectors.size(), &sent, 0, timeoutMs);
    if (transferred != nullptr)
    {
        *transferred = sent;
    }
    return HandleWriteResult(result);
}

uint32_t TcpPipe::HandleWriteResult(PlatformSocketResult result)
{
    if (result == Q7::Platform::kSocketResult_Timeout)
    {
        // A camera that does not take what it is sent within the time-out:
        // the stream may be cut in the middle of a packet, so the link is
        // lost for good.
        LogInfo(L"socket send timed out");
        CloseAsLost();
        return static_cast<uint32_t>(result);
    }
    return HandleResult(result, L"socket send returned non-success");
}

bool TcpPipe::CanWriteAtOnce(uint32_t size)
{
    // A writable TCP socket takes a write of up to this many bytes into its
    // send buffer without waiting; larger ones may wait for room.
    constexpr uint32_t kAtOnceLimit = 1024;
    return size <= kAtOnceLimit && m_socket.IsWritable();
}

uint32_t TcpPipe::ReadScattered(std::span<const ByteSpan> pieces, uint32_t minimum,
                                const WaitObjectList* /*abortObjects*/, uint32_t* transferred,
                                uint32_t /*timeoutMs*/)
{
    const PieceVectors vectors(pieces);
    uint32_t received = 0;
    const PlatformSocketResult result =
        m_socket.ReceiveScattered(vectors.data(), vectors.size(), minimum, &received, 0);
    if (transferred != nullptr)
    {
        *transferred += received;
    }
    return HandleResult(result, L"socket read returned non-success");
}

uint32_t TcpPipe::HandleResult(PlatformSocketResult result, const wchar_t* failureText)
{
    if (result == Q7::Platform::kSocketResult_Disconnected)
    {
        m_device.MarkDisconnected();
    }
    if (result != Q7::Platform::kSocketResult_Done && failureText != nullptr)
    {
        LogInfo(L"%ls", failureText);
    }
    return static_cast<uint32_t>(result);
}

} // namespace Q7::KPX::Transport
