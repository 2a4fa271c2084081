// The library's channel layer against the camera simulator: a fixture that
// starts a simulated camera, reaches it over the suite's transport (loopback
// TCP unless a parametrised suite says otherwise) and builds channel
// transports and channels on the device's pipes.
#pragma once

#include "Channel/KPXChannel.h"
#include "Channel/KPXChannelTransport.h"
#include "E2eTransport.h"
#include "SimCamera.h"
#include "SimStreamHandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

namespace E2e
{

using namespace std::chrono_literals;

// A channel with the versions an agent would give it.
struct ChannelSetup
{
    std::uint8_t channel = 2;
    std::uint8_t sub = 0;
    std::vector<Q7::KPX::ProtocolVersion> versions{{1, 0}, {1, 1}, {2, 0}};
    Q7::KPX::MajorVersionRange range{1, 2};
    Q7::KPX::ChannelTimings timings{};
};

class ChannelE2eTest : public ::testing::Test
{
protected:
    ChannelE2eTest() { UseDescription(Q7::Sim::CameraDescription::Default()); }

    // Replaces the (not yet started) camera by one with this description.
    void UseDescription(Q7::Sim::CameraDescription description)
    {
        camera = std::make_unique<Q7::Sim::Camera>(std::move(description));
        camera->SetLogSink({});
    }

    ~ChannelE2eTest() override
    {
        for (auto& channel : channels)
        {
            channel->Stop();
        }
        for (auto& transport : transports)
        {
            transport->Stop();
        }
        channels.clear();
        transports.clear();
        if (device)
        {
            device->Close();
        }
        camera->Stop();
    }

    // Starts the simulated camera on 127.0.0.1 with a system-chosen port.
    void StartCamera() { camera->Start("127.0.0.1", 0); }

    // The transport the suite reaches the camera over.
    virtual E2eTransport Transport() const { return E2eTransport::Tcp; }

    // Opens the device for the camera over the suite's transport.
    void OpenDevice() { device = OpenSimulatedDevice(Transport(), *camera); }

    // The camera's connection that serves the default pipe (the latest one
    // over TCP).
    std::uint64_t CameraConnection() { return DefaultPipeConnection(*device, *camera); }

    // A started channel transport on the default pipe (over TCP a new
    // connection; over USB endpoint 1, so one at a time).
    Q7::KPX::ChannelTransport& AddTransport()
    {
        transports.push_back(
            std::make_unique<Q7::KPX::ChannelTransport>(*device, Q7::KPX::Transport::kDefaultPipeId));
        EXPECT_EQ(transports.back()->Start(), 0u);
        return *transports.back();
    }

    // A started channel on the transport.
    Q7::KPX::Channel& AddChannel(Q7::KPX::ChannelTransport& transport, const ChannelSetup& setup = {})
    {
        channels.push_back(
            std::make_unique<Q7::KPX::Channel>(setup.channel, setup.sub, transport, setup.timings));
        Q7::KPX::Channel& channel = *channels.back();
        for (const Q7::KPX::ProtocolVersion version : setup.versions)
        {
            channel.AddClientMajorVersion(version);
        }
        channel.SetClientMajorVersions(setup.range);
        channel.Start();
        return channel;
    }

    // Camera, device, one transport and one channel on it.
    Q7::KPX::Channel& Connect(const ChannelSetup& setup = {})
    {
        StartCamera();
        OpenDevice();
        return AddChannel(AddTransport(), setup);
    }

    // The full code of the ModuleError that Open raises; 0 when Open returned 0.
    static std::uint32_t OpenCode(Q7::KPX::Channel& channel)
    {
        try
        {
            const std::int32_t result = channel.Open();
            return result == 0 ? 0u : 0xFFFF0000u | static_cast<std::uint32_t>(result);
        }
        catch (const Q7::Universal::ModuleError& error)
        {
            return error.GetFullCode();
        }
    }

    std::size_t HostPackets(Q7::Sim::PacketType type, Q7::Sim::ChannelId channel) const
    {
        return camera->Snapshot().CountPackets(type, channel, true);
    }

    void ExpectNoViolations() const
    {
        const Q7::Sim::Observations observed = camera->Snapshot();
        EXPECT_TRUE(observed.violations.empty()) << observed.DescribeViolations();
    }

    std::unique_ptr<Q7::Sim::Camera> camera;
    std::unique_ptr<Q7::KPX::Transport::DeviceInterface> device;
    std::vector<std::unique_ptr<Q7::KPX::ChannelTransport>> transports;
    std::vector<std::unique_ptr<Q7::KPX::Channel>> channels;
};

// The channel-layer fixture over each transport in turn.
class ChannelOverTransportsE2eTest : public ChannelE2eTest, public ::testing::WithParamInterface<E2eTransport>
{
protected:
    E2eTransport Transport() const override { return GetParam(); }
};

// Starts a one-byte Read without time-out on another thread; the future gives
// the Read's result.
inline std::future<std::int32_t> ReadOneByteAsync(Q7::KPX::Channel& channel)
{
    return std::async(std::launch::async,
                      [&channel]
                      {
                          std::uint8_t byte = 0;
                          return channel.Read(&byte, 1, nullptr, nullptr, 0xFFFFFFFF);
                      });
}

// Fills a buffer with the simulator's test pattern from `offset`.
inline std::vector<std::uint8_t> Pattern(std::uint64_t offset, std::size_t count)
{
    std::vector<std::uint8_t> bytes(count);
    Q7::Sim::FillPattern(offset, bytes);
    return bytes;
}

} // namespace E2e
