// Throughput of one KPX channel against the simulated camera, in both
// directions, over loopback TCP and over the virtual USB bus: over TCP as a
// ratio to a plain loopback socket pair that moves the same number of bytes in
// the same 1 MiB application buffers, and over both as a ratio to a plain
// memory copy of the same bytes in the same buffers.
//
// Usage: channel_throughput_bench [MiB per direction, default 1024] [rounds, default 11]
//
// First one checked transfer each way over each transport, untimed: every byte
// is compared with the camera's test pattern (by the camera for host ->
// camera, by the reader for camera -> host). Then the timed rounds: each round
// measures the socket pair, the TCP channel host -> camera, the socket pair,
// the TCP channel camera -> host and the socket pair once more, and divides
// each channel rate by the mean of the socket rates taken just before and just
// after it, so that a machine whose load changes moves both alike; then a
// memory copy, the USB channel both ways and a memory copy again, each channel
// rate (TCP and USB) divided by the mean of the two copy rates. The program
// reports every round's figures and, per direction, the medians.
//
// Host -> camera: the channel writes 1 MiB buffers (split by the library into
// Data packets of the channel's maximum payload) and the camera swallows them;
// the time ends when the camera has received the last byte. Camera -> host: the
// camera produces the bytes after the open and the channel reads them in 1 MiB
// pieces. Over USB the channel is 2.0 on endpoint 1 with burst IN (reads of
// about 1 MiB), packets of 512 bytes (high speed). Like each socket pair, each
// timed transfer runs on a new camera, device and channel, so that no
// measurement inherits the threads (and their places on the machine's
// processors) of another. Build in Release (or the default preset) for
// meaningful figures.

#include "BenchSupport.h"
#include "Channel/KPXChannel.h"
#include "Channel/KPXChannelTransport.h"
#include "Q7PlatformUsbVirtualBus.h"
#include "SimCamera.h"
#include "SimStreamHandler.h"
#include "SimUsbAttachment.h"
#include "Transport/KPXTransport_Tcp.h"
#include "Transport/KPXTransport_Usb.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

using namespace Bench;
constexpr Q7::Sim::ChannelId kChannel{2, 0};

// ---------------------------------------------------------------- the KPX channel

enum class Link
{
    Tcp,
    Usb,
};

// One simulated camera, a TCP device on it (or a USB device on a virtual bus
// it is plugged into), a channel transport and channel 2.0.
class ChannelBench
{
public:
    explicit ChannelBench(Link link = Link::Tcp) : m_camera(Q7::Sim::CameraDescription::Default())
    {
        m_camera.SetLogSink({});
        if (link == Link::Tcp)
        {
            m_camera.Start("127.0.0.1", 0);
            m_device = OpenCameraDevice(m_camera.Port());
        }
        else
        {
            m_bus.Start();
            m_attachment = std::make_unique<Q7::Sim::UsbAttachment>(m_camera, m_bus);
            m_attachment->Plug();
            Q7::KPX::Transport::DeviceMoniker moniker;
            moniker.type = Q7::KPX::Transport::kMonikerType_Usb;
            moniker.usb.devicePath.Assign(m_attachment->DevicePath().c_str());
            m_device = std::make_unique<Q7::KPX::Transport::UsbDevice>(moniker, m_bus);
            if (m_device->Open() != 0)
            {
                throw std::runtime_error("cannot open the USB device");
            }
        }
        m_transport =
            std::make_unique<Q7::KPX::ChannelTransport>(*m_device, Q7::KPX::Transport::kDefaultPipeId);
        if (m_transport->Start() != 0)
        {
            throw std::runtime_error("cannot connect to the simulated camera");
        }
        m_transport->SetBurstIn(true); // as for a channel of bulk data; nothing over TCP
        m_channel = std::make_unique<Q7::KPX::Channel>(kChannel.channel, kChannel.sub, *m_transport);
        m_channel->AddClientMajorVersion({1, 0});
        m_channel->AddClientMajorVersion({1, 1});
        m_channel->AddClientMajorVersion({2, 0});
        m_channel->SetClientMajorVersions({1, 2});
        m_channel->Start();
    }

    // Reports any protocol violation the camera saw, then shuts everything down.
    ~ChannelBench()
    {
        ReportViolations();
        m_channel->Stop();
        m_transport->Stop();
        m_channel.reset();
        m_transport.reset();
        m_device->Close();
        m_device.reset();
        if (m_attachment)
        {
            m_attachment->Unplug();
        }
        m_camera.Stop();
        m_bus.Stop();
    }

    ChannelBench(const ChannelBench&) = delete;
    ChannelBench& operator=(const ChannelBench&) = delete;

    // Seconds to write total pattern bytes until the camera has them all; with
    // `check` the camera compares every byte with the pattern.
    double HostToCamera(std::uint64_t total, bool check)
    {
        auto stats = std::make_shared<Q7::Sim::StreamStats>();
        m_camera.SetChannelHandler(kChannel, Q7::Sim::StreamHandler::Factory({.checkPattern = check}, stats));
        Open();
        const Clock::time_point start = Clock::now();
        for (std::uint64_t written = 0; written < total;)
        {
            const std::span<const std::uint8_t> piece = Q7::Sim::PatternSlice(written, kBufferSize);
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(piece.size(), total - written));
            if (m_channel->Write(piece.data(), n, nullptr, nullptr, 0xFFFFFFFF) != 0)
            {
                throw std::runtime_error("channel write failed");
            }
            written += n;
        }
        if (!stats->WaitForReceived(total, std::chrono::minutes(5)))
        {
            throw std::runtime_error("the camera did not receive every byte");
        }
        const double seconds = Seconds(start, Clock::now());
        m_channel->Close();
        if (stats->BytesReceived() != total || stats->PatternErrors() != 0)
        {
            throw std::runtime_error("the camera received bytes that differ from the pattern");
        }
        return seconds;
    }

    // Seconds from the open until total bytes produced by the camera are read;
    // with `check` every byte read is compared with the pattern.
    double CameraToHost(std::uint64_t total, bool check)
    {
        auto stats = std::make_shared<Q7::Sim::StreamStats>();
        m_camera.SetChannelHandler(kChannel, Q7::Sim::StreamHandler::Factory({.sourceBytes = total}, stats));
        std::vector<std::uint8_t> in(kBufferSize);
        const Clock::time_point start = Clock::now();
        Open();
        for (std::uint64_t read = 0; read < total;)
        {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBufferSize, total - read));
            if (m_channel->Read(in.data(), n, nullptr, nullptr, 30000) != 0)
            {
                throw std::runtime_error("channel read failed");
            }
            if (check && Q7::Sim::FindPatternMismatch(read, std::span<const std::uint8_t>(in.data(), n)))
            {
                throw std::runtime_error("the bytes read differ from the camera's pattern");
            }
            read += n;
        }
        const double seconds = Seconds(start, Clock::now());
        m_channel->Close();
        return seconds;
    }

    std::uint16_t MaxPayload() const { return m_channel->GetMaxPayload(); }

private:
    void ReportViolations() const
    {
        const Q7::Sim::Observations observed = m_camera.Snapshot();
        if (!observed.violations.empty())
        {
            std::fprintf(stderr, "camera saw protocol violations:\n%s\n",
                         observed.DescribeViolations().c_str());
        }
    }

    void Open()
    {
        if (m_channel->Open() != 0)
        {
            throw std::runtime_error("the channel did not open");
        }
    }

    Q7::Platform::Usb::VirtualUsbBus m_bus; // started for USB only
    Q7::Sim::Camera m_camera;
    std::unique_ptr<Q7::Sim::UsbAttachment> m_attachment;
    std::unique_ptr<Q7::KPX::Transport::DeviceInterface> m_device;
    std::unique_ptr<Q7::KPX::ChannelTransport> m_transport;
    std::unique_ptr<Q7::KPX::Channel> m_channel;
};

} // namespace

int main(int argc, char** argv)
{
    std::uint64_t mib = 1024;
    unsigned rounds = 11;
    if (argc > 1)
    {
        mib = std::strtoull(argv[1], nullptr, 10);
    }
    if (argc > 2)
    {
        rounds = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    }
    if (mib == 0 || rounds == 0 || argc > 3)
    {
        std::fprintf(stderr, "usage: %s [MiB per direction] [rounds]\n", argv[0]);
        return 2;
    }
    const std::uint64_t total = mib << 20;
    try
    {
        std::uint16_t maxPayload = 0;
        for (const Link link : {Link::Tcp, Link::Usb})
        {
            ChannelBench bench(link);
            bench.HostToCamera(total, true);
            bench.CameraToHost(total, true);
            maxPayload = bench.MaxPayload();
        }
        std::printf("%llu MiB each way over loopback TCP and the virtual USB bus (channel 2.0, maximum "
                    "payload %u bytes)\n",
                    static_cast<unsigned long long>(mib), static_cast<unsigned>(maxPayload));
        std::printf("checked transfers: every byte of %llu MiB each way over each matched the pattern\n\n",
                    static_cast<unsigned long long>(mib));
        std::printf("%-6s %10s %10s %10s %10s %10s %10s %10s %10s %10s | %6s %6s | %6s %6s %6s %6s\n",
                    "round", "socket", "tcp up", "socket", "tcp down", "socket", "memcpy", "usb up",
                    "usb down", "memcpy", "t/s up", "t/s dn", "t/m up", "t/m dn", "u/m up", "u/m dn");

        std::vector<double> up;
        std::vector<double> down;
        std::vector<double> tcpUpCopy;
        std::vector<double> tcpDownCopy;
        std::vector<double> usbUpCopy;
        std::vector<double> usbDownCopy;
        for (unsigned round = 1; round <= rounds; ++round)
        {
            const double socketBefore = MiBPerSecond(total, PlainSocketSeconds(total));
            const double channelUp = MiBPerSecond(total, ChannelBench().HostToCamera(total, false));
            const double socketBetween = MiBPerSecond(total, PlainSocketSeconds(total));
            const double channelDown = MiBPerSecond(total, ChannelBench().CameraToHost(total, false));
            const double socketAfter = MiBPerSecond(total, PlainSocketSeconds(total));
            const double copyBefore = MiBPerSecond(total, MemoryCopySeconds(total));
            const double usbUp = MiBPerSecond(total, ChannelBench(Link::Usb).HostToCamera(total, false));
            const double usbDown = MiBPerSecond(total, ChannelBench(Link::Usb).CameraToHost(total, false));
            const double copyAfter = MiBPerSecond(total, MemoryCopySeconds(total));
            const double copy = (copyBefore + copyAfter) / 2;
            up.push_back(channelUp / ((socketBefore + socketBetween) / 2));
            down.push_back(channelDown / ((socketBetween + socketAfter) / 2));
            tcpUpCopy.push_back(channelUp / copy);
            tcpDownCopy.push_back(channelDown / copy);
            usbUpCopy.push_back(usbUp / copy);
            usbDownCopy.push_back(usbDown / copy);
            std::printf(
                "%-6u %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f %10.0f | %6.2f %6.2f | %6.3f "
                "%6.3f %6.3f %6.3f\n",
                round, socketBefore, channelUp, socketBetween, channelDown, socketAfter, copyBefore, usbUp,
                usbDown, copyAfter, up.back(), down.back(), tcpUpCopy.back(), tcpDownCopy.back(),
                usbUpCopy.back(), usbDownCopy.back());
        }
        std::printf(
            "(rates in MiB/s; t/s: TCP channel / socket pair; t/m, u/m: TCP, USB channel / memory copy)\n");
        std::printf(
            "\nmedian ratio channel/socket over %u rounds: host -> camera %.2f, camera -> host %.2f\n",
            rounds, Median(up), Median(down));
        std::printf(
            "median ratio channel/memory copy over %u rounds: TCP host -> camera %.3f, camera -> host "
            "%.3f; USB host -> camera %.3f, camera -> host %.3f\n",
            rounds, Median(tcpUpCopy), Median(tcpDownCopy), Median(usbUpCopy), Median(usbDownCopy));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
