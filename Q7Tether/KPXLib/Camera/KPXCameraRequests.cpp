// The KPX camera's requests to its agents of channels 1.0 and 2.0, each under
// its agent's slot lock, and the notifications it hands upward.

#include "Camera/KPXCamera.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Wire/KPXValue.h"

#include <exception>
#include <utility>

namespace Q7::KPX
{

using Platform::ScopedLock;
using Universal::ModuleError;
using Universal::UniversalError;

namespace
{

// The error of a programming request on a camera without channel 1.0.
[[noreturn]] void ThrowNoProgramming()
{
    throw ModuleError(Universal::kError_NotAvailable, L"KPX camera programming.");
}

} // namespace

// ---------------------------------------------------------------- notifications

void Camera::SetNotifyCallback(NotifyFunction function)
{
    RefuseInCallback(L"SetNotifyCallback");
    ScopedLock main(m_mainLock);
    ScopedLock lock(m_notifyLock);
    m_notifyFunction = std::move(function);
}

void Camera::SetNotifyReceiver(const NotifyReceiver& receiver)
{
    RefuseInCallback(L"SetNotifyReceiver");
    ScopedLock main(m_mainLock);
    ScopedLock lock(m_notifyLock);
    if (&receiver != &m_notifyReceiver)
        m_notifyReceiver = receiver; // an empty or unbound holder leaves it empty
}

// Each sink is called on its own: one that throws keeps neither the other nor
// the next notification from being delivered.
void Camera::Notify(EnumNotify id, const NotifyPayload& payload)
{
    ScopedLock lock(m_notifyLock);
    const CallbackScope scope(*this);
    if (!m_notifyReceiver.IsNull())
        Universal::CallAndLogErrors(L"KPX camera notify receiver", [&] { m_notifyReceiver(id, payload); });
    if (m_notifyFunction)
        Universal::CallAndLogErrors(L"KPX camera notify receiver", [&] { m_notifyFunction(id, payload); });
}

// On the device-control agent's notify thread.
void Camera::OnPropertyNotify(DeviceControlAgent::EnumPropertyNotify kind,
                              const std::vector<unsigned int>& ids)
{
    EnumNotify id;
    switch (kind)
    {
    case DeviceControl::kPropertyNotify_Added:
        id = kNotify_PropertyAdded;
        break;
    case DeviceControl::kPropertyNotify_Removed:
        id = kNotify_PropertyRemoved;
        break;
    case DeviceControl::kPropertyNotify_DescriptorChanged:
        id = kNotify_PropertyDescriptorChange;
        break;
    case DeviceControl::kPropertyNotify_StateChanged:
        id = kNotify_PropertyStateChange;
        break;
    default:
        Q7_REPORT_INTERNAL_ERROR(ModuleError(Universal::kError_NotImplemented),
                                 L"KPX camera unknown property notification.");
        return;
    }
    // The ids are the agent's: the payload points at them without owning them.
    Notify(id, NotifyPayload(NotifyPayload(), &ids));
}

// ---------------------------------------------------------------- channel 2.0

template <typename Result, typename Call>
Result Camera::WithDeviceControl(Result empty, Call&& call) const
{
    ScopedLock slot(m_ch2.lock);
    if (!m_ch2.agent)
        return empty;
    return call(*m_ch2.agent);
}

void Camera::StartDeviceControl()
{
    RefuseInCallback(L"StartDeviceControl");
    WithDeviceControl(0, [](DeviceControlAgent& agent) { return agent.Start(), 0; });
}

void Camera::StopDeviceControl()
{
    RefuseInCallback(L"StopDeviceControl");
    // Stop waits for the agent's notify thread, which may be in the owner's
    // callback asking this camera for a property: the slot lock is not held
    // while the agent stops. The main lock keeps Close from taking the agent
    // away meanwhile.
    ScopedLock main(m_mainLock);
    DeviceControlAgent* const agent =
        WithDeviceControl<DeviceControlAgent*>(nullptr, [](DeviceControlAgent& found) { return &found; });
    if (agent == nullptr)
        return;
    // A camera that takes no more bytes holds the agent's close in a pipe
    // write until that pipe closes.
    ChannelTransport* const transport = FindOffered(2, 0).transport;
    RunWatched(
        L"StopDeviceControl",
        [transport]
        {
            if (transport != nullptr)
                transport->AbandonPipe();
        },
        [agent] { agent->Stop(); });
}

bool Camera::IsDeviceControlStarted() const
{
    return WithDeviceControl(false, [](DeviceControlAgent& agent) { return agent.IsStarted(); });
}

bool Camera::GetProperty(std::uint32_t id, Property& property) const
{
    return WithDeviceControl(false,
                             [&](DeviceControlAgent& agent) { return agent.GetProperty(id, property); });
}

bool Camera::GetPropertyDescriptor(std::uint32_t id, PropertyDescriptor& descriptor) const
{
    return WithDeviceControl(false, [&](DeviceControlAgent& agent)
                             { return agent.GetPropertyDescriptor(id, descriptor); });
}

bool Camera::GetPropertyState(std::uint32_t id, PropertyState& state) const
{
    return WithDeviceControl(false,
                             [&](DeviceControlAgent& agent) { return agent.GetPropertyState(id, state); });
}

std::vector<unsigned int> Camera::GetPropertyIds() const
{
    return WithDeviceControl(std::vector<unsigned int>(),
                             [](DeviceControlAgent& agent) { return agent.GetPropertyIds(); });
}

std::list<Camera::Property> Camera::GetPropertyList() const
{
    return WithDeviceControl(std::list<Property>(),
                             [](DeviceControlAgent& agent) { return agent.GetPropertyList(); });
}

std::uint32_t Camera::GetPropertyType(std::uint32_t id) const
{
    return WithDeviceControl(std::uint32_t{0},
                             [id](DeviceControlAgent& agent) { return agent.GetPropertyType(id); });
}

bool Camera::HasProperty(std::uint32_t id) const
{
    return WithDeviceControl(false, [id](DeviceControlAgent& agent) { return agent.HasProperty(id); });
}

bool Camera::SetPropertyValue(std::uint32_t id, const Value& value)
{
    return WithDeviceControl(false,
                             [&](DeviceControlAgent& agent) { return agent.SetPropertyValue(id, value); });
}

bool Camera::RefreshProperty(std::uint32_t id)
{
    return WithDeviceControl(false, [id](DeviceControlAgent& agent) { return agent.RefreshProperty(id); });
}

bool Camera::RestorePropertyValue(std::uint32_t id)
{
    return WithDeviceControl(false,
                             [id](DeviceControlAgent& agent) { return agent.RestorePropertyValue(id); });
}

void Camera::ExecuteCommand(std::uint32_t parameter)
{
    WithDeviceControl(0,
                      [parameter](DeviceControlAgent& agent) { return agent.ExecuteCommand2(parameter), 0; });
}

void Camera::ShutterRelease()
{
    WithDeviceControl(0, [](DeviceControlAgent& agent) { return agent.ShutterRelease(), 0; });
}

// ---------------------------------------------------------------- channel 1.0

// The agent in the channel 1.0 slot, whose lock the caller holds.
ProgrammingAgent& Camera::ProgrammingAgentLocked() const
{
    if (!m_ch1.agent)
        ThrowNoProgramming();
    return *m_ch1.agent;
}

// A transfer ends, failed, when Close begins.
WaitObjectList Camera::TransferAbortObjects()
{
    return WaitObjectList{&m_agentsDown};
}

// Runs a transfer with the agent started; an agent that was stopped is
// started for it and stopped again afterwards, also when it raises.
template <typename Call>
auto Camera::WithStartedProgramming(const wchar_t* operation, Call&& call)
{
    RefuseInCallback(operation);
    ScopedLock slot(m_ch1.lock);
    ProgrammingAgent& agent = ProgrammingAgentLocked();
    if (agent.IsStarted())
        return call(agent);
    agent.Start();
    struct StopAfter
    {
        ProgrammingAgent& agent;
        ~StopAfter() { agent.Stop(); }
    } stopAfter{agent};
    return call(agent);
}

namespace
{

// Installs a transfer's progress callback on the agent and puts the camera's
// forwarder back afterwards, so that no later transfer reports to it.
class ProgressFor
{
public:
    using Setter = void (ProgrammingAgent::*)(std::function<void(const Universal::ProgressTask&)>);

    ProgressFor(ProgrammingAgent& agent, Setter setter, Camera::ProgressFunction progress,
                Camera::ProgressFunction forward)
        : m_agent(agent), m_setter(setter), m_forward(std::move(forward))
    {
        (m_agent.*m_setter)(progress ? std::move(progress) : m_forward);
    }
    ~ProgressFor() { (m_agent.*m_setter)(m_forward); }

    ProgressFor(const ProgressFor&) = delete;
    ProgressFor& operator=(const ProgressFor&) = delete;

private:
    ProgrammingAgent& m_agent;
    Setter m_setter;
    Camera::ProgressFunction m_forward;
};

} // namespace

bool Camera::UpdateFirmware(const ProgressFunction& progress, const std::uint8_t* data, std::uint64_t size)
{
    return WithStartedProgramming(
        L"UpdateFirmware",
        [&](ProgrammingAgent& agent)
        {
            const ProgressFor installed(
                agent, &ProgrammingAgent::SetFirmwareProgressCallback, AsCallback(progress),
                [this](const Universal::ProgressTask& task) { ForwardProgress(task); });
            return agent.SendFirmwareData(TransferAbortObjects(), data, size);
        });
}

bool Camera::UploadData(const ProgressFunction& progress, std::uint32_t type, const std::uint8_t* data,
                        std::uint64_t size, const wchar_t* name)
{
    return WithStartedProgramming(L"UploadData",
                                  [&](ProgrammingAgent& agent)
                                  {
                                      const ProgressFor installed(agent,
                                                                  &ProgrammingAgent::SetFileProgressCallback,
                                                                  AsCallback(progress),
                                                                  [this](const Universal::ProgressTask& task)
                                                                  { ForwardProgress(task); });
                                      return agent.SendData(type, TransferAbortObjects(), data, size, name);
                                  });
}

bool Camera::SendData(std::uint32_t type, const std::uint8_t* data, std::uint64_t size, const wchar_t* name)
{
    return WithStartedProgramming(L"SendData", [&](ProgrammingAgent& agent)
                                  { return agent.SendData(type, TransferAbortObjects(), data, size, name); });
}

bool Camera::SendFile(std::uint32_t type, const wchar_t* path)
{
    return WithStartedProgramming(L"SendFile", [&](ProgrammingAgent& agent)
                                  { return agent.SendFile(type, path, TransferAbortObjects()); });
}

bool Camera::SendFirmwareFile(std::uint32_t type, const wchar_t* path)
{
    RefuseInCallback(L"SendFirmwareFile");
    ScopedLock slot(m_ch1.lock);
    return ProgrammingAgentLocked().SendFirmwareFile(type, path, TransferAbortObjects());
}

std::vector<std::uint8_t> Camera::DownloadLog(std::uint32_t kind, bool descramble)
{
    return WithStartedProgramming(L"DownloadLog",
                                  [&](ProgrammingAgent& agent)
                                  {
                                      std::vector<std::uint8_t> log;
                                      agent.DownloadLog(log, kind, TransferAbortObjects(), descramble);
                                      return log;
                                  });
}

bool Camera::DownloadLogToFile(std::uint32_t kind, const wchar_t* path, bool descramble)
{
    return WithStartedProgramming(
        L"DownloadLogToFile", [&](ProgrammingAgent& agent)
        { return agent.DownloadLogToFile(kind, path, TransferAbortObjects(), descramble); });
}

void Camera::StartProgramming()
{
    RefuseInCallback(L"StartProgramming");
    ScopedLock slot(m_ch1.lock);
    ProgrammingAgentLocked().Start();
}

void Camera::StopProgramming()
{
    RefuseInCallback(L"StopProgramming");
    ScopedLock slot(m_ch1.lock);
    if (!m_ch1.agent)
    {
        Universal::LogError(ModuleError(Universal::kError_NotAvailable, L"KPX camera programming."));
        return;
    }
    m_ch1.agent->Stop();
}

bool Camera::IsProgrammingStarted() const
{
    ScopedLock slot(m_ch1.lock);
    return m_ch1.agent && m_ch1.agent->IsStarted();
}

void Camera::CancelTask(std::uint32_t type, std::uint32_t id)
{
    ScopedLock lock(m_cancelLock);
    if (m_cancelTransferTarget != nullptr)
        static_cast<Universal::ProgressProvider&>(*m_cancelTransferTarget).CancelTask(type, id);
    if (m_cancelTarget != nullptr)
        m_cancelTarget->CancelTask(type, id);
}

// ---------------------------------------------------------------- slots

bool Camera::HasProgramming() const
{
    ScopedLock slot(m_ch1.lock);
    return m_ch1.agent != nullptr;
}

bool Camera::HasDeviceControl() const
{
    ScopedLock slot(m_ch2.lock);
    return m_ch2.agent != nullptr;
}

} // namespace Q7::KPX
