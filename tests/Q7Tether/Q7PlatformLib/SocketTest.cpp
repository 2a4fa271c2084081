// The TCP client socket against a small loopback peer in the test (port chosen
// by the system): connect, refusal, connect time-out, transfer, peer close and
// reset, Close waking blocked calls, no SIGPIPE, keep-alive settings and the
// refused options.

#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "Q7PlatformSocket.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <numeric>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using Q7::Platform::kSocketResult_Closed;
using Q7::Platform::kSocketResult_Disconnected;
using Q7::Platform::kSocketResult_Done;
using Q7::Platform::kSocketResult_Timeout;
using Q7::Platform::PlatformSocket;
using Q7::Platform::PlatformSocketResult;
using Q7::Platform::SocketAddress;
using Q7::Platform::WaitForObject;
using Q7::Universal::ModuleError;
using TestSupport::BoundSocket;
using TestSupport::Fd;
using TestSupport::kLoopback;
using TestSupport::LocalPort;
using TestSupport::LogCapture;
using TestSupport::ResetConnection;

namespace
{

// The peer of the tests: listens on 127.0.0.1, port chosen by the system.
class LoopbackListener : public TestSupport::LoopbackListener
{
public:
    explicit LoopbackListener(int backlog = 8) : TestSupport::LoopbackListener(kLoopback, 0, backlog)
    {
        EXPECT_TRUE(IsListening());
    }

    SocketAddress Address(uint32_t timeoutSeconds = 0) const
    {
        return SocketAddress(AF_INET, Port(), kLoopback, timeoutSeconds);
    }
};

void WriteAll(int fd, const void* data, size_t size)
{
    ASSERT_TRUE(TestSupport::SendAll(fd, data, size)) << std::strerror(errno);
}

std::vector<unsigned char> ReadExactly(int fd, size_t size)
{
    std::vector<unsigned char> data(size);
    if (!TestSupport::ReceiveAll(fd, data.data(), size))
    {
        ADD_FAILURE() << "peer read ended early";
    }
    return data;
}

// The descriptor of the client side of an accepted connection; -1 when there is none.
int ClientDescriptorOf(const Fd& accepted)
{
    return TestSupport::ClientDescriptorOf(accepted.Get());
}

int TcpOption(int fd, int name)
{
    int value = -1;
    socklen_t size = sizeof(value);
    EXPECT_EQ(::getsockopt(fd, IPPROTO_TCP, name, &value, &size), 0);
    return value;
}

// A connected pair: the library's socket and the peer's accepted end.
struct Connection
{
    LoopbackListener listener;
    PlatformSocket socket;
    Fd peer;

    explicit Connection(uint32_t timeoutSeconds = 0)
    {
        EXPECT_EQ(socket.OpenConnection(listener.Address(timeoutSeconds)), kSocketResult_Done);
        peer = listener.Accept();
    }
};

// Counts SIGPIPE deliveries while it lives (instead of the default, which ends
// the process).
class SigpipeCounter
{
public:
    SigpipeCounter()
    {
        Count() = 0;
        struct sigaction action
        {
        };
        action.sa_handler = [](int) { Count().fetch_add(1); };
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGPIPE, &action, &m_previous);
    }
    ~SigpipeCounter() { ::sigaction(SIGPIPE, &m_previous, nullptr); }
    SigpipeCounter(const SigpipeCounter&) = delete;
    SigpipeCounter& operator=(const SigpipeCounter&) = delete;

    static std::atomic<int>& Count()
    {
        static std::atomic<int> count{0};
        return count;
    }

private:
    struct sigaction m_previous
    {
    };
};

// Keeps the calling thread, and the threads it starts meanwhile, on the
// processor it runs on now.
class OnOneProcessor
{
public:
    OnOneProcessor()
    {
        EXPECT_EQ(::sched_getaffinity(0, sizeof(m_previous), &m_previous), 0);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(::sched_getcpu(), &one);
        EXPECT_EQ(::sched_setaffinity(0, sizeof(one), &one), 0);
    }
    ~OnOneProcessor() { ::sched_setaffinity(0, sizeof(m_previous), &m_previous); }
    OnOneProcessor(const OnOneProcessor&) = delete;
    OnOneProcessor& operator=(const OnOneProcessor&) = delete;

private:
    cpu_set_t m_previous{};
};

std::future<std::pair<PlatformSocketResult, uint32_t>> ReceiveAsync(PlatformSocket& socket, void* buffer,
                                                                    uint32_t length, uint32_t initial = 12345)
{
    return std::async(std::launch::async,
                      [&socket, buffer, length, initial]
                      {
                          uint32_t received = initial;
                          const PlatformSocketResult result = socket.Receive(buffer, length, &received, 0);
                          return std::make_pair(result, received);
                      });
}

} // namespace

// ---------------------------------------------------------------------------
// States and connect

TEST(Socket, NewSocketIsClosedAndRefusesTransfersWithoutTouchingTheSystem)
{
    PlatformSocket socket;
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(socket.GetClosedEvent().IsSet());
    EXPECT_TRUE(socket.GetDisconnectedEvent().IsSet());
    char buffer[4] = {};
    uint32_t count = 99;
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), &count, 0), kSocketResult_Closed);
    EXPECT_EQ(count, 99u);
    EXPECT_EQ(socket.Send(buffer, sizeof(buffer), &count, 0), kSocketResult_Closed);
    EXPECT_EQ(count, 99u);
}

// Catches a connection left with the small-write delay: a request written
// right behind another waited for the first one's delayed acknowledgement.
TEST(Socket, ConnectSucceedsAndClearsBothEvents)
{
    LoopbackListener listener;
    PlatformSocket socket;
    ASSERT_EQ(socket.OpenConnection(listener.Address()), kSocketResult_Done);
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_FALSE(socket.GetClosedEvent().IsSet());
    EXPECT_FALSE(socket.GetDisconnectedEvent().IsSet());
    Fd peer = listener.Accept();
    ASSERT_GE(peer.Get(), 0);
    const int fd = ClientDescriptorOf(peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(TcpOption(fd, TCP_NODELAY), 1);
}

// Catches a non-blocking connect that completes at once being taken as a
// failure, and a socket left non-blocking (or with the small-write delay)
// after a connect with time-out.
TEST(Socket, ConnectWithTimeoutSucceedsAndLeavesABlockingSocket)
{
    Connection connection(5);
    ASSERT_GE(connection.peer.Get(), 0);
    EXPECT_TRUE(connection.socket.IsConnected());
    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(TcpOption(fd, TCP_NODELAY), 1);
}

TEST(Socket, ConnectToAClosedPortIsRefusedAsDisconnected)
{
    // A bound socket that does not listen keeps the port from being reused.
    const Fd reserved = BoundSocket();
    const SocketAddress address(AF_INET, LocalPort(reserved.Get()), kLoopback, 0);
    PlatformSocket socket;
    LogCapture log;
    EXPECT_EQ(socket.OpenConnection(address), kSocketResult_Disconnected);
    EXPECT_TRUE(socket.GetDisconnectedEvent().IsSet());
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(log.Count(L"Socket disconnect detected: Connection refused", Q7::Universal::kLogMsgType_Info),
              1u);
}

// A refusal arrives long before the time-out: the result is 4, never 2.
TEST(Socket, ConnectWithTimeoutToAClosedPortIsRefusedQuickly)
{
    const Fd reserved = BoundSocket();
    const SocketAddress address(AF_INET, LocalPort(reserved.Get()), kLoopback, 30);
    PlatformSocket socket;
    auto result = std::async(std::launch::async, [&] { return socket.OpenConnection(address); });
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), kSocketResult_Disconnected);
    EXPECT_TRUE(socket.GetDisconnectedEvent().IsSet());
}

// A listener whose accept queue is full drops new connection requests, so a
// connect to it runs out of its time-out on loopback alone.
TEST(Socket, ConnectTimesOutAgainstAFullAcceptQueue)
{
    LoopbackListener listener(0);
    std::vector<Fd> queued;
    bool full = false;
    const SocketAddress address = listener.Address();
    for (int i = 0; i < 16 && !full; ++i)
    {
        Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in* target = address.Get();
        ::connect(client.Get(), reinterpret_cast<const sockaddr*>(target), sizeof(*target));
        pollfd entry{client.Get(), POLLOUT, 0};
        full = ::poll(&entry, 1, 200) == 0;
        queued.push_back(std::move(client));
    }
    ASSERT_TRUE(full) << "the accept queue never filled";

    PlatformSocket socket;
    LogCapture log;
    EXPECT_EQ(socket.OpenConnection(listener.Address(1)), kSocketResult_Timeout);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_TRUE(socket.GetClosedEvent().IsSet());
    EXPECT_EQ(log.Count(L"Timed out when connecting to [ 127.0.0.1:", Q7::Universal::kLogMsgType_Debug), 1u);
    EXPECT_EQ(log.Count(L"Socket connect timeout: ", Q7::Universal::kLogMsgType_Info), 1u);
}

TEST(Socket, EmptyAddressIsRefused)
{
    PlatformSocket socket;
    try
    {
        socket.OpenConnection(SocketAddress());
        FAIL() << "no error raised";
    }
    catch (const ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650069u);
    }
    EXPECT_FALSE(socket.IsOpen());
}

// One object serves several connections in turn; a new connect ends the old one.
TEST(Socket, ReconnectClosesTheEarlierConnection)
{
    LoopbackListener listener;
    PlatformSocket socket;
    ASSERT_EQ(socket.OpenConnection(listener.Address()), kSocketResult_Done);
    Fd first = listener.Accept();
    ASSERT_EQ(socket.OpenConnection(listener.Address()), kSocketResult_Done);
    Fd second = listener.Accept();
    char byte = 0;
    EXPECT_EQ(::recv(first.Get(), &byte, 1, 0), 0) << "the first connection is still open";

    const char data[] = "second";
    uint32_t sent = 0;
    ASSERT_EQ(socket.Send(data, sizeof(data), &sent, 0), kSocketResult_Done);
    EXPECT_EQ(ReadExactly(second.Get(), sizeof(data)), std::vector<unsigned char>(data, data + sizeof(data)));
}

// ---------------------------------------------------------------------------
// Transfer

TEST(Socket, SendDeliversEveryByte)
{
    Connection connection;
    std::vector<unsigned char> data(300000);
    std::iota(data.begin(), data.end(), 0);
    auto reader =
        std::async(std::launch::async, [&] { return ReadExactly(connection.peer.Get(), data.size()); });
    uint32_t sent = 0;
    EXPECT_EQ(connection.socket.Send(data.data(), static_cast<uint32_t>(data.size()), &sent, 0),
              kSocketResult_Done);
    EXPECT_EQ(sent, data.size());
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), data);
}

// Catches a receive that reports success with only part of the bytes.
TEST(Socket, ReceiveWaitsForEveryRequestedByte)
{
    Connection connection;
    std::vector<unsigned char> buffer(100);
    auto receiving = ReceiveAsync(connection.socket, buffer.data(), 100);
    std::vector<unsigned char> data(100);
    std::iota(data.begin(), data.end(), 1);
    WriteAll(connection.peer.Get(), data.data(), 40);
    EXPECT_EQ(receiving.wait_for(100ms), std::future_status::timeout) << "returned after 40 of 100 bytes";
    WriteAll(connection.peer.Get(), data.data() + 40, 60);
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    const auto [result, received] = receiving.get();
    EXPECT_EQ(result, kSocketResult_Done);
    EXPECT_EQ(received, 100u);
    EXPECT_EQ(buffer, data);
}

// Catches a would-block read reported as success with nothing transferred: the
// receive waits for the bytes instead, even when asked not to block.
TEST(Socket, WouldBlockReadsAreRetried)
{
    Connection connection;
    char buffer[8] = {};
    auto receiving = std::async(std::launch::async,
                                [&]
                                {
                                    uint32_t received = 0;
                                    const PlatformSocketResult result = connection.socket.Receive(
                                        buffer, sizeof(buffer), &received, MSG_DONTWAIT);
                                    return std::make_pair(result, received);
                                });
    EXPECT_EQ(receiving.wait_for(50ms), std::future_status::timeout);
    WriteAll(connection.peer.Get(), "12345678", 8);
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    const auto [result, received] = receiving.get();
    EXPECT_EQ(result, kSocketResult_Done);
    EXPECT_EQ(received, 8u);
    EXPECT_EQ(std::memcmp(buffer, "12345678", 8), 0);
}

// Catches an interrupted read reported as success with nothing transferred: a
// signal whose handler does not restart calls interrupts the blocked recv.
TEST(Socket, InterruptedReadsAreRetried)
{
    static std::atomic<int> delivered{0};
    delivered = 0;
    struct sigaction action
    {
    };
    action.sa_handler = [](int) { delivered.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: recv fails with EINTR
    struct sigaction previous
    {
    };
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    Connection connection;
    char buffer[4] = {};
    std::promise<pthread_t> receiverThread;
    auto receiving = std::async(std::launch::async,
                                [&]
                                {
                                    receiverThread.set_value(::pthread_self());
                                    uint32_t received = 0;
                                    const PlatformSocketResult result =
                                        connection.socket.Receive(buffer, sizeof(buffer), &received, 0);
                                    return std::make_pair(result, received);
                                });
    const pthread_t receiver = receiverThread.get_future().get();
    for (int i = 0; i < 5; ++i)
    {
        EXPECT_EQ(receiving.wait_for(20ms), std::future_status::timeout) << "returned after a signal";
        ::pthread_kill(receiver, SIGUSR1);
    }
    EXPECT_EQ(receiving.wait_for(50ms), std::future_status::timeout) << "returned after a signal";
    WriteAll(connection.peer.Get(), "abcd", 4);
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    const auto [result, received] = receiving.get();
    EXPECT_EQ(result, kSocketResult_Done);
    EXPECT_EQ(received, 4u);
    EXPECT_GT(delivered.load(), 0);
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(Socket, ZeroLengthTransfersAreDoneAtOnce)
{
    Connection connection;
    uint32_t count = 7;
    EXPECT_EQ(connection.socket.Receive(nullptr, 0, &count, 0), kSocketResult_Done);
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_EQ(connection.socket.Send(nullptr, 0, &count, 0), kSocketResult_Done);
    EXPECT_EQ(count, 0u);
}

TEST(Socket, CountsMayBeOmitted)
{
    Connection connection;
    const char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(connection.socket.Send(data, sizeof(data), nullptr, 0), kSocketResult_Done);
    char echo[4] = {};
    WriteAll(connection.peer.Get(), data, sizeof(data));
    EXPECT_EQ(connection.socket.Receive(echo, sizeof(echo), nullptr, 0), kSocketResult_Done);
    EXPECT_EQ(std::memcmp(echo, data, sizeof(data)), 0);
}

// A reader and a writer thread work on one socket at the same time, as the TCP
// transport runs them (the peer echoes every byte).
TEST(Socket, ReceiveAndSendRunOnTwoThreadsAtOnce)
{
    Connection connection;
    std::thread echo(
        [&]
        {
            std::vector<unsigned char> chunk(4096);
            for (;;)
            {
                const ssize_t n = ::recv(connection.peer.Get(), chunk.data(), chunk.size(), 0);
                if (n <= 0)
                {
                    return;
                }
                WriteAll(connection.peer.Get(), chunk.data(), static_cast<size_t>(n));
            }
        });
    constexpr uint32_t kBlock = 1000;
    constexpr int kBlocks = 500;
    auto receiving = std::async(std::launch::async,
                                [&]
                                {
                                    std::vector<unsigned char> block(kBlock);
                                    for (int i = 0; i < kBlocks; ++i)
                                    {
                                        uint32_t received = 0;
                                        if (connection.socket.Receive(block.data(), kBlock, &received, 0) !=
                                                kSocketResult_Done ||
                                            block[0] != static_cast<unsigned char>(i) ||
                                            block[kBlock - 1] != static_cast<unsigned char>(i))
                                        {
                                            return false;
                                        }
                                    }
                                    return true;
                                });
    for (int i = 0; i < kBlocks; ++i)
    {
        const std::vector<unsigned char> block(kBlock, static_cast<unsigned char>(i));
        ASSERT_EQ(connection.socket.Send(block.data(), kBlock, nullptr, 0), kSocketResult_Done);
    }
    ASSERT_EQ(receiving.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(receiving.get());
    connection.socket.Close();
    ::shutdown(connection.peer.Get(), SHUT_RDWR);
    echo.join();
}

// ---------------------------------------------------------------------------
// Losing the peer

// Catches a peer's orderly close or reset taken for data or a time-out by a
// blocked receive, the loss not logged with its cause, and a later send that
// does not see the loss the receive found.
TEST(Socket, PeerCloseOrResetIsSeenByABlockedReceiveAsDisconnected)
{
    for (const bool reset : {false, true})
    {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        Connection connection;
        LogCapture log;
        char buffer[10] = {};
        auto receiving = ReceiveAsync(connection.socket, buffer, sizeof(buffer));
        if (reset)
        {
            ResetConnection(connection.peer);
        }
        else
        {
            WriteAll(connection.peer.Get(), "abc", 3);
            connection.peer.Reset();
        }
        ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
        const auto [result, received] = receiving.get();
        EXPECT_EQ(result, kSocketResult_Disconnected);
        EXPECT_EQ(received, 0u);
        EXPECT_TRUE(connection.socket.GetDisconnectedEvent().IsSet());
        EXPECT_TRUE(connection.socket.IsOpen());
        EXPECT_FALSE(connection.socket.IsConnected());
        EXPECT_EQ(log.Count(reset ? L"Socket disconnect detected: Connection reset by peer"
                                  : L"Socket disconnect detected: Connection closed by peer",
                            Q7::Universal::kLogMsgType_Info),
                  1u);
        uint32_t sent = 5;
        EXPECT_EQ(connection.socket.Send("x", 1, &sent, 0), kSocketResult_Disconnected);
    }
}

// Catches SIGPIPE ending the application when a send meets a closed peer, and a
// send failure on a lost peer that is not reported as disconnected.
TEST(Socket, SendToALostPeerGivesDisconnectedWithoutSigpipe)
{
    SigpipeCounter sigpipes;
    for (const bool reset : {false, true})
    {
        Connection connection;
        if (reset)
        {
            ResetConnection(connection.peer);
        }
        else
        {
            connection.peer.Reset();
        }
        // The first sends may still be accepted by the system; the peer answers
        // them with a reset, after which every send fails.
        const std::vector<unsigned char> block(1024, 0x5A);
        PlatformSocketResult result = kSocketResult_Done;
        for (int i = 0; i < 1000 && result == kSocketResult_Done; ++i)
        {
            uint32_t sent = 0;
            result = connection.socket.Send(block.data(), static_cast<uint32_t>(block.size()), &sent, 0);
            if (result != kSocketResult_Done)
            {
                EXPECT_EQ(sent, 0u);
            }
        }
        EXPECT_EQ(result, kSocketResult_Disconnected) << (reset ? "reset" : "close");
        EXPECT_TRUE(connection.socket.GetDisconnectedEvent().IsSet());
    }
    EXPECT_EQ(SigpipeCounter::Count().load(), 0);
}

// The disconnected event wakes a thread that waits on it, as the transport's
// notify thread does.
TEST(Socket, DisconnectedEventWakesAWaiter)
{
    Connection connection;
    auto waiting = std::async(std::launch::async, [&]
                              { return WaitForObject(&connection.socket.GetDisconnectedEvent(), 10000); });
    char buffer[1];
    auto receiving = ReceiveAsync(connection.socket, buffer, 1);
    ResetConnection(connection.peer);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
}

// ---------------------------------------------------------------------------
// Close

// Catches a blocked recv that a bare close would not wake on Linux.
TEST(Socket, CloseWakesABlockedReceiveAtOnce)
{
    Connection connection;
    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    char buffer[16] = {};
    auto receiving = ReceiveAsync(connection.socket, buffer, sizeof(buffer));
    EXPECT_EQ(receiving.wait_for(50ms), std::future_status::timeout);
    auto closing = std::async(std::launch::async, [&] { connection.socket.Close(); });
    ASSERT_EQ(closing.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(receiving.wait_for(5s), std::future_status::ready);
    const auto [result, received] = receiving.get();
    EXPECT_EQ(result, kSocketResult_Closed);
    EXPECT_EQ(received, 0u);
    EXPECT_FALSE(connection.socket.IsOpen());
    // The descriptor is closed once Close has returned.
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    // The peer sees the end of the connection.
    char byte = 0;
    EXPECT_EQ(::recv(connection.peer.Get(), &byte, 1, 0), 0);
}

TEST(Socket, CloseWakesASendBlockedOnAFullBuffer)
{
    Connection connection;
    // The peer never reads: a large send fills both socket buffers and blocks.
    std::vector<unsigned char> data(64u << 20, 1);
    auto sending = std::async(std::launch::async,
                              [&]
                              {
                                  uint32_t sent = 99;
                                  const PlatformSocketResult result = connection.socket.Send(
                                      data.data(), static_cast<uint32_t>(data.size()), &sent, 0);
                                  return std::make_pair(result, sent);
                              });
    EXPECT_EQ(sending.wait_for(100ms), std::future_status::timeout);
    connection.socket.Close();
    ASSERT_EQ(sending.wait_for(5s), std::future_status::ready);
    const auto [result, sent] = sending.get();
    EXPECT_EQ(result, kSocketResult_Closed);
    EXPECT_EQ(sent, 0u);
}

// The owner may destroy a socket as soon as Close has returned, so a Receive
// that Close wakes must not touch the socket once its hold on the descriptor is
// released (it read the socket's events afterwards). The destroying thread
// shares one processor with the receiving thread, so that it runs as soon as the
// hold is released, and the socket's storage is scribbled over after its
// destruction: a late access then fails in every build. (Send returns through
// the same loop.)
TEST(Socket, DestroyedWhileAReceiveReturnsIsNotTouchedAgain)
{
    LoopbackListener listener;
    const OnOneProcessor pinned; // inherited by the receiving threads
    alignas(PlatformSocket) static unsigned char storage[sizeof(PlatformSocket)];
    for (int round = 0; round < 1000 && !HasFatalFailure(); ++round)
    {
        auto* socket = new (storage) PlatformSocket();
        ASSERT_EQ(socket->OpenConnection(listener.Address()), kSocketResult_Done);
        const Fd peer = listener.Accept();
        const int fd = ClientDescriptorOf(peer);
        ASSERT_GE(fd, 0);
        PlatformSocketResult result = kSocketResult_Done;
        std::thread receiver(
            [socket, &result]
            {
                char buffer[2];
                result = socket->Receive(buffer, sizeof(buffer), nullptr, 0);
            });
        // Once the first byte has been taken, the receive is under way.
        WriteAll(peer.Get(), "x", 1);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        int pending = 1;
        while (::ioctl(fd, FIONREAD, &pending) == 0 && pending > 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        EXPECT_EQ(pending, 0);
        socket->~PlatformSocket();
        std::fill(std::begin(storage), std::end(storage), static_cast<unsigned char>(0xA5));
        receiver.join();
        EXPECT_EQ(result, kSocketResult_Closed);
    }
}

TEST(Socket, CloseTwiceAndTransfersAfterCloseGiveClosed)
{
    Connection connection;
    connection.socket.Close();
    connection.socket.Close();
    char buffer[1] = {};
    EXPECT_EQ(connection.socket.Receive(buffer, 1, nullptr, 0), kSocketResult_Closed);
    EXPECT_EQ(connection.socket.Send(buffer, 1, nullptr, 0), kSocketResult_Closed);
    EXPECT_TRUE(connection.socket.GetClosedEvent().IsSet());
    EXPECT_TRUE(connection.socket.GetDisconnectedEvent().IsSet());
}

TEST(Socket, DestructorClosesTheConnection)
{
    LoopbackListener listener;
    Fd peer;
    {
        PlatformSocket socket;
        ASSERT_EQ(socket.OpenConnection(listener.Address()), kSocketResult_Done);
        peer = listener.Accept();
    }
    char byte = 0;
    EXPECT_EQ(::recv(peer.Get(), &byte, 1, 0), 0);
}

// ---------------------------------------------------------------------------
// Options

TEST(SocketOption, KeepAliveSettingsDefaultToTheDocumentedValues)
{
    PlatformSocket socket;
    uint32_t value = 0;
    EXPECT_TRUE(socket.GetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, &value));
    EXPECT_EQ(value, 7200u);
    EXPECT_TRUE(socket.GetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveInterval, &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(socket.GetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, &value));
    EXPECT_EQ(value, 10u);
}

// The transport's settings: idle 1 s, interval 1 s, 3 probes. Linux probes
// TCP_KEEPCNT times TCP_KEEPINTVL seconds apart, so the probes span 3 s, as the
// 300 ms interval of ten probes does elsewhere.
TEST(SocketOption, KeepAliveTimesReachTheSocket)
{
    Connection connection;
    PlatformSocket& socket = connection.socket;
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, 1));
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveInterval, 1));
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, 3));
    EXPECT_TRUE(socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true));

    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    int on = 0;
    socklen_t size = sizeof(on);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size), 0);
    EXPECT_NE(on, 0);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 1);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPINTVL), 1);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPCNT), 3);

    bool keepAlive = false;
    EXPECT_TRUE(socket.GetBoolOption(SOL_SOCKET, SO_KEEPALIVE, &keepAlive));
    EXPECT_TRUE(keepAlive);
    uint32_t value = 0;
    EXPECT_TRUE(socket.GetIntOption(SOL_SOCKET, SO_KEEPALIVE, &value));
    EXPECT_EQ(value, 1u);

    // With keep-alive on, a changed setting is applied at once.
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, 5));
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 5);
}

TEST(SocketOption, SwitchingKeepAliveOnAppliesTheDefaults)
{
    Connection connection;
    EXPECT_TRUE(connection.socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true));
    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 7200);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPINTVL), 1);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPCNT), 10);
}

TEST(SocketOption, SettingsWithKeepAliveOffAreOnlyStored)
{
    Connection connection;
    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    const int systemIdle = TcpOption(fd, TCP_KEEPIDLE);
    EXPECT_TRUE(connection.socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, 42));
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), systemIdle);
    uint32_t value = 0;
    EXPECT_TRUE(connection.socket.GetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, &value));
    EXPECT_EQ(value, 42u);
    EXPECT_TRUE(connection.socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true));
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 42);
}

// Catches settings that the system refuses (0, or above its bounds) leaving
// keep-alive with other times than asked without a word.
TEST(SocketOption, KeepAliveSettingsAreKeptWithinTheSystemBounds)
{
    Connection connection;
    PlatformSocket& socket = connection.socket;
    EXPECT_TRUE(socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true));
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveIdle, 0));
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveInterval, 1000000));
    EXPECT_TRUE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, 1000));
    const int fd = ClientDescriptorOf(connection.peer);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPIDLE), 1);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPINTVL), 32767);
    EXPECT_EQ(TcpOption(fd, TCP_KEEPCNT), 127);
}

TEST(SocketOption, OptionsWithoutAConnectionAnswerFalse)
{
    PlatformSocket socket;
    EXPECT_FALSE(socket.SetBoolOption(SOL_SOCKET, SO_KEEPALIVE, true));
    bool keepAlive = true;
    EXPECT_FALSE(socket.GetBoolOption(SOL_SOCKET, SO_KEEPALIVE, &keepAlive));
    EXPECT_FALSE(socket.SetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, 3));
    uint32_t value = 0;
    EXPECT_TRUE(socket.GetIntOption(IPPROTO_TCP, PlatformSocket::kOption_KeepAliveCount, &value));
    EXPECT_EQ(value, 3u) << "the value is stored even without a socket";
}

TEST(SocketOption, OtherOptionsAreRefused)
{
    PlatformSocket socket;
    LogCapture log;
    const auto codeOf = [](auto call) -> uint32_t
    {
        try
        {
            call();
        }
        catch (const ModuleError& error)
        {
            return error.GetFullCode();
        }
        return 0;
    };
    bool flag = false;
    uint32_t value = 0;
    EXPECT_EQ(codeOf([&] { socket.SetBoolOption(SOL_SOCKET, SO_REUSEADDR, true); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.SetBoolOption(IPPROTO_TCP, SO_KEEPALIVE, true); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.GetBoolOption(SOL_SOCKET, SO_RCVBUF, &flag); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.SetIntOption(SOL_SOCKET, SO_KEEPALIVE, 1); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.SetIntOption(IPPROTO_TCP, -4, 1); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.SetIntOption(IPPROTO_TCP, TCP_NODELAY, 1); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.GetIntOption(SOL_SOCKET, -1, &value); }), 0x650001u);
    EXPECT_EQ(codeOf([&] { socket.GetIntOption(IPPROTO_TCP, 0, &value); }), 0x650001u);
    EXPECT_EQ(log.Count(L"The parameter is incorrect or not supported.", Q7::Universal::kLogMsgType_Error),
              8u);
}

// ---------------------------------------------------------------------------
// Error table

// Catches a lost peer taken for a closed socket (or the reverse), a time-out
// outside a connect, interrupted or would-block calls reported as a result
// (they are retried), and unknown numbers mapped to anything instead of raised.
TEST(SocketErrorTable, EachNumberHasItsResult)
{
    using Result = std::optional<Q7::Platform::PlatformSocketResult>;
    struct Row
    {
        const char* name;
        std::vector<int> codes;
        Result whileConnected;
        Result whileConnecting;
    };
    const Row rows[] = {
        {"local ends", {EBADF, ENOTSOCK, ENOTCONN, ESHUTDOWN}, kSocketResult_Closed, kSocketResult_Closed},
        {"lost peers and networks",
         {ECONNREFUSED, ECONNRESET, ECONNABORTED, EPIPE, ENETDOWN, ENETUNREACH, ENETRESET, EHOSTDOWN,
          EHOSTUNREACH},
         kSocketResult_Disconnected,
         kSocketResult_Disconnected},
        {"timed out", {ETIMEDOUT}, kSocketResult_Disconnected, kSocketResult_Timeout},
        {"retried and unknown",
         {EINTR, EAGAIN, EWOULDBLOCK, EINPROGRESS, EALREADY, EISCONN, EINVAL, EMFILE, ENOBUFS, EACCES},
         std::nullopt,
         std::nullopt},
    };
    for (const Row& row : rows)
    {
        for (const int code : row.codes)
        {
            EXPECT_EQ(Q7::Platform::SocketResultOfError(code, false), row.whileConnected)
                << row.name << ", errno " << code;
            EXPECT_EQ(Q7::Platform::SocketResultOfError(code, true), row.whileConnecting)
                << row.name << ", errno " << code;
        }
    }
}

TEST(SocketErrorTable, UnexpectedConnectFailureIsRaisedAndLogged)
{
    // An IPv6 socket cannot take the 16-byte IPv4 address: EINVAL, no network use.
    PlatformSocket socket(AF_INET6, SOCK_STREAM, 0);
    LogCapture log;
    try
    {
        socket.OpenConnection(SocketAddress(AF_INET, 1, kLoopback, 0));
        FAIL() << "no error raised";
    }
    catch (const Q7::Platform::SystemError_Posix& error)
    {
        EXPECT_EQ(error.GetCode(), static_cast<uint32_t>(EINVAL));
        EXPECT_STREQ(error.GetContext().c_str(), L"socket connect");
    }
    EXPECT_EQ(log.Count(L"socket connect", Q7::Universal::kLogMsgType_Error), 1u);
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_TRUE(socket.GetDisconnectedEvent().IsSet());
}

TEST(SocketErrorTable, UnexpectedCreateFailureIsRaised)
{
    PlatformSocket socket(AF_INET, 0x7FFF, 0);
    try
    {
        socket.OpenConnection(SocketAddress(AF_INET, 1, kLoopback, 0));
        FAIL() << "no error raised";
    }
    catch (const Q7::Platform::SystemError_Posix& error)
    {
        EXPECT_STREQ(error.GetContext().c_str(), L"socket create");
    }
    EXPECT_FALSE(socket.IsOpen());
}
