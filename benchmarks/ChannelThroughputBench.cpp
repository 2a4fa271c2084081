// Throughput of one KPX channel over loopback TCP against the simulated camera,
// in both directions, beside a plain loopback socket pair that moves the same
// number of bytes in the same 1 MiB application buffers.
//
// Usage: channel_throughput_bench [MiB per direction, default 1024]
//
// Host -> camera: the channel writes 1 MiB buffers (split by the library into
// Data packets of the channel's maximum payload) and the camera swallows them;
// the time ends when the camera has received the last byte. Camera -> host: the
// camera produces the bytes after the open and the channel reads them in 1 MiB
// pieces. Both directions run on the same channel, closed and opened again in
// between. Build in Release for meaningful figures.

#include "BenchSupport.h"
#include "KPXChannel.h"
#include "KPXChannelTransport.h"
#include "KPXTransport_Tcp.h"
#include "SimCamera.h"
#include "SimStreamHandler.h"

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

struct ChannelSeconds
{
    double hostToCamera = 0;
    double cameraToHost = 0;
    std::uint16_t maxPayload = 0;
};

ChannelSeconds KpxChannelSeconds(std::uint64_t total)
{
    Q7::Sim::Camera camera(Q7::Sim::CameraDescription::Default());
    camera.SetLogSink({});
    auto uploadStats = std::make_shared<Q7::Sim::StreamStats>();
    camera.SetChannelHandler(kChannel, Q7::Sim::StreamHandler::Factory({}, uploadStats));
    camera.Start("127.0.0.1", 0);

    const std::unique_ptr<Q7::KPX::Transport::TcpDevice> openDevice = OpenCameraDevice(camera.Port());
    Q7::KPX::Transport::TcpDevice& device = *openDevice;
    ChannelSeconds seconds;
    {
        Q7::KPX::ChannelTransport transport(device, Q7::KPX::Transport::kDefaultPipeId);
        if (transport.Start() != 0)
        {
            throw std::runtime_error("cannot connect to the simulated camera");
        }
        Q7::KPX::Channel channel(kChannel.channel, kChannel.sub, transport);
        channel.AddClientMajorVersion({1, 0});
        channel.AddClientMajorVersion({1, 1});
        channel.AddClientMajorVersion({2, 0});
        channel.SetClientMajorVersions({1, 2});
        channel.Start();

        // Host -> camera.
        if (channel.Open() != 0)
        {
            throw std::runtime_error("the channel did not open");
        }
        seconds.maxPayload = channel.GetMaxPayload();
        const std::vector<std::uint8_t> out(kBufferSize, 0x5A);
        Clock::time_point start = Clock::now();
        for (std::uint64_t written = 0; written < total;)
        {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBufferSize, total - written));
            if (channel.Write(out.data(), n, nullptr, nullptr, 0xFFFFFFFF) != 0)
            {
                throw std::runtime_error("channel write failed");
            }
            written += n;
        }
        if (!uploadStats->WaitForReceived(total, std::chrono::minutes(5)))
        {
            throw std::runtime_error("the camera did not receive every byte");
        }
        seconds.hostToCamera = Seconds(start, Clock::now());
        channel.Close();

        // Camera -> host: the camera produces the bytes once the channel opens again.
        auto downloadStats = std::make_shared<Q7::Sim::StreamStats>();
        camera.SetChannelHandler(kChannel,
                                 Q7::Sim::StreamHandler::Factory({.sourceBytes = total}, downloadStats));
        std::vector<std::uint8_t> in(kBufferSize);
        start = Clock::now();
        if (channel.Open() != 0)
        {
            throw std::runtime_error("the channel did not open again");
        }
        std::uint64_t lastOffset = 0;
        std::uint32_t lastCount = 0;
        for (std::uint64_t read = 0; read < total;)
        {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBufferSize, total - read));
            if (channel.Read(in.data(), n, nullptr, nullptr, 30000) != 0)
            {
                throw std::runtime_error("channel read failed");
            }
            lastOffset = read;
            lastCount = n;
            read += n;
        }
        seconds.cameraToHost = Seconds(start, Clock::now());
        // A spot check outside the timing: the last piece is where the pattern says.
        if (Q7::Sim::FindPatternMismatch(lastOffset, std::span<const std::uint8_t>(in.data(), lastCount)))
        {
            throw std::runtime_error("the bytes read differ from the camera's pattern");
        }
        channel.Close();
        channel.Stop();
        transport.Stop();

        const Q7::Sim::Observations observed = camera.Snapshot();
        if (!observed.violations.empty())
        {
            std::fprintf(stderr, "camera saw protocol violations:\n%s\n",
                         observed.DescribeViolations().c_str());
        }
    }
    device.Close();
    camera.Stop();
    return seconds;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint64_t mib = 1024;
    if (argc > 1)
    {
        mib = std::strtoull(argv[1], nullptr, 10);
        if (mib == 0)
        {
            std::fprintf(stderr, "usage: %s [MiB per direction]\n", argv[0]);
            return 2;
        }
    }
    const std::uint64_t total = mib << 20;
    try
    {
        const double socketUp = PlainSocketSeconds(total);
        const double socketDown = PlainSocketSeconds(total);
        const ChannelSeconds channel = KpxChannelSeconds(total);

        const double rates[2][2] = {
            {MiBPerSecond(total, socketUp), MiBPerSecond(total, socketDown)},
            {MiBPerSecond(total, channel.hostToCamera), MiBPerSecond(total, channel.cameraToHost)}};
        std::printf("%llu MiB each way over loopback TCP (channel 2.0, maximum payload %u bytes)\n",
                    static_cast<unsigned long long>(mib), static_cast<unsigned>(channel.maxPayload));
        std::printf("%-22s %16s %16s\n", "", "host -> camera", "camera -> host");
        std::printf("%-22s %11.0f MiB/s %11.0f MiB/s\n", "plain socket pair", rates[0][0], rates[0][1]);
        std::printf("%-22s %11.0f MiB/s %11.0f MiB/s\n", "KPX channel", rates[1][0], rates[1][1]);
        std::printf("%-22s %16.2f %16.2f\n", "ratio channel/socket", rates[1][0] / rates[0][0],
                    rates[1][1] / rates[0][1]);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
