// Helpers of the C++ classes' tests: a simulated camera with device control,
// image enumeration, stored images and a diagnostics log, listening on the
// first free 127.0.0.N:7381 from N = 100 below 150, where no other suite keeps
// a fixed address (so that suites run in parallel), opened through Camera.
#pragma once

#include "BridgeTestSupport.h"
#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"
#include "SimProgrammingHandler.h"

#include <TavrinCpp/Camera.h>
#include <TavrinCpp/Errors.h>
#include <TavrinCpp/Listener.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace FacadeTest
{

using namespace std::chrono_literals;

/// A simulated camera on the first free 127.0.0.N:7381 with N from first,
/// its description changed by adjust.
struct FacadeSimulator
{
    explicit FacadeSimulator(int first = 100, std::size_t images = 4,
                             const std::function<void(Q7::Sim::CameraDescription&)>& adjust = {})
        : camera("SIM0000001", adjust)
    {
        camera.sim->Images().AddGenerated(images);
        programming->SetLog(kDiagnosticsLogId, DiagnosticsLog(), true);
        camera.sim->SetChannelHandler({1, 0}, Q7::Sim::ProgrammingHandler::Factory(programming));
        camera.model->SetShutterReleaseHook([this] { camera.sim->Images().Capture(); });
        for (int n = first; n < 150; ++n)
        {
            try
            {
                camera.Listen(BridgeTest::Loopback(n));
                address = BridgeTest::Loopback(n);
                return;
            }
            catch (const std::exception&)
            {
            }
        }
        throw std::runtime_error("no free loopback address for the simulator");
    }

    /// The camera's diagnostics log.
    static std::vector<std::uint8_t> DiagnosticsLog()
    {
        const std::string text = "diagnostics of the simulated camera\n";
        return {text.begin(), text.end()};
    }
    static constexpr std::uint32_t kDiagnosticsLogId = 104;

    Q7::Tavrin::Camera Open() { return Q7::Tavrin::Camera::OpenIpCamera(address, "facade test", 5); }

    std::shared_ptr<Q7::Sim::ProgrammingStore> programming = std::make_shared<Q7::Sim::ProgrammingStore>();
    BridgeTest::SimulatedCamera camera;
    std::string address;
};

/// Whether predicate holds within timeout; asked every millisecond (for flags
/// that a library thread sets without an event to wait on).
inline bool Eventually(const std::function<bool()>& predicate, std::chrono::milliseconds timeout = 10s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!predicate())
    {
        if (std::chrono::steady_clock::now() >= end)
        {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace FacadeTest
