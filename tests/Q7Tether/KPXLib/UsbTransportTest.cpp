// The USB transport on the virtual USB bus: UsbDevice and UsbPipe against a
// camera whose firmware the test plays, and the channel transport's USB steps.

#include "Channel/KPXChannelTransport.h"
#include "ChannelTestSupport.h"
#include "LogCapture.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "Transport/KPXTransport_Usb.h"
#include "TransportTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <numeric>
#include <span>
#include <vector>

using namespace std::chrono_literals;
using KpxTest::MakePacket;
using KpxTest::RaisedCode;
using KpxTest::TypeOf;
using Q7::KPX::Transport::DeviceMoniker;
using Q7::KPX::Transport::kDefaultPipeId;
using Q7::KPX::Transport::PipeInterface;
using Q7::KPX::Transport::UsbDevice;
using Q7::Platform::EventCondition_Posix;
using Q7::Platform::Usb::FormatDevicePath;
using Q7::Platform::Usb::HostDeviceDescription;
using Q7::Platform::Usb::HostDeviceLocation;
using Q7::Platform::Usb::HostInterfaceInfo;
using Q7::Platform::Usb::HostSpeed;
using Q7::Platform::Usb::VirtualFunctionEndpoint;
using Q7::Platform::Usb::VirtualUsbBus;
using TestSupport::LogCapture;
using TransportTest::LinkLossCounter;

namespace
{

const std::vector<std::uint8_t> kPort{2};

// A camera with KPX on interface 0: bulk endpoint pairs 1 and 2.
HostDeviceDescription Camera(HostSpeed speed = HostSpeed::kHigh, std::uint16_t packetSize = 512)
{
    HostInterfaceInfo interface;
    interface.interfaceClass = 0xFF;
    for (const std::uint8_t number : {1, 2})
    {
        interface.endpoints.push_back({number, 0x02, packetSize});
        interface.endpoints.push_back({static_cast<std::uint8_t>(number | 0x80), 0x02, packetSize});
    }
    HostDeviceDescription description;
    description.vendorId = 0x7AB1;
    description.productId = 0x0101;
    description.speed = speed;
    description.serialNumber = "USB-T1";
    description.interfaces = {interface};
    return description;
}

DeviceMoniker MonikerOf(const HostDeviceLocation& location)
{
    DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Usb;
    moniker.usb.devicePath.Assign(FormatDevicePath(location, 0).c_str());
    return moniker;
}

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> bytes(count);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// The firmware sends bytes on another thread (a Send ends once the host took them).
std::future<bool> SendAsync(std::shared_ptr<VirtualFunctionEndpoint> firmware,
                            std::vector<std::uint8_t> bytes)
{
    return std::async(std::launch::async,
                      [firmware = std::move(firmware), bytes = std::move(bytes)]
                      {
                          const std::span<const std::uint8_t> piece(bytes);
                          return firmware->Send(std::span(&piece, 1));
                      });
}

// A camera on a bus, its UsbDevice open with a link-loss counter, and endpoint
// 1's firmware side.
class UsbTransportTest : public ::testing::Test
{
protected:
    explicit UsbTransportTest(HostDeviceDescription description = Camera())
    {
        location = bus.Plug(kPort, description);
        firmware = bus.GetFunctionEndpoint(kPort, 1);
        device = std::make_unique<UsbDevice>(MonikerOf(location), bus);
        device->SetNotifyCallback(losses.Callback());
    }

    ~UsbTransportTest() override
    {
        pipe.reset();
        device.reset();
    }

    void OpenPipe()
    {
        ASSERT_EQ(device->Open(), 0u);
        pipe = device->CreatePipe(kDefaultPipeId);
        ASSERT_EQ(pipe->Open(), 0u);
    }

    VirtualUsbBus bus;
    HostDeviceLocation location;
    std::shared_ptr<VirtualFunctionEndpoint> firmware;
    LinkLossCounter losses;
    std::unique_ptr<UsbDevice> device;
    std::unique_ptr<PipeInterface> pipe;
};

// Catches: a default pipe on another endpoint than 1, endpoints 0 or 16 taken
// as pipes, a non-USB moniker accepted, and a connection type that does not
// follow the camera's speed.
TEST_F(UsbTransportTest, PipeIdsAreEndpointsOneToFifteenAndTheTypeFollowsTheSpeed)
{
    EXPECT_EQ(device->CreatePipe(kDefaultPipeId)->GetPipeId(), 1u);
    EXPECT_EQ(device->CreatePipe(15)->GetPipeId(), 15u);
    EXPECT_EQ(RaisedCode([&] { device->CreatePipe(0); }), 0x650001u);
    EXPECT_EQ(RaisedCode([&] { device->CreatePipe(16); }), 0x650001u);
    DeviceMoniker tcp;
    tcp.type = Q7::KPX::Transport::kMonikerType_Tcp;
    EXPECT_EQ(RaisedCode([&] { UsbDevice other(tcp, bus); }), 0x650001u);

    ASSERT_EQ(device->Open(), 0u);
    EXPECT_EQ(device->GetConnectionType(), Q7::KPX::Transport::kConnectionType_Usb2);
    bus.Unplug(kPort);
    device->Close();
    location = bus.Plug(kPort, Camera(HostSpeed::kSuper, 1024));
    UsbDevice super(MonikerOf(location), bus);
    ASSERT_EQ(super.Open(), 0u);
    EXPECT_EQ(super.GetConnectionType(), Q7::KPX::Transport::kConnectionType_Usb3);
    EXPECT_EQ(losses.Count(), 0);
}

enum class Blocked
{
    Read,
    Write,
    Idle,
};

class UsbUnplugTest : public UsbTransportTest, public ::testing::WithParamInterface<Blocked>
{
};

// Catches: a call left blocked by an unplugged camera, a lost link reported
// twice (by several failing transfers) or not at all while nothing moves, and
// bytes read before the loss not counted.
TEST_P(UsbUnplugTest, UnplugEndsEveryCallWithDisconnectedAndIsReportedOnce)
{
    OpenPipe();
    // Bytes that arrived earlier keep the reads queued, as a channel
    // transport's reader does.
    auto sent = SendAsync(firmware, Bytes(400));
    std::vector<std::uint8_t> buffer(1000);
    std::uint32_t transferred = 0;
    ASSERT_EQ(pipe->Read(buffer.data(), 400, nullptr, &transferred, 10000), 0u);
    ASSERT_TRUE(sent.get());

    std::future<std::uint32_t> call;
    transferred = 0;
    std::vector<std::uint8_t> out(4096, 0x5A);
    switch (GetParam())
    {
    case Blocked::Read:
        ASSERT_TRUE(SendAsync(firmware, Bytes(300, 7)).get());
        call = std::async(std::launch::async,
                          [&] { return pipe->Read(buffer.data(), 1000, nullptr, &transferred, 0xFFFFFFFF); });
        break;
    case Blocked::Write:
        call = std::async(std::launch::async,
                          [&] { return pipe->Write(out.data(), 4096, nullptr, &transferred, 0xFFFFFFFF); });
        break;
    case Blocked::Idle:
        break;
    }
    ASSERT_TRUE(bus.Unplug(kPort));
    if (call.valid())
    {
        ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(call.get(), 4u);
    }
    ASSERT_TRUE(losses.WaitForCount(1));
    EXPECT_TRUE(device->GetDisconnectedEvent().IsSet());
    EXPECT_FALSE(pipe->IsConnected());
    EXPECT_EQ(pipe->Read(buffer.data(), 1, nullptr, nullptr, 0xFFFFFFFF), 4u);
    EXPECT_EQ(pipe->Write(out.data(), 1, nullptr, nullptr, 0xFFFFFFFF), 4u);
    pipe->Close();
    device->Close();
    EXPECT_EQ(losses.Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Calls, UsbUnplugTest,
                         ::testing::Values(Blocked::Read, Blocked::Write, Blocked::Idle),
                         [](const auto& param)
                         {
                             return param.param == Blocked::Read    ? std::string("DuringRead")
                                    : param.param == Blocked::Write ? std::string("DuringWrite")
                                                                    : std::string("WhileIdle");
                         });

struct EndCase
{
    const char* name;
    bool write;
    bool byAbort; // else by time-out
    std::uint32_t expected;
};

class UsbEndTest : public UsbTransportTest, public ::testing::WithParamInterface<EndCase>
{
};

// Catches: abort objects and time-outs ignored (a TCP pipe's behaviour), bytes
// read before the end not counted, a transfer that still uses the caller's
// buffer after the call returned (asan sees the freed buffer read), and a pipe
// that cannot go on afterwards.
TEST_P(UsbEndTest, AbortObjectsAndTimeOutsEndBlockedCalls)
{
    const EndCase& c = GetParam();
    OpenPipe();
    EventCondition_Posix abort;
    const Q7::KPX::WaitObjectList aborts{&abort};
    // 400 bytes of a first packet wait behind a read of 1 (which started the
    // queued reads) and a second short packet of 400 has arrived: the call
    // takes them, then waits.
    auto first = SendAsync(firmware, Bytes(401));
    std::uint8_t byte = 0;
    ASSERT_EQ(pipe->Read(&byte, 1, nullptr, nullptr, 10000), 0u);
    ASSERT_TRUE(first.get());
    ASSERT_TRUE(SendAsync(firmware, Bytes(400)).get());
    bus.WaitForCompletions();
    auto buffer = std::make_unique<std::vector<std::uint8_t>>(4096, 0xEE);
    std::uint32_t transferred = 0;
    auto call = std::async(
        std::launch::async,
        [&]
        {
            return c.write
                       ? pipe->Write(buffer->data(), 4096, &aborts, &transferred, c.byAbort ? 0xFFFFFFFF : 30)
                       : pipe->Read(buffer->data(), 4096, &aborts, &transferred, c.byAbort ? 0xFFFFFFFF : 30);
        });
    if (c.byAbort)
    {
        abort.Set();
    }
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(call.get(), c.expected);
    EXPECT_EQ(transferred, c.write ? 0u : 800u); // the chunks before the end count
    buffer.reset();

    // The pipe goes on: the next bytes each way are the next ones sent.
    abort.Reset();
    if (c.write)
    {
        std::vector<std::uint8_t> waiting(800);
        ASSERT_EQ(pipe->Read(waiting.data(), 800, nullptr, nullptr, 10000), 0u);
    }
    auto sent = SendAsync(firmware, Bytes(16, 3));
    std::vector<std::uint8_t> in(16);
    ASSERT_EQ(pipe->Read(in.data(), 16, &aborts, nullptr, 10000), 0u);
    EXPECT_EQ(in, Bytes(16, 3));
    ASSERT_TRUE(sent.get());
    const std::vector<std::uint8_t> out = Bytes(8, 100);
    auto written =
        std::async(std::launch::async, [&] { return pipe->Write(out.data(), 8, &aborts, nullptr, 10000); });
    std::vector<std::uint8_t> received(8192);
    ASSERT_EQ(firmware->Receive(received), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(received.begin(), received.begin() + 8), out);
    EXPECT_EQ(written.get(), 0u);
    EXPECT_EQ(losses.Count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ends, UsbEndTest,
                         ::testing::Values(EndCase{"ReadAborted", false, true, 1},
                                           EndCase{"ReadTimedOut", false, false, 2},
                                           EndCase{"WriteAborted", true, true, 1},
                                           EndCase{"WriteTimedOut", true, false, 2}),
                         [](const auto& param) { return std::string(param.param.name); });

// Catches: an ordinary close reported as a lost link (the device closed before
// its notify thread was told to stop), a blocked read not woken by the close,
// and a camera that is not there reported as lost.
TEST_F(UsbTransportTest, AnOrdinaryCloseIsNoLinkLoss)
{
    for (int round = 0; round < 20; ++round)
    {
        OpenPipe();
        std::vector<std::uint8_t> buffer(64);
        auto read = std::async(std::launch::async,
                               [&] { return pipe->Read(buffer.data(), 64, nullptr, nullptr, 0xFFFFFFFF); });
        device->Close();
        ASSERT_EQ(read.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(read.get(), 3u);
        pipe.reset();
    }
    ASSERT_TRUE(bus.Unplug(kPort));
    EXPECT_EQ(device->Open(), 4u);
    device->Close();
    EXPECT_EQ(losses.Count(), 0);
}

// Catches: bytes a camera queued for an earlier host left in the pipe (the
// receive thread would take them for a packet header and stop), and a drain
// that swallows what comes after it.
TEST_F(UsbTransportTest, AChannelTransportReadsAwayStaleBytesBeforeItStarts)
{
    auto stale = SendAsync(firmware, Bytes(3000, 0x40)); // garbage from an earlier use
    ASSERT_EQ(device->Open(), 0u);
    LogCapture log;
    Q7::KPX::ChannelTransport transport(*device, kDefaultPipeId);
    EXPECT_TRUE(transport.IsUsbPipe());
    transport.RegisterChannel(1, 0, true); // gives the pipe its write time-out
    ASSERT_EQ(transport.Start(), 0u);
    ASSERT_TRUE(stale.get());
    EXPECT_EQ(log.Count(L"KPXChannelTransport::EmptyPipeForStaleData(): Out after reading: 3000"), 1u);

    // The stream is in step: a packet for a channel nobody serves is answered.
    ASSERT_TRUE(SendAsync(firmware, MakePacket(0x02, 7, 0, 10, 6, 0x33)).get());
    std::vector<std::uint8_t> reply(8192);
    std::size_t got = 0;
    while (got < 256)
    {
        const std::size_t n = firmware->Receive(std::span(reply).subspan(got));
        ASSERT_GT(n, 0u);
        got += n;
    }
    EXPECT_EQ(got, 256u);
    EXPECT_EQ(TypeOf(reply), 0xFF); // ErrorReply
    EXPECT_EQ(reply[16], 4);        // unsupported channel
    transport.RegisterChannel(1, 0, false);
    transport.Stop();
}

} // namespace
