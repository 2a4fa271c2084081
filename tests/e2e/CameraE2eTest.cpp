// The KPX camera object against simulated cameras: opening under the
// machine-wide mutex, device control, properties, transfers, refusals, the
// connection lost at every phase, and a Close that a stuck camera cannot hang.

#include "DeviceControlE2eSupport.h"

#include "Agents/Programming/KPXProgramming.h"
#include "Camera/KPXCamera.h"
#include "CameraTestSupport.h"
#include "ProcessResources.h"
#include "Q7PlatformNamedMutex_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "RaisedError.h"
#include "SimProgrammingHandler.h"
#include "TempFolder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <thread>

namespace
{

using namespace E2e;
using Q7::KPX::Camera;
using Q7::KPX::CameraTimings;
using TestSupport::Bytes;
using TestSupport::RaisedBy;
using TestSupport::TestBytes;
using Clock = std::chrono::steady_clock;

constexpr Q7::Sim::ChannelId k00{0, 0};
constexpr Q7::Sim::ChannelId k10{1, 0};
constexpr Q7::Sim::ChannelId k20{2, 0};
constexpr std::uint32_t kIso = 0x1001; // the first property of the default model
constexpr std::uint32_t kLogKind = 2;  // log id 104
constexpr std::uint32_t kLogId = 104;
constexpr const char* kCode = "open sesame";

using TestSupport::ProcessResources;

// One simulated camera serving 0.0, 1.0 and 2.0 (authentication code kCode),
// with a KPX camera object made for it.
struct Rig
{
    explicit Rig(E2eTransport over, const CameraTimings& timings = {},
                 const std::function<void(Q7::Sim::CameraDescription&)>& adjust = {})
        : transport(over)
    {
        Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
        description.authenticationCode = kCode;
        if (adjust)
            adjust(description);
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        sim->SetChannelHandler(k10, Q7::Sim::ProgrammingHandler::Factory(store));
        sim->SetChannelHandler(k20, Q7::Sim::DeviceControlHandler::Factory(model));
        sim->Start("127.0.0.1", 0);
        store->SetLog(kLogId, log, true);
        camera = MakeCamera(timings);
        camera->SetNotifyCallback(notified.Sink());
        camera->SetErrorCallback(errors.Callback());
    }
    // A camera object for the simulated camera: over TCP from its moniker,
    // over USB on a device on a virtual bus of its own.
    std::unique_ptr<Camera> MakeCamera(const CameraTimings& timings = {})
    {
        if (transport == E2eTransport::Tcp)
            return std::make_unique<Camera>(TcpMoniker(*sim), timings, LockFolder().c_str());
        auto device = std::make_unique<E2eUsbDevice>(*sim);
        usb = device.get();
        return std::make_unique<Camera>(std::move(device), timings, LockFolder().c_str());
    }
    // The folder of the initialisation mutex's lock file: the rig's own, never
    // the machine's.
    std::string LockFolder() const { return locks.Root(); }

    ~Rig()
    {
        camera.reset();
        sim->Stop();
    }

    // Initialize and InitializeAgents as the layer above does: the control
    // transport is kept for TCP cameras only.
    void Open(const char* code = kCode)
    {
        camera->SetClientIdentity(code);
        ASSERT_EQ(camera->Initialize(transport == E2eTransport::Tcp), 0u);
        ASSERT_EQ(camera->InitializeAgents(nullptr), 0u);
    }

    std::uint64_t HostBytesOn(Q7::Sim::ChannelId channel) const
    {
        const auto observed = sim->Snapshot();
        const auto found = observed.data.find(channel);
        return found == observed.data.end() ? 0 : found->second.bytesFromHost;
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = sim->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
    }

    const E2eTransport transport;
    TestSupport::TempFolder locks;
    E2eUsbDevice* usb = nullptr; // the newest camera's device on USB (owned by the camera)
    const Bytes log = TestBytes(300000, 7);
    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    std::shared_ptr<Q7::Sim::DeviceControlModel> model =
        std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
    std::unique_ptr<Q7::Sim::Camera> sim;
    TestSupport::CameraNotifyCounter notified{10s};
    ErrorRecorder errors;
    std::unique_ptr<Camera> camera;
};

// The open payloads of the host's OpenRequests on `channel`, in order.
std::vector<Q7::Sim::OpenPayload> HostOpenRequests(const Q7::Sim::Camera& sim, Q7::Sim::ChannelId channel)
{
    std::vector<Q7::Sim::OpenPayload> found;
    for (const auto& packet : sim.Snapshot().packets)
    {
        if (packet.fromHost && packet.header.Channel() == channel &&
            packet.header.type == static_cast<std::uint8_t>(Q7::Sim::PacketType::OpenRequest))
            found.push_back(Q7::Sim::DecodeOpenPayload(packet.payload));
    }
    return found;
}

class CameraE2e : public ::testing::TestWithParam<E2eTransport>
{
protected:
    TestSupport::LogCapture logs;
};

// What only TCP cameras do: keep channel 0.0 open (so its connection limit
// shows), offer channels on other ports; and what needs no second transport.
class CameraTcpE2e : public ::testing::Test
{
protected:
    static E2eTransport GetParam() { return E2eTransport::Tcp; }
    TestSupport::LogCapture logs;
};

// Runs the whole road on a rig: device control, properties read and set, a
// firmware upload and a log download (each starting and stopping channel 1.0
// around it), then Close.
void RunTheRoad(Rig& rig)
{
    Camera& camera = *rig.camera;
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    EXPECT_TRUE(camera.IsOpen());
    if (rig.transport == E2eTransport::Tcp)
        EXPECT_EQ(camera.GetConnectionType(), Q7::KPX::Transport::kConnectionType_Tcp);
    else
        EXPECT_NE(camera.GetConnectionType(), Q7::KPX::Transport::kConnectionType_Unknown);
    EXPECT_EQ(camera.GetDeviceInfo().serialNumber, "SIM0000001");
    EXPECT_TRUE(camera.HasProgramming());
    EXPECT_TRUE(camera.HasDeviceControl());

    camera.StartDeviceControl();
    ASSERT_TRUE(camera.IsDeviceControlStarted());
    std::vector<unsigned int> modelIds;
    for (const auto& property : rig.model->Properties())
        modelIds.push_back(property.id);
    EXPECT_EQ(camera.GetPropertyIds(), modelIds);
    Camera::PropertyState state;
    ASSERT_TRUE(camera.GetPropertyState(kIso, state));
    EXPECT_EQ(state.value.text, "ISO 200");

    ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
    ASSERT_TRUE(rig.notified.WaitForStateChange(kIso));
    ASSERT_TRUE(camera.GetPropertyState(kIso, state));
    EXPECT_EQ(state.value.text, "ISO 800");
    EXPECT_EQ(rig.model->Find(kIso)->value.bytes, Q7::Sim::SimValue::U32(800).bytes);

    const Bytes firmware = TestBytes(200000, 3);
    std::atomic<bool> finished{false};
    EXPECT_TRUE(camera.UpdateFirmware([&](const Q7::Universal::ProgressTask& task)
                                      { finished = finished || task.IsCompleted(); },
                                      firmware.data(), firmware.size()));
    EXPECT_TRUE(finished);
    EXPECT_FALSE(camera.IsProgrammingStarted());
    ASSERT_EQ(rig.store->Uploads().size(), 1u);
    EXPECT_EQ(rig.store->Uploads()[0].bytes, firmware);

    EXPECT_EQ(camera.DownloadLog(kLogKind, true), rig.log);
    EXPECT_FALSE(camera.IsProgrammingStarted());

    // Channel 0.0 never presents the identity (1.0 and 2.0 were accepted, so
    // theirs was right).
    const auto enumerationOpens = HostOpenRequests(*rig.sim, k00);
    ASSERT_EQ(enumerationOpens.size(), 1u);
    EXPECT_EQ(enumerationOpens[0].identity, (std::array<std::uint8_t, 32>{}));

    camera.Close();
    EXPECT_FALSE(camera.IsOpen());
    EXPECT_TRUE(camera.IsInitialized());
    if (rig.transport == E2eTransport::Tcp) // on USB the camera's pipes live while it is plugged
    {
        EXPECT_TRUE(rig.sim->WaitUntil(
            [](const Q7::Sim::Observations& o) { return o.connectionsEnded == o.connectionsAccepted; }, 10s));
    }
    EXPECT_EQ(rig.notified.Count(Camera::kNotify_DeviceDisconnected), 0u);
    rig.ExpectNoViolations();
}

// Catches: a request routed to the wrong agent, an identity that does not
// reach 1.0 and 2.0 (the cameras check it: status 6), a programming agent left
// running after an on-demand transfer, two cameras that share state, and a
// Close that leaves a thread, a descriptor or a connection behind.
TEST_P(CameraE2e, TwoCamerasOpenControlTransferAndCloseLeavingNothing)
{
    const ProcessResources before = ProcessResources::Baseline();
    {
        Rig first(GetParam());
        Rig second(GetParam());
        std::thread other([&] { RunTheRoad(second); });
        RunTheRoad(first);
        other.join();
    }
    EXPECT_EQ(ProcessResources::Now(), before);
}

// Catches what one open and close leaves behind (threads, descriptors; memory
// under the sanitizers), and a camera that cannot be opened again after Close
// (the device is reopened and the transports restarted).
TEST_P(CameraE2e, OpenedAndClosedAHundredTimesLeavesNothingSlow)
{
    const ProcessResources before = ProcessResources::Baseline();
    {
        Rig rig(GetParam());
        for (int round = 0; round < 100; ++round)
        {
            SCOPED_TRACE(round);
            if (round % 2 == 0)
                rig.camera = rig.MakeCamera();
            ASSERT_NO_FATAL_FAILURE(rig.Open());
            rig.camera->StartDeviceControl();
            ASSERT_TRUE(rig.camera->HasProperty(kIso));
            rig.camera->Close();
        }
        rig.ExpectNoViolations();
    }
    EXPECT_EQ(ProcessResources::Now(), before);
}

// Catches: the camera's connection limit swallowed (it must come out of
// Initialize), a wrong code refused only later than the start of device
// control (0.0 never checks it), and a refused camera left half-open.
TEST_F(CameraTcpE2e, RefusalsComeOutWithTheirCodes)
{
    Rig rig(GetParam(), {},
            [](Q7::Sim::CameraDescription& description)
            {
                for (auto& channel : description.channels)
                {
                    if (channel.id == k00)
                        channel.maxOpenConnections = 1;
                }
            });
    rig.camera->SetClientIdentity("not the code");
    ASSERT_EQ(rig.camera->Initialize(true), 0u);
    ASSERT_EQ(rig.camera->InitializeAgents(nullptr), 0u);
    EXPECT_EQ(RaisedBy([&] { rig.camera->StartDeviceControl(); }).code, 0x15E0010u);
    EXPECT_FALSE(rig.camera->IsDeviceControlStarted());

    // The first camera holds 0.0; a second one is over the limit.
    Camera second(TcpMoniker(*rig.sim), {}, rig.LockFolder().c_str());
    EXPECT_EQ(RaisedBy([&] { second.Initialize(true); }).code, 0x15E000Fu);
    EXPECT_FALSE(second.IsInitialized());
    EXPECT_FALSE(second.IsOpen());
    EXPECT_EQ(RaisedBy([&] { second.InitializeAgents(nullptr); }).code, 0x650069u);

    // Once the first is shut down, the second opens and the right code works.
    rig.camera->Shutdown();
    second.SetClientIdentity(kCode);
    ASSERT_EQ(second.Initialize(true), 0u);
    ASSERT_EQ(second.InitializeAgents(nullptr), 0u);
    second.StartDeviceControl();
    EXPECT_TRUE(second.IsDeviceControlStarted());
}

// Catches errors met on the camera's threads (here channel 2.0's, once a
// malformed header ended its transport's receiving) that do not reach the camera's own error
// callback.
TEST_F(CameraTcpE2e, ErrorsOfTheCamerasThreadsReachItsErrorCallback)
{
    Rig rig(GetParam());
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    rig.camera->StartDeviceControl();
    ASSERT_TRUE(
        rig.sim->SendMalformedHeader(rig.sim->LatestConnection(), Q7::Sim::MalformedHeader::BadMagic, k20));
    // The transport stops receiving; channel 2.0's state thread then finds its
    // channel unanswered and dispatches that, through the agent, to the camera.
    // (The live-view agent's threads may report the lost stream first.)
    EXPECT_TRUE(rig.errors.WaitFor(0x6500CFu, L"KPX channel 2.0 open timeout."));
    rig.camera->Close();
}

// Catches a request on a camera that does not offer 1.0 and 2.0 reaching a
// missing agent (a crash) instead of its documented empty result or error.
TEST_P(CameraE2e, WithoutChannels1And2EveryRequestGivesItsEmptyResult)
{
    Rig rig(GetParam(), {},
            [](Q7::Sim::CameraDescription& description)
            {
                for (auto& channel : description.channels)
                    channel.listed = channel.id != k10 && channel.id != k20;
            });
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    EXPECT_FALSE(camera.HasProgramming());
    EXPECT_FALSE(camera.HasDeviceControl());

    camera.StartDeviceControl();
    EXPECT_FALSE(camera.IsDeviceControlStarted());
    Camera::Property property;
    EXPECT_FALSE(camera.GetProperty(kIso, property));
    EXPECT_TRUE(camera.GetPropertyIds().empty());
    EXPECT_EQ(camera.GetPropertyType(kIso), 0u);
    EXPECT_FALSE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(400))));
    camera.ShutterRelease();

    const std::uint8_t byte = 0;
    for (const auto& request :
         std::vector<std::function<void()>>{
             [&] { camera.DownloadLog(kLogKind, false); },
             [&] { camera.UpdateFirmware({}, &byte, 1); },
             [&] { camera.SendData(5, &byte, 1, L"x"); },
             [&] { camera.StartProgramming(); },
         })
        EXPECT_EQ(RaisedBy(request).code, 0x650068u);
    camera.StopProgramming(); // logs the error instead of raising it
    EXPECT_EQ(logs.Count(L"KPX camera programming.", Q7::Universal::kLogMsgType_Error), 1u);
    EXPECT_EQ(rig.errors.Entries().size(), 0u);
    // Nothing asked for 1.0 or 2.0 (live view opens its own channels).
    const auto snapshot = rig.sim->Snapshot();
    EXPECT_EQ(snapshot.CountPackets(Q7::Sim::PacketType::OpenRequest, k00, true), 1u);
    EXPECT_EQ(snapshot.CountPackets(Q7::Sim::PacketType::OpenRequest, k10, true), 0u);
    EXPECT_EQ(snapshot.CountPackets(Q7::Sim::PacketType::OpenRequest, k20, true), 0u);
}

// Catches a legacy camera's channels opened at versions it does not speak:
// its channel list announces majors 0 to 11, and each channel is fixed to the
// legacy table's version.
TEST_P(CameraE2e, ALegacyCamerasChannelsOpenAtTheLegacyVersions)
{
    Rig rig(GetParam(), {},
            [](Q7::Sim::CameraDescription& description)
            {
                for (auto& channel : description.channels)
                {
                    if (channel.id == k10 || channel.id == k20)
                    {
                        channel.listedLowestMajor = 0;
                        channel.listedHighestMajor = 11;
                    }
                }
            });
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    rig.camera->StartDeviceControl();
    EXPECT_TRUE(rig.camera->HasProperty(kIso));
    EXPECT_EQ(rig.camera->DownloadLog(kLogKind, true), rig.log);

    const auto programmingOpens = HostOpenRequests(*rig.sim, k10);
    const auto controlOpens = HostOpenRequests(*rig.sim, k20);
    ASSERT_FALSE(programmingOpens.empty());
    ASSERT_FALSE(controlOpens.empty());
    for (const auto& open : programmingOpens)
        EXPECT_EQ(open.version.ToString(), "2.0");
    for (const auto& open : controlOpens)
        EXPECT_EQ(open.version.ToString(), "1.1");
    rig.ExpectNoViolations();
}

// Catches channels offered on a second port that never connect (only the
// control port's transport was started), also after a Close and reopen.
TEST_F(CameraTcpE2e, AChannelOfferedOnASecondPortGetsItsOwnConnection)
{
    // The second port: a camera that serves channel 1.0.
    auto store = std::make_shared<Q7::Sim::ProgrammingStore>();
    const Bytes log = TestBytes(1000, 5);
    store->SetLog(kLogId, log, false);
    Q7::Sim::Camera secondPort(Q7::Sim::CameraDescription::Default());
    secondPort.SetLogSink({});
    secondPort.SetChannelHandler(k10, Q7::Sim::ProgrammingHandler::Factory(store));
    secondPort.Start("127.0.0.1", 0);
    Rig rig(GetParam(), {},
            [&](Q7::Sim::CameraDescription& description)
            {
                for (auto& channel : description.channels)
                {
                    if (channel.id == k10)
                        channel.tcpPort = secondPort.Port();
                }
            });
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        EXPECT_EQ(rig.camera->DownloadLog(kLogKind, false), log);
        rig.camera->Close();
    }
    EXPECT_EQ(secondPort.Snapshot().connectionsAccepted, 2u);
    EXPECT_EQ(HostOpenRequests(*rig.sim, k10).size(), 0u);
    secondPort.Stop();
}

// Catches a camera that opens without the machine-wide mutex (another process
// opening a camera at the same moment), and a mutex that a killed holder
// leaves locked for good.
TEST_F(CameraTcpE2e, TheInitialisationMutexExcludesAnotherProcessAndOutlivesItsDeath)
{
    const TestSupport::TempFolder locks;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // The other process: takes the mutex, says so, and waits to be killed.
        ::close(ready[0]);
        Q7::Platform::NamedMutex_Posix mutex(Camera::kInitializationMutexName, locks.Root().c_str());
        mutex.Lock();
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);

    Rig rig(GetParam());
    rig.camera = std::make_unique<Camera>(TcpMoniker(*rig.sim), CameraTimings{}, locks.Root().c_str());
    rig.camera->SetClientIdentity(kCode);
    auto initialized = std::async(std::launch::async, [&] { return rig.camera->Initialize(true); });
    // Nothing of the camera may happen while the other process holds the mutex.
    EXPECT_EQ(initialized.wait_for(300ms), std::future_status::timeout);
    EXPECT_EQ(rig.sim->Snapshot().connectionsAccepted, 0u);

    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(initialized.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(initialized.get(), 0u);
}

// Catches a camera that opens without the machine-wide mutex when its lock
// file cannot be opened (another process would open a camera at the same
// moment): the open fails with the error, before anything connects.
TEST_F(CameraTcpE2e, AnInitialisationMutexThatCannotBeTakenFailsTheOpen)
{
    Rig rig(GetParam());
    rig.camera =
        std::make_unique<Camera>(TcpMoniker(*rig.sim), CameraTimings{}, rig.locks.Path("gone").c_str());
    std::uint32_t raised = 0;
    try
    {
        rig.camera->Initialize(true);
    }
    catch (const Q7::Platform::SystemError_Posix& error)
    {
        raised = error.GetCode();
    }
    EXPECT_EQ(raised, static_cast<std::uint32_t>(ENOENT));
    EXPECT_FALSE(rig.camera->IsInitialized());
    EXPECT_EQ(rig.sim->Snapshot().connectionsAccepted, 0u);
    EXPECT_EQ(logs.Count(L"KPX camera flock(LOCK_EX)", Q7::Universal::kLogMsgType_InternalError), 1u);
}

// ---------------------------------------------------------------------------
// The connection lost at every phase.

enum class Phase
{
    Initialize,         // channel 0.0's requests
    InitializeAgents,   // the reconnect of InitializeAgents after a Close
    StartDeviceControl, // channel 2.0's first requests
    Idle,               // device control running, nothing in flight
    Set,                // as a property set arrives
    StopDeviceControl,  // with a reply of channel 2.0 under way
    Transfer,           // in the middle of a firmware upload
    Close,              // on channel 2.0's CloseRequest
};

enum class Loss
{
    Drop,   // the camera closes the connection
    Unplug, // the camera goes away: connections reset, no new one accepted
    Stall,  // the camera sends the start of a packet, then nothing more (the link stays up)
};

// When the disconnect notification comes, if at all.
enum class Notified
{
    Never,       // the phase's call fails instead
    BeforeClose, // on its own, once the loss is seen
    ByClose,     // by the end of Close at the latest, which finds the loss on its way
};

// A phase whose call may fail (its result, then no notification) or succeed
// and then see the loss (the notification before Close).
constexpr std::uint32_t kEither = 0xFFFFFFFF;

struct LossCase
{
    Phase phase;
    Loss loss;
    // The documented error of the phase: Initialize's or InitializeAgents'
    // result. Zero where the loss is notified instead.
    std::uint32_t result;
    Notified notified;
};

void PrintTo(const LossCase& c, std::ostream* out)
{
    *out << static_cast<int>(c.phase) << "/" << static_cast<int>(c.loss);
}

class CameraLossE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, LossCase>>
{
protected:
    TestSupport::LogCapture logs;
};

// True once the camera sent the start of a Data packet on the channel and
// stalled (the partial packet goes out as a control item, recorded as a
// packet; the channels' messages are not).
bool StalledOn(const Q7::Sim::Observations& o, Q7::Sim::ChannelId channel)
{
    for (const auto& packet : o.packets)
    {
        if (!packet.fromHost && packet.header.Channel() == channel &&
            packet.header.type == static_cast<std::uint8_t>(Q7::Sim::PacketType::Data))
            return true;
    }
    return false;
}

// Every call of a phase, and Close, returns within this bound: far above the
// time limits of the rig below (a phase takes about 1.3 s at most, several
// times that under ThreadSanitizer on a loaded machine), below the Close
// watch's 10 s, so that no call relies on the watch. Without an end, a stall
// hangs for ever.
constexpr auto kLossBound = 8s;

// Catches: a lost link reported twice (by the notify thread and by Close) or
// never, a loss during opening reported as success or notified although the
// open failed, a hang or crash on any phase (a camera stalled in the middle
// of a packet holds a TCP read for ever, and a USB read that drops the rest
// of the packet), and a camera that cannot be closed and destroyed after its
// link is gone.
TEST_P(CameraLossE2e, EndsInTheDocumentedErrorOrOneDisconnectNotification)
{
    const auto [transport, c] = GetParam();
    CameraTimings timings;
    timings.enumerationReplyMs = 1000;
    // A stalled camera answers no OpenRequest and no CloseRequest any more:
    // the programming agent's reopen after a failed transfer runs into these.
    timings.channel.openReplyTimeoutMs = 300;
    timings.channel.closeReplyTimeoutMs = 300;
    timings.descriptorWaitMs = 1000;
    timings.midPacketStallMs = 300;
    timings.programming.queueDrainMs = 500;
    Rig rig(transport, timings);
    Camera& camera = *rig.camera;
    camera.SetClientIdentity(kCode);
    std::optional<std::uint32_t> result;
    std::future<void> transfer;
    const auto action = [&c](Q7::Sim::DataAction drop, Q7::Sim::DataAction unplug)
    {
        return c.loss == Loss::Drop     ? drop
               : c.loss == Loss::Unplug ? unplug
                                        : Q7::Sim::DataAction::StallMidPacket;
    };
    const auto dataAction = action(Q7::Sim::DataAction::DropConnection, Q7::Sim::DataAction::Unplug);
    const bool unplug = c.loss == Loss::Unplug;
    auto calling = Clock::now();

    switch (c.phase)
    {
    case Phase::Initialize:
        if (c.loss == Loss::Stall)
            rig.sim->Faults().AddDataFault({.channel = k00, .afterBytes = 1, .action = dataAction});
        else
            rig.sim->Faults().AddOpenFault(
                {.channel = k00,
                 .action = unplug ? Q7::Sim::OpenAction::Unplug : Q7::Sim::OpenAction::DropConnection});
        result = camera.Initialize(transport == E2eTransport::Tcp);
        EXPECT_FALSE(camera.IsInitialized());
        break;
    case Phase::InitializeAgents:
        // The device is closed and reopened (USB: as always; TCP: after Close).
        ASSERT_EQ(camera.Initialize(transport == E2eTransport::Tcp), 0u);
        camera.Close();
        // On USB both losses take the closed device off the bus.
        if (transport == E2eTransport::Usb)
            rig.usb->Attachment().Unplug();
        else if (unplug)
            rig.sim->Unplug();
        else
            rig.sim->Faults().AddAcceptFault({});
        result = camera.InitializeAgents(nullptr);
        break;
    case Phase::StartDeviceControl:
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        rig.sim->Faults().AddDataFault({.channel = k20, .afterBytes = 1, .action = dataAction});
        calling = Clock::now(); // the open before it is not part of the phase
        RaisedBy([&] { camera.StartDeviceControl(); });
        break;
    case Phase::Idle:
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        camera.StartDeviceControl();
        if (unplug)
            rig.sim->Unplug();
        else
            rig.sim->DropAllConnections();
        break;
    case Phase::Set:
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        camera.StartDeviceControl();
        rig.sim->Faults().AddDataFault(
            {.channel = k20, .afterBytes = rig.HostBytesOn(k20) + 1, .action = dataAction});
        camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(400)));
        break;
    case Phase::StopDeviceControl:
    {
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        camera.StartDeviceControl();
        rig.sim->Faults().AddDataFault(
            {.channel = k20, .afterBytes = rig.HostBytesOn(k20) + 1, .action = dataAction});
        ASSERT_TRUE(camera.RefreshProperty(kIso));
        ASSERT_TRUE(
            rig.sim->WaitUntil([](const Q7::Sim::Observations& o) { return StalledOn(o, k20); }, 10s));
        const auto stopping = Clock::now();
        camera.StopDeviceControl();
        EXPECT_LT(Clock::now() - stopping, kLossBound);
        EXPECT_FALSE(camera.IsDeviceControlStarted());
        break;
    }
    case Phase::Transfer:
    {
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        rig.sim->Faults().AddDataFault({.channel = k10, .afterBytes = 100000, .action = dataAction});
        transfer = std::async(
            std::launch::async,
            [&]
            {
                const Bytes firmware = TestBytes(1 << 20, 1);
                bool sent = true;
                const std::uint32_t code =
                    RaisedBy([&] { sent = camera.UpdateFirmware({}, firmware.data(), firmware.size()); })
                        .code;
                EXPECT_TRUE(code != 0 || !sent) << "a transfer cut off in the middle reported success";
                EXPECT_FALSE(camera.IsProgrammingStarted());
            });
        if (c.loss == Loss::Stall) // a transfer stalled half-way waits for Close
            ASSERT_TRUE(
                rig.sim->WaitUntil([](const Q7::Sim::Observations& o) { return StalledOn(o, k10); }, 10s));
        else
            EXPECT_EQ(transfer.wait_for(kLossBound), std::future_status::ready);
        break;
    }
    case Phase::Close:
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        camera.StartDeviceControl();
        rig.sim->Faults().AddCloseFault(
            {.channel = k20,
             .action = unplug ? Q7::Sim::CloseAction::Unplug : Q7::Sim::CloseAction::DropConnection});
        break;
    }
    if (c.phase == Phase::Initialize || c.phase == Phase::StartDeviceControl)
    {
        EXPECT_LT(Clock::now() - calling, kLossBound);
    }

    // The documented error, or (when the phase has none, or its call
    // succeeded) the notification.
    Notified notified = c.notified;
    if (c.result == kEither)
    {
        ASSERT_TRUE(result);
        notified = *result == 0 ? Notified::BeforeClose : Notified::Never;
    }
    else if (c.result != 0)
    {
        EXPECT_EQ(result, c.result);
    }
    if (notified == Notified::BeforeClose)
    {
        EXPECT_TRUE(rig.notified.WaitFor(Camera::kNotify_DeviceDisconnected));
    }
    const auto closing = Clock::now();
    camera.Close();
    EXPECT_LT(Clock::now() - closing, kLossBound);
    if (transfer.valid())
    {
        EXPECT_EQ(transfer.wait_for(kLossBound), std::future_status::ready);
    }
    rig.camera.reset();
    EXPECT_EQ(rig.notified.Count(Camera::kNotify_DeviceDisconnected), notified == Notified::Never ? 0u : 1u);
}

const LossCase kLossCases[] = {
    {Phase::Initialize, Loss::Drop, 4, Notified::Never},
    {Phase::Initialize, Loss::Unplug, 4, Notified::Never},
    {Phase::Initialize, Loss::Stall, 4, Notified::Never},
    {Phase::InitializeAgents, Loss::Drop, kEither, Notified::Never},
    {Phase::InitializeAgents, Loss::Unplug, kEither, Notified::Never},
    {Phase::StartDeviceControl, Loss::Stall, 0, Notified::ByClose},
    {Phase::Idle, Loss::Drop, 0, Notified::BeforeClose},
    {Phase::Idle, Loss::Unplug, 0, Notified::BeforeClose},
    {Phase::Set, Loss::Drop, 0, Notified::BeforeClose},
    {Phase::Set, Loss::Unplug, 0, Notified::BeforeClose},
    {Phase::StopDeviceControl, Loss::Stall, 0, Notified::ByClose},
    {Phase::Transfer, Loss::Drop, 0, Notified::BeforeClose},
    {Phase::Transfer, Loss::Unplug, 0, Notified::BeforeClose},
    {Phase::Transfer, Loss::Stall, 0, Notified::ByClose},
    {Phase::Close, Loss::Drop, 0, Notified::ByClose},
    {Phase::Close, Loss::Unplug, 0, Notified::ByClose},
};

std::string LossCaseName(const ::testing::TestParamInfo<std::tuple<E2eTransport, LossCase>>& info)
{
    static const char* const phases[] = {"Initialize", "InitializeAgents",  "StartDeviceControl", "Idle",
                                         "Set",        "StopDeviceControl", "Transfer",           "Close"};
    static const char* const losses[] = {"_Drop", "_Unplug", "_Stall"};
    const auto& [transport, c] = info.param;
    return TransportName({transport, 0}) + "_" + phases[static_cast<int>(c.phase)] +
           losses[static_cast<int>(c.loss)];
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraLossE2e,
                         ::testing::Combine(AllTransports(), ::testing::ValuesIn(kLossCases)), LossCaseName);

// ---------------------------------------------------------------------------
// A camera that stops reading in the middle of an upload: the host's pipe
// write never ends by itself over TCP (its pipes ignore time-outs and abort
// objects), and over USB only after the write time-out.

enum class Stopping
{
    Close,             // the whole camera
    StopDeviceControl, // channel 2.0, whose CloseRequest waits behind the upload's write
};

class CameraStuckE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, Stopping>>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches a Close or StopDeviceControl that waits for ever for a pipe write,
// and a watch that still closes pipes while the device closes.
TEST_P(CameraStuckE2e, TheStopReturnsWithinItsBound)
{
    const auto [transport, stopping] = GetParam();
    CameraTimings timings;
    timings.closeBoundMs = 300;
    Rig rig(transport, timings);
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    camera.StartDeviceControl();
    const Bytes firmware = TestBytes(64 << 20, 9);
    rig.sim->Faults().AddDataFault(
        {.channel = k10, .afterBytes = 1 << 20, .action = Q7::Sim::DataAction::StopReading});
    auto upload =
        std::async(std::launch::async,
                   [&] { RaisedBy([&] { camera.UpdateFirmware({}, firmware.data(), firmware.size()); }); });
    ASSERT_TRUE(
        rig.sim->WaitUntil([](const Q7::Sim::Observations& o)
                           { return o.data.count(k10) && o.data.at(k10).bytesFromHost >= (1u << 20); },
                           10s));
    const auto stopped = Clock::now();
    if (stopping == Stopping::StopDeviceControl)
    {
        camera.StopDeviceControl();
        EXPECT_LT(Clock::now() - stopped, 8s);
        EXPECT_FALSE(camera.IsDeviceControlStarted());
    }
    const auto closing = Clock::now();
    camera.Close();
    EXPECT_LT(Clock::now() - closing, 8s);
    EXPECT_EQ(upload.wait_for(5s), std::future_status::ready);
}

std::string StuckName(const ::testing::TestParamInfo<std::tuple<E2eTransport, Stopping>>& info)
{
    const auto& [transport, stopping] = info.param;
    return TransportName({transport, 0}) + (stopping == Stopping::Close ? "_Close" : "_StopDeviceControl");
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraStuckE2e,
                         ::testing::Combine(AllTransports(),
                                            ::testing::Values(Stopping::Close, Stopping::StopDeviceControl)),
                         StuckName);

// ---------------------------------------------------------------------------
// Cancelling a transfer.

enum class CancelFrom
{
    AnotherThread,    // while the camera withholds the DataEndAck
    ProgressCallback, // at the transfer's first progress notification
};

class CameraCancelE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, CancelFrom>>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches a CancelTask that waits behind the slot lock the transfer holds, and
// one that reaches no task (the transfers report through the agent's own
// providers): the cancelled upload ends at once as cancelled, with a DataAbort.
TEST_P(CameraCancelE2e, CancelTaskEndsTheRunningUpload)
{
    const auto [transport, from] = GetParam();
    Rig rig(transport);
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    if (from == CancelFrom::AnotherThread)
        rig.store->AddFault({.kind = Q7::Sim::ProgrammingFaultKind::StallUpload});

    std::promise<std::pair<std::uint32_t, std::uint32_t>> started;
    std::mutex mutex; // guards last
    Q7::Universal::ProgressInfo last;
    bool first = true;
    const auto progress = [&](const Q7::Universal::ProgressTask& task)
    {
        {
            std::lock_guard lock(mutex);
            last = task.GetInfo();
        }
        if (!std::exchange(first, false))
            return;
        started.set_value({task.GetType(), task.GetId()});
        if (from == CancelFrom::ProgressCallback)
            camera.CancelTask(task.GetType(), task.GetId());
    };
    const Bytes data = TestBytes(3 << 20, 5);
    std::future<bool> upload = std::async(
        std::launch::async, [&] { return camera.UploadData(progress, 5, data.data(), data.size(), L"up"); });
    std::future<std::pair<std::uint32_t, std::uint32_t>> task = started.get_future();
    ASSERT_EQ(task.wait_for(10s), std::future_status::ready);
    const auto [type, id] = task.get();
    EXPECT_EQ(type, 5u);
    if (from == CancelFrom::AnotherThread)
    {
        ASSERT_TRUE(rig.store->WaitUntil([](const auto& n) { return n.uploadEndsReceived == 1; }, 10s));
        std::future<void> cancelling =
            std::async(std::launch::async,
                       [&]
                       {
                           camera.CancelTask(type, id + 1); // another task: nothing
                           camera.CancelTask(type, id);
                       });
        ASSERT_EQ(cancelling.wait_for(5s), std::future_status::ready) << "CancelTask waits for the transfer";
    }
    ASSERT_EQ(upload.wait_for(5s), std::future_status::ready) << "the cancelled upload goes on";
    EXPECT_FALSE(upload.get());
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(last.aborted);
        EXPECT_FALSE(last.completed);
    }
    EXPECT_TRUE(rig.sim->WaitUntil(
        [](const Q7::Sim::Observations& o)
        {
            for (const Q7::Sim::MessageRecord& record : o.messages)
            {
                if (record.channel == k10 && record.header.messageClass == Q7::Sim::kClassDataTransfer &&
                    record.header.messageType == Q7::Sim::kDataAbort)
                    return true;
            }
            return false;
        },
        5s))
        << "the camera is told with a DataAbort";
    EXPECT_TRUE(rig.store->Uploads().empty());
    EXPECT_FALSE(camera.IsProgrammingStarted());
    // The agent is ready for the next transfer.
    EXPECT_TRUE(camera.SendData(5, data.data(), 1000, L"next"));
    rig.ExpectNoViolations();
}

std::string CancelName(const ::testing::TestParamInfo<std::tuple<E2eTransport, CancelFrom>>& info)
{
    return TransportName({std::get<0>(info.param), 0}) +
           (std::get<1>(info.param) == CancelFrom::AnotherThread ? "_FromAnotherThread" : "_FromTheCallback");
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraCancelE2e,
                         ::testing::Combine(AllTransports(), ::testing::Values(CancelFrom::AnotherThread,
                                                                               CancelFrom::ProgressCallback)),
                         CancelName);

// ---------------------------------------------------------------------------
// What a callback may do with its own camera.

enum class Query
{
    PropertyState,
    DeviceInfo,
    FirmwareVersion,
};

enum class Lifecycle
{
    StopDeviceControl,
    Close,
};

class CameraQueryInSinkE2e : public ::testing::TestWithParam<std::tuple<Query, Lifecycle>>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches a query from the notify callback that waits for the lock that the
// lifecycle operation holds while it waits for that callback's thread
// (deadlock): StopDeviceControl and Close on another thread, with the callback
// reading a property, the device information or the firmware version.
TEST_P(CameraQueryInSinkE2e, TheQueryAndTheLifecycleOperationBothReturn)
{
    const auto [query, lifecycle] = GetParam();
    Rig rig(E2eTransport::Tcp);
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    std::promise<void> inCallback;
    std::promise<void> stopping;
    std::shared_future<void> stoppingSeen = stopping.get_future().share();
    std::atomic<bool> once{false};
    std::atomic<bool> returned{false};
    camera.SetNotifyCallback(
        [&](Camera::EnumNotify id, const auto&)
        {
            if (id != Camera::kNotify_PropertyStateChange || once.exchange(true))
                return;
            inCallback.set_value();
            stoppingSeen.wait_for(10s);
            switch (query)
            {
            case Query::PropertyState:
            {
                // The stopping agent may have emptied its cache: only the return counts.
                Camera::PropertyState state;
                (void)camera.GetPropertyState(kIso, state);
                break;
            }
            case Query::DeviceInfo:
                EXPECT_EQ(camera.GetDeviceInfo().serialNumber, "SIM0000001");
                break;
            case Query::FirmwareVersion:
                EXPECT_EQ(camera.GetFirmwareVersion().packed, rig.sim->Description().PackedFirmwareVersion());
                break;
            }
            returned = true;
        });
    camera.StartDeviceControl();
    const std::uint64_t closes = rig.sim->Snapshot().closesCompleted;
    ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
    ASSERT_EQ(inCallback.get_future().wait_for(10s), std::future_status::ready);
    auto stopped = std::async(std::launch::async,
                              [&]
                              {
                                  if (lifecycle == Lifecycle::StopDeviceControl)
                                      camera.StopDeviceControl();
                                  else
                                      camera.Close();
                              });
    // Channel 2.0 closes once the operation is under way (and holds its locks).
    EXPECT_TRUE(
        rig.sim->WaitUntil([&](const Q7::Sim::Observations& o) { return o.closesCompleted > closes; }, 10s));
    stopping.set_value();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(returned);
    EXPECT_FALSE(camera.IsDeviceControlStarted());
}

std::string QueryInSinkName(const ::testing::TestParamInfo<std::tuple<Query, Lifecycle>>& info)
{
    static const char* const queries[] = {"PropertyState", "DeviceInfo", "FirmwareVersion"};
    const auto& [query, lifecycle] = info.param;
    return std::string(queries[static_cast<int>(query)]) +
           (lifecycle == Lifecycle::Close ? "_Close" : "_StopDeviceControl");
}

INSTANTIATE_TEST_SUITE_P(
    Callbacks, CameraQueryInSinkE2e,
    ::testing::Combine(::testing::Values(Query::PropertyState, Query::DeviceInfo, Query::FirmwareVersion),
                       ::testing::Values(Lifecycle::StopDeviceControl, Lifecycle::Close)),
    QueryInSinkName);

enum class Sink
{
    PropertyNotification, // on channel 2.0's notify thread
    Progress,             // on the thread of the transfer, inside it
};

enum class Refused
{
    Close,
    Shutdown,
    StopDeviceControl, // takes the main lock that a Close elsewhere holds while it waits for the sink's
                       // thread
};

class CameraRefusedInSinkE2e : public ::testing::TestWithParam<std::tuple<Sink, Refused>>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches Close or Shutdown from a callback of the camera: from a property
// notification the agent's stop waited for its own thread (the process
// aborted), from a progress callback the agent was freed under its running
// transfer; and StopDeviceControl from one, which waits for the main lock that
// a Close on another thread holds while it waits for this very thread. Each
// must be refused with an error, raised and logged, leaving the camera as it
// was.
TEST_P(CameraRefusedInSinkE2e, IsRefusedWithAnErrorAndTheCameraGoesOn)
{
    const auto [sink, refused] = GetParam();
    static const wchar_t* const names[] = {L"Close", L"Shutdown", L"StopDeviceControl"};
    const auto call = [refused = refused](Camera& c)
    {
        switch (refused)
        {
        case Refused::Close:
            c.Close();
            break;
        case Refused::Shutdown:
            c.Shutdown();
            break;
        case Refused::StopDeviceControl:
            c.StopDeviceControl();
            break;
        }
    };
    Rig rig(E2eTransport::Tcp);
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    camera.StartDeviceControl();
    std::promise<std::uint32_t> raised;
    std::atomic<bool> once{false};
    const auto fromCallback = [&]
    {
        if (once.exchange(true))
            return;
        raised.set_value(RaisedBy([&] { call(camera); }).code);
    };
    if (sink == Sink::PropertyNotification)
    {
        camera.SetNotifyCallback(
            [&](Camera::EnumNotify id, const auto&)
            {
                if (id == Camera::kNotify_PropertyStateChange)
                    fromCallback();
            });
        ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
    }
    else
    {
        const Bytes firmware = TestBytes(200000, 3);
        EXPECT_TRUE(camera.UpdateFirmware([&](const Q7::Universal::ProgressTask&) { fromCallback(); },
                                          firmware.data(), firmware.size()));
        ASSERT_EQ(rig.store->Uploads().size(), 1u);
        EXPECT_EQ(rig.store->Uploads()[0].bytes, firmware);
    }
    auto code = raised.get_future();
    ASSERT_EQ(code.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(code.get(), 0x650065u);
    const std::wstring text = std::wstring(L"KPX camera ") + names[static_cast<int>(refused)] +
                              L" cannot be called from the camera's own callbacks.";
    EXPECT_EQ(logs.Count(text, Q7::Universal::kLogMsgType_Error), 1u);

    // Nothing was closed or stopped: the camera goes on, and does it when asked
    // from outside.
    EXPECT_TRUE(camera.IsOpen());
    EXPECT_TRUE(camera.IsDeviceControlStarted());
    EXPECT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(400))));
    call(camera);
    EXPECT_FALSE(camera.IsDeviceControlStarted());
    EXPECT_EQ(camera.IsOpen(), refused == Refused::StopDeviceControl);
    rig.ExpectNoViolations();
}

std::string RefusedInSinkName(const ::testing::TestParamInfo<std::tuple<Sink, Refused>>& info)
{
    static const char* const names[] = {"Close", "Shutdown", "StopDeviceControl"};
    const auto& [sink, refused] = info.param;
    return std::string(sink == Sink::Progress ? "Progress_" : "PropertyNotification_") +
           names[static_cast<int>(refused)];
}

INSTANTIATE_TEST_SUITE_P(Callbacks, CameraRefusedInSinkE2e,
                         ::testing::Combine(::testing::Values(Sink::PropertyNotification, Sink::Progress),
                                            ::testing::Values(Refused::Close, Refused::Shutdown,
                                                              Refused::StopDeviceControl)),
                         RefusedInSinkName);

INSTANTIATE_TEST_SUITE_P(Transports, CameraE2e, AllTransports(), TransportName);

} // namespace
