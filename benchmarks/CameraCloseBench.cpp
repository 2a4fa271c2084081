// The time of the flat CloseCamera while the camera is busy: a simulated
// camera on 127.0.0.216:7381 over loopback TCP streams live view (120 frames
// a second of 256 KiB JPEG) and sends an image every 20 ms, with live view and
// image receiving enabled through the flat functions; each close begins once
// the camera has sent a frame and an image since the open. Beside it, in the
// same run, the close of the same camera idle (neither enabled), which is what
// the busy close is to be measured against.
//
// Usage: camera_close_bench [closes per phase, default 200]
// Prints, per phase, the median, the 99th percentile and the longest close.
// Goal: the busy close at most 100 ms at p99, none over 1 s. Build in Release
// (or RelWithDebInfo).

#include "KpxLibTransport.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimImageTransferHandler.h"
#include "SimLiveViewHandler.h"

#include <TavrinCpp/ObjectFactory.h>
#include <TavrinCpp/TavrinC.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace C = Q7::TavrinC;

constexpr const char* kAddress = "127.0.0.216";
constexpr std::uint32_t kJpegSize = 256 * 1024;
constexpr std::uint32_t kFrameRate = 120;
constexpr auto kCaptureInterval = 20ms;

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Captures an image every kCaptureInterval while it lives.
class Shutter
{
public:
    explicit Shutter(Q7::Sim::Camera& sim)
        : m_thread(
              [this, &sim]
              {
                  while (!m_stop.load())
                  {
                      sim.Images().Capture();
                      std::this_thread::sleep_for(kCaptureInterval);
                  }
              })
    {
    }
    ~Shutter()
    {
        m_stop.store(true);
        m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// One phase: `count` opens, each followed by a timed close; busy: live view
// and image receiving run when the close begins.
std::vector<double> ClosePhase(Q7::Sim::Camera& sim, std::size_t count, bool busy)
{
    std::vector<double> closes;
    for (std::size_t i = 0; i < count; ++i)
    {
        int id = 0;
        if (C::OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("open failed: ") + C::GetErrorMessage());
        if (busy)
        {
            const std::size_t frames = sim.LiveView().Counters().framesBegun;
            const std::size_t images = sim.ImageTransfer().Counters().imagesBegun;
            if (C::EnableImageReceiving(id, true) != Q7::Tavrin::Success ||
                C::EnableLiveView(id) != Q7::Tavrin::Success)
                throw std::runtime_error(std::string("could not start: ") + C::GetErrorMessage());
            if (!sim.LiveView().WaitUntil([&](const auto& c) { return c.framesBegun > frames; }, 10s) ||
                !sim.ImageTransfer().WaitUntil([&](const auto& c) { return c.imagesBegun > images; }, 10s))
                throw std::runtime_error("no frame or image came");
        }
        const Clock::time_point start = Clock::now();
        if (C::CloseCamera(id) != Q7::Tavrin::Success)
            throw std::runtime_error(std::string("close failed: ") + C::GetErrorMessage());
        closes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return closes;
}

void Print(const char* phase, const std::vector<double>& closes)
{
    std::printf("%s: %zu closes, median %.2f ms, p99 %.2f ms, longest %.2f ms\n", phase, closes.size(),
                Percentile(closes, 0.5), Percentile(closes, 0.99),
                *std::max_element(closes.begin(), closes.end()));
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200;
    if (count < 1)
    {
        std::fprintf(stderr, "usage: camera_close_bench [closes per phase >= 1]\n");
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
        sim.LiveView().SetFrameRate(kFrameRate);
        sim.Start(kAddress, Q7::TavrinC::KpxLibTransport::kCameraPort);
        if (C::OpenSdk() != Q7::Tavrin::Success || C::RegisterDefaultFactory() != Q7::Tavrin::Success)
            throw std::runtime_error("the SDK did not open");

        const std::vector<double> idle = ClosePhase(sim, count, false);
        std::vector<double> busy;
        {
            const Shutter shutter(sim);
            busy = ClosePhase(sim, count, true);
        }
        Print("idle camera", idle);
        Print("live view and images flowing", busy);
        const double longest = *std::max_element(busy.begin(), busy.end());
        std::printf("goal: p99 <= 100 ms (%s), none over 1 s (%s)\n",
                    Percentile(busy, 0.99) <= 100 ? "met" : "NOT met", longest <= 1000 ? "met" : "NOT met");
        C::CloseSdk(false);
        sim.Stop();
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "camera_close_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
