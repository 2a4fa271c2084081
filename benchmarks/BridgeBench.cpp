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

#include "KpxLibTransport.h"
#include "Sdk.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimSocket.h"

#include <TavrinCpp/TavrinC.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using Q7::TavrinC::KpxLibTransport;

constexpr const char* kAddress = "127.0.0.210";
constexpr std::uint32_t kGain = 0x100B; // f32, name "Gain", group "Exposure", nothing else
constexpr std::size_t kReadsPerSample = 64;
constexpr std::size_t kReadSamples = 20000;
constexpr std::size_t kRoundTrips = 2000;

struct Figures
{
    double median = 0;
    double p99 = 0;
};

Figures Summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) { return samples[static_cast<std::size_t>(q * (samples.size() - 1))]; };
    return {at(0.5), at(0.99)};
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Nanoseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::nano>(d).count();
}

// Nanoseconds per call of `read`, sampled over batches.
template <typename Read>
Figures SampleReads(Read&& read)
{
    std::vector<double> samples;
    samples.reserve(kReadSamples);
    for (std::size_t s = 0; s < kReadSamples; ++s)
    {
        const Clock::time_point start = Clock::now();
        for (std::size_t i = 0; i < kReadsPerSample; ++i)
            read();
        samples.push_back(Nanoseconds(Clock::now() - start) / kReadsPerSample);
    }
    return Summarise(std::move(samples));
}

// Per-read nanoseconds of copying the whole record out of a locked map.
Figures RawReadNanoseconds(const KpxLibTransport::Property& record)
{
    std::mutex mutex;
    std::map<std::uint32_t, KpxLibTransport::Property> map{{record.id, record}};
    KpxLibTransport::Property copy;
    const Figures figures = SampleReads(
        [&]
        {
            std::lock_guard lock(mutex);
            copy = map.find(record.id)->second;
        });
    if (copy.id != record.id)
        throw std::logic_error("lost the record");
    return figures;
}

void Exchange(int fd, const void* out, std::size_t size, void* in)
{
    if (::send(fd, out, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        throw std::runtime_error("send failed");
    for (std::size_t got = 0; got < size;)
    {
        const ssize_t n = ::recv(fd, static_cast<char*>(in) + got, size - got, 0);
        if (n <= 0)
            throw std::runtime_error("recv failed");
        got += static_cast<std::size_t>(n);
    }
}

// Per-exchange microseconds of 64 bytes there and back over a plain loopback
// TCP pair.
Figures RawRoundTripMicroseconds()
{
    std::uint16_t port = 0;
    const Q7::Sim::UniqueFd listener = Q7::Sim::ListenOnLoopback("127.0.0.1", 0, port);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const Q7::Sim::UniqueFd client(::socket(AF_INET, SOCK_STREAM, 0));
    if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        throw std::runtime_error("cannot connect");
    if (Q7::Sim::WaitReady(listener.Get(), POLLIN, -1, 5000) != Q7::Sim::PollResult::Ready)
        throw std::runtime_error("no connection to accept");
    const Q7::Sim::UniqueFd server(::accept(listener.Get(), nullptr, nullptr));
    if (!server.Valid())
        throw std::runtime_error("accept failed");
    const int one = 1;
    ::setsockopt(client.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(server.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::thread echo(
        [fd = server.Get()]
        {
            char buffer[64];
            for (std::size_t i = 0; i < kRoundTrips; ++i)
            {
                for (std::size_t got = 0; got < sizeof buffer;)
                {
                    const ssize_t n = ::recv(fd, buffer + got, sizeof buffer - got, 0);
                    if (n <= 0)
                        return;
                    got += static_cast<std::size_t>(n);
                }
                ::send(fd, buffer, sizeof buffer, MSG_NOSIGNAL);
            }
        });
    char out[64] = {};
    char in[64];
    std::vector<double> samples;
    for (std::size_t i = 0; i < kRoundTrips; ++i)
    {
        const Clock::time_point start = Clock::now();
        Exchange(client.Get(), out, sizeof out, in);
        samples.push_back(Nanoseconds(Clock::now() - start) / 1000.0);
    }
    echo.join();
    return Summarise(std::move(samples));
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
    figures.openMs = Summarise(std::move(openTimes));
    figures.closeMs = Summarise(std::move(closeTimes));

    int id = 0;
    if (bridge.OpenIpCamera(id, kAddress, nullptr, 5) != Q7::Tavrin::Success ||
        bridge.GetKpxProperty(id, kGain, figures.record) != Q7::Tavrin::Success)
        throw std::runtime_error("the property cache was not built");
    Q7::Tavrin::PropertyValue value;
    figures.readNs = SampleReads(
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
        auto model =
            std::make_shared<Q7::Sim::DeviceControlModel>(Q7::Sim::DeviceControlModel::DefaultProperties());
        Q7::Sim::Camera camera(Q7::Sim::CameraDescription::Default());
        camera.SetLogSink({});
        camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
        camera.Start(kAddress, KpxLibTransport::kCameraPort);
        if (Q7::TavrinC::OpenSdk() != Q7::Tavrin::Success)
            throw std::runtime_error("the SDK did not open");
        KpxLibTransport& bridge = Sdk::GetInstance(false)->Transport();

        std::vector<double> openMedian, openP99, closeMedian, readMedian, readP99, rawTrip, rawRead;
        for (std::size_t round = 1; round <= rounds; ++round)
        {
            const BridgeFigures measured = MeasureBridge(bridge, opens);
            const Figures trip = RawRoundTripMicroseconds();
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
        camera.Stop();
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "bridge_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
