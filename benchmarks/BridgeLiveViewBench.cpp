// Live view through the camera bridge against a simulated camera on
// 127.0.0.213:7381 over loopback TCP, with ~1 MiB JPEG frames. Every frame the
// live-view agent delivers (the camera-level live-view callback, which the
// bridge binds) is time-stamped before the bridge takes it; a listener thread
// waiting in the flat WaitForNotification time-stamps its
// CameraNewLiveViewImage event. Two phases per round:
//  - unthrottled: the camera sends as fast as the host acknowledges; frames a
//    second at the agent and at the listener;
//  - paced at 120 frames a second: the agent-level latency (the camera's
//    DataBegin to the callback) beside what the bridge adds (the callback to
//    the listener holding the event).
// The raw limit of the bridge's part is a bare hand-off between two threads
// over the very wait the listener's queue sleeps in (WakeSignal, timed as the
// listener's wait), measured in the same run at the same pace:
//  - from the agent's delivery thread: a third phase of paced frames whose
//    callback, instead of the bridge, stamps the frame and wakes a waiting
//    thread, so the wake-up meets the same moment of the pipeline (caches
//    just filled with the frame, the camera's and the agent's threads busy);
//  - between two otherwise idle threads, over that wait and over a condition
//    variable.
// What the bridge adds is its own callback-to-listener time less the first.
//
// Usage: bridge_live_view_bench [rounds, default 5] [frames per phase, default 240]
// The summary gives the median of the rounds' figures. Goal: the bridge adds at
// most 50 us at p99. Build in Release (or RelWithDebInfo).

#include "Agents/ImageTransfer/KPXLiveViewImage.h"
#include "KpxLibTransport.h"
#include "Sdk.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimLiveViewHandler.h"
#include "WakeSignal.h"

#include <TavrinCpp/EventTypes.h>
#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using Q7::TavrinC::KpxLibTransport;

constexpr const char* kAddress = "127.0.0.213";
constexpr std::uint32_t kJpegSize = 1 << 20;
constexpr std::size_t kWarmFrames = 5;
constexpr std::uint32_t kPacedRate = 120;

double Microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// The frames seen at the agent's callback and at the listener, in delivery
// order: the bridge posts one event per delivered frame, in order, so the
// n-th of each is the same frame.
class Stamps
{
public:
    void Delivered(Clock::time_point at, Clock::time_point posted, std::uint32_t frameNumber)
    {
        const std::lock_guard lock(m_mutex);
        m_delivered.push_back({at, posted, frameNumber});
    }

    void Received(Clock::time_point at)
    {
        const std::lock_guard lock(m_mutex);
        m_received.push_back(at);
        m_changed.notify_all();
    }

    // Waits until the listener has count events and every delivered frame,
    // and the agent's callback has recorded count frames (it records a frame
    // after the bridge posted it: the listener may see it first). The agent's
    // thread signals nothing here, so as not to add a wake-up per frame beside
    // the listener's: the last record is looked for every millisecond.
    bool WaitForReceived(std::size_t count)
    {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        std::unique_lock lock(m_mutex);
        while (m_delivered.size() < count || m_received.size() < std::max(count, m_delivered.size()))
        {
            if (Clock::now() > deadline)
                return false;
            m_changed.wait_for(lock, std::chrono::milliseconds(1));
        }
        return true;
    }

    std::size_t Received() const
    {
        const std::lock_guard lock(m_mutex);
        return m_received.size();
    }

    struct Frame
    {
        Clock::time_point delivered;
        Clock::time_point posted; // the bridge's callback returned
        std::uint32_t frameNumber = 0;
        Clock::time_point received;
    };

    // Frames [from, to) in delivery order.
    std::vector<Frame> Frames(std::size_t from, std::size_t to) const
    {
        const std::lock_guard lock(m_mutex);
        // A frame the agent delivers while live view stops may not have
        // reached the listener yet: only the frames asked for must have.
        if (to > m_delivered.size() || to > m_received.size())
            throw std::runtime_error("the listener's events do not match the delivered frames");
        std::vector<Frame> frames;
        for (std::size_t i = from; i < to; ++i)
            frames.push_back(
                {m_delivered[i].at, m_delivered[i].posted, m_delivered[i].frameNumber, m_received[i]});
        return frames;
    }

private:
    struct Delivery
    {
        Clock::time_point at;
        Clock::time_point posted;
        std::uint32_t frameNumber;
    };
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Delivery> m_delivered;
    std::vector<Clock::time_point> m_received;
};

// A bare hand-off over the wait the listener's queue sleeps in: Post
// publishes under a lock and signals after releasing it, as the queue does; the
// receiving thread wakes from the same wait (timed, as the listener's) and
// calls received with the time it took the post, outside the lock.
class BareReceiver
{
public:
    explicit BareReceiver(std::function<void(Clock::time_point)> received)
        : m_thread(
              [this, received = std::move(received)]
              {
                  std::unique_lock lock(m_mutex);
                  while (!m_stop)
                  {
                      if (m_posted > m_taken)
                      {
                          const Clock::time_point now = Clock::now();
                          ++m_taken;
                          lock.unlock();
                          received(now);
                          lock.lock();
                          continue;
                      }
                      const std::uint32_t seen = m_signal.Current();
                      lock.unlock();
                      m_signal.WaitUntil(seen, Clock::now() + std::chrono::milliseconds(200));
                      lock.lock();
                  }
              })
    {
    }
    ~BareReceiver()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_signal.SignalOne();
        m_thread.join();
    }
    BareReceiver(const BareReceiver&) = delete;
    BareReceiver& operator=(const BareReceiver&) = delete;

    void Post()
    {
        {
            const std::lock_guard lock(m_mutex);
            ++m_posted;
        }
        m_signal.SignalOne();
    }

private:
    std::mutex m_mutex;
    WakeSignal m_signal;
    std::size_t m_posted = 0;
    std::size_t m_taken = 0;
    bool m_stop = false;
    std::thread m_thread;
};

// Waits on the listener and stamps every live-view frame event.
class ListenerThread
{
public:
    ListenerThread(std::uint32_t listenerId, Stamps& stamps)
        : m_thread(
              [this, listenerId, &stamps]
              {
                  while (!m_stop.load())
                  {
                      Q7::Tavrin::ErrorCode code = Q7::Tavrin::Success;
                      const auto event = Q7::TavrinC::WaitForNotification(listenerId, code, 200);
                      const Clock::time_point now = Clock::now();
                      if (event && &event->Type() == &Q7::Tavrin::EventType::CameraNewLiveViewImage)
                          stamps.Received(now);
                  }
              })
    {
    }
    ~ListenerThread()
    {
        m_stop.store(true);
        m_thread.join();
    }
    ListenerThread(const ListenerThread&) = delete;
    ListenerThread& operator=(const ListenerThread&) = delete;

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct Phase
{
    double agentFps = 0;
    double listenerFps = 0;
    double agentMedianUs = 0; // DataBegin to callback
    double agentP99Us = 0;
    double addedMedianUs = 0; // callback to listener
    double addedP99Us = 0;
    double postMedianUs = 0; // the bridge's callback on the agent's thread
    double postP99Us = 0;
};

Phase RunPhase(KpxLibTransport& bridge, int id, Q7::Sim::Camera& sim, Stamps& stamps, std::uint32_t rate,
               std::size_t frames)
{
    sim.LiveView().SetFrameRate(rate);
    const std::size_t sentBefore = sim.LiveView().Sent().size();
    const std::size_t start = stamps.Received();
    if (bridge.EnableLiveView(id, true) != Q7::Tavrin::Success)
        throw std::runtime_error(std::string("live view did not start: ") + Q7::TavrinC::GetErrorMessage());
    if (!stamps.WaitForReceived(start + kWarmFrames + frames))
        throw std::runtime_error("frames stopped");
    if (bridge.EnableLiveView(id, false) != Q7::Tavrin::Success)
        throw std::runtime_error("live view did not stop");
    // Frames delivered while stopping reach the listener too.
    const std::size_t end = start + kWarmFrames + frames;
    if (!stamps.WaitForReceived(end))
        throw std::runtime_error("events stopped");

    std::map<std::uint32_t, Clock::time_point> begun;
    const std::vector<Q7::Sim::SentFrame> sent = sim.LiveView().Sent();
    for (std::size_t i = sentBefore; i < sent.size(); ++i)
        begun.emplace(sent[i].frameNumber, sent[i].begun);

    const std::vector<Stamps::Frame> measured = stamps.Frames(start + kWarmFrames, end);
    Phase phase;
    std::vector<double> agent;
    std::vector<double> added;
    std::vector<double> post;
    for (const Stamps::Frame& frame : measured)
    {
        added.push_back(Microseconds(frame.received - frame.delivered));
        post.push_back(Microseconds(frame.posted - frame.delivered));
        if (const auto found = begun.find(frame.frameNumber); found != begun.end())
            agent.push_back(Microseconds(frame.delivered - found->second));
    }
    if (agent.empty())
        throw std::runtime_error("no frame's DataBegin was found");
    const double count = static_cast<double>(measured.size() - 1);
    phase.agentFps =
        count / std::chrono::duration<double>(measured.back().delivered - measured.front().delivered).count();
    phase.listenerFps =
        count / std::chrono::duration<double>(measured.back().received - measured.front().received).count();
    phase.agentMedianUs = Percentile(agent, 0.5);
    phase.agentP99Us = Percentile(agent, 0.99);
    phase.addedMedianUs = Percentile(added, 0.5);
    phase.addedP99Us = Percentile(added, 0.99);
    phase.postMedianUs = Percentile(post, 0.5);
    phase.postP99Us = Percentile(post, 0.99);
    return phase;
}

// A bare condition-variable hand-off, paced as the frames are: one thread
// notes the time and notifies, the waiting one takes it. Paced, since a thread
// that slept a frame's interval wakes slower than one that slept a few
// microseconds. Gives the median and the p99 in microseconds.
std::pair<double, double> RawHandOff(std::size_t count)
{
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t posted = 0;
    std::size_t taken = 0;
    Clock::time_point sentAt;
    std::vector<double> latencies;
    latencies.reserve(count);
    std::thread waiter(
        [&]
        {
            std::unique_lock lock(mutex);
            while (taken < count)
            {
                changed.wait(lock, [&] { return posted > taken; });
                latencies.push_back(Microseconds(Clock::now() - sentAt));
                ++taken;
                changed.notify_all();
            }
        });
    const auto interval = std::chrono::microseconds(1'000'000 / kPacedRate);
    Clock::time_point next = Clock::now();
    for (std::size_t i = 0; i < count; ++i)
    {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return taken == posted; });
        }
        next += interval;
        std::this_thread::sleep_until(next);
        {
            const std::lock_guard lock(mutex);
            sentAt = Clock::now();
            ++posted;
        }
        // After unlocking, as the listener's queue signals: the woken thread
        // does not block again on a lock still held.
        changed.notify_all();
    }
    waiter.join();
    return {Percentile(latencies, 0.5), Percentile(latencies, 0.99)};
}

// The same hand-off over the wait the listener's queue uses, between two
// otherwise idle threads: the posting one stamps and posts.
std::pair<double, double> RawSignalHandOff(std::size_t count)
{
    std::atomic<std::size_t> done{0};
    Clock::time_point sentAt;
    std::vector<double> latencies;
    latencies.reserve(count);
    {
        // sentAt is written before each post and read once the post is
        // taken: the receiver's lock orders the two.
        BareReceiver receiver(
            [&](Clock::time_point now)
            {
                latencies.push_back(Microseconds(now - sentAt));
                done.fetch_add(1, std::memory_order_release);
            });
        const auto interval = std::chrono::microseconds(1'000'000 / kPacedRate);
        Clock::time_point next = Clock::now();
        for (std::size_t i = 0; i < count; ++i)
        {
            while (done.load(std::memory_order_acquire) != i)
                std::this_thread::yield();
            next += interval;
            std::this_thread::sleep_until(next);
            sentAt = Clock::now();
            receiver.Post();
        }
        while (done.load(std::memory_order_acquire) != count)
            std::this_thread::yield();
    }
    return {Percentile(latencies, 0.5), Percentile(latencies, 0.99)};
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const std::size_t frames = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 240;
    if (rounds < 1 || frames < 10)
    {
        std::fprintf(stderr, "usage: bridge_live_view_bench [rounds >= 1] [frames per phase >= 10]\n");
        return 2;
    }
    try
    {
        auto model =
            std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
        Q7::Sim::Camera sim(Q7::Sim::CameraDescription::Default());
        sim.SetLogSink({});
        sim.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        sim.LiveView().SetJpegSize(kJpegSize);
        sim.Start(kAddress, KpxLibTransport::kCameraPort);
        if (Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success)
            throw std::runtime_error("the SDK did not open");
        KpxLibTransport& bridge = Sdk::GetInstance(false)->Transport();
        std::uint32_t listenerId = 0;
        if (Q7::TavrinC::RegisterListener(listenerId) != Q7::Tavrin::Success ||
            Q7::TavrinC::EnableCatchAllNotifications(listenerId) != Q7::Tavrin::Success)
            throw std::runtime_error("no listener");
        int id = 0;
        if (bridge.OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("open failed: ") + Q7::TavrinC::GetErrorMessage());
        std::shared_ptr<KpxLibTransport::Camera> camera;
        if (bridge.GetCamera(id, camera) != Q7::Tavrin::Success)
            throw std::runtime_error("the camera is not open");

        Stamps stamps;
        // The bridge's own binding, with a time stamp before it; or, while bare
        // is set (between phases, with live view stopped), the bare hand-off
        // instead of the bridge. The bare receiver lives until the camera is
        // closed, so a frame delivered late still finds it.
        BareReceiver bareReceiver([&stamps](Clock::time_point now) { stamps.Received(now); });
        std::atomic<bool> bare{false};
        camera->SetLiveViewImageCallback(
            [&bridge, &stamps, &bare, &bareReceiver, id](Q7::KPX::ImageReceivePackage& package)
            {
                const Clock::time_point now = Clock::now();
                if (bare.load())
                    bareReceiver.Post();
                else
                    bridge.LiveViewImageArrivesFromKpx(id, package);
                stamps.Delivered(now, Clock::now(), Q7::KPX::LiveViewImage(package).GetFrameNumber());
            });

        std::vector<double> agentFps, listenerFps, agentP99, agentMedian, addedP99, addedMedian, fastAddedP99,
            postMedian, postP99, rawMedian, rawP99, signalMedian, signalP99, pipelineMedian, pipelineP99,
            ownP99;
        {
            const ListenerThread listener(listenerId, stamps);
            for (std::size_t round = 1; round <= rounds; ++round)
            {
                const Phase fast = RunPhase(bridge, id, sim, stamps, 0, frames);
                const Phase paced = RunPhase(bridge, id, sim, stamps, kPacedRate, frames);
                bare.store(true);
                const Phase pipeline = RunPhase(bridge, id, sim, stamps, kPacedRate, frames);
                bare.store(false);
                const auto [handOffMedian, handOffP99] = RawHandOff(frames);
                const auto [signalHandOffMedian, signalHandOffP99] = RawSignalHandOff(frames);
                std::printf("round %zu: unthrottled %.1f frames/s at the agent, %.1f at the listener (added "
                            "%.1f us median, %.1f us p99); paced %u/s: DataBegin to callback %.1f us median, "
                            "%.1f us p99, callback to listener %.1f us median, %.1f us p99 (of it posting "
                            "%.1f us median, %.1f us p99); bare hand-off from the callback %.1f us "
                            "median, %.1f us p99 (the bridge's own p99 %.1f us); between idle threads "
                            "over the queue's wait %.1f us median, %.1f us p99, over a condition "
                            "variable %.1f us median, %.1f us p99\n",
                            round, fast.agentFps, fast.listenerFps, fast.addedMedianUs, fast.addedP99Us,
                            kPacedRate, paced.agentMedianUs, paced.agentP99Us, paced.addedMedianUs,
                            paced.addedP99Us, paced.postMedianUs, paced.postP99Us, pipeline.addedMedianUs,
                            pipeline.addedP99Us, paced.addedP99Us - pipeline.addedP99Us, signalHandOffMedian,
                            signalHandOffP99, handOffMedian, handOffP99);
                agentFps.push_back(fast.agentFps);
                listenerFps.push_back(fast.listenerFps);
                fastAddedP99.push_back(fast.addedP99Us);
                agentMedian.push_back(paced.agentMedianUs);
                agentP99.push_back(paced.agentP99Us);
                addedMedian.push_back(paced.addedMedianUs);
                addedP99.push_back(paced.addedP99Us);
                postMedian.push_back(paced.postMedianUs);
                postP99.push_back(paced.postP99Us);
                rawMedian.push_back(handOffMedian);
                rawP99.push_back(handOffP99);
                signalMedian.push_back(signalHandOffMedian);
                signalP99.push_back(signalHandOffP99);
                pipelineMedian.push_back(pipeline.addedMedianUs);
                pipelineP99.push_back(pipeline.addedP99Us);
                ownP99.push_back(paced.addedP99Us - pipeline.addedP99Us);
            }
        }
        std::printf(
            "median of %zu rounds, 1 MiB JPEG frames: %.1f frames/s at the agent, %.1f at the bridge's "
            "listener (added p99 %.1f us unthrottled); at %u paced frames/s: agent DataBegin to "
            "callback %.1f us median, %.1f us p99; bridge callback to listener %.1f us median, %.1f us "
            "p99 (of it posting on the agent's thread %.1f us median, %.1f us p99); bare hand-off from "
            "the callback %.1f us median, %.1f us p99; what the bridge adds beyond that hand-off at p99 "
            "%.1f us (goal <= 50 us); bare hand-off between idle threads over the queue's wait %.1f us "
            "median, %.1f us p99, over a condition variable %.1f us median, %.1f us p99\n",
            rounds, Median(agentFps), Median(listenerFps), Median(fastAddedP99), kPacedRate,
            Median(agentMedian), Median(agentP99), Median(addedMedian), Median(addedP99), Median(postMedian),
            Median(postP99), Median(pipelineMedian), Median(pipelineP99), Median(ownP99),
            Median(signalMedian), Median(signalP99), Median(rawMedian), Median(rawP99));
        camera.reset();
        bridge.CloseCamera(id);
        Q7::TavrinC::CloseSdk(false);
        sim.Stop();
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "bridge_live_view_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
