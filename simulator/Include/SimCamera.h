// A simulated camera served over loopback TCP: the camera's side of KPX for
// the library's end-to-end tests, benchmarks and demos.
//
// Typical use in a test:
//
//   Q7::Sim::Camera camera(Q7::Sim::CameraDescription::Default());
//   camera.Faults().AddOpenFault({.channel = {2, 0}, .action = Q7::Sim::OpenAction::Ignore});
//   camera.Start();                       // 127.0.0.1, port chosen by the system
//   ... connect the host to 127.0.0.1:camera.Port() ...
//   EXPECT_TRUE(camera.Snapshot().violations.empty()) << camera.Snapshot().DescribeViolations();
//
// Each accepted connection is one pipe; all channels of the description are
// served on every connection, each connection with its own channel states.
// The camera can also serve pipes carried by other byte streams (Serve): on the
// virtual USB bus each bulk endpoint pair is one (see SimUsbAttachment.h).
#pragma once

#include "SimByteStream.h"
#include "SimCameraDescription.h"
#include "SimChannelHandler.h"
#include "SimFaults.h"
#include "SimImageEnumerationHandler.h"
#include "SimImageStore.h"
#include "SimImageTransferHandler.h"
#include "SimLiveViewHandler.h"
#include "SimLog.h"
#include "SimObservations.h"
#include "SimSocket.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Q7::Sim
{

struct CameraCore;
class Connection;

class Camera
{
public:
    // Data bytes one connection queues before a handler's Send waits.
    static constexpr std::size_t kDefaultSendQueueBytes = 4 * 1024 * 1024;

    // A stopped camera with this description. Channel 0.0 is added when the
    // description lacks it (versions 1.0, 2.0, 2.1).
    explicit Camera(CameraDescription description = CameraDescription::Default());
    // Stops the camera.
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // ---- configuration (before Start; not thread-safe against a running camera)

    // Where log lines go (default: warnings and errors to standard error).
    void SetLogSink(LogSink sink, LogLevel threshold = LogLevel::Warning);
    // Data bytes a connection may queue before senders wait.
    void SetSendQueueLimit(std::size_t bytes);

    // ---- at any time (thread-safe)

    // The handler factory for a channel; applies to opens after the call.
    // Without one, 0.0 gets the enumeration handler, 3.0 image enumeration over
    // Images() with ImageEnumeration(), 4.1 and 4.2 the image transfer of
    // Images()'s captures with ImageTransfer(), 5.1 and 5.2 the live view of
    // LiveView(), 255.0 an echo of development messages,
    // and every other channel one that answers each message with a CommonError.
    void SetChannelHandler(ChannelId channel, ChannelHandlerFactory factory);
    // The faults to inject; tests may change them while the camera runs.
    FaultPlan& Faults();
    // The camera's stored images (thread-safe), shared with the handlers of
    // its image channels.
    ImageStore& Images();
    std::shared_ptr<ImageStore> SharedImages();
    // The behaviour, faults and counters of channel 3.0 (thread-safe).
    ImageEnumerationControl& ImageEnumeration();
    std::shared_ptr<ImageEnumerationControl> SharedImageEnumeration();
    // The behaviour, faults and counters of channels 4.1 and 4.2 (thread-safe).
    ImageTransferControl& ImageTransfer();
    std::shared_ptr<ImageTransferControl> SharedImageTransfer();
    // The behaviour, faults and counters of channels 5.1 and 5.2 (thread-safe).
    LiveViewControl& LiveView();

    // ---- lifecycle

    // Listens on `address` (127.0.0.0/8 only) and `port` (0: system-chosen)
    // and starts accepting. Throws std::invalid_argument for a non-loopback
    // address, std::logic_error when already running, std::system_error when
    // the port cannot be bound. Thread-safe.
    void Start(const std::string& address = "127.0.0.1", std::uint16_t port = 0);
    // Serves one pipe over `stream` as a connection of its own (its id is
    // returned), whether or not the camera listens on TCP. Throws
    // std::system_error when its threads cannot start. Thread-safe.
    std::uint64_t Serve(std::unique_ptr<ByteStream> stream);
    // Stops accepting, closes every connection (served streams too) and joins
    // all threads. Blocks until they ended. Idempotent; thread-safe; not from a
    // handler.
    void Stop();
    bool IsRunning() const;
    // The bound port (valid after Start) and address.
    std::uint16_t Port() const;
    std::string Address() const;
    // The description in effect (with 0.0 added when it was missing).
    const CameraDescription& Description() const;

    // ---- observations (thread-safe)

    Observations Snapshot() const;
    std::vector<Violation> Violations() const;
    // Forgets everything observed so far (counters included).
    void ClearObservations();
    // Waits until `predicate` holds over the observations; true when it does.
    // The predicate runs under the observation lock: it must not call the camera.
    bool WaitUntil(const std::function<bool(const Observations&)>& predicate,
                   std::chrono::milliseconds timeout) const;

    // ---- connections (thread-safe; ids are 1, 2, ... in order of accept)

    // Ids of the connections that are still up.
    std::vector<std::uint64_t> Connections() const;
    // The newest live connection, or 0.
    std::uint64_t LatestConnection() const;
    // Waits until at least `count` connections are up.
    bool WaitForConnections(std::size_t count, std::chrono::milliseconds timeout) const;
    // Channels the camera has open on a connection.
    std::vector<ChannelId> OpenChannels(std::uint64_t connection) const;

    // ---- actions on a connection (thread-safe; false when the connection is gone)

    // Sends a PingRequest carrying `value` and waits for the host's PingReply;
    // true when it echoed correctly in time (a wrong echo is also a violation).
    bool Ping(std::uint64_t connection, ChannelId channel, std::uint8_t value,
              std::chrono::milliseconds timeout);
    // Sends a PingRequest without waiting.
    bool SendPing(std::uint64_t connection, ChannelId channel, std::uint8_t value);
    // Sends bytes on a channel the camera has open on the connection, as its
    // handler's Send would (e.g. an event message pushed by the camera). Blocks
    // while the connection's send queue is full; false when the channel is not open.
    bool SendOnChannel(std::uint64_t connection, ChannelId channel, std::span<const std::uint8_t> bytes);
    // Closes a channel from the camera's side (CloseRequest).
    bool SendCloseRequest(std::uint64_t connection, ChannelId channel);
    // Sends an ErrorReply with `code`.
    bool SendErrorReply(std::uint64_t connection, ChannelId channel, std::uint8_t code);
    // Sends a packet with a malformed header.
    bool SendMalformedHeader(std::uint64_t connection, MalformedHeader kind, ChannelId channel = {});
    // Sends bytes as they stand, after whatever is queued.
    bool SendRaw(std::uint64_t connection, std::vector<std::uint8_t> bytes);
    // Ends a connection now, orderly or with a reset, and waits until it is closed.
    bool DropConnection(std::uint64_t connection, DropMode mode = DropMode::Close);
    // Ends every connection (the camera keeps accepting new ones).
    void DropAllConnections(DropMode mode = DropMode::Close);
    // The camera goes away, as one unplugged: it stops listening (a host's
    // connect is refused) and resets every connection (on the virtual USB bus
    // a dropped pipe takes the device off the bus). Returns once it no longer
    // listens; Stop ends it for good. Thread-safe. Faults may do the same from
    // the camera's own threads (OpenAction::Unplug and the like).
    void Unplug();

private:
    void AcceptLoop();
    // Adds and starts a connection over the stream; answers its id (0 when it
    // could not start).
    std::uint64_t AddConnection(std::unique_ptr<ByteStream> stream);
    void UnplugNow(); // acceptor thread
    std::shared_ptr<Connection> Find(std::uint64_t connection) const;
    void ReapFinished(); // m_connectionsMutex held

    std::shared_ptr<CameraCore> m_core;

    mutable std::mutex m_lifecycleMutex; // serialises Start and Stop; guards m_address
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_unplugRequested{false}; // the acceptor unplugs the camera when woken
    std::string m_address;
    std::atomic<std::uint16_t> m_port{0};
    UniqueFd m_listen;
    std::mutex m_wakeMutex; // guards m_acceptWake against an unplug from a connection's thread
    std::unique_ptr<WakeEvent> m_acceptWake;
    std::thread m_acceptor;

    mutable std::mutex m_connectionsMutex; // guards m_connections and m_nextConnectionId
    mutable std::condition_variable m_connectionsChanged;
    std::vector<std::shared_ptr<Connection>> m_connections;
    std::uint64_t m_nextConnectionId = 1;
};

} // namespace Q7::Sim
