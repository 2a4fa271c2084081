// The camera bridge against a simulated camera on 127.0.0.210:7381 over
// loopback TCP:
//  - open: OpenIpCamera until the camera is open with its property cache
//    built (then CloseCamera, timed apart), beside a plain loopback TCP round
//    trip of 64 bytes measured in the same run;
//  - cached read: GetPropertyValue of a scalar property (texts of at most 15
//    bytes, no value list) answered from the camera's property cache, beside
//    copying the same whole record out of a map under a mutex.
//
// Usage: bridge_bench [rounds, default 5] [opens per round, default 20]
// Each round reports the median and the 99th percentile; the summary gives the
// median of the rounds' figures and their ratio to the raw limit. Goals: open
// at most 50 ms median, cached read at most 1 us median. Build in Release.

#include "BenchSupport.h"
#include "KpxLibTransport.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace
{

using Bench::Clock;
using Bench::Median;
using Bench::Simulated::Figures;
using Q7::TavrinC::KpxLibTransport;

constexpr const char* kAddress = "127.0.0.210";
constexpr std::uint32_t kGain = 0x100B; // f32, name "Gain", group "Exposure", nothing else

double Nanoseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::nano>(d).count();
}

// Per-read nanoseconds of copying the whole record out of a locked map.
Figures RawReadNanoseconds(const KpxLibTransport::Property& record)
{
    std::mutex mutex;
    std::map<std::uint32_t, KpxLibTransport::Property> map{{record.id, record}};
    KpxLibTransport::Property copy;
    const Figures figures = Bench::Simulated::PerCallNanoseconds(
        [&]
        {
            std::lock_guard lock(mutex);
            copy = map.find(record.id)->second;
        });
    if (copy.id != record.id)
        throw std::logic_error("lost the record");
    return figures;
}

struct BridgeFigures
{
    Figures openMs;
    Figures closeMs;
    Figures readNs;
    KpxLibTransport::Property record;
};

BridgeFigures MeasureBridge(KpxLibTransport& bridge, std::size_t opens)
{
    BridgeFigures figures;
    std::vector<double> openTimes;
    std::vector<double> closeTimes;
    for (std::size_t i = 0; i < opens; ++i)
    {
        int id = 0;
        const Clock::time_point start = Clock::now();
        if (bridge.OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("open failed: ") + Q7::TavrinC::GetErrorMessage());
        const Clock::time_point opened = Clock::now();
        if (bridge.CloseCamera(id) != Q7::Tavrin::Success)
            throw std::runtime_error("close failed");
        openTimes.push_back(Nanoseconds(opened - start) / 1e6);
        closeTimes.push_back(Nanoseconds(Clock::now() - opened) / 1e6);
    }
    figures.openMs = Bench::Simulated::Summarise(std::move(openTimes));
    figures.closeMs = Bench::Simulated::Summarise(std::move(closeTimes));

    int id = 0;
    if (bridge.OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success ||
        bridge.GetKpxProperty(id, kGain, figures.record) != Q7::Tavrin::Success)
        throw std::runtime_error("the property cache was not built");
    Q7::Tavrin::PropertyValue value;
    figures.readNs = Bench::Simulated::PerCallNanoseconds(
        [&]
        {
            if (bridge.GetPropertyValue(id, kGain, value) != Q7::Tavrin::Success)
                throw std::runtime_error("a cached read failed");
        });
    bridge.CloseCamera(id);
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const std::size_t opens = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20;
    if (rounds == 0 || opens == 0)
    {
        std::fprintf(stderr, "usage: bridge_bench [rounds >= 1] [opens per round >= 1]\n");
        return 2;
    }
    try
    {
        const Bench::Simulated::DeviceControlCamera camera(kAddress, KpxLibTransport::kCameraPort);
        if (Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success)
            throw std::runtime_error("the SDK did not open");
        KpxLibTransport& bridge = Sdk::GetInstance(false)->Transport();

        std::vector<double> openMedian, openP99, closeMedian, readMedian, readP99, rawTrip, rawRead;
        for (std::size_t round = 1; round <= rounds; ++round)
        {
            const BridgeFigures measured = MeasureBridge(bridge, opens);
            const Figures trip = Bench::Simulated::LoopbackRoundTripMicroseconds();
            const Figures copy = RawReadNanoseconds(measured.record);
            std::printf(
                "round %zu: open %.1f ms median, %.1f ms p99 (close %.1f ms median; raw loopback round "
                "trip %.1f us); cached read %.0f ns median, %.0f ns p99 (raw locked copy %.0f ns)\n",
                round, measured.openMs.median, measured.openMs.p99, measured.closeMs.median, trip.median,
                measured.readNs.median, measured.readNs.p99, copy.median);
            openMedian.push_back(measured.openMs.median);
            openP99.push_back(measured.openMs.p99);
            closeMedian.push_back(measured.closeMs.median);
            readMedian.push_back(measured.readNs.median);
            readP99.push_back(measured.readNs.p99);
            rawTrip.push_back(trip.median);
            rawRead.push_back(copy.median);
        }
        std::printf("median of %zu rounds: open %.1f ms (p99 %.1f ms), %.0f x the raw loopback round trip; "
                    "close %.1f ms; cached read %.0f ns (p99 %.0f ns), %.2f x the raw locked copy\n",
                    rounds, Median(openMedian), Median(openP99),
                    Median(openMedian) * 1000.0 / Median(rawTrip), Median(closeMedian), Median(readMedian),
                    Median(readP99), Median(readMedian) / Median(rawRead));
        Q7::TavrinC::CloseSdk(false);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "bridge_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
