// Throughput of the programming agent (channel 1.0) over loopback TCP against
// the simulated camera: an upload (SendData from memory, until the camera's
// DataEndAck) and a log download (DownloadLog, from the request to the last
// byte), beside the raw rate of a plain loopback socket pair moving the same
// number of bytes in the same run. Each figure is the median of the rounds.
//
// A transfer also touches as many fresh bytes as it moves: an upload copies the
// data into its queued blocks, a download fills a new buffer. Where first
// touches of memory are slow (a virtual machine's page faults), that limit is
// lower than the socket's, so it is measured in the same run and reported too.
//
// Usage: programming_throughput_bench [MiB per transfer, default 256] [rounds, default 5]
//
// The agent is started before and stopped after each transfer, as the camera
// object does, outside the timing. Build in Release for meaningful figures.

#include "Agents/KPXProgramming.h"
#include "BenchSupport.h"
#include "Channel/KPXChannelTransport.h"
#include "SimCamera.h"
#include "SimProgrammingHandler.h"
#include "SimStreamHandler.h"
#include "Transport/KPXTransport_Tcp.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace
{

using namespace Bench;

constexpr std::uint32_t kLogId = 104;
constexpr std::uint32_t kLogKind = 2;
constexpr std::uint32_t kFileType = 5;

// Seconds to allocate and first touch `total` bytes.
double FreshMemorySeconds(std::uint64_t total)
{
    const Clock::time_point start = Clock::now();
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(total), 1);
    const double seconds = Seconds(start, Clock::now());
    if (bytes[bytes.size() / 2] != 1)
        throw std::runtime_error("fresh memory lost its bytes");
    return seconds;
}

struct Round
{
    double socket = 0;
    double memory = 0;
    double upload = 0;
    double download = 0;
};

std::vector<Round> ProgrammingRounds(std::uint64_t total, unsigned rounds)
{
    std::vector<std::uint8_t> data(static_cast<std::size_t>(total));
    Q7::Sim::FillPattern(0, data);

    Q7::Sim::Camera camera(Q7::Sim::CameraDescription::Default());
    camera.SetLogSink({});
    auto store = std::make_shared<Q7::Sim::ProgrammingStore>();
    store->SetLog(kLogId, data, false);
    store->CheckUploadPattern(true);
    camera.SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(store));
    camera.Start("127.0.0.1", 0);

    const std::unique_ptr<Q7::KPX::Transport::TcpDevice> openDevice = OpenCameraDevice(camera.Port());
    Q7::KPX::Transport::TcpDevice& device = *openDevice;

    std::vector<Round> results;
    {
        Q7::KPX::ChannelTransport transport(device, Q7::KPX::Transport::kDefaultPipeId);
        if (transport.Start() != 0)
            throw std::runtime_error("cannot connect to the simulated camera");
        Q7::KPX::ProgrammingAgent agent(transport);
        agent.SetClientMajorVersions({1, 2});

        for (unsigned round = 0; round < rounds; ++round)
        {
            Round result;
            result.socket = PlainSocketSeconds(total);
            result.memory = FreshMemorySeconds(total);

            agent.Start();
            Clock::time_point start = Clock::now();
            const bool sent = agent.SendData(kFileType, {}, data.data(), data.size(), L"bench.bin");
            result.upload = Seconds(start, Clock::now());
            agent.Stop();
            const std::vector<Q7::Sim::Upload> uploads = store->Uploads();
            if (!sent || uploads.size() != 1 || uploads.front().size != total ||
                !uploads.front().patternMatched)
                throw std::runtime_error("the upload did not arrive byte for byte");
            store->ClearUploads();

            std::vector<std::uint8_t> log;
            agent.Start();
            start = Clock::now();
            agent.DownloadLog(log, kLogKind, {}, false);
            result.download = Seconds(start, Clock::now());
            agent.Stop();
            if (log != data)
                throw std::runtime_error("the log did not arrive byte for byte");
            results.push_back(result);
        }
        transport.Stop();
    }
    device.Close();
    const Q7::Sim::Observations observed = camera.Snapshot();
    if (!observed.violations.empty())
        std::fprintf(stderr, "camera saw protocol violations:\n%s\n", observed.DescribeViolations().c_str());
    camera.Stop();
    return results;
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const unsigned rounds = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 5;
    if (mib == 0 || mib >= 4096 || rounds == 0)
    {
        std::fprintf(stderr, "usage: %s [MiB per transfer, 1 to 4095] [rounds]\n", argv[0]);
        return 2;
    }
    const std::uint64_t total = mib << 20;
    try
    {
        const std::vector<Round> results = ProgrammingRounds(total, rounds);
        std::vector<double> socket, memory, upload, download;
        std::vector<double> uploadToSocket, downloadToSocket, uploadToMemory, downloadToMemory;
        for (const Round& r : results)
        {
            socket.push_back(MiBPerSecond(total, r.socket));
            memory.push_back(MiBPerSecond(total, r.memory));
            upload.push_back(MiBPerSecond(total, r.upload));
            download.push_back(MiBPerSecond(total, r.download));
            uploadToSocket.push_back(r.socket / r.upload);
            downloadToSocket.push_back(r.socket / r.download);
            uploadToMemory.push_back(r.memory / r.upload);
            downloadToMemory.push_back(r.memory / r.download);
        }
        std::printf("%llu MiB per transfer over loopback TCP (channel 1.0), median of %u rounds\n",
                    static_cast<unsigned long long>(mib), rounds);
        std::printf("%-24s %8.0f MiB/s\n", "plain socket pair", Median(socket));
        std::printf("%-24s %8.0f MiB/s\n", "first touch of memory", Median(memory));
        std::printf("%-24s %8s        %16s %16s\n", "", "", "ratio to socket", "ratio to memory");
        std::printf("%-24s %8.0f MiB/s %16.2f %16.2f\n", "upload (SendData)", Median(upload),
                    Median(uploadToSocket), Median(uploadToMemory));
        std::printf("%-24s %8.0f MiB/s %16.2f %16.2f\n", "download (DownloadLog)", Median(download),
                    Median(downloadToSocket), Median(downloadToMemory));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
