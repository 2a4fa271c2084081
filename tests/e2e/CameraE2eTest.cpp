// The KPX camera object against simulated cameras: opening under the
// machine-wide mutex, device control, properties, transfers, refusals, the
// connection lost at every phase, and a Close that a stuck camera cannot hang.

#include "DeviceControlE2eSupport.h"

#include "Agents/KPXProgramming.h"
#include "Camera/KPXCamera.h"
#include "Q7PlatformNamedMutex_Posix.h"
#include "RaisedError.h"
#include "SimProgrammingHandler.h"

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
using TestSupport::RaisedBy;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr Q7::Sim::ChannelId k00{0, 0};
constexpr Q7::Sim::ChannelId k10{1, 0};
constexpr Q7::Sim::ChannelId k20{2, 0};
constexpr std::uint32_t kIso = 0x1001; // the first property of the default model
constexpr std::uint32_t kLogKind = 2;  // log id 104
constexpr std::uint32_t kLogId = 104;
constexpr const char* kCode = "open sesame";

// Threads and descriptors of this process, to show that a closed camera
// leaves none behind. The lock file of the initialisation mutex stays open
// until the process ends, by design: it is not counted.
struct ProcessResources
{
    std::size_t threads = 0;
    std::size_t descriptors = 0;

    // The counts before a test: a thread started and joined first, since a
    // sanitizer's runtime starts a helper thread of its own with the process's
    // first thread.
    static ProcessResources Baseline()
    {
        std::thread([] {}).join();
        return Now();
    }

    static ProcessResources Now()
    {
        const std::filesystem::path mutexFile =
            std::filesystem::path("/tmp") / Camera::kInitializationMutexName;
        ProcessResources now;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
            ++now.threads;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        {
            std::error_code ignored;
            now.descriptors += std::filesystem::read_symlink(entry.path(), ignored) != mutexFile;
        }
        return now;
    }
    bool operator==(const ProcessResources&) const = default;
};

std::ostream& operator<<(std::ostream& out, const ProcessResources& r)
{
    return out << r.threads << " threads, " << r.descriptors << " descriptors";
}

Bytes TestBytes(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 8));
    return bytes;
}

// The camera's notifications, counted per id. Thread-safe.
class NotifyCounter
{
public:
    Camera::NotifyFunction Sink()
    {
        return [this](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
        {
            {
                std::lock_guard lock(m_mutex);
                ++m_counts[id];
                if (id == Camera::kNotify_PropertyStateChange && payload)
                {
                    for (unsigned int property :
                         *static_cast<const std::vector<unsigned int>*>(payload.get()))
                        m_stateChanged.push_back(property);
                }
            }
            m_changed.notify_all();
        };
    }
    std::size_t Count(Camera::EnumNotify id) const
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_counts.find(id);
        return found == m_counts.end() ? 0 : found->second;
    }
    bool WaitForStateChange(unsigned int property) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s,
                                  [&] {
                                      return std::find(m_stateChanged.begin(), m_stateChanged.end(),
                                                       property) != m_stateChanged.end();
                                  });
    }
    bool WaitFor(Camera::EnumNotify id, std::size_t count = 1) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_counts[id] >= count; });
    }

private:
    mutable std::mutex m_mutex; // guards the two fields below
    mutable std::condition_variable m_changed;
    mutable std::map<std::uint32_t, std::size_t> m_counts;
    std::vector<unsigned int> m_stateChanged;
};

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
            return std::make_unique<Camera>(TcpMoniker(*sim), timings);
        auto device = std::make_unique<E2eUsbDevice>(*sim);
        usb = device.get();
        return std::make_unique<Camera>(std::move(device), timings);
    }

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
    E2eUsbDevice* usb = nullptr; // the newest camera's device on USB (owned by the camera)
    const Bytes log = TestBytes(300000, 7);
    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    std::shared_ptr<Q7::Sim::DeviceControlModel> model =
        std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
    std::unique_ptr<Q7::Sim::Camera> sim;
    NotifyCounter notified;
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
    Camera second(TcpMoniker(*rig.sim));
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
    ASSERT_TRUE(rig.errors.WaitForCount(1));
    EXPECT_EQ(rig.errors.Entries()[0].code, 0x6500CFu);
    EXPECT_EQ(rig.errors.Entries()[0].context, L"KPX channel 2.0 open timeout.");
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
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // The other process: takes the mutex, says so, and waits to be killed.
        ::close(ready[0]);
        Q7::Platform::NamedMutex_Posix mutex(Camera::kInitializationMutexName);
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

// ---------------------------------------------------------------------------
// The connection lost at every phase.

enum class Phase
{
    Initialize,       // channel 0.0's open
    InitializeAgents, // the reconnect of InitializeAgents after a Close
    Idle,             // device control running, nothing in flight
    Set,              // as a property set arrives
    Transfer,         // in the middle of a firmware upload
    Close,            // on channel 2.0's CloseRequest
};

enum class Loss
{
    Drop,   // the camera closes the connection
    Unplug, // the camera goes away: connections reset, no new one accepted
};

// A phase whose call may fail (its result) or succeed and then see the loss
// (the notification), depending on when the loss is met.
constexpr std::uint32_t kEither = 0xFFFFFFFF;

struct LossCase
{
    Phase phase;
    Loss loss;
    // The documented error of the phase: Initialize's or InitializeAgents'
    // result. Zero where the loss is notified instead.
    std::uint32_t result;
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

// Catches: a lost link reported twice (by the notify thread and by Close) or
// never, a loss during opening reported as success or notified although the
// open failed, a hang or crash on any phase, and a camera that cannot be
// closed and destroyed after its link is gone.
TEST_P(CameraLossE2e, EndsInTheDocumentedErrorOrOneDisconnectNotification)
{
    const auto [transport, c] = GetParam();
    const bool unplug = c.loss == Loss::Unplug;
    Rig rig(transport);
    Camera& camera = *rig.camera;
    camera.SetClientIdentity(kCode);
    std::optional<std::uint32_t> result;

    switch (c.phase)
    {
    case Phase::Initialize:
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
            {.channel = k20,
             .afterBytes = rig.HostBytesOn(k20) + 1,
             .action = unplug ? Q7::Sim::DataAction::Unplug : Q7::Sim::DataAction::DropConnection});
        camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(400)));
        break;
    case Phase::Transfer:
    {
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        rig.sim->Faults().AddDataFault(
            {.channel = k10,
             .afterBytes = 100000,
             .action = unplug ? Q7::Sim::DataAction::Unplug : Q7::Sim::DataAction::DropConnection});
        const Bytes firmware = TestBytes(1 << 20, 1);
        bool sent = true;
        const std::uint32_t code =
            RaisedBy([&] { sent = camera.UpdateFirmware({}, firmware.data(), firmware.size()); }).code;
        EXPECT_TRUE(code != 0 || !sent) << "a transfer cut off in the middle reported success";
        EXPECT_FALSE(camera.IsProgrammingStarted());
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

    // The documented error, or (when the phase has none, or its call
    // succeeded) the notification.
    std::size_t notifications = 1;
    if (c.result == kEither)
    {
        ASSERT_TRUE(result);
        notifications = *result == 0 ? 1 : 0;
    }
    else if (c.result != 0)
    {
        EXPECT_EQ(result, c.result);
        notifications = 0;
    }
    if (notifications == 1 && c.phase != Phase::Close)
    {
        EXPECT_TRUE(rig.notified.WaitFor(Camera::kNotify_DeviceDisconnected));
    }
    const auto closing = Clock::now();
    camera.Close();
    EXPECT_LT(Clock::now() - closing, 10s);
    rig.camera.reset();
    EXPECT_EQ(rig.notified.Count(Camera::kNotify_DeviceDisconnected), notifications);
}

const LossCase kLossCases[] = {
    {Phase::Initialize, Loss::Drop, 4},
    {Phase::Initialize, Loss::Unplug, 4},
    {Phase::InitializeAgents, Loss::Drop, kEither},
    {Phase::InitializeAgents, Loss::Unplug, kEither},
    {Phase::Idle, Loss::Drop, 0},
    {Phase::Idle, Loss::Unplug, 0},
    {Phase::Set, Loss::Drop, 0},
    {Phase::Set, Loss::Unplug, 0},
    {Phase::Transfer, Loss::Drop, 0},
    {Phase::Transfer, Loss::Unplug, 0},
    {Phase::Close, Loss::Drop, 0},
    {Phase::Close, Loss::Unplug, 0},
};

std::string LossCaseName(const ::testing::TestParamInfo<std::tuple<E2eTransport, LossCase>>& info)
{
    static const char* const phases[] = {"Initialize", "InitializeAgents", "Idle",
                                         "Set",        "Transfer",         "Close"};
    const auto& [transport, c] = info.param;
    return TransportName({transport, 0}) + "_" + phases[static_cast<int>(c.phase)] +
           (c.loss == Loss::Drop ? "_Drop" : "_Unplug");
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraLossE2e,
                         ::testing::Combine(AllTransports(), ::testing::ValuesIn(kLossCases)), LossCaseName);

// ---------------------------------------------------------------------------
// A camera that stops reading, or stalls in the middle of a packet.

enum class Stuck
{
    StopsReadingDuringAnUpload, // the host's pipe write never ends
    StallsMidPacket,            // the host's pipe read never ends
};

class CameraStuckE2e : public ::testing::TestWithParam<std::tuple<E2eTransport, Stuck>>
{
protected:
    TestSupport::LogCapture logs;
};

// Catches a Close that waits forever for a pipe write or read that TCP never
// ends by itself (its pipes ignore time-outs and abort objects).
TEST_P(CameraStuckE2e, CloseReturnsWithinItsBound)
{
    const auto [transport, stuck] = GetParam();
    CameraTimings timings;
    timings.closeBoundMs = 300;
    Rig rig(transport, timings);
    ASSERT_NO_FATAL_FAILURE(rig.Open());
    Camera& camera = *rig.camera;
    std::future<void> upload;
    const Bytes firmware = TestBytes(64 << 20, 9);
    if (stuck == Stuck::StopsReadingDuringAnUpload)
    {
        rig.sim->Faults().AddDataFault(
            {.channel = k10, .afterBytes = 1 << 20, .action = Q7::Sim::DataAction::StopReading});
        upload =
            std::async(std::launch::async, [&]
                       { RaisedBy([&] { camera.UpdateFirmware({}, firmware.data(), firmware.size()); }); });
        ASSERT_TRUE(
            rig.sim->WaitUntil([](const Q7::Sim::Observations& o)
                               { return o.data.count(k10) && o.data.at(k10).bytesFromHost >= (1u << 20); },
                               10s));
    }
    else
    {
        camera.StartDeviceControl();
        rig.sim->Faults().AddDataFault({.channel = k20,
                                        .afterBytes = rig.HostBytesOn(k20) + 1,
                                        .action = Q7::Sim::DataAction::StallMidPacket});
        ASSERT_TRUE(camera.RefreshProperty(kIso));
        // The partial packet goes out as a control item: it is recorded as a packet.
        ASSERT_TRUE(rig.sim->WaitUntil(
            [](const Q7::Sim::Observations& o)
            {
                for (const auto& packet : o.packets)
                {
                    if (!packet.fromHost && packet.header.Channel() == k20 &&
                        packet.header.type == static_cast<std::uint8_t>(Q7::Sim::PacketType::Data))
                        return true;
                }
                return false;
            },
            10s));
    }
    const auto closing = Clock::now();
    camera.Close();
    EXPECT_LT(Clock::now() - closing, 8s);
    if (upload.valid())
    {
        EXPECT_EQ(upload.wait_for(5s), std::future_status::ready);
    }
}

std::string StuckName(const ::testing::TestParamInfo<std::tuple<E2eTransport, Stuck>>& info)
{
    const auto& [transport, stuck] = info.param;
    return TransportName({transport, 0}) +
           (stuck == Stuck::StallsMidPacket ? "_StallsMidPacket" : "_StopsReading");
}

INSTANTIATE_TEST_SUITE_P(Transports, CameraStuckE2e,
                         ::testing::Combine(::testing::Values(E2eTransport::Tcp),
                                            ::testing::Values(Stuck::StopsReadingDuringAnUpload,
                                                              Stuck::StallsMidPacket)),
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

INSTANTIATE_TEST_SUITE_P(Transports, CameraE2e, AllTransports(), TransportName);

} // namespace

// Catches: StopDeviceControl holding the agent's slot while it waits for the
// notify thread, whose callback reads a property through that slot (deadlock).
TEST_F(CameraTcpE2e, StopDeviceControlEndsWhileTheNotifyCallbackReadsAProperty)
{
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
            // The stopping agent may have emptied its cache: only the return counts.
            Camera::PropertyState state;
            (void)camera.GetPropertyState(kIso, state);
            returned = true;
        });
    camera.StartDeviceControl();
    const std::uint64_t closes = rig.sim->Snapshot().closesCompleted;
    ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
    ASSERT_EQ(inCallback.get_future().wait_for(10s), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { camera.StopDeviceControl(); });
    // The agent's channel closes once StopDeviceControl is under way.
    EXPECT_TRUE(
        rig.sim->WaitUntil([&](const Q7::Sim::Observations& o) { return o.closesCompleted > closes; }, 10s));
    stopping.set_value();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(returned);
    EXPECT_FALSE(camera.IsDeviceControlStarted());
}

// Catches device control stopped, or the camera closed, from the camera's own
// notify callback (on the agent's notify thread, which the stop closes): the
// thread ended itself with pthread_exit, whose forced unwinding aborted the
// process in the sink's catch (...) ("FATAL: exception not rethrown") or in a
// noexcept teardown step. Each must return and leave the camera working; a
// closed agent must outlive its thread's return into it (asan).
TEST_F(CameraTcpE2e, DeviceControlStoppedRestartedOrClosedFromItsNotifyCallback)
{
    enum class InCallback
    {
        kStop,
        kStopAndStart,
        kClose
    };
    for (const InCallback action : {InCallback::kStop, InCallback::kStopAndStart, InCallback::kClose})
    {
        SCOPED_TRACE(static_cast<int>(action));
        Rig rig(GetParam());
        ASSERT_NO_FATAL_FAILURE(rig.Open());
        Camera& camera = *rig.camera;
        const Camera::NotifyFunction counter = rig.notified.Sink();
        std::atomic<bool> once{false};
        std::promise<bool> returned;
        camera.SetNotifyCallback(
            [&](Camera::EnumNotify id, const Camera::NotifyPayload& payload)
            {
                counter(id, payload);
                if (id != Camera::kNotify_PropertyStateChange || once.exchange(true))
                    return;
                if (action == InCallback::kClose)
                    camera.Close();
                else
                    camera.StopDeviceControl();
                const bool stopped = !camera.IsDeviceControlStarted();
                if (action == InCallback::kStopAndStart)
                    camera.StartDeviceControl();
                returned.set_value(stopped);
            });
        camera.StartDeviceControl();
        ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
        auto inCallback = returned.get_future();
        ASSERT_EQ(inCallback.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(inCallback.get());
        if (action == InCallback::kClose)
        {
            ASSERT_EQ(camera.InitializeAgents(nullptr), 0u);
        }
        if (action != InCallback::kStopAndStart)
            camera.StartDeviceControl();
        ASSERT_TRUE(camera.IsDeviceControlStarted());
        const std::size_t changes = rig.notified.Count(Camera::kNotify_PropertyStateChange);
        ASSERT_TRUE(camera.SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(400))));
        EXPECT_TRUE(rig.notified.WaitFor(Camera::kNotify_PropertyStateChange, changes + 1));
        Camera::PropertyState state;
        ASSERT_TRUE(camera.GetPropertyState(kIso, state));
        EXPECT_EQ(state.value.text, "ISO 400");
        camera.Close();
        rig.ExpectNoViolations();
    }
}
