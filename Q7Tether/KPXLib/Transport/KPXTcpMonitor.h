#pragma once
// The TCP camera monitor: watches the zero-configuration service discovery for
// the cameras' service type "_kpx" and resolves each service found to a camera
// address. On this platform the discovery finds nothing, so the monitor never
// reports a service and resolves none; TCP cameras come from the static
// address list instead (KPXStaticIpConfiguration.h).

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformZeroConfig.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Transport/KPXDeviceMoniker.h"

#include <cstdint>
#include <vector>

namespace Q7::KPX::Transport
{

/// Forwards the service monitor's notifications to one callback and lists the
/// cameras of the services it knows. Thread-safe.
class TcpMonitor
{
public:
    /// Kind of change passed to the notify callback (the service monitor's own
    /// kinds).
    enum EnumNotify
    {
        kEnumNotify_ServiceAdded = 0,
        kEnumNotify_ServiceRemoved = 1,
    };

    /// The notify callback. The moniker pointer is always null: the receiver is
    /// expected to list the resolved services again (GetResolvedServices).
    using NotifyCallback = Q7::Universal::FunctionPointer2<void, EnumNotify, const TcpMoniker*>;

    /// A monitor over the platform's discovery, filtering for "_kpx" (number 0).
    TcpMonitor();
    /// The same over a discovery of the given factory (a test's).
    explicit TcpMonitor(Q7::Platform::ZeroConfig::ServiceMonitor::ImplementationFactory factory);

    /// Stops.
    ~TcpMonitor();

    TcpMonitor(const TcpMonitor&) = delete;
    TcpMonitor& operator=(const TcpMonitor&) = delete;

    /// Replaces the callback by a clone of the given one (none when it is null or
    /// empty), then connects the service monitor to this monitor while a callback
    /// is held and disconnects it otherwise. Waits for a notification running on
    /// the service monitor's thread. Thread-safe; not from the callback.
    void SetNotifyCallback(const NotifyCallback& callback);

    /// Starts the service monitor (its "Device refresh" thread). Raises
    /// ModuleError 0x650066 (logged) "Device monitor: notify callback not set."
    /// when no callback is held. Blocks briefly. Thread-safe.
    void Start();

    /// Stops the service monitor, waiting for its thread. Blocks. Thread-safe;
    /// not from the callback.
    void Stop();

    /// Clears services, then appends one camera (flag isStatic 0, connect
    /// time-out 0) for each service of the service monitor's list, in its order,
    /// that resolves within 1000 ms to a host whose IPv4 address resolves within
    /// 1000 ms to a value other than 0; other services are skipped silently.
    /// Blocks while resolving. Thread-safe.
    void GetResolvedServices(std::vector<TcpMoniker>& services);

private:
    using ServiceMonitor = Q7::Platform::ZeroConfig::ServiceMonitor;

    // Runs on the service monitor's thread: calls the callback for kinds 0 and 1
    // with a null moniker, under the monitor lock.
    void OnServiceNotify(ServiceMonitor::EnumNotify kind,
                         const Q7::Platform::ZeroConfig::ServiceMoniker* service);

    static constexpr std::uint32_t kResolveTimeoutMs = 1000;

    Q7::Platform::Mutex_Posix m_lock; // guards m_callback; held while it runs
    NotifyCallback m_callback;        // empty when none
    ServiceMonitor m_serviceMonitor;
};

} // namespace Q7::KPX::Transport
