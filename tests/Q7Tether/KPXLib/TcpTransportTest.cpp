// Tests of the TCP transport against loopback peers written here.

#include "Transport/KPXTransport_Tcp.h"

#include "LogCapture.h"
#include "LoopbackSocket.h"
#include "TransportTestSupport.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Q7::KPX::Transport::DeviceMoniker;
using Q7::KPX::Transport::kDefaultPipeId;
using Q7::KPX::Transport::NotifyCallback;
using Q7::KPX::Transport::PipeInterface;
using Q7::KPX::Transport::TcpDevice;
using TestSupport::Fd;
using TestSupport::kLoopback;
using TestSupport::LogCapture;
using TransportTest::LinkLossCounter;

namespace
{

// The camera's side: a listener on a loopback address and the connections it
// accepted.
class LoopbackPeer : public TestSupport::LoopbackListener
{
public:
    using LoopbackListener::LoopbackListener;

    // Accepts one connection, waiting at most 5 s; -1 when none came.
    int Accept()
    {
        Fd connection = LoopbackListener::Accept();
        const int fd = connection.Get();
        if (fd >= 0)
        {
            m_connections.push_back(std::move(connection));
        }
        return fd;
    }

    // Closes every accepted connection in an orderly way.
    void CloseConnections() { m_connections.clear(); }

    // Resets every accepted connection (RST instead of FIN).
    void ResetConnections()
    {
        for (Fd& fd : m_connections)
        {
            TestSupport::ResetConnection(fd);
        }
        m_connections.clear();
    }

private:
    std::vector<Fd> m_connections;
};

DeviceMoniker TcpMonikerFor(uint32_t ipv4, uint16_t port)
{
    DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
    moniker.tcp.name.Assign("Loopback camera");
    moniker.tcp.host.Assign("localhost");
    moniker.tcp.address = ipv4;
    moniker.tcp.port = port;
    moniker.tcp.connectTimeoutSeconds = 2;
    moniker.tcp.isStatic = 1;
    return moniker;
}

class TcpTransportTest : public ::testing::Test
{
protected:
    LoopbackPeer m_peer;
    LinkLossCounter m_linkLoss;

    void SetUp() override { ASSERT_TRUE(m_peer.IsListening()); }

    std::unique_ptr<TcpDevice> OpenDevice()
    {
        auto device = std::make_unique<TcpDevice>(TcpMonikerFor(kLoopback, m_peer.Port()));
        device->SetNotifyCallback(m_linkLoss.Callback());
        EXPECT_EQ(device->Open(), 0u);
        return device;
    }

    // Opens a pipe on the default port and accepts its connection.
    std::unique_ptr<PipeInterface> OpenPipe(TcpDevice& device, int* peerFd = nullptr)
    {
        std::unique_ptr<PipeInterface> pipe = device.CreatePipe(kDefaultPipeId);
        EXPECT_EQ(pipe->Open(), 0u);
        const int fd = m_peer.Accept();
        EXPECT_GE(fd, 0);
        if (peerFd != nullptr)
        {
            *peerFd = fd;
        }
        return pipe;
    }
};

TEST_F(TcpTransportTest, DeviceStartsClosedAndOpensWithoutConnecting)
{
    TcpDevice device(TcpMonikerFor(kLoopback, m_peer.Port()));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_FALSE(device.IsConnected());
    EXPECT_TRUE(device.GetClosedEvent().IsSet());
    EXPECT_TRUE(device.GetDisconnectedEvent().IsSet());
    EXPECT_EQ(device.GetConnectionType(), 4u);
    EXPECT_EQ(device.GetMoniker(), TcpMonikerFor(kLoopback, m_peer.Port()));

    EXPECT_EQ(device.Open(), 0u);
    EXPECT_TRUE(device.IsOpen());
    EXPECT_TRUE(device.IsConnected());
    EXPECT_FALSE(device.GetDisconnectedEvent().IsSet());
    device.Close();
    EXPECT_FALSE(device.IsOpen());
    device.Close(); // safe twice
    EXPECT_EQ(device.Open(), 0u);
    EXPECT_EQ(device.Open(), 0u); // reopening closes first
    EXPECT_TRUE(device.IsConnected());
}

TEST_F(TcpTransportTest, PipeConnectsWritesWholeBuffersAndReadsExactSizes)
{
    LogCapture log;
    auto device = OpenDevice();
    int peer = -1;
    auto pipe = OpenPipe(*device, &peer);
    EXPECT_EQ(pipe->GetPipeId(), m_peer.Port());
    EXPECT_EQ(&pipe->GetDevice(), device.get());
    EXPECT_TRUE(pipe->IsOpen());
    EXPECT_TRUE(pipe->IsConnected());
    EXPECT_TRUE(pipe->Flush());

    const std::wstring address = L"[ 127.0.0.1:" + std::to_wstring(m_peer.Port()) + L" ]";
    EXPECT_EQ(log.Count(L"Opening connection to: " + address), 1u);
    EXPECT_EQ(log.Count(L"Connected to: " + address), 1u);

    // A buffer far larger than the socket buffers arrives whole.
    std::vector<unsigned char> out(24 * 1024 * 1024 + 7);
    for (size_t i = 0; i < out.size(); ++i)
    {
        out[i] = static_cast<unsigned char>(i * 131 + (i >> 16));
    }
    auto received = std::async(std::launch::async,
                               [&]
                               {
                                   std::vector<unsigned char> in(out.size());
                                   return TestSupport::ReceiveAll(peer, in.data(), in.size()) && in == out;
                               });
    uint32_t written = 0;
    // The time-out bounds a stall of the peer, not the whole write.
    EXPECT_EQ(pipe->Write(out.data(), static_cast<uint32_t>(out.size()), nullptr, &written, 2000), 0u);
    EXPECT_EQ(written, out.size());
    ASSERT_EQ(received.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(received.get());

    // Reads take exactly their size, however the peer cuts the stream.
    const char message[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    auto sender =
        std::async(std::launch::async,
                   [&]
                   {
                       bool ok = true;
                       const size_t length = std::strlen(message);
                       for (size_t at = 0; at < length; at += 5)
                       {
                           ok &= TestSupport::SendAll(peer, message + at, std::min<size_t>(5, length - at));
                       }
                       return ok;
                   });
    char first[10] = {};
    char second[26] = {};
    uint32_t transferred = 0;
    EXPECT_EQ(pipe->Read(first, sizeof first, nullptr, &transferred, 0), 0u);
    EXPECT_EQ(transferred, 10u);
    EXPECT_EQ(pipe->Read(second, sizeof second, nullptr, &transferred, 0xFFFFFFFF), 0u);
    EXPECT_EQ(transferred, 36u); // Read adds to the count
    EXPECT_EQ(std::string(first, sizeof first), "0123456789");
    EXPECT_EQ(std::string(second, sizeof second), "abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(pipe->Read(first, 0, nullptr, nullptr, 0), 0u);
    ASSERT_EQ(sender.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(sender.get());

    pipe->Close();
    EXPECT_FALSE(pipe->IsOpen());
    EXPECT_TRUE(pipe->GetClosedEvent().IsSet());
    EXPECT_EQ(log.Count(L"Closing connection to: [ 127.0.0.1:" + std::to_wstring(m_peer.Port()) + L" ]"), 1u);
    EXPECT_TRUE(device->IsConnected()); // a closed pipe is no lost link
}

TEST_F(TcpTransportTest, PipeIdIsCheckedWhenThePipeOpens)
{
    auto device = OpenDevice();
    auto pipe = device->CreatePipe(70000);
    EXPECT_EQ(pipe->GetPipeId(), 70000u);
    try
    {
        pipe->Open();
        ADD_FAILURE() << "a pipe id above 65535 must not open";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x650004u);
        EXPECT_STREQ(error.GetContext().c_str(), L"Unable to cast pipeId to a valid port number");
    }
    EXPECT_FALSE(pipe->IsOpen());

    // Any other id is a port of its own.
    LoopbackPeer second;
    ASSERT_TRUE(second.IsListening());
    auto other = device->CreatePipe(second.Port());
    EXPECT_EQ(other->Open(), 0u);
    EXPECT_GE(second.Accept(), 0);
}

TEST_F(TcpTransportTest, MonikerWithoutAddressCannotOpenAPipe)
{
    TcpDevice device(TcpMonikerFor(0, m_peer.Port()));
    ASSERT_EQ(device.Open(), 0u);
    auto pipe = device.CreatePipe(kDefaultPipeId);
    try
    {
        pipe->Open();
        ADD_FAILURE() << "a moniker without address must not connect";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), 0x6500CAu);
        EXPECT_STREQ(error.GetContext().c_str(), L"Could not obtain a valid address");
    }
    LogCapture log;
    pipe->Close();
    EXPECT_EQ(log.Count(L"Closing connection to: NULL"), 1u);
}

TEST_F(TcpTransportTest, CreatePipeOnAClosedDeviceWarnsAndGoesOn)
{
    LogCapture log;
    TcpDevice device(TcpMonikerFor(kLoopback, m_peer.Port()));
    auto pipe = device.CreatePipe(kDefaultPipeId);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(log.Count(L"Warning: Q7::KPX::Transport::TcpDevice::CreatePipe invoked on a closed device"),
              1u);
}

// The default pipe of a camera given without a port goes to 7381; the peer has an
// address of its own so that tests can run in parallel.
TEST(TcpTransportFixedPortTest, DefaultPipeUsesTheMonikerPort)
{
    constexpr uint32_t kOwnAddress = 0x7F0000D6; // 127.0.0.214
    LoopbackPeer peer(kOwnAddress, Q7::KPX::Transport::kDefaultTcpPort);
    if (!peer.IsListening())
    {
        GTEST_SKIP() << "127.0.0.214:7381 is in use";
    }
    TcpDevice device(TcpMonikerFor(kOwnAddress, Q7::KPX::Transport::kDefaultTcpPort));
    ASSERT_EQ(device.Open(), 0u);
    auto pipe = device.CreatePipe(kDefaultPipeId);
    EXPECT_EQ(pipe->GetPipeId(), 7381u);
    EXPECT_EQ(pipe->Open(), 0u);
    EXPECT_GE(peer.Accept(), 0);
}

TEST_F(TcpTransportTest, OpenPipeHasKeepAliveOn)
{
    auto device = OpenDevice();
    int peer = -1;
    auto pipe = OpenPipe(*device, &peer);
    const int fd = TestSupport::ClientDescriptorOf(peer);
    ASSERT_GE(fd, 0);

    int on = 0;
    int idle = 0;
    int interval = 0;
    int count = 0;
    socklen_t size = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, &size), 0);
    EXPECT_NE(on, 0);
    EXPECT_EQ(idle, 1);
    // Probes span 3 s after the first one, however they are cut into whole seconds.
    EXPECT_EQ(interval * count, 3);
}

TEST_F(TcpTransportTest, PeerCloseMarksDeviceDisconnectedAndCallsBackOnce)
{
    LogCapture log;
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    auto reader = std::async(std::launch::async,
                             [&]
                             {
                                 char buffer[16];
                                 uint32_t transferred = 0;
                                 return pipe->Read(buffer, sizeof buffer, nullptr, &transferred, 100);
                             });
    m_peer.CloseConnections();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 4u);
    ASSERT_TRUE(m_linkLoss.WaitForCount(1));
    EXPECT_TRUE(device->GetDisconnectedEvent().IsSet());
    EXPECT_FALSE(device->IsConnected());
    EXPECT_TRUE(device->IsOpen());
    EXPECT_FALSE(pipe->IsConnected());
    EXPECT_EQ(log.Count(L"socket read returned non-success"), 1u);

    // A write on the lost connection fails too; nothing is reported again.
    char byte = 0;
    EXPECT_NE(pipe->Write(&byte, 1, nullptr, nullptr, 0), 0u);
    pipe.reset();
    device->Close();
    EXPECT_EQ(m_linkLoss.Count(), 1);
}

TEST_F(TcpTransportTest, PeerResetMarksDeviceDisconnected)
{
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    auto reader = std::async(std::launch::async,
                             [&]
                             {
                                 char buffer[16];
                                 return pipe->Read(buffer, sizeof buffer, nullptr, nullptr, 0);
                             });
    m_peer.ResetConnections();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 4u);
    ASSERT_TRUE(m_linkLoss.WaitForCount(1));
    pipe.reset();
    device->Close();
    EXPECT_EQ(m_linkLoss.Count(), 1);
}

TEST_F(TcpTransportTest, SeveralPipesFailingTogetherReportOneLinkLoss)
{
    constexpr int kPipes = 5;
    auto device = OpenDevice();
    std::vector<std::unique_ptr<PipeInterface>> pipes;
    for (int i = 0; i < kPipes; ++i)
    {
        pipes.push_back(OpenPipe(*device));
    }
    std::vector<std::future<uint32_t>> readers;
    for (auto& pipe : pipes)
    {
        readers.push_back(std::async(std::launch::async,
                                     [p = pipe.get()]
                                     {
                                         char buffer[4];
                                         return p->Read(buffer, sizeof buffer, nullptr, nullptr, 0);
                                     }));
    }
    m_peer.ResetConnections();
    for (auto& reader : readers)
    {
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(reader.get(), 4u);
    }
    ASSERT_TRUE(m_linkLoss.WaitForCount(1));
    pipes.clear();
    device->Close(); // joins the notify thread: no late second report
    EXPECT_EQ(m_linkLoss.Count(), 1);
}

// Fault: Close set the disconnected event before it stopped the notify thread, so
// an ordinary close was often reported as a lost link.
TEST_F(TcpTransportTest, OrdinaryCloseIsNeverALinkLoss)
{
    for (int round = 0; round < 40; ++round)
    {
        auto device = OpenDevice();
        auto pipe = OpenPipe(*device);
        if (round % 2 == 0)
        {
            pipe->Close();
            pipe.reset();
            device->Close();
        }
        else
        {
            device->Close(); // with the pipe still connected
            pipe.reset();
            device.reset();
        }
    }
    EXPECT_EQ(m_linkLoss.Count(), 0);
}

TEST_F(TcpTransportTest, LinkLostAfterCloseIsNotReported)
{
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    device->Close();
    char buffer[4];
    m_peer.CloseConnections();
    EXPECT_EQ(pipe->Read(buffer, sizeof buffer, nullptr, nullptr, 0), 4u);
    pipe.reset();
    device.reset();
    EXPECT_EQ(m_linkLoss.Count(), 0);
}

TEST_F(TcpTransportTest, ClosingAPipeWakesABlockedReaderAtOnce)
{
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    std::promise<void> reading;
    auto reader = std::async(std::launch::async,
                             [&]
                             {
                                 char buffer[64];
                                 uint32_t transferred = 0;
                                 reading.set_value();
                                 const uint32_t result =
                                     pipe->Read(buffer, sizeof buffer, nullptr, &transferred, 0);
                                 return std::make_pair(result, transferred);
                             });
    reading.get_future().wait();
    pipe->Close();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const auto [result, transferred] = reader.get();
    EXPECT_EQ(result, 3u);
    EXPECT_EQ(transferred, 0u);
    EXPECT_TRUE(device->IsConnected());
    device->Close();
    EXPECT_EQ(m_linkLoss.Count(), 0);
}

// Writes ignore time-outs: a write to a peer that stopped reading ends only when
// the pipe is closed.
// A camera that stops taking what it is sent: a write without limit ends
// when the pipe closes; a write with a time-out ends after it and closes the
// pipe as lost. Fault caught: a send thread held for ever by a camera that
// still keeps its connection up.
TEST_F(TcpTransportTest, WriteToAStalledPeerEndsWhenThePipeClosesOrItsTimeOutPasses)
{
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    std::vector<unsigned char> big(64 * 1024 * 1024);
    const auto write = [&](uint32_t timeoutMs)
    {
        return std::async(std::launch::async,
                          [&, timeoutMs]
                          {
                              uint32_t written = 0;
                              const uint32_t result =
                                  pipe->Write(big.data(), static_cast<uint32_t>(big.size()), nullptr,
                                              &written, timeoutMs);
                              return std::make_pair(result, written);
                          });
    };
    auto unlimited = write(0xFFFFFFFF);
    EXPECT_EQ(unlimited.wait_for(200ms), std::future_status::timeout);
    pipe->Close();
    ASSERT_EQ(unlimited.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(unlimited.get().first, 3u);
    EXPECT_FALSE(device->GetDisconnectedEvent().IsSet()) << "an ordinary close is no link loss";

    ASSERT_EQ(pipe->Open(), 0u);
    auto timed = write(100);
    ASSERT_EQ(timed.wait_for(5s), std::future_status::ready);
    const auto [result, written] = timed.get();
    EXPECT_EQ(result, 2u);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_FALSE(pipe->IsOpen());
    EXPECT_TRUE(device->GetDisconnectedEvent().IsSet());
}

TEST_F(TcpTransportTest, WritersOnSeveralThreadsNeverInterleave)
{
    constexpr int kWriters = 4;
    constexpr int kBlocks = 40;
    constexpr size_t kBlockSize = 256 * 1024;
    auto device = OpenDevice();
    int peer = -1;
    auto pipe = OpenPipe(*device, &peer);
    auto checker = std::async(std::launch::async,
                              [&]
                              {
                                  std::vector<unsigned char> block(kBlockSize);
                                  for (int i = 0; i < kWriters * kBlocks; ++i)
                                  {
                                      if (!TestSupport::ReceiveAll(peer, block.data(), block.size()))
                                      {
                                          return false;
                                      }
                                      for (unsigned char byte : block)
                                      {
                                          if (byte != block[0])
                                          {
                                              return false; // two writers' bytes mixed in one block
                                          }
                                      }
                                  }
                                  return true;
                              });
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWriters; ++w)
    {
        writers.emplace_back(
            [&, w]
            {
                const std::vector<unsigned char> block(kBlockSize, static_cast<unsigned char>(w + 1));
                for (int i = 0; i < kBlocks; ++i)
                {
                    if (pipe->Write(block.data(), kBlockSize, nullptr, nullptr, 0) != 0)
                    {
                        ++failures;
                    }
                }
            });
    }
    for (std::thread& t : writers)
    {
        t.join();
    }
    ASSERT_EQ(checker.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(checker.get());
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(TcpTransportTest, RefusedConnectMarksDeviceDisconnected)
{
    LogCapture log;
    auto device = OpenDevice();
    m_peer.StopListening();
    auto pipe = device->CreatePipe(kDefaultPipeId);
    EXPECT_EQ(pipe->Open(), 4u);
    EXPECT_FALSE(pipe->IsOpen());
    ASSERT_TRUE(m_linkLoss.WaitForCount(1));
    EXPECT_FALSE(device->IsConnected());
    EXPECT_EQ(log.Count(L"Connection attempt to ([ 127.0.0.1:" + std::to_wstring(m_peer.Port()) +
                        L" ]) unsuccessful"),
              1u);
}

TEST_F(TcpTransportTest, EachOpenReportsItsOwnLinkLoss)
{
    auto device = OpenDevice();
    for (int round = 1; round <= 3; ++round)
    {
        auto pipe = OpenPipe(*device);
        m_peer.CloseConnections();
        char byte = 0;
        EXPECT_EQ(pipe->Read(&byte, 1, nullptr, nullptr, 0), 4u);
        ASSERT_TRUE(m_linkLoss.WaitForCount(round));
        pipe.reset();
        ASSERT_EQ(device->Open(), 0u);
        EXPECT_TRUE(device->IsConnected());
    }
    device->Close();
    EXPECT_EQ(m_linkLoss.Count(), 3);
}

TEST_F(TcpTransportTest, RemovedCallbackIsNotCalled)
{
    auto device = OpenDevice();
    device->SetNotifyCallback(NotifyCallback());
    auto pipe = OpenPipe(*device);
    m_peer.CloseConnections();
    char byte = 0;
    EXPECT_EQ(pipe->Read(&byte, 1, nullptr, nullptr, 0), 4u);
    pipe.reset();
    device->Close();
    EXPECT_EQ(m_linkLoss.Count(), 0);
}

TEST_F(TcpTransportTest, ExceptionFromTheCallbackIsLoggedAndContained)
{
    LogCapture log;
    m_linkLoss.ThrowFromCallback();
    auto device = OpenDevice();
    auto pipe = OpenPipe(*device);
    m_peer.ResetConnections();
    char byte = 0;
    EXPECT_EQ(pipe->Read(&byte, 1, nullptr, nullptr, 0), 4u);
    ASSERT_TRUE(m_linkLoss.WaitForCount(1));
    pipe.reset();
    device->Close(); // the thread has ended: its log line is written
    EXPECT_EQ(log.Count(L"TcpDevice notify: ignoring exception thrown from notify callback."), 1u);
}

// Closing from several threads at once while the peer drops the link: the
// callback runs at most once and every thread returns.
TEST_F(TcpTransportTest, ConcurrentClosesAndLinkLoss)
{
    for (int round = 0; round < 20; ++round)
    {
        LinkLossCounter counter;
        auto device = std::make_unique<TcpDevice>(TcpMonikerFor(kLoopback, m_peer.Port()));
        device->SetNotifyCallback(counter.Callback());
        ASSERT_EQ(device->Open(), 0u);
        auto pipe = OpenPipe(*device);
        auto reader = std::async(std::launch::async,
                                 [&]
                                 {
                                     char byte = 0;
                                     return pipe->Read(&byte, 1, nullptr, nullptr, 0);
                                 });
        std::vector<std::thread> closers;
        for (int i = 0; i < 3; ++i)
        {
            closers.emplace_back([&] { device->Close(); });
        }
        m_peer.ResetConnections();
        for (std::thread& t : closers)
        {
            t.join();
        }
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
        const uint32_t result = reader.get();
        EXPECT_TRUE(result == 3u || result == 4u) << result;
        pipe.reset();
        device.reset();
        EXPECT_LE(counter.Count(), 1);
    }
}

} // namespace
