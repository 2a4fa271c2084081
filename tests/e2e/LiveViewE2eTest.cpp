// Live view through the KPX camera object against the simulated camera, over
// loopback TCP and the virtual USB bus: JPEG and RGB24 frames arriving valid
// and as sent, state and configuration notifications, a frame in flight
// dropped by a pause, the precise time, the versions that gate configID and
// the compression quality, the camera's faults (each costing its frame only),
// a refused 5.2, the automatic format followed by the stream, and the
// automatic format fed from the frame callback while other threads use the
// forwarders. The stream and fault cases also run with the camera spreading
// each frame over both sub-channels.

#include "Agents/ImageTransfer/KPXLiveViewImage.h"
#include "Camera/KPXCamera.h"
#include "E2eDataPath.h"
#include "E2eTransport.h"
#include "LogCapture.h"
#include "RaisedError.h"
#include "SimCamera.h"
#include "SubChannelOrder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace
{

using namespace E2e;
using namespace std::chrono_literals;
using Q7::KPX::Camera;
using Q7::KPX::CameraTimings;
using Q7::KPX::ImageReceivePackage;
using Q7::KPX::LiveViewImage;
namespace Lv = Q7::KPX::LiveView;
using TestSupport::RaisedBy;

constexpr Q7::Sim::ChannelId k51{5, 1};
constexpr Q7::Sim::ChannelId k52{5, 2};

// One frame as the callback saw it.
struct Frame
{
    bool valid = false;
    std::uint32_t frameNumber = 0;
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    bool bytesAsSent = false;
};

// The frames, notifications and subscription states a camera delivered.
// Thread-safe.
class Recorder
{
public:
    void OnFrame(const ImageReceivePackage& package)
    {
        Frame frame;
        try
        {
            const LiveViewImage image(package);
            frame.valid = true;
            frame.frameNumber = image.GetFrameNumber();
            frame.format = image.GetFormat();
            frame.width = image.GetWidth();
            frame.bytesAsSent = BytesAsSent(image);
        }
        catch (const Q7::Universal::ModuleError&)
        {
        }
        std::lock_guard lock(m_mutex);
        m_frames.push_back(frame);
        m_changed.notify_all();
    }

    void OnNotify(Camera::EnumNotify id, const Camera::NotifyPayload& payload)
    {
        std::lock_guard lock(m_mutex);
        if (id == Camera::kNotify_LiveViewStateChange)
            m_states.push_back(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(payload.get())));
        if (id == Camera::kNotify_LiveViewConfigurationChange)
            m_configurations.push_back(*static_cast<const Lv::Configuration*>(payload.get()));
        if (id == Camera::kNotify_DeviceDisconnected)
            ++m_disconnects;
        m_changed.notify_all();
    }

    void OnSubscription(Camera::SubscriptionNotifications kind, const Camera::SubscriptionPayload& payload)
    {
        std::lock_guard lock(m_mutex);
        if (kind == Camera::kSubscriptionNotification_LiveViewState && payload.index() == 2)
            m_subscriptionStates.push_back(std::get<2>(payload));
        m_changed.notify_all();
    }

    template <typename Predicate>
    bool WaitUntil(Predicate&& predicate, std::chrono::milliseconds timeout = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return predicate(*this); });
    }

    std::vector<Frame> Frames()
    {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }

    // Under the lock (WaitUntil's predicates).
    std::size_t ValidFrames(std::uint32_t format) const
    {
        std::size_t count = 0;
        for (const Frame& frame : m_frames)
            count += frame.valid && frame.format == format ? 1 : 0;
        return count;
    }
    std::size_t FrameCount() const { return m_frames.size(); }
    bool HasState(std::uint32_t state) const
    {
        return std::find(m_states.begin(), m_states.end(), state) != m_states.end();
    }
    bool HasSubscriptionState(std::uint32_t state) const
    {
        return std::find(m_subscriptionStates.begin(), m_subscriptionStates.end(), state) !=
               m_subscriptionStates.end();
    }
    std::size_t ConfigurationCount() const { return m_configurations.size(); }
    std::size_t Disconnects() const { return m_disconnects; }
    Lv::Configuration LastConfiguration() const { return m_configurations.back(); }

private:
    // The simulated camera's pattern: JPEG from FF D8 to FF D9 with
    // (frame + 7 i) between, RGB (frame + i).
    static bool BytesAsSent(const LiveViewImage& image)
    {
        const std::uint8_t* data = image.GetImageData();
        const std::uint32_t size = image.GetImageSize();
        const std::uint32_t n = image.GetFrameNumber();
        if (image.IsJpeg())
        {
            if (size < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[size - 2] != 0xFF ||
                data[size - 1] != 0xD9)
                return false;
            for (std::uint32_t i = 2; i + 2 < size; i += 997)
            {
                if (data[i] != static_cast<std::uint8_t>(n + i * 7))
                    return false;
            }
            return true;
        }
        for (std::uint32_t i = 0; i < size; i += 991)
        {
            if (data[i] != static_cast<std::uint8_t>(n + i))
                return false;
        }
        return size == image.GetLineSize() * image.GetHeight() &&
               data[size - 1] == static_cast<std::uint8_t>(n + size - 1);
    }

    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::vector<Frame> m_frames;
    std::vector<std::uint32_t> m_states;
    std::vector<std::uint32_t> m_subscriptionStates;
    std::vector<Lv::Configuration> m_configurations;
    std::size_t m_disconnects = 0;
};

// A stalled frame is noticed after 1.5 s (only the fault suite needs that;
// the others keep the default, so that a loaded machine is not taken for a
// stalled camera).
CameraTimings StallTimings()
{
    CameraTimings timings;
    timings.liveView.messageReadTimeoutMs = 1500;
    return timings;
}

// A simulated camera and a KPX camera object with live view wired to a recorder.
struct LiveRig
{
    explicit LiveRig(DataPath over,
                     Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default(),
                     const std::function<void(Q7::Sim::Camera&)>& prepare = {},
                     const CameraTimings& timings = {})
        : transport(over)
    {
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        sim->LiveView().SetFrameRate(200);
        if (over.spread)
            sim->LiveView().SpreadOverBothSubChannels(kSpreadSeed);
        if (prepare)
            prepare(*sim);
        sim->Start("127.0.0.1", 0);
        if (transport == E2eTransport::Tcp)
            camera = std::make_unique<Camera>(TcpMoniker(*sim), timings);
        else
            camera = std::make_unique<Camera>(std::make_unique<E2eUsbDevice>(*sim), timings);
        camera->SetNotifyCallback([this](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
                                  { recorder.OnNotify(id, payload); });
        camera->SetSubscriptionNotificationCallback(
            [this](Camera::SubscriptionNotifications kind, const Camera::SubscriptionPayload& payload)
            { recorder.OnSubscription(kind, payload); });
        camera->SetClientIdentity(nullptr);
        EXPECT_EQ(camera->Initialize(transport == E2eTransport::Tcp), 0u);
        EXPECT_EQ(camera->InitializeAgents(nullptr), 0u);
        camera->SetLiveViewImageCallback([this](ImageReceivePackage& package) { recorder.OnFrame(package); });
    }

    ~LiveRig()
    {
        camera.reset();
        sim->Stop();
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = sim->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
        for (const std::string& problem : SubChannelOrderProblems(observed, 5, SIZE_MAX))
            ADD_FAILURE() << problem;
    }

    const E2eTransport transport;
    std::unique_ptr<Q7::Sim::Camera> sim;
    std::unique_ptr<Camera> camera;
    Recorder recorder;
};

class LiveViewE2e : public ::testing::TestWithParam<DataPath>
{
};

// Catches frames that arrive damaged, in the wrong format or not at all, and
// state or configuration changes that are not notified.
TEST_P(LiveViewE2e, JpegAndRgbFramesArriveAsSentAndChangesAreNotified)
{
    LiveRig rig(GetParam());
    Camera& camera = *rig.camera;
    ASSERT_TRUE(camera.HasLiveView());
    EXPECT_EQ(camera.GetLiveViewState(), 0u);

    camera.StartLiveView();
    ASSERT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.ValidFrames(Lv::kFormat_Jpeg) >= 3; }));
    EXPECT_TRUE(
        rig.recorder.WaitUntil([](Recorder& r) { return r.HasState(1) && r.HasSubscriptionState(1); }));

    Lv::Configuration configuration = camera.GetLiveViewConfiguration();
    EXPECT_EQ(configuration.format, Lv::kFormat_Jpeg);
    configuration.format = Lv::kFormat_Rgb24;
    configuration.preferredMaxDimension = 320;
    camera.SetLiveViewConfiguration(configuration);
    ASSERT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.ValidFrames(Lv::kFormat_Rgb24) >= 3; }));
    EXPECT_TRUE(rig.recorder.WaitUntil(
        [](Recorder& r) { return r.ConfigurationCount() >= 1 && r.LastConfiguration().format == 1; }));

    camera.StopLiveView();
    EXPECT_TRUE(
        rig.recorder.WaitUntil([](Recorder& r) { return r.HasState(0) && r.HasSubscriptionState(0); }));
    for (const Frame& frame : rig.recorder.Frames())
    {
        EXPECT_TRUE(frame.valid);
        EXPECT_TRUE(frame.bytesAsSent) << frame.frameNumber;
        if (frame.format == Lv::kFormat_Rgb24)
        {
            EXPECT_EQ(frame.width, 320u);
        }
    }
    const Lv::Capabilities capabilities = camera.GetLiveViewCapabilities();
    EXPECT_TRUE(capabilities.jpeg);
    EXPECT_EQ(capabilities.qualityMin, 0.0f); // sent high to low
    EXPECT_EQ(capabilities.qualityMax, 100.0f);
    EXPECT_TRUE(camera.IsLiveViewWhiteBalancePointSupported());
    EXPECT_TRUE(camera.SetLiveViewWhiteBalancePoint(12, 34));
    EXPECT_TRUE(rig.sim->LiveView().WaitUntil([](const auto& c) { return c.whiteBalanceRequests == 1; }, 5s));
    EXPECT_EQ(rig.sim->LiveView().Counters().whiteBalanceX, 12u);
    rig.ExpectNoViolations();
}

// Catches a frame delivered after a pause, and a pause that is not notified:
// the frame queued while the callback was busy is dropped.
TEST_P(LiveViewE2e, PauseDropsTheFrameInFlight)
{
    LiveRig rig(GetParam());
    Camera& camera = *rig.camera;
    std::promise<void> firstFrame;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    camera.SetLiveViewImageCallback(
        [&](ImageReceivePackage&)
        {
            if (calls++ == 0)
            {
                firstFrame.set_value();
                released.wait();
            }
        });
    TestSupport::LogCapture log;
    camera.StartLiveView();
    ASSERT_EQ(firstFrame.get_future().wait_for(10s), std::future_status::ready);
    // The next frame completes and waits in the queue behind the busy callback.
    ASSERT_TRUE(log.WaitFor(L"KPX ch5 transfer time", 2));
    camera.PauseLiveView();
    release.set_value();
    EXPECT_TRUE(log.WaitFor(L"Live view stopped. Discarding live view image."));
    EXPECT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.HasState(2); }));
    const int delivered = calls.load();
    EXPECT_EQ(camera.GetLiveViewState(), 2u);
    EXPECT_EQ(calls.load(), delivered); // nothing more while paused
    camera.StopLiveView();
    EXPECT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.HasState(0); }));
}

// The application keeps both pool buffers (two frames): the next frame's
// DataBegin finds none free, so it is not acknowledged until the application
// lets one go, and then arrives. Faults caught: a frame acknowledged (and its
// blocks taken) without a buffer to receive them, or a begun frame that no
// thread waits for a buffer for, which never arrives.
TEST_P(LiveViewE2e, WithBothBuffersHeldTheNextFrameWaitsForOneBeforeItsAcknowledgement)
{
    LiveRig rig(GetParam());
    Camera& camera = *rig.camera;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<ImageReceivePackage> held; // guarded by mutex
    std::size_t frames = 0;                // guarded by mutex
    camera.SetLiveViewImageCallback(
        [&](ImageReceivePackage& package)
        {
            std::lock_guard lock(mutex);
            if (held.size() < 2)
                held.push_back(package);
            ++frames;
            changed.notify_all();
        });
    TestSupport::LogCapture log;
    camera.StartLiveView();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return held.size() == 2; }));
    }
    ASSERT_TRUE(log.WaitFor(L"KPX ch5 no buffer currently available. Waiting."));
    // One frame is begun and waits. The start may have cost a frame of its
    // own (see LiveViewFaults): the host aborted it.
    const Q7::Sim::LiveViewCounters waiting = rig.sim->LiveView().Counters();
    EXPECT_EQ(waiting.framesBegun, waiting.framesCompleted + waiting.abortedByHost + 1);
    EXPECT_LE(waiting.abortedByHost, 1u);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(frames, 2u);
        held.erase(held.begin()); // one buffer goes back to the pool
    }
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return frames >= 3; }));
    }
    camera.StopLiveView();
    std::lock_guard lock(mutex);
    held.clear();
}

// Catches a precise time answered by an old reply.
TEST_P(LiveViewE2e, PreciseTimeAdvancesBetweenCalls)
{
    LiveRig rig(GetParam());
    Camera& camera = *rig.camera;
    camera.StartLiveView();
    std::uint32_t first = 0;
    ASSERT_TRUE(camera.GetLiveViewPreciseTime(first));
    const std::size_t seen = rig.recorder.Frames().size();
    // Two frames later (5 ms apart at least) the camera's clock has moved.
    ASSERT_TRUE(rig.recorder.WaitUntil([seen](Recorder& r) { return r.FrameCount() >= seen + 2; }));
    std::uint32_t second = 0;
    ASSERT_TRUE(camera.GetLiveViewPreciseTime(second));
    EXPECT_GT(second, first);
    EXPECT_EQ(rig.sim->LiveView().Counters().timeRequests, 2u);
}

INSTANTIATE_TEST_SUITE_P(Transports, LiveViewE2e, AllDataPaths(), DataPathParamName);

struct VersionCase
{
    Q7::Sim::Version highest;
    std::uint16_t configIdKept;
    std::uint8_t compQualityKept;
};

class LiveViewVersions : public ::testing::TestWithParam<VersionCase>
{
};

// Catches configID or the compression quality sent on a version that lacks
// them (a camera of 1.0 reads a 60-byte message as a fault).
TEST_P(LiveViewVersions, VersionGatesConfigIdAndCompQuality)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    for (auto& channel : description.channels)
    {
        if (channel.id == k51)
        {
            std::vector<Q7::Sim::Version> versions;
            for (const Q7::Sim::Version v : channel.versions)
                if (!(GetParam().highest < v))
                    versions.push_back(v);
            channel.versions = versions;
        }
    }
    LiveRig rig(E2eTransport::Tcp, description);
    Camera& camera = *rig.camera;
    camera.StartLiveView();
    Lv::Configuration configuration = camera.GetLiveViewConfiguration();
    configuration.configID = {true, 7, {}};
    configuration.compQuality = {true, 60, {}};
    configuration.preferredMaxDimension = 100;
    camera.SetLiveViewConfiguration(configuration);
    ASSERT_TRUE(rig.sim->LiveView().WaitUntil([](const auto& c) { return c.setConfigurations == 1; }, 5s));
    const Q7::Sim::LiveViewConfiguration stored = rig.sim->LiveView().Configuration();
    EXPECT_EQ(stored.configId, GetParam().configIdKept);
    EXPECT_EQ(stored.compQuality, GetParam().compQualityKept);
    EXPECT_EQ(stored.preferredDimension, 100u);
    if (GetParam().configIdKept == 0)
    {
        EXPECT_THROW(camera.SetLiveViewAutoFormat(true), Q7::Universal::ModuleError);
    }
    rig.ExpectNoViolations();
}

INSTANTIATE_TEST_SUITE_P(LiveView, LiveViewVersions,
                         ::testing::Values(VersionCase{{1, 0}, 0, 80}, VersionCase{{1, 1}, 7, 80},
                                           VersionCase{{1, 2}, 7, 60}),
                         [](const auto& param) { return "V1" + std::to_string(param.param.highest.minor); });

struct FaultCase
{
    const char* name;
    Q7::Sim::LiveViewFault fault;
    bool deliveredInvalid;  // the frame reaches the callback and fails its checks
    bool completes = false; // the camera sees the frame acknowledged (and nothing is delivered)
    bool restart = false;   // the sub-channels are reopened: live view stops and is started again
    bool whole = false;     // the frame is good: acknowledged without a DataError or DataAbort
};

class LiveViewFaults : public ::testing::TestWithParam<std::tuple<DataPath, FaultCase>>
{
};

// Catches a camera fault that costs more than its own frame, delivers a
// damaged frame as valid, or hangs the stream.
TEST_P(LiveViewFaults, EachFaultCostsItsFrameOnly)
{
    const auto& [transport, test] = GetParam();
    LiveRig rig(
        transport, Q7::Sim::CameraDescription::Default(),
        [](Q7::Sim::Camera& sim) { sim.LiveView().SetBlockSize(64 * 1024); }, StallTimings());
    Camera& camera = *rig.camera;
    camera.StartLiveView();
    ASSERT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.FrameCount() >= 2; }));
    // The start may cost a frame of its own: the camera's answer to the agent's
    // first SetControl(0) can be read after the DataBegin that followed the
    // SetControl(1) on the other sub-channel. Only what the fault costs counts.
    const std::size_t abortedBeforeFault = rig.sim->LiveView().Counters().abortedByHost;
    rig.sim->LiveView().AddFault(test.fault);
    ASSERT_TRUE(rig.sim->LiveView().WaitUntil([](const auto& c) { return c.faultsApplied == 1; }, 10s));
    if (test.restart)
    {
        // A stalled frame closes both sub-channels: live view is stopped.
        ASSERT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.HasState(0); }));
        ASSERT_TRUE(
            rig.sim->LiveView().WaitUntil([](const auto& c) { return c.capabilityRequests >= 2; }, 10s));
        camera.StartLiveView();
    }
    const std::size_t completed = rig.sim->LiveView().Counters().framesCompleted;
    ASSERT_TRUE(rig.sim->LiveView().WaitUntil(
        [&](const auto& c) { return c.framesCompleted >= completed + 3; }, 15s));
    camera.StopLiveView();

    std::set<std::uint32_t> sentComplete;
    std::set<std::uint32_t> sentIncomplete;
    for (const Q7::Sim::SentFrame& sent : rig.sim->LiveView().Sent())
        (sent.completed ? sentComplete : sentIncomplete).insert(sent.frameNumber);
    std::size_t invalid = 0;
    for (const Frame& frame : rig.recorder.Frames())
    {
        if (!frame.valid)
        {
            ++invalid;
            continue;
        }
        EXPECT_TRUE(frame.bytesAsSent) << frame.frameNumber;
        // The frame in flight at StopLiveView may reach the callback while the
        // camera, stopped, never sees its acknowledgement: only frames before
        // the camera's last finished one count.
        if (!sentComplete.empty() && frame.frameNumber < *sentComplete.rbegin())
        {
            EXPECT_EQ(sentIncomplete.count(frame.frameNumber), 0u) << "a frame the camera never finished";
        }
    }
    EXPECT_EQ(invalid, test.deliveredInvalid ? 1u : 0u);
    if (!test.deliveredInvalid && !test.completes)
    {
        EXPECT_GE(sentIncomplete.size(), 1u);
    }
    if (test.whole)
    {
        const Q7::Sim::LiveViewCounters counters = rig.sim->LiveView().Counters();
        EXPECT_TRUE(counters.hostDataErrors.empty());
        EXPECT_EQ(counters.abortedByHost, abortedBeforeFault);
    }
}

Q7::Sim::LiveViewFault Fault(Q7::Sim::LiveViewFaultKind kind)
{
    Q7::Sim::LiveViewFault fault;
    fault.kind = kind;
    fault.afterBytes = 64 * 1024;
    return fault;
}

Q7::Sim::LiveViewFault MaxSize(std::uint64_t size)
{
    Q7::Sim::LiveViewFault fault = Fault(Q7::Sim::LiveViewFaultKind::MaxDataSize);
    fault.maxDataSize = size;
    return fault;
}

Q7::Sim::LiveViewFault Malformed(int check)
{
    Q7::Sim::LiveViewFault fault = Fault(Q7::Sim::LiveViewFaultKind::MalformedLvim);
    fault.check = check;
    return fault;
}

const FaultCase kFaults[] = {
    {"AbortMidFrame", Fault(Q7::Sim::LiveViewFaultKind::AbortMidFrame), false},
    {"ShortDataEnd", Fault(Q7::Sim::LiveViewFaultKind::ShortDataEnd), false},
    {"StallMidFrame", Fault(Q7::Sim::LiveViewFaultKind::StallMidFrame), false, false, true},
    {"BlockBeyondMaxSize", Fault(Q7::Sim::LiveViewFaultKind::BlockBeyondMaxSize), false},
    {"MaxDataSizeFFC00001", MaxSize(0xFFC00001), false},
    {"MaxDataSize2To32", MaxSize(std::uint64_t{1} << 32), false},
    {"ZeroSizeFrame", Fault(Q7::Sim::LiveViewFaultKind::ZeroSizeFrame), false, true},
    // A frame whose DataEnd (on 5.1) comes while its last block (on 5.2) is
    // still on its way was refused with DataError 0x2000006.
    {"EndBesideLastBlock", Fault(Q7::Sim::LiveViewFaultKind::EndBesideLastBlock), false, true, false, true},
    {"MalformedFileSize", Malformed(2), true},
    {"MalformedMarker", Malformed(3), true},
    {"MalformedHeaderSize", Malformed(4), true},
    {"MalformedVersion", Malformed(5), true},
    {"MalformedImageArea", Malformed(6), true},
    {"MalformedStatusArea", Malformed(7), true},
    {"MalformedOverlap", Malformed(8), true},
    {"MalformedLineSize", Malformed(10), true},
    {"MalformedPixelSize", Malformed(11), true},
    {"MalformedOrientation", Malformed(13), true},
    {"MalformedSourceCrop", Malformed(15), true},
    {"MalformedRequestedCrop", Malformed(16), true},
};

INSTANTIATE_TEST_SUITE_P(LiveView, LiveViewFaults,
                         ::testing::Combine(AllDataPaths(), ::testing::ValuesIn(kFaults)),
                         [](const auto& param) {
                             return std::string(std::get<1>(param.param).name) +
                                    DataPathName(std::get<0>(param.param));
                         });

class LiveViewLinkLoss : public ::testing::TestWithParam<E2eTransport>
{
};

// Catches a link lost in the middle of a frame that the camera never reports
// as a disconnect (so nobody closes it), and a mid-frame fault that falls
// inside the frame's only block and so never happens: the loss is notified
// exactly once, Close included.
TEST_P(LiveViewLinkLoss, ADropInsideTheFramesOnlyBlockIsNotifiedOnce)
{
    LiveRig rig(GetParam(), Q7::Sim::CameraDescription::Default(),
                [](Q7::Sim::Camera& sim) { sim.LiveView().SetFrameRate(0); });
    Camera& camera = *rig.camera;
    camera.StartLiveView();
    ASSERT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.FrameCount() >= 2; }));
    Q7::Sim::LiveViewFault fault = Fault(Q7::Sim::LiveViewFaultKind::DropMidFrame);
    fault.afterBytes = 64; // a frame is one 1 MiB block: the drop falls inside it
    rig.sim->LiveView().AddFault(fault);
    EXPECT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.Disconnects() >= 1; }, 10s));
    EXPECT_TRUE(camera.GetDisconnectedEvent().IsSet());
    camera.Close();
    EXPECT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.Disconnects() == 1; }, 0s));
}

INSTANTIATE_TEST_SUITE_P(LiveView, LiveViewLinkLoss, AllTransports(), TransportName);

// Catches a control thread that spins on a camera refusing 5.2 (or gives up):
// it asks again about once a second, and streams once 5.2 opens.
TEST(LiveViewRefused, SecondSubChannelRefusedIsRetriedAboutOnceASecond)
{
    const auto start = std::chrono::steady_clock::now();
    LiveRig rig(E2eTransport::Tcp, Q7::Sim::CameraDescription::Default(),
                [](Q7::Sim::Camera& sim)
                {
                    Q7::Sim::OpenFault fault;
                    fault.channel = k52;
                    fault.count = 3;
                    fault.action = Q7::Sim::OpenAction::ErrorReply;
                    sim.Faults().AddOpenFault(fault);
                });
    // The first request of the control thread follows the first open of both.
    ASSERT_TRUE(rig.sim->LiveView().WaitUntil([](const auto& c) { return c.capabilityRequests >= 1; }, 10s));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rig.sim->Snapshot().CountPackets(Q7::Sim::PacketType::OpenRequest, k52, true), 4u);
    EXPECT_GE(elapsed, 2500ms); // three refusals, a second apart: not a spin
    rig.camera->StartLiveView();
    EXPECT_TRUE(rig.recorder.WaitUntil([](Recorder& r) { return r.ValidFrames(Lv::kFormat_Jpeg) >= 1; }));
}

// Catches a configuration accepted while the live-view threads are stopped
// (here 5.1 refused once at InitializeAgents): it needs StartLiveView first.
TEST(LiveViewRefused, ConfigurationBeforeStartThrowsWhileThreadsStopped)
{
    LiveRig rig(E2eTransport::Tcp, Q7::Sim::CameraDescription::Default(),
                [](Q7::Sim::Camera& sim)
                {
                    Q7::Sim::OpenFault fault;
                    fault.channel = k51;
                    fault.count = 1;
                    fault.action = Q7::Sim::OpenAction::ErrorReply;
                    sim.Faults().AddOpenFault(fault);
                });
    Camera& camera = *rig.camera;
    EXPECT_EQ(RaisedBy([&] { camera.SetLiveViewConfiguration(Lv::Configuration{}); }).code, 0x15E006Bu);
    camera.StartLiveView();
    Lv::Configuration configuration = camera.GetLiveViewConfiguration();
    configuration.preferredMaxDimension = 128;
    camera.SetLiveViewConfiguration(configuration);
    EXPECT_TRUE(rig.sim->LiveView().WaitUntil([](const auto& c) { return c.setConfigurations == 1; }, 5s));
}

// Catches an automatic format whose decisions never reach the camera: JPEG
// frames that take far longer than the link needs switch the stream to RGB.
TEST(LiveViewAutoFormat, StreamFollowsTheDecisions)
{
    LiveRig rig(E2eTransport::Tcp, Q7::Sim::CameraDescription::Default(),
                [](Q7::Sim::Camera& sim) { sim.LiveView().SetFrameTime(50); });
    Camera& camera = *rig.camera;
    camera.SetLiveViewImageCallback(
        [&](ImageReceivePackage& package)
        {
            rig.recorder.OnFrame(package);
            const LiveViewImage image(package);
            std::uint32_t word = 0;
            if (image.GetHeaderWord37(word) || !image.IsJpeg())
                camera.LiveViewImageDelivered(word, image.GetPayloadSize(), image.GetImageSize(),
                                              image.IsJpeg());
        });
    camera.StartLiveView();
    camera.SetLiveViewAutoFormat(true);
    EXPECT_TRUE(camera.IsLiveViewAutoFormat());
    ASSERT_TRUE(
        rig.recorder.WaitUntil([](Recorder& r) { return r.ValidFrames(Lv::kFormat_Rgb24) >= 1; }, 15s));
    EXPECT_EQ(rig.sim->LiveView().Configuration().format, Lv::kFormat_Rgb24);
    camera.StopLiveView();
}

// Catches a deadlock or race between the frame callback feeding the
// automatic format and forwarders called from other threads.
TEST(LiveViewThreads, CallbackFeedsAutoFormatWhileOtherThreadsUseForwarders)
{
    // Declared before the rig: the callback may still run while the rig's
    // camera stops, so the counter it touches must outlive the camera.
    std::atomic<int> delivered{0};
    // The first reply of each kind is waited for by whichever call needs it
    // first: a sanitized run on a loaded machine must not take a slow reply
    // for a camera that does not answer.
    CameraTimings timings;
    timings.liveView.retrieveWaitMs = 10000;
    LiveRig rig(E2eTransport::Tcp, Q7::Sim::CameraDescription::Default(), {}, timings);
    Camera& camera = *rig.camera;
    camera.SetLiveViewImageCallback(
        [&](ImageReceivePackage& package)
        {
            const LiveViewImage image(package);
            std::uint32_t word = 0;
            image.GetHeaderWord37(word);
            camera.LiveViewImageDelivered(word, image.GetPayloadSize(), image.GetImageSize(), image.IsJpeg());
            ++delivered;
            rig.recorder.OnFrame(package);
        });
    camera.StartLiveView();
    // Each thread makes a bounded number of calls (a loop without end would
    // only measure how fast the camera answers a flood of configurations).
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back(
            [&, t]
            {
                // A raised error is a failure of this test, not the end of
                // the process (as it would be, leaving a std::thread).
                const TestSupport::Raised raised = RaisedBy(
                    [&]
                    {
                        for (int i = 0; i < 40; ++i)
                        {
                            EXPECT_LE(camera.GetLiveViewState(), 2u);
                            Lv::Configuration configuration = camera.GetLiveViewConfiguration();
                            if (t == 0)
                            {
                                camera.SetLiveViewAutoFormat(i % 2 == 0);
                            }
                            else
                            {
                                configuration.preferredMaxDimension = i % 2 == 0 ? 240 : 200;
                                camera.SetLiveViewConfiguration(configuration);
                            }
                        }
                    });
                EXPECT_EQ(raised, TestSupport::Raised{}) << "thread " << t;
            });
    for (std::thread& thread : threads)
        thread.join();
    // Frames went on meanwhile and still do.
    const int before = delivered.load();
    EXPECT_TRUE(rig.recorder.WaitUntil([&](Recorder&) { return delivered.load() >= before + 5; }, 20s))
        << delivered.load() << " frames";
    camera.StopLiveView();
    rig.ExpectNoViolations();
}

} // namespace
