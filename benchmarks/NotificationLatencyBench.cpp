// Latency of one notification: from posting an event to the Sdk's notification
// list (as the camera bridge does) until the listener's thread, waiting in the
// flat WaitForNotification, has it back. The goal is a median of at most 25 us,
// beside a bare condition-variable hand-off between the same two threads
// measured in the same run. The p99 of all samples is reported.
//
// Usage: notification_latency_bench [samples per round, default 20000]
// Prints one line per round and a summary; exits 1 when the median is above the
// goal. Build in Release (or RelWithDebInfo) for meaningful figures.

#include "NotificationList.h"
#include "Sdk.h"

#include <TavrinCpp/NotificationEvent.h>
#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 7;
constexpr double kGoalUs = 25.0;
// Time the sender leaves the receiver after each sample, so that it is back in
// its wait when the next one is sent.
constexpr auto kSettle = std::chrono::microseconds(30);

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

void SpinFor(Clock::duration duration)
{
    const Clock::time_point until = Clock::now() + duration;
    while (Clock::now() < until)
    {
    }
}

// Runs samples hand-offs: send() at a noted time, receive() on another thread
// returns once the item arrived. Gives each latency in microseconds.
std::vector<double> Measure(int samples, const std::function<void()>& send,
                            const std::function<bool()>& receive)
{
    std::vector<double> latencies;
    latencies.reserve(static_cast<std::size_t>(samples));
    std::atomic<Clock::rep> sentAt{0};
    std::atomic<int> received{0};
    std::thread receiver(
        [&]
        {
            for (int i = 0; i < samples; ++i)
            {
                if (!receive())
                {
                    std::fputs("receive failed\n", stderr);
                    std::exit(2);
                }
                const Clock::rep now = Clock::now().time_since_epoch().count();
                latencies.push_back(std::chrono::duration<double, std::micro>(
                                        Clock::duration(now - sentAt.load(std::memory_order_acquire)))
                                        .count());
                received.store(i + 1, std::memory_order_release);
            }
        });
    for (int i = 0; i < samples; ++i)
    {
        SpinFor(kSettle);
        sentAt.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        send();
        while (received.load(std::memory_order_acquire) != i + 1)
        {
        }
    }
    receiver.join();
    return latencies;
}

// The bare hand-off: a mutex, a condition variable and a queue.
class BareHandOff
{
public:
    void Send()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(1);
        m_condition.notify_one();
    }
    bool Receive()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return !m_items.empty(); });
        m_items.pop_front();
        return true;
    }

private:
    std::mutex m_mutex; // guards m_items
    std::condition_variable m_condition;
    std::deque<int> m_items;
};

} // namespace

int main(int argc, char** argv)
{
    const int samples = argc > 1 ? std::atoi(argv[1]) : 20000;
    std::uint32_t listenerId = 0;
    if (samples <= 0 || Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success ||
        Q7::TavrinC::RegisterListener(listenerId) != Q7::Tavrin::Success ||
        Q7::TavrinC::EnableCatchAllNotifications(listenerId) != Q7::Tavrin::Success)
    {
        std::fprintf(stderr, "usage: notification_latency_bench [samples per round > 0]\n");
        return 2;
    }
    Q7::TavrinC::NotificationList& list = Sdk::GetInstance(false)->Notifications();
    const auto event = Q7::Tavrin::BuildNotificationEvent(Q7::Tavrin::EventType::CameraImageAdded, 1, 0);

    std::vector<double> sdkMedians;
    std::vector<double> bareMedians;
    std::vector<double> all;
    for (int round = 0; round < kRounds; ++round)
    {
        const std::vector<double> sdk = Measure(
            samples, [&] { list.Post(event); },
            [&]
            {
                Q7::Tavrin::ErrorCode code = Q7::Tavrin::GeneralError;
                return Q7::TavrinC::WaitForNotification(listenerId, code, 0) != nullptr && code == 0;
            });
        BareHandOff bare;
        const std::vector<double> raw = Measure(
            samples, [&] { bare.Send(); }, [&] { return bare.Receive(); });
        sdkMedians.push_back(Percentile(sdk, 0.5));
        bareMedians.push_back(Percentile(raw, 0.5));
        all.insert(all.end(), sdk.begin(), sdk.end());
        std::printf(
            "round %d: post to WaitForNotification median %.2f us (p99 %.2f us), bare hand-off median "
            "%.2f us (p99 %.2f us)\n",
            round + 1, sdkMedians.back(), Percentile(sdk, 0.99), bareMedians.back(), Percentile(raw, 0.99));
    }
    const double median = Percentile(sdkMedians, 0.5);
    const double bareMedian = Percentile(bareMedians, 0.5);
    std::printf(
        "median of %d rounds of %d samples: %.2f us (goal <= %.0f us), p99 of all %.2f us, %.2f x the bare "
        "hand-off %.2f us\n",
        kRounds, samples, median, kGoalUs, Percentile(all, 0.99), median / bareMedian, bareMedian);
    Q7::TavrinC::DeregisterListener(listenerId);
    Q7::TavrinC::CloseSdk(false);
    return median <= kGoalUs ? 0 : 1;
}
