// The time to open a camera, as the layer above opens one: the device manager
// lists the simulated camera (over loopback TCP from its static address list,
// and on the virtual USB bus as the process's USB host), a KPX camera object
// is made from the listed moniker, and the time runs from Initialize through
// InitializeAgents to StartDeviceControl having returned with device control
// started (channel 0.0 read, channels 1.0 and 2.0 built, 2.0 opened and its
// property cache built). Each open is followed by an untimed Close.
//
// Beside it, in the same run, the raw limit: a round trip of a 256-byte
// message (one control packet) over a plain loopback TCP socket pair with
// TCP_NODELAY, before and after the opens, and the open's median as a number
// of those round trips. Over USB the run also times the start of a channel
// transport on its own (the stale-data drain that reads the pipe until 50 ms
// pass without data), which every USB open runs once per pipe it starts.
//
// Usage: camera_open_bench [opens per transport, default 50]
// Prints, per transport, the median and the 99th percentile of the opens.
// Build in Release (or the default preset) for meaningful figures.

#include "BenchSupport.h"
#include "Camera/KPXCamera.h"
#include "Channel/KPXChannelTransport.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimProgrammingHandler.h"
#include "SimUsbAttachment.h"
#include "Transport/KPXDeviceManager.h"

#include <netinet/tcp.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace Bench;
using Q7::KPX::Camera;
using Q7::KPX::Transport::DeviceManager;
using Q7::KPX::Transport::DeviceMoniker;

constexpr std::size_t kRoundTrips = 2000;
constexpr std::size_t kMessageBytes = 256;
constexpr std::size_t kDrainSamples = 10;

using Bench::Simulated::Figures;
using Bench::Simulated::Summarise;

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// ---------------------------------------------------------------- the raw limit

void Transfer(int fd, std::uint8_t* bytes, bool send)
{
    for (std::size_t done = 0; done < kMessageBytes;)
    {
        const ssize_t n = send ? ::send(fd, bytes + done, kMessageBytes - done, MSG_NOSIGNAL)
                               : ::recv(fd, bytes + done, kMessageBytes - done, 0);
        if (n <= 0)
            throw std::runtime_error("loopback transfer failed");
        done += static_cast<std::size_t>(n);
    }
}

// Microseconds of one round trip of a message over a loopback TCP pair.
Figures RoundTripMicroseconds()
{
    auto [client, server] = NoDelayLoopbackPair();
    std::thread echo(
        [fd = server.Get()]
        {
            std::vector<std::uint8_t> bytes(kMessageBytes);
            for (std::size_t i = 0; i < kRoundTrips; ++i)
            {
                Transfer(fd, bytes.data(), false);
                Transfer(fd, bytes.data(), true);
            }
        });
    std::vector<std::uint8_t> bytes(kMessageBytes, 0x5A);
    std::vector<double> samples;
    samples.reserve(kRoundTrips);
    for (std::size_t i = 0; i < kRoundTrips; ++i)
    {
        const Clock::time_point start = Clock::now();
        Transfer(client.Get(), bytes.data(), true);
        Transfer(client.Get(), bytes.data(), false);
        samples.push_back(Milliseconds(Clock::now() - start) * 1000.0);
    }
    echo.join();
    return Summarise(std::move(samples));
}

// ---------------------------------------------------------------- the opens

// A folder of its own for the initialisation mutex's lock file, so that the
// run never waits for the machine's other cameras (nor they for it).
class LockFolder
{
public:
    LockFolder()
    {
        char pattern[] = "/tmp/camera-open-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("cannot make a lock folder");
        m_path = pattern;
    }
    ~LockFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    LockFolder(const LockFolder&) = delete;
    LockFolder& operator=(const LockFolder&) = delete;
    const char* Path() const { return m_path.c_str(); }

private:
    std::string m_path;
};

// A simulated camera serving channels 0.0, 1.0 and 2.0 with the default model.
std::unique_ptr<Q7::Sim::Camera> MakeSimulatedCamera(const std::string& serial)
{
    Q7::Sim::CameraDescription description = Q7::Sim::CameraDescription::Default();
    description.serialNumber = serial;
    auto camera = std::make_unique<Q7::Sim::Camera>(description);
    camera->SetLogSink({});
    camera->SetChannelHandler(
        {1, 0}, Q7::Sim::ProgrammingHandler::Factory(std::make_shared<Q7::Sim::ProgrammingStore>()));
    camera->SetChannelHandler(
        {2, 0}, Q7::Sim::DeviceControlHandler::Factory(std::make_shared<Q7::Sim::DeviceControlModel>(
                    Q7::Sim::DeviceControlModel::DefaultProperties())));
    return camera;
}

// Milliseconds of each open of the listed camera.
std::vector<double> TimeOpens(const DeviceMoniker& moniker, std::size_t opens, const LockFolder& locks)
{
    const bool tcp = moniker.type == Q7::KPX::Transport::kMonikerType_Tcp;
    std::vector<double> samples;
    samples.reserve(opens);
    for (std::size_t i = 0; i < opens; ++i)
    {
        Camera camera(moniker, {}, locks.Path());
        camera.SetClientIdentity(nullptr);
        const Clock::time_point start = Clock::now();
        if (camera.Initialize(tcp) != 0 || camera.InitializeAgents(nullptr) != 0)
            throw std::runtime_error("the camera did not open");
        camera.StartDeviceControl();
        const Clock::time_point end = Clock::now();
        if (!camera.IsDeviceControlStarted() || camera.GetPropertyIds().empty())
            throw std::runtime_error("device control did not start");
        samples.push_back(Milliseconds(end - start));
        camera.Close();
    }
    return samples;
}

// Milliseconds of starting a channel transport on the camera's first USB
// pipe: the stale-data drain, and the pipe's open.
Figures TimeUsbDrains(const DeviceMoniker& moniker)
{
    std::vector<double> samples;
    for (std::size_t i = 0; i < kDrainSamples; ++i)
    {
        const std::unique_ptr<Q7::KPX::Transport::DeviceInterface> device =
            DeviceManager::CreateDevice(moniker);
        if (device->Open() != 0)
            throw std::runtime_error("the USB device did not open");
        {
            Q7::KPX::ChannelTransport transport(*device, Q7::KPX::Transport::kDefaultPipeId);
            const Clock::time_point start = Clock::now();
            if (transport.Start() != 0)
                throw std::runtime_error("the USB pipe did not open");
            samples.push_back(Milliseconds(Clock::now() - start));
            transport.Stop();
        }
        device->Close();
    }
    return Summarise(std::move(samples));
}

const DeviceMoniker& FindListed(const std::vector<DeviceMoniker>& devices, std::uint32_t type)
{
    for (const DeviceMoniker& moniker : devices)
    {
        if (moniker.type == type)
            return moniker;
    }
    throw std::runtime_error("the device manager did not list the camera");
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t opens = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
    if (opens == 0)
    {
        std::fprintf(stderr, "usage: camera_open_bench [opens per transport >= 1]\n");
        return 2;
    }
    try
    {
        // The virtual bus is the process's USB host: the device manager lists
        // its cameras and makes their devices on it.
        auto installed = std::make_unique<Q7::Platform::Usb::VirtualUsbBus>();
        Q7::Platform::Usb::VirtualUsbBus& bus = *installed;
        Q7::Platform::Usb::InstallHostBackend(std::move(installed));

        const std::unique_ptr<Q7::Sim::Camera> tcpCamera = MakeSimulatedCamera("SIM-TCP");
        tcpCamera->Start("127.0.0.1", 0);
        const std::unique_ptr<Q7::Sim::Camera> usbCamera = MakeSimulatedCamera("SIM-USB");
        Q7::Sim::UsbAttachment attachment(*usbCamera, bus, {.ports = {1}});
        attachment.Plug();

        DeviceManager manager(Q7::KPX::Transport::kTransportSelection_UsbAndTcp);
        manager.SetStaticIpConfiguration(("bench|127.0.0.1|" + std::to_string(tcpCamera->Port())).c_str());
        std::vector<DeviceMoniker> devices;
        manager.EnumerateDevices(devices);
        const DeviceMoniker tcp = FindListed(devices, Q7::KPX::Transport::kMonikerType_Tcp);
        const DeviceMoniker usb = FindListed(devices, Q7::KPX::Transport::kMonikerType_Usb);

        const LockFolder locks;
        const Figures before = RoundTripMicroseconds();
        const Figures tcpOpen = Summarise(TimeOpens(tcp, opens, locks));
        const Figures usbOpen = Summarise(TimeOpens(usb, opens, locks));
        const Figures drain = TimeUsbDrains(usb);
        const Figures after = RoundTripMicroseconds();
        const double roundTripUs = (before.median + after.median) / 2;

        std::printf("loopback round trip of %zu bytes: %.1f us median before, %.1f us after\n", kMessageBytes,
                    before.median, after.median);
        std::printf("open over loopback TCP: %.2f ms median, %.2f ms p99 of %zu opens (%.0f round trips)\n",
                    tcpOpen.median, tcpOpen.p99, opens, tcpOpen.median * 1000.0 / roundTripUs);
        std::printf("open over the virtual USB bus: %.2f ms median, %.2f ms p99 of %zu opens "
                    "(%.0f round trips)\n",
                    usbOpen.median, usbOpen.p99, opens, usbOpen.median * 1000.0 / roundTripUs);
        std::printf("USB channel transport start (stale-data drain): %.2f ms median, %.2f ms p99 of %zu\n",
                    drain.median, drain.p99, kDrainSamples);

        manager.StopNotify();
        attachment.Unplug();
        tcpCamera->Stop();
        usbCamera->Stop();
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "camera_open_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
