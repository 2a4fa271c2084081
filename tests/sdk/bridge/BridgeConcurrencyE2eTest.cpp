// The camera bridge under threads: readers of two cameras while a third is
// opened and closed and a link drops, two threads closing one id, CloseSdk
// during a link loss and during an open, and a soak of a thousand cycles.

#include "BridgeTestSupport.h"

#include "SdkLogCapture.h"

#include <TavrinCpp/Descriptions.h>

#include <atomic>
#include <future>
#include <latch>
#include <map>
#include <mutex>
#include <set>

namespace
{

using namespace BridgeTest;
using namespace Q7::Tavrin;
using TestSupport::SdkLogCapture;
using TestSupport::SdkLogLine;

constexpr const char* kOneLock = "Only one lock may be held by current thread";

// The number of events of the type for the camera.
std::size_t Count(const std::vector<Event>& events, const std::string& type, std::int32_t cameraId)
{
    return static_cast<std::size_t>(std::count_if(
        events.begin(), events.end(),
        [&](const Event& event) { return event->Type().name == type && event->CameraId() == cameraId; }));
}

// Lines of the log that contain text.
long Containing(const SdkLogCapture& log, const std::string& text)
{
    const std::vector<SdkLogLine> lines = log.Lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const SdkLogLine& line) { return line.text.find(text) != std::string::npos; });
}

// Catches: a lock held across a camera call (a reader that waits for a close
// or an open), a second bridge lock taken while one is held, an event posted
// twice or to the wrong registrations, results other than success, "not
// open" or the reported error, and two closes of one id that both succeed.
TEST(BridgeConcurrencyE2eTest, EightReadersAnOpenerAndALinkDrop)
{
    InOwnProcess(
        [&]
        {
            SimulatedCamera first("SIM-A");
            SimulatedCamera second("SIM-B");
            SimulatedCamera third("SIM-C");
            first.Listen(Loopback(172));
            second.Listen(Loopback(173));
            third.Listen(Loopback(174));
            KpxLibTransport& bridge = Bridge();
            SdkLogCapture log;
            Listener all;
            // Registrations for one type each, matching every camera.
            std::uint32_t filtered = 0;
            ASSERT_EQ(Q7::TavrinC::RegisterListener(filtered), Success);
            ASSERT_EQ(Q7::TavrinC::EnableNotification(
                          filtered, BuildNotificationEvent(EventType::CameraDisconnected, 0, 0)),
                      Success);
            ASSERT_EQ(
                Q7::TavrinC::EnableNotification(
                    filtered, BuildNotificationEvent(SdkEventType::SdkCameraClosed, CameraInfo::Invalid, 0)),
                Success);

            int a = 0;
            int b = 0;
            ASSERT_EQ(bridge.OpenIpCamera(a, "127.0.0.172", nullptr, 5), Success);
            ASSERT_EQ(bridge.OpenIpCamera(b, "127.0.0.173", nullptr, 5), Success);

            constexpr int kReaders = 8;
            constexpr int kCycles = 10;
            std::atomic<bool> stop{false};
            std::atomic<int> unexpected{0};
            std::latch halfway(1);
            std::vector<std::future<std::map<int, int>>> readers;
            for (int r = 0; r < kReaders; ++r)
            {
                readers.push_back(std::async(std::launch::async,
                                             [&, r]
                                             {
                                                 std::map<int, int> results;
                                                 const int id = r % 2 == 0 ? a : b;
                                                 while (!stop)
                                                 {
                                                     PropertyValue value;
                                                     ++results[bridge.GetPropertyValue(id, 0x1001, value)];
                                                     std::vector<std::uint32_t> ids;
                                                     ++results[bridge.GetPropertyIds(id, ids)];
                                                 }
                                                 return results;
                                             }));
            }
            auto opener =
                std::async(std::launch::async,
                           [&]
                           {
                               std::vector<int> opened;
                               for (int cycle = 0; cycle < kCycles; ++cycle)
                               {
                                   int id = 0;
                                   if (bridge.OpenIpCamera(id, "127.0.0.174", nullptr, 5) != Success)
                                   {
                                       ++unexpected;
                                       continue;
                                   }
                                   opened.push_back(id);
                                   PropertyValue value;
                                   unexpected += bridge.GetPropertyValue(id, 0x1001, value) != Success;
                                   unexpected += bridge.CloseCamera(id) != Success;
                                   if (cycle == kCycles / 2)
                                   {
                                       halfway.count_down();
                                   }
                               }
                               return opened;
                           });
            halfway.wait();
            second.sim->DropAllConnections();
            ASSERT_EQ(opener.wait_for(120s), std::future_status::ready);
            const std::vector<int> opened = opener.get();
            ASSERT_NE(all.WaitFor(SdkEventType::SdkCameraClosed, b), nullptr);
            ASSERT_NE(all.WaitFor(SdkEventType::SdkCameraClosed, b), nullptr);
            stop = true;
            std::map<int, int> results;
            for (auto& reader : readers)
            {
                ASSERT_EQ(reader.wait_for(60s), std::future_status::ready);
                for (const auto& [code, count] : reader.get())
                {
                    results[code] += count;
                }
            }
            for (const auto& [code, count] : results)
            {
                EXPECT_TRUE(code == Success || code == CameraNotOpen || code == GeneralError)
                    << count << " calls gave " << code;
            }
            EXPECT_GT(results[Success], 0);
            EXPECT_EQ(unexpected, 0);
            EXPECT_EQ(opened.size(), static_cast<std::size_t>(kCycles));

            // Two threads close one id: one closes it.
            std::latch together(2);
            auto closeA = [&]
            {
                together.arrive_and_wait();
                return bridge.CloseCamera(a);
            };
            auto one = std::async(std::launch::async, closeA);
            auto other = std::async(std::launch::async, closeA);
            ASSERT_EQ(one.wait_for(60s), std::future_status::ready);
            ASSERT_EQ(other.wait_for(60s), std::future_status::ready);
            const std::multiset<int> closes{one.get(), other.get()};
            EXPECT_EQ(closes, (std::multiset<int>{CameraNotOpen, Success}));

            std::vector<Event> events = all.Rest();
            EXPECT_EQ(Count(events, "CameraDisconnected", b), 1u);
            EXPECT_EQ(Count(events, "SdkCameraClosed", b), 0u) << "both taken above";
            EXPECT_EQ(Count(events, "SdkCameraClosed", a), 1u);
            for (const int id : opened)
            {
                EXPECT_EQ(Count(events, "SdkCameraOpened", id), 1u) << id;
                EXPECT_EQ(Count(events, "SdkCameraClosed", id), 1u) << id;
            }
            std::vector<Event> onFilter;
            Q7::Tavrin::ErrorCode code = Success;
            while (Event event = Q7::TavrinC::WaitForNotification(filtered, code, 300))
            {
                onFilter.push_back(event);
            }
            EXPECT_EQ(Count(onFilter, "CameraDisconnected", b), 1u);
            EXPECT_EQ(Count(onFilter, "SdkCameraClosed", b), 2u);
            EXPECT_EQ(Count(onFilter, "SdkCameraClosed", a), 1u);
            EXPECT_EQ(onFilter.size(), 4u + opened.size());
            EXPECT_EQ(Containing(log, kOneLock), 0);
        });
}

struct CloseCase
{
    const char* name;
    bool dropLink; // a camera's link drops just before CloseSdk
    int odd;       // the addresses of the two cameras
    int even;
};

class BridgeCloseSdkE2eTest : public ::testing::TestWithParam<CloseCase>
{
};

// Catches: a close that skips a camera, closes them out of id order, joins
// the helper thread before the last close or hangs on a camera whose link
// is being lost; Deinit's closes that find no SDK to post to; and a second
// bridge lock taken on the way.
TEST_P(BridgeCloseSdkE2eTest, CloseSdkClosesEveryCameraInIdOrderAndJoinsLast)
{
    InOwnProcess(
        [&]
        {
            SimulatedCamera odd("SIM-ODD");
            SimulatedCamera even("SIM-EVEN");
            odd.Listen(Loopback(GetParam().odd));
            even.Listen(Loopback(GetParam().even));
            KpxLibTransport& bridge = Bridge();
            int id = 0;
            for (const int address : {GetParam().odd, GetParam().even, GetParam().odd})
            {
                ASSERT_EQ(bridge.OpenIpCamera(id, Loopback(address).c_str(), nullptr, 5), Success);
            }
            SdkLogCapture log;
            if (GetParam().dropLink)
            {
                even.sim->DropAllConnections();
            }
            auto closing = std::async(std::launch::async, [] { return Q7::TavrinC::CloseSdk(true); });
            ASSERT_EQ(closing.wait_for(60s), std::future_status::ready);
            EXPECT_EQ(closing.get(), Success);

            std::vector<std::string> order;
            std::string last;
            for (const SdkLogLine& line : log.Lines())
            {
                if (line.text.rfind("KpxLibTransport: Closing camera with ID=", 0) == 0)
                {
                    order.push_back(line.text);
                }
                if (line.text.rfind("KpxLibTransport", 0) == 0)
                {
                    last = line.text;
                }
            }
            const std::vector<std::string> all{"KpxLibTransport: Closing camera with ID=1...\n",
                                               "KpxLibTransport: Closing camera with ID=2...\n",
                                               "KpxLibTransport: Closing camera with ID=3...\n"};
            if (GetParam().dropLink)
            {
                // The helper thread may have closed camera 2 first.
                const std::vector<std::string> withoutTwo{all[0], all[2]};
                EXPECT_TRUE(order == all || order == withoutTwo) << ::testing::PrintToString(order);
                EXPECT_LE(log.Count("KpxLibTransport::CloseCamera: Sdk not open\n"), 1);
            }
            else
            {
                EXPECT_EQ(order, all);
                EXPECT_EQ(log.Count("KpxLibTransport::CloseCamera: Sdk not open\n"), 0)
                    << "Deinit posts to the closing SDK";
            }
            EXPECT_EQ(last, "KpxLibTransport: Joined!\n");
            EXPECT_EQ(Containing(log, kOneLock), 0);
            EXPECT_TRUE(odd.sim->WaitUntil([](const Q7::Sim::Observations& o)
                                           { return o.connectionsEnded == o.connectionsAccepted; },
                                           10s));
            EXPECT_TRUE(even.sim->WaitUntil([](const Q7::Sim::Observations& o)
                                            { return o.connectionsEnded == o.connectionsAccepted; },
                                            10s));
        });
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeCloseSdkE2eTest,
                         ::testing::Values(CloseCase{"Quiet", false, 175, 176},
                                           CloseCase{"DuringALinkDrop", true, 178, 179}),
                         [](const ::testing::TestParamInfo<CloseCase>& param) { return param.param.name; });

struct OpenCase
{
    const char* name;
    Q7::Sim::ChannelId slowChannel; // its OpenReply comes late: the open is there when CloseSdk starts
    std::set<int> results;          // what the open may give
    int address;
};

class BridgeCloseDuringOpenE2eTest : public ::testing::TestWithParam<OpenCase>
{
};

// Catches: an open that inserts its camera after CloseSdk collected the
// cameras to close (the camera then runs on, unclosed), an open or a close
// that hangs on the other, and the helper joined while an open still runs.
TEST_P(BridgeCloseDuringOpenE2eTest, AnOpenThatMeetsCloseSdkLeavesNothingRunning)
{
    InOwnProcess(
        [&]
        {
            SimulatedCamera camera;
            camera.sim->Faults().AddOpenFault({.channel = GetParam().slowChannel, .delay = 500ms});
            camera.Listen(Loopback(GetParam().address));
            KpxLibTransport& bridge = Bridge();
            SdkLogCapture log;
            auto opening = std::async(std::launch::async,
                                      [&]
                                      {
                                          int id = 0;
                                          return bridge.OpenIpCamera(id, Loopback(GetParam().address).c_str(),
                                                                     nullptr, 5);
                                      });
            ASSERT_TRUE(camera.sim->WaitUntil(
                [&](const Q7::Sim::Observations& o) {
                    return o.CountPackets(Q7::Sim::PacketType::OpenRequest, GetParam().slowChannel, true) > 0;
                },
                10s));
            EXPECT_EQ(Q7::TavrinC::CloseSdk(true), Success);
            ASSERT_EQ(opening.wait_for(60s), std::future_status::ready);
            const int result = opening.get();
            EXPECT_TRUE(GetParam().results.count(result) == 1) << result;
            EXPECT_TRUE(camera.sim->WaitUntil([](const Q7::Sim::Observations& o)
                                              { return o.connectionsEnded == o.connectionsAccepted; },
                                              10s))
                << "a camera left open";
            EXPECT_EQ(Containing(log, kOneLock), 0);
            EXPECT_EQ(log.Count("KpxLibTransport: Unexpected open-camera count (1) - should be zero\n"), 0);
        });
}

INSTANTIATE_TEST_SUITE_P(Cases, BridgeCloseDuringOpenE2eTest,
                         ::testing::Values(OpenCase{"WhileConnecting", {0, 0}, {SdkNotOpen}, 177},
                                           OpenCase{"WhileDeviceControlStarts",
                                                    {2, 0},
                                                    {Success, SdkNotOpen, CameraOpenFailed},
                                                    180}),
                         [](const ::testing::TestParamInfo<OpenCase>& param) { return param.param.name; });

} // namespace
