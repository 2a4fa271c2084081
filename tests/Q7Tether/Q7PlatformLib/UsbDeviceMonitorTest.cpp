// End-to-end tests of USB device discovery on the virtual USB bus: the host
// backend, DeviceEnumerator_Libusb and DeviceMonitor_Libusb with its two
// threads, walking whole plug and unplug sequences and waiting on callbacks.

#include "Q7PlatformUsbEnum_Libusb.h"
#include "Q7PlatformUsbVirtualBus.h"

#include "LogCapture.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace UsbTest;
using Q7::Platform::WaitForObject;
using Q7::Platform::Usb::DeviceEnumerator_Libusb;
using Q7::Platform::Usb::DeviceMonitor_Libusb;
using Q7::Platform::Usb::FormatDevicePath;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::VirtualPlugOptions;
using Q7::Platform::Usb::VirtualUsbBus;

namespace
{

constexpr std::uint32_t kWaitMs = 10000;

std::string PathOf(const HostDeviceLocation& location, std::uint8_t interfaceNumber = 0)
{
    return FormatDevicePath(location, interfaceNumber);
}

std::vector<std::string> Paths(const std::vector<DeviceMoniker_Libusb>& monikers)
{
    std::vector<std::string> paths;
    for (const DeviceMoniker_Libusb& moniker : monikers)
    {
        paths.push_back(moniker.devicePath.c_str());
    }
    return paths;
}

// A monitor of the cameras on a virtual bus, started, with its first
// enumeration complete.
class MonitorOnBus
{
public:
    explicit MonitorOnBus(VirtualUsbBus& bus) : monitor(bus)
    {
        monitor.SetNotifyCallback(recorder.Callback());
        monitor.SetFilter(CameraFilter());
    }

    void StartAndWait()
    {
        monitor.Start();
        ASSERT_TRUE(monitor.IsRunning());
        ASSERT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), kWaitMs));
    }

    UsbRecorder recorder{&DevicePathOf};
    DeviceMonitor_Libusb monitor;
};

// Catches: a camera reported twice, a removal lost, or a refresh (and a report)
// caused by a device that no filter entry names.
TEST(UsbDeviceMonitorTest, CameraIsAddedOnceRemovedOnceAndOtherDevicesAreNeverReported)
{
    VirtualUsbBus bus;
    MonitorOnBus m(bus);
    m.StartAndWait();
    const std::uint64_t listed = bus.GetListCount();

    bus.Plug({3}, Keyboard()); // other ids: no refresh at all (see ChangeMatchesFilter)
    const HostDeviceLocation a = bus.Plug({1}, SingleCamera("SN-A"));
    ASSERT_TRUE(m.recorder.WaitFor(1));
    EXPECT_EQ(bus.GetListCount(), listed + 1);

    // Camera ids without the KPX interface: a refresh finds nothing to report.
    bus.Plug({4}, Device(kCameraVendor, kSingleCamera, "SN-X", {BulkInterface(1, 0xFF)}));
    ASSERT_TRUE(bus.Unplug({1}));
    ASSERT_TRUE(m.recorder.WaitFor(2));
    bus.Unplug({3});
    const HostDeviceLocation b = bus.Plug({2}, CompositeCamera("SN-B"));
    ASSERT_TRUE(m.recorder.WaitFor(3));

    // B's refresh ran after every earlier one, so a repeated or stray
    // notification would show before it.
    EXPECT_EQ(m.recorder.Events(),
              (std::vector<std::string>{"+" + PathOf(a), "-" + PathOf(a), "+" + PathOf(b, 2)}));
    m.monitor.Stop();
    EXPECT_EQ(bus.GetStartCount(), 0u) << "a stopped monitor keeps the backend started";
}

// Catches: a camera swapped in one port between two refreshes taken for the
// same device (no notification), or its arrival reported before the removal.
TEST(UsbDeviceMonitorTest, CameraReattachedInOnePortBetweenRefreshesIsRemovedBeforeItArrivesAgain)
{
    VirtualUsbBus bus;
    MonitorOnBus m(bus);
    m.StartAndWait();
    const HostDeviceLocation first = bus.Plug({2}, SingleCamera("SN-A"));
    ASSERT_TRUE(m.recorder.WaitFor(1));

    bus.HoldReports(); // both changes reach the monitor only now: one refresh sees both
    bus.Unplug({2});
    const HostDeviceLocation second = bus.Plug({2}, SingleCamera("SN-A"));
    bus.ReleaseReports();
    ASSERT_TRUE(m.recorder.WaitFor(3));

    ASSERT_NE(PathOf(first), PathOf(second));
    EXPECT_EQ(m.recorder.Events(),
              (std::vector<std::string>{"+" + PathOf(first), "-" + PathOf(first), "+" + PathOf(second)}));
    std::vector<DeviceMoniker_Libusb> devices;
    m.monitor.GetDevices(devices);
    EXPECT_EQ(Paths(devices), std::vector<std::string>{PathOf(second)});
}

// Catches: a camera present at Start missing from the first listing, monikers
// out of filter order, wrong texts, or an unreadable device listed (or
// silently dropped without a warning).
TEST(UsbDeviceMonitorTest, FirstListingHoldsEveryPluggedCameraInFilterOrder)
{
    VirtualUsbBus bus;
    const HostDeviceLocation composite = bus.Plug({1}, CompositeCamera("SN-C"));
    const HostDeviceLocation single = bus.Plug({2}, SingleCamera("SN-S"));
    const HostDeviceLocation behindHub = bus.Plug({3, 1}, SingleCamera("SN-H"));
    bus.Plug({4}, Keyboard());
    const HostDeviceLocation noSerial = bus.Plug({5}, SingleCamera(""));
    VirtualPlugOptions unreadable;
    unreadable.readError = "its device descriptor cannot be read";
    bus.Plug({6}, SingleCamera("SN-U"), unreadable);

    TestSupport::LogCapture log;
    MonitorOnBus m(bus);
    m.StartAndWait();

    // Entry by entry (single cameras, then composite ones), devices in bus order.
    const std::vector<std::string> expected{PathOf(single), PathOf(behindHub), PathOf(noSerial),
                                            PathOf(composite, 2)};
    std::vector<DeviceMoniker_Libusb> devices;
    m.monitor.GetDevices(devices);
    EXPECT_EQ(Paths(devices), expected);
    EXPECT_EQ(Paths(m.recorder.Monikers()), expected);
    EXPECT_EQ(log.Count(L"Warning: USB device 1-6 skipped: its device descriptor cannot be read."), 1u);
    std::vector<DeviceMoniker_Libusb> enumerated; // requests one more refresh
    m.monitor.Enumerate(enumerated);
    EXPECT_EQ(Paths(enumerated), expected);

    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].vendorId, kCameraVendor);
    EXPECT_EQ(devices[0].productId, kSingleCamera);
    EXPECT_STREQ(devices[0].manufacturer.c_str(), "Tavrin Cameras");
    EXPECT_STREQ(devices[0].friendlyName.c_str(), "TS-1");
    EXPECT_STREQ(devices[0].identity.c_str(), "SN-S");
    EXPECT_STREQ(devices[0].interfaceClass.c_str(), "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_STREQ(devices[1].devicePath.c_str(), (PathOf(behindHub)).c_str());
    EXPECT_STREQ(devices[2].identity.c_str(), "1-5") << "a device without serial number is named by its port";
    EXPECT_STREQ(devices[3].identity.c_str(), "SN-C");
    EXPECT_STREQ(devices[3].interfaceClass.c_str(), kKpxClassText);
}

// Catches the mended fault: the enumerated event stayed set from the first
// run, so after Stop and Start a waiter returned at once with an empty list.
TEST(UsbDeviceMonitorTest, StopThenStartReportsCamerasAgainAndTheEnumeratedEventWaitsForThem)
{
    VirtualUsbBus bus;
    const HostDeviceLocation camera = bus.Plug({1}, SingleCamera("SN-A"));
    MonitorOnBus m(bus);
    m.StartAndWait();
    ASSERT_TRUE(m.recorder.WaitFor(1));
    m.monitor.Stop();

    bus.HoldListing(); // the first refresh of the new start cannot finish yet
    m.monitor.Start();
    EXPECT_FALSE(m.monitor.GetEnumeratedEvent().IsSet()) << "the event of the previous run was kept";
    bus.ReleaseListing();
    ASSERT_TRUE(WaitForObject(&m.monitor.GetEnumeratedEvent(), kWaitMs));
    std::vector<DeviceMoniker_Libusb> devices;
    m.monitor.GetDevices(devices);
    EXPECT_EQ(Paths(devices), std::vector<std::string>{PathOf(camera)});
    ASSERT_TRUE(m.recorder.WaitFor(2));
    EXPECT_EQ(m.recorder.Events(), (std::vector<std::string>{"+" + PathOf(camera), "+" + PathOf(camera)}));
}

// Catches: a USB subsystem that cannot start swallowed (the device manager
// must see it), a monitor left half started, or a missing callback raised
// from Start although it only stops the monitor.
TEST(UsbDeviceMonitorTest, BackendThatCannotStartRaisesFromStartAndFromDirectEnumeration)
{
    VirtualUsbBus bus;
    bus.Plug({1}, SingleCamera("SN-A"));
    bus.SetStartFailure("no USB stack here");
    MonitorOnBus m(bus);
    const auto raisesStartFailure = [](auto&& call)
    {
        try
        {
            call();
        }
        catch (const Q7::Universal::StdExceptionError& error)
        {
            return std::wstring(error.GetMessage().c_str()) ==
                   L"USB host backend could not start: no USB stack here";
        }
        return false;
    };
    EXPECT_TRUE(raisesStartFailure([&] { m.monitor.Start(); }));
    EXPECT_FALSE(m.monitor.IsRunning());
    EXPECT_TRUE(raisesStartFailure([&] { m.monitor.Refresh(); }));
    std::vector<DeviceMoniker_Libusb> out;
    EXPECT_TRUE(raisesStartFailure([&] { DeviceEnumerator_Libusb(bus).Enumerate(out, CameraFilter()); }));
    EXPECT_EQ(bus.GetStartCount(), 0u);

    bus.SetStartFailure("");
    TestSupport::LogCapture log;
    DeviceMonitor_Libusb withoutCallback(bus);
    withoutCallback.SetFilter(CameraFilter());
    withoutCallback.Start();
    EXPECT_FALSE(withoutCallback.IsRunning());
    EXPECT_EQ(bus.GetStartCount(), 0u);
    EXPECT_EQ(log.Count(L"USB device monitor: notify callback not set."), 1u);

    // A stopped monitor refreshes on the caller's thread without notifying.
    m.monitor.Refresh();
    EXPECT_TRUE(m.monitor.GetEnumeratedEvent().IsSet());
    m.monitor.GetDevices(out);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_TRUE(m.recorder.Events().empty());
}

// Catches: the same device listed once per matching entry lost, entries
// reordered, or a backend started (and listed) for an empty filter.
TEST(UsbDeviceMonitorTest, EnumeratorListsOneMonikerPerMatchingEntryInFilterOrder)
{
    VirtualUsbBus bus;
    const HostDeviceLocation composite = bus.Plug({1}, CompositeCamera("SN-C"));
    const HostDeviceLocation single = bus.Plug({2}, SingleCamera("SN-S"));
    DeviceEnumerator_Libusb enumerator(bus);
    std::vector<DeviceMoniker_Libusb> out{DeviceMoniker_Libusb()};

    enumerator.Enumerate(out, {});
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(bus.GetListCount(), 0u);

    // Any device's interface 0, then the composite cameras' KPX interface.
    DeviceEnumFilter_Libusb anyInterfaceZero;
    std::vector<DeviceEnumFilter_Libusb> filter{anyInterfaceZero, CameraFilter()[1]};
    enumerator.Enumerate(out, filter);
    EXPECT_EQ(Paths(out),
              (std::vector<std::string>{PathOf(composite, 0), PathOf(single, 0), PathOf(composite, 2)}));
    EXPECT_EQ(bus.GetStartCount(), 0u);
}

// Catches change reports of other devices waking the refresh thread, or
// reports of possible cameras ignored (then their arrival goes unseen).
TEST(UsbDeviceMonitorTest, ChangeReportsRequestRefreshesOnlyForIdsTheFilterAccepts)
{
    using Q7::Platform::Usb::ChangeMatchesFilter;
    using Q7::Platform::Usb::HostChange;
    using Q7::Platform::Usb::HostChangeKind;
    DeviceEnumFilter_Libusb anyProduct;
    anyProduct.vendorId = 0x7AB2;
    const std::vector<DeviceEnumFilter_Libusb> filter{CameraFilter()[0], anyProduct};
    const auto change = [](bool idsKnown, std::uint16_t vendorId, std::uint16_t productId) {
        return HostChange{HostChangeKind::kLeft, idsKnown, vendorId, productId};
    };
    EXPECT_TRUE(ChangeMatchesFilter(change(true, kCameraVendor, kSingleCamera), filter));
    EXPECT_FALSE(ChangeMatchesFilter(change(true, kCameraVendor, kCompositeCamera), filter));
    EXPECT_TRUE(ChangeMatchesFilter(change(true, 0x7AB2, 0x4444), filter));
    EXPECT_FALSE(ChangeMatchesFilter(change(true, 0x1234, 0x5678), filter));
    EXPECT_TRUE(ChangeMatchesFilter(change(false, 0, 0), filter)) << "a report without ids may be a camera";
    EXPECT_TRUE(ChangeMatchesFilter(change(true, 0x1234, 0x5678), {})) << "an empty filter matches all";
}

// Catches a monitor destroyed while a backend thread is still inside its
// report handler (a use after free under AddressSanitizer).
TEST(UsbDeviceMonitorTest, MonitorsComeAndGoWhileTheBusReports)
{
    VirtualUsbBus bus;
    std::atomic<bool> done{false};
    std::thread plugger(
        [&]
        {
            while (!done.load())
            {
                bus.Plug({1}, SingleCamera("SN-A"));
                bus.Unplug({1});
            }
        });
    for (int i = 0; i < 50; ++i)
    {
        UsbRecorder recorder(&DevicePathOf);
        DeviceMonitor_Libusb monitor(bus);
        monitor.SetNotifyCallback(recorder.Callback());
        monitor.SetFilter(CameraFilter());
        monitor.Start();
        EXPECT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), kWaitMs));
    }
    done.store(true);
    plugger.join();
    EXPECT_EQ(bus.GetStartCount(), 0u);
}

// A notify callback that records "+path"/"-path" like UsbRecorder and then
// runs the test's hook (on the refresh thread).
class HookedCallback
{
public:
    using Kind = Q7::Platform::Usb::DeviceMonitorInterface::EnumNotify;

    DeviceMonitor_Libusb::NotifyCallback Callback()
    {
        return DeviceMonitor_Libusb::NotifyCallback(this, &HookedCallback::OnNotify);
    }

    std::function<void(Kind, const DeviceMoniker_Libusb&)> hook;
    UsbRecorder recorder{&DevicePathOf};

private:
    void OnNotify(Kind kind, const DeviceMoniker_Libusb* moniker)
    {
        recorder.Callback()(kind, moniker);
        if (hook)
        {
            hook(kind, *moniker);
        }
    }
};

// Catches Stop from a callback waiting for the start lock that a Stop on
// another thread holds while it waits for the callback's thread: both hung.
TEST(UsbDeviceMonitorTest, StopFromACallbackWhileAnotherThreadStopsEndsBoth)
{
    VirtualUsbBus bus;
    bus.Plug({1}, SingleCamera("SN-A"));
    TestSupport::LogCapture log;
    HookedCallback callback;
    DeviceMonitor_Libusb monitor(bus);
    std::promise<void> inCallback;
    std::atomic<bool> returned{false};
    callback.hook = [&](HookedCallback::Kind, const DeviceMoniker_Libusb&)
    {
        inCallback.set_value();
        // The other Stop is under way once it has stopped the monitor thread;
        // it then waits for this thread.
        EXPECT_TRUE(log.WaitFor(L"exited [USB device monitor]", 1, std::chrono::seconds(10)));
        monitor.Stop();
        returned = true;
    };
    monitor.SetNotifyCallback(callback.Callback());
    monitor.SetFilter(CameraFilter());
    monitor.Start();
    ASSERT_EQ(inCallback.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { monitor.Stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
    EXPECT_TRUE(returned);
    EXPECT_FALSE(monitor.IsRunning());
    EXPECT_EQ(bus.GetStartCount(), 0u);
}

// Catches Stop then Start from a callback leaving the monitor half started:
// Start saw the refresh thread still running and did nothing, the thread then
// ended, IsRunning stayed false and no arrival was reported again.
TEST(UsbDeviceMonitorTest, StopThenStartFromACallbackStartsOverOnTheRefreshThread)
{
    VirtualUsbBus bus;
    const HostDeviceLocation a = bus.Plug({1}, SingleCamera("SN-A"));
    HookedCallback callback;
    DeviceMonitor_Libusb monitor(bus);
    std::atomic<bool> once{false};
    std::atomic<bool> stoppedInCallback{false};
    callback.hook = [&](HookedCallback::Kind, const DeviceMoniker_Libusb&)
    {
        if (once.exchange(true))
        {
            return;
        }
        monitor.Stop();
        stoppedInCallback = !monitor.IsRunning();
        monitor.Start();
    };
    monitor.SetNotifyCallback(callback.Callback());
    monitor.SetFilter(CameraFilter());
    monitor.Start();
    // The restart reports the camera present at it once more.
    ASSERT_TRUE(callback.recorder.WaitFor(2));
    ASSERT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), kWaitMs));
    EXPECT_TRUE(stoppedInCallback);
    EXPECT_TRUE(monitor.IsRunning());
    const HostDeviceLocation b = bus.Plug({2}, SingleCamera("SN-B"));
    ASSERT_TRUE(callback.recorder.WaitFor(3));
    EXPECT_EQ(callback.recorder.Events(),
              (std::vector<std::string>{"+" + PathOf(a), "+" + PathOf(a), "+" + PathOf(b)}));
    monitor.Stop();
    EXPECT_EQ(bus.GetStartCount(), 0u);
}

} // namespace
