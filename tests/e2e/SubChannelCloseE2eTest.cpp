// The order in which the image-transfer and live-view agents open and close
// their two sub-channels, read off the camera's records while images and
// frames flow, over loopback TCP and the virtual USB bus: x.2 opens only
// beside an open x.1 and closes before it, nothing follows a CloseRequest on
// its channel, no open follows the agent's stop, and the closes end promptly.

#include "Camera/KPXCamera.h"
#include "E2eTransport.h"
#include "SimCamera.h"
#include "SubChannelOrder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace
{

using namespace E2e;
using namespace std::chrono_literals;
using Q7::KPX::Camera;

// The agents whose sub-channels are checked.
enum class Agent
{
    kImageTransfer, // 4.1 and 4.2
    kLiveView,      // 5.1 and 5.2
};

std::uint8_t ChannelOf(Agent agent)
{
    return agent == Agent::kImageTransfer ? 4 : 5;
}

// Counts what a receiver got, by name; waits for a count. Thread-safe.
class Counter
{
public:
    void Add(const std::string& name)
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_names[name];
            ++m_count;
        }
        m_changed.notify_all();
    }
    int Get()
    {
        std::lock_guard lock(m_mutex);
        return m_count;
    }
    bool WaitFor(int count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 20s, [&] { return m_count >= count; });
    }
    // The names delivered more than once.
    std::vector<std::string> Repeated()
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> repeated;
        for (const auto& [name, times] : m_names)
        {
            if (times > 1)
                repeated.push_back(name);
        }
        return repeated;
    }

private:
    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    std::map<std::string, int> m_names;
    int m_count = 0;
};

// A simulated camera that captures on request and streams frames, and a KPX
// camera object for it with both agents' receivers set.
struct Rig
{
    explicit Rig(E2eTransport over) : transport(over)
    {
        sim = std::make_unique<Q7::Sim::Camera>(Q7::Sim::CameraDescription::Default());
        sim->SetLogSink({});
        sim->LiveView().SetFrameRate(200);
        sim->Start("127.0.0.1", 0);
        if (transport == E2eTransport::Tcp)
            camera = std::make_unique<Camera>(TcpMoniker(*sim));
        else
            camera = std::make_unique<Camera>(std::make_unique<E2eUsbDevice>(*sim));
        camera->SetClientIdentity(nullptr);
        Open();
    }

    ~Rig()
    {
        camera.reset();
        sim->Stop();
    }

    void Open()
    {
        EXPECT_EQ(camera->Initialize(transport == E2eTransport::Tcp), 0u);
        EXPECT_EQ(camera->InitializeAgents(nullptr), 0u);
        camera->SetImageReceiveCallback([this](Q7::KPX::ImageReceivePackage& package)
                                        { images.Add(package.fileName); });
        camera->SetLiveViewImageCallback([this](Q7::KPX::ImageReceivePackage&) { frames.Add({}); });
    }

    // Starts the agent and waits until it delivers; images keep coming.
    void Flow(Agent agent)
    {
        if (agent == Agent::kLiveView)
        {
            const int before = frames.Get();
            camera->StartLiveView();
            ASSERT_TRUE(frames.WaitFor(before + 3));
            return;
        }
        const int before = images.Get();
        ASSERT_NO_THROW(camera->StartTransfer());
        sim->Images().Capture(3);
        ASSERT_TRUE(images.WaitFor(before + 1));
        sim->Images().Capture(2);
    }

    // Stops the agent's threads while it delivers: the image-transfer agent on
    // its own, the live-view agent with the camera.
    void Stop(Agent agent)
    {
        if (agent == Agent::kLiveView)
            camera->Close();
        else
            camera->StopTransfer();
    }

    const E2eTransport transport;
    std::unique_ptr<Q7::Sim::Camera> sim;
    std::unique_ptr<Camera> camera;
    Counter images;
    Counter frames;
};

class SubChannelCloseE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, Agent>>
{
};

// The agent is stopped three times while images or frames flow. Faults caught:
// the control thread opening x.1 again during the stop, x.2 opened after
// another thread closed x.1, a command written after its channel's
// CloseRequest, and a stop that waits for a close reply held back by the
// other sub-channel.
TEST_P(SubChannelCloseE2e, StopsInOrderWhileImagesFlow)
{
    const auto [transport, agent] = GetParam();
    Rig rig(transport);
    for (int round = 0; round < 3; ++round)
    {
        SCOPED_TRACE(round);
        if (round > 0 && agent == Agent::kLiveView)
            rig.Open();
        ASSERT_NO_FATAL_FAILURE(rig.Flow(agent));
        const std::size_t stopFrom = rig.sim->Snapshot().packets.size();
        const auto stopping = std::chrono::steady_clock::now();
        rig.Stop(agent);
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);

        const Q7::Sim::Observations observed = rig.sim->Snapshot();
        for (const std::string& problem : SubChannelOrderProblems(observed, ChannelOf(agent), stopFrom))
            ADD_FAILURE() << problem;
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
    }
    if (agent == Agent::kImageTransfer)
    {
        // Every image the camera saw acknowledged reaches the receiver once:
        // one delivered before a stop had its acknowledgement reach the
        // camera before the close (else the camera sends it again).
        ASSERT_NO_THROW(rig.camera->StartTransfer());
        Q7::Sim::ImageTransferControl& sender = rig.sim->ImageTransfer();
        ASSERT_TRUE(sender.WaitUntil([](const auto& counters) { return counters.pending == 0; }, 20s));
        const std::size_t acknowledged = sender.Counters().imagesCompleted;
        EXPECT_TRUE(rig.images.WaitFor(static_cast<int>(acknowledged)));
        EXPECT_EQ(static_cast<std::size_t>(rig.images.Get()), acknowledged);
        const std::vector<std::string> repeated = rig.images.Repeated();
        EXPECT_TRUE(repeated.empty()) << "delivered twice: " << repeated.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Agents, SubChannelCloseE2e,
                         ::testing::Combine(::testing::Values(E2eTransport::Tcp, E2eTransport::Usb),
                                            ::testing::Values(Agent::kImageTransfer, Agent::kLiveView)),
                         [](const auto& param)
                         {
                             return std::string(std::get<0>(param.param) == E2eTransport::Tcp ? "Tcp"
                                                                                              : "Usb") +
                                    (std::get<1>(param.param) == Agent::kImageTransfer ? "ImageTransfer"
                                                                                       : "LiveView");
                         });

} // namespace
