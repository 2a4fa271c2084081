// A thousand cycles of open, read, then close or link loss through the camera
// bridge, after which the process has the threads and descriptors it had
// before (and, under AddressSanitizer, no leak at exit).

#include "BridgeTestSupport.h"

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;

// Fewer under ThreadSanitizer, at its pace: a race shows in any cycle. The
// plain and AddressSanitizer builds keep the thousand: a leak that grows
// slowly, or what only many cycles exhaust (descriptors, ids).
#if defined(__SANITIZE_THREAD__)
constexpr int kCycles = 150;
#else
constexpr int kCycles = 1000;
#endif

bool AllConnectionsEnded(const SimulatedCamera& camera)
{
    return camera.sim->WaitUntil(
        [](const Q7::Sim::Observations& o) { return o.connectionsEnded == o.connectionsAccepted; }, 30s);
}

// Catches a camera, thread, descriptor or event that a close or a link loss
// leaves behind, a close that hangs after many cycles, and ids handed out
// twice.
TEST(BridgeSoakSlowTest, OpenReadThenCloseOrLinkLossThousandsOfTimes)
{
    InOwnProcess(
        [&]
        {
            SimulatedCamera camera;
            camera.Listen(Loopback(181));
            KpxLibTransport& bridge = Bridge();
            Listener listener;
            // A first cycle makes what lives as long as the SDK.
            int id = 0;
            ASSERT_EQ(bridge.OpenIpCamera(id, "127.0.0.181", nullptr, 5), Success);
            ASSERT_EQ(bridge.CloseCamera(id), Success);
            ASSERT_TRUE(AllConnectionsEnded(camera));
            listener.Rest();
            // Counted without the simulator, whose threads come and go as it
            // serves.
            camera.sim->Stop();
            const ProcessResources before = ProcessResources::Now();
            const std::string threadsBefore = ThreadNames();
            camera.Listen(Loopback(181));

            int expected = id + 1;
            for (int cycle = 0; cycle < kCycles; ++cycle)
            {
                SCOPED_TRACE(cycle);
                ASSERT_EQ(bridge.OpenIpCamera(id, "127.0.0.181", nullptr, 5), Success)
                    << Q7::TavrinC::GetErrorMessage();
                ASSERT_EQ(id, expected++);
                PropertyValue value;
                ASSERT_EQ(bridge.GetPropertyValue(id, 0x1001, value), Success);
                // The last cycle closes: a link loss's camera is destroyed on the
                // helper thread after its events, while the test goes on.
                if (cycle % 2 == 1)
                {
                    ASSERT_EQ(bridge.CloseCamera(id), Success);
                    ASSERT_NE(listener.WaitFor(SdkEventType::SdkCameraClosed, id), nullptr);
                }
                else
                {
                    camera.sim->DropAllConnections();
                    ASSERT_NE(listener.WaitFor(SdkEventType::SdkCameraClosed, id), nullptr);
                    ASSERT_NE(listener.WaitFor(SdkEventType::SdkCameraClosed, id), nullptr);
                    ASSERT_FALSE(bridge.IsCameraOpen(id));
                }
                listener.ClearSkipped();
            }
            ASSERT_TRUE(AllConnectionsEnded(camera));
            camera.sim->Stop();
            EXPECT_EQ(ProcessResources::Now(), before)
                << "before: " << threadsBefore << "\nafter: " << ThreadNames();
        });
}

} // namespace
