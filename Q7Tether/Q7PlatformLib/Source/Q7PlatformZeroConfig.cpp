#include "Q7PlatformZeroConfig.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <cstring>
#include <exception>

namespace Q7::Platform::ZeroConfig
{

using Q7::Universal::LogInfo;
using Q7::Universal::ModuleError;

bool ServiceEnumFilter::operator==(const ServiceEnumFilter& other) const noexcept
{
    return serviceType == other.serviceType && number == other.number;
}

bool ServiceEnumFilter::operator<(const ServiceEnumFilter& other) const noexcept
{
    // strcmp compares the bytes as unsigned; a missing text reads as empty and
    // so comes first.
    const int order = std::strcmp(serviceType.c_str(), other.serviceType.c_str());
    return order != 0 ? order < 0 : number < other.number;
}

bool ServiceMoniker::operator==(const ServiceMoniker& other) const noexcept
{
    return name == other.name && serviceType == other.serviceType && domain == other.domain &&
           interfaceIndex == other.interfaceIndex;
}

std::vector<std::uint8_t> ResolveResult::GetTXTData() const
{
    Q7::Universal::ThrowModuleError(
        ModuleError(Q7::Universal::kError_InvalidParameter,
                    L"ResolveResult::GetTXTData() is not implemented for this platform"));
}

std::vector<Q7::Universal::UniversalStringA> ResolveResult::GetTXTLines() const
{
    Q7::Universal::ThrowModuleError(
        ModuleError(Q7::Universal::kError_InvalidParameter,
                    L"ResolveResult::GetTXTLines() is not implemented for this platform"));
}

namespace Details
{

void ServiceMonitorNoOp::Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>&)
{
    out.clear();
}

bool ServiceMonitorNoOp::Resolve(const ServiceMoniker&, ResolveResult&, std::uint32_t)
{
    return false;
}

std::unique_ptr<SocketAddress> ServiceMonitorNoOp::ResolveAddress(const Q7::Universal::UniversalStringA&,
                                                                  std::uint32_t)
{
    return nullptr;
}

std::unique_ptr<ServiceMonitorImpl> CreatePlatformImplementation(Q7::Universal::UniversalStringA& reason)
{
    reason.Assign("There are no Zeroconfig implementation for this platform");
    return nullptr;
}

} // namespace Details

ServiceMonitor::ServiceMonitor() : ServiceMonitor(&Details::CreatePlatformImplementation) {}

ServiceMonitor::ServiceMonitor(ImplementationFactory factory)
{
    m_initialisation = std::async(std::launch::async, &ServiceMonitor::Initialise, this, std::move(factory));
}

ServiceMonitor::~ServiceMonitor()
{
    Stop();
    if (m_initialisation.valid())
    {
        m_initialisation.wait();
    }
}

void ServiceMonitor::Initialise(const ImplementationFactory& factory)
{
    Q7::Universal::UniversalStringA reason;
    std::unique_ptr<Details::ServiceMonitorImpl> implementation;
    try
    {
        implementation = factory(reason);
    }
    catch (const std::exception& exception)
    {
        reason.Assign(exception.what());
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        reason = Q7::Universal::ToNarrow(Q7::Universal::FormatErrorText(error, nullptr).c_str());
    }
    if (!implementation)
    {
        LogInfo(L"ZeroConig is not able to discover anything because: %ls",
                Q7::Universal::FromNarrow(reason.c_str()).c_str());
        implementation = std::make_unique<Details::ServiceMonitorNoOp>();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pImpl = std::move(implementation);
}

Details::ServiceMonitorImpl& ServiceMonitor::Implementation()
{
    m_initialisation.wait();
    return *m_pImpl;
}

void ServiceMonitor::Start()
{
    Details::ServiceMonitorImpl& implementation = Implementation();
    LogInfo(L"Zero Configuration Service Monitor is starting");
    BaseMonitor::Start();
    implementation.Start();
    LogInfo(L"Zero Configuration Service Monitor is running");
}

void ServiceMonitor::Stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_pImpl)
    {
        LogInfo(L"ZeroConf: Stop request ignored. Bonjour impl not initialized");
        return;
    }
    LogInfo(L"Zero Configuration Service Monitor is stopping");
    m_pImpl->Stop();
    BaseMonitor::Stop();
    LogInfo(L"Zero Configuration Service Monitor has stopped");
}

void ServiceMonitor::Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>& filter)
{
    Implementation().Enumerate(out, filter);
}

bool ServiceMonitor::Resolve(const ServiceMoniker& service, ResolveResult& result, std::uint32_t timeoutMs)
{
    return Implementation().Resolve(service, result, timeoutMs);
}

std::unique_ptr<SocketAddress> ServiceMonitor::ResolveAddress(const Q7::Universal::UniversalStringA& host,
                                                              std::uint32_t timeoutMs)
{
    return Implementation().ResolveAddress(host, timeoutMs);
}

} // namespace Q7::Platform::ZeroConfig
