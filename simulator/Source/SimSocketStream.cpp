// The byte stream of an accepted TCP connection.

#include "SimByteStream.h"
#include "SimCameraDescription.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

namespace Q7::Sim
{

namespace
{

class SocketStream final : public ByteStream
{
public:
    explicit SocketStream(UniqueFd socket)
        : m_socket(std::move(socket)), m_localPort(LocalPortOf(m_socket.Get()))
    {
        const int one = 1;
        ::setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    Received Receive(std::span<std::uint8_t> buffer) override
    {
        for (;;)
        {
            const ssize_t r = ::recv(m_socket.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (r > 0)
            {
                return {static_cast<std::size_t>(r), {}};
            }
            if (r == 0)
            {
                return {0, "host closed the connection"};
            }
            const int err = errno;
            if (err == EINTR)
            {
                continue;
            }
            if (err != EAGAIN && err != EWOULDBLOCK)
            {
                return {0, std::string("receive failed: ") + std::strerror(err)};
            }
            if (WaitReady(m_socket.Get(), POLLIN, m_wake.Fd()) != PollResult::Ready)
            {
                return {};
            }
        }
    }

    bool Send(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure) override
    {
        std::vector<iovec> iov;
        iov.reserve(pieces.size());
        for (const auto& piece : pieces)
        {
            if (!piece.empty())
            {
                iov.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
            }
        }
        std::size_t next = 0;
        while (next < iov.size())
        {
            msghdr msg{};
            msg.msg_iov = iov.data() + next;
            msg.msg_iovlen = std::min<std::size_t>(iov.size() - next, IOV_MAX);
            const ssize_t r = ::sendmsg(m_socket.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r > 0)
            {
                auto left = static_cast<std::size_t>(r);
                while (left > 0)
                {
                    if (left >= iov[next].iov_len)
                    {
                        left -= iov[next].iov_len;
                        ++next;
                    }
                    else
                    {
                        iov[next].iov_base = static_cast<std::uint8_t*>(iov[next].iov_base) + left;
                        iov[next].iov_len -= left;
                        left = 0;
                    }
                }
                continue;
            }
            const int err = errno;
            if (r < 0 && err == EINTR)
            {
                continue;
            }
            if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK))
            {
                if (WaitReady(m_socket.Get(), POLLOUT, m_wake.Fd()) != PollResult::Ready)
                {
                    return false;
                }
                continue;
            }
            failure = std::string("send failed: ") + std::strerror(err);
            return false;
        }
        return true;
    }

    std::size_t TrySend(std::span<const std::span<const std::uint8_t>> pieces, std::string& failure,
                        bool& failed) override
    {
        failed = false;
        std::array<iovec, 128> iov{};
        std::size_t count = 0;
        for (const auto& piece : pieces)
        {
            if (piece.empty())
            {
                continue;
            }
            if (count == iov.size())
            {
                break; // the rest goes by the blocking way
            }
            iov[count++] = {const_cast<std::uint8_t*>(piece.data()), piece.size()};
        }
        msghdr msg{};
        msg.msg_iov = iov.data();
        msg.msg_iovlen = count;
        for (;;)
        {
            const ssize_t r = ::sendmsg(m_socket.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r >= 0)
            {
                return static_cast<std::size_t>(r);
            }
            const int err = errno;
            if (err == EINTR)
            {
                continue;
            }
            if (err != EAGAIN && err != EWOULDBLOCK)
            {
                failed = true;
                failure = std::string("send failed: ") + std::strerror(err);
            }
            return 0;
        }
    }

    void Wake() override { m_wake.Signal(); }

    void Close(DropMode mode) override
    {
        if (mode == DropMode::Reset)
        {
            // An abortive close: the host sees a reset, not an end of stream.
            linger lg{1, 0};
            ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        else
        {
            ::shutdown(m_socket.Get(), SHUT_RDWR);
        }
        m_socket.Reset();
    }

    std::uint8_t TransportType() const override { return kTransportTcp; }
    std::uint16_t LocalPort() const override { return m_localPort; }
    std::optional<std::uint8_t> UsbEndpoint() const override { return std::nullopt; }

private:
    UniqueFd m_socket;
    const std::uint16_t m_localPort;
    WakeEvent m_wake;
};

} // namespace

std::size_t ByteStream::TrySend(std::span<const std::span<const std::uint8_t>> /*pieces*/,
                                std::string& /*failure*/, bool& failed)
{
    failed = false;
    return 0;
}

std::unique_ptr<ByteStream> MakeSocketStream(UniqueFd socket)
{
    return std::make_unique<SocketStream>(std::move(socket));
}

} // namespace Q7::Sim
