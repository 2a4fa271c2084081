#include "Transport/KPXTcpMonitor.h"

namespace Q7::KPX::Transport
{

using Q7::Platform::ScopedLock;
using Q7::Platform::ZeroConfig::ServiceEnumFilter;
using Q7::Platform::ZeroConfig::ServiceMoniker;

namespace
{

std::vector<ServiceEnumFilter> CameraServiceFilter()
{
    ServiceEnumFilter filter;
    filter.serviceType.Assign("_kpx");
    filter.number = 0;
    return {filter};
}

} // namespace

TcpMonitor::TcpMonitor()
{
    m_serviceMonitor.SetFilter(CameraServiceFilter());
}

TcpMonitor::TcpMonitor(ServiceMonitor::ImplementationFactory factory) : m_serviceMonitor(std::move(factory))
{
    m_serviceMonitor.SetFilter(CameraServiceFilter());
}

TcpMonitor::~TcpMonitor()
{
    Stop();
}

void TcpMonitor::SetNotifyCallback(const NotifyCallback& callback)
{
    bool connect = false;
    {
        ScopedLock lock(m_lock);
        if (&callback != &m_callback)
        {
            m_callback = callback;
        }
        connect = !m_callback.IsNull();
    }
    // Outside the monitor lock: the service monitor waits here for a running
    // notification, which itself takes the monitor lock.
    m_serviceMonitor.SetNotifyCallback(
        connect ? ServiceMonitor::NotifyCallback(this, &TcpMonitor::OnServiceNotify)
                : ServiceMonitor::NotifyCallback());
}

void TcpMonitor::Start()
{
    m_serviceMonitor.Start();
}

void TcpMonitor::Stop()
{
    m_serviceMonitor.Stop();
}

void TcpMonitor::GetResolvedServices(std::vector<TcpMoniker>& services)
{
    services.clear();
    std::vector<ServiceMoniker> found;
    m_serviceMonitor.GetDevices(found);
    for (const ServiceMoniker& service : found)
    {
        Q7::Platform::ZeroConfig::ResolveResult resolved;
        if (!m_serviceMonitor.Resolve(service, resolved, kResolveTimeoutMs) || resolved.port > 0xFFFFu)
        {
            continue;
        }
        const std::unique_ptr<Q7::Platform::SocketAddress> address =
            m_serviceMonitor.ResolveAddress(resolved.hostName, kResolveTimeoutMs);
        if (!address || address->IsEmpty() || address->GetIPv4() == 0)
        {
            continue;
        }
        TcpMoniker camera;
        camera.name = service.name;
        camera.host = resolved.hostName;
        camera.address = address->GetIPv4();
        camera.port = static_cast<std::uint16_t>(resolved.port);
        camera.connectTimeoutSeconds = 0;
        camera.isStatic = 0;
        services.push_back(std::move(camera));
    }
}

void TcpMonitor::OnServiceNotify(ServiceMonitor::EnumNotify kind, const ServiceMoniker* /*service*/)
{
    if (kind != ServiceMonitor::kEnumNotify_DeviceAdded && kind != ServiceMonitor::kEnumNotify_DeviceRemoved)
    {
        return;
    }
    ScopedLock lock(m_lock);
    if (!m_callback.IsNull())
    {
        m_callback(static_cast<EnumNotify>(kind), nullptr);
    }
}

} // namespace Q7::KPX::Transport
