// End to end: the device manager over the virtual USB bus and loopback TCP at
// once. Cameras are plugged and unplugged on the bus and static addresses of
// simulated cameras are set and changed; the manager's one callback must see
// every change once, in order, and a camera it lists must open.

#include "Agents/Enumeration/KPXEnumeration.h"
#include "Agents/Enumeration/KPXEnumerationAgent.h"
#include "Channel/KPXChannelTransport.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "SimCamera.h"
#include "SimUsbAttachment.h"
#include "Transport/KPXDeviceManager.h"
#include "Transport/KPXTransport_Tcp.h"
#include "Transport/KPXTransport_Usb.h"

#include "LogCapture.h"
#include "TempFolder.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace
{

using namespace Q7::KPX::Transport;
using Q7::Platform::Usb::VirtualUsbBus;
using UsbTest::CompositeCamera;
using UsbTest::SingleCamera;

using ManagerRecorder = UsbTest::NotifyRecorder<DeviceManager::EnumNotify, DeviceMoniker>;

// "usb:<serial>" or "tcp:<name>".
std::string CameraName(const DeviceMoniker& moniker)
{
    return moniker.type == kMonikerType_Usb ? std::string("usb:") + moniker.usb.identity.c_str()
                                            : std::string("tcp:") + moniker.tcp.name.c_str();
}

std::vector<std::string> Names(const std::vector<DeviceMoniker>& monikers)
{
    std::vector<std::string> names;
    for (const DeviceMoniker& moniker : monikers)
    {
        names.push_back(CameraName(moniker));
    }
    return names;
}

std::vector<std::string> Sorted(std::vector<std::string> texts)
{
    std::sort(texts.begin(), texts.end());
    return texts;
}

std::vector<std::string> Listed(DeviceManager& manager)
{
    std::vector<DeviceMoniker> devices;
    manager.EnumerateDevices(devices);
    return Names(devices);
}

// The process's USB host backend, a virtual bus installed on first use:
// CreateDevice makes its USB devices on the process's backend, so the manager
// must watch that bus too.
VirtualUsbBus& ProcessBus()
{
    static VirtualUsbBus* const bus = []
    {
        auto installed = std::make_unique<VirtualUsbBus>();
        VirtualUsbBus* const raw = installed.get();
        Q7::Platform::Usb::InstallHostBackend(std::move(installed));
        return raw;
    }();
    return *bus;
}

// A simulated camera with its own serial number, not yet serving.
std::unique_ptr<Q7::Sim::Camera> MakeCamera(const std::string& serial)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    description.serialNumber = serial;
    auto camera = std::make_unique<Q7::Sim::Camera>(description);
    camera->SetLogSink({});
    return camera;
}

// A simulated camera serving over TCP at the address.
std::unique_ptr<Q7::Sim::Camera> StartCamera(const std::string& serial, const std::string& address,
                                             std::uint16_t port)
{
    std::unique_ptr<Q7::Sim::Camera> camera = MakeCamera(serial);
    camera->Start(address, port);
    return camera;
}

// Opens the camera through the device CreateDevice makes and reads its serial
// number on channel 0.0; empty when that fails.
std::string ReadSerialNumber(const DeviceMoniker& moniker)
{
    const std::unique_ptr<DeviceInterface> device = DeviceManager::CreateDevice(moniker);
    EXPECT_FALSE(device->IsOpen()) << "CreateDevice must give a closed device";
    EXPECT_EQ(moniker.type == kMonikerType_Usb, dynamic_cast<UsbDevice*>(device.get()) != nullptr);
    EXPECT_EQ(moniker.type == kMonikerType_Tcp, dynamic_cast<TcpDevice*>(device.get()) != nullptr);
    if (device->Open() != 0)
    {
        return {};
    }
    std::string serial;
    {
        Q7::KPX::ChannelTransport transport(*device, kDefaultPipeId);
        if (transport.Start() == 0)
        {
            Q7::KPX::EnumerationAgent agent(transport);
            Q7::KPX::Enumeration::DeviceInfo info;
            if (agent.Open() && agent.GetDeviceInfo(info))
            {
                serial = info.serialNumber;
            }
            agent.Close();
        }
        transport.Stop();
    }
    device->Close();
    return serial;
}

// Catches: a change reported twice or never, a removal after its arrival in
// one refresh, a TCP refresh that removes USB cameras (or the reverse), two
// equal static lines giving two cameras, a throwing callback that stops the
// notifications after it, and a listed camera, USB or TCP, that does not open.
TEST(DeviceManagerE2eTest, UsbAndTcpChangesReachTheCallbackOnceInOrderAndListedCamerasOpen)
{
    std::unique_ptr<Q7::Sim::Camera> atDefaultPort;
    try
    {
        atDefaultPort = StartCamera("SIM-DEFAULT-PORT", "127.0.0.151", kDefaultTcpPort);
    }
    catch (const std::system_error&)
    {
        GTEST_SKIP() << "127.0.0.151:7381 is in use";
    }
    const std::unique_ptr<Q7::Sim::Camera> atOwnPort = StartCamera("SIM-OWN-PORT", "127.0.0.1", 0);
    const std::string ownPort = std::to_string(atOwnPort->Port());

    VirtualUsbBus& bus = ProcessBus();
    struct Unplug // leaves the process's bus empty, however the test ends
    {
        VirtualUsbBus& bus;
        ~Unplug()
        {
            bus.Unplug({1});
            bus.Unplug({2});
        }
    } unplug{bus};
    bus.Plug({1}, SingleCamera("SN-A"));
    const std::unique_ptr<Q7::Sim::Camera> onUsb = MakeCamera("SIM-USB");
    Q7::Sim::UsbAttachment attachment(*onUsb, bus, {.ports = {3}});
    TestSupport::LogCapture log;
    ManagerRecorder recorder(&CameraName); // outlives the manager's monitors
    DeviceManager manager(kTransportSelection_UsbAndTcp, bus);
    manager.SetNotifyCallback(recorder.Callback());
    manager.StartNotify();
    ASSERT_TRUE(recorder.WaitFor(1));

    // A TCP refresh: one camera at the default port (named twice), one at its own.
    manager.SetStaticIpConfiguration(
        ("# studio\none|127.0.0.151\ntwo | 127.0.0.1 | " + ownPort + "\r\none|127.0.0.151|7381\n").c_str());
    ASSERT_EQ(recorder.Events().size(), 3u) << "a static refresh notifies before it returns";

    // USB refreshes.
    bus.Plug({2}, CompositeCamera("SN-B"));
    ASSERT_TRUE(recorder.WaitFor(4));
    attachment.Plug();
    ASSERT_TRUE(recorder.WaitFor(5));
    bus.Unplug({1});
    ASSERT_TRUE(recorder.WaitFor(6));

    // A TCP refresh from a file, whose first notification throws.
    const TestSupport::TempFolder folder;
    const std::string path = folder.Write("cameras.txt", "one|127.0.0.151\nthree|127.0.0.1|" + ownPort);
    recorder.ThrowOnNext(1);
    manager.SetStaticIpConfigurationFile(path.c_str());
    EXPECT_EQ(log.Count(L"KPX device manager: ignoring exception thrown from notify callback."), 1u);
    EXPECT_EQ(log.Count(L"KPX - setting static IP configuration file"), 1u);

    EXPECT_EQ(recorder.Events(),
              (std::vector<std::string>{"+usb:SN-A", "+tcp:one", "+tcp:two", "+usb:SN-B", "+usb:SIM-USB",
                                        "-usb:SN-A", "-tcp:two", "+tcp:three"}));
    std::vector<DeviceMoniker> devices;
    manager.EnumerateDevices(devices);
    ASSERT_EQ(Names(devices), (std::vector<std::string>{"tcp:one", "usb:SN-B", "usb:SIM-USB", "tcp:three"}));
    EXPECT_EQ(devices[0].tcp.port, kDefaultTcpPort);
    EXPECT_EQ(ReadSerialNumber(devices[0]), "SIM-DEFAULT-PORT");
    EXPECT_EQ(ReadSerialNumber(devices[2]), "SIM-USB");
    EXPECT_EQ(ReadSerialNumber(devices[3]), "SIM-OWN-PORT");
    manager.StopNotify();
    EXPECT_EQ(recorder.Events().size(), 8u) << "nothing may be reported after the changes above";
    atDefaultPort->Stop();
    atOwnPort->Stop();
}

// Catches the fault mended in the USB monitor (an enumerated event kept from
// the previous run, so EnumerateDevices returned at once with the emptied
// list), a restart that does not report the present cameras again, and an
// EnumerateDevices that waits beyond its second for the first enumeration.
TEST(DeviceManagerE2eTest, RestartReportsUsbCamerasAgainAndEnumerateWaitsAtMostASecondForThem)
{
    VirtualUsbBus bus;
    bus.Plug({1}, SingleCamera("SN-A"));
    TestSupport::LogCapture log;
    ManagerRecorder recorder(&CameraName);
    DeviceManager manager(kTransportSelection_UsbOnly, bus);
    manager.SetNotifyCallback(recorder.Callback());
    manager.StartNotify();
    EXPECT_EQ(Listed(manager), std::vector<std::string>{"usb:SN-A"});
    manager.StopNotify();

    bus.HoldListing(); // the first enumeration of the new start cannot finish
    manager.StartNotify();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Listed(manager).empty());
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(log.Count(L"Warning: KPXLib EnumerateDevices gave up waiting on USB enumeration to finish, "
                        L"after 1 sec."),
              1u);
    bus.ReleaseListing();
    EXPECT_EQ(Listed(manager), std::vector<std::string>{"usb:SN-A"});
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+usb:SN-A", "+usb:SN-A"}));
}

struct SelectionCase
{
    const char* what;
    std::uint32_t selection;
    bool usbFails;
    bool startRaises; // StartNotify and EnumerateDevices raise the USB failure
    // Sorted: the order between USB and TCP cameras found by one start is open.
    std::vector<std::string> listed;   // EnumerateDevices, before and after StartNotify
    std::vector<std::string> notified; // after StartNotify and the static list
    const wchar_t* logged;             // a line that must be logged, or null
    bool listsUsb;                     // the bus is listed at all
};

// Catches: a failing USB subsystem ending TCP discovery with selection 0 (or
// not raising with selection 1), a TCP-only manager touching USB, and an
// unknown selection finding anything.
TEST(DeviceManagerE2eTest, SelectionsDecideTheTransportsAndAFailingUsbSubsystem)
{
    const std::vector<SelectionCase> cases{
        {"USB and TCP", 0, false, false, {"tcp:cam", "usb:SN-A"}, {"+tcp:cam", "+usb:SN-A"}, nullptr, true},
        {"USB and TCP, USB cannot start",
         0,
         true,
         false,
         {"tcp:cam"},
         {"+tcp:cam"},
         L"Warning: USB subsystem failed: USB host backend could not start: no USB stack here",
         false},
        {"USB only, USB cannot start", 1, true, true, {}, {}, nullptr, true},
        {"USB only", 1, false, false, {"usb:SN-A"}, {"+usb:SN-A"}, nullptr, true},
        {"TCP only", 2, false, false, {"tcp:cam"}, {"+tcp:cam"}, nullptr, false},
        {"unknown",
         3,
         false,
         false,
         {},
         {},
         L"Error: DeviceManager cannot handled Transport layer selection!",
         false},
    };
    for (const SelectionCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        VirtualUsbBus bus;
        bus.Plug({1}, SingleCamera("SN-A"));
        bus.SetStartFailure(c.usbFails ? "no USB stack here" : "");
        TestSupport::LogCapture log;
        ManagerRecorder recorder(&CameraName);
        DeviceManager manager(c.selection, bus);
        manager.SetNotifyCallback(recorder.Callback());
        manager.SetStaticIpConfiguration("cam|127.0.0.1|1");
        EXPECT_TRUE(recorder.Events().empty()) << "notified before StartNotify";
        if (c.startRaises)
        {
            EXPECT_THROW(Listed(manager), Q7::Universal::StdExceptionError);
            EXPECT_THROW(manager.StartNotify(), Q7::Universal::StdExceptionError);
            EXPECT_EQ(bus.GetStartCount(), 0u);
            continue;
        }
        EXPECT_EQ(Sorted(Listed(manager)), c.listed);
        manager.StartNotify();
        manager.SetStaticIpConfiguration("cam|127.0.0.1|1");
        EXPECT_EQ(Sorted(Listed(manager)), c.listed);
        EXPECT_TRUE(recorder.WaitFor(c.notified.size()));
        EXPECT_EQ(Sorted(recorder.Events()), c.notified);
        if (c.logged != nullptr)
        {
            EXPECT_GE(log.Count(c.logged), 1u);
        }
        EXPECT_EQ(bus.GetListCount() > 0, c.listsUsb);
    }
}

} // namespace
