// tavrin-demo: opens a camera over TCP, reads what it tells about itself on
// channel 0.0 (its device information and the channels it offers), prints it
// and closes.
//
//   tavrin-demo                 starts the camera simulator in this process on
//                               a loopback address and talks to it
//   tavrin-demo HOST[:PORT]     talks to the camera at HOST (port 7381 when
//                               none is given)
//
// Exit code 0 on success; 1, with one line on standard error, when the camera
// cannot be reached or answers wrongly; 2 for a wrong command line.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KPXChannelTransport.h"
#include "KPXEnumeration.h"
#include "KPXEnumerationAgent.h"
#include "KPXTransport_Tcp.h"
#include "Q7PlatformSocket.h"
#include "Q7UniversalError.h"
#include "Q7UniversalString.h"
#include "SimCamera.h"

namespace
{

using namespace Q7::KPX;
using namespace Q7::KPX::Enumeration;

// A failure that ends the demo with its one-line message.
struct DemoFailure
{
    std::string message;
};

std::string Narrow(const Q7::Universal::UniversalString& text)
{
    return Q7::Universal::ToNarrow(text.c_str()).c_str();
}

std::string ErrorText(const Q7::Universal::UniversalError& error)
{
    return Narrow(Q7::Universal::FormatErrorText(error, nullptr));
}

const char* PipeResultText(std::uint32_t result)
{
    switch (result)
    {
    case Transport::kPipeResult_Timeout:
        return "the connection timed out";
    case Transport::kPipeResult_Closed:
        return "the connection is closed";
    case Transport::kPipeResult_Disconnected:
        return "the connection was refused or lost";
    default:
        return "the connection failed";
    }
}

// A camera's text as it can be shown on a terminal: control characters
// become '?'.
std::string Printable(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = '?';
    }
    return shown;
}

struct Address
{
    std::string host;
    std::uint16_t port = Transport::kDefaultTcpPort;
};

// "HOST" or "HOST:PORT".
Address ParseAddress(const std::string& text)
{
    Address address;
    const std::size_t colon = text.rfind(':');
    address.host = text.substr(0, colon);
    if (colon != std::string::npos)
    {
        const std::string port = text.substr(colon + 1);
        char* end = nullptr;
        const unsigned long value = std::strtoul(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value == 0 || value > 65535)
            throw DemoFailure{"invalid port '" + port + "' (expected 1 to 65535)"};
        address.port = static_cast<std::uint16_t>(value);
    }
    if (address.host.empty())
        throw DemoFailure{"no host name in '" + text + "'"};
    return address;
}

std::string AddressText(std::uint32_t ipv4, std::uint16_t port)
{
    return std::to_string(ipv4 >> 24) + "." + std::to_string((ipv4 >> 16) & 0xFF) + "." +
           std::to_string((ipv4 >> 8) & 0xFF) + "." + std::to_string(ipv4 & 0xFF) + ":" +
           std::to_string(port);
}

std::string PipeText(const ChannelDescriptor& descriptor)
{
    if (const auto* tcp = dynamic_cast<const TcpChannelDescriptor*>(&descriptor))
        return "TCP port " + std::to_string(tcp->tcpPort);
    if (const auto* usb = dynamic_cast<const UsbChannelDescriptor*>(&descriptor))
        return "USB endpoint " + std::to_string(usb->usbEndpoint) + (usb->enableBurstIn ? " (burst IN)" : "");
    return "transport type " + std::to_string(descriptor.transportType);
}

void PrintCamera(const DeviceInfo& info, const ChannelList& channels)
{
    std::printf("Device information\n");
    std::printf("  Model          %s (model id 0x%X)\n", Printable(info.modelName).c_str(), info.modelId);
    std::printf("  Manufacturer   %s (id %u)\n", Printable(info.manufacturerName).c_str(),
                info.manufacturerId);
    std::printf("  Serial number  %s\n", Printable(info.serialNumber).c_str());
    std::printf("  Firmware       %s (%u.%02u.%u)\n", Printable(info.firmwareVersion.text).c_str(),
                info.firmwareVersion.Major(), info.firmwareVersion.Minor(), info.firmwareVersion.Build());
    if (!info.mountInterfaceName.empty())
        std::printf("  Mount          %s\n", Printable(info.mountInterfaceName).c_str());
    if (!info.additionalDescription.empty())
        std::printf("  Description    %s\n", Printable(info.additionalDescription).c_str());
    std::printf("  Enumeration    major versions %u to %u\n", unsigned{info.enumerationMajorLowest},
                unsigned{info.enumerationMajorHighest});

    std::printf("\nChannels (%zu)\n", channels.size());
    std::printf("  %-8s %-28s %s\n", "channel", "pipe", "message protocol");
    for (const auto& descriptor : channels)
    {
        const std::string channel =
            std::to_string(descriptor->channelNumber) + "." + std::to_string(descriptor->subChannelNumber);
        std::string versions = "major versions " + std::to_string(descriptor->majorVersionLowest) + " to " +
                               std::to_string(descriptor->majorVersionHighest);
        if (descriptor->legacyMark == kLegacyMark_Legacy)
            versions += " (legacy camera)";
        std::printf("  %-8s %-28s %s\n", channel.c_str(), PipeText(*descriptor).c_str(), versions.c_str());
    }
}

// Opens the camera at the address, reads and prints what channel 0.0 tells,
// and closes again.
void Run(std::uint32_t ipv4, const std::string& host, std::uint16_t port)
{
    Transport::DeviceMoniker moniker;
    moniker.type = Transport::kMonikerType_Tcp;
    moniker.tcp.host.Assign(host.c_str());
    moniker.tcp.address = ipv4;
    moniker.tcp.port = port;
    moniker.tcp.connectTimeoutSeconds = 5;
    moniker.tcp.isStatic = 1;
    const std::string where = AddressText(ipv4, port);

    Transport::TcpDevice device(moniker);
    if (const std::uint32_t result = device.Open(); result != 0)
        throw DemoFailure{"cannot open the camera at " + where + ": " + PipeResultText(result)};
    ChannelTransport transport(device, Transport::kDefaultPipeId);
    if (const std::uint32_t result = transport.Start(); result != 0)
        throw DemoFailure{"cannot connect to the camera at " + where + ": " + PipeResultText(result)};

    EnumerationAgent agent(transport);
    if (!agent.Open())
        throw DemoFailure{"the camera at " + where + " did not open channel 0.0 (connection lost)"};
    DeviceInfo info;
    if (!agent.GetDeviceInfo(info))
        throw DemoFailure{"the camera at " + where + " did not send its device information"};
    ChannelList channels;
    if (!agent.GetChannelList(channels))
        throw DemoFailure{"the camera at " + where + " did not send its channel list"};
    agent.Close();

    std::printf("Camera at %s\n\n", where.c_str());
    PrintCamera(info, channels);
}

int Main(int argc, char** argv)
{
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)))
    {
        std::fprintf(argc > 2 ? stderr : stdout,
                     "usage: tavrin-demo [HOST[:PORT]]\n"
                     "  Reads a camera's device information and channel list over TCP (port %u when\n"
                     "  none is given). Without an address it starts the camera simulator in this\n"
                     "  process on 127.0.0.1 and talks to it.\n",
                     unsigned{Transport::kDefaultTcpPort});
        return argc > 2 ? 2 : 0;
    }

    std::unique_ptr<Q7::Sim::Camera> simulator;
    Address address;
    std::uint32_t ipv4 = 0;
    if (argc == 2)
    {
        address = ParseAddress(argv[1]);
        Q7::Platform::StartSocketSubsystem();
        const std::vector<Q7::Platform::SocketAddress> resolved =
            Q7::Platform::ResolveHostName(address.host.c_str());
        if (resolved.empty())
            throw DemoFailure{"cannot resolve the host name '" + address.host + "'"};
        ipv4 = resolved.front().GetIPv4();
    }
    else
    {
        simulator = std::make_unique<Q7::Sim::Camera>(Q7::Sim::CameraDescription::Default());
        simulator->Start("127.0.0.1", 0);
        address.host = "127.0.0.1";
        address.port = simulator->Port();
        ipv4 = 0x7F000001;
        std::printf("Started the camera simulator on 127.0.0.1:%u\n", unsigned{address.port});
    }

    Run(ipv4, address.host, address.port);
    if (simulator)
        simulator->Stop();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Main(argc, argv);
    }
    catch (const DemoFailure& failure)
    {
        std::fprintf(stderr, "tavrin-demo: %s\n", failure.message.c_str());
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        std::fprintf(stderr, "tavrin-demo: error talking to the camera: %s\n", ErrorText(error).c_str());
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "tavrin-demo: %s\n", error.what());
    }
    return 1;
}
