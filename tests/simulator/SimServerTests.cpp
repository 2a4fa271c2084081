// The simulator as a server: ports, several connections, reconnections, and
// clean stops while hosts are connected or have stopped reading.
#include "SimCamera.h"
#include "SimStreamHandler.h"
#include "SimTestClient.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <stdexcept>
#include <thread>

namespace
{

using namespace Q7::Sim;
using namespace SimTest;

TEST(SimServer, PortZeroGivesASystemChosenPortReadableAfterStart)
{
    Camera camera;
    camera.SetLogSink({});
    EXPECT_FALSE(camera.IsRunning());
    camera.Start();
    EXPECT_TRUE(camera.IsRunning());
    EXPECT_NE(camera.Port(), 0);
    EXPECT_EQ(camera.Address(), "127.0.0.1");
    EXPECT_THROW(camera.Start(), std::logic_error);
    camera.Stop();
    EXPECT_FALSE(camera.IsRunning());
    camera.Stop(); // idempotent
}

// The simulator must never listen beyond the loopback range.
TEST(SimServer, RefusesNonLoopbackAddresses)
{
    Camera camera;
    camera.SetLogSink({});
    EXPECT_THROW(camera.Start("0.0.0.0"), std::invalid_argument);
    EXPECT_THROW(camera.Start("192.168.1.1"), std::invalid_argument);
    EXPECT_THROW(camera.Start("not an address"), std::invalid_argument);
    EXPECT_FALSE(camera.IsRunning());
}

// The fixed camera port on an address of its own, so parallel tests do not collide.
TEST(SimServer, ServesTheFixedCameraPortOnItsOwnLoopbackAddress)
{
    Camera camera;
    camera.SetLogSink({});
    camera.Start("127.0.0.73", 7381);
    EXPECT_EQ(camera.Port(), 7381);
    RawClient c(7381, "127.0.0.73");
    EXPECT_TRUE(c.Open(0, 0, 2, 1));
}

// Every connection is a pipe of its own with its own channel states.
TEST(SimServer, SeveralConnectionsAtOnceKeepTheirOwnChannelStates)
{
    Camera camera;
    camera.SetLogSink({});
    camera.Start();
    RawClient a(camera.Port());
    RawClient b(camera.Port());
    RawClient c(camera.Port());
    ASSERT_TRUE(camera.WaitForConnections(3, 10s));
    ASSERT_TRUE(a.Open(2, 0));
    ASSERT_TRUE(b.Open(2, 0)); // the same channel on another pipe opens independently
    ASSERT_TRUE(c.Open(3, 0));
    ASSERT_TRUE(a.Send(CloseRequest(2, 0)));
    ASSERT_TRUE(a.ReceiveType(0x81));
    const auto ids = camera.Connections();
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_TRUE(camera.OpenChannels(ids[0]).empty());
    EXPECT_EQ(camera.OpenChannels(ids[1]), (std::vector<ChannelId>{{2, 0}}));
    EXPECT_EQ(camera.OpenChannels(ids[2]), (std::vector<ChannelId>{{3, 0}}));
    // Data on b's channel still flows after a closed its own.
    ASSERT_TRUE(b.Send(Data(2, 0, Message(0x66, 0x50, 16, 16))));
    EXPECT_TRUE(b.ReceiveMessage(2, 0));
    EXPECT_TRUE(camera.Violations().empty()) << camera.Snapshot().DescribeViolations();
}

TEST(SimServer, ReconnectionAfterACloseIsServed)
{
    Camera camera;
    camera.SetLogSink({});
    camera.Start();
    for (int round = 0; round < 3; ++round)
    {
        RawClient c(camera.Port());
        ASSERT_TRUE(c.Open(0, 0, 2, 1)) << "round " << round;
    }
    EXPECT_TRUE(camera.WaitUntil(
        [](const Observations& o) { return o.connectionsAccepted == 3 && o.connectionsEnded == 3; }, 10s));
    EXPECT_TRUE(camera.Connections().empty());
}

// Stop ends connections whose hosts are idle, mid-packet, or not reading a flood of data.
TEST(SimServer, StopWhileConnectedEndsEveryConnectionPromptly)
{
    auto camera = std::make_unique<Camera>();
    camera->SetLogSink({});
    auto stats = std::make_shared<StreamStats>();
    camera->SetChannelHandler({4, 1},
                              StreamHandler::Factory({.sourceBytes = StreamHandler::kUnlimited}, stats));
    camera->Start();
    RawClient idle(camera->Port());
    RawClient halfPacket(camera->Port());
    RawClient flooded(camera->Port());
    flooded.SetSmallReceiveBuffer();
    ASSERT_TRUE(idle.Open(0, 0, 2, 1));
    const Bytes open = OpenRequest(1, 0);
    ASSERT_TRUE(halfPacket.Send(Bytes(open.begin(), open.begin() + 100)));
    ASSERT_TRUE(flooded.Open(4, 1));
    // The producer fills the send queue, then waits: the host never reads.
    ASSERT_TRUE(stats->WaitForSent(Camera::kDefaultSendQueueBytes, 15s));
    auto stopped = std::async(std::launch::async, [&] { camera->Stop(); });
    ASSERT_EQ(stopped.wait_for(15s), std::future_status::ready);
    EXPECT_TRUE(idle.WaitForEnd());
    EXPECT_TRUE(halfPacket.WaitForEnd());
    EXPECT_TRUE(camera->Connections().empty());
    auto destroyed = std::async(std::launch::async, [&] { camera.reset(); });
    EXPECT_EQ(destroyed.wait_for(15s), std::future_status::ready);
}

// A host that stops reading one channel stalls the camera's output, never its input.
TEST(SimServer, HostThatStopsReadingDoesNotStopTheCameraReading)
{
    Camera camera;
    camera.SetLogSink({});
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({4, 1},
                             StreamHandler::Factory({.sourceBytes = StreamHandler::kUnlimited}, stats));
    camera.Start();
    RawClient c(camera.Port());
    c.SetSmallReceiveBuffer();
    ASSERT_TRUE(c.Open(4, 1));
    ASSERT_TRUE(c.Send(OpenRequest(0, 0, 2, 1))); // its reply queues behind the stalled data
    ASSERT_TRUE(stats->WaitForSent(Camera::kDefaultSendQueueBytes, 15s));
    // The camera still reads and handles what the host sends.
    ASSERT_TRUE(c.Send(CloseRequest(4, 1)));
    EXPECT_TRUE(camera.WaitUntil([](const Observations& o) { return o.closesCompleted == 1; }, 10s));
    EXPECT_EQ(camera.Snapshot().CountPackets(PacketType::CloseRequest, {4, 1}, true), 1u);
    EXPECT_TRUE(camera.OpenChannels(camera.LatestConnection()).size() == 1); // 0.0 only
    // Stopping with the output still stalled ends promptly.
    auto stopped = std::async(std::launch::async, [&] { camera.Stop(); });
    EXPECT_EQ(stopped.wait_for(15s), std::future_status::ready);
}

// A handler that sends more than the send queue holds while the host never
// reads: the connection's receive thread itself waits in Send.
class FloodOnOpenHandler : public ChannelHandler
{
public:
    explicit FloodOnOpenHandler(std::promise<void>* started) : m_started(started) {}
    void OnOpen(ChannelContext& context) override
    {
        const std::vector<std::uint8_t> block(64 * 1024, 0x5A);
        m_started->set_value();
        for (int i = 0; i < 1024 && context.Send(block); ++i)
        {
        }
    }
    void OnData(ChannelContext&, std::span<const std::uint8_t>) override {}

private:
    std::promise<void>* m_started;
};

// Stop must end a connection whose receive thread waits in Send for queue room
// after the send thread gave up: nothing drains the queue any more.
TEST(SimServer, StopEndsAReceiveThreadWaitingInSend)
{
    auto camera = std::make_unique<Camera>();
    camera->SetLogSink({});
    camera->SetSendQueueLimit(64 * 1024);
    std::promise<void> started;
    camera->SetChannelHandler({3, 0}, [&started](ChannelId)
                              { return std::make_unique<FloodOnOpenHandler>(&started); });
    camera->Start();
    RawClient c(camera->Port());
    c.SetSmallReceiveBuffer();
    ASSERT_TRUE(c.Send(OpenRequest(3, 0)));
    ASSERT_EQ(started.get_future().wait_for(15s), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { camera->Stop(); });
    if (stopped.wait_for(15s) != std::future_status::ready)
    {
        ADD_FAILURE() << "Stop hangs while the receive thread waits in Send";
        c.Close();
        (void)camera.release(); // cannot be stopped; leave it to the process end
        std::quick_exit(1);
    }
}

TEST(SimServer, RestartAfterStopServesAgain)
{
    Camera camera;
    camera.SetLogSink({});
    camera.Start();
    {
        RawClient c(camera.Port());
        ASSERT_TRUE(c.Open(0, 0, 2, 1));
        camera.Stop();
        EXPECT_TRUE(c.WaitForEnd());
    }
    camera.Start();
    RawClient c(camera.Port());
    EXPECT_TRUE(c.Open(0, 0, 2, 1));
}

// Channels registered while running serve the next open; handlers run per open.
TEST(SimServer, HandlerRegisteredWhileRunningServesTheNextOpen)
{
    Camera camera;
    camera.SetLogSink({});
    camera.Start();
    RawClient c(camera.Port());
    auto stats = std::make_shared<StreamStats>();
    camera.SetChannelHandler({3, 0}, StreamHandler::Factory({.echo = true}, stats));
    ASSERT_TRUE(c.Open(3, 0));
    ASSERT_TRUE(c.Send(Data(3, 0, Bytes{1, 2, 3})));
    auto echoed = c.ReceiveData(3, 0, 3);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(*echoed, (Bytes{1, 2, 3}));
}

} // namespace
