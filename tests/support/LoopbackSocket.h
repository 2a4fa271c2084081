#pragma once
// Test helpers for the socket and TCP transport tests: an owned descriptor, a
// listener on a loopback address playing the camera's side, and blocking
// send/receive loops for the peer's end of a connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace TestSupport
{

constexpr uint32_t kLoopback = 0x7F000001u; // 127.0.0.1

// An owned descriptor, closed on destruction.
class Fd
{
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept
    {
        Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const { return m_fd; }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// An IPv4 socket address from host-order parts.
inline sockaddr_in Ipv4Address(uint32_t ipv4, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4);
    return address;
}

// The local port of a bound socket.
inline uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof(address);
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    return ntohs(address.sin_port);
}

// A loopback socket bound to a port that the system chose.
inline Fd BoundSocket(int type = SOCK_STREAM)
{
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    EXPECT_GE(fd.Get(), 0);
    const sockaddr_in address = Ipv4Address(kLoopback, 0);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    return fd;
}

// The camera's side of the tests: listens on ipv4:port (port 0: chosen by the
// system). IsListening tells whether that worked; a fixed port may be in use.
class LoopbackListener
{
public:
    explicit LoopbackListener(uint32_t ipv4 = kLoopback, uint16_t port = 0, int backlog = 16)
    {
        Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in address = Ipv4Address(ipv4, port);
        if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener.Get(), backlog) != 0)
        {
            return;
        }
        m_port = LocalPort(listener.Get());
        m_fd = std::move(listener);
    }

    bool IsListening() const { return m_fd.Get() >= 0; }
    uint16_t Port() const { return m_port; }
    int Get() const { return m_fd.Get(); }

    // The next connection; an invalid Fd (and a test failure) when none comes
    // within 5 s.
    Fd Accept()
    {
        pollfd entry{m_fd.Get(), POLLIN, 0};
        if (::poll(&entry, 1, 5000) != 1)
        {
            ADD_FAILURE() << "no connection to accept";
            return Fd();
        }
        return Fd(::accept4(m_fd.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

    // Stops listening: later connects are refused.
    void StopListening() { m_fd.Reset(); }

private:
    Fd m_fd;
    uint16_t m_port = 0;
};

// Moves all size bytes with step (send or receive) until done; false when the
// connection failed or ended first.
template <typename Byte, typename Step>
bool TransferAll(Byte* bytes, size_t size, Step step)
{
    while (size > 0)
    {
        const ssize_t n = step(bytes, size);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Sends all bytes on a connection; false when the connection failed first.
inline bool SendAll(int fd, const void* data, size_t size)
{
    return TransferAll(static_cast<const unsigned char*>(data), size,
                       [fd](const unsigned char* bytes, size_t left)
                       { return ::send(fd, bytes, left, MSG_NOSIGNAL); });
}

// Receives exactly size bytes from a connection; false when it ended first.
inline bool ReceiveAll(int fd, void* data, size_t size)
{
    return TransferAll(static_cast<unsigned char*>(data), size,
                       [fd](unsigned char* bytes, size_t left) { return ::recv(fd, bytes, left, 0); });
}

// Closes a connection with a reset (RST) instead of an orderly close.
inline void ResetConnection(Fd& connection)
{
    const linger abortive{1, 0};
    EXPECT_EQ(::setsockopt(connection.Get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive)), 0);
    connection.Reset();
}

// The descriptor of this process at the client end of an accepted connection:
// the local socket whose address is the accepted socket's peer address. -1 when
// there is none.
inline int ClientDescriptorOf(int accepted)
{
    sockaddr_in client{};
    socklen_t clientSize = sizeof(client);
    EXPECT_EQ(::getpeername(accepted, reinterpret_cast<sockaddr*>(&client), &clientSize), 0);
    for (int fd = 0; fd < 4096; ++fd)
    {
        sockaddr_in local{};
        socklen_t size = sizeof(local);
        if (fd != accepted && ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
            local.sin_family == AF_INET && local.sin_port == client.sin_port &&
            local.sin_addr.s_addr == client.sin_addr.s_addr)
        {
            return fd;
        }
    }
    return -1;
}

} // namespace TestSupport
