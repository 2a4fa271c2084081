// The device manager's device factory and the TCP camera monitor on their own;
// the manager's lists and notifications are tested end to end (tests/e2e).

#include "Transport/KPXDeviceManager.h"
#include "Transport/KPXTcpMonitor.h"
#include "Transport/KPXTransport_Tcp.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace
{

using namespace Q7::KPX::Transport;
using Q7::Platform::ZeroConfig::ResolveResult;
using Q7::Platform::ZeroConfig::ServiceEnumFilter;
using Q7::Platform::ZeroConfig::ServiceMoniker;

DeviceMoniker TcpCamera()
{
    DeviceMoniker moniker;
    moniker.type = kMonikerType_Tcp;
    moniker.tcp.name.Assign("cam");
    moniker.tcp.host.Assign("127.0.0.1");
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = 1;
    return moniker;
}

// Catches: a device of the wrong transport, an opened one, a moniker not
// copied, or an unknown type turned into some device instead of the error.
TEST(DeviceManagerTest, CreateDeviceGivesAClosedDeviceOfTheMonikersTypeAndRefusesOtherTypes)
{
    const DeviceMoniker tcp = TcpCamera();
    const std::unique_ptr<DeviceInterface> device = DeviceManager::CreateDevice(tcp);
    ASSERT_NE(dynamic_cast<TcpDevice*>(device.get()), nullptr);
    EXPECT_FALSE(device->IsOpen());
    EXPECT_TRUE(device->GetMoniker() == tcp);

    for (const std::uint32_t type : {0u, 3u})
    {
        TestSupport::LogCapture log;
        DeviceMoniker other = tcp;
        other.type = type;
        try
        {
            DeviceManager::CreateDevice(other);
            ADD_FAILURE() << "type " << type << " made a device";
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            EXPECT_EQ(error.GetFullCode(), 0x650002u);
            EXPECT_STREQ(error.GetContext().c_str(),
                         L"KPX device manager: cannot create device of unknown type.");
        }
        EXPECT_EQ(log.Count(L"Internal Error: "), 1u);
    }
}

// A discovery of the test's: five services, of which only the first resolves
// to a usable camera.
class ScriptedDiscovery final : public Q7::Platform::ZeroConfig::Details::ServiceMonitorImpl
{
public:
    void Stop() override {}
    void Start() override {}
    void Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>& filter) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            filters.push_back(filter);
        }
        out.clear();
        for (const char* name : {"good", "unresolved", "no-address", "zero-address", "big-port"})
        {
            ServiceMoniker service;
            service.name.Assign(name);
            service.serviceType.Assign("_kpx._tcp");
            out.push_back(service);
        }
    }
    bool Resolve(const ServiceMoniker& service, ResolveResult& result, std::uint32_t timeoutMs) override
    {
        EXPECT_EQ(timeoutMs, 1000u);
        const std::string name = service.name.c_str();
        if (name == "unresolved")
        {
            return false;
        }
        result.hostName.Assign((name + ".local").c_str());
        result.port = name == "big-port" ? 70000u : 8000u;
        return true;
    }
    std::unique_ptr<Q7::Platform::SocketAddress> ResolveAddress(const Q7::Universal::UniversalStringA& host,
                                                                std::uint32_t timeoutMs) override
    {
        EXPECT_EQ(timeoutMs, 1000u);
        const std::string name = host.c_str();
        if (name == "no-address.local")
        {
            return nullptr;
        }
        return std::make_unique<Q7::Platform::SocketAddress>(
            AF_INET, 0, name == "zero-address.local" ? 0u : 0x0A000001u, 0);
    }

    std::mutex mutex; // guards filters
    std::vector<std::vector<ServiceEnumFilter>> filters;
};

// Counts the TCP monitor's notifications and the non-null monikers among them.
class TcpNotifyCounter
{
public:
    TcpMonitor::NotifyCallback Callback()
    {
        return TcpMonitor::NotifyCallback(this, &TcpNotifyCounter::OnNotify);
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_calls >= count; });
    }

    std::size_t WithMoniker()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_withMoniker;
    }

private:
    void OnNotify(TcpMonitor::EnumNotify kind, const TcpMoniker* moniker)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls += kind == TcpMonitor::kEnumNotify_ServiceAdded ? 1 : 0;
        m_withMoniker += moniker != nullptr ? 1 : 0;
        m_changed.notify_all();
    }

    std::mutex m_mutex; // guards the counts
    std::condition_variable m_changed;
    std::size_t m_calls = 0;
    std::size_t m_withMoniker = 0;
};

// Catches: a service that does not resolve (or resolves to no, a zero, or an
// out-of-range port) listed as a camera, a resolved camera with wrong fields,
// the wrong service type asked for, and notifications lost or carrying a
// moniker although receivers must list the services again.
TEST(DeviceManagerTest, TcpMonitorListsOnlyResolvedServicesAndForwardsEveryNotification)
{
    auto discovery = std::make_unique<ScriptedDiscovery>();
    ScriptedDiscovery& scripted = *discovery;
    TcpNotifyCounter counter; // outlives the monitor's thread
    TcpMonitor monitor([&](Q7::Universal::UniversalStringA&) { return std::move(discovery); });
    EXPECT_THROW(monitor.Start(), Q7::Universal::ModuleError) << "started without a callback";

    monitor.SetNotifyCallback(counter.Callback());
    monitor.Start();
    ASSERT_TRUE(counter.WaitFor(5));
    EXPECT_EQ(counter.WithMoniker(), 0u);
    std::vector<TcpMoniker> services{TcpMoniker()};
    monitor.GetResolvedServices(services);
    ASSERT_EQ(services.size(), 1u);
    EXPECT_STREQ(services[0].name.c_str(), "good");
    EXPECT_STREQ(services[0].host.c_str(), "good.local");
    EXPECT_EQ(services[0].address, 0x0A000001u);
    EXPECT_EQ(services[0].port, 8000u);
    EXPECT_EQ(services[0].isStatic, 0u);
    EXPECT_EQ(services[0].connectTimeoutSeconds, 0u);
    monitor.Stop();

    std::lock_guard<std::mutex> lock(scripted.mutex);
    ASSERT_FALSE(scripted.filters.empty());
    ASSERT_EQ(scripted.filters[0].size(), 1u);
    EXPECT_STREQ(scripted.filters[0][0].serviceType.c_str(), "_kpx");
    EXPECT_EQ(scripted.filters[0][0].number, 0);
}

} // namespace
