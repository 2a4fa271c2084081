// The KPX camera's lifecycle: opening the connection under the machine-wide
// initialisation mutex, building the agents, closing, and the link loss.

#include "Camera/KPXCamera.h"

#include "Q7PlatformNamedMutex_Posix.h"
#include "Q7UniversalAssert.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"
#include "Transport/KPXDeviceManager.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace Q7::KPX
{

using Platform::ScopedLock;
using Universal::LogInfo;
using Universal::LogWarning;
using Universal::ModuleError;
using Universal::UniversalError;

namespace
{

// A request to an agent of a channel the camera does not offer.
constexpr std::uint32_t kError_ChannelNotSupported = 0x15E0018;

// Holds the camera's initialisation mutex for a scope. A failure to take it
// is reported as an internal error and raised: the camera does not open
// without it. A failure to give it back is reported and the caller goes on.
class InitializationLock
{
public:
    explicit InitializationLock(Platform::NamedMutex_Posix& mutex) : m_mutex(mutex)
    {
        try
        {
            m_mutex.Lock();
        }
        catch (const UniversalError& error)
        {
            Q7_REPORT_INTERNAL_ERROR(error, L"KPX camera flock(LOCK_EX)");
            throw;
        }
        m_held = true;
    }

    ~InitializationLock() { Release(); }

    InitializationLock(const InitializationLock&) = delete;
    InitializationLock& operator=(const InitializationLock&) = delete;

    // Gives the mutex back early (before agents are built).
    void Release() noexcept
    {
        if (!m_held)
            return;
        m_held = false;
        try
        {
            m_mutex.Unlock();
        }
        catch (const UniversalError& error)
        {
            Q7_REPORT_INTERNAL_ERROR(error, L"KPX camera flock(LOCK_UN)");
        }
    }

private:
    Platform::NamedMutex_Posix& m_mutex;
    bool m_held = false;
};

// The cameras whose callbacks run on this thread, innermost last.
thread_local std::vector<const Camera*> t_callbacksRunning;

// Takes the agent out of its slot under the slot's lock.
template <typename Agent>
std::unique_ptr<Agent> TakeAgent(Platform::Mutex_Posix& lock, std::unique_ptr<Agent>& agent)
{
    ScopedLock slotLock(lock);
    return std::move(agent);
}

// Runs one step of a teardown; an error is reported as an internal error and
// the teardown goes on.
template <typename Step>
void TeardownStep(Step&& step) noexcept
{
    try
    {
        step();
    }
    catch (const UniversalError& error)
    {
        Q7_REPORT_INTERNAL_ERROR(error, nullptr);
    }
    catch (const std::exception& exception)
    {
        Q7_REPORT_INTERNAL_ERROR(Universal::StdExceptionError(exception), nullptr);
    }
}

} // namespace

// ---------------------------------------------------------------- callbacks

Camera::CallbackScope::CallbackScope(const Camera& camera)
{
    t_callbacksRunning.push_back(&camera);
}

Camera::CallbackScope::~CallbackScope()
{
    t_callbacksRunning.pop_back();
}

Camera::ProgressFunction Camera::AsCallback(ProgressFunction progress) const
{
    if (!progress)
        return progress;
    return [this, progress = std::move(progress)](const Universal::ProgressTask& task)
    {
        const CallbackScope scope(*this);
        progress(task);
    };
}

// A callback that closed its own camera would stop, or wait for, the thread it
// runs on: refused.
void Camera::RefuseInCallback(const wchar_t* operation) const
{
    if (std::find(t_callbacksRunning.begin(), t_callbacksRunning.end(), this) == t_callbacksRunning.end())
        return;
    Universal::ThrowModuleError(
        ModuleError(Universal::kError_InvalidRequest,
                    Universal::UniversalString(
                        L"KPX camera %ls cannot be called from the camera's own callbacks.", operation)
                        .c_str()));
}

// ---------------------------------------------------------------- construction

Camera::Camera(const Transport::DeviceMoniker& moniker, const CameraTimings& timings,
               const char* initializationLockFolder)
    : Camera(Transport::DeviceManager::CreateDevice(moniker), timings, initializationLockFolder)
{
}

Camera::Camera(std::unique_ptr<Transport::DeviceInterface> device, const CameraTimings& timings,
               const char* initializationLockFolder)
    : m_moniker(device ? device->GetMoniker() : Transport::DeviceMoniker()), m_timings(timings),
      m_pTransportDevice(std::move(device)),
      m_initializationMutex(kInitializationMutexName, initializationLockFolder)
{
    AssertDevice();
    m_agentsDown.Set();
    m_pTransportDevice->SetNotifyCallback(Transport::NotifyCallback(this, &Camera::OnDeviceLinkLost));
}

Camera::~Camera()
{
    TeardownStep([this] { Shutdown(); });
    for (std::shared_ptr<void>& object : m_retired)
        object.reset();
    m_pTransportDevice->SetNotifyCallback(Transport::NotifyCallback());
    m_pTransportDevice.reset();
}

void Camera::AssertDevice() const
{
    if (m_pTransportDevice == nullptr)
        Universal::AssertionFailed(L"m_pTransportDevice != NULL", Q7_SOURCE_LOCATION);
}

// ---------------------------------------------------------------- identity

void Camera::SetClientIdentity(const char* authenticationText)
{
    const ClientIdentity identity = MakeClientIdentity(authenticationText);
    {
        ScopedLock lock(m_identityLock);
        m_clientIdentity = identity;
    }
    {
        ScopedLock slot(m_ch1.lock);
        if (m_ch1.agent)
            m_ch1.agent->SetClientIdentity(GetClientIdentity());
    }
    {
        ScopedLock slot(m_ch2.lock);
        if (m_ch2.agent)
            m_ch2.agent->SetClientIdentity(GetClientIdentity());
    }
    {
        ScopedLock slot(m_ch3.lock);
        if (m_ch3.agent)
            m_ch3.agent->SetClientIdentity(GetClientIdentity());
    }
    {
        ScopedLock slot(m_ch4.lock);
        if (m_ch4.agent)
            m_ch4.agent->SetClientIdentity(GetClientIdentity());
    }
    {
        ScopedLock slot(m_ch5.lock);
        if (m_ch5.agent)
            m_ch5.agent->SetClientIdentity(GetClientIdentity());
    }
}

void Camera::SetDevelopmentClientIdentity(const char* authenticationText)
{
    const ClientIdentity identity = MakeClientIdentity(authenticationText);
    ScopedLock slot(m_ch255.lock);
    if (!m_ch255.agent)
        throw ModuleError(kError_ChannelNotSupported, L"Kpx Channel not supported!");
    {
        ScopedLock lock(m_identityLock);
        m_developmentIdentity = identity;
    }
    m_ch255.agent->SetClientIdentity(identity);
}

ClientIdentity Camera::GetClientIdentity() const
{
    ScopedLock lock(m_identityLock);
    return m_clientIdentity;
}

ClientIdentity Camera::GetDevelopmentIdentity() const
{
    ScopedLock lock(m_identityLock);
    return m_developmentIdentity;
}

// ---------------------------------------------------------------- Initialize

std::uint32_t Camera::Initialize(bool keepControlTransport)
{
    RefuseInCallback(L"Initialize");
    ScopedLock main(m_mainLock);
    DropRetired();
    if (m_initialized)
        return 0;
    AssertDevice();

    InitializationLock initialization(m_initializationMutex);
    std::unique_ptr<ChannelTransport> control;
    try
    {
        const std::uint32_t result = OpenAndEnumerate(keepControlTransport, control);
        if (result != 0)
        {
            DiscardInitialization(control);
            return result;
        }
    }
    catch (...)
    {
        DiscardInitialization(control);
        throw;
    }
    m_initialized = true;
    if (m_pTransportDevice->IsOpen())
        ArmLinkLoss();
    return 0;
}

std::uint32_t Camera::OpenAndEnumerate(bool keepControlTransport, std::unique_ptr<ChannelTransport>& control)
{
    std::uint32_t result = OpenDevice();
    if (result != 0)
        return result;

    control = MakeTransport(Transport::kDefaultPipeId);
    result = control->Start();
    if (result != 0)
        return result;

    Enumeration::ChannelList descriptors;
    auto info = std::make_shared<Enumeration::DeviceInfo>();
    {
        ScopedLock slot(m_ch0.lock);
        m_ch0.agent = std::make_unique<EnumerationAgent>(*control, m_timings.enumerationReplyMs);
        m_ch0.agent->SetErrorCallback(Universal::ErrorCallback(this, &Camera::ForwardError));
        if (!m_ch0.agent->Open())
        {
            LogWarning(L"Camera::Initialize(): Enumeration failed to open KPX channels");
            return 4;
        }
        if (!m_ch0.agent->GetDeviceInfo(*info))
        {
            LogWarning(L"Camera::Initialize(): Enumeration failed to read device info");
            return 4;
        }
        if (!m_ch0.agent->GetChannelList(descriptors))
        {
            LogWarning(L"Camera::Initialize(): Enumeration failed to read channels list");
            return 4;
        }

        m_keepControlTransport = keepControlTransport;
        if (keepControlTransport)
        {
            TransportEntry entry;
            entry.pipeId = control->GetPipeId();
            entry.transport = std::move(control);
            m_transports.push_back(std::move(entry));
        }
        else
        {
            m_ch0.agent.reset();
        }
    }
    if (!keepControlTransport)
    {
        control.reset();
        m_pTransportDevice->Close(); // a USB camera is opened again by InitializeAgents
    }
    GroupByPipe(std::move(descriptors));
    SetDeviceInfo(std::move(info));
    return 0;
}

std::unique_ptr<ChannelTransport> Camera::MakeTransport(std::uint32_t pipeId)
{
    auto transport =
        std::make_unique<ChannelTransport>(*m_pTransportDevice, pipeId, m_timings.midPacketStallMs);
    transport->SetErrorCallback(Universal::ErrorCallback(this, &Camera::ForwardError));
    return transport;
}

void Camera::GroupByPipe(Enumeration::ChannelList descriptors)
{
    for (auto& descriptor : descriptors)
    {
        const std::uint32_t pipeId = descriptor->GetPipeId();
        TransportEntry* found = nullptr;
        for (TransportEntry& entry : m_transports)
        {
            if (entry.pipeId == pipeId)
            {
                found = &entry;
                break;
            }
        }
        if (found == nullptr)
        {
            TransportEntry entry;
            entry.pipeId = pipeId;
            entry.transport = MakeTransport(pipeId);
            descriptor->ConfigureTransport(*entry.transport);
            m_transports.push_back(std::move(entry));
            found = &m_transports.back();
        }
        found->descriptors.push_back(std::move(descriptor));
    }
}

// Every failed Initialize ends here. The pipes close first: a camera stalled in
// the middle of a reply holds the transport's read until its pipe closes, and
// the channel 0.0 agent cannot stop while its transport still reads. Then the
// agent goes, then the transports (which it used), then the device closes.
void Camera::DiscardInitialization(std::unique_ptr<ChannelTransport>& control) noexcept
{
    m_linkLossArmed = false;
    if (control)
        TeardownStep([&control] { control->Stop(); });
    StopTransports();
    TeardownStep([this] { TakeAgent(m_ch0.lock, m_ch0.agent).reset(); });
    TeardownStep([&control] { control.reset(); });
    TeardownStep([this] { m_transports.clear(); });
    TeardownStep([this] { m_pTransportDevice->Close(); });
    SetDeviceInfo(nullptr);
    m_initialized = false;
}

// ---------------------------------------------------------------- InitializeAgents

std::uint32_t Camera::InitializeAgents(std::shared_ptr<IAllocator<unsigned char>> allocator)
{
    // The allocator is for the buffers of the image agents.
    RefuseInCallback(L"InitializeAgents");
    ScopedLock main(m_mainLock);
    DropRetired();
    if (!m_initialized)
        throw ModuleError(Universal::kError_NotInitialized);
    if (AgentsInitialized())
        return 0;
    if (!m_keepControlTransport)
        Close(); // stops what is left of Initialize and closes the device
    AssertDevice();

    try
    {
        {
            InitializationLock initialization(m_initializationMutex);
            const std::uint32_t result = BringUpTransports();
            if (result != 0)
            {
                Close();
                return result;
            }
        }
        // The image agents' pools share one allocator.
        if (allocator)
            m_allocator = std::move(allocator);
        else if (!m_allocator)
            m_allocator = std::make_shared<Allocator>();
        BuildAgents();
    }
    catch (...)
    {
        Close();
        throw;
    }
    m_agentsDown.Reset();
    ArmLinkLoss();
    return 0;
}

// A USB camera reopens its device and starts every transport. A TCP camera
// whose device is still open from Initialize starts the transports that do not
// run yet (those of other ports); after a Close it reopens and starts them all.
std::uint32_t Camera::BringUpTransports()
{
    if (!m_keepControlTransport || !m_pTransportDevice->IsOpen())
    {
        if (const std::uint32_t result = OpenDevice(); result != 0)
            return result;
    }
    for (TransportEntry& entry : m_transports)
    {
        if (entry.transport->IsOpen())
            continue;
        if (const std::uint32_t result = entry.transport->Start(); result != 0)
            return result;
    }
    return 0;
}

Camera::OfferedChannel Camera::FindOffered(std::uint8_t channel, std::uint8_t subChannel) const
{
    for (const TransportEntry& entry : m_transports)
    {
        for (const auto& descriptor : entry.descriptors)
        {
            if (descriptor->channelNumber == channel && descriptor->subChannelNumber == subChannel)
                return {descriptor.get(), entry.transport.get()};
        }
    }
    return {};
}

// The protocol versions, identity and error forwarder of a new agent. A
// channel of a legacy camera is fixed to the legacy table's version.
template <typename Agent>
void Camera::Equip(Agent& agent, const Enumeration::ChannelDescriptor& descriptor,
                   const ClientIdentity& identity)
{
    const std::optional<ProtocolVersion> legacy =
        descriptor.legacyMark == Enumeration::kLegacyMark_Legacy
            ? Enumeration::FindLegacyVersion(descriptor.channelNumber, descriptor.subChannelNumber)
            : std::nullopt;
    if (legacy)
        agent.SetProtocolVersion(*legacy);
    else
        agent.SetClientMajorVersions({descriptor.majorVersionLowest, descriptor.majorVersionHighest});
    agent.SetClientIdentity(identity);
    agent.SetErrorCallback(Universal::ErrorCallback(this, &Camera::ForwardError));
}

// As Equip, for an agent of two sub-channels: both fixed to the legacy
// table's versions when both have one, else each given its descriptor's
// major range.
template <typename Agent>
void Camera::EquipDataAgent(Agent& agent, const Enumeration::ChannelDescriptor& first,
                            const Enumeration::ChannelDescriptor& second)
{
    const auto legacy = [](const Enumeration::ChannelDescriptor& descriptor)
    {
        return descriptor.legacyMark == Enumeration::kLegacyMark_Legacy
                   ? Enumeration::FindLegacyVersion(descriptor.channelNumber, descriptor.subChannelNumber)
                   : std::nullopt;
    };
    const std::optional<ProtocolVersion> firstLegacy = legacy(first);
    const std::optional<ProtocolVersion> secondLegacy = legacy(second);
    if (firstLegacy && secondLegacy)
        agent.SetProtocolVersion(*firstLegacy, *secondLegacy);
    else
        agent.SetClientMajorVersions({first.majorVersionLowest, first.majorVersionHighest},
                                     {second.majorVersionLowest, second.majorVersionHighest});
    agent.SetClientIdentity(GetClientIdentity());
    agent.SetErrorCallback(Universal::ErrorCallback(this, &Camera::ForwardError));
}

void Camera::BuildAgents()
{
    if (const OfferedChannel offered = FindOffered(1, 0); offered.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing programming agent");
        ScopedLock slot(m_ch1.lock);
        auto agent =
            std::make_unique<ProgrammingAgent>(*offered.transport, m_timings.channel, m_timings.programming);
        Equip(*agent, *offered.descriptor, GetClientIdentity());
        agent->SetProgressCallback(Universal::ProgressCallback(this, &Camera::ForwardProgress));
        const ProgressFunction forward = [this](const Universal::ProgressTask& task)
        { ForwardProgress(task); };
        agent->SetFileProgressCallback(forward);
        agent->SetFirmwareProgressCallback(forward);
        m_ch1.agent = std::move(agent);
        ScopedLock cancel(m_cancelLock);
        m_cancelTarget = m_ch1.agent.get();
    }
    if (const OfferedChannel offered = FindOffered(2, 0); offered.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing device control agent");
        ScopedLock slot(m_ch2.lock);
        auto agent = std::make_unique<DeviceControlAgent>(*offered.transport, m_timings.channel,
                                                          m_timings.descriptorWaitMs);
        Equip(*agent, *offered.descriptor, GetClientIdentity());
        agent->SetNotifyReceiver(DeviceControlAgent::NotifyReceiver(this, &Camera::OnPropertyNotify));
        m_ch2.agent = std::move(agent);
    }
    if (const OfferedChannel offered = FindOffered(3, 0); offered.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing enumeration control agent");
        ScopedLock slot(m_ch3.lock);
        auto agent = std::make_unique<ImageEnumerationAgent>(*offered.transport, m_timings.channel,
                                                             m_timings.imageEnumeration);
        Equip(*agent, *offered.descriptor, GetClientIdentity());
        agent->SetNotifyReceiver(ImageEnumerationAgent::NotifyReceiver(this, &Camera::OnImageEnumNotify));
        m_ch3.agent = std::move(agent);
    }
    if (const OfferedChannel first = FindOffered(4, 1), second = FindOffered(4, 2);
        first.descriptor != nullptr && second.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing image transfer agent");
        ScopedLock slot(m_ch4.lock);
        auto agent = std::make_unique<ImageTransferAgent>(m_allocator, *first.transport, *second.transport,
                                                          m_timings.channel, m_timings.imageTransfer);
        EquipDataAgent(*agent, *first.descriptor, *second.descriptor);
        agent->GetMachine().SetBufferLimit(m_imageBufferLimit);
        agent->SetProgressCallback([this](const Universal::ProgressTask& task) { ForwardProgress(task); });
        agent->SetNotifyReceiver(ImageTransferAgent::NotifyReceiver(this, &Camera::OnTransferNotify));
        m_ch4.agent = std::move(agent);
        m_transferStatusEvent.Reset();
        ScopedLock cancel(m_cancelLock);
        m_cancelTransferTarget = m_ch4.agent.get();
    }
    if (const OfferedChannel first = FindOffered(5, 1), second = FindOffered(5, 2);
        first.descriptor != nullptr && second.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing live view agent");
        ScopedLock slot(m_ch5.lock);
        auto agent = std::make_unique<LiveViewAgent>(m_allocator, *first.transport, *second.transport,
                                                     m_timings.channel, m_timings.liveView);
        EquipDataAgent(*agent, *first.descriptor, *second.descriptor);
        agent->GetMachine().SetBufferLimit(m_liveViewBufferLimit);
        agent->SetNotifyReceiver(LiveViewAgent::NotifyReceiver(this, &Camera::OnLiveViewNotify));
        m_ch5.agent = std::move(agent);
        // A camera that refuses this side's code or connection here still
        // serves its other channels; StartLiveView raises the refusal.
        try
        {
            m_ch5.agent->Open();
        }
        catch (const ModuleError& error)
        {
            Universal::LogError(error, L"KPX camera live view agent did not open.");
        }
    }
    if (const OfferedChannel offered = FindOffered(255, 0); offered.descriptor != nullptr)
    {
        LogInfo(L"KPX camera initializing development agent");
        ScopedLock slot(m_ch255.lock);
        auto agent = std::make_unique<DevelopmentAgent>(*offered.transport, m_timings.channel,
                                                        m_timings.developmentMessageLimit);
        Equip(*agent, *offered.descriptor, GetDevelopmentIdentity());
        agent->SetMessageReceiver(DevelopmentAgent::MessageReceiver(this, &Camera::OnDevelopmentMessage));
        m_ch255.agent = std::move(agent);
    }
}

// ---------------------------------------------------------------- Close, Shutdown

void Camera::Close()
{
    RefuseInCallback(L"Close");
    ScopedLock main(m_mainLock);
    DropRetired();
    if (!m_initialized)
        return;
    // Transfers wait on this event too: they end now and free their slots.
    m_agentsDown.Set();
    // Nothing the camera sends from here on is read by anyone: it is read
    // away as it comes, so that the camera's answers to what it was asked
    // before do not keep the channels' closes waiting.
    for (TransportEntry& entry : m_transports)
        entry.transport->SetDiscardingData(true);

    // A camera that stopped reading holds a pipe write, and one that stalled in
    // the middle of a packet holds a pipe read, until the pipe closes: the watch
    // closes every pipe when the orderly close takes too long. It has ended
    // before the device closes, so that no pipe closes under the device's close.
    RunWatched(
        L"close", [this] { StopTransports(); },
        [this]
        {
            StopAgents();
            // A link lost before the camera's own close is still the owner's news.
            ReportLinkLossIfLost();
            m_linkLossArmed = false;
            StopTransports();
        });
    AssertDevice();
    TeardownStep([this] { m_pTransportDevice->Close(); });
}

void Camera::RunWatched(const wchar_t* operation, std::function<void()> unblock,
                        const std::function<void()>& step)
{
    m_watchedOperation = operation;
    m_watchUnblock = std::move(unblock);
    TeardownStep([this] { m_watch.Start(Platform::ThreadFunctor(this, &Camera::WatchThread), nullptr, 0); });
    struct StopWatch
    {
        Platform::Thread_Posix& watch;
        ~StopWatch()
        {
            TeardownStep(
                [this]
                {
                    while (!watch.Stop(10000))
                    {
                        Universal::LogErrorText(L"Thread '%ls' taking an unexpectedly long time to stop.",
                                                watch.GetName());
                    }
                    watch.Close();
                });
        }
    } stopWatch{m_watch};
    step();
}

void Camera::WatchThread(Platform::Thread_Posix& thread, void* /*parameter*/)
{
    thread.GetReadyEvent().Set();
    if (Platform::WaitForObject(&thread.GetStopEvent(), m_timings.closeBoundMs))
        return;
    LogWarning(L"KPX camera %ls taking longer than %u ms: closing pipes", m_watchedOperation,
               m_timings.closeBoundMs);
    m_watchUnblock();
}

void Camera::StopAgents()
{
    TeardownStep(
        [this]
        {
            if (auto agent = TakeAgent(m_ch255.lock, m_ch255.agent))
            {
                agent->StopThreads();
                Retire(std::move(agent));
            }
        });
    TeardownStep(
        [this]
        {
            if (std::shared_ptr<LiveViewAgent> agent = TakeAgent(m_ch5.lock, m_ch5.agent))
            {
                // Retired first: on one of the agent's own threads (a live-view
                // callback) StopThreads refuses, and the agent must outlive it.
                Retire(agent);
                agent->StopThreads();
            }
        });
    TeardownStep(
        [this]
        {
            if (auto agent = TakeAgent(m_ch4.lock, m_ch4.agent))
            {
                {
                    ScopedLock cancel(m_cancelLock);
                    m_cancelTransferTarget = nullptr;
                }
                // On one of the agent's own threads (a receiver or notify sink
                // closing the camera) the agent cannot wait for its threads:
                // it is kept, and stopped and freed by the next Close or the
                // camera's end on another thread. Its sub-channels end with
                // the transports meanwhile.
                if (agent->IsOwnThread())
                {
                    Retire(std::shared_ptr<ImageTransferAgent>(std::move(agent)));
                    return;
                }
                agent->StopThreads();
            }
        });
    TeardownStep(
        [this]
        {
            if (auto agent = TakeAgent(m_ch2.lock, m_ch2.agent))
            {
                agent->Stop();
                Retire(std::move(agent));
            }
        });
    TeardownStep(
        [this]
        {
            auto agent = TakeAgent(m_ch3.lock, m_ch3.agent);
            if (agent)
                agent->Stop();
            {
                // After the stop: the agent's notify thread can store no more.
                std::lock_guard lock(m_capabilitiesLock);
                m_capabilities.reset();
            }
            Retire(std::move(agent));
        });
    TeardownStep(
        [this]
        {
            if (auto agent = TakeAgent(m_ch1.lock, m_ch1.agent))
            {
                {
                    ScopedLock cancel(m_cancelLock);
                    m_cancelTarget = nullptr;
                }
                agent->Stop();
                Retire(std::move(agent));
            }
        });
    TeardownStep(
        [this]
        {
            if (auto agent = TakeAgent(m_ch0.lock, m_ch0.agent))
            {
                agent->Close();
                Retire(std::move(agent));
            }
        });
}

// A thread of the library that takes down an agent may be returning into that
// agent's code afterwards: it must not free it. The camera's own callbacks are
// refused Close and Shutdown (RefuseInCallback); this keeps any other thread of
// the library that closes the camera from freeing what it may still run in.
// The agent is stopped; a thread of its own has let itself go and ends once it
// returned.
void Camera::Retire(std::shared_ptr<void> object)
{
    if (object && Platform::Thread_Posix::IsCallerInThreadBody())
        m_retired.push_back(std::move(object));
}

void Camera::DropRetired() noexcept
{
    if (Platform::Thread_Posix::IsCallerInThreadBody())
        return;
    // In the order taken down: agents before the transports they use. The
    // destructors wait for threads still returning from a callback.
    for (std::shared_ptr<void>& object : m_retired)
        object.reset();
    m_retired.clear();
}

void Camera::StopTransports() noexcept
{
    for (TransportEntry& entry : m_transports)
        TeardownStep([&entry] { entry.transport->Stop(); });
}

void Camera::Shutdown()
{
    RefuseInCallback(L"Shutdown");
    ScopedLock main(m_mainLock);
    TeardownStep([this] { Close(); });
    TeardownStep(
        [this]
        {
            for (TransportEntry& entry : m_transports)
                Retire(std::move(entry.transport));
            m_transports.clear();
        });
    SetDeviceInfo(nullptr);
    m_initialized = false;
}

// ---------------------------------------------------------------- queries

bool Camera::IsInitialized() const
{
    return m_initialized;
}

bool Camera::AgentsInitialized() const
{
    return !m_agentsDown.IsSet();
}

bool Camera::IsOpen() const
{
    AssertDevice();
    return m_pTransportDevice->IsOpen() && AgentsInitialized();
}

void Camera::SetDeviceInfo(std::shared_ptr<const Enumeration::DeviceInfo> info)
{
    const std::lock_guard lock(m_deviceInfoLock);
    m_deviceInfo = std::move(info);
}

Enumeration::DeviceInfo Camera::GetDeviceInfo() const
{
    std::shared_ptr<const Enumeration::DeviceInfo> info;
    {
        const std::lock_guard lock(m_deviceInfoLock);
        info = m_deviceInfo;
    }
    if (!info)
        throw ModuleError(Universal::kError_NotInitialized);
    return *info;
}

Enumeration::FirmwareVersion Camera::GetFirmwareVersion() const
{
    return GetDeviceInfo().firmwareVersion;
}

std::uint32_t Camera::GetConnectionType() const
{
    return IsOpen() ? m_pTransportDevice->GetConnectionType() : Transport::kConnectionType_Unknown;
}

Platform::EventStatus& Camera::GetDisconnectedEvent()
{
    AssertDevice();
    return m_pTransportDevice->GetDisconnectedEvent();
}

// ---------------------------------------------------------------- link loss

std::uint32_t Camera::OpenDevice()
{
    m_linkLossReported = false;
    return m_pTransportDevice->Open();
}

void Camera::ArmLinkLoss()
{
    m_linkLossArmed = true;
    ReportLinkLossIfLost();
}

// The device's notify thread reports a lost link once per open, but it may
// have found the camera not yet (or no longer) armed: a link already lost is
// reported here instead.
void Camera::ReportLinkLossIfLost()
{
    if (m_pTransportDevice->IsOpen() && !m_pTransportDevice->IsConnected())
        OnDeviceLinkLost();
}

// On the device's notify thread (or the caller's, above): it must not touch
// the device's lifecycle nor the main lock.
void Camera::OnDeviceLinkLost()
{
    if (m_linkLossArmed && !m_linkLossReported.exchange(true))
        ReportLinkLoss();
}

void Camera::ReportLinkLoss()
{
    LogInfo(L"KPX camera device disconnect detected");
    Notify(kNotify_DeviceDisconnected, nullptr);
    Universal::LogDebug(L"KPX camera device disconnect detected done");
}

// ---------------------------------------------------------------- forwarders

void Camera::ForwardError(const UniversalError& error)
{
    const CallbackScope scope(*this);
    DispatchError(error);
}

void Camera::ForwardProgress(const Universal::ProgressTask& task)
{
    const CallbackScope scope(*this);
    NotifyProgress(task);
}

} // namespace Q7::KPX
