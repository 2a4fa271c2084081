// How e2e suites reach the simulated camera: over loopback TCP or as a camera
// on a virtual USB bus of its own. Suites are parametrised by transport: a
// fixture gets its device from OpenSimulatedDevice alone.
#pragma once

#include "Q7PlatformUsbVirtualBus.h"
#include "SimCamera.h"
#include "SimUsbAttachment.h"
#include "Transport/KPXTransport.h"
#include "Transport/KPXTransport_Tcp.h"
#include "Transport/KPXTransport_Usb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace E2e
{

// How an e2e suite reaches the simulated camera.
enum class E2eTransport
{
    Tcp, // loopback TCP, port chosen by the system
    Usb, // the camera on a virtual USB bus of the device's own
};

inline std::string TransportName(const ::testing::TestParamInfo<E2eTransport>& info)
{
    return info.param == E2eTransport::Tcp ? "Tcp" : "Usb";
}

// Both transports, for INSTANTIATE_TEST_SUITE_P.
inline auto AllTransports()
{
    return ::testing::Values(E2eTransport::Tcp, E2eTransport::Usb);
}

// The bus, with the camera plugged into it, that an E2eUsbDevice sits on.
struct E2eUsbBus
{
    explicit E2eUsbBus(Q7::Sim::Camera& camera) : attachment(camera, bus)
    {
        bus.Start();
        attachment.Plug();
        moniker.type = Q7::KPX::Transport::kMonikerType_Usb;
        moniker.usb.devicePath.Assign(attachment.DevicePath().c_str());
    }
    ~E2eUsbBus()
    {
        attachment.Unplug();
        bus.Stop();
    }

    Q7::Platform::Usb::VirtualUsbBus bus;
    Q7::Sim::UsbAttachment attachment;
    Q7::KPX::Transport::DeviceMoniker moniker;
};

// The library's USB device for a simulated camera on a bus of its own (the bus
// is built before the device and goes after it).
class E2eUsbDevice : private E2eUsbBus, public Q7::KPX::Transport::UsbDevice
{
public:
    explicit E2eUsbDevice(Q7::Sim::Camera& camera) : E2eUsbBus(camera), UsbDevice(E2eUsbBus::moniker, bus) {}
    ~E2eUsbDevice() override { Close(); }

    Q7::Sim::UsbAttachment& Attachment() { return attachment; }
};

// The moniker of a simulated camera that listens on loopback TCP.
inline Q7::KPX::Transport::DeviceMoniker TcpMoniker(const Q7::Sim::Camera& camera)
{
    Q7::KPX::Transport::DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
    moniker.tcp.host.Assign("127.0.0.1");
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = camera.Port();
    moniker.tcp.connectTimeoutSeconds = 5;
    return moniker;
}

// Opens the library's device for a simulated camera over `transport` (over TCP
// the camera must listen): the one place where e2e suites make a device.
inline std::unique_ptr<Q7::KPX::Transport::DeviceInterface> OpenSimulatedDevice(E2eTransport transport,
                                                                                Q7::Sim::Camera& camera)
{
    std::unique_ptr<Q7::KPX::Transport::DeviceInterface> device;
    if (transport == E2eTransport::Tcp)
    {
        device = std::make_unique<Q7::KPX::Transport::TcpDevice>(TcpMoniker(camera));
    }
    else
    {
        device = std::make_unique<E2eUsbDevice>(camera);
    }
    if (device->Open() != 0)
    {
        throw std::runtime_error("the simulated camera's device did not open");
    }
    return device;
}

// The camera's connection that carries the device's default pipe: over TCP
// the latest one accepted, over USB the one of endpoint 1.
inline std::uint64_t DefaultPipeConnection(Q7::KPX::Transport::DeviceInterface& device,
                                           Q7::Sim::Camera& camera)
{
    if (auto* usb = dynamic_cast<E2eUsbDevice*>(&device))
    {
        return usb->Attachment().ConnectionOf(1);
    }
    return camera.LatestConnection();
}

} // namespace E2e
