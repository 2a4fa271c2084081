#include "Q7PlatformSocket.h"

#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace Q7::Platform
{

namespace
{

using Universal::ModuleError;
using Universal::UniversalString;
using Universal::UniversalStringA;

constexpr const wchar_t* kOpenConnection = L"Q7::Platform::PlatformSocket::OpenConnection";

// System bounds of the keep-alive settings (tcp(7)).
constexpr std::uint32_t kMaxKeepAliveSeconds = 32767;
constexpr std::uint32_t kMaxKeepAliveProbes = 127;

int Clamp(std::uint32_t value, std::uint32_t highest)
{
    return static_cast<int>(std::clamp<std::uint32_t>(value, 1, highest));
}

// Waits until fd is ready for events, retrying interrupted waits. Answers 0 when
// ready (or hung up / in error: the next call reports why), otherwise the errno
// of the failed poll.
int WaitUntilReady(int fd, short events)
{
    for (;;)
    {
        pollfd entry{fd, events, 0};
        if (::poll(&entry, 1, -1) >= 0)
        {
            return 0;
        }
        if (errno != EINTR)
        {
            return errno;
        }
    }
}

// As WaitUntilReady, at most until `deadline`: ETIMEDOUT when it passes first.
int WaitUntilReadyBy(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0)
        {
            return ETIMEDOUT;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX)));
        if (ready > 0)
        {
            return 0;
        }
        if (ready < 0 && errno != EINTR)
        {
            return errno;
        }
    }
}

// Waits until a connect under way on fd has ended, at most timeoutMs (negative:
// no limit), retrying interrupted waits with the time that is left. Answers 1
// when it ended, 0 on time-out and -1 on failure (errno set).
int WaitForConnect(int fd, std::int64_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(std::max<std::int64_t>(timeoutMs, 0));
    for (;;)
    {
        int waitMs = -1;
        if (timeoutMs >= 0)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
        }
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, waitMs);
        if (ready > 0)
        {
            return 1;
        }
        if (ready == 0)
        {
            if (waitMs == 0 || Clock::now() >= deadline)
            {
                return 0;
            }
            continue; // woke early: wait for the rest of the time
        }
        if (errno != EINTR)
        {
            return -1;
        }
    }
}

bool SetBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
    {
        return false;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

bool IsSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

// ---------------------------------------------------------------------------
// SocketAddress

SocketAddress::SocketAddress(std::uint16_t family, std::uint16_t port, std::uint32_t ipv4,
                             std::uint32_t timeout) noexcept
    : m_address(sockaddr_in{}),
      m_timeoutSeconds(static_cast<std::int32_t>(std::min<std::uint32_t>(timeout, INT32_MAX)))
{
    m_address->sin_family = family;
    m_address->sin_port = htons(port);
    m_address->sin_addr.s_addr = htonl(ipv4);
}

SocketAddress::SocketAddress(const sockaddr* address) noexcept : m_address(sockaddr_in{})
{
    m_address->sin_family = AF_INET;
    if (address != nullptr && address->sa_family == AF_INET)
    {
        std::memcpy(&*m_address, address, sizeof(sockaddr_in));
    }
}

std::uint32_t SocketAddress::GetIPv4() const
{
    if (!m_address)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized));
    }
    return ntohl(m_address->sin_addr.s_addr);
}

std::uint16_t SocketAddress::GetPort() const
{
    if (!m_address)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized));
    }
    return ntohs(m_address->sin_port);
}

void SocketAddress::SetPort(std::uint16_t port)
{
    if (!m_address)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized));
    }
    m_address->sin_port = htons(port);
}

UniversalStringA SocketAddress::ToText() const noexcept
{
    char address[INET_ADDRSTRLEN] = "(null)";
    char port[16] = "(null)";
    if (m_address)
    {
        if (::inet_ntop(AF_INET, &m_address->sin_addr, address, sizeof(address)) == nullptr)
        {
            std::snprintf(address, sizeof(address), "%s", "(null)");
        }
        std::snprintf(port, sizeof(port), "%i", static_cast<int>(ntohs(m_address->sin_port)));
    }
    char text[64];
    std::snprintf(text, sizeof(text), "[ %s:%s ]", address, port);
    UniversalStringA result;
    result.Assign(text);
    return result;
}

// ---------------------------------------------------------------------------
// Free functions

std::optional<PlatformSocketResult> SocketResultOfError(int errorNumber, bool connecting) noexcept
{
    switch (errorNumber)
    {
    case EBADF:
    case ENOTSOCK:
    case ENOTCONN:
    case ESHUTDOWN:
        return kSocketResult_Closed;
    case ETIMEDOUT:
        // While connecting the connect timed out; on an established connection
        // the keep-alive probes went unanswered.
        return connecting ? kSocketResult_Timeout : kSocketResult_Disconnected;
    case ENETDOWN:
    case ENETUNREACH:
    case ENETRESET:
    case ECONNABORTED:
    case ECONNRESET:
    case ECONNREFUSED:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EPIPE:
        return kSocketResult_Disconnected;
    default:
        return std::nullopt;
    }
}

bool StartSocketSubsystem() noexcept
{
    // POSIX sockets need no start-up.
    return true;
}

std::vector<SocketAddress> ResolveHostName(const char* hostName)
{
    if (!StartSocketSubsystem())
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized, L"Socket subsystem"));
    }
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    std::vector<SocketAddress> addresses;
    const int code = ::getaddrinfo(hostName, nullptr, &hints, &results);
    if (code != 0)
    {
        Universal::LogInfo(L"getaddrinfo failed (error = %i)\n", code);
        return addresses;
    }
    try
    {
        for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next)
        {
            if (entry->ai_addr != nullptr && entry->ai_addrlen >= sizeof(sockaddr_in) &&
                entry->ai_addr->sa_family == AF_INET)
            {
                addresses.emplace_back(entry->ai_addr);
            }
        }
    }
    catch (...)
    {
        ::freeaddrinfo(results);
        throw;
    }
    ::freeaddrinfo(results);
    return addresses;
}

std::uint16_t ParsePort(const char* text)
{
    const char* p = text != nullptr ? text : "";
    while (IsSpaceOrTab(*p))
    {
        ++p;
    }
    std::uint32_t value = 0;
    bool valid = *p >= '0' && *p <= '9';
    for (; valid && *p >= '0' && *p <= '9'; ++p)
    {
        value = value * 10 + static_cast<std::uint32_t>(*p - '0');
        valid = value < 65536;
    }
    while (valid && IsSpaceOrTab(*p))
    {
        ++p;
    }
    if (!valid || *p != 0)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidParameter, L"Invalid port"));
    }
    return static_cast<std::uint16_t>(value);
}

std::uint32_t ParseIPv4(const char* text)
{
    in_addr address{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &address) != 1)
    {
        Universal::ThrowModuleError(
            ModuleError(Universal::kError_InvalidData, L"Unable to parse IP address"));
    }
    return ntohl(address.s_addr);
}

// ---------------------------------------------------------------------------
// PlatformSocket

// A call's hold on the descriptor: while one exists, Close does not close it.
class PlatformSocket::DescriptorUse
{
public:
    explicit DescriptorUse(PlatformSocket& socket) : m_socket(socket)
    {
        const std::lock_guard<std::mutex> lock(m_socket.m_descriptorLock);
        m_fd = m_socket.m_fd;
        if (m_fd >= 0)
        {
            ++m_socket.m_inFlight;
        }
    }

    ~DescriptorUse()
    {
        if (m_fd < 0)
        {
            return;
        }
        const std::lock_guard<std::mutex> lock(m_socket.m_descriptorLock);
        if (--m_socket.m_inFlight == 0)
        {
            m_socket.m_callsEnded.notify_all();
        }
    }

    DescriptorUse(const DescriptorUse&) = delete;
    DescriptorUse& operator=(const DescriptorUse&) = delete;

    // The descriptor, or -1 when there is no socket.
    int Get() const { return m_fd; }

private:
    PlatformSocket& m_socket;
    int m_fd;
};

PlatformSocket::PlatformSocket() : PlatformSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP) {}

PlatformSocket::PlatformSocket(int family, int type, int protocol)
    : m_family(family), m_type(type), m_protocol(protocol)
{
    m_closedEvent.Set();
    m_disconnectedEvent.Set();
}

PlatformSocket::~PlatformSocket()
{
    Close();
}

PlatformSocketResult PlatformSocket::ResultFromSocketError(const wchar_t* context, int code, Phase phase)
{
    const SystemError_Posix error(static_cast<std::uint32_t>(code), context);
    const std::optional<PlatformSocketResult> result = SocketResultOfError(code, phase == Phase::kConnect);
    if (!result)
    {
        ThrowSystemError(error, nullptr);
    }
    switch (*result)
    {
    case kSocketResult_Closed:
        Universal::LogInfo(L"Socket close detected: %ls", error.GetMessage().c_str());
        break;
    case kSocketResult_Timeout:
        Universal::LogInfo(L"Socket connect timeout: %ls", error.GetMessage().c_str());
        break;
    case kSocketResult_Disconnected:
        Universal::LogInfo(L"Socket disconnect detected: %ls", error.GetMessage().c_str());
        m_disconnectedEvent.Set();
        break;
    case kSocketResult_Done:
        break;
    }
    return *result;
}

PlatformSocketResult PlatformSocket::ConnectionCheck() const
{
    if (m_closedEvent.IsSet())
    {
        return kSocketResult_Closed;
    }
    if (m_disconnectedEvent.IsSet())
    {
        return kSocketResult_Disconnected;
    }
    return kSocketResult_Done;
}

PlatformSocketResult PlatformSocket::OpenConnection(const SocketAddress& address)
{
    if (!StartSocketSubsystem())
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized, L"Socket subsystem"));
    }
    if (address.IsEmpty())
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_NotInitialized, L"Socket address"));
    }

    const ScopedLock lock(m_socketMutex);
    try
    {
        Close();
        m_disconnectedEvent.Reset();

        const int fd = ::socket(m_family, m_type | SOCK_CLOEXEC, m_protocol);
        if (fd < 0)
        {
            const int code = errno;
            m_disconnectedEvent.Set();
            return ResultFromSocketError(L"socket create", code, Phase::kConnect);
        }
        {
            const std::lock_guard<std::mutex> descriptorLock(m_descriptorLock);
            m_fd = fd;
        }
        // Every write goes out at once: a small request written behind another
        // would otherwise wait for the first one's delayed acknowledgement
        // (about 40 ms). Callers write each message whole, in one call.
        if (m_type == SOCK_STREAM && (m_protocol == IPPROTO_TCP || m_protocol == 0))
        {
            const int one = 1;
            if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0)
            {
                Universal::LogDebug(L"%ls: could not switch TCP_NODELAY on (errno %i)", kOpenConnection,
                                    errno);
            }
        }

        const PlatformSocketResult result = Connect(fd, address);
        if (result != kSocketResult_Done)
        {
            // No descriptor stays behind a failed connect; the events stay set.
            Close();
            return result;
        }
        m_closedEvent.Reset();
        return kSocketResult_Done;
    }
    catch (...)
    {
        Close();
        throw;
    }
}

PlatformSocketResult PlatformSocket::Connect(int fd, const SocketAddress& address)
{
    const bool timed = address.HasTimeout();
    const UniversalString target = Universal::FromNarrow(address.ToText().c_str());

    if (timed && !SetBlocking(fd, false))
    {
        return ResultFromSocketError(L"fcntl", errno, Phase::kConnect);
    }

    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.Get()), sizeof(sockaddr_in)) != 0)
    {
        const int code = errno;
        // EINTR: the connect goes on in the background, as EINPROGRESS says for a
        // non-blocking socket; both end in the wait below.
        if (code != EINPROGRESS && code != EINTR)
        {
            if (timed)
            {
                Universal::LogDebug(L"%ls: non-blocking socket connect did not return IN_PROGRESS: %ls",
                                    kOpenConnection, target.c_str());
                return ResultFromSocketError(L"non-blocking socket connect", code, Phase::kConnect);
            }
            Universal::LogDebug(L"%ls: socket connect failed for %ls", kOpenConnection, target.c_str());
            return ResultFromSocketError(L"socket connect", code, Phase::kConnect);
        }

        const std::int64_t timeoutMs = timed ? std::int64_t{address.GetTimeoutSeconds()} * 1000 : -1;
        const int ended = WaitForConnect(fd, timeoutMs);
        if (ended == 0)
        {
            Universal::LogDebug(L"%ls: Timed out when connecting to %ls", kOpenConnection, target.c_str());
            return ResultFromSocketError(L"socket connect timed out", ETIMEDOUT, Phase::kConnect);
        }
        if (ended < 0)
        {
            const int waitCode = errno;
            Universal::LogDebug(L"%ls: Unable to establish connection to %ls", kOpenConnection,
                                target.c_str());
            return ResultFromSocketError(L"socket connect", waitCode, Phase::kConnect);
        }

        int connectError = 0;
        socklen_t size = sizeof(connectError);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &connectError, &size) != 0)
        {
            connectError = errno;
        }
        if (connectError != 0)
        {
            Universal::LogDebug(L"%ls: Unable to establish connection to %ls (errno: %i)", kOpenConnection,
                                target.c_str(), connectError);
            return ResultFromSocketError(L"socket connect failed", connectError, Phase::kConnect);
        }
        Universal::LogDebug(L"Connect success");
    }

    if (timed && !SetBlocking(fd, true))
    {
        return ResultFromSocketError(L"fcntl", errno, Phase::kConnect);
    }
    return kSocketResult_Done;
}

void PlatformSocket::Close() noexcept
{
    const ScopedLock lock(m_socketMutex);
    m_closedEvent.Set();
    m_disconnectedEvent.Set();

    std::unique_lock<std::mutex> descriptorLock(m_descriptorLock);
    const int fd = m_fd;
    m_fd = -1;
    if (fd < 0)
    {
        return;
    }
    // A bare close does not wake a thread blocked in recv on Linux; a shutdown
    // does, and makes every later call on the descriptor fail at once.
    ::shutdown(fd, SHUT_RDWR);
    m_callsEnded.wait(descriptorLock, [this] { return m_inFlight == 0; });
    descriptorLock.unlock();

    if (::close(fd) != 0)
    {
        const int code = errno;
        Universal::LogError(SystemError_Posix(static_cast<std::uint32_t>(code), L"socket close"));
    }
}

template <typename Call>
PlatformSocketResult PlatformSocket::TransferAll(Direction direction, std::uint32_t length,
                                                 std::uint32_t* transferred, Call call,
                                                 std::uint32_t timeoutMs)
{
    // The time-out bounds a stall: it runs again from every byte that moves.
    const bool timed = timeoutMs != kInfinite && timeoutMs != 0;
    const auto stall = std::chrono::milliseconds(timed ? timeoutMs : 0);
    auto deadline = std::chrono::steady_clock::now() + stall;
    PlatformSocketResult result = ConnectionCheck();
    if (result != kSocketResult_Done)
    {
        return result;
    }
    if (length == 0)
    {
        if (transferred != nullptr)
        {
            *transferred = 0;
        }
        return kSocketResult_Done;
    }

    // The hold on the descriptor lasts until the result is known: once it is
    // released, Close may finish and the owner destroy this socket, so nothing
    // of the object may be touched after it.
    const DescriptorUse use(*this);
    if (use.Get() < 0)
    {
        if (transferred != nullptr)
        {
            *transferred = 0;
        }
        return kSocketResult_Closed;
    }
    const bool receiving = direction == Direction::kReceive;
    std::uint32_t total = 0;
    int code = 0;
    bool peerClosed = false;
    while (result == kSocketResult_Done && total < length)
    {
        result = ConnectionCheck();
        if (result != kSocketResult_Done)
        {
            break;
        }
        const ssize_t n = call(use.Get(), total);
        if (n > 0)
        {
            total += static_cast<std::uint32_t>(n);
            if (timed)
            {
                deadline = std::chrono::steady_clock::now() + stall;
            }
            continue;
        }
        // recv answers 0 only at the peer's orderly close; send answers 0 when
        // nothing fitted, which is waited out like EAGAIN.
        if (n == 0 && receiving)
        {
            peerClosed = true;
            break;
        }
        code = n == 0 ? EAGAIN : errno;
        if (code == EINTR)
        {
            continue;
        }
        if (code == EAGAIN || code == EWOULDBLOCK)
        {
            const short events = receiving ? POLLIN : POLLOUT;
            code = timed ? WaitUntilReadyBy(use.Get(), events, deadline) : WaitUntilReady(use.Get(), events);
            if (code == 0)
            {
                continue;
            }
            if (code == ETIMEDOUT)
            {
                // What went out stays counted: the stream is cut there.
                if (transferred != nullptr)
                {
                    *transferred = total;
                }
                return kSocketResult_Timeout;
            }
        }
        break;
    }

    if (total == length)
    {
        if (transferred != nullptr)
        {
            *transferred = total;
        }
        return kSocketResult_Done;
    }
    if (transferred != nullptr)
    {
        *transferred = 0;
    }
    if (m_closedEvent.IsSet())
    {
        return kSocketResult_Closed;
    }
    if (result != kSocketResult_Done)
    {
        return result;
    }
    if (peerClosed)
    {
        // An orderly close by the peer: no more bytes will come.
        Universal::LogInfo(L"Socket disconnect detected: %ls", L"Connection closed by peer");
        m_disconnectedEvent.Set();
        return kSocketResult_Disconnected;
    }
    return ResultFromSocketError(receiving ? L"socket receive" : L"socket send", code, Phase::kTransfer);
}

PlatformSocketResult PlatformSocket::Receive(void* buffer, std::uint32_t length, std::uint32_t* received,
                                             int flags)
{
    auto* const bytes = static_cast<unsigned char*>(buffer);
    return TransferAll(Direction::kReceive, length, received,
                       [&](int fd, std::uint32_t done)
                       { return ::recv(fd, bytes + done, length - done, flags); });
}

PlatformSocketResult PlatformSocket::Send(const void* buffer, std::uint32_t length, std::uint32_t* sent,
                                          int flags, std::uint32_t timeoutMs)
{
    const auto* const bytes = static_cast<const unsigned char*>(buffer);
    // A timed send never blocks in the call: the wait is the poll's.
    const int callFlags =
        flags | MSG_NOSIGNAL | (timeoutMs != kInfinite && timeoutMs != 0 ? MSG_DONTWAIT : 0);
    return TransferAll(
        Direction::kSend, length, sent,
        [&](int fd, std::uint32_t done) { return ::send(fd, bytes + done, length - done, callFlags); },
        timeoutMs);
}

namespace
{

// The pieces of a gathered send or scattered receive not yet done: a call takes
// them from the first one on, cut by what earlier calls moved.
class PieceCursor
{
public:
    PieceCursor(const iovec* pieces, std::uint32_t count) : m_rest(pieces, pieces + count) {}

    // The sum of the pieces' sizes.
    std::uint64_t Total() const
    {
        std::uint64_t total = 0;
        for (const iovec& piece : m_rest)
        {
            total += piece.iov_len;
        }
        return total;
    }

    // A message over the pieces after the first `done` bytes (done only grows).
    msghdr MessageAfter(std::uint32_t done)
    {
        std::size_t advance = done - m_consumed;
        m_consumed = done;
        while (m_first < m_rest.size() && advance >= m_rest[m_first].iov_len)
        {
            advance -= m_rest[m_first].iov_len;
            ++m_first;
        }
        if (advance > 0)
        {
            m_rest[m_first].iov_base = static_cast<char*>(m_rest[m_first].iov_base) + advance;
            m_rest[m_first].iov_len -= advance;
        }
        msghdr message{};
        message.msg_iov = m_rest.data() + m_first;
        message.msg_iovlen = std::min<std::size_t>(m_rest.size() - m_first, IOV_MAX);
        return message;
    }

private:
    std::vector<iovec> m_rest;
    std::size_t m_first = 0;
    std::uint32_t m_consumed = 0;
};

} // namespace

PlatformSocketResult PlatformSocket::SendGathered(const iovec* pieces, std::uint32_t count,
                                                  std::uint32_t* sent, int flags, std::uint32_t timeoutMs)
{
    const int callFlags =
        flags | MSG_NOSIGNAL | (timeoutMs != kInfinite && timeoutMs != 0 ? MSG_DONTWAIT : 0);
    PieceCursor cursor(pieces, count);
    const std::uint64_t total = cursor.Total();
    if (total > 0xFFFFFFFFu)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidParameter, L"socket send"));
    }
    return TransferAll(
        Direction::kSend, static_cast<std::uint32_t>(total), sent,
        [&](int fd, std::uint32_t done)
        {
            const msghdr message = cursor.MessageAfter(done);
            return ::sendmsg(fd, &message, callFlags);
        },
        timeoutMs);
}

PlatformSocketResult PlatformSocket::ReceiveScattered(const iovec* pieces, std::uint32_t count,
                                                      std::uint32_t minimum, std::uint32_t* received,
                                                      int flags)
{
    PieceCursor cursor(pieces, count);
    const std::uint64_t total = cursor.Total();
    if (total > 0xFFFFFFFFu || total < minimum)
    {
        Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidParameter, L"socket receive"));
    }
    // The loop moves `minimum` bytes; what a call takes beyond them is counted apart.
    std::uint32_t beyond = 0;
    const PlatformSocketResult result = TransferAll(Direction::kReceive, minimum, received,
                                                    [&](int fd, std::uint32_t done) -> ssize_t
                                                    {
                                                        msghdr message = cursor.MessageAfter(done);
                                                        const ssize_t n = ::recvmsg(fd, &message, flags);
                                                        const auto wanted =
                                                            static_cast<ssize_t>(minimum - done);
                                                        if (n > wanted)
                                                        {
                                                            beyond = static_cast<std::uint32_t>(n - wanted);
                                                            return wanted;
                                                        }
                                                        return n;
                                                    });
    if (result == kSocketResult_Done && received != nullptr)
    {
        *received += beyond;
    }
    return result;
}

bool PlatformSocket::IsOpen() const
{
    return !m_closedEvent.IsSet();
}

bool PlatformSocket::IsConnected() const
{
    return !m_closedEvent.IsSet() && !m_disconnectedEvent.IsSet();
}

bool PlatformSocket::IsWritable()
{
    if (!IsConnected())
    {
        return false;
    }
    const DescriptorUse use(*this);
    if (use.Get() < 0)
    {
        return false;
    }
    pollfd entry{use.Get(), POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0 &&
           (entry.revents & POLLOUT) != 0;
}

void PlatformSocket::ThrowInvalidOption()
{
    Universal::ThrowModuleError(ModuleError(Universal::kError_InvalidParameter));
}

bool PlatformSocket::ApplyKeepAliveTimes(bool switchingOn)
{
    const DescriptorUse use(*this);
    if (use.Get() < 0)
    {
        return false;
    }
    if (!switchingOn)
    {
        int on = 0;
        socklen_t size = sizeof(on);
        if (::getsockopt(use.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, &size) != 0)
        {
            return false;
        }
        if (on == 0)
        {
            return true;
        }
    }
    // Linux probes TCP_KEEPCNT times, TCP_KEEPINTVL seconds apart, so the stored
    // settings apply one to one and the probes span interval x count seconds.
    const ScopedLock lock(m_optionMutex);
    const int idle = Clamp(m_keepAliveIdle, kMaxKeepAliveSeconds);
    const int interval = Clamp(m_keepAliveInterval, kMaxKeepAliveSeconds);
    const int count = Clamp(m_keepAliveCount, kMaxKeepAliveProbes);
    return ::setsockopt(use.Get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle)) == 0 &&
           ::setsockopt(use.Get(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval)) == 0 &&
           ::setsockopt(use.Get(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count)) == 0;
}

bool PlatformSocket::SetBoolOption(int level, int name, bool value)
{
    if (level != SOL_SOCKET || name != SO_KEEPALIVE)
    {
        ThrowInvalidOption();
    }
    const bool timesApplied = !value || ApplyKeepAliveTimes(true);
    const DescriptorUse use(*this);
    const int on = value ? 1 : 0;
    return use.Get() >= 0 && ::setsockopt(use.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) == 0 &&
           timesApplied;
}

bool PlatformSocket::GetBoolOption(int level, int name, bool* value)
{
    if (level != SOL_SOCKET || name != SO_KEEPALIVE)
    {
        ThrowInvalidOption();
    }
    const DescriptorUse use(*this);
    int on = 0;
    socklen_t size = sizeof(on);
    if (use.Get() < 0 || ::getsockopt(use.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, &size) != 0)
    {
        return false;
    }
    if (value != nullptr)
    {
        *value = on != 0;
    }
    return true;
}

bool PlatformSocket::SetIntOption(int level, int name, std::uint32_t value)
{
    if (level != IPPROTO_TCP || (name != kOption_KeepAliveIdle && name != kOption_KeepAliveInterval &&
                                 name != kOption_KeepAliveCount))
    {
        ThrowInvalidOption();
    }
    {
        const ScopedLock lock(m_optionMutex);
        if (name == kOption_KeepAliveIdle)
        {
            m_keepAliveIdle = value;
        }
        else if (name == kOption_KeepAliveInterval)
        {
            m_keepAliveInterval = value;
        }
        else
        {
            m_keepAliveCount = value;
        }
    }
    return ApplyKeepAliveTimes(false);
}

bool PlatformSocket::GetIntOption(int level, int name, std::uint32_t* value)
{
    if (level == IPPROTO_TCP && (name == kOption_KeepAliveIdle || name == kOption_KeepAliveInterval ||
                                 name == kOption_KeepAliveCount))
    {
        const ScopedLock lock(m_optionMutex);
        if (value != nullptr)
        {
            *value = name == kOption_KeepAliveIdle       ? m_keepAliveIdle
                     : name == kOption_KeepAliveInterval ? m_keepAliveInterval
                                                         : m_keepAliveCount;
        }
        return true;
    }
    if (level == SOL_SOCKET && name == SO_KEEPALIVE)
    {
        const DescriptorUse use(*this);
        int on = 0;
        socklen_t size = sizeof(on);
        if (use.Get() < 0 || ::getsockopt(use.Get(), SOL_SOCKET, SO_KEEPALIVE, &on, &size) != 0)
        {
            return false;
        }
        if (value != nullptr)
        {
            *value = static_cast<std::uint32_t>(on);
        }
        return true;
    }
    ThrowInvalidOption();
}

} // namespace Q7::Platform
