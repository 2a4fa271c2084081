// The libusb host backend, Device_Libusb and BulkEndpoint_Libusb through real
// libusb against a device emulated in a umockdev testbed: listings from sysfs
// and from libusb's own descriptors, claims, and bulk transfers as usbfs moves
// them (URBs left pending, partial completions, zero-length packets, discards),
// with the device's firmware played by the test.

#include "Q7PlatformUsbDevice_Libusb.h"
#include "Q7PlatformUsbHostBackend_Libusb.h"
#include "RaisedError.h"
#include "UsbfsEmulatedDevice.h"

#include "LogCapture.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using Q7::Platform::Usb::BulkEndpoint_Libusb;
using Q7::Platform::Usb::Device_Libusb;
using Q7::Platform::Usb::DeviceMoniker_Libusb;
using Q7::Platform::Usb::HostBackend_Libusb;
using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostDeviceInfo;
using Q7::Platform::Usb::HostSpeed;
using Q7::Platform::Usb::ScopedHostBackendStart;
using Q7::Platform::Usb::UsbResult;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kOut = 0x01;
constexpr std::uint8_t kIn = 0x81;

Bytes Pattern(std::size_t count, std::uint8_t seed)
{
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 9));
    return bytes;
}

std::future<bool> SendAsync(const std::shared_ptr<Usbfs::FunctionEndpoint>& firmware, Bytes bytes)
{
    return std::async(std::launch::async,
                      [firmware, bytes = std::move(bytes)]
                      {
                          const std::span<const std::uint8_t> piece(bytes);
                          return firmware->Send(std::span<const std::span<const std::uint8_t>>(&piece, 1));
                      });
}

// Takes exactly count bytes from the host's OUT URBs.
Bytes ReceiveAll(Usbfs::FunctionEndpoint& firmware, std::size_t count)
{
    Bytes bytes(count);
    std::size_t taken = 0;
    while (taken < count)
    {
        const std::size_t n = firmware.Receive(std::span<std::uint8_t>(bytes).subspan(taken));
        if (n == 0)
            break;
        taken += n;
    }
    bytes.resize(taken);
    return bytes;
}

using TestSupport::RaisedCode;

DeviceMoniker_Libusb MonikerOf(const Usbfs::EmulatedDevice& device, std::uint8_t interfaceNumber)
{
    DeviceMoniker_Libusb moniker;
    moniker.devicePath.Assign(device.DevicePath(interfaceNumber).c_str());
    return moniker;
}

// A testbed with one camera plugged, and a libusb backend of the test's own.
// Every test ends with the host's use of usbfs checked: no URB left in flight
// or abandoned with its file, no unknown ioctl, no interface used unclaimed.
class UsbfsTest : public ::testing::Test
{
protected:
    explicit UsbfsTest(HostDeviceDescription description = UsbTest::SingleCamera("SN-1"))
        : device(testbed, std::move(description))
    {
        device.Plug();
    }

    void TearDown() override
    {
        const Usbfs::DeviceCounters counters = device.Counters();
        EXPECT_EQ(counters.inFlight, 0u) << "URBs left in flight";
        EXPECT_EQ(counters.abandoned, 0u) << "a file closed with URBs in flight";
        EXPECT_TRUE(counters.unknownRequests.empty())
            << "first unknown ioctl 0x" << std::hex
            << (counters.unknownRequests.empty() ? 0 : counters.unknownRequests[0]);
        EXPECT_EQ(counters.unclaimedUse, 0u);
    }

    Usbfs::Testbed testbed;
    Usbfs::EmulatedDevice device;
    HostBackend_Libusb backend;
    TestSupport::LogCapture log;
};

// ---------------------------------------------------------------- listing

class UsbfsListingTest : public UsbfsTest, public ::testing::WithParamInterface<bool>
{
protected:
    UsbfsListingTest()
        : UsbfsTest(
              UsbTest::Device(UsbTest::kCameraVendor, UsbTest::kCompositeCamera, "SN-\xC3\x9C\xE2\x82\xAC",
                              {UsbTest::BulkInterface(0, 0x06, 1), UsbTest::BulkInterface(2, 0xFF, 3, 1024)}))
    {
    }
};

// Catches descriptors, texts or locations that the real listing paths read
// wrongly: sysfs attributes (param true) and, where sysfs is not offered,
// libusb's device list with texts from string descriptors in UTF-16 (false);
// and a root hub listed as a device.
TEST_P(UsbfsListingTest, ListsTheDeviceAsItDescribesItself)
{
    HostBackend_Libusb::Options options;
    if (!GetParam())
        options.sysfsRoot = "/nonexistent-sysfs"; // libusb lists, reading texts through control transfers
    HostBackend_Libusb lister(options);
    ScopedHostBackendStart started(lister);
    const std::vector<HostDeviceInfo> listed = lister.List();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].readError, "");
    EXPECT_EQ(listed[0].location, device.Location());
    EXPECT_EQ(listed[0].description, device.Description());
}

std::string PathName(const ::testing::TestParamInfo<bool>& path)
{
    return path.param ? "Sysfs" : "Libusb";
}

INSTANTIATE_TEST_SUITE_P(Paths, UsbfsListingTest, ::testing::Bool(), PathName);

// Catches a device that another program holds reported as anything but busy,
// and a removed device not reported as disconnected.
TEST_F(UsbfsTest, OpenReportsABusyInterfaceAndAMissingDevice)
{
    Device_Libusb first(backend);
    Device_Libusb second(backend);
    first.SetDisconnectAsResult(1);
    second.SetDisconnectAsResult(1);
    ASSERT_EQ(first.Open(MonikerOf(device, 0), 0), 0u);
    EXPECT_EQ(first.GetUsbGeneration(), Q7::Platform::Usb::kUsbGeneration_Usb2);
    EXPECT_EQ(RaisedCode([&] { second.Open(MonikerOf(device, 0), 0); }), static_cast<std::uint32_t>(EBUSY));
    EXPECT_EQ(log.Count(L"libusb_claim_interface() failed."), 1u);
    first.Close();
    ASSERT_EQ(second.Open(MonikerOf(device, 0), 0), 0u);
    second.Close();

    const DeviceMoniker_Libusb old = MonikerOf(device, 0);
    device.Unplug();
    EXPECT_EQ(second.Open(old, 0), 4u);
    device.Plug(); // another address: the old path names no device
    EXPECT_EQ(second.Open(old, 0), 4u);
    EXPECT_EQ(second.Open(MonikerOf(device, 0), 0), 0u);
    second.Close();
}

// ---------------------------------------------------------------- transfers

// An opened device and endpoint 1 of the camera, with its firmware.
class UsbfsEndpointTest : public UsbfsTest
{
protected:
    UsbfsEndpointTest()
    {
        usb.SetDisconnectAsResult(1);
        usb.SetTimeoutAsResult(1);
        EXPECT_EQ(usb.Open(MonikerOf(device, 0), 0), 0u);
        endpoint = std::make_unique<BulkEndpoint_Libusb>(usb);
        EXPECT_EQ(endpoint->Open(1), 0u);
        firmware = device.GetFunctionEndpoint(1);
    }

    void TearDown() override
    {
        endpoint.reset();
        usb.Close();
        UsbfsTest::TearDown();
    }

    Device_Libusb usb{backend};
    std::unique_ptr<BulkEndpoint_Libusb> endpoint;
    std::shared_ptr<Usbfs::FunctionEndpoint> firmware;
};

struct InCase
{
    const char* name;
    bool large;                      // about 1 MiB per URB instead of one packet
    std::vector<std::size_t> sends;  // the firmware's transfers, in order
    std::vector<std::size_t> reads;  // the host's Read sizes, in order
    std::vector<std::size_t> counts; // bytes each Read gives
};

void PrintTo(const InCase& c, std::ostream* out)
{
    *out << c.name;
}

class UsbfsInTest : public UsbfsEndpointTest, public ::testing::WithParamInterface<InCase>
{
};

// Catches IN data lost, reordered or cut where usbfs ends URBs: short packets
// that end an URB but not a read, zero-length packets that end a read early,
// bytes of one URB kept across reads, in one-packet and in large URBs.
TEST_P(UsbfsInTest, ReadsGiveTheFirmwaresBytesInOrder)
{
    const InCase& c = GetParam();
    endpoint->SetLargeTransfers(c.large);
    Bytes all;
    std::vector<std::future<bool>> sent;
    auto sender =
        std::async(std::launch::async,
                   [&]
                   {
                       for (std::size_t i = 0; i < c.sends.size(); ++i)
                       {
                           const Bytes bytes = Pattern(c.sends[i], static_cast<std::uint8_t>(i));
                           const std::span<const std::uint8_t> piece(bytes);
                           if (!firmware->Send(std::span<const std::span<const std::uint8_t>>(&piece, 1)))
                               return false;
                       }
                       return true;
                   });
    for (std::size_t i = 0; i < c.sends.size(); ++i)
    {
        const Bytes bytes = Pattern(c.sends[i], static_cast<std::uint8_t>(i));
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    Bytes got;
    for (std::size_t i = 0; i < c.reads.size(); ++i)
    {
        Bytes buffer(c.reads[i]);
        std::uint32_t count = 0;
        ASSERT_EQ(
            endpoint->Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count, nullptr, 10000),
            0u)
            << "read " << i;
        EXPECT_EQ(count, c.counts[i]) << "read " << i;
        got.insert(got.end(), buffer.begin(), buffer.begin() + count);
    }
    ASSERT_EQ(sender.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(got, all);
}

const InCase kInCases[] = {
    {"ShortPacketsDoNotEndARead", false, {700, 100}, {800}, {800}},
    {"AZeroLengthPacketEndsAReadEarly", false, {1024, 10}, {4096, 10}, {1024, 10}},
    {"BytesOfOneUrbServeTwoReads", true, {1500}, {1000, 500}, {1000, 500}},
    {"LargeUrbsEndOnShortPackets", true, {700, 300000, 5}, {700, 300005}, {700, 300005}},
    {"AnEmptyTransferIsAZeroLengthPacket", true, {0, 3}, {100, 3}, {0, 3}},
};

std::string InCaseName(const ::testing::TestParamInfo<InCase>& c)
{
    return c.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbfsInTest, ::testing::ValuesIn(kInCases), InCaseName);

// Catches a read that times out taking its queued URBs with it (the bytes
// that arrive later are lost), and a ring that is not kept queued between
// reads (the device would wait for the host).
TEST_F(UsbfsEndpointTest, URBsStayPendingAcrossATimedOutRead)
{
    Bytes buffer(64);
    std::uint32_t count = 0;
    EXPECT_EQ(endpoint->Read(buffer.data(), 64, &count, nullptr, 50), 2u);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(device.WaitForPendingUrbs(kIn, 4, 5s)) << "the ring of reads is not queued";
    auto sent = SendAsync(firmware, Pattern(64, 9));
    ASSERT_EQ(endpoint->Read(buffer.data(), 64, &count, nullptr, 10000), 0u);
    EXPECT_EQ(buffer, Pattern(64, 9));
    EXPECT_TRUE(sent.get());
}

// Catches a write whose URB is not discarded when its wait ends (the buffer
// would stay in use after Write returned), and a count of bytes written that
// differs from what reached the device: a slow endpoint takes part of it.
TEST_F(UsbfsEndpointTest, AWriteToASlowEndpointEndsByItsTimeOutWithTheBytesMoved)
{
    device.SetPace(1, 20ms, 64);
    const Bytes bytes = Pattern(64 * 1024, 3);
    std::uint32_t written = 0;
    auto taken = std::async(std::launch::async, [&] { return ReceiveAll(*firmware, 64 * 1024); });
    EXPECT_EQ(endpoint->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written, nullptr, 200),
              2u);
    EXPECT_LT(written, bytes.size());
    EXPECT_EQ(device.Counters().discarded, 1u);

    // At full speed again, a second write completes; the firmware saw the
    // first write's moved bytes, then the second's, and nothing else.
    device.SetPace(1, 0ms, 0);
    std::uint32_t second = 0;
    const Bytes rest = Pattern(64 * 1024 - written, 4);
    EXPECT_EQ(endpoint->Write(rest.data(), static_cast<std::uint32_t>(rest.size()), &second, nullptr, 10000),
              0u);
    EXPECT_EQ(second, rest.size());
    ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
    Bytes expected(bytes.begin(), bytes.begin() + written);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(taken.get(), expected);
}

// ---------------------------------------------------------------- faults

enum class Fault
{
    EndUrb, // the endpoint's next URB ends with the status
    Halt,   // the endpoint stalls: every URB ends with -EPIPE until a clear-halt
    Unplug, // the device is removed; its URBs in flight end with the status
};

struct FaultCase
{
    const char* name;
    std::uint8_t endpoint; // kIn: a Read meets it; kOut: a Write
    Fault fault;
    int status;           // for EndUrb
    std::uint32_t result; // the call's result, when it returns
    std::uint32_t raised; // else the errno of the SystemError_Posix it raises
    bool disconnected;    // the device is marked disconnected after it
};

void PrintTo(const FaultCase& c, std::ostream* out)
{
    *out << c.name;
}

class UsbfsFaultTest : public UsbfsEndpointTest, public ::testing::WithParamInterface<FaultCase>
{
};

// Catches a transfer status libusb reports that the library maps to the wrong
// outcome: a stall or an overflow that does not raise its errno ("USB
// error."), a vanished device that is not a disconnection (result 4 and the
// disconnected event), or a failure that marks a present device disconnected.
TEST_P(UsbfsFaultTest, ATransferErrorEndsInItsDocumentedOutcome)
{
    const FaultCase& c = GetParam();
    Bytes buffer(64);
    std::uint32_t count = 0;
    if (c.endpoint == kIn)
    {
        // Queue the read ring first, so the fault meets a pending URB.
        EXPECT_EQ(endpoint->Read(buffer.data(), 64, &count, nullptr, 0), 2u);
        ASSERT_TRUE(device.WaitForPendingUrbs(kIn, 4, 10s));
    }
    if (c.endpoint == kOut && c.fault == Fault::Unplug)
    {
        device.SetPace(1, 60s, 0); // the write stays in flight until the removal
    }
    std::future<void> removal;
    if (c.fault == Fault::Halt)
        device.Halt(c.endpoint);
    else if (c.fault == Fault::EndUrb)
        device.FailNextUrb(c.endpoint, c.status);
    else
        removal = std::async(std::launch::async,
                             [&]
                             {
                                 device.WaitForPendingUrbs(c.endpoint, 1, 10s);
                                 device.Unplug({.urbStatus = c.status});
                             });
    const auto call = [&]
    {
        return c.endpoint == kIn ? endpoint->Read(buffer.data(), 64, &count, nullptr, 10000)
                                 : endpoint->Write(buffer.data(), 64, &count, nullptr, 10000);
    };
    std::uint32_t result = 0;
    EXPECT_EQ(RaisedCode([&] { result = call(); }), c.raised);
    if (c.raised == 0)
    {
        EXPECT_EQ(result, c.result);
    }
    if (removal.valid())
    {
        removal.get();
    }
    EXPECT_EQ(usb.GetDisconnectedEvent().IsSet(), c.disconnected);
    EXPECT_EQ(log.Count(L"USB error.") > 0, c.raised != 0);
}

const FaultCase kFaultCases[] = {
    {"StalledInRaisesEpipe", kIn, Fault::Halt, 0, 0, EPIPE, false},
    {"StalledOutRaisesEpipe", kOut, Fault::Halt, 0, 0, EPIPE, false},
    {"OverflowRaisesEoverflow", kIn, Fault::EndUrb, -EOVERFLOW, 0, EOVERFLOW, false},
    {"NoDeviceOnInIsADisconnection", kIn, Fault::EndUrb, -ENODEV, 4, 0, true},
    {"NoDeviceOnOutIsADisconnection", kOut, Fault::EndUrb, -ENODEV, 4, 0, true},
    {"TransactionErrorOnInWithTheDeviceGoneIsADisconnection", kIn, Fault::Unplug, -EPROTO, 4, 0, true},
    {"TransactionErrorOnOutWithTheDeviceGoneIsADisconnection", kOut, Fault::Unplug, -EPROTO, 4, 0, true},
};

std::string FaultName(const ::testing::TestParamInfo<FaultCase>& c)
{
    return c.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbfsFaultTest, ::testing::ValuesIn(kFaultCases), FaultName);

struct TransientCase
{
    const char* name;
    std::uint8_t endpoint; // kIn: a Read meets it; kOut: a Write
    int status;            // how the device's next URB there ends
    std::uint32_t raised;  // the errno of the SystemError_Posix the call raises
};

void PrintTo(const TransientCase& c, std::ostream* out)
{
    *out << c.name;
}

class UsbfsTransientTest : public UsbfsEndpointTest, public ::testing::WithParamInterface<TransientCase>
{
};

// Catches an error of one transfer, the device still attached, that breaks the
// pipe for good (every later call raising it again, or the read ring not queued
// again, so the device's next transfer is never read), that is not reported or
// reported twice, or that marks a present device disconnected.
TEST_P(UsbfsTransientTest, IsReportedOnceAndTheNextTransferDeliversData)
{
    const TransientCase& c = GetParam();
    Bytes buffer(64);
    std::uint32_t count = 0;
    const Bytes next = Pattern(c.endpoint == kIn ? 64 : 4096, 5);
    if (c.endpoint == kIn)
    {
        EXPECT_EQ(endpoint->Read(buffer.data(), 64, &count, nullptr, 0), 2u);
        ASSERT_TRUE(device.WaitForPendingUrbs(kIn, 4, 10s));
        device.FailNextUrb(kIn, c.status);
        EXPECT_EQ(RaisedCode([&] { endpoint->Read(buffer.data(), 64, &count, nullptr, 10000); }), c.raised);
        EXPECT_TRUE(device.WaitForPendingUrbs(kIn, 4, 10s)) << "the failed read was not queued again";
        auto sent = SendAsync(firmware, next);
        EXPECT_EQ(endpoint->Read(buffer.data(), 64, &count, nullptr, 10000), 0u);
        EXPECT_EQ(count, 64u);
        EXPECT_EQ(buffer, next);
        ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(sent.get());
    }
    else
    {
        device.FailNextUrb(kOut, c.status);
        EXPECT_EQ(RaisedCode([&] { endpoint->Write(buffer.data(), 64, &count, nullptr, 10000); }), c.raised);
        auto taken = std::async(std::launch::async, [&] { return ReceiveAll(*firmware, next.size()); });
        EXPECT_EQ(
            endpoint->Write(next.data(), static_cast<std::uint32_t>(next.size()), &count, nullptr, 10000),
            0u);
        EXPECT_EQ(count, next.size());
        ASSERT_EQ(taken.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(taken.get(), next)
            << "the failed write's bytes reached the device, or the next one's did not";
    }
    EXPECT_EQ(log.Count(L"USB error."), 1u);
    EXPECT_FALSE(usb.GetDisconnectedEvent().IsSet());
    EXPECT_TRUE(usb.IsConnected());
}

const TransientCase kTransientCases[] = {
    // A transaction error (a glitch on the wire, the device still there).
    {"TransactionErrorOnIn", kIn, -EPROTO, EIO},
    {"TransactionErrorOnOut", kOut, -EPROTO, EIO},
    // Babble: the packet that did not fit is lost, the endpoint goes on.
    {"OverflowOnIn", kIn, -EOVERFLOW, EOVERFLOW},
};

std::string TransientName(const ::testing::TestParamInfo<TransientCase>& c)
{
    return c.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, UsbfsTransientTest, ::testing::ValuesIn(kTransientCases), TransientName);

// Catches a removal that leaves a blocked read or write waiting (its URB ends
// with -ESHUTDOWN, which libusb reports as "no device"), and transfers the
// removal ended that are never reaped (checked when the fixture ends).
TEST_F(UsbfsEndpointTest, ARemovalEndsABlockedReadAndWriteAsDisconnected)
{
    auto read = std::async(std::launch::async,
                           [&]
                           {
                               Bytes buffer(64);
                               std::uint32_t count = 0;
                               return endpoint->Read(buffer.data(), 64, &count, nullptr, 30000);
                           });
    const Bytes bytes = Pattern(4096, 1);
    auto write = std::async(std::launch::async,
                            [&]
                            {
                                std::uint32_t count = 0;
                                return endpoint->Write(bytes.data(), 4096, &count, nullptr, 30000);
                            });
    ASSERT_TRUE(device.WaitForPendingUrbs(kIn, 4, 10s));
    ASSERT_TRUE(device.WaitForPendingUrbs(kOut, 1, 10s)); // nobody takes it: the firmware does not read
    device.Unplug();
    ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(write.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(read.get(), 4u);
    EXPECT_EQ(write.get(), 4u);
    EXPECT_FALSE(usb.IsConnected());
    EXPECT_EQ(log.Count(L"USB device disconnected."), 1u);
}

} // namespace
