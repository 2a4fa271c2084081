// Latency of the device-control agent against the simulated camera over
// loopback TCP: a cached property read through the agent, and a set answered
// by the camera (from SetPropertyValue until the "state changed" notification
// shows the new value in the cache), each beside a raw limit measured in the
// same run:
//  - read: copying the same state record out of a map under a mutex, the least
//    a locked cache read can cost;
//  - set: a ping-pong over a plain loopback TCP socket pair moving the bytes of
//    the set's two requests and two replies (with their packet headers).
//
// Usage: device_control_bench [rounds, default 5] [sets per round, default 2000]
// Each round reports the median and the 99th percentile; the summary gives the
// median of the rounds' figures and their ratio to the raw limit. Build in
// Release for meaningful figures.

#include "Agents/DeviceControl/KPXDeviceControl.h"
#include "BenchSupport.h"
#include "Channel/KPXChannelTransport.h"
#include "SimCamera.h"
#include "SimDeviceControlHandler.h"
#include "SimSocket.h"
#include "Transport/KPXTransport_Tcp.h"
#include "Wire/KPXValue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
using Agent = Q7::KPX::DeviceControlAgent;

constexpr std::size_t kReadsPerSample = 64;
constexpr std::size_t kReadSamples = 20000;
// Bytes of a set on the wire: SetPropValue of a u32 (28) and GetPropState
// (20) out, two states of a u32 (36 each) back; 16 bytes of packet header
// each.
constexpr std::size_t kSetRequestBytes = 28 + 20 + 2 * 16;
constexpr std::size_t kSetReplyBytes = 2 * (36 + 16);

using Bench::Simulated::Figures;
using Bench::Simulated::Summarise;

using Bench::Median;

double Nanoseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::nano>(d).count();
}

// ---------------------------------------------------------------- raw limits

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

// Per-read nanoseconds of copying a state record out of a locked map.
Figures RawReadNanoseconds(const Agent::PropertyState& record)
{
    std::mutex mutex;
    std::map<std::uint32_t, Agent::PropertyState> map{{record.id, record}};
    Agent::PropertyState copy;
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

void Exchange(int fd, const void* out, std::size_t outSize, void* in, std::size_t inSize)
{
    if (outSize > 0 && ::send(fd, out, outSize, MSG_NOSIGNAL) != static_cast<ssize_t>(outSize))
        throw std::runtime_error("send failed");
    for (std::size_t got = 0; got < inSize;)
    {
        const ssize_t n = ::recv(fd, static_cast<char*>(in) + got, inSize - got, 0);
        if (n <= 0)
            throw std::runtime_error("recv failed");
        got += static_cast<std::size_t>(n);
    }
}

// Per-exchange microseconds of the set's bytes over a plain loopback TCP pair.
Figures RawSetMicroseconds(std::size_t exchanges)
{
    const auto [client, server] = Bench::NoDelayLoopbackPair();

    std::thread echo(
        [fd = server.Get(), exchanges]
        {
            std::vector<std::uint8_t> in(kSetRequestBytes), out(kSetReplyBytes / 2);
            for (std::size_t i = 0; i < exchanges; ++i)
            {
                Exchange(fd, nullptr, 0, in.data(), in.size());
                // The camera answers the set and the state request separately.
                Exchange(fd, out.data(), out.size(), nullptr, 0);
                Exchange(fd, out.data(), out.size(), nullptr, 0);
            }
        });
    std::vector<std::uint8_t> request(kSetRequestBytes), reply(kSetReplyBytes);
    std::vector<double> samples;
    for (std::size_t i = 0; i < exchanges; ++i)
    {
        const Clock::time_point start = Clock::now();
        Exchange(client.Get(), request.data(), request.size(), reply.data(), reply.size() / 2);
        samples.push_back(Nanoseconds(Clock::now() - start) / 1000.0);
        Exchange(client.Get(), nullptr, 0, reply.data(), reply.size() / 2);
    }
    echo.join();
    return Summarise(std::move(samples));
}

// ---------------------------------------------------------------- the agent

// Keeps the value the cache held at the latest "state changed" of one id.
class StateWatcher
{
public:
    StateWatcher(const Agent& agent, std::uint32_t id) : m_agent(agent), m_id(id) {}

    void OnNotify(Agent::EnumPropertyNotify kind, const std::vector<unsigned int>& ids)
    {
        if (kind != Agent::kPropertyNotify_StateChanged ||
            std::find(ids.begin(), ids.end(), m_id) == ids.end())
            return;
        Agent::PropertyState state;
        if (!m_agent.GetPropertyState(m_id, state))
            return;
        std::uint32_t value = 0;
        state.value.value.GetUInt32(value);
        {
            std::lock_guard lock(m_mutex);
            m_value = value;
        }
        m_changed.notify_all();
    }

    bool WaitForValue(std::uint32_t value)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_value == value; });
    }

private:
    const Agent& m_agent;
    const std::uint32_t m_id;
    std::mutex m_mutex; // guards m_value
    std::condition_variable m_changed;
    std::uint32_t m_value = 0;
};

Q7::KPX::Value U32(std::uint32_t v)
{
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    return Q7::KPX::Value(6, bytes, 4);
}

struct AgentFigures
{
    Figures readNs;
    Figures setUs;
    Agent::PropertyState record;
};

AgentFigures MeasureAgent(std::size_t sets)
{
    constexpr std::uint32_t kId = 0x7E000001;
    auto properties = Q7::Sim::DeviceControlModel::DefaultProperties();
    Q7::Sim::SimProperty bench;
    bench.id = kId;
    bench.valueType = 6;
    bench.descriptor.name = "Bench value";
    bench.value = Q7::Sim::SimValue::U32(0, "zero");
    properties.push_back(bench);
    auto model = std::make_shared<Q7::Sim::DeviceControlModel>(std::move(properties));

    Q7::Sim::Camera camera(Q7::Sim::CameraDescription::Default());
    camera.SetLogSink({});
    camera.SetChannelHandler({2, 0}, Q7::Sim::DeviceControlHandler::Factory(model));
    camera.Start("127.0.0.1", 0);
    Q7::KPX::Transport::DeviceMoniker moniker;
    moniker.type = Q7::KPX::Transport::kMonikerType_Tcp;
    moniker.tcp.address = 0x7F000001;
    moniker.tcp.port = camera.Port();
    moniker.tcp.connectTimeoutSeconds = 5;
    Q7::KPX::Transport::TcpDevice device(moniker);
    if (device.Open() != 0)
        throw std::runtime_error("cannot open the TCP device");

    AgentFigures figures;
    {
        Q7::KPX::ChannelTransport transport(device, Q7::KPX::Transport::kDefaultPipeId);
        if (transport.Start() != 0)
            throw std::runtime_error("cannot connect to the simulated camera");
        Agent agent(transport);
        StateWatcher watcher(agent, kId);
        agent.SetClientMajorVersions({1, 2});
        agent.SetNotifyReceiver(Agent::NotifyReceiver(&watcher, &StateWatcher::OnNotify));
        agent.Start();
        if (!agent.GetPropertyState(kId, figures.record))
            throw std::runtime_error("the cache was not built");

        Agent::PropertyState state;
        figures.readNs = SampleReads([&] { agent.GetPropertyState(kId, state); });

        std::vector<double> setTimes;
        setTimes.reserve(sets);
        for (std::uint32_t i = 1; i <= sets; ++i)
        {
            const Clock::time_point start = Clock::now();
            if (!agent.SetPropertyValue(kId, U32(i)))
                throw std::runtime_error("the set was refused");
            if (!watcher.WaitForValue(i))
                throw std::runtime_error("the camera's answer did not come");
            setTimes.push_back(Nanoseconds(Clock::now() - start) / 1000.0);
        }
        figures.setUs = Summarise(std::move(setTimes));
        agent.Stop();
        transport.Stop();
    }
    device.Close();
    camera.Stop();
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t rounds = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const std::size_t sets = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    if (rounds == 0 || sets == 0)
    {
        std::fprintf(stderr, "usage: device_control_bench [rounds >= 1] [sets per round >= 1]\n");
        return 2;
    }
    try
    {
        std::vector<double> readMedian, readP99, rawReadMedian, setMedian, setP99, rawSetMedian, rawSetP99;
        for (std::size_t round = 1; round <= rounds; ++round)
        {
            const AgentFigures agent = MeasureAgent(sets);
            const Figures rawRead = RawReadNanoseconds(agent.record);
            const Figures rawSet = RawSetMicroseconds(sets);
            std::printf("round %zu: cached read %.0f ns median, %.0f ns p99 (raw %.0f / %.0f ns); "
                        "set %.1f us median, %.1f us p99 (raw loopback %.1f / %.1f us)\n",
                        round, agent.readNs.median, agent.readNs.p99, rawRead.median, rawRead.p99,
                        agent.setUs.median, agent.setUs.p99, rawSet.median, rawSet.p99);
            readMedian.push_back(agent.readNs.median);
            readP99.push_back(agent.readNs.p99);
            rawReadMedian.push_back(rawRead.median);
            setMedian.push_back(agent.setUs.median);
            setP99.push_back(agent.setUs.p99);
            rawSetMedian.push_back(rawSet.median);
            rawSetP99.push_back(rawSet.p99);
        }
        std::printf("median of %zu rounds: cached read %.0f ns (p99 %.0f ns), %.2f x the raw locked copy; "
                    "set round trip %.1f us (p99 %.1f us), %.2f x the raw loopback exchange (p99 %.2f x)\n",
                    rounds, Median(readMedian), Median(readP99), Median(readMedian) / Median(rawReadMedian),
                    Median(setMedian), Median(setP99), Median(setMedian) / Median(rawSetMedian),
                    Median(setP99) / Median(rawSetP99));
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "device_control_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
