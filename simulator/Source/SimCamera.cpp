#include "SimCamera.h"

#include "SimCameraCore.h"
#include "SimConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace Q7::Sim
{

namespace
{

CameraDescription WithChannelZero(CameraDescription d)
{
    if (d.FindChannel({0, 0}) == nullptr)
    {
        ChannelConfig c;
        c.id = {0, 0};
        c.versions = {{1, 0}, {2, 0}, {2, 1}};
        d.channels.insert(d.channels.begin(), c);
    }
    return d;
}

} // namespace

Camera::Camera(CameraDescription description)
    : m_core(std::make_shared<CameraCore>(WithChannelZero(std::move(description)), Logger::StandardError(),
                                          LogLevel::Warning, kDefaultSendQueueBytes))
{
    m_core->unplug = [this]
    {
        m_unplugRequested = true;
        std::lock_guard lock(m_wakeMutex);
        if (m_acceptWake)
        {
            m_acceptWake->Signal();
        }
    };
}

Camera::~Camera()
{
    Stop();
}

void Camera::SetLogSink(LogSink sink, LogLevel threshold)
{
    m_core->logger.Configure(std::move(sink), threshold);
}

void Camera::SetSendQueueLimit(std::size_t bytes)
{
    m_core->sendQueueLimit = std::max<std::size_t>(bytes, 1);
}

void Camera::SetChannelHandler(ChannelId channel, ChannelHandlerFactory factory)
{
    m_core->SetFactory(channel, std::move(factory));
}

ImageStore& Camera::Images()
{
    return *m_core->images;
}

std::shared_ptr<ImageStore> Camera::SharedImages()
{
    return m_core->images;
}

ImageEnumerationControl& Camera::ImageEnumeration()
{
    return *m_core->imageEnumeration;
}

std::shared_ptr<ImageEnumerationControl> Camera::SharedImageEnumeration()
{
    return m_core->imageEnumeration;
}

ImageTransferControl& Camera::ImageTransfer()
{
    return *m_core->imageTransfer;
}

std::shared_ptr<ImageTransferControl> Camera::SharedImageTransfer()
{
    return m_core->imageTransfer;
}

LiveViewControl& Camera::LiveView()
{
    return *m_core->liveView;
}

FaultPlan& Camera::Faults()
{
    return m_core->faults;
}

void Camera::Start(const std::string& address, std::uint16_t port)
{
    std::lock_guard lock(m_lifecycleMutex);
    if (m_running)
    {
        throw std::logic_error("the simulated camera is already running");
    }
    std::uint16_t bound = 0;
    m_listen = ListenOnLoopback(address, port, bound);
    m_unplugRequested = false;
    {
        std::lock_guard wakeLock(m_wakeMutex);
        m_acceptWake = std::make_unique<WakeEvent>();
    }
    m_address = address;
    m_port = bound;
    m_acceptor = std::thread([this] { AcceptLoop(); });
    m_running = true;
    m_core->logger.Write(LogLevel::Info, "camera \"" + m_core->description.modelName + "\" listening on " +
                                             address + ":" + std::to_string(bound));
}

void Camera::Stop()
{
    std::lock_guard lock(m_lifecycleMutex);
    const bool listened = m_running;
    if (listened)
    {
        m_acceptWake->Signal();
        if (m_acceptor.joinable()) // an unplugged camera's acceptor has ended
        {
            m_acceptor.join();
        }
        m_listen.Reset();
    }
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard connLock(m_connectionsMutex);
        connections.swap(m_connections);
    }
    for (auto& c : connections)
    {
        c->RequestStop(DropMode::Close);
    }
    for (auto& c : connections)
    {
        c->Join();
    }
    connections.clear();
    // Its handlers are gone with the connections: the image sender ends too.
    m_core->imageTransfer->Stop();
    m_core->liveView->Stop();
    if (listened)
    {
        m_running = false;
        m_core->logger.Write(LogLevel::Info, "camera stopped");
    }
}

bool Camera::IsRunning() const
{
    return m_running;
}

std::uint16_t Camera::Port() const
{
    return m_port;
}

std::string Camera::Address() const
{
    std::lock_guard lock(m_lifecycleMutex);
    return m_address;
}

const CameraDescription& Camera::Description() const
{
    return m_core->description;
}

void Camera::AcceptLoop()
{
    for (;;)
    {
        const auto ready = WaitReady(m_listen.Get(), POLLIN, m_acceptWake->Fd());
        if (ready == PollResult::Woken)
        {
            if (m_unplugRequested)
            {
                UnplugNow();
            }
            return;
        }
        if (ready == PollResult::Error)
        {
            m_core->logger.Write(LogLevel::Error, "accept loop: poll failed");
            return;
        }
        UniqueFd fd(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.Valid())
        {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED)
            {
                continue;
            }
            m_core->logger.Write(LogLevel::Error, std::string("accept failed: ") + std::strerror(err));
            // Out of descriptors or similar: wait a moment (or for Stop) before trying again.
            pollfd wake{m_acceptWake->Fd(), POLLIN, 0};
            if (::poll(&wake, 1, 100) > 0)
            {
                return;
            }
            continue;
        }
        if (const auto fault = m_core->faults.TakeAcceptFault())
        {
            m_core->logger.Write(LogLevel::Warning, "fault: dropping a connection as it is accepted");
            if (fault->mode == DropMode::Reset)
            {
                linger lg{1, 0};
                ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
            }
            m_core->observations.Update([](Observations& o)
                                        { ++o.connectionsAccepted, ++o.connectionsEnded; });
            continue;
        }
        AddConnection(MakeSocketStream(std::move(fd)));
    }
}

std::uint64_t Camera::Serve(std::unique_ptr<ByteStream> stream)
{
    return AddConnection(std::move(stream));
}

std::uint64_t Camera::AddConnection(std::unique_ptr<ByteStream> stream)
{
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(m_connectionsMutex);
        ReapFinished();
        connection = std::make_shared<Connection>(m_nextConnectionId++, std::move(stream), m_core);
        m_connections.push_back(connection);
    }
    m_core->observations.Update([](Observations& o) { ++o.connectionsAccepted; });
    std::uint64_t id = connection->Id();
    try
    {
        connection->Start();
    }
    catch (const std::exception& e)
    {
        m_core->logger.Write(LogLevel::Error, std::string("cannot serve a connection: ") + e.what());
        id = 0;
    }
    m_connectionsChanged.notify_all();
    return id;
}

void Camera::Unplug()
{
    std::lock_guard lock(m_lifecycleMutex);
    if (m_running && m_acceptor.joinable())
    {
        // The acceptor stops listening and resets every connection, then ends.
        m_core->RequestUnplug();
        m_acceptor.join();
        return;
    }
    // Not listening (pipes served over other streams): reset them all.
    std::lock_guard connLock(m_connectionsMutex);
    for (auto& c : m_connections)
    {
        c->RequestStop(DropMode::Reset);
    }
}

// On the acceptor thread, which ends afterwards.
void Camera::UnplugNow()
{
    m_listen.Reset();
    m_core->logger.Write(LogLevel::Warning, "camera unplugged");
    std::lock_guard lock(m_connectionsMutex);
    for (auto& c : m_connections)
    {
        c->RequestStop(DropMode::Reset);
    }
}

void Camera::ReapFinished()
{
    for (auto it = m_connections.begin(); it != m_connections.end();)
    {
        if ((*it)->Finished())
        {
            (*it)->Join();
            it = m_connections.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

std::shared_ptr<Connection> Camera::Find(std::uint64_t connection) const
{
    std::lock_guard lock(m_connectionsMutex);
    for (const auto& c : m_connections)
    {
        if (c->Id() == connection && !c->Finished())
        {
            return c;
        }
    }
    return nullptr;
}

Observations Camera::Snapshot() const
{
    return m_core->observations.Snapshot();
}

std::vector<Violation> Camera::Violations() const
{
    return m_core->observations.Snapshot().violations;
}

void Camera::ClearObservations()
{
    m_core->observations.Clear();
}

bool Camera::WaitUntil(const std::function<bool(const Observations&)>& predicate,
                       std::chrono::milliseconds timeout) const
{
    return m_core->observations.WaitUntil(predicate, timeout);
}

std::vector<std::uint64_t> Camera::Connections() const
{
    std::lock_guard lock(m_connectionsMutex);
    std::vector<std::uint64_t> ids;
    for (const auto& c : m_connections)
    {
        if (!c->Finished())
        {
            ids.push_back(c->Id());
        }
    }
    return ids;
}

std::uint64_t Camera::LatestConnection() const
{
    const auto ids = Connections();
    return ids.empty() ? 0 : ids.back();
}

bool Camera::WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(m_connectionsMutex);
    return m_connectionsChanged.wait_for(
        lock, timeout,
        [&]
        {
            return static_cast<std::size_t>(std::count_if(m_connections.begin(), m_connections.end(),
                                                          [](const auto& c) { return !c->Finished(); })) >=
                   count;
        });
}

std::vector<ChannelId> Camera::OpenChannels(std::uint64_t connection) const
{
    auto c = Find(connection);
    return c ? c->OpenChannels() : std::vector<ChannelId>{};
}

bool Camera::Ping(std::uint64_t connection, ChannelId channel, std::uint8_t value,
                  std::chrono::milliseconds timeout)
{
    auto c = Find(connection);
    std::uint64_t before = 0;
    if (!c || !c->SendPing(channel, value, before))
    {
        return false;
    }
    return c->WaitPingAnswers(channel, before + 1, timeout);
}

bool Camera::SendPing(std::uint64_t connection, ChannelId channel, std::uint8_t value)
{
    auto c = Find(connection);
    std::uint64_t before = 0;
    return c && c->SendPing(channel, value, before);
}

bool Camera::SendOnChannel(std::uint64_t connection, ChannelId channel, std::span<const std::uint8_t> bytes)
{
    auto c = Find(connection);
    return c && c->SendOnChannel(channel, bytes);
}

bool Camera::SendCloseRequest(std::uint64_t connection, ChannelId channel)
{
    auto c = Find(connection);
    return c && c->SendCloseRequest(channel);
}

bool Camera::SendErrorReply(std::uint64_t connection, ChannelId channel, std::uint8_t code)
{
    auto c = Find(connection);
    return c && c->SendErrorReply(channel, code);
}

bool Camera::SendMalformedHeader(std::uint64_t connection, MalformedHeader kind, ChannelId channel)
{
    auto c = Find(connection);
    return c && c->SendMalformed(kind, channel);
}

bool Camera::SendRaw(std::uint64_t connection, std::vector<std::uint8_t> bytes)
{
    auto c = Find(connection);
    return c && c->SendRaw(std::move(bytes));
}

bool Camera::DropConnection(std::uint64_t connection, DropMode mode)
{
    auto c = Find(connection);
    if (!c)
    {
        return false;
    }
    c->RequestStop(mode);
    c->Join();
    return true;
}

void Camera::DropAllConnections(DropMode mode)
{
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard lock(m_connectionsMutex);
        connections = m_connections;
    }
    for (auto& c : connections)
    {
        c->RequestStop(mode);
    }
    for (auto& c : connections)
    {
        c->Join();
    }
}

} // namespace Q7::Sim
