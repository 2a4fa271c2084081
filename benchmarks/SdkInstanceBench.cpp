// Cost of what every flat function does around its real work: find the SDK
// instance (Sdk::GetInstance) and record a success as the thread's last error.
// The goal is a median of at most 100 ns per call pair, beside the raw cost of
// an uncontended mutex lock and unlock plus a thread-local store measured in
// the same run.
//
// Usage: sdk_instance_bench [calls per round, default 2000000]
// Prints one line per round and a summary; exits 1 when the median is above the
// goal. Build in Release (or RelWithDebInfo) for meaningful figures.

#include "LastError.h"
#include "Sdk.h"

#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr double kGoalNs = 100.0;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Nanoseconds per call of body, run calls times.
template <typename Body>
double NsPerCall(long calls, Body body)
{
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < calls; ++i)
    {
        body();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
           static_cast<double>(calls);
}

std::mutex g_rawMutex;
thread_local int t_rawRecord = 0;
volatile bool g_sink = false;

} // namespace

int main(int argc, char** argv)
{
    const long calls = argc > 1 ? std::atol(argv[1]) : 2000000;
    if (calls <= 0 || Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success)
    {
        std::fprintf(stderr, "usage: sdk_instance_bench [calls per round > 0]\n");
        return 2;
    }
    std::vector<double> sdk;
    std::vector<double> raw;
    for (int round = 0; round < kRounds; ++round)
    {
        sdk.push_back(NsPerCall(calls,
                                []
                                {
                                    g_sink = Sdk::GetInstance(false) != nullptr;
                                    Q7::TavrinC::SetLastErrorInfo(Q7::Tavrin::Success, "",
                                                                  "Q7::TavrinC::GetPropertyValue");
                                }));
        raw.push_back(NsPerCall(calls,
                                []
                                {
                                    {
                                        const std::lock_guard<std::mutex> lock(g_rawMutex);
                                        g_sink = true;
                                    }
                                    t_rawRecord = t_rawRecord + 1;
                                }));
        std::printf("round %d: GetInstance + success record %.1f ns, raw lock + thread-local store %.1f ns\n",
                    round + 1, sdk.back(), raw.back());
    }
    const double median = Median(sdk);
    const double rawMedian = Median(raw);
    std::printf("median of %d rounds of %ld calls: %.1f ns (goal <= %.0f ns), %.2f x the raw %.1f ns\n",
                kRounds, calls, median, kGoalNs, median / rawMedian, rawMedian);
    Q7::TavrinC::CloseSdk(false);
    return median <= kGoalNs ? 0 : 1;
}
