// Tests of bulk transfers on the virtual USB bus (the packets, cancels and
// unplugs a host sees on hardware) and of Device_Libusb and
// BulkEndpoint_Libusb over it, with the device's firmware played by the test.

#include "Q7PlatformSystemError_Posix.h"
#include "Q7PlatformUsbDevice_Libusb.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "RaisedError.h"

#include "LogCapture.h"
#include "UsbTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

using namespace UsbTest;
using namespace std::chrono_literals;
using Q7::Platform::EventCondition_Posix;
using Q7::Platform::Usb::BulkEndpoint_Libusb;
using Q7::Platform::Usb::Device_Libusb;
using Q7::Platform::Usb::FormatDevicePath;
using Q7::Platform::Usb::HostBulkTransfer;
using Q7::Platform::Usb::HostChange;
using Q7::Platform::Usb::HostChangeListener;
using Q7::Platform::Usb::HostDeviceHandle;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::HostSpeed;
using Q7::Platform::Usb::HostStatus;
using Q7::Platform::Usb::HostTransferListener;
using Q7::Platform::Usb::HostTransferResult;
using Q7::Platform::Usb::ScopedHostBackendStart;
using Q7::Platform::Usb::UsbResult;
using Q7::Platform::Usb::VirtualFunctionEndpoint;
using Q7::Platform::Usb::VirtualPlugOptions;
using Q7::Platform::Usb::VirtualUsbBus;
using TestSupport::LogCapture;

namespace
{

constexpr std::uint8_t kOut = 0x01;
constexpr std::uint8_t kIn = 0x81;
const std::vector<std::uint8_t> kPort{1};

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Sends bytes from the firmware's side on another thread (Send blocks until
// the host took them).
std::future<bool> SendAsync(const std::shared_ptr<VirtualFunctionEndpoint>& firmware,
                            std::vector<std::uint8_t> bytes)
{
    return std::async(std::launch::async,
                      [firmware, bytes = std::move(bytes)]
                      {
                          const std::span<const std::uint8_t> piece(bytes);
                          return firmware->Send(std::span<const std::span<const std::uint8_t>>(&piece, 1));
                      });
}

// Records the ends of transfers with the threads they ran on.
class Recorder final : public HostTransferListener
{
public:
    void OnTransferDone(const HostTransferResult& result) noexcept override
    {
        // Notified under the lock: a test may destroy the recorder as soon as
        // its wait has seen the result.
        std::lock_guard lock(m_mutex);
        m_results.push_back(result);
        m_threads.push_back(std::this_thread::get_id());
        m_changed.notify_all();
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_results.size() >= count; });
    }

    std::vector<HostTransferResult> Results()
    {
        std::lock_guard lock(m_mutex);
        return m_results;
    }

    std::vector<std::thread::id> Threads()
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }

private:
    std::mutex m_mutex; // guards the members below
    std::condition_variable m_changed;
    std::vector<HostTransferResult> m_results;
    std::vector<std::thread::id> m_threads;
};

// A camera plugged into a started bus and opened through the backend.
class BusFixture
{
public:
    explicit BusFixture(HostDeviceDescription description = SingleCamera("SN-1"))
    {
        location = bus.Plug(kPort, description);
        start = std::make_unique<ScopedHostBackendStart>(bus);
        EXPECT_EQ(bus.Open(location, handle), HostStatus::kSuccess);
        EXPECT_EQ(handle->ClaimInterface(0), HostStatus::kSuccess);
        firmware = bus.GetFunctionEndpoint(kPort, 1);
    }
    ~BusFixture()
    {
        handle.reset();
        start.reset();
    }

    VirtualUsbBus bus;
    HostDeviceLocation location;
    std::unique_ptr<ScopedHostBackendStart> start;
    std::unique_ptr<HostDeviceHandle> handle;
    std::shared_ptr<VirtualFunctionEndpoint> firmware;
};

// ---------------------------------------------------------------- the bus

struct InCase
{
    const char* name;
    std::size_t sent;                         // bytes of the firmware's one Send
    std::vector<std::uint32_t> transfers;     // host IN transfers, in order
    std::vector<HostTransferResult> expected; // their ends
};

class VirtualBusInTest : public ::testing::TestWithParam<InCase>
{
};

// Catches: a transfer ended by a short or zero-length packet left waiting
// (the host's read would hang), a full transfer swallowing the packet behind
// it, bytes lost or reordered between transfers, an oversized packet taken as
// data, and completions run inside Submit (where the owner holds its locks).
TEST_P(VirtualBusInTest, TransfersEndAsPacketsDictate)
{
    const InCase& c = GetParam();
    BusFixture f;
    Recorder recorder;
    std::vector<std::unique_ptr<HostBulkTransfer>> transfers;
    std::vector<std::vector<std::uint8_t>> buffers;
    for (const std::uint32_t size : c.transfers)
    {
        buffers.emplace_back(size);
        transfers.push_back(f.handle->CreateBulkTransfer(kIn, recorder));
        ASSERT_EQ(transfers.back()->Submit(buffers.back().data(), size), HostStatus::kSuccess);
    }
    const std::vector<std::uint8_t> sent = Bytes(c.sent, 7);
    auto sending = SendAsync(f.firmware, sent);
    ASSERT_TRUE(recorder.WaitFor(c.expected.size()));
    EXPECT_TRUE(sending.get());
    EXPECT_EQ(recorder.Results(), c.expected);
    std::vector<std::uint8_t> received;
    for (std::size_t i = 0; i < c.expected.size(); ++i)
    {
        received.insert(received.end(), buffers[i].begin(), buffers[i].begin() + c.expected[i].actualLength);
    }
    if (c.expected.front().status == HostStatus::kSuccess)
    {
        EXPECT_EQ(received, sent);
    }
    for (const std::thread::id thread : recorder.Threads())
    {
        EXPECT_NE(thread, std::this_thread::get_id());
    }
    // The transfers not ended here are still in flight: end them before they go.
    for (auto& transfer : transfers)
    {
        transfer->Cancel();
    }
    ASSERT_TRUE(recorder.WaitFor(c.transfers.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Packets, VirtualBusInTest,
    ::testing::Values(
        InCase{"ShortPacketEndsATransfer", 1000, {4096}, {{HostStatus::kSuccess, 1000}}},
        InCase{"ZeroLengthPacketEndsATransferOfWholePackets", 1024, {4096}, {{HostStatus::kSuccess, 1024}}},
        InCase{"ZeroLengthPacketOfAFullTransferEndsTheNext",
               1024,
               {1024, 1024},
               {{HostStatus::kSuccess, 1024}, {HostStatus::kSuccess, 0}}},
        InCase{"ASendSpansTransfersInOrder",
               3000,
               {1024, 1024, 4096},
               {{HostStatus::kSuccess, 1024}, {HostStatus::kSuccess, 1024}, {HostStatus::kSuccess, 952}}},
        InCase{"AnEmptySendIsAZeroLengthPacket", 0, {512}, {{HostStatus::kSuccess, 0}}},
        InCase{"APacketBeyondTheBufferOverflows",
               1024,
               {600, 512},
               {{HostStatus::kOverflow, 512}, {HostStatus::kSuccess, 0}}}),
    [](const auto& param) { return std::string(param.param.name); });

// Catches: a cancelled OUT transfer that forgets the bytes the device took, or
// one whose bytes the device still receives afterwards (a buffer used after
// its owner let go of it); and no cap on transfer memory (the path a host
// takes when the system refuses more).
TEST(VirtualBusTest, CancelEndsAnOutTransferWithTheBytesTakenAndMemoryIsCapped)
{
    BusFixture f;
    f.bus.SetTransferMemoryLimit(1000);
    Recorder recorder;
    auto transfer = f.handle->CreateBulkTransfer(kOut, recorder);
    auto second = f.handle->CreateBulkTransfer(kOut, recorder);
    std::vector<std::uint8_t> bytes = Bytes(1000);
    ASSERT_EQ(transfer->Submit(bytes.data(), 1000), HostStatus::kSuccess);
    EXPECT_EQ(second->Submit(bytes.data(), 1), HostStatus::kNoMemory);

    std::vector<std::uint8_t> received(300);
    ASSERT_EQ(f.firmware->Receive(received), 300u);
    transfer->Cancel();
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Results()[0], (HostTransferResult{HostStatus::kCancelled, 300}));

    std::vector<std::uint8_t> next{0xAB};
    ASSERT_EQ(second->Submit(next.data(), 1), HostStatus::kSuccess);
    std::vector<std::uint8_t> rest(1000);
    ASSERT_EQ(f.firmware->Receive(rest), 1u);
    EXPECT_EQ(rest[0], 0xAB);
    ASSERT_TRUE(recorder.WaitFor(2));
}

// Records, at the moment the removal is reported, how many transfers had ended.
class RemovalWatch final : public HostChangeListener
{
public:
    explicit RemovalWatch(Recorder& recorder) : m_recorder(recorder) {}
    void OnHostChange(const HostChange& change) noexcept override
    {
        if (change.kind == Q7::Platform::Usb::HostChangeKind::kLeft)
        {
            endedAtRemoval = m_recorder.Results().size();
        }
    }
    std::size_t endedAtRemoval = 99;

private:
    Recorder& m_recorder;
};

// Catches: transfers left in flight by an unplug (a host read that never
// ends), a removal reported before the host heard its transfers fail, and a
// firmware call that keeps waiting for a host that is gone.
TEST(VirtualBusTest, UnplugFailsEveryTransferBeforeTheRemovalIsReported)
{
    BusFixture f;
    Recorder recorder;
    RemovalWatch watch(recorder);
    f.bus.AddListener(watch);
    std::vector<std::uint8_t> in(512);
    std::vector<std::uint8_t> out = Bytes(64);
    auto read = f.handle->CreateBulkTransfer(kIn, recorder);
    auto write = f.handle->CreateBulkTransfer(kOut, recorder);
    ASSERT_EQ(read->Submit(in.data(), 512), HostStatus::kSuccess);
    ASSERT_EQ(write->Submit(out.data(), 64), HostStatus::kSuccess);
    auto firmwareIn = f.bus.GetFunctionEndpoint(kPort, 1);
    std::vector<std::uint8_t> unused(16);

    ASSERT_TRUE(f.bus.Unplug(kPort));
    f.bus.RemoveListener(watch);
    EXPECT_EQ(watch.endedAtRemoval, 2u);
    EXPECT_EQ(recorder.Results(),
              (std::vector<HostTransferResult>{{HostStatus::kNoDevice, 0}, {HostStatus::kNoDevice, 0}}));
    EXPECT_FALSE(SendAsync(firmwareIn, Bytes(4)).get());
    EXPECT_EQ(firmwareIn->Receive(unused), 0u);
    EXPECT_EQ(read->Submit(in.data(), 512), HostStatus::kNoDevice);
}

// Catches a bus that cannot end a transfer the way a host controller reports
// faults: a transfer in flight ended with its status and the bytes it moved,
// a transfer submitted after the fault was asked for ended at once (on the
// completion thread, once), and a pulled cable's transfer errors.
TEST(VirtualBusTest, FaultsEndTransfersWithAnIoErrorAStallOrAnOverflow)
{
    for (const HostStatus fault : {HostStatus::kIoError, HostStatus::kStall, HostStatus::kOverflow})
    {
        SCOPED_TRACE(Q7::Platform::Usb::HostStatusText(fault));
        BusFixture f;
        Recorder recorder;
        std::vector<std::uint8_t> in(1024);
        std::vector<std::uint8_t> out = Bytes(64);
        auto read = f.handle->CreateBulkTransfer(kIn, recorder);
        auto write = f.handle->CreateBulkTransfer(kOut, recorder);
        ASSERT_EQ(read->Submit(in.data(), 1024), HostStatus::kSuccess);
        ASSERT_TRUE(f.firmware->FailHostTransfer(true, fault));
        ASSERT_TRUE(recorder.WaitFor(1));
        ASSERT_EQ(write->Submit(out.data(), 64), HostStatus::kSuccess);
        std::vector<std::uint8_t> received(16);
        ASSERT_EQ(f.firmware->Receive(received), 16u);
        ASSERT_TRUE(f.firmware->FailHostTransfer(false, fault));
        ASSERT_TRUE(recorder.WaitFor(2));

        ASSERT_TRUE(f.firmware->FailHostTransfer(true, fault)); // none in flight: the next one
        ASSERT_EQ(read->Submit(in.data(), 1024), HostStatus::kSuccess);
        ASSERT_TRUE(recorder.WaitFor(3));
        ASSERT_EQ(read->Submit(in.data(), 1024), HostStatus::kSuccess);
        EXPECT_TRUE(SendAsync(f.firmware, Bytes(4)).get());
        ASSERT_TRUE(recorder.WaitFor(4));

        ASSERT_EQ(read->Submit(in.data(), 1024), HostStatus::kSuccess);
        ASSERT_TRUE(f.bus.Unplug(kPort, HostStatus::kIoError));
        ASSERT_TRUE(recorder.WaitFor(5));
        EXPECT_EQ(
            recorder.Results(),
            (std::vector<HostTransferResult>{
                {fault, 0}, {fault, 16}, {fault, 0}, {HostStatus::kSuccess, 4}, {HostStatus::kIoError, 0}}));
        EXPECT_NE(recorder.Threads()[2], std::this_thread::get_id()) << "ended inside Submit";
        EXPECT_FALSE(f.firmware->FailHostTransfer(true, fault));
    }
}

// ---------------------------------------------------------------- Device_Libusb

DeviceMoniker_Libusb MonikerOf(const HostDeviceLocation& location, std::uint8_t interfaceNumber = 0)
{
    DeviceMoniker_Libusb moniker;
    moniker.devicePath.Assign(FormatDevicePath(location, interfaceNumber).c_str());
    return moniker;
}

using TestSupport::RaisedCode;

// Catches: a missing device raised instead of reported as disconnected, a
// refused open that does not say why (the user needs the udev rule), an
// interface held by another program taken as success, and a failed open that
// keeps the backend started or the device half-open.
TEST(UsbDeviceTest, OpenFailuresAreReportedAsTheSystemWould)
{
    VirtualUsbBus bus;
    const HostDeviceLocation present = bus.Plug({1}, SingleCamera("SN-1"));
    const HostDeviceLocation denied = bus.Plug({2}, SingleCamera("SN-2"), VirtualPlugOptions{"", true});
    const HostDeviceLocation gone = bus.Plug({3}, SingleCamera("SN-3"));
    ASSERT_TRUE(bus.Unplug({3}));
    ScopedHostBackendStart holder(bus);
    std::unique_ptr<HostDeviceHandle> other;
    ASSERT_EQ(bus.Open(present, other), HostStatus::kSuccess);
    ASSERT_EQ(other->ClaimInterface(0), HostStatus::kSuccess);

    LogCapture log;
    Device_Libusb device(bus);
    device.SetDisconnectAsResult(1);
    DeviceMoniker_Libusb garbage;
    garbage.devicePath.Assign("not a path");
    EXPECT_EQ(device.Open(MonikerOf(gone), 0), 4u);
    EXPECT_EQ(device.Open(garbage, 0), 4u);
    EXPECT_EQ(RaisedCode([&] { device.Open(MonikerOf(denied), 0); }), static_cast<std::uint32_t>(EACCES));
    EXPECT_EQ(log.Count(L"USB device open failed."), 1u);
    EXPECT_EQ(RaisedCode([&] { device.Open(MonikerOf(present), 0); }), static_cast<std::uint32_t>(EBUSY));
    EXPECT_EQ(log.Count(L"libusb_claim_interface() failed."), 1u);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(bus.GetStartCount(), 1u); // only the test's own

    device.SetDisconnectAsResult(0);
    EXPECT_EQ(RaisedCode([&] { device.Open(MonikerOf(gone), 0); }), 0x650070u);

    other.reset();
    ASSERT_EQ(device.Open(MonikerOf(present), 0), 0u);
    EXPECT_TRUE(device.IsConnected());
    EXPECT_EQ(bus.GetStartCount(), 2u); // the open device holds the backend
    EXPECT_EQ(RaisedCode([&] { device.Open(MonikerOf(present), 0); }), 0x65006Cu);
    EXPECT_EQ(RaisedCode([&] { device.Open(MonikerOf(present), 1); }), 0x65006Cu);
    device.Close();
    EXPECT_EQ(bus.GetStartCount(), 1u);
    EXPECT_TRUE(device.GetDisconnectedEvent().IsSet());
}

struct GenerationCase
{
    const char* name;
    HostSpeed speed;
    std::uint16_t packetSize;
    std::uint32_t generation;
    const wchar_t* logLine; // a line the open logs; null: none checked
};

class UsbGenerationTest : public ::testing::TestWithParam<GenerationCase>
{
};

// Catches: a SuperSpeed camera taken for USB 2 (or the reverse), and an
// unknown speed that fails the open instead of being ignored.
TEST_P(UsbGenerationTest, GenerationFollowsSpeedAndPacketSize)
{
    const GenerationCase& c = GetParam();
    VirtualUsbBus bus;
    HostDeviceDescription description =
        Device(kCameraVendor, kSingleCamera, "SN", {BulkInterface(0, 0xFF, 1, c.packetSize)});
    description.speed = c.speed;
    const HostDeviceLocation location = bus.Plug({1}, description);
    LogCapture log;
    Device_Libusb device(bus);
    ASSERT_EQ(device.Open(MonikerOf(location), 0), 0u);
    EXPECT_EQ(device.GetUsbGeneration(), c.generation);
    if (c.logLine != nullptr)
    {
        EXPECT_EQ(log.Count(c.logLine), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, UsbGenerationTest,
    ::testing::Values(GenerationCase{"HighSpeed", HostSpeed::kHigh, 512, 1, nullptr},
                      GenerationCase{"SuperSpeed", HostSpeed::kSuper, 1024, 2, nullptr},
                      GenerationCase{"SuperSpeedPlus", HostSpeed::kSuperPlus, 1024, 2, nullptr},
                      GenerationCase{"FullSpeed", HostSpeed::kFull, 64, 1, L"USB speed query returned: USB2"},
                      GenerationCase{"UnknownSpeed", HostSpeed::kUnknown, 512, 0,
                                     L"libusb_get_device_speed() failed - ignoring"}),
    [](const auto& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------- BulkEndpoint_Libusb

// An open camera on a bus, with endpoint 1 open; time-outs and disconnections
// are results, as the KPX transport sets them.
class EndpointFixture
{
public:
    explicit EndpointFixture(HostDeviceDescription description = SingleCamera("SN-1"))
    {
        location = bus.Plug(kPort, description);
        firmware = bus.GetFunctionEndpoint(kPort, 1);
        device.SetDisconnectAsResult(1);
        device.SetTimeoutAsResult(1);
        EXPECT_EQ(device.Open(MonikerOf(location), 0), 0u);
    }

    VirtualUsbBus bus;
    HostDeviceLocation location;
    std::shared_ptr<VirtualFunctionEndpoint> firmware;
    Device_Libusb device{bus};
};

// Catches: endpoint 0 opened as a bulk pipe, a missing or non-bulk pipe taken
// as present, and a number with the direction bit opening another pair.
TEST(UsbEndpointTest, OpenChecksThePipes)
{
    HostDeviceDescription description = SingleCamera("SN");
    description.interfaces[0].endpoints.push_back({0x02, 0x03, 64}); // interrupt OUT 2
    description.interfaces[0].endpoints.push_back({0x82, 0x03, 64}); // interrupt IN 2
    EndpointFixture f(description);
    BulkEndpoint_Libusb endpoint(f.device);
    EXPECT_EQ(RaisedCode([&] { endpoint.Open(0); }), 0x650001u);
    EXPECT_EQ(RaisedCode([&] { endpoint.Open(2); }), 0x650001u);
    EXPECT_EQ(RaisedCode([&] { endpoint.Open(5); }), 0x6500CEu);
    EXPECT_FALSE(endpoint.IsOpen());
    ASSERT_EQ(endpoint.Open(0x81), 0u);
    EXPECT_EQ(endpoint.GetEndpointNumber(), 1u);
    EXPECT_EQ(RaisedCode([&] { endpoint.Open(1); }), 0x65006Cu);
}

// Catches: bytes lost or reordered between reads, a short packet that ends a
// read, a zero-length packet that does not, Flush keeping received bytes, and
// a Close that drops received bytes without saying so.
TEST(UsbEndpointTest, ReadsKeepArrivalOrderAndEndOnSizeOrZeroLengthPacket)
{
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    endpoint.SetLargeTransfers(true);
    const std::vector<std::uint8_t> first = Bytes(700, 1);
    const std::vector<std::uint8_t> second = Bytes(300, 90);
    auto sending = std::async(std::launch::async,
                              [&]
                              {
                                  const std::span<const std::uint8_t> a(first);
                                  const std::span<const std::uint8_t> b(second);
                                  return f.firmware->Send(std::span(&a, 1)) &&
                                         f.firmware->Send(std::span(&b, 1)) &&
                                         f.firmware->Send(std::span(&a, 0)); // a zero-length packet
                              });
    std::vector<std::uint8_t> buffer(2000);
    std::uint32_t count = 0;
    // 700 + 300 bytes in two short packets, then a zero-length packet: one
    // read of 500, then one of up to 2000 that the zero-length packet ends.
    ASSERT_EQ(endpoint.Read(buffer.data(), 500, &count, nullptr, 10000), 0u);
    EXPECT_EQ(count, 500u);
    std::vector<std::uint8_t> got(buffer.begin(), buffer.begin() + 500);
    ASSERT_EQ(endpoint.Read(buffer.data(), 2000, &count, nullptr, 10000), 0u);
    EXPECT_EQ(count, 500u);
    got.insert(got.end(), buffer.begin(), buffer.begin() + count);
    std::vector<std::uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(got, expected);
    ASSERT_TRUE(sending.get());

    // Received but not yet read: Flush discards it; what arrives later is read.
    auto stale = SendAsync(f.firmware, Bytes(100, 200));
    ASSERT_EQ(endpoint.Read(buffer.data(), 10, &count, nullptr, 10000), 0u);
    ASSERT_TRUE(stale.get());
    EXPECT_TRUE(endpoint.Flush());
    auto fresh = SendAsync(f.firmware, Bytes(10, 50));
    ASSERT_EQ(endpoint.Read(buffer.data(), 10, &count, nullptr, 10000), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 10), Bytes(10, 50));
    ASSERT_TRUE(fresh.get());

    auto dropped = SendAsync(f.firmware, Bytes(64));
    ASSERT_TRUE(dropped.get());
    LogCapture log;
    endpoint.Close();
    EXPECT_EQ(log.Count(L"Discarding 64 received bytes from USB endpoint."), 1u);
}

// Catches: a write whose transfer still runs after Write returned (the system
// reading the caller's freed buffer), and an ended write whose bytes reach the
// device after all. Under asan a late read of the freed buffer fails the test.
TEST(UsbEndpointTest, AWriteThatEndsEarlyHasEndedItsTransfer)
{
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    EventCondition_Posix abort;
    abort.Set();
    const std::vector<Q7::Platform::BaseWaitObject*> aborts{&abort};
    std::uint32_t written = 99;
    for (const bool byAbort : {false, true})
    {
        auto buffer = std::make_unique<std::vector<std::uint8_t>>(4096, 0xEE);
        const UsbResult result = endpoint.Write(buffer->data(), 4096, &written, byAbort ? &aborts : nullptr,
                                                byAbort ? 0xFFFFFFFF : 20);
        EXPECT_EQ(result, byAbort ? 1u : 2u);
        EXPECT_EQ(written, 0u);
        buffer.reset();
    }
    const std::vector<std::uint8_t> next = Bytes(3, 1);
    auto writing = std::async(std::launch::async,
                              [&] { return endpoint.Write(next.data(), 3, &written, nullptr, 10000); });
    std::vector<std::uint8_t> received(8192);
    ASSERT_EQ(f.firmware->Receive(received), 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(received.begin(), received.begin() + 3), next);
    EXPECT_EQ(writing.get(), 0u);
    EXPECT_EQ(written, 3u);
}

// Catches: a ring that refuses to start when the system's transfer memory runs
// out after the first read (the host would be unable to read at all), a read
// that fails when a finished read cannot be queued again while others are (the
// firmware's bytes may let the ring start whole before the cap bites), and a
// ring that claims to have started with none.
TEST(UsbEndpointTest, ReadsStartWithFewerTransfersWhenMemoryRunsOut)
{
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    f.bus.SetTransferMemoryLimit(512); // one packet-sized read
    auto sending = SendAsync(f.firmware, Bytes(1500));
    std::vector<std::uint8_t> buffer(1500);
    std::uint32_t count = 0;
    ASSERT_EQ(endpoint.Read(buffer.data(), 1500, &count, nullptr, 10000), 0u);
    EXPECT_EQ(buffer, Bytes(1500));
    ASSERT_TRUE(sending.get());
    endpoint.Close();

    f.bus.SetTransferMemoryLimit(0);
    ASSERT_EQ(endpoint.Open(1), 0u);
    EXPECT_EQ(RaisedCode([&] { endpoint.Read(buffer.data(), 1, &count, nullptr, 100); }),
              static_cast<std::uint32_t>(ENOMEM));
}

// The errno of the SystemError_Posix that call raises; 0 when it raises none,
// -1 for another error.
template <typename Call>
int RaisedErrno(Call call)
{
    try
    {
        call();
    }
    catch (const Q7::Platform::SystemError_Posix& error)
    {
        return static_cast<int>(error.GetCode());
    }
    catch (const Q7::Universal::UniversalError&)
    {
        return -1;
    }
    return 0;
}

struct TransferFault
{
    const char* name;
    HostStatus status;
    int error; // the errno a read or write raises for it
};

void PrintTo(const TransferFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class UsbTransferErrorTest : public ::testing::TestWithParam<TransferFault>
{
};

// Catches a transfer error of a device that is still attached (a stall,
// babble, a bad packet) killing the endpoint: its read raised the error and
// every later read raised 0x650066 "USB asynchronous read not active." until
// the pipe closed. The error is raised once, by the read or write that met it;
// reading and writing go on, and the device stays connected.
TEST_P(UsbTransferErrorTest, IsRaisedOnceAndTheEndpointGoesOn)
{
    const TransferFault fault = GetParam();
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    LogCapture log;
    std::vector<std::uint8_t> buffer(512);
    std::uint32_t count = 0;
    auto first = SendAsync(f.firmware, Bytes(8, 1));
    ASSERT_EQ(endpoint.Read(buffer.data(), 8, &count, nullptr, 10000), 0u);
    ASSERT_TRUE(first.get());

    // The read the endpoint waits on next is the oldest one queued.
    ASSERT_TRUE(f.firmware->FailHostTransfer(true, fault.status));
    EXPECT_EQ(RaisedErrno([&] { endpoint.Read(buffer.data(), 8, &count, nullptr, 10000); }), fault.error);
    EXPECT_TRUE(endpoint.IsConnected());
    auto second = SendAsync(f.firmware, Bytes(300, 9));
    ASSERT_EQ(endpoint.Read(buffer.data(), 300, &count, nullptr, 10000), 0u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 300), Bytes(300, 9));
    ASSERT_TRUE(second.get());

    ASSERT_TRUE(f.firmware->FailHostTransfer(false, fault.status));
    const std::vector<std::uint8_t> out = Bytes(4, 3);
    EXPECT_EQ(RaisedErrno([&] { endpoint.Write(out.data(), 4, &count, nullptr, 10000); }), fault.error);
    auto writing =
        std::async(std::launch::async, [&] { return endpoint.Write(out.data(), 4, &count, nullptr, 10000); });
    std::vector<std::uint8_t> received(16);
    ASSERT_EQ(f.firmware->Receive(received), 4u);
    EXPECT_EQ(writing.get(), 0u);
    EXPECT_TRUE(endpoint.IsConnected());
    EXPECT_FALSE(f.device.GetDisconnectedEvent().IsSet());
    EXPECT_EQ(log.Count(L"USB error."), 2u) << "one line for the read, one for the write";
    EXPECT_EQ(log.Count(L"USB device disconnected."), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, UsbTransferErrorTest,
                         ::testing::Values(TransferFault{"IoError", HostStatus::kIoError, EIO},
                                           TransferFault{"Stall", HostStatus::kStall, EPIPE},
                                           TransferFault{"Overflow", HostStatus::kOverflow, EOVERFLOW}),
                         [](const ::testing::TestParamInfo<TransferFault>& param)
                         { return param.param.name; });

// Catches a pulled cable whose transfers end with transfer errors (usbfs
// EPROTO and the like) before the system notices the removal: the blocked
// read raised EIO and the disconnected event stayed clear, so the transport
// never learnt of the loss. A transfer error of a device no longer attached
// is a disconnection: the blocked read and write answer 4, once logged.
TEST(UsbEndpointTest, TransferErrorsOfAPulledCableAreADisconnection)
{
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    std::vector<std::uint8_t> buffer(64);
    std::uint32_t readCount = 0;
    std::uint32_t writeCount = 0;
    // A first read starts the ring: its reads are in flight from then on.
    auto first = SendAsync(f.firmware, Bytes(8));
    ASSERT_EQ(endpoint.Read(buffer.data(), 8, &readCount, nullptr, 10000), 0u);
    ASSERT_TRUE(first.get());
    LogCapture log;
    auto reading = std::async(std::launch::async,
                              [&] { return endpoint.Read(buffer.data(), 64, &readCount, nullptr, 10000); });
    const std::vector<std::uint8_t> out = Bytes(64);
    auto writing = std::async(std::launch::async,
                              [&] { return endpoint.Write(out.data(), 64, &writeCount, nullptr, 10000); });
    // The device takes one byte: the write is in flight and stays so.
    std::uint8_t taken = 0;
    ASSERT_EQ(f.firmware->Receive(std::span(&taken, 1)), 1u);
    ASSERT_TRUE(f.bus.Unplug(kPort, HostStatus::kIoError));
    ASSERT_EQ(reading.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(writing.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reading.get(), 4u);
    EXPECT_EQ(writing.get(), 4u);
    EXPECT_TRUE(f.device.GetDisconnectedEvent().IsSet());
    EXPECT_EQ(log.Count(L"USB device disconnected."), 1u);
    EXPECT_EQ(log.Count(L"USB error."), 0u);
}

} // namespace

namespace
{

// Catches: switching burst IN behind a Read that waits for data (the channel
// transport's receive thread always does), which would block until the camera
// sends, or for ever.
TEST(UsbEndpointTest, LargeTransfersSwitchWithoutWaitingForABlockedRead)
{
    EndpointFixture f;
    BulkEndpoint_Libusb endpoint(f.device);
    ASSERT_EQ(endpoint.Open(1), 0u);
    std::promise<void> firstRead;
    auto reading = std::async(std::launch::async,
                              [&]
                              {
                                  std::uint8_t byte = 0;
                                  std::uint32_t count = 0;
                                  endpoint.Read(&byte, 1, &count, nullptr, 10000);
                                  firstRead.set_value();
                                  return endpoint.Read(&byte, 1, &count, nullptr, 0xFFFFFFFF); // waits
                              });
    auto sending = SendAsync(f.firmware, Bytes(1));
    firstRead.get_future().wait(); // the reader goes straight on into its second Read
    auto switching = std::async(std::launch::async, [&] { endpoint.SetLargeTransfers(true); });
    EXPECT_EQ(switching.wait_for(5s), std::future_status::ready);
    endpoint.Close();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), 3u);
    EXPECT_TRUE(sending.get());
}

} // namespace
