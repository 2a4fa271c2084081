// Throughput and memory of the programming agent (channel 1.0) over loopback
// TCP against the simulated camera: uploads (SendData from memory, until the
// camera's DataEndAck) and log downloads (DownloadLog, from the request to
// the last byte), each as a ratio to a plain loopback socket pair moving the
// same number of bytes in the same run.
//
// Usage: programming_throughput_bench [MiB per transfer, default 512] [rounds, default 9]
//                                     [KiB per DataBlock the camera sends, default 1024]
//
// In the order printed:
// 1. Memory: a 512 MiB upload through SendData in a child process forked
//    before anything else runs, so that its peak resident memory is that
//    upload's alone: the data itself plus what the transfer adds (the goal:
//    less than 128 MiB added). The simulated camera runs in the same process,
//    so its receive buffers count too.
// 2. A camera that announces 1000 MiB for a log of 4 KiB: the download's time
//    (median of 5), which must not depend on the announcement.
// 3. The cold round: the run's first upload and download, in which the
//    agent's block buffers and the application's destination vector are
//    touched for the first time. Fresh memory costs a page fault per 4 KiB
//    (on a virtual machine several milliseconds per MiB, more than the socket
//    takes), so this round shows first-touch cost, not the steady state. It
//    is reported on its own and left out of the medians.
// 4. The timed rounds, the steady state: the same source buffer is uploaded
//    and the same destination vector receives the download in every round,
//    as an application that moves files repeatedly would reuse them; the
//    agent keeps its block buffers. Each round measures a socket pair, the
//    upload, a socket pair, the download and a socket pair, and divides each
//    transfer's rate by the mean of the socket rates taken just before and
//    just after it, so that a change of the machine's load moves both alike.
//    The program prints every round and the median ratio per direction (the
//    goal: at least 0.8 both ways). The camera sends the log in DataBlocks of
//    1 MiB unless the third argument says otherwise; the host reads each
//    block's header, fixed part and data separately, so smaller blocks cost
//    it more hand-overs between its threads per byte.
//
// The camera compares the uploads of the memory measurement and of the cold
// round with its test pattern as they arrive; in the timed rounds it only
// counts them (the comparison would cost the camera a pass over the bytes that
// a socket pair's receiver does not make). Every download is checked byte for
// byte, outside the timing. The camera streams the log from where it keeps it,
// as a camera sends from its storage. The agent is started before and stopped
// after each transfer, as the camera object does, outside the timing. Build in
// Release (or the default preset) for meaningful figures.

#include "Agents/Programming/KPXProgramming.h"
#include "BenchSupport.h"
#include "Channel/KPXChannelTransport.h"
#include "SimCamera.h"
#include "SimProgrammingHandler.h"
#include "SimStreamHandler.h"
#include "Transport/KPXTransport_Tcp.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
constexpr std::uint64_t kMiB = 1 << 20;

// One simulated camera serving channel 1.0, a TCP device on it, a channel
// transport and the programming agent, for the whole run.
class ProgrammingRig
{
public:
    ProgrammingRig() : m_camera(Q7::Sim::CameraDescription::Default())
    {
        m_camera.SetLogSink({});
        store->SetUploadHandling(Q7::Sim::ProgrammingStore::UploadHandling::CheckPattern);
        m_camera.SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(store));
        m_camera.Start("127.0.0.1", 0);
        m_device = OpenCameraDevice(m_camera.Port());
        m_transport =
            std::make_unique<Q7::KPX::ChannelTransport>(*m_device, Q7::KPX::Transport::kDefaultPipeId);
        if (m_transport->Start() != 0)
            throw std::runtime_error("cannot connect to the simulated camera");
        agent = std::make_unique<Q7::KPX::ProgrammingAgent>(*m_transport);
        agent->SetClientMajorVersions({1, 2});
    }

    ~ProgrammingRig()
    {
        agent.reset();
        m_transport->Stop();
        m_device->Close();
        const Q7::Sim::Observations observed = m_camera.Snapshot();
        if (!observed.violations.empty())
            std::fprintf(stderr, "camera saw protocol violations:\n%s\n",
                         observed.DescribeViolations().c_str());
        m_camera.Stop();
    }

    ProgrammingRig(const ProgrammingRig&) = delete;
    ProgrammingRig& operator=(const ProgrammingRig&) = delete;

    // Seconds of an upload of `data`, which the camera checks against its
    // test pattern (unless it only counts the bytes).
    double Upload(const std::vector<std::uint8_t>& data)
    {
        store->ClearUploads();
        agent->Start();
        const Clock::time_point start = Clock::now();
        const bool sent = agent->SendData(kFileType, {}, data.data(), data.size(), L"bench.bin");
        const double seconds = Seconds(start, Clock::now());
        agent->Stop();
        const std::vector<Q7::Sim::Upload> uploads = store->Uploads();
        if (!sent || uploads.size() != 1 || uploads.front().size != data.size() ||
            !uploads.front().patternMatched)
            throw std::runtime_error("the upload did not arrive byte for byte");
        return seconds;
    }

    // Seconds of a download of log kLogId into `log`.
    double Download(std::vector<std::uint8_t>& log)
    {
        agent->Start();
        const Clock::time_point start = Clock::now();
        agent->DownloadLog(log, kLogKind, {}, false);
        const double seconds = Seconds(start, Clock::now());
        agent->Stop();
        return seconds;
    }

    std::shared_ptr<Q7::Sim::ProgrammingStore> store = std::make_shared<Q7::Sim::ProgrammingStore>();
    std::unique_ptr<Q7::KPX::ProgrammingAgent> agent;

private:
    Q7::Sim::Camera m_camera;
    std::unique_ptr<Q7::KPX::Transport::TcpDevice> m_device;
    std::unique_ptr<Q7::KPX::ChannelTransport> m_transport;
};

std::vector<std::uint8_t> PatternBytes(std::uint64_t size)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    Q7::Sim::FillPattern(0, bytes);
    return bytes;
}

// ---------------------------------------------------------------- 1. memory

double PeakResidentMiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
}

// In a child process: uploads `size` bytes through SendData and prints the
// peak resident memory. Answers false when the child failed.
bool MeasureUploadMemory(std::uint64_t size)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0)
    {
        int code = 0;
        try
        {
            const double before = PeakResidentMiB();
            const std::vector<std::uint8_t> data = PatternBytes(size);
            {
                ProgrammingRig rig;
                rig.Upload(data);
            }
            const double peak = PeakResidentMiB();
            const double dataMiB = static_cast<double>(size) / kMiB;
            std::printf(
                "memory: a %.0f MiB upload through SendData peaked at %.0f MiB resident: the data plus "
                "%.0f MiB (the process before it: %.0f MiB; goal: data plus less than 128 MiB)\n",
                dataMiB, peak, peak - dataMiB, before);
        }
        catch (const std::exception& error)
        {
            std::fprintf(stderr, "memory measurement failed: %s\n", error.what());
            code = 1;
        }
        std::fflush(stdout);
        std::_Exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---------------------------------------------------------------- 2. an inflated announcement

void MeasureInflatedAnnouncement(ProgrammingRig& rig)
{
    const std::vector<std::uint8_t> small = PatternBytes(4096);
    rig.store->SetLog(kLogId, small, false);
    std::vector<double> seconds;
    for (int round = 0; round < 5; ++round)
    {
        Q7::Sim::ProgrammingFault fault;
        fault.kind = Q7::Sim::ProgrammingFaultKind::AnnounceSize;
        fault.announcedSize = Q7::KPX::ProgrammingAgent::kMaxLogSize; // 1000 MiB
        rig.store->AddFault(fault);
        std::vector<std::uint8_t> log; // a caller's first download
        seconds.push_back(rig.Download(log));
        if (log != small)
            throw std::runtime_error("the small log did not arrive byte for byte");
    }
    std::printf("a 4 KiB log announced as 1000 MiB: downloaded in %.1f ms (median of 5)\n",
                Median(seconds) * 1e3);
}

// ---------------------------------------------------------------- 3. and 4. throughput

void MeasureThroughput(ProgrammingRig& rig, std::uint64_t total, unsigned rounds, std::uint32_t cameraBlock)
{
    const std::vector<std::uint8_t> data = PatternBytes(total);
    rig.store->SetLog(kLogId, data, false);
    rig.store->SetDownloadBlockSize(cameraBlock);
    std::vector<std::uint8_t> log; // reused by every download, as an application would
    const double mib = static_cast<double>(total) / kMiB;

    // 3. The cold round.
    {
        const double socket = MiBPerSecond(total, PlainSocketSeconds(total));
        const double up = MiBPerSecond(total, rig.Upload(data));
        const double down = MiBPerSecond(total, rig.Download(log));
        if (log != data)
            throw std::runtime_error("the log did not arrive byte for byte");
        std::printf("cold round (buffers touched for the first time), %.0f MiB each way: socket pair %.0f "
                    "MiB/s, upload %.0f MiB/s (%.2f), download %.0f MiB/s (%.2f)\n",
                    mib, socket, up, up / socket, down, down / socket);
    }

    // 4. The timed rounds.
    rig.store->SetUploadHandling(Q7::Sim::ProgrammingStore::UploadHandling::CountOnly);
    std::printf("steady state, %.0f MiB each way (the camera sends DataBlocks of %u KiB), MiB/s and ratio to "
                "the mean of the socket pairs around it:\n",
                mib, cameraBlock / 1024);
    std::printf("%6s %8s %8s %8s %8s %8s %8s %8s\n", "round", "socket", "upload", "ratio", "socket",
                "download", "ratio", "socket");
    std::vector<double> upRatios, downRatios;
    for (unsigned round = 1; round <= rounds; ++round)
    {
        const double socketBefore = MiBPerSecond(total, PlainSocketSeconds(total));
        const double up = MiBPerSecond(total, rig.Upload(data));
        const double socketBetween = MiBPerSecond(total, PlainSocketSeconds(total));
        const double down = MiBPerSecond(total, rig.Download(log));
        const double socketAfter = MiBPerSecond(total, PlainSocketSeconds(total));
        if (log != data)
            throw std::runtime_error("the log did not arrive byte for byte");
        upRatios.push_back(up / ((socketBefore + socketBetween) / 2));
        downRatios.push_back(down / ((socketBetween + socketAfter) / 2));
        std::printf("%6u %8.0f %8.0f %8.2f %8.0f %8.0f %8.2f %8.0f\n", round, socketBefore, up,
                    upRatios.back(), socketBetween, down, downRatios.back(), socketAfter);
    }
    std::printf("median of %u rounds, transfer / socket pair: upload %.2f, download %.2f\n", rounds,
                Median(upRatios), Median(downRatios));
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
    const unsigned rounds = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 9;
    const std::uint64_t blockKiB = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024;
    if (mib == 0 || mib >= 4096 || rounds == 0 || blockKiB == 0 || blockKiB > 16384)
    {
        std::fprintf(stderr,
                     "usage: %s [MiB per transfer, 1 to 4095] [rounds] [camera block KiB, 1 to 16384]\n",
                     argv[0]);
        return 2;
    }
    try
    {
        // First, while this process runs no thread yet.
        if (!MeasureUploadMemory(512 * kMiB))
            return 1;
        ProgrammingRig rig;
        MeasureInflatedAnnouncement(rig);
        MeasureThroughput(rig, mib * kMiB, rounds, static_cast<std::uint32_t>(blockKiB * 1024));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
