// Throughput of image transfer (channels 4.1 and 4.2) over loopback TCP
// against the simulated camera, through the camera object as an application
// uses it: StartTransfer, then captured images handed to the receive callback
// in the agent's pool buffers. Each image is timed from the moment the camera
// queues its DataBegin until the application's callback has it, so the
// camera's own making of the image's bytes (before its DataBegin) is left
// out; the rate of a round is its bytes over the sum of those times, beside
// two raw loopback socket pairs measured in the same run:
// - the same-bytes pair: each image's bytes, written into an image-sized
//   buffer just before (as the camera makes them), sent over a plain loopback
//   pair and received into a buffer of the pool buffer's size, image by
//   image. The raw limit of moving these images from memory to memory; the
//   goal is measured against it.
// - the plain pair: the same number of bytes from one 1 MiB buffer into
//   another, both staying in the processor's caches. Shown for reference: on
//   a machine whose memory is slower than its caches, no transport of large
//   images reaches it (the same-bytes pair itself does not).
//
// Usage: image_transfer_bench [MiB per image, default 64] [images per round, default 16]
//                             [rounds, default 5]
//
// In the order printed:
// 1. The cold round: the run's first images, for which the pool allocates its
//    two buffers (1.5 times the image, at least 100 MiB) and touches their
//    pages for the first time. Every image of it is compared byte for byte
//    with what the camera sent (outside the timing). Reported on its own.
// 2. The timed rounds, the steady state: the pool's buffers are reused. Each
//    round measures both pairs, the images and both pairs again, and divides
//    the images' rate by the mean of each pair's two rates, so that a change
//    of the machine's load moves both alike. The callback only notes the time
//    and the size and lets the buffer go at once.
//    Printed per round: the rates, the ratios, and the per-image overhead
//    (the median image's time minus the time the same-bytes pair takes for
//    an image). Then the median ratios of the rounds (the goal: at least 0.8
//    of the same-bytes pair).
//
// The camera sends DataBlocks of 1 MiB, each read by the host straight into
// the pool buffer at its position, with no copy on the way to the callback.
// Build in Release (or the default preset) for meaningful figures.

#include "BenchSupport.h"
#include "Camera/KPXCamera.h"
#include "SimCamera.h"
#include "SimImageStore.h"
#include "SimImageTransferHandler.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace
{

using namespace Bench;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr auto kRoundBound = std::chrono::minutes(5);

struct Arrival
{
    Clock::time_point at;
    std::uint32_t size = 0;
};

// The simulated camera, the camera object on it with image receiving
// started, and what the receive callback saw.
class TransferRig
{
public:
    TransferRig() : m_sim(Q7::Sim::CameraDescription::Default())
    {
        m_sim.SetLogSink({});
        m_sim.Start("127.0.0.1", 0);
        Q7::KPX::Transport::DeviceMoniker moniker;
        moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
        moniker.tcp.host.Assign("127.0.0.1");
        moniker.tcp.address = 0x7F000001;
        moniker.tcp.port = m_sim.Port();
        moniker.tcp.connectTimeoutSeconds = 5;
        m_camera = std::make_unique<Q7::KPX::Camera>(moniker);
        if (m_camera->Initialize(true) != 0 || m_camera->InitializeAgents(nullptr) != 0 ||
            !m_camera->HasImageTransfer())
            throw std::runtime_error("cannot open the simulated camera's image transfer");
        m_camera->SetImageReceiveCallback([this](Q7::KPX::ImageReceivePackage& package)
                                          { Receive(package); });
        m_camera->StartTransfer();
    }

    ~TransferRig()
    {
        m_camera->StopTransfer();
        m_camera.reset();
        const Q7::Sim::Observations observed = m_sim.Snapshot();
        if (!observed.violations.empty())
            std::fprintf(stderr, "camera saw protocol violations:\n%s\n",
                         observed.DescribeViolations().c_str());
        m_sim.Stop();
    }

    TransferRig(const TransferRig&) = delete;
    TransferRig& operator=(const TransferRig&) = delete;

    // Captures `count` images of `size` bytes and waits for them; answers
    // each image's seconds from its DataBegin to the callback. With `check`,
    // every image is compared with the camera's bytes in the callback.
    std::vector<double> Round(std::uint64_t size, unsigned count, bool check)
    {
        std::vector<Q7::Sim::SimImage> images;
        {
            std::lock_guard lock(m_mutex);
            m_arrivals.clear();
            m_expected.clear();
            m_check = check;
            for (unsigned i = 0; i < count; ++i)
            {
                Q7::Sim::SimImage image = Q7::Sim::ImageStore::MakeImage(m_nextId++);
                image.info.imageSize = static_cast<std::uint32_t>(size);
                if (check)
                    m_expected[image.info.imageSize].push_back(image.FileBytes());
                images.push_back(std::move(image));
            }
        }
        m_sim.Images().Capture(images);
        {
            std::unique_lock lock(m_mutex);
            if (!m_changed.wait_for(lock, kRoundBound, [&] { return m_arrivals.size() >= count; }))
                throw std::runtime_error("the images did not all arrive in time");
            if (m_failed)
                throw std::runtime_error("an image did not arrive byte for byte");
        }
        std::map<std::uint32_t, Clock::time_point> begun;
        for (const Q7::Sim::SentImage& sent : m_sim.ImageTransfer().Sent())
            begun[sent.dataId] = sent.begun;
        std::vector<double> seconds;
        std::lock_guard lock(m_mutex);
        for (const auto& [dataId, arrival] : m_arrivals)
        {
            if (arrival.size != size || begun.count(dataId) == 0)
                throw std::runtime_error("an image arrived with the wrong size or id");
            seconds.push_back(Seconds(begun[dataId], arrival.at));
        }
        return seconds;
    }

private:
    void Receive(Q7::KPX::ImageReceivePackage& package)
    {
        const Clock::time_point at = Clock::now();
        std::lock_guard lock(m_mutex);
        m_arrivals[package.imageId] = {at, package.size};
        if (m_check)
        {
            // Images of one round share one size and arrive in capture order.
            std::vector<std::vector<std::uint8_t>>& expected = m_expected[package.size];
            const std::uint8_t* const data = package.buffer.GetData();
            if (expected.empty() || std::vector<std::uint8_t>(data, data + package.size) != expected.front())
                m_failed = true;
            if (!expected.empty())
                expected.erase(expected.begin());
        }
        m_changed.notify_all();
    }

    Q7::Sim::Camera m_sim;
    std::unique_ptr<Q7::KPX::Camera> m_camera;
    std::uint32_t m_nextId = 1000;

    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_changed;
    std::map<std::uint32_t, Arrival> m_arrivals; // by data id
    std::map<std::uint32_t, std::vector<std::vector<std::uint8_t>>> m_expected;
    bool m_check = false;
    bool m_failed = false;
};

double Sum(const std::vector<double>& values)
{
    double sum = 0;
    for (const double value : values)
        sum += value;
    return sum;
}

// Both raw pairs' rates for `count` images of `imageSize` bytes.
struct PairRates
{
    double sameBytes = 0;
    double plain = 0;
};

PairRates MeasurePairs(std::uint64_t imageSize, unsigned count)
{
    const std::uint64_t total = imageSize * count;
    constexpr std::uint64_t kMinPoolBuffer = 100 * kMiB; // the pool's least buffer
    const std::uint64_t poolBuffer = std::max(imageSize + imageSize / 2, kMinPoolBuffer);
    return {MiBPerSecond(total, MemoryToMemorySocketSeconds(imageSize, count, poolBuffer)),
            MiBPerSecond(total, PlainSocketSeconds(total))};
}

void Measure(std::uint64_t imageSize, unsigned count, unsigned rounds)
{
    TransferRig rig;
    const std::uint64_t total = imageSize * count;
    const double imageMiB = static_cast<double>(imageSize) / kMiB;
    const double totalMiB = static_cast<double>(total) / kMiB;

    // 1. The cold round.
    {
        const PairRates pairs = MeasurePairs(imageSize, count);
        const std::vector<double> seconds = rig.Round(imageSize, count, true);
        const double rate = MiBPerSecond(total, Sum(seconds));
        std::printf(
            "cold round (pool buffers allocated and touched for the first time), %u images of %.0f MiB, "
            "each checked byte for byte: images %.0f MiB/s, same-bytes pair %.0f MiB/s (%.2f), plain pair "
            "%.0f MiB/s (%.2f)\n",
            count, imageMiB, rate, pairs.sameBytes, rate / pairs.sameBytes, pairs.plain, rate / pairs.plain);
    }

    // 2. The timed rounds.
    std::printf(
        "steady state, %u images of %.0f MiB (%.0f MiB) per round, from the camera's DataBegin to the "
        "callback; MiB/s (the pairs' mean of before and after), ratios, per-image overhead:\n",
        count, imageMiB, totalMiB);
    std::printf("%6s %8s %10s %8s %8s %8s %12s\n", "round", "images", "same-bytes", "ratio", "plain", "ratio",
                "overhead ms");
    std::vector<double> ratios;
    std::vector<double> plainRatios;
    std::vector<double> overheads;
    for (unsigned round = 1; round <= rounds; ++round)
    {
        const PairRates before = MeasurePairs(imageSize, count);
        const std::vector<double> seconds = rig.Round(imageSize, count, false);
        const PairRates after = MeasurePairs(imageSize, count);
        const double sameBytes = (before.sameBytes + after.sameBytes) / 2;
        const double plain = (before.plain + after.plain) / 2;
        const double rate = MiBPerSecond(total, Sum(seconds));
        ratios.push_back(rate / sameBytes);
        plainRatios.push_back(rate / plain);
        overheads.push_back(Median(seconds) - imageMiB / sameBytes);
        std::printf("%6u %8.0f %10.0f %8.2f %8.0f %8.2f %12.2f\n", round, rate, sameBytes, ratios.back(),
                    plain, plainRatios.back(), overheads.back() * 1e3);
    }
    std::printf("median of %u rounds: images / same-bytes pair %.2f (goal: at least 0.80), images / plain "
                "pair %.2f; per-image overhead %.2f ms\n",
                rounds, Median(ratios), Median(plainRatios), Median(overheads) * 1e3);
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const unsigned count = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 16;
    const unsigned rounds = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 5;
    if (mib == 0 || mib > 2048 || count == 0 || rounds < 5)
    {
        std::fprintf(stderr, "usage: %s [MiB per image, 1 to 2048] [images per round] [rounds, at least 5]\n",
                     argv[0]);
        return 2;
    }
    try
    {
        Measure(mib * kMiB, count, rounds);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
