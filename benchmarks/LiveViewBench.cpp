// Live view against the simulated camera over loopback TCP, with ~1 MiB JPEG
// frames: frames a second when the camera sends as fast as the host
// acknowledges (beside a plain loopback socket pair moving the same bytes),
// and the latency from the camera's DataBegin to the frame callback at 120
// paced frames a second (p99). Goals: 120 frames a second, p99 <= 1 ms.
// Median of the rounds (at least five).
#include "Agents/KPXLiveViewImage.h"
#include "BenchSupport.h"
#include "Camera/KPXCamera.h"
#include "SimCamera.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace
{

using Bench::Clock;
using Q7::KPX::Camera;
using Q7::KPX::ImageReceivePackage;
using Q7::KPX::LiveViewImage;

constexpr std::uint32_t kJpegSize = 1 << 20;

// The frames a callback saw: frame number -> arrival.
struct Arrivals
{
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::uint32_t, Clock::time_point> frames;
    std::uint64_t bytes = 0;

    void Add(const ImageReceivePackage& package)
    {
        const Clock::time_point now = Clock::now();
        const LiveViewImage image(package);
        std::lock_guard lock(mutex);
        frames.emplace(image.GetFrameNumber(), now);
        bytes += package.size;
        changed.notify_all();
    }

    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return frames.size() >= count; });
    }
};

struct Round
{
    double framesPerSecond = 0;
    double rawRatio = 0; // the frames' bytes a second / a plain socket pair's
    double p99Ms = 0;
    double medianMs = 0;
};

Round RunRound(std::size_t frames)
{
    Round round;
    Q7::Sim::Camera sim;
    sim.SetLogSink({});
    sim.LiveView().SetJpegSize(kJpegSize);
    sim.Start("127.0.0.1", 0);
    Q7::KPX::Transport::DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
    moniker.tcp.host.Assign("127.0.0.1");
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = sim.Port();
    moniker.tcp.connectTimeoutSeconds = 5;
    {
        Camera camera(moniker);
        camera.SetClientIdentity(nullptr);
        if (camera.Initialize(true) != 0 || camera.InitializeAgents(nullptr) != 0)
            throw std::runtime_error("the camera did not open");
        Arrivals unthrottled;
        camera.SetLiveViewImageCallback([&](ImageReceivePackage& package) { unthrottled.Add(package); });
        camera.StartLiveView();
        unthrottled.WaitFor(5); // warm: pool buffers made
        std::size_t start = 0;
        std::uint64_t startBytes = 0;
        {
            std::lock_guard lock(unthrottled.mutex);
            start = unthrottled.frames.size();
            startBytes = unthrottled.bytes;
        }
        const Clock::time_point begin = Clock::now();
        if (!unthrottled.WaitFor(start + frames))
            throw std::runtime_error("frames stopped");
        const double seconds = Bench::Seconds(begin, Clock::now());
        std::uint64_t bytes = 0;
        {
            std::lock_guard lock(unthrottled.mutex);
            bytes = unthrottled.bytes - startBytes;
            round.framesPerSecond = static_cast<double>(unthrottled.frames.size() - start) / seconds;
        }
        round.rawRatio = (static_cast<double>(bytes) / seconds) /
                         (static_cast<double>(bytes) / Bench::PlainSocketSeconds(bytes));
        camera.StopLiveView();

        // Paced: the latency of each frame from its DataBegin to the callback.
        Arrivals paced;
        camera.SetLiveViewImageCallback([&](ImageReceivePackage& package) { paced.Add(package); });
        sim.LiveView().SetFrameRate(120);
        camera.StartLiveView();
        if (!paced.WaitFor(frames + 5))
            throw std::runtime_error("paced frames stopped");
        camera.StopLiveView();
        std::map<std::uint32_t, Clock::time_point> begun;
        for (const Q7::Sim::SentFrame& sent : sim.LiveView().Sent())
            begun.emplace(sent.frameNumber, sent.begun);
        std::vector<double> latencies;
        {
            std::lock_guard lock(paced.mutex);
            std::size_t skipped = 0;
            for (const auto& [number, arrival] : paced.frames)
            {
                if (skipped++ < 5 || begun.count(number) == 0)
                    continue;
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(arrival - begun[number]).count());
            }
        }
        std::sort(latencies.begin(), latencies.end());
        round.medianMs = Bench::Median(latencies);
        round.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    }
    sim.Stop();
    return round;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const std::size_t frames = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 240;
    if (rounds < 1 || frames < 10)
    {
        std::fprintf(stderr, "usage: live_view_bench [rounds >= 1] [frames per round >= 10]\n");
        return 2;
    }
    try
    {
        std::vector<double> fps, ratio, p99, median;
        for (std::size_t i = 0; i < rounds; ++i)
        {
            const Round round = RunRound(frames);
            std::printf("round %zu: %.1f frames/s unthrottled (%.2f x a plain socket pair), paced 120/s: "
                        "latency %.3f ms median, %.3f ms p99\n",
                        i + 1, round.framesPerSecond, round.rawRatio, round.medianMs, round.p99Ms);
            fps.push_back(round.framesPerSecond);
            ratio.push_back(round.rawRatio);
            p99.push_back(round.p99Ms);
            median.push_back(round.medianMs);
        }
        std::printf(
            "median of %zu rounds: %.1f frames/s of 1 MiB JPEG (goal 120), %.2f x a plain socket pair; "
            "at 120 paced frames/s DataBegin to callback %.3f ms median, %.3f ms p99 (goal <= 1 ms)\n",
            rounds, Bench::Median(fps), Bench::Median(ratio), Bench::Median(median), Bench::Median(p99));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "live_view_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
