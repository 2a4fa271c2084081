#pragma once
// Zero-configuration service discovery (DNS service discovery): a device-list
// monitor of network services. The discovery itself is done by a platform
// implementation chosen at run time; this platform has none, so the monitor
// installs ServiceMonitorNoOp, which finds nothing: every enumeration is empty,
// no service is ever reported and every resolution fails. The TCP camera
// monitor gives it a filter and a notify callback, then starts it.

#include "Q7PlatformDeviceEnum.h"
#include "Q7PlatformSocket.h"
#include "Q7UniversalString.h"

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace Q7::Platform::ZeroConfig
{

/// One entry of a service filter: the service type to look for and a number.
struct ServiceEnumFilter
{
    Q7::Universal::UniversalStringA serviceType;
    std::int32_t number = 0;

    /// Both fields equal.
    bool operator==(const ServiceEnumFilter& other) const noexcept;
    /// By the type text (byte-wise, a missing text first), then by the number.
    bool operator<(const ServiceEnumFilter& other) const noexcept;
};

/// One discovered service.
struct ServiceMoniker
{
    Q7::Universal::UniversalStringA name;        ///< the service's instance name
    Q7::Universal::UniversalStringA serviceType; ///< "_kpx._tcp" and the like
    Q7::Universal::UniversalStringA domain;
    std::int32_t interfaceIndex = 0; ///< network interface it was seen on
    Q7::Universal::UniversalStringA fullName;

    /// The same service: the first four fields equal (fullName does not count).
    bool operator==(const ServiceMoniker& other) const noexcept;
};

/// The result of resolving a service. A new record has empty texts, zero
/// numbers and no data.
struct ResolveResult
{
    Q7::Universal::UniversalStringA fullName;
    Q7::Universal::UniversalStringA hostName;
    std::uint32_t port = 0;
    std::uint32_t interfaceIndex = 0;
    std::vector<std::uint8_t> txtData; ///< the service's TXT record

    /// Raises ModuleError 0x650001 (logged) "ResolveResult::GetTXTData() is not
    /// implemented for this platform".
    std::vector<std::uint8_t> GetTXTData() const;
    /// Raises ModuleError 0x650001 (logged) "ResolveResult::GetTXTLines() is not
    /// implemented for this platform".
    std::vector<Q7::Universal::UniversalStringA> GetTXTLines() const;
};

namespace Details
{

/// A platform's discovery. Its operations may be called from the monitor's
/// refresh thread and from callers at once.
class ServiceMonitorImpl
{
public:
    virtual ~ServiceMonitorImpl() = default;
    virtual void Stop() = 0;
    virtual void Start() = 0;
    /// Clears out and appends the services found for filter.
    virtual void Enumerate(std::vector<ServiceMoniker>& out,
                           const std::vector<ServiceEnumFilter>& filter) = 0;
    /// Resolves a service to a host and port; false when it does not resolve
    /// (result unchanged then).
    virtual bool Resolve(const ServiceMoniker& service, ResolveResult& result, std::uint32_t timeoutMs) = 0;
    /// The IPv4 address of a host; null when unresolved.
    virtual std::unique_ptr<SocketAddress> ResolveAddress(const Q7::Universal::UniversalStringA& host,
                                                          std::uint32_t timeoutMs) = 0;
};

/// The discovery of a platform without one: finds nothing. Thread-safe.
class ServiceMonitorNoOp final : public ServiceMonitorImpl
{
public:
    void Stop() override {}
    void Start() override {}
    /// Empties out.
    void Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>& filter) override;
    /// false.
    bool Resolve(const ServiceMoniker& service, ResolveResult& result, std::uint32_t timeoutMs) override;
    /// null.
    std::unique_ptr<SocketAddress> ResolveAddress(const Q7::Universal::UniversalStringA& host,
                                                  std::uint32_t timeoutMs) override;
};

/// Makes the platform's discovery; on this platform there is none: answers null
/// with reason "There are no Zeroconfig implementation for this platform".
/// Thread-safe.
std::unique_ptr<ServiceMonitorImpl> CreatePlatformImplementation(Q7::Universal::UniversalStringA& reason);

} // namespace Details

/// The zero-configuration service monitor: a BaseMonitor ("Device refresh"
/// thread) whose refreshes enumerate through the platform implementation.
/// Construction launches the initialisation on a thread of its own; every
/// operation but Stop first waits for it. Thread-safe.
class ServiceMonitor : public DeviceEnum::BaseMonitor<ServiceMoniker, ServiceEnumFilter>,
                       public DeviceEnum::EnumeratorInterface<ServiceMoniker, ServiceEnumFilter>
{
public:
    /// Makes the implementation; null (with the reason set) when there is none.
    using ImplementationFactory =
        std::function<std::unique_ptr<Details::ServiceMonitorImpl>(Q7::Universal::UniversalStringA& reason)>;

    /// Launches the initialisation with the platform's implementation
    /// (Details::CreatePlatformImplementation); does not wait for it.
    ServiceMonitor();
    /// The same with another factory (a discovery of its own, or a test's).
    explicit ServiceMonitor(ImplementationFactory factory);

    /// Stop, then waits for a still running initialisation.
    ~ServiceMonitor() override;

    ServiceMonitor(const ServiceMonitor&) = delete;
    ServiceMonitor& operator=(const ServiceMonitor&) = delete;

    /// Waits for the initialisation, posts "Zero Configuration Service Monitor is
    /// starting", starts the base monitor (raising ModuleError 0x650066 "Device
    /// monitor: notify callback not set." without a callback) and the
    /// implementation, then posts "Zero Configuration Service Monitor is
    /// running". Blocks.
    void Start() override;

    /// With the implementation installed: posts "Zero Configuration Service
    /// Monitor is stopping", stops the implementation and the base monitor,
    /// posts "Zero Configuration Service Monitor has stopped". Before the
    /// initialisation installed it: posts "ZeroConf: Stop request ignored.
    /// Bonjour impl not initialized" and returns without waiting. Blocks.
    void Stop() override;

    using DeviceEnum::BaseMonitor<ServiceMoniker, ServiceEnumFilter>::Enumerate;

    /// Waits for the initialisation, then the implementation's Enumerate.
    void Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>& filter) override;

    /// Waits for the initialisation, then the implementation's Resolve.
    bool Resolve(const ServiceMoniker& service, ResolveResult& result, std::uint32_t timeoutMs);

    /// Waits for the initialisation, then the implementation's ResolveAddress.
    std::unique_ptr<SocketAddress> ResolveAddress(const Q7::Universal::UniversalStringA& host,
                                                  std::uint32_t timeoutMs);

    /// The monitor's own enumerator side, so refreshes go to the implementation.
    DeviceEnum::EnumeratorInterface<ServiceMoniker, ServiceEnumFilter>& GetEnumerator() override
    {
        return *this;
    }

private:
    // Runs once on the initialisation's own thread.
    void Initialise(const ImplementationFactory& factory);

    // The implementation, after waiting for the initialisation.
    Details::ServiceMonitorImpl& Implementation();

    std::mutex m_mutex;                                   // guards the installation of m_pImpl against Stop
    std::unique_ptr<Details::ServiceMonitorImpl> m_pImpl; // null until the initialisation installed it
    std::future<void> m_initialisation;                   // ready once m_pImpl is installed
};

} // namespace Q7::Platform::ZeroConfig
