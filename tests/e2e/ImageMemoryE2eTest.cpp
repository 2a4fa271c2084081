// What a hostile camera's claims cost the host, measured as the resident
// memory of a process of its own (the test re-runs itself for it): previews
// whose replies claim 255 MiB each and carry a few kilobytes cost what arrived
// plus a fixed bound, not what they claim (four of them cost 1 GiB before the
// replies' data was stored as it arrived).

#include "Camera/KPXCamera.h"
#include "DeviceControlE2eSupport.h"
#include "E2eTransport.h"
#include "ImageEnumerationE2eSupport.h"
#include "ProcessResources.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimImageEnumerationHandler.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace
{

using namespace E2e;
using Q7::KPX::Camera;

constexpr std::size_t kHostileReplies = 4;
constexpr std::uint32_t kClaim = 255 * 1024 * 1024; // under the 256 MiB a reply may claim
constexpr std::size_t kFixedBound = 32 * 1024 * 1024;

// Runs in the child: exits 0 when every check held, else 1 with the failures
// on standard error.
[[noreturn]] void ClaimsCostWhatArrived()
{
    std::string failures;
    const auto check = [&](bool condition, const std::string& what)
    {
        if (!condition)
            failures += what + "\n";
    };
    {
        TestSupport::TempFolder locks;
        auto model = std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
        Q7::Sim::Camera sim;
        sim.SetLogSink({});
        sim.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        const std::vector<Q7::Sim::SimImage> images = sim.Images().AddGenerated(kHostileReplies + 1);
        sim.Start("127.0.0.1", 0);
        RecordRecorder records;
        Camera camera(TcpMoniker(sim), {}, locks.Root().c_str());
        camera.SetNotifyCallback(records.Sink());
        camera.SetClientIdentity(nullptr);
        check(camera.Initialize(true) == 0 && camera.InitializeAgents(nullptr) == 0, "camera opened");
        camera.StartImageEnumeration();
        check(records.WaitFor(Camera::kNotify_ImageListChanged, 1), "image list");

        // A preview as the camera sends it, so that everything it needs is in place.
        camera.RequestPreview(PreviewOf(images[0].id, Ie::kWireFormat_Rgb24));
        check(records.WaitFor(Camera::kNotify_PreviewReady, 1), "first preview");
        const std::size_t before = TestSupport::ResidentBytes();

        std::size_t arrived = 0;
        for (std::size_t i = 1; i <= kHostileReplies; ++i)
        {
            sim.ImageEnumeration().AddFault({.kind = Q7::Sim::ImageEnumerationFaultKind::ClaimsMore,
                                             .requestType = Q7::Sim::kIeGetImageBuffer,
                                             .claimBytes = kClaim});
            camera.RequestPreview(PreviewOf(images[i].id, Ie::kWireFormat_Rgb24));
            check(records.WaitFor(Camera::kNotify_PreviewReady, i + 1), "hostile preview");
            arrived += images[i].PreviewBytes(Q7::Sim::kImageFormatRgb24).size();
        }
        const std::size_t after = TestSupport::ResidentBytes();
        check(before != 0 && after != 0, "resident memory readable");
        const std::size_t grown = after > before ? after - before : 0;
        check(grown <= arrived + kFixedBound, "resident memory grew by " + std::to_string(grown) +
                                                  " bytes for " + std::to_string(arrived) + " bytes that arrived");
        // Every hostile reply is told as failed (its data short of its claim).
        for (const Ie::ImageBuffer& buffer : records.Records<Ie::ImageBuffer>(Camera::kNotify_PreviewReady, 1))
            check(buffer.status.assemblyError == Ie::kAssemblyError_Body && !buffer.status.complete,
                  "a short reply told as failed");
        camera.Close();
        sim.Stop();
    }
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

// Fault: replies claiming 256 MiB and carrying 120 bytes raised resident
// memory by the claim (zero-filled up front).
TEST(ImageMemoryE2e, RepliesThatClaimMoreThanTheyCarryCostWhatArrived)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ClaimsCostWhatArrived(), ::testing::ExitedWithCode(0), "");
}

} // namespace
