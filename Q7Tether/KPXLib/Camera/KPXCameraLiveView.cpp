// The KPX camera's requests to its agent of channels 5.1 and 5.2 (live view),
// each under the agent's slot lock, and the agent's notifications as ids 31
// to 33 and the subscription callback's live-view state.

#include "Camera/KPXCamera.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <utility>

namespace Q7::KPX
{

using Platform::ScopedLock;
using Universal::ModuleError;

namespace
{

// SetLiveViewConfiguration while the agent's threads do not run.
constexpr std::uint32_t kError_LiveViewNotStarted = 0x15E006B;

} // namespace

// ---------------------------------------------------------------- notification

// On the live-view agent's notify thread: no slot lock, so that a forwarder
// that holds the slot may wait for this thread.
void Camera::OnLiveViewNotify(LiveViewAgent::EnumNotify kind, const void* payload)
{
    switch (kind)
    {
    case LiveViewAgent::kNotify_StateChanged:
    {
        ScopedLock lock(m_subscriptionLock);
        if (!m_subscriptionFunction)
            return;
        const auto state =
            static_cast<LiveView::EnumLiveViewState>(reinterpret_cast<std::uintptr_t>(payload));
        const SubscriptionPayload variant(state);
        try
        {
            m_subscriptionFunction(kSubscriptionNotification_LiveViewState, variant);
        }
        catch (...)
        {
            Universal::LogError(ModuleError(Universal::kError_UnexpectedException,
                                            L"KPX camera HandleSubscriptionNotifications"));
        }
        break;
    }
    case LiveViewAgent::kNotify_CapabilitiesChanged:
        Notify(kNotify_LiveViewCapabilitiesChange, NotifyPayload(NotifyPayload(), payload));
        return;
    case LiveViewAgent::kNotify_ConfigurationChanged:
        Notify(kNotify_LiveViewConfigurationChange, NotifyPayload(NotifyPayload(), payload));
        return;
    default:
        Q7_REPORT_INTERNAL_ERROR(ModuleError(Universal::kError_NotImplemented),
                                 L"KPX camera unknown live view notification.");
        return;
    }
    // The state is the payload pointer's own value, owned by nobody.
    Notify(kNotify_LiveViewStateChange, NotifyPayload(NotifyPayload(), payload));
}

// ---------------------------------------------------------------- channels 5.1 and 5.2

template <typename Result, typename Call>
Result Camera::WithLiveView(Result empty, Call&& call) const
{
    ScopedLock slot(m_ch5.lock);
    if (!m_ch5.agent)
        return empty;
    return call(*m_ch5.agent);
}

void Camera::StartLiveView()
{
    WithLiveView(0,
                 [](LiveViewAgent& agent)
                 {
                     agent.Open();
                     agent.Start();
                     return 0;
                 });
}

void Camera::StopLiveView()
{
    WithLiveView(0,
                 [](LiveViewAgent& agent)
                 {
                     if (agent.IsRunning())
                         agent.Stop();
                     return 0;
                 });
}

void Camera::PauseLiveView()
{
    WithLiveView(0,
                 [](LiveViewAgent& agent)
                 {
                     if (agent.IsRunning())
                         agent.Pause();
                     return 0;
                 });
}

void Camera::SetLiveViewConfiguration(const LiveView::Configuration& configuration)
{
    WithLiveView(0,
                 [&](LiveViewAgent& agent)
                 {
                     if (!agent.IsRunning())
                         throw ModuleError(
                             kError_LiveViewNotStarted,
                             L"Cannot set LiveView config when KPX LiveView agent is not started!");
                     agent.SetConfiguration(configuration);
                     return 0;
                 });
}

void Camera::SetLiveViewAutoFormat(bool enable)
{
    WithLiveView(0,
                 [enable](LiveViewAgent& agent)
                 {
                     agent.Open();
                     agent.SetAutoFormat(enable);
                     return 0;
                 });
}

bool Camera::SetLiveViewWhiteBalancePoint(std::uint32_t x, std::uint32_t y)
{
    return WithLiveView(false,
                        [x, y](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.SetWhiteBalancePoint(x, y);
                        });
}

bool Camera::IsLiveViewWhiteBalancePointSupported()
{
    return WithLiveView(false,
                        [](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.IsWhiteBalancePointSupported();
                        });
}

std::uint32_t Camera::GetLiveViewState()
{
    return WithLiveView(std::uint32_t{0},
                        [](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.RetrieveState();
                        });
}

bool Camera::GetLiveViewPreciseTime(std::uint32_t& time)
{
    return WithLiveView(false,
                        [&time](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.RetrievePreciseTime(time);
                        });
}

LiveView::Capabilities Camera::GetLiveViewCapabilities()
{
    // A default record is zeroed with its optional fields marked absent.
    return WithLiveView(LiveView::Capabilities{},
                        [](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.RetrieveCapabilities();
                        });
}

LiveView::Configuration Camera::GetLiveViewConfiguration()
{
    return WithLiveView(LiveView::Configuration{},
                        [](LiveViewAgent& agent)
                        {
                            agent.Open();
                            return agent.RetrieveConfiguration();
                        });
}

bool Camera::IsLiveViewAutoFormat() const
{
    return WithLiveView(false, [](LiveViewAgent& agent) { return agent.IsAutoFormat(); });
}

void Camera::LiveViewImageDelivered(std::uint32_t word37, std::uint32_t payloadSize, std::uint32_t imageSize,
                                    bool jpeg)
{
    // Only tried: a forwarder holding the slot may be waiting for the thread
    // this runs on.
    if (!m_ch5.lock.TryLock())
        return;
    try
    {
        if (m_ch5.agent)
            m_ch5.agent->UpdateAutoFormat(word37, payloadSize, imageSize, jpeg);
    }
    catch (...)
    {
        m_ch5.lock.Unlock();
        throw;
    }
    m_ch5.lock.Unlock();
}

void Camera::SetLiveViewImageCallback(LiveViewImageCallback callback)
{
    WithLiveView(0,
                 [&](LiveViewAgent& agent)
                 {
                     agent.SetImageReceiver(std::move(callback));
                     return 0;
                 });
}

bool Camera::HasLiveView() const
{
    ScopedLock slot(m_ch5.lock);
    return m_ch5.agent != nullptr;
}

} // namespace Q7::KPX
