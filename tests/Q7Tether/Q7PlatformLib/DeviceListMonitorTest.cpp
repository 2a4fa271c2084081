// Tests of the device-list monitors without any USB backend: a scripted
// enumerator pins the list comparison and the order of its notifications; the
// zero-configuration service monitor finds nothing but runs its machine.

#include "Q7PlatformUsbEnum_Cmn.h"
#include "Q7PlatformZeroConfig.h"

#include "LogCapture.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

using namespace UsbTest;
using Q7::Platform::WaitForObject;
using Q7::Platform::Usb::BaseDeviceMonitor;
using Q7::Platform::Usb::DeviceEnumeratorInterface;
using Q7::Platform::ZeroConfig::ResolveResult;
using Q7::Platform::ZeroConfig::ServiceEnumFilter;
using Q7::Platform::ZeroConfig::ServiceMoniker;
using Q7::Platform::ZeroConfig::ServiceMonitor;

namespace
{

constexpr auto kWait = std::chrono::seconds(10);

// Answers the scripted lists in turn (the last one again once they run out).
template <typename M, typename F>
class ScriptedEnumerator : public Q7::Platform::DeviceEnum::EnumeratorInterface<M, F>
{
public:
    void Script(std::vector<std::vector<M>> lists)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lists = std::move(lists);
    }

    void Enumerate(std::vector<M>& out, const std::vector<F>&) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        out = m_lists.at(std::min(m_calls, m_lists.size() - 1));
        ++m_calls;
        m_changed.notify_all();
    }

    bool WaitForCalls(std::size_t calls)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, kWait, [&] { return m_calls >= calls; });
    }

private:
    std::mutex m_mutex; // guards the members below
    std::condition_variable m_changed;
    std::vector<std::vector<M>> m_lists;
    std::size_t m_calls = 0;
};

class ScriptedUsbMonitor final : public BaseDeviceMonitor
{
public:
    ~ScriptedUsbMonitor() override { Stop(); }
    DeviceEnumeratorInterface& GetEnumerator() override { return enumerator; }
    ScriptedEnumerator<DeviceMoniker_Libusb, DeviceEnumFilter_Libusb> enumerator;
};

// A moniker named by its path, with a text to tell records apart.
DeviceMoniker_Libusb Usb(const char* path, const char* identity = "")
{
    DeviceMoniker_Libusb moniker;
    moniker.devicePath.Assign(path);
    moniker.identity.Assign(identity);
    return moniker;
}

struct CompareCase
{
    const char* name;
    std::vector<const char*> before;
    std::vector<const char*> after;
    std::vector<std::string> notifications; // of the second refresh
    std::vector<std::string> listAfter;
};

void PrintTo(const CompareCase& c, std::ostream* out)
{
    *out << c.name;
}

class DeviceListCompareTest : public ::testing::TestWithParam<CompareCase>
{
};

std::vector<DeviceMoniker_Libusb> ListOf(const std::vector<const char*>& paths)
{
    std::vector<DeviceMoniker_Libusb> list;
    for (const char* path : paths)
    {
        list.push_back(Usb(path));
    }
    return list;
}

// Catches: an arrival notified before a removal of the same refresh, removals
// or arrivals out of list order, a device listed twice added twice, or a
// device's record replaced by a later enumeration.
TEST_P(DeviceListCompareTest, SecondRefreshNotifiesRemovalsThenArrivalsInListOrder)
{
    const CompareCase& c = GetParam();
    UsbRecorder recorder(&DevicePathOf); // outlives the monitor's thread
    ScriptedUsbMonitor monitor;
    // The third list adds a sentinel: its arrival shows every notification of
    // the second refresh was made.
    std::vector<DeviceMoniker_Libusb> third = ListOf(c.after);
    third.push_back(Usb("sentinel"));
    monitor.enumerator.Script({ListOf(c.before), ListOf(c.after), third});
    monitor.SetNotifyCallback(recorder.Callback());
    monitor.Start();
    ASSERT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), 10000));
    const std::size_t first = recorder.Events().size();

    monitor.Refresh();
    ASSERT_TRUE(monitor.enumerator.WaitForCalls(2));
    monitor.Refresh();
    ASSERT_TRUE(recorder.WaitFor(first + c.notifications.size() + 1));

    std::vector<std::string> events = recorder.Events();
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(first));
    std::vector<std::string> expected = c.notifications;
    expected.push_back("+sentinel");
    EXPECT_EQ(events, expected);
    std::vector<DeviceMoniker_Libusb> devices;
    monitor.GetDevices(devices);
    std::vector<std::string> listAfter = c.listAfter;
    listAfter.push_back("sentinel");
    std::vector<std::string> paths;
    for (const auto& device : devices)
    {
        paths.push_back(device.devicePath.c_str());
    }
    EXPECT_EQ(paths, listAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceListCompareTest,
    ::testing::Values(CompareCase{"EmptyToThree", {}, {"a", "b", "c"}, {"+a", "+b", "+c"}, {"a", "b", "c"}},
                      CompareCase{"AllGone", {"a", "b"}, {}, {"-a", "-b"}, {}},
                      CompareCase{"Replaced", {"a", "b"}, {"b", "a2"}, {"-a", "+a2"}, {"b", "a2"}},
                      CompareCase{"Mixed",
                                  {"a", "b", "c", "d"},
                                  {"d", "e", "b", "f"},
                                  {"-a", "-c", "+e", "+f"},
                                  {"b", "d", "e", "f"}},
                      CompareCase{"ListedTwiceAddedOnce", {"a"}, {"b", "a", "b"}, {"+b"}, {"a", "b"}},
                      CompareCase{"Unchanged", {"a", "b"}, {"b", "a"}, {}, {"a", "b"}}),
    [](const ::testing::TestParamInfo<CompareCase>& p) { return std::string(p.param.name); });

// Catches: a device present before and after getting the later record, a
// throwing callback ending the notifications of its refresh, a direct refresh
// that notifies, or Start without a callback not refused.
TEST(DeviceListMonitorTest, KeepsOldRecordsSurvivesThrowingCallbacksAndRefreshesDirectlyWhenStopped)
{
    UsbRecorder recorder(&DevicePathOf); // outlives the monitor's thread
    ScriptedUsbMonitor monitor;
    TestSupport::LogCapture log;
    monitor.enumerator.Script(
        {{Usb("a", "old"), Usb("b")}, {Usb("a", "old"), Usb("b")}, {Usb("a", "new"), Usb("b"), Usb("c")}});

    EXPECT_THROW(monitor.Start(), Q7::Universal::ModuleError);
    EXPECT_EQ(log.Count(L"USB device monitor: notify callback not set."), 1u);
    EXPECT_FALSE(monitor.IsRunning());

    // Stopped: a refresh lists on this thread, sets the event, notifies nothing.
    monitor.SetNotifyCallback(recorder.Callback());
    monitor.Refresh();
    EXPECT_TRUE(monitor.GetEnumeratedEvent().IsSet());
    std::vector<DeviceMoniker_Libusb> devices;
    monitor.GetDevices(devices);
    EXPECT_EQ(devices.size(), 2u);
    EXPECT_TRUE(recorder.Events().empty());

    // Started: the list is emptied, so both are reported; the first callback
    // throws and the second still comes.
    recorder.ThrowOnNext(1);
    monitor.Start();
    monitor.Start(); // running: nothing
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(log.Count(L"USB device monitor: Ignoring exception thrown from notify callback."), 1u);
    monitor.Refresh();
    ASSERT_TRUE(recorder.WaitFor(3));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+a", "+b", "+c"}));
    monitor.GetDevices(devices);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_STREQ(devices[0].identity.c_str(), "old");
    monitor.Stop();
    monitor.Stop(); // stopped: returns at once
    EXPECT_FALSE(monitor.IsRunning());
}

// A discovery that the test scripts, in place of the platform's (which has
// none): the zero-configuration monitor runs the template machine with it.
class ScriptedDiscovery final : public Q7::Platform::ZeroConfig::Details::ServiceMonitorImpl
{
public:
    explicit ScriptedDiscovery(ScriptedEnumerator<ServiceMoniker, ServiceEnumFilter>& services)
        : m_services(services)
    {
    }
    void Stop() override {}
    void Start() override {}
    void Enumerate(std::vector<ServiceMoniker>& out, const std::vector<ServiceEnumFilter>& filter) override
    {
        m_services.Enumerate(out, filter);
    }
    bool Resolve(const ServiceMoniker&, ResolveResult&, std::uint32_t) override { return false; }
    std::unique_ptr<Q7::Platform::SocketAddress> ResolveAddress(const Q7::Universal::UniversalStringA&,
                                                                std::uint32_t) override
    {
        return nullptr;
    }

private:
    ScriptedEnumerator<ServiceMoniker, ServiceEnumFilter>& m_services;
};

ServiceMoniker Service(const char* name, const char* fullName)
{
    ServiceMoniker service;
    service.name.Assign(name);
    service.serviceType.Assign("_kpx._tcp");
    service.domain.Assign("local.");
    service.fullName.Assign(fullName);
    return service;
}

std::string ServiceName(const ServiceMoniker& service)
{
    return service.name.c_str();
}

using ServiceRecorder = NotifyRecorder<ServiceMonitor::EnumNotify, ServiceMoniker>;

// Catches: the platform's monitor reporting something, a resolution that
// succeeds or touches its result, a Start that runs without the callback the
// TCP camera monitor installs.
TEST(ZeroConfigServiceMonitorTest, FindsNothingResolvesNothingAndRunsItsRefreshThreadOnceACallbackIsSet)
{
    TestSupport::LogCapture log;
    ServiceRecorder recorder(&ServiceName); // outlives the monitor's thread
    ServiceMonitor monitor;
    std::vector<ServiceMoniker> services{Service("x", "x")};
    monitor.Enumerate(services, {ServiceEnumFilter()}); // waits for the initialisation
    EXPECT_TRUE(services.empty());
    EXPECT_EQ(log.Count(L"ZeroConig is not able to discover anything because: There are no Zeroconfig "
                        L"implementation for this platform"),
              1u);
    ResolveResult result;
    result.port = 7;
    EXPECT_FALSE(monitor.Resolve(Service("x", "x"), result, 1000));
    EXPECT_EQ(result.port, 7u);
    Q7::Universal::UniversalStringA host;
    host.Assign("camera.local");
    EXPECT_EQ(monitor.ResolveAddress(host, 1000), nullptr);
    EXPECT_THROW(result.GetTXTData(), Q7::Universal::ModuleError);
    EXPECT_THROW(result.GetTXTLines(), Q7::Universal::ModuleError);

    EXPECT_THROW(monitor.Start(), Q7::Universal::ModuleError);
    EXPECT_EQ(log.Count(L"Device monitor: notify callback not set."), 1u);

    ServiceEnumFilter filter;
    filter.serviceType.Assign("_kpx");
    monitor.SetFilter({filter});
    std::vector<ServiceEnumFilter> filterOut;
    monitor.GetFilter(filterOut);
    EXPECT_TRUE(filterOut == std::vector<ServiceEnumFilter>{filter});
    monitor.SetNotifyCallback(recorder.Callback());
    monitor.Start();
    EXPECT_TRUE(monitor.IsRunning());
    EXPECT_EQ(log.Count(L"Zero Configuration Service Monitor is running"), 1u);
    monitor.Stop();
    EXPECT_FALSE(monitor.IsRunning());
    EXPECT_EQ(log.Count(L"Zero Configuration Service Monitor has stopped"), 1u);
    EXPECT_TRUE(recorder.Events().empty());
}

// Catches: services compared by more than their first four fields, the
// template machine's notifications lost, or a Stop that waits for (or crashes
// on) an initialisation still running.
TEST(ZeroConfigServiceMonitorTest, TemplateMonitorReportsServicesAndStopBeforeInitialisationIsIgnored)
{
    TestSupport::LogCapture log;
    ScriptedEnumerator<ServiceMoniker, ServiceEnumFilter> discovered;
    discovered.Script(
        {{Service("cam1", "a"), Service("cam2", "a")}, {Service("cam1", "b"), Service("cam3", "b")}});
    std::promise<void> proceed;
    std::shared_future<void> mayProceed = proceed.get_future().share();
    ServiceRecorder recorder(&ServiceName); // outlives the monitor's thread
    ServiceMonitor monitor(
        [&](Q7::Universal::UniversalStringA&)
        {
            mayProceed.wait();
            return std::make_unique<ScriptedDiscovery>(discovered);
        });
    monitor.Stop(); // the initialisation waits: ignored, without waiting for it
    EXPECT_EQ(log.Count(L"ZeroConf: Stop request ignored. Bonjour impl not initialized"), 1u);
    proceed.set_value();

    monitor.SetNotifyCallback(recorder.Callback());
    monitor.Start();
    ASSERT_TRUE(recorder.WaitFor(2));
    ASSERT_TRUE(discovered.WaitForCalls(1));
    monitor.Refresh();
    ASSERT_TRUE(recorder.WaitFor(4));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+cam1", "+cam2", "-cam2", "+cam3"}));
    std::vector<ServiceMoniker> services;
    monitor.GetDevices(services);
    ASSERT_EQ(services.size(), 2u);
    EXPECT_STREQ(services[0].fullName.c_str(), "a") << "a service present before and after keeps its record";
    EXPECT_EQ(log.Count(L"ZeroConig is not able"), 0u);
}

TEST(ZeroConfigServiceMonitorTest, FilterEntriesOrderByTypeBytesThenNumber)
{
    const auto entry = [](const char* type, std::int32_t number)
    {
        ServiceEnumFilter filter;
        filter.serviceType.Assign(type);
        filter.number = number;
        return filter;
    };
    EXPECT_TRUE(entry(nullptr, 9) < entry("_a", 0)) << "a missing text comes first";
    EXPECT_TRUE(entry("_a", 9) < entry("_b", 0));
    EXPECT_TRUE(entry("_a", 1) < entry("_a", 2));
    EXPECT_TRUE(entry("_a", 0) < entry("\xC3\xA9", 0)) << "bytes compare unsigned";
    EXPECT_FALSE(entry("_a", 2) < entry("_a", 2));
    EXPECT_TRUE(entry("_a", 2) == entry("_a", 2));
    EXPECT_FALSE(entry("_a", 2) == entry("_a", 3));
}

} // namespace
