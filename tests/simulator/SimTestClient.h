// A tiny raw KPX host for the simulator's own tests. It builds and parses the
// bytes by hand (not with the simulator's codec), so a fault in that codec
// cannot hide itself.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace SimTest
{

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

inline void Put16(Bytes& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void Put32(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
    {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline std::uint16_t Get16(const Bytes& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

inline std::uint32_t Get32(const Bytes& b, std::size_t at)
{
    return std::uint32_t{b.at(at)} | (std::uint32_t{b.at(at + 1)} << 8) |
           (std::uint32_t{b.at(at + 2)} << 16) | (std::uint32_t{b.at(at + 3)} << 24);
}

// Any packet: a header of `headerLength` bytes (16 unless a test wants another), payload, zero padding.
inline Bytes Packet(std::uint8_t type, std::uint8_t ch, std::uint8_t sub, const Bytes& payload,
                    std::uint8_t padding, std::uint8_t tag = 0, std::uint8_t headerLength = 16,
                    std::uint32_t magic = 0xDDCCBBAAu)
{
    Bytes b(headerLength + payload.size() + padding, 0);
    Put32(b, 0, magic);
    b[4] = type;
    b[5] = headerLength;
    b[6] = ch;
    b[7] = sub;
    Put16(b, 8, static_cast<std::uint16_t>(payload.size()));
    b[10] = padding;
    b[11] = tag;
    std::copy(payload.begin(), payload.end(), b.begin() + headerLength);
    return b;
}

// The 50-byte OpenRequest payload a correct host sends.
inline Bytes OpenRequestPayload(std::uint8_t major, std::uint8_t minor,
                                const std::array<std::uint8_t, 32>& identity = {})
{
    Bytes p(50, 0);
    Put32(p, 0, 0);
    Put16(p, 4, 0xFFFF);
    p[6] = 1;
    p[7] = 0;
    Put32(p, 8, 10000);
    Put32(p, 12, 2000);
    p[16] = major;
    p[17] = minor;
    std::memcpy(p.data() + 18, identity.data(), 32);
    return p;
}

inline Bytes OpenRequest(std::uint8_t ch, std::uint8_t sub, std::uint8_t major = 1, std::uint8_t minor = 0,
                         const std::array<std::uint8_t, 32>& identity = {})
{
    return Packet(0x00, ch, sub, OpenRequestPayload(major, minor, identity), 190);
}

inline Bytes CloseRequest(std::uint8_t ch, std::uint8_t sub)
{
    return Packet(0x01, ch, sub, {}, 240);
}

inline Bytes CloseReply(std::uint8_t ch, std::uint8_t sub)
{
    return Packet(0x81, ch, sub, {}, 240);
}

inline Bytes ErrorReply(std::uint8_t ch, std::uint8_t sub, std::uint8_t code, std::uint8_t tag)
{
    return Packet(0xFF, ch, sub, Bytes{code, tag}, 238);
}

inline Bytes PingReply(std::uint8_t ch, std::uint8_t sub, std::uint8_t value)
{
    Bytes p(8, 0);
    p[0] = value;
    return Packet(0x83, ch, sub, p, 0);
}

inline Bytes Data(std::uint8_t ch, std::uint8_t sub, const Bytes& payload, std::uint8_t padding = 0)
{
    return Packet(0x02, ch, sub, payload, padding);
}

// A message: common header and `body` (header size and total size as given).
inline Bytes Message(std::uint8_t cls, std::uint8_t type, std::uint16_t headerSize, std::uint32_t size,
                     const Bytes& body = {}, std::uint32_t magic = 0x44332211u)
{
    Bytes m(16 + body.size(), 0);
    Put32(m, 0, magic);
    m[4] = cls;
    m[5] = type;
    Put16(m, 6, headerSize);
    Put32(m, 8, size);
    std::copy(body.begin(), body.end(), m.begin() + 16);
    return m;
}

struct RawPacket
{
    std::uint32_t magic = 0;
    std::uint8_t type = 0;
    std::uint8_t headerLength = 0;
    std::uint8_t ch = 0;
    std::uint8_t sub = 0;
    std::uint16_t payloadLength = 0;
    std::uint8_t padding = 0;
    std::uint8_t tag = 0;
    std::uint32_t reserved = 0;
    Bytes payload;
    Bytes raw; // the whole packet as received
};

// One TCP connection to the simulator. Thread-bound.
class RawClient
{
public:
    explicit RawClient(std::uint16_t port, const char* address = "127.0.0.1")
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        {
            throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
        }
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void Close()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    // Shrinks the receive buffer so that a host that stops reading stalls the camera quickly.
    void SetSmallReceiveBuffer()
    {
        const int size = 4096;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }

    bool Send(const Bytes& bytes)
    {
        std::size_t off = 0;
        while (off < bytes.size())
        {
            const ssize_t n = ::send(m_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
            {
                return false;
            }
            off += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Exactly n bytes, or nothing on time-out, end of stream or error (see LastError).
    std::optional<Bytes> ReceiveBytes(std::size_t n, std::chrono::milliseconds timeout = 10000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_buffer.size() < n)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (r <= 0)
            {
                m_lastError = ETIMEDOUT;
                return std::nullopt;
            }
            std::uint8_t chunk[65536];
            const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
            if (got == 0)
            {
                m_lastError = 0;
                m_eof = true;
                return std::nullopt;
            }
            if (got < 0)
            {
                m_lastError = errno;
                m_eof = true;
                return std::nullopt;
            }
            m_buffer.insert(m_buffer.end(), chunk, chunk + got);
        }
        Bytes out(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(n));
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }

    // The next packet (header as received; lengths trusted only up to 66048 bytes).
    std::optional<RawPacket> Receive(std::chrono::milliseconds timeout = 10000ms)
    {
        auto head = ReceiveBytes(16, timeout);
        if (!head)
        {
            return std::nullopt;
        }
        RawPacket p;
        p.magic = Get32(*head, 0);
        p.type = (*head)[4];
        p.headerLength = (*head)[5];
        p.ch = (*head)[6];
        p.sub = (*head)[7];
        p.payloadLength = Get16(*head, 8);
        p.padding = (*head)[10];
        p.tag = (*head)[11];
        p.reserved = Get32(*head, 12);
        p.raw = *head;
        if (p.magic != 0xDDCCBBAAu || p.headerLength < 16)
        {
            return p; // a malformed header: the caller looks at it as it is
        }
        auto rest = ReceiveBytes(std::size_t{p.headerLength} - 16 + p.payloadLength + p.padding, timeout);
        if (!rest)
        {
            return std::nullopt;
        }
        p.raw.insert(p.raw.end(), rest->begin(), rest->end());
        p.payload.assign(p.raw.begin() + p.headerLength, p.raw.begin() + p.headerLength + p.payloadLength);
        return p;
    }

    // The next packet when it has `type`; nothing when another type came first.
    std::optional<RawPacket> ReceiveType(std::uint8_t type, std::chrono::milliseconds timeout = 10000ms)
    {
        auto p = Receive(timeout);
        if (p && p->type != type)
        {
            return std::nullopt;
        }
        return p;
    }

    // The code of the next packet when it is an ErrorReply; -1 for anything else.
    int ReceiveErrorReplyCode()
    {
        const auto p = ReceiveType(0xFF);
        return p && !p->payload.empty() ? p->payload[0] : -1;
    }

    // Collects Data payload bytes of channel ch.sub until `n` arrived (other packets fail the read).
    std::optional<Bytes> ReceiveData(std::uint8_t ch, std::uint8_t sub, std::size_t n,
                                     std::chrono::milliseconds timeout = 10000ms)
    {
        Bytes out;
        while (out.size() < n)
        {
            auto p = Receive(timeout);
            if (!p || p->type != 0x02 || p->ch != ch || p->sub != sub)
            {
                return std::nullopt;
            }
            out.insert(out.end(), p->payload.begin(), p->payload.end());
        }
        return out;
    }

    // A whole message on channel ch.sub (its common header says how long).
    std::optional<Bytes> ReceiveMessage(std::uint8_t ch, std::uint8_t sub,
                                        std::chrono::milliseconds timeout = 10000ms)
    {
        auto head = ReceiveData(ch, sub, 16, timeout);
        if (!head)
        {
            return std::nullopt;
        }
        const std::size_t size = Get32(*head, 8);
        Bytes msg = *head;
        if (size > msg.size())
        {
            auto rest = ReceiveData(ch, sub, size - msg.size(), timeout);
            if (!rest)
            {
                return std::nullopt;
            }
            msg.insert(msg.end(), rest->begin(), rest->end());
        }
        return msg;
    }

    // Opens ch.sub and returns the OpenReply payload (nothing when another packet came).
    std::optional<Bytes> Open(std::uint8_t ch, std::uint8_t sub, std::uint8_t major = 1,
                              std::uint8_t minor = 0, const std::array<std::uint8_t, 32>& identity = {})
    {
        if (!Send(OpenRequest(ch, sub, major, minor, identity)))
        {
            return std::nullopt;
        }
        auto p = Receive();
        if (!p || p->type != 0x80)
        {
            return std::nullopt;
        }
        return p->payload;
    }

    // True when the camera closed (end of stream) or reset the connection within the time-out.
    bool WaitForEnd(std::chrono::milliseconds timeout = 10000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline)
        {
            m_buffer.clear();
            if (!ReceiveBytes(1, std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())))
            {
                return m_eof;
            }
        }
        return false;
    }

    int LastError() const { return m_lastError; }
    bool AtEnd() const { return m_eof; }

private:
    int m_fd = -1;
    Bytes m_buffer;
    int m_lastError = 0;
    bool m_eof = false;
};

} // namespace SimTest
