// The C++ Camera class against a simulated camera on 127.0.0.211:7381 over
// loopback TCP, beside the camera bridge underneath it in the same run:
//  - open: Camera::OpenIpCamera (the bridge's open, then the subscriptions and
//    the image capabilities, which the simulator offers: no capability waits)
//    beside the bridge's OpenIpCamera alone; each closed again, timed apart;
//  - cached read: Camera::Property of the scalar property of bridge_bench
//    (0x100B "Gain") beside the bridge's GetPropertyValue of the same.
//
// Usage: camera_facade_bench [rounds, default 5] [opens per round, default 20]
// Each round reports medians; the summary gives the median of the rounds'
// figures. Goals: the facade's open within 5 ms of the bridge's median, its
// read at most 1.5 us median. Build in Release.

#include "BenchSupport.h"
#include "KpxLibTransport.h"
#include "Sdk.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Sdk.h>
#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace
{

using Bench::Clock;
using Bench::Median;
using Q7::TavrinC::KpxLibTransport;

constexpr const char* kAddress = "127.0.0.211";
constexpr std::uint32_t kGain = 0x100B;

double Milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Median nanoseconds per call of read, sampled over batches.
template <typename Read>
double ReadNanoseconds(Read&& read)
{
    return Bench::Simulated::PerCallNanoseconds(std::forward<Read>(read)).median;
}

struct Round
{
    double bridgeOpenMs = 0;
    double facadeOpenMs = 0;
    double bridgeReadNs = 0;
    double facadeReadNs = 0;
};

Round Measure(KpxLibTransport& bridge, std::size_t opens)
{
    Round round;
    std::vector<double> bridgeOpens;
    std::vector<double> facadeOpens;
    for (std::size_t i = 0; i < opens; ++i)
    {
        int id = 0;
        Clock::time_point start = Clock::now();
        if (bridge.OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("bridge open failed: ") + Q7::TavrinC::GetErrorMessage());
        bridgeOpens.push_back(Milliseconds(Clock::now() - start));
        bridge.CloseCamera(id);

        start = Clock::now();
        Q7::Tavrin::Camera camera = Q7::Tavrin::Camera::OpenIpCamera(kAddress, "", 5);
        facadeOpens.push_back(Milliseconds(Clock::now() - start));
        if (!camera.Capabilities())
            throw std::runtime_error("the camera opened without its image capabilities");
    }
    round.bridgeOpenMs = Median(std::move(bridgeOpens));
    round.facadeOpenMs = Median(std::move(facadeOpens));

    Q7::Tavrin::Camera camera = Q7::Tavrin::Camera::OpenIpCamera(kAddress, "", 5);
    Q7::Tavrin::PropertyValue value;
    round.bridgeReadNs = ReadNanoseconds(
        [&]
        {
            if (bridge.GetPropertyValue(camera.Id(), kGain, value) != Q7::Tavrin::Success)
                throw std::runtime_error("a cached read failed");
        });
    round.facadeReadNs = ReadNanoseconds([&] { value = camera.Property(kGain); });
    return round;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const std::size_t opens = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20;
    if (rounds == 0 || opens == 0)
    {
        std::fprintf(stderr, "usage: camera_facade_bench [rounds >= 1] [opens per round >= 1]\n");
        return 2;
    }
    try
    {
        const Bench::Simulated::DeviceControlCamera simulator(kAddress, KpxLibTransport::kCameraPort);
        Q7::Tavrin::EnsureOpen();
        KpxLibTransport& bridge = Sdk::GetInstance(false)->Transport();

        std::vector<double> bridgeOpen, facadeOpen, bridgeRead, facadeRead;
        for (std::size_t r = 1; r <= rounds; ++r)
        {
            const Round round = Measure(bridge, opens);
            std::printf("round %zu: open %.2f ms through Camera, %.2f ms through the bridge (+%.2f ms); "
                        "cached read %.0f ns through Camera, %.0f ns through the bridge\n",
                        r, round.facadeOpenMs, round.bridgeOpenMs, round.facadeOpenMs - round.bridgeOpenMs,
                        round.facadeReadNs, round.bridgeReadNs);
            bridgeOpen.push_back(round.bridgeOpenMs);
            facadeOpen.push_back(round.facadeOpenMs);
            bridgeRead.push_back(round.bridgeReadNs);
            facadeRead.push_back(round.facadeReadNs);
        }
        std::printf(
            "median of %zu rounds: open %.2f ms through Camera, %.2f ms through the bridge (+%.2f ms); "
            "cached read %.0f ns through Camera, %.2f x the bridge's %.0f ns\n",
            rounds, Median(facadeOpen), Median(bridgeOpen), Median(facadeOpen) - Median(bridgeOpen),
            Median(facadeRead), Median(facadeRead) / Median(bridgeRead), Median(bridgeRead));
        Q7::Tavrin::EnsureClosed();
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "camera_facade_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
