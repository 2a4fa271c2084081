// Tests of the device monikers: equality, address text, socket address.

#include "Transport/KPXDeviceMoniker.h"

#include "LogCapture.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

using Q7::KPX::Transport::DeviceMoniker;
using Q7::KPX::Transport::kMonikerType_Tcp;
using Q7::KPX::Transport::kMonikerType_Usb;
using Q7::KPX::Transport::TcpMoniker;

namespace
{

Q7::Universal::UniversalStringA Text(const char* text)
{
    Q7::Universal::UniversalStringA result;
    result.Assign(text);
    return result;
}

DeviceMoniker Usb(const char* path, const char* serial, const char* name)
{
    DeviceMoniker moniker;
    moniker.type = kMonikerType_Usb;
    moniker.usb.vendorId = 0x1A2B;
    moniker.usb.productId = 0x00FF;
    moniker.usb.friendlyName = Text(name);
    moniker.usb.identity = Text(serial);
    moniker.usb.devicePath = Text(path);
    return moniker;
}

DeviceMoniker Tcp(const char* name, const char* host, uint32_t address, uint16_t port)
{
    DeviceMoniker moniker;
    moniker.type = kMonikerType_Tcp;
    moniker.tcp.name = Text(name);
    moniker.tcp.host = Text(host);
    moniker.tcp.address = address;
    moniker.tcp.port = port;
    return moniker;
}

TEST(DeviceMonikerTest, UsbMonikersCompareByDevicePathOnly)
{
    EXPECT_EQ(Usb("/dev/bus/usb/001/004", "SN1", "Camera A"), Usb("/dev/bus/usb/001/004", "SN2", "Camera B"));
    EXPECT_NE(Usb("/dev/bus/usb/001/004", "SN1", "Camera"), Usb("/dev/bus/usb/001/005", "SN1", "Camera"));
    EXPECT_EQ(Usb(nullptr, "SN1", "A"), Usb(nullptr, "SN2", "B"));
    EXPECT_NE(Usb(nullptr, "SN1", "A"), Usb("/dev/bus/usb/001/004", "SN1", "A"));
    EXPECT_TRUE(Usb("a", "", "").usb.IsSameDevice(Usb("a", "x", "y").usb));
}

TEST(DeviceMonikerTest, TcpMonikersIgnoreTimeoutAndFlag)
{
    DeviceMoniker a = Tcp("Cam", "cam.local", 0x7F000001, 7381);
    DeviceMoniker b = a;
    b.tcp.connectTimeoutSeconds = 9;
    b.tcp.isStatic = 1;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.tcp, b.tcp);

    EXPECT_NE(a, Tcp("Other", "cam.local", 0x7F000001, 7381));
    EXPECT_NE(a, Tcp("Cam", "other.local", 0x7F000001, 7381));
    EXPECT_NE(a, Tcp("Cam", "cam.local", 0x7F000002, 7381));
    EXPECT_NE(a, Tcp("Cam", "cam.local", 0x7F000001, 7382));
    EXPECT_NE(a, Tcp(nullptr, "cam.local", 0x7F000001, 7381));
    EXPECT_EQ(Tcp(nullptr, nullptr, 1, 2), Tcp(nullptr, nullptr, 1, 2));
    EXPECT_TRUE(a.tcp != Tcp("Cam", "cam.local", 0x7F000001, 7382).tcp);
}

TEST(DeviceMonikerTest, UsbNeverEqualsTcp)
{
    DeviceMoniker usb = Usb(nullptr, nullptr, nullptr);
    DeviceMoniker tcp = Tcp(nullptr, nullptr, 0, 0);
    EXPECT_NE(usb, tcp);
    EXPECT_NE(tcp, usb);
    // Text in the unused part does not matter either way.
    usb.tcp = tcp.tcp;
    EXPECT_NE(usb, tcp);
}

TEST(DeviceMonikerTest, UnknownTypeIsReportedAndNeverEqual)
{
    TestSupport::LogCapture capture;
    DeviceMoniker a;
    a.type = 3;
    DeviceMoniker b = a;
    EXPECT_FALSE(a == b);
    const std::vector<std::wstring> lines = capture.LinesOfType(Q7::Universal::kLogMsgType_InternalError);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L"Internal Error: Unknown type in KPX DeviceMoniker. [ File="),
              std::wstring::npos)
        << std::string(lines[0].begin(), lines[0].end());
}

TEST(DeviceMonikerTest, CopiesOwnTheirTexts)
{
    DeviceMoniker original = Usb("/dev/path", "SN", "Name");
    original.tcp = Tcp("n", "h", 1, 2).tcp;
    DeviceMoniker copy = original;
    original = DeviceMoniker();
    EXPECT_STREQ(copy.usb.devicePath.c_str(), "/dev/path");
    EXPECT_STREQ(copy.usb.identity.c_str(), "SN");
    EXPECT_STREQ(copy.usb.friendlyName.c_str(), "Name");
    EXPECT_STREQ(copy.tcp.host.c_str(), "h");
    EXPECT_EQ(copy.usb.vendorId, 0x1A2B);
}

TEST(DeviceMonikerTest, AddressTextIsDottedMostSignificantFirst)
{
    EXPECT_STREQ(Tcp("", "", 0xC0A80114, 0).tcp.GetAddressText().c_str(), "192.168.1.20");
    EXPECT_STREQ(Tcp("", "", 0, 0).tcp.GetAddressText().c_str(), "0.0.0.0");
    EXPECT_STREQ(Tcp("", "", 0xFFFFFFFF, 0).tcp.GetAddressText().c_str(), "255.255.255.255");
}

TEST(DeviceMonikerTest, SocketAddressCarriesAddressPortAndTimeout)
{
    TcpMoniker moniker = Tcp("", "", 0x7F000005, 7381).tcp;
    moniker.connectTimeoutSeconds = 3;
    std::optional<Q7::Platform::SocketAddress> address = moniker.MakeSocketAddress();
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->GetIPv4(), 0x7F000005u);
    EXPECT_EQ(address->GetPort(), 7381);
    EXPECT_EQ(address->GetTimeoutSeconds(), 3);
    EXPECT_STREQ(address->ToText().c_str(), "[ 127.0.0.5:7381 ]");

    moniker.connectTimeoutSeconds = 0xFFFFFFFFu;
    EXPECT_GT(moniker.MakeSocketAddress()->GetTimeoutSeconds(), 0);
}

// A moniker without an address must not turn into 0.0.0.0, which connects to the
// local host.
TEST(DeviceMonikerTest, NoSocketAddressWithoutAnAddress)
{
    EXPECT_FALSE(Tcp("Cam", "unresolved.local", 0, 7381).tcp.MakeSocketAddress().has_value());
}

} // namespace
