// Live view against the simulated camera over loopback TCP, with ~1 MiB JPEG
// frames: frames a second when the camera sends as fast as the host
// acknowledges, beside two raw limits measured in the same round (the mean of
// a measurement just before and one just after): the acknowledged pair, a
// plain loopback socket pair that sends a frame of the same size, waits for a
// 16-byte acknowledgement and sends the next (goal: at least 0.5 of it), and
// the plain pair streaming the same bytes; and the latency from the camera's
// DataBegin to the frame callback at 120 paced frames a second (goals: 0.6 ms
// or less at the median, 1 ms or less at p99). Median of the rounds (at least
// five).
//
// Where the paced latency goes: the library's own log lines, heard by a log
// handler, mark when the host has read and handled the DataBegin ("KPX ch5
// data begin msg"), taken a pool buffer for it ("getting buffer from pool"),
// written the DataBeginAck ("sending msg: DataBeginAck": logged once written
// when the receive thread writes it, as it begins when the send thread does),
// read the last block and the DataEnd behind it ("KPX ch5 data end msg"),
// acknowledged the frame and queued it for delivery ("KPX ch5 transfer time")
// and taken it on its delivery thread ("KPX ch5 delivering live view image");
// the camera marks when it queued the DataBegin, the callback when the frame
// reached it. The receive thread that read the message does these steps, the
// control thread only when it had to wait for a pool buffer. Each stage's
// median and p99 are printed per round.
#include "Agents/ImageTransfer/KPXLiveViewImage.h"
#include "BenchSupport.h"
#include "Camera/KPXCamera.h"
#include "Q7UniversalLogMsg.h"
#include "SimCamera.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
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

// The moments each frame passed the host's stages, by data id, from the
// library's log lines (heard on the thread that wrote them).
class StageClock
{
public:
    enum Stage
    {
        kBeginRead,    // DataBegin read and handled by a receive thread
        kBufferTaken,  // a pool buffer taken for it
        kAckSending,   // the DataBeginAck written (or being written by the send thread)
        kEndRead,      // the last block read and the DataEnd behind it
        kEndHandled,   // the frame acknowledged and queued for delivery
        kDeliverTaken, // the delivery thread took it
        kStageCount
    };

    StageClock() { Q7::Universal::LogMsgManager::AddHandler(Handler()); }
    ~StageClock() { Q7::Universal::LogMsgManager::RemoveHandler(Handler()); }
    StageClock(const StageClock&) = delete;
    StageClock& operator=(const StageClock&) = delete;

    // The marks of `dataId`: all stages, or none.
    bool Marks(std::uint32_t dataId, std::array<Clock::time_point, kStageCount>& marks)
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_marks.find(dataId);
        if (found == m_marks.end())
            return false;
        for (std::size_t i = 0; i < kStageCount; ++i)
        {
            if (!found->second.seen[i])
                return false;
            marks[i] = found->second.at[i];
        }
        return true;
    }

private:
    struct Frame
    {
        std::array<Clock::time_point, kStageCount> at{};
        std::array<bool, kStageCount> seen{};
    };

    Q7::Universal::LogMsgHandler Handler() { return Q7::Universal::LogMsgHandler(this, &StageClock::OnLine); }

    void OnLine(Q7::Universal::EnumLogMsgType, const wchar_t* line)
    {
        const Clock::time_point now = Clock::now();
        const auto mark = [&](Stage stage, const wchar_t* text, bool withId)
        {
            const wchar_t* const at = std::wcsstr(line, text);
            if (at == nullptr)
                return false;
            std::lock_guard lock(m_mutex);
            std::uint32_t dataId = m_current;
            if (withId)
            {
                const wchar_t* const id = std::wcsstr(at, L"id=");
                if (id == nullptr)
                    return true;
                dataId = static_cast<std::uint32_t>(std::wcstoul(id + 3, nullptr, 10));
                if (stage == kBeginRead)
                    m_current = dataId;
            }
            Frame& frame = m_marks[dataId];
            frame.at[stage] = now;
            frame.seen[stage] = true;
            return true;
        };
        // The pool's line and the queuing's carry no id: the frame begun last
        // (the camera begins the next only after the DataEndAck).
        (void)(mark(kBeginRead, L"KPX ch5 data begin msg", true) ||
               mark(kBufferTaken, L"getting buffer from pool", false) ||
               mark(kAckSending, L"sending msg: DataBeginAck", true) ||
               mark(kEndRead, L"KPX ch5 data end msg", true) ||
               mark(kEndHandled, L"KPX ch5 transfer time", false) ||
               mark(kDeliverTaken, L"KPX ch5 delivering live view image", true));
    }

    std::mutex m_mutex; // guards the fields below
    std::map<std::uint32_t, Frame> m_marks;
    std::uint32_t m_current = 0;
};

// Stage names, from the camera's queued DataBegin to the callback.
constexpr const char* kStageNames[] = {"DataBegin queued -> read by host",
                                       "-> pool buffer taken",
                                       "-> DataBeginAck written",
                                       "-> last block+DataEnd read",
                                       "-> DataEnd handled",
                                       "-> delivery thread",
                                       "-> callback"};
constexpr std::size_t kStages = std::size(kStageNames);

struct Round
{
    std::array<double, kStages> stageMedianMs{};
    std::array<double, kStages> stageP99Ms{};
    double framesPerSecond = 0;
    double ackedFramesPerSecond = 0; // the acknowledged pair's
    double ackedRatio = 0;           // frames a second / the acknowledged pair's
    double rawRatio = 0;             // the frames' bytes a second / a plain socket pair's
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
        const std::uint64_t frameSize = kJpegSize + Q7::Sim::kLvimHeaderSize;
        const unsigned ackedFrames = static_cast<unsigned>(frames);
        const double ackedBefore = ackedFrames / Bench::AcknowledgedSocketSeconds(frameSize, ackedFrames);
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
        camera.StopLiveView();
        const double ackedAfter = ackedFrames / Bench::AcknowledgedSocketSeconds(frameSize, ackedFrames);
        round.ackedFramesPerSecond = (ackedBefore + ackedAfter) / 2;
        round.ackedRatio = round.framesPerSecond / round.ackedFramesPerSecond;
        round.rawRatio = (static_cast<double>(bytes) / seconds) /
                         (static_cast<double>(bytes) / Bench::PlainSocketSeconds(bytes));

        // Paced: the latency of each frame from its DataBegin to the callback.
        Arrivals paced;
        StageClock stages;
        camera.SetLiveViewImageCallback([&](ImageReceivePackage& package) { paced.Add(package); });
        sim.LiveView().SetFrameRate(120);
        camera.StartLiveView();
        if (!paced.WaitFor(frames + 5))
            throw std::runtime_error("paced frames stopped");
        camera.StopLiveView();
        std::map<std::uint32_t, Clock::time_point> begun;
        std::map<std::uint32_t, std::uint32_t> dataIds;
        for (const Q7::Sim::SentFrame& sent : sim.LiveView().Sent())
        {
            begun.emplace(sent.frameNumber, sent.begun);
            dataIds.emplace(sent.frameNumber, sent.dataId);
        }
        std::array<std::vector<double>, kStages> stageMs;
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
                std::array<Clock::time_point, StageClock::kStageCount> marks{};
                if (dataIds.count(number) == 0 || !stages.Marks(dataIds[number], marks))
                    continue;
                Clock::time_point previous = begun[number];
                for (std::size_t i = 0; i < kStages; ++i)
                {
                    const Clock::time_point at = i < marks.size() ? marks[i] : arrival;
                    stageMs[i].push_back(std::chrono::duration<double, std::milli>(at - previous).count());
                    previous = at;
                }
            }
        }
        std::sort(latencies.begin(), latencies.end());
        round.medianMs = Bench::Median(latencies);
        round.p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
        for (std::size_t i = 0; i < kStages; ++i)
        {
            std::vector<double>& values = stageMs[i];
            if (values.empty())
                continue;
            std::sort(values.begin(), values.end());
            round.stageMedianMs[i] = Bench::Median(values);
            round.stageP99Ms[i] = values[std::min(values.size() - 1, values.size() * 99 / 100)];
        }
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
        std::vector<double> fps, acked, ackedRatio, ratio, p99, median;
        std::array<std::vector<double>, kStages> stageMedian, stageP99;
        for (std::size_t i = 0; i < rounds; ++i)
        {
            const Round round = RunRound(frames);
            std::printf("round %zu: %.1f frames/s unthrottled, acknowledged pair %.1f frames/s (%.2f x it; "
                        "%.2f x a plain socket pair), paced 120/s: latency %.3f ms median, %.3f ms p99\n",
                        i + 1, round.framesPerSecond, round.ackedFramesPerSecond, round.ackedRatio,
                        round.rawRatio, round.medianMs, round.p99Ms);
            std::printf("  stages (median / p99 ms):");
            for (std::size_t stage = 0; stage < kStages; ++stage)
                std::printf(" %s %.3f / %.3f;", kStageNames[stage], round.stageMedianMs[stage],
                            round.stageP99Ms[stage]);
            std::printf("\n");
            for (std::size_t stage = 0; stage < kStages; ++stage)
            {
                stageMedian[stage].push_back(round.stageMedianMs[stage]);
                stageP99[stage].push_back(round.stageP99Ms[stage]);
            }
            fps.push_back(round.framesPerSecond);
            acked.push_back(round.ackedFramesPerSecond);
            ackedRatio.push_back(round.ackedRatio);
            ratio.push_back(round.rawRatio);
            p99.push_back(round.p99Ms);
            median.push_back(round.medianMs);
        }
        std::printf("median of %zu rounds: %.1f frames/s of 1 MiB JPEG unthrottled, the acknowledged pair "
                    "%.1f frames/s: %.2f x it (goal >= 0.5), %.2f x a plain socket pair; at 120 paced "
                    "frames/s DataBegin to callback %.3f ms median (goal <= 0.6 ms), %.3f ms p99 (goal <= 1 "
                    "ms)\n",
                    rounds, Bench::Median(fps), Bench::Median(acked), Bench::Median(ackedRatio),
                    Bench::Median(ratio), Bench::Median(median), Bench::Median(p99));
        std::printf("where the paced latency goes, median of the rounds' medians / p99s in ms:\n");
        for (std::size_t stage = 0; stage < kStages; ++stage)
            std::printf("  %-36s %7.3f / %7.3f\n", kStageNames[stage], Bench::Median(stageMedian[stage]),
                        Bench::Median(stageP99[stage]));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "live_view_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
