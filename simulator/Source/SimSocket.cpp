#include "SimSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace Q7::Sim
{

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other)
    {
        Reset(other.Release());
    }
    return *this;
}

int UniqueFd::Release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::Reset(int fd)
{
    if (m_fd >= 0)
    {
        ::close(m_fd);
    }
    m_fd = fd;
}

WakeEvent::WakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!m_fd.Valid())
    {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void WakeEvent::Signal()
{
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still readable, which is all that matters.
    [[maybe_unused]] const auto written = ::write(m_fd.Get(), &one, sizeof one);
}

PollResult WaitReady(int fd, short events, int wakeFd, int timeoutMs)
{
    for (;;)
    {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, timeoutMs);
        if (n < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return PollResult::Error;
        }
        if (n == 0 || (fds[1].revents & POLLIN) != 0)
        {
            return PollResult::Woken;
        }
        // Errors and hang-ups are reported as ready: the following recv/send
        // returns the failure with its errno.
        if ((fds[0].revents & (events | POLLERR | POLLHUP)) != 0)
        {
            return PollResult::Ready;
        }
        if ((fds[0].revents & POLLNVAL) != 0)
        {
            return PollResult::Error;
        }
    }
}

bool IsLoopbackAddress(const std::string& address)
{
    in_addr addr{};
    if (::inet_pton(AF_INET, address.c_str(), &addr) != 1)
    {
        return false;
    }
    return (ntohl(addr.s_addr) >> 24) == 127;
}

UniqueFd ListenOnLoopback(const std::string& address, std::uint16_t port, std::uint16_t& boundPort)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1)
    {
        throw std::invalid_argument("not an IPv4 address: " + address);
    }
    if ((ntohl(sa.sin_addr.s_addr) >> 24) != 127)
    {
        throw std::invalid_argument("the simulator serves loopback addresses (127.0.0.0/8) only: " + address);
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid())
    {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
    {
        const int err = errno;
        throw std::system_error(err, std::generic_category(), "bind " + address + ":" + std::to_string(port));
    }
    if (::listen(fd.Get(), 64) != 0)
    {
        throw std::system_error(errno, std::generic_category(), "listen");
    }
    boundPort = LocalPortOf(fd.Get());
    return fd;
}

std::uint16_t LocalPortOf(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    {
        return 0;
    }
    return ntohs(sa.sin_port);
}

} // namespace Q7::Sim
