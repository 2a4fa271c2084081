// Property reads through the flat interface against a simulated camera on
// 127.0.0.212:7381 over loopback TCP:
//  - cached read: the flat GetPropertyValue of a scalar property (texts of at
//    most 15 bytes, no value list) answered from the camera's property cache,
//    beside the bridge's own read of it and copying the same whole record out
//    of a map under a mutex (the raw limit), all in the same run;
//  - specification: the flat GetPropertySpecification of the same property,
//    its group text rewritten into a path.
//
// Usage: flat_property_bench [rounds, default 5]
// Each round reports the median and the 99th percentile per call; the summary
// gives the median of the rounds' figures and the flat read's ratio to the raw
// limit. Goal: cached flat read at most 1 us median. Build in Release.

#include "BenchSupport.h"
#include "KpxLibTransport.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace
{

using Bench::Median;
using Bench::Simulated::Figures;
using Q7::TavrinC::KpxLibTransport;

constexpr const char* kAddress = "127.0.0.212";
constexpr std::uint32_t kGain = 0x100B; // f32, name "Gain", group "Exposure", nothing else
constexpr std::size_t kSamples = 20000;

// Nanoseconds per call of call, sampled over batches.
template <typename Call>
Figures Sample(Call&& call, std::size_t samples = kSamples)
{
    return Bench::Simulated::PerCallNanoseconds(std::forward<Call>(call), samples);
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    if (rounds == 0)
    {
        std::fprintf(stderr, "usage: flat_property_bench [rounds >= 1]\n");
        return 2;
    }
    try
    {
        const Bench::Simulated::DeviceControlCamera camera(kAddress, KpxLibTransport::kCameraPort);
        if (Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success ||
            Q7::TavrinC::RegisterDefaultFactory() != Q7::Tavrin::Success)
            throw std::runtime_error("the SDK did not open");
        int id = 0;
        if (Q7::TavrinC::OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("open failed: ") + Q7::TavrinC::GetErrorMessage());
        KpxLibTransport& bridge = Sdk::GetInstance(false)->Transport();
        KpxLibTransport::Property record;
        if (bridge.GetKpxProperty(id, kGain, record) != Q7::Tavrin::Success)
            throw std::runtime_error("the property cache was not built");

        std::vector<double> flatMedian, flatP99, bridgeMedian, rawMedian, specMedian, specP99;
        for (std::size_t round = 1; round <= rounds; ++round)
        {
            Q7::Tavrin::PropertyValue value;
            const Figures flat = Sample(
                [&]
                {
                    if (Q7::TavrinC::GetPropertyValue(id, kGain, value) != Q7::Tavrin::Success)
                        throw std::runtime_error("a flat read failed");
                });
            const Figures direct = Sample(
                [&]
                {
                    if (bridge.GetPropertyValue(id, kGain, value) != Q7::Tavrin::Success)
                        throw std::runtime_error("a bridge read failed");
                });
            std::mutex mutex;
            std::map<std::uint32_t, KpxLibTransport::Property> map{{record.id, record}};
            KpxLibTransport::Property copy;
            const Figures raw = Sample(
                [&]
                {
                    std::lock_guard lock(mutex);
                    copy = map.find(record.id)->second;
                });
            Q7::Tavrin::PropertySpecification specification;
            const Figures spec = Sample(
                [&]
                {
                    if (Q7::TavrinC::GetPropertySpecification(id, kGain, specification) !=
                        Q7::Tavrin::Success)
                        throw std::runtime_error("a specification read failed");
                },
                kSamples / 10);
            std::printf(
                "round %zu: flat cached read %.0f ns median, %.0f ns p99 (bridge %.0f ns; raw locked copy "
                "%.0f ns); specification %.0f ns median, %.0f ns p99 (group \"%s\")\n",
                round, flat.median, flat.p99, direct.median, raw.median, spec.median, spec.p99,
                specification.group.c_str());
            flatMedian.push_back(flat.median);
            flatP99.push_back(flat.p99);
            bridgeMedian.push_back(direct.median);
            rawMedian.push_back(raw.median);
            specMedian.push_back(spec.median);
            specP99.push_back(spec.p99);
        }
        std::printf(
            "median of %zu rounds: flat cached read %.0f ns (p99 %.0f ns), %.2f x the raw locked copy, "
            "bridge read %.0f ns; specification %.0f ns (p99 %.0f ns)\n",
            rounds, Median(flatMedian), Median(flatP99), Median(flatMedian) / Median(rawMedian),
            Median(bridgeMedian), Median(specMedian), Median(specP99));
        Q7::TavrinC::CloseSdk(false);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "flat_property_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
