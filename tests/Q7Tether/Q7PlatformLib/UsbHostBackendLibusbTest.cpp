// Tests of the libusb host backend on the machine's real (usually absent) USB
// and on sysfs trees written by the test, so that listing, texts, opening and
// the safety refresh run without any USB device.

#include "Q7PlatformUsbEnum_Libusb.h"
#include "Q7PlatformUsbHostBackend_Libusb.h"

#include "LogCapture.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using namespace UsbTest;
using Q7::Platform::WaitForObject;
using Q7::Platform::Usb::DeviceMonitor_Libusb;
using Q7::Platform::Usb::HostBackend_Libusb;
using Q7::Platform::Usb::HostDeviceHandle;
using Q7::Platform::Usb::HostDeviceInfo;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::HostSpeed;
using Q7::Platform::Usb::HostStatus;
namespace Sysfs = Q7::Platform::Usb::Sysfs;
namespace fs = std::filesystem;

namespace
{

// A directory of the test's own, removed with the object.
class TempDir
{
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "tavrin-usb-XXXXXX").string();
        const char* made = ::mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        path = pattern;
    }
    ~TempDir()
    {
        std::error_code error;
        fs::remove_all(path, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path;
};

using Files = std::map<std::string, std::string>;

// A sysfs device tree: each device entry is written aside, then renamed into
// place, so that the backend never sees half an entry.
class FakeSysfs
{
public:
    const std::string& Root() const { return m_dir.path; }

    void AddDevice(const std::string& name, const Files& files)
    {
        const fs::path staging = fs::path(Root()) / (".staging-" + name);
        for (const auto& [relative, content] : files)
        {
            const fs::path file = staging / relative;
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << content;
        }
        fs::rename(staging, fs::path(Root()) / name);
    }

    // Writes the entry one file at a time, each file whole, in the order the
    // kernel adds them: the device's own attributes with its texts, then its
    // interface entries (when it is configured).
    void AddDeviceFileByFile(const std::string& name, const Files& files)
    {
        const fs::path staging = fs::path(Root()) / ".staging-file";
        const auto write = [&](const std::string& relative, const std::string& content)
        {
            const fs::path file = fs::path(Root()) / name / relative;
            fs::create_directories(file.parent_path());
            std::ofstream(staging, std::ios::binary) << content;
            fs::rename(staging, file);
        };
        const std::string interfacePrefix = name + ':';
        for (const bool interfaces : {false, true})
        {
            for (const auto& [relative, content] : files)
            {
                if ((relative.rfind(interfacePrefix, 0) == 0) == interfaces)
                {
                    write(relative, content);
                }
            }
        }
    }

    void RemoveDevice(const std::string& name) { fs::remove_all(fs::path(Root()) / name); }

private:
    TempDir m_dir;
};

// The attribute files of a device entry with one bulk interface per entry of
// interfaces (number, class, endpoint number, packet size as sysfs writes it).
Files DeviceFiles(const std::string& name, unsigned address, const char* vendor, const char* product,
                  std::vector<std::tuple<unsigned, const char*, unsigned, const char*>> interfaces)
{
    Files files{{"busnum", name.substr(0, name.find('-')) + "\n"},
                {"devnum", std::to_string(address) + "\n"},
                {"idVendor", std::string(vendor) + "\n"},
                {"idProduct", std::string(product) + "\n"},
                {"bcdDevice", "0100\n"},
                {"bDeviceClass", "ef\n"},
                {"speed", "480\n"},
                {"ep_00/bEndpointAddress", "00\n"}};
    for (const auto& [number, interfaceClass, endpoint, packet] : interfaces)
    {
        char interfaceName[32];
        std::snprintf(interfaceName, sizeof interfaceName, "%s:1.%u/", name.c_str(), number);
        const std::string dir = interfaceName;
        char numberText[8];
        std::snprintf(numberText, sizeof numberText, "%02x\n", number);
        files[dir + "bInterfaceNumber"] = numberText;
        files[dir + "bInterfaceClass"] = std::string(interfaceClass) + "\n";
        files[dir + "bInterfaceSubClass"] = "00\n";
        files[dir + "bInterfaceProtocol"] = "00\n";
        files[dir + "bNumEndpoints"] = "02\n";
        for (const unsigned address2 : {endpoint, endpoint | 0x80u})
        {
            char endpointDir[16];
            std::snprintf(endpointDir, sizeof endpointDir, "ep_%02x/", address2);
            char addressText[8];
            std::snprintf(addressText, sizeof addressText, "%02x\n", address2);
            files[dir + endpointDir + "bEndpointAddress"] = addressText;
            files[dir + endpointDir + "bmAttributes"] = "02\n";
            files[dir + endpointDir + "wMaxPacketSize"] = std::string(packet) + "\n";
        }
    }
    return files;
}

// Catches a backend that fails, hangs or leaks where the machine has no USB
// at all (CI containers): it must start, list nothing and stop.
TEST(UsbHostBackendLibusbTest, StartsListsAndStopsOnThisMachine)
{
    HostBackend_Libusb backend;
    for (int round = 0; round < 2; ++round)
    {
        backend.Start();
        backend.Start();
        const std::vector<HostDeviceInfo> devices = backend.List();
        if (!Sysfs::IsAvailable(Sysfs::kDefaultRoot))
        {
            EXPECT_TRUE(devices.empty());
        }
        std::unique_ptr<HostDeviceHandle> handle;
        EXPECT_EQ(backend.Open(HostDeviceLocation{1, {7, 7, 7}, 99}, handle), HostStatus::kNoDevice);
        EXPECT_EQ(handle, nullptr);
        backend.Stop();
        EXPECT_EQ(backend.GetStartCount(), 1u);
        backend.Stop();
        EXPECT_EQ(backend.GetStartCount(), 0u);
        EXPECT_THROW(backend.List(), Q7::Universal::ModuleError);
    }
}

// Catches: root hubs or interface entries listed as devices, a wrong id,
// class, speed, interface or endpoint, a text with its newline or with bytes
// that are not UTF-8, a missing text that is not empty, an unreadable device
// dropped without saying why, or a device taken for attached where sysfs no
// longer has it at its address (the test behind a transfer error).
TEST(UsbHostBackendLibusbTest, ListsDevicesAndTextsFromSysfs)
{
    FakeSysfs sysfs;
    sysfs.AddDevice("usb1", DeviceFiles("1", 1, "1d6b", "0002", {}));
    sysfs.AddDevice("1-0:1.0", {{"bInterfaceNumber", "00\n"}});
    Files camera = DeviceFiles("1-2", 7, "7ab1", "0102", {{0, "06", 1, "0200"}, {2, "ff", 3, "1400"}});
    camera["manufacturer"] = "T\xC3\xA5vrin Kameras\n";
    camera["product"] = "TS-1 \xFF\n";
    sysfs.AddDevice("1-2", camera);
    sysfs.AddDevice("1-2:1.2", {{"bInterfaceNumber", "02\n"}});
    Files broken = DeviceFiles("1-1.3", 3, "7ab1", "0101", {});
    broken.erase("idVendor");
    sysfs.AddDevice("1-1.3", broken);

    TempDir usbfs;
    HostBackend_Libusb backend({sysfs.Root(), usbfs.path, 2000});
    backend.Start();
    const std::vector<HostDeviceInfo> devices = backend.List();
    ASSERT_EQ(devices.size(), 2u);

    EXPECT_EQ(devices[0].location, (HostDeviceLocation{1, {1, 3}, 3}));
    EXPECT_EQ(devices[0].readError, "its device descriptor cannot be read");

    const HostDeviceInfo& d = devices[1];
    EXPECT_EQ(d.location, (HostDeviceLocation{1, {2}, 7}));
    EXPECT_EQ(d.readError, "");
    Q7::Platform::Usb::HostDeviceDescription expected;
    expected.vendorId = 0x7AB1;
    expected.productId = 0x0102;
    expected.deviceRelease = 0x0100;
    expected.deviceClass = 0xEF;
    expected.speed = HostSpeed::kHigh;
    expected.manufacturer = "T\xC3\xA5vrin Kameras";
    expected.product = "TS-1 \xEF\xBF\xBD";
    expected.interfaces = {BulkInterface(0, 0x06, 1, 512), BulkInterface(2, 0xFF, 3, 1024)};
    EXPECT_EQ(d.description, expected);
    EXPECT_EQ(d.description.serialNumber, "") << "a device without serial number";

    std::unique_ptr<HostDeviceHandle> handle;
    EXPECT_EQ(backend.Open(HostDeviceLocation{1, {2}, 8}, handle), HostStatus::kNoDevice)
        << "the device at 1-2 has another address now";
    EXPECT_EQ(backend.Open(HostDeviceLocation{1, {2}, 7}, handle), HostStatus::kNoDevice) << "no device node";
    EXPECT_TRUE(backend.IsAttached(HostDeviceLocation{1, {2}, 7}));
    EXPECT_FALSE(backend.IsAttached(HostDeviceLocation{1, {2}, 8}));
    sysfs.RemoveDevice("1-2");
    EXPECT_FALSE(backend.IsAttached(HostDeviceLocation{1, {2}, 7}));
    backend.Stop();
}

// Catches a monitor that never learns of a device where no hotplug event
// comes (no device-manager daemon): the safety refresh must report it.
TEST(UsbHostBackendLibusbTest, SafetyRefreshReportsDevicesThatNoHotplugEventAnnounced)
{
    FakeSysfs sysfs;
    TempDir usbfs;
    HostBackend_Libusb backend({sysfs.Root(), usbfs.path, 20});
    UsbRecorder recorder(&DevicePathOf);
    DeviceMonitor_Libusb monitor(backend);
    monitor.SetNotifyCallback(recorder.Callback());
    monitor.SetFilter(CameraFilter());
    monitor.Start();
    ASSERT_TRUE(monitor.IsRunning());
    ASSERT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), 10000));

    sysfs.AddDevice("2-1", DeviceFiles("2-1", 9, "1234", "5678", {{0, "ff", 1, "0200"}}));
    Files camera = DeviceFiles("2-4", 5, "7ab1", "0101", {{0, "ff", 1, "0200"}});
    camera["serial"] = "SN-FS\n";
    sysfs.AddDevice("2-4", camera);
    ASSERT_TRUE(recorder.WaitFor(1));
    sysfs.RemoveDevice("2-4");
    ASSERT_TRUE(recorder.WaitFor(2));
    EXPECT_EQ(recorder.Events(), (std::vector<std::string>{"+2-4@5:0", "-2-4@5:0"}));
    EXPECT_STREQ(recorder.Monikers()[0].identity.c_str(), "SN-FS");
    monitor.Stop();
    EXPECT_EQ(backend.GetStartCount(), 0u);
}

// Catches a device listed while the kernel was still adding it: with its
// interfaces but without the texts read before they appeared (its identity
// then the port path, its name empty), or never listed because the safety
// refresh first saw it before its interfaces or their endpoints were there
// and, its ids being the same, took it for known. No hotplug event comes
// here; a 1 ms safety refresh looks at the entry while its files appear.
TEST(UsbHostBackendLibusbTest, DeviceAddedFileByFileIsListedOnceWithItsTexts)
{
    constexpr unsigned kRounds = 100;
    FakeSysfs sysfs;
    TempDir usbfs;
    HostBackend_Libusb backend({sysfs.Root(), usbfs.path, 1});
    UsbRecorder recorder(&DevicePathOf);
    DeviceMonitor_Libusb monitor(backend);
    monitor.SetNotifyCallback(recorder.Callback());
    monitor.SetFilter(CameraFilter());
    monitor.Start();
    ASSERT_TRUE(WaitForObject(&monitor.GetEnumeratedEvent(), 10000));

    std::vector<std::string> expected;
    for (unsigned round = 0; round < kRounds && !HasFailure(); ++round)
    {
        SCOPED_TRACE(round);
        // Each attachment has an address of its own, as the kernel gives it.
        const unsigned address = 2 + round;
        Files camera = DeviceFiles("2-4", address, "7ab1", "0101", {{0, "ff", 1, "0200"}});
        camera["manufacturer"] = "Tavrin\n";
        camera["product"] = "TS-1\n";
        camera["serial"] = "SN-FS\n";
        sysfs.AddDeviceFileByFile("2-4", camera);
        ASSERT_TRUE(recorder.WaitFor(2 * round + 1));
        const Q7::Platform::Usb::DeviceMoniker_Libusb listed = recorder.Monikers()[2 * round];
        EXPECT_STREQ(listed.identity.c_str(), "SN-FS");
        EXPECT_STREQ(listed.friendlyName.c_str(), "TS-1");
        sysfs.RemoveDevice("2-4");
        ASSERT_TRUE(recorder.WaitFor(2 * round + 2));
        const std::string path = "2-4@" + std::to_string(address) + ":0";
        expected.insert(expected.end(), {"+" + path, "-" + path});
    }
    monitor.Stop();
    EXPECT_EQ(recorder.Events(), expected);
}

} // namespace
