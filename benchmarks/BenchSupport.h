// Helpers of the loopback throughput benchmarks: clocks, rates, the raw rates
// of a plain loopback TCP socket pair (the limit every KPX rate is measured
// against in the same run: between cached buffers, or memory to memory for
// large images), and the TCP device of a simulated camera; and,
// for the latency benchmarks of the SDK (Bench::Simulated), a simulated
// camera serving device control, per-call sampling and a loopback round trip.
#pragma once

#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimSocket.h"
#include "Transport/KPXTransport_Tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace Bench
{

using Clock = std::chrono::steady_clock;
constexpr std::size_t kBufferSize = 1 << 20;

inline double Seconds(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double>(end - start).count();
}

inline double MiBPerSecond(std::uint64_t bytes, double seconds)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds;
}

// ---------------------------------------------------------------- plain sockets

class Socket
{
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
        {
            ::close(m_fd);
        }
    }
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket& operator=(Socket&&) = delete;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

// A connected pair of loopback TCP sockets (client, server side).
inline std::pair<Socket, Socket> LoopbackPair()
{
    Socket listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (listener.Get() < 0 ||
        ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.Get(), 1) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    Socket client(::socket(AF_INET, SOCK_STREAM, 0));
    if (client.Get() < 0 ||
        ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        throw std::runtime_error("cannot connect to 127.0.0.1");
    }
    Socket server(::accept(listener.Get(), nullptr, nullptr));
    if (server.Get() < 0)
    {
        throw std::runtime_error("accept failed");
    }
    return {std::move(client), std::move(server)};
}

// The same pair without Nagle's delay, as the library's and the simulator's
// connections are: the raw limit of a small request and its answer.
inline std::pair<Socket, Socket> NoDelayLoopbackPair()
{
    std::pair<Socket, Socket> pair = LoopbackPair();
    const int one = 1;
    ::setsockopt(pair.first.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(pair.second.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return pair;
}

// The length of the next piece of a send or receive loop: at most 1 MiB, not
// past `total`, not past the end of a buffer of `wrap` bytes that the loop
// starts over at every `wrap` bytes.
inline std::size_t NextPiece(std::uint64_t done, std::uint64_t total, std::uint64_t wrap)
{
    return static_cast<std::size_t>(std::min({kBufferSize, total - done, wrap - done % wrap}));
}

// Sends `total` bytes from `data` (a buffer of `wrap` bytes, sent again from
// its start every `wrap` bytes) in sends of up to 1 MiB.
inline void SendBytes(int fd, const std::uint8_t* data, std::uint64_t total, std::uint64_t wrap)
{
    for (std::uint64_t sent = 0; sent < total;)
    {
        const ssize_t n = ::send(fd, data + sent % wrap, NextPiece(sent, total, wrap), MSG_NOSIGNAL);
        if (n <= 0)
        {
            throw std::runtime_error("send failed");
        }
        sent += static_cast<std::uint64_t>(n);
    }
}

// Receives `total` bytes into `into` (a buffer of `wrap` bytes, filled again
// from its start every `wrap` bytes) in reads of up to 1 MiB.
inline void ReceiveBytes(int fd, std::uint8_t* into, std::uint64_t total, std::uint64_t wrap)
{
    for (std::uint64_t received = 0; received < total;)
    {
        const ssize_t n = ::recv(fd, into + received % wrap, NextPiece(received, total, wrap), 0);
        if (n <= 0)
        {
            throw std::runtime_error("recv failed");
        }
        received += static_cast<std::uint64_t>(n);
    }
}

// Seconds to move total bytes from one end of a loopback pair to the other.
inline double PlainSocketSeconds(std::uint64_t total)
{
    auto [client, server] = LoopbackPair();
    const std::vector<std::uint8_t> source(kBufferSize, 0x5A);
    std::vector<std::uint8_t> destination(kBufferSize);
    const Clock::time_point start = Clock::now();
    std::thread sender([fd = client.Get(), total, &source]
                       { SendBytes(fd, source.data(), total, kBufferSize); });
    ReceiveBytes(server.Get(), destination.data(), total, kBufferSize);
    const Clock::time_point end = Clock::now();
    sender.join();
    return Seconds(start, end);
}

// Seconds for a plain loopback pair to move `count` messages of `size` bytes
// from memory to memory: each message's bytes are first written into a
// buffer of its size (untimed, as a camera makes an image), then sent in
// 1 MiB sends and received in reads of up to 1 MiB into a buffer of
// `destinationSize` bytes from its start. Unlike PlainSocketSeconds, whose
// 1 MiB buffers stay in the processor's caches, this pays the memory's speed
// on both ends: the raw limit of moving large images.
inline double MemoryToMemorySocketSeconds(std::uint64_t size, unsigned count, std::uint64_t destinationSize)
{
    if (destinationSize < size)
        throw std::invalid_argument("the destination is smaller than a message");
    auto [client, server] = NoDelayLoopbackPair();
    std::vector<std::uint8_t> source(size);
    std::vector<std::uint8_t> destination(destinationSize);
    double seconds = 0;
    for (unsigned message = 0; message < count; ++message)
    {
        for (std::uint64_t i = 0; i < size; ++i)
            source[i] = static_cast<std::uint8_t>(i * 131 + message);
        std::promise<void> go;
        std::thread sender(
            [&, fd = client.Get(), started = go.get_future()]
            {
                started.wait();
                try
                {
                    SendBytes(fd, source.data(), size, size);
                }
                catch (const std::runtime_error&)
                {
                    ::shutdown(fd, SHUT_WR); // the receiver sees the end and fails
                }
            });
        const Clock::time_point start = Clock::now();
        go.set_value();
        try
        {
            ReceiveBytes(server.Get(), destination.data(), size, destinationSize);
        }
        catch (const std::runtime_error&)
        {
            ::shutdown(server.Get(), SHUT_RDWR); // a sender waiting for room fails
            sender.join();
            throw;
        }
        seconds += Seconds(start, Clock::now());
        sender.join();
    }
    return seconds;
}

// Seconds for a plain loopback pair (without Nagle's delay) to move `count`
// frames of `size` bytes the way a protocol with an acknowledgement per frame
// does: the sender sends a frame (in sends of up to 1 MiB), waits for a
// 16-byte acknowledgement and sends the next; the receiver reads each frame
// into a buffer of its size and sends the acknowledgement. The raw limit of
// such a protocol on this machine.
inline double AcknowledgedSocketSeconds(std::uint64_t size, unsigned count)
{
    auto [client, server] = NoDelayLoopbackPair();
    const std::vector<std::uint8_t> source(size, 0x5A);
    std::vector<std::uint8_t> destination(size);
    constexpr std::size_t kAckSize = 16;
    std::promise<void> go;
    std::thread sender(
        [&, fd = client.Get(), started = go.get_future()]
        {
            started.wait();
            try
            {
                std::uint8_t ack[kAckSize];
                for (unsigned frame = 0; frame < count; ++frame)
                {
                    SendBytes(fd, source.data(), size, size);
                    ReceiveBytes(fd, ack, kAckSize, kAckSize);
                }
            }
            catch (const std::runtime_error&)
            {
                ::shutdown(fd, SHUT_RDWR); // the receiver sees the end and fails
            }
        });
    const Clock::time_point start = Clock::now();
    go.set_value();
    try
    {
        const std::uint8_t ack[kAckSize] = {};
        for (unsigned frame = 0; frame < count; ++frame)
        {
            ReceiveBytes(server.Get(), destination.data(), size, size);
            SendBytes(server.Get(), ack, kAckSize, kAckSize);
        }
    }
    catch (const std::runtime_error&)
    {
        ::shutdown(server.Get(), SHUT_RDWR); // a sender waiting for room or an answer fails
        sender.join();
        throw;
    }
    const Clock::time_point end = Clock::now();
    sender.join();
    return Seconds(start, end);
}

// An open TCP device on a simulated camera listening on 127.0.0.1:`port`.
inline std::unique_ptr<Q7::KPX::Transport::TcpDevice> OpenCameraDevice(std::uint16_t port)
{
    Q7::KPX::Transport::DeviceMoniker moniker;
    moniker.type = 2;
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = port;
    moniker.tcp.connectTimeoutSeconds = 5;
    auto device = std::make_unique<Q7::KPX::Transport::TcpDevice>(moniker);
    if (device->Open() != 0)
    {
        throw std::runtime_error("cannot open the TCP device");
    }
    return device;
}

// Seconds to copy total bytes in memory, kBufferSize at a time, from one
// buffer to another (the raw limit of any in-process transport).
inline double MemoryCopySeconds(std::uint64_t total)
{
    std::vector<std::uint8_t> from(kBufferSize, 0x5A);
    std::vector<std::uint8_t> to(kBufferSize);
    const Clock::time_point start = Clock::now();
    for (std::uint64_t copied = 0; copied < total;)
    {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, total - copied));
        std::memcpy(to.data(), from.data(), n);
        // Keeps the compiler from dropping copies whose result nobody reads.
        asm volatile("" : : "r"(to.data()) : "memory");
        copied += n;
    }
    return Seconds(start, Clock::now());
}

// The median of a run's rounds (at least one).
inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// ---------------------------------------------------------------- SDK latency

namespace Simulated
{

/// The median and the 99th percentile of a sample.
struct Figures
{
    double median = 0;
    double p99 = 0;
};

inline Figures Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * (samples.size() - 1))]; };
    return {at(0.5), at(0.99)};
}

/// Nanoseconds per call of call, sampled over batches of callsPerSample.
template <typename Call>
Figures PerCallNanoseconds(Call&& call, std::size_t samples = 20000, std::size_t callsPerSample = 64)
{
    std::vector<double> perCall;
    perCall.reserve(samples);
    for (std::size_t s = 0; s < samples; ++s)
    {
        const Clock::time_point start = Clock::now();
        for (std::size_t i = 0; i < callsPerSample; ++i)
        {
            call();
        }
        perCall.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                          static_cast<double>(callsPerSample));
    }
    return Summarise(std::move(perCall));
}

/// A simulated camera with the default description and property model,
/// serving device control (channel 2.0), listening on address:port until
/// destroyed.
class DeviceControlCamera
{
public:
    DeviceControlCamera(const char* address, std::uint16_t port)
        : model(std::make_shared<Q7::Sim::DeviceControlModel>(
              Q7::Sim::DeviceControlModel::DefaultProperties())),
          camera(Q7::Sim::CameraDescription::Default())
    {
        camera.SetLogSink({});
        camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        camera.Start(address, port);
    }
    ~DeviceControlCamera() { camera.Stop(); }
    DeviceControlCamera(const DeviceControlCamera&) = delete;
    DeviceControlCamera& operator=(const DeviceControlCamera&) = delete;

    std::shared_ptr<Q7::Sim::DeviceControlModel> model;
    Q7::Sim::Camera camera;
};

/// Microseconds per exchange of 64 bytes there and back over a plain loopback
/// TCP pair without Nagle's delay, trips times.
inline Figures LoopbackRoundTripMicroseconds(std::size_t trips = 2000)
{
    const auto [client, server] = NoDelayLoopbackPair();
    const auto receive = [](int fd, char* into, std::size_t size)
    {
        for (std::size_t got = 0; got < size;)
        {
            const ssize_t n = ::recv(fd, into + got, size - got, 0);
            if (n <= 0)
            {
                return false;
            }
            got += static_cast<std::size_t>(n);
        }
        return true;
    };
    std::thread echo(
        [&receive, fd = server.Get(), trips]
        {
            char buffer[64];
            for (std::size_t i = 0; i < trips && receive(fd, buffer, sizeof buffer); ++i)
            {
                ::send(fd, buffer, sizeof buffer, MSG_NOSIGNAL);
            }
        });
    char out[64] = {};
    char in[64];
    std::vector<double> samples;
    for (std::size_t i = 0; i < trips; ++i)
    {
        const Clock::time_point start = Clock::now();
        if (::send(client.Get(), out, sizeof out, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof out) ||
            !receive(client.Get(), in, sizeof in))
        {
            echo.join();
            throw std::runtime_error("the round trip failed");
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    echo.join();
    return Summarise(std::move(samples));
}

} // namespace Simulated

} // namespace Bench
