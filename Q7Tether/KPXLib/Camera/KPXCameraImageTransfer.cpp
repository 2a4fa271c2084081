// The KPX camera's requests to its agent of channels 4.1 and 4.2 (image
// transfer), each under the agent's slot lock: the transfer switches, the
// status queries and image requests, the agent's callbacks; the agent's
// transfer-status notification as id 21; and the camera-level image receiver.

#include "Camera/KPXCamera.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

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

// A transfer switch whose wait for the camera's status ended otherwise.
constexpr std::uint32_t kError_NoTransferStatus = 0x6500CA;
// The agent's threads do not run after its Open.
constexpr std::uint32_t kError_SubChannelNotOpen = 0x15E0019;

[[noreturn]] void ThrowNoTransferStatus(const wchar_t* switchName)
{
    Universal::ThrowModuleError(
        ModuleError(kError_NoTransferStatus, L"KPX camera transfer status not received."), L"%ls",
        switchName);
}

} // namespace

// ---------------------------------------------------------------- camera-level image receiver

void Camera::SetImageReceiver(const ImageReceiver& receiver)
{
    ScopedLock lock(m_imageReceiverLock);
    if (&receiver != &m_imageReceiver)
        m_imageReceiver = receiver; // an empty or unbound holder leaves it empty
}

void Camera::SetImageReceiver(ImageReceiverFunction function)
{
    ScopedLock lock(m_imageReceiverLock);
    m_imageReceiverFunction = std::move(function);
}

void Camera::DeliverImage(std::uint32_t imageId, const char* fileName, const std::uint8_t* data,
                          std::uint32_t size, const BufferPtr& buffer)
{
    ScopedLock lock(m_imageReceiverLock);
    if (!m_imageReceiver.IsNull())
        Universal::CallAndLogErrors(L"KPX camera image receiver",
                                    [&] { m_imageReceiver(imageId, fileName, data, size, buffer); });
    if (m_imageReceiverFunction)
        Universal::CallAndLogErrors(L"KPX camera image receiver",
                                    [&] { m_imageReceiverFunction(imageId, fileName, data, size, buffer); });
}

// ---------------------------------------------------------------- notification

// On the image-transfer agent's notify thread: no slot lock, so that a switch
// that holds the slot and waits for the status is released here.
void Camera::OnTransferNotify(ImageTransferAgent::EnumNotify kind, const void* payload)
{
    if (kind != ImageTransferAgent::kNotify_TransferStatusChanged)
    {
        Q7_REPORT_INTERNAL_ERROR(ModuleError(Universal::kError_NotImplemented),
                                 L"KPX camera unknown transfer notification.");
        return;
    }
    m_transferStatusEvent.Set();
    // The status is the agent's: the payload points at it without owning it.
    Notify(kNotify_TransferStatusChange, NotifyPayload(NotifyPayload(), payload));
}

// ---------------------------------------------------------------- channels 4.1 and 4.2

template <typename Result, typename Call>
Result Camera::WithImageTransfer(Result empty, Call&& call) const
{
    ScopedLock slot(m_ch4.lock);
    if (!m_ch4.agent)
        return empty;
    return call(*m_ch4.agent);
}

bool Camera::WaitForTransferStatus()
{
    // A lost camera or Close ends the wait, as they end every transfer.
    Platform::BaseWaitObject* const objects[] = {&m_transferStatusEvent, &GetDisconnectedEvent(),
                                                 &m_agentsDown};
    std::uint32_t index = Platform::kNoSignalledIndex;
    return Platform::WaitForObjects(&index, 3, objects, false, m_timings.transferSwitchWaitMs) && index == 0;
}

void Camera::StartTransfer()
{
    ScopedLock slot(m_ch4.lock);
    if (!m_ch4.agent)
    {
        LogWarning(L"KPX camera Ignoring request to StartTransfer() - no image-transfer-agent!");
        return;
    }
    ImageTransferAgent& agent = *m_ch4.agent;
    // On the agent's own threads (a receiver or notify sink) a switch would
    // wait for them: refused before anything changes.
    agent.RefuseOwnThread(L"StartTransfer");
    if (agent.IsTransferEnabled())
    {
        LogInfo(L"KPX camera Ignoring request to StartTransfer() - already started.");
        return;
    }
    m_transferStatusEvent.Reset();
    agent.Open();
    // Without its threads the agent sends nothing: no status can come.
    if (!agent.AreThreadsRunning())
        Universal::ThrowModuleError(ModuleError(
            kError_SubChannelNotOpen, L"KPX ch4 One of the ImageTransfer sub-channels could not open!"));
    agent.SetTransferEnabled(true);
    if (!WaitForTransferStatus())
        ThrowNoTransferStatus(L"StartTransfer");
}

void Camera::PauseTransfer()
{
    ScopedLock slot(m_ch4.lock);
    if (!m_ch4.agent)
    {
        LogWarning(L"KPX camera Ignoring request to PauseTransfer() - no image-transfer-agent!");
        return;
    }
    ImageTransferAgent& agent = *m_ch4.agent;
    agent.RefuseOwnThread(L"PauseTransfer");
    if (!agent.IsTransferEnabled())
    {
        LogInfo(L"KPX camera Ignoring request to PauseTransfer() - already paused/stopped.");
        return;
    }
    m_transferStatusEvent.Reset();
    agent.SetTransferEnabled(false);
    if (!WaitForTransferStatus())
        ThrowNoTransferStatus(L"PauseTransfer");
}

void Camera::StopTransfer()
{
    ScopedLock slot(m_ch4.lock);
    if (!m_ch4.agent)
    {
        LogWarning(L"KPX camera Ignoring request to StopTransfer() - no image-transfer-agent!");
        return;
    }
    ImageTransferAgent& agent = *m_ch4.agent;
    agent.RefuseOwnThread(L"StopTransfer");
    bool statusReceived = true;
    if (agent.IsTransferEnabled())
    {
        m_transferStatusEvent.Reset();
        agent.SetTransferEnabled(false);
        statusReceived = WaitForTransferStatus();
    }
    else
    {
        LogInfo(L"KPX camera Ignoring request to StopTransfer() - already paused/stopped.");
    }
    agent.StopThreads();
    if (!statusReceived)
        ThrowNoTransferStatus(L"StopTransfer");
}

bool Camera::IsImageReceivingEnabled() const
{
    return WithImageTransfer(false, [](ImageTransferAgent& agent) { return agent.IsTransferEnabled(); });
}

bool Camera::RequestImage(std::uint32_t imageId)
{
    return WithImageTransfer(false,
                             [imageId](ImageTransferAgent& agent) { return agent.RequestImage(imageId); });
}

void Camera::SetHostStorageSize(std::uint32_t megabytes)
{
    WithImageTransfer(0, [megabytes](ImageTransferAgent& agent)
                      { return agent.SetHostStorageSize(megabytes), 0; });
}

void Camera::SetReceiveBufferLimits(std::uint64_t imageBytes, std::uint64_t liveViewFrameBytes)
{
    m_imageBufferLimit = imageBytes;
    m_liveViewBufferLimit = liveViewFrameBytes;
    WithImageTransfer(0, [imageBytes](ImageTransferAgent& agent)
                      { return agent.GetMachine().SetBufferLimit(imageBytes), 0; });
    ScopedLock slot(m_ch5.lock);
    if (m_ch5.agent)
        m_ch5.agent->GetMachine().SetBufferLimit(liveViewFrameBytes);
}

std::uint32_t Camera::GetHostStorageSize()
{
    return WithImageTransfer(std::uint32_t{0},
                             [](ImageTransferAgent& agent) { return agent.GetHostStorageSize(); });
}

std::uint32_t Camera::GetPendingImageCount()
{
    return WithImageTransfer(std::uint32_t{0},
                             [](ImageTransferAgent& agent) { return agent.GetPendingImageCount(); });
}

TransferStatus Camera::GetTransferStatus()
{
    return WithImageTransfer(TransferStatus{},
                             [](ImageTransferAgent& agent)
                             {
                                 TransferStatus status;
                                 agent.GetTransferStatus(status);
                                 return status;
                             });
}

void Camera::SetImageReceiveCallback(ImageReceiveCallback callback)
{
    WithImageTransfer(0, [&](ImageTransferAgent& agent)
                      { return agent.SetImageReceiver(std::move(callback)), 0; });
}

void Camera::SetImageTransferProgressCallback(ProgressFunction callback)
{
    WithImageTransfer(0, [&](ImageTransferAgent& agent) { return agent.SetProgressCallback(callback), 0; });
}

bool Camera::HasImageTransfer() const
{
    ScopedLock slot(m_ch4.lock);
    return m_ch4.agent != nullptr;
}

} // namespace Q7::KPX
