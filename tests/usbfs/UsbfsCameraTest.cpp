// The simulated camera behind an emulated usbfs device, reached the way an
// application reaches a real camera: the USB device monitor and the device
// manager find it through libusb's hotplug and sysfs, and the KPX camera
// object opens it and runs device control and channel 1.0 transfers through
// the process's libusb backend.

#include "Camera/KPXCamera.h"
#include "Q7PlatformUsbEnum_Libusb.h"
#include "Q7PlatformUsbHostBackend_Libusb.h"
#include "SimDeviceControlHandler.h"
#include "SimProgrammingHandler.h"
#include "Transport/KPXDeviceManager.h"
#include "UsbfsEmulatedCamera.h"

#include "CameraTestSupport.h"
#include "DeviceControlE2eSupport.h"
#include "LogCapture.h"
#include "RaisedError.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>

namespace
{

using namespace std::chrono_literals;
using E2e::ToKpxValue;
using Q7::KPX::Camera;
using Q7::KPX::Transport::DeviceManager;
using Q7::KPX::Transport::DeviceMoniker;
using Q7::Platform::Usb::DeviceMonitor_Libusb;
using Q7::Platform::Usb::HostBackend_Libusb;
using TestSupport::Bytes;
using TestSupport::TestBytes;
using Clock = std::chrono::steady_clock;

constexpr Q7::Sim::ChannelId k10{1, 0};
constexpr Q7::Sim::ChannelId k20{2, 0};
constexpr std::uint32_t kIso = 0x1001;
constexpr std::uint32_t kLogKind = 2; // log id 104
constexpr std::uint32_t kLogId = 104;
constexpr const char* kCode = "open sesame";
constexpr const char* kSerial = "SIM0000001";
// Bound of every wait: through umockdev, libusb's event thread reaps in a loop,
// which makes these tests slow under ThreadSanitizer.
constexpr auto kBound = 60s;

// The library's log lines, for the message of a failed wait.
std::string LogLines(const TestSupport::LogCapture& capture)
{
    std::string text = "log:\n";
    for (const auto& line : capture.Captured())
        text += Q7::Universal::ToNarrow(line.line.c_str()).c_str() + std::string("\n");
    return text;
}

// "usb:<serial>" for the device manager's notifications.
std::string CameraName(const DeviceMoniker& moniker)
{
    return std::string("usb:") + moniker.usb.identity.c_str();
}

using ManagerRecorder = UsbTest::NotifyRecorder<DeviceManager::EnumNotify, DeviceMoniker>;

// The testbed (first: libusb's hotplug monitor binds to it), the simulated
// camera serving channels 0.0, 1.0 and 2.0 and its emulated device, not yet
// plugged. The camera stops before the testbed goes.
class UsbfsCameraTest : public ::testing::Test
{
protected:
    UsbfsCameraTest()
    {
        Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
        description.authenticationCode = kCode;
        sim = std::make_unique<Q7::Sim::Camera>(std::move(description));
        sim->SetLogSink({});
        sim->SetChannelHandler(k10, Q7::Sim::ProgrammingHandler::Factory(store));
        sim->SetChannelHandler(k20, Q7::Sim::DeviceControlHandler::Factory(model));
        store->SetLog(kLogId, log, true);
        emulated = std::make_unique<Usbfs::EmulatedCamera>(testbed, *sim);
    }

    ~UsbfsCameraTest() override
    {
        // Nothing of the library may hold the process's backend (and with it
        // libusb's hotplug monitor, bound to this testbed) after a test.
        emulated->Unplug();
        sim->Stop();
        emulated.reset();
    }

    // Every URB the host submitted was reaped: none freed with its file.
    void ExpectEveryUrbReaped()
    {
        const Usbfs::DeviceCounters counters = emulated->Device().Counters();
        EXPECT_EQ(counters.inFlight, 0u);
        EXPECT_EQ(counters.abandoned, 0u);
        EXPECT_TRUE(counters.unknownRequests.empty());
        EXPECT_EQ(counters.unclaimedUse, 0u);
    }

    // Opens the camera object on the moniker as the layer above does, with
    // device control started.
    std::unique_ptr<Camera> OpenCamera(const DeviceMoniker& moniker)
    {
        auto camera = std::make_unique<Camera>(moniker);
        camera->SetNotifyCallback(notified.Sink());
        camera->SetClientIdentity(kCode);
        EXPECT_EQ(camera->Initialize(false), 0u);
        EXPECT_EQ(camera->InitializeAgents(nullptr), 0u);
        camera->StartDeviceControl();
        EXPECT_TRUE(camera->IsDeviceControlStarted());
        return camera;
    }

    // The moniker of the plugged camera, as the device manager lists it.
    DeviceMoniker ListedMoniker()
    {
        DeviceManager manager(Q7::KPX::Transport::kTransportSelection_UsbOnly);
        std::vector<DeviceMoniker> devices;
        manager.EnumerateDevices(devices);
        EXPECT_EQ(devices.size(), 1u);
        return devices.empty() ? DeviceMoniker() : devices[0];
    }

    Usbfs::Testbed testbed;
    TestSupport::LogCapture logs;
    const Bytes log = TestBytes(1 << 20, 7);
    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    std::shared_ptr<Q7::Sim::DeviceControlModel> model =
        std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
    std::unique_ptr<Q7::Sim::Camera> sim;
    std::unique_ptr<Usbfs::EmulatedCamera> emulated;
    TestSupport::CameraNotifyCounter notified{kBound};
};

// ---------------------------------------------------------------- finding it

class UsbfsMonitorTest : public UsbfsCameraTest, public ::testing::WithParamInterface<std::uint32_t>
{
};

// Catches a plug or an unplug that libusb's hotplug does not bring to the
// monitor (param: a safety refresh too slow to stand in for it), one reported
// twice when hotplug and a frequent safety refresh both see it, and a listed
// camera whose texts or path differ from what the device gives.
TEST_P(UsbfsMonitorTest, ListsTheCameraAndReportsPlugAndUnplugOnceEach)
{
    HostBackend_Libusb backend({.safetyRefreshMs = GetParam()});
    UsbTest::UsbRecorder recorder(&UsbTest::DevicePathOf);
    {
        DeviceMonitor_Libusb monitor(backend);
        monitor.SetFilter(UsbTest::CameraFilter());
        monitor.SetNotifyCallback(recorder.Callback());
        monitor.Start();
        emulated->Plug();
        const std::string path = emulated->DevicePath();
        ASSERT_TRUE(recorder.WaitFor(1, kBound));
        std::vector<Q7::Platform::Usb::DeviceMoniker_Libusb> devices;
        monitor.GetDevices(devices);
        ASSERT_EQ(devices.size(), 1u);
        EXPECT_STREQ(devices[0].devicePath.c_str(), path.c_str());
        EXPECT_STREQ(devices[0].identity.c_str(), kSerial);
        EXPECT_STREQ(devices[0].friendlyName.c_str(), sim->Description().modelName.c_str());
        EXPECT_STREQ(devices[0].manufacturer.c_str(), sim->Description().manufacturerName.c_str());

        emulated->Unplug();
        ASSERT_TRUE(recorder.WaitFor(2, kBound)) << LogLines(logs);
        monitor.GetDevices(devices);
        EXPECT_TRUE(devices.empty());
        // Long enough for several safety refreshes (param 50 ms) to find nothing new.
        EXPECT_FALSE(recorder.WaitFor(3, 500ms));
        EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+" + path, "-" + path}));
        monitor.Stop();
    }
}

std::string RefreshName(const ::testing::TestParamInfo<std::uint32_t>& refresh)
{
    return refresh.param > 1000 ? "HotplugAlone" : "HotplugAndFrequentRefresh";
}

INSTANTIATE_TEST_SUITE_P(Refresh, UsbfsMonitorTest, ::testing::Values(600000u, 50u), RefreshName);

// ---------------------------------------------------------------- using it

// Catches any step of an application's road that real libusb breaks: the
// manager lists the camera plugged after it started, the camera object opens
// it from that moniker (channel 0.0), starts device control, reads and sets a
// property, uploads 16 MiB and downloads a log byte for byte, and closes
// without a disconnection; then the unplug reaches the manager. Every URB the
// host submitted was reaped.
TEST_F(UsbfsCameraTest, AnApplicationFindsOpensControlsAndTransfersThroughLibusb)
{
    ManagerRecorder recorder(&CameraName);
    DeviceManager manager(Q7::KPX::Transport::kTransportSelection_UsbOnly);
    manager.SetNotifyCallback(recorder.Callback());
    manager.StartNotify();
    emulated->Plug();
    ASSERT_TRUE(recorder.WaitFor(1, kBound));
    std::vector<DeviceMoniker> devices;
    manager.EnumerateDevices(devices);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].type, Q7::KPX::Transport::kMonikerType_Usb);

    {
        const std::unique_ptr<Camera> camera = OpenCamera(devices[0]);
        EXPECT_EQ(camera->GetDeviceInfo().serialNumber, kSerial);
        EXPECT_EQ(camera->GetConnectionType(), Q7::KPX::Transport::kConnectionType_Usb2);
        Camera::PropertyState state;
        ASSERT_TRUE(camera->GetPropertyState(kIso, state));
        EXPECT_EQ(state.value.text, "ISO 200");
        ASSERT_TRUE(camera->SetPropertyValue(kIso, ToKpxValue(Q7::Sim::SimValue::U32(800))));
        ASSERT_TRUE(notified.WaitForStateChange(kIso));
        ASSERT_TRUE(camera->GetPropertyState(kIso, state));
        EXPECT_EQ(state.value.text, "ISO 800");
        EXPECT_EQ(model->Find(kIso)->value.bytes, Q7::Sim::SimValue::U32(800).bytes);

        const Bytes firmware = TestBytes(16u << 20, 3);
        EXPECT_TRUE(camera->UpdateFirmware({}, firmware.data(), firmware.size()));
        ASSERT_EQ(store->Uploads().size(), 1u);
        EXPECT_TRUE(store->Uploads()[0].bytes == firmware) << "the upload arrived changed";
        EXPECT_TRUE(camera->DownloadLog(kLogKind, true) == log) << "the log arrived changed";

        camera->Close();
        EXPECT_EQ(notified.Count(Camera::kNotify_DeviceDisconnected), 0u);
    }
    const Q7::Sim::Observations observed = sim->Snapshot();
    EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();

    emulated->Unplug();
    ASSERT_TRUE(recorder.WaitFor(2, kBound)) << LogLines(logs);
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+usb:SIM0000001", "-usb:SIM0000001"}));
    manager.StopNotify();
    ExpectEveryUrbReaped();
}

// ---------------------------------------------------------------- losing it

enum class Moment
{
    Idle,     // device control running, the read ring queued
    Upload,   // in the middle of a 16 MiB upload: URBs in flight both ways
    Download, // in the middle of a log download
};

struct RemovalCase
{
    const char* name;
    Moment moment;
    int urbStatus; // how the removal ends the URBs in flight
};

void PrintTo(const RemovalCase& c, std::ostream* out)
{
    *out << c.name;
}

class UsbfsRemovalTest : public UsbfsCameraTest, public ::testing::WithParamInterface<RemovalCase>
{
};

// Catches a removal that is not reported once as a disconnection (twice, by
// the transfer and the hotplug paths, or never), a transfer that the removal
// leaves running or reports as success, a Close that hangs on transfers the
// removal ended, and transfers not freed (every URB must be reaped; under
// AddressSanitizer a leaked transfer fails the run).
TEST_P(UsbfsRemovalTest, EndsInOneDisconnectionAndFreesEveryTransfer)
{
    const RemovalCase& c = GetParam();
    emulated->Plug();
    std::unique_ptr<Camera> camera = OpenCamera(ListedMoniker());
    ASSERT_TRUE(camera);
    const Bytes firmware = TestBytes(16u << 20, 1);
    std::future<bool> transfer; // after what it uses: a failed assertion waits for it first
    if (c.moment == Moment::Upload)
    {
        // Slow from the start, so that the rest of the upload cannot pass in
        // the moment between its first MiB and the hold below.
        emulated->Device().SetPace(1, 10ms, 64u << 10);
        transfer =
            std::async(std::launch::async,
                       [&]
                       {
                           bool sent = false;
                           const auto raised = TestSupport::RaisedBy(
                               [&] { sent = camera->UpdateFirmware({}, firmware.data(), firmware.size()); });
                           return sent && raised.code == 0;
                       });
        ASSERT_TRUE(store->WaitUntil([](const Q7::Sim::ProgrammingCounters& counters)
                                     { return counters.uploadBytesReceived >= (1u << 20); },
                                     kBound));
        emulated->Device().SetPace(1, 60s, 0); // the upload cannot finish before the removal
    }
    else if (c.moment == Moment::Download)
    {
        emulated->Device().SetPace(1, 1ms, 0); // the download cannot finish before the removal
        transfer = std::async(std::launch::async,
                              [&]
                              {
                                  Bytes got;
                                  const auto raised = TestSupport::RaisedBy(
                                      [&] { got = camera->DownloadLog(kLogKind, true); });
                                  return raised.code == 0 && got == log;
                              });
        ASSERT_TRUE(store->WaitUntil([](const Q7::Sim::ProgrammingCounters& counters)
                                     { return counters.downloadBytesSent > 0; },
                                     kBound));
    }
    ASSERT_TRUE(emulated->Device().WaitForPendingUrbs(0x81, 1, kBound));

    emulated->Unplug({.urbStatus = c.urbStatus});
    EXPECT_TRUE(notified.WaitFor(Camera::kNotify_DeviceDisconnected));
    if (transfer.valid())
    {
        ASSERT_EQ(transfer.wait_for(kBound), std::future_status::ready);
        EXPECT_FALSE(transfer.get()) << "a transfer cut off by the removal reported success";
    }
    const auto closing = Clock::now();
    camera->Close();
    EXPECT_LT(Clock::now() - closing, 10s);
    camera.reset();
    EXPECT_EQ(notified.Count(Camera::kNotify_DeviceDisconnected), 1u);
    ExpectEveryUrbReaped();
}

const RemovalCase kRemovalCases[] = {
    {"Idle", Moment::Idle, -ESHUTDOWN},
    {"DuringAnUpload", Moment::Upload, -ESHUTDOWN},
    {"DuringADownload", Moment::Download, -ESHUTDOWN},
    // A pulled cable: the host controller ends the URBs in flight with
    // transaction errors, the device is gone by the time they are reaped.
    {"IdleWithTransactionErrors", Moment::Idle, -EPROTO},
    {"DuringAnUploadWithTransactionErrors", Moment::Upload, -EPROTO},
    {"DuringADownloadWithTransactionErrors", Moment::Download, -EPROTO},
};

std::string RemovalName(const ::testing::TestParamInfo<RemovalCase>& c)
{
    return c.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbfsRemovalTest, ::testing::ValuesIn(kRemovalCases), RemovalName);

} // namespace
