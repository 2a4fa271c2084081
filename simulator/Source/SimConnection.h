// One pipe of a simulated camera (a TCP connection or a USB endpoint pair,
// carried by a ByteStream): its receive thread runs the camera's side of the
// channel layer, its send thread writes queued packets, so a host that stops
// reading never blocks the camera's reading.
#pragma once

#include "SimByteStream.h"
#include "SimCameraCore.h"
#include "SimFaults.h"
#include "SimSocket.h"
#include "SimWire.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace Q7::Sim
{

class ChannelContextImpl;

class Connection
{
public:
    // Takes the stream of the pipe. Starts nothing.
    Connection(std::uint64_t id, std::unique_ptr<ByteStream> stream, std::shared_ptr<CameraCore> core);
    // Stops and joins the threads.
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the receive and send threads. Throws std::system_error when a thread cannot start.
    void Start();
    // Asks both threads to end and the connection to close in `mode` (the first request's mode wins).
    // Thread-safe.
    void RequestStop(DropMode mode);
    // Waits until the receive thread (which joins the send thread) ended. Thread-safe, not from the
    // connection's threads.
    void Join();
    // True once the connection has ended and its stream is closed. Thread-safe.
    bool Finished() const;

    std::uint64_t Id() const { return m_id; }
    std::uint16_t LocalPort() const { return m_stream->LocalPort(); }
    std::uint8_t TransportType() const { return m_stream->TransportType(); }

    // On-demand actions (test thread). Each is thread-safe and returns false once the connection ended.
    bool SendPing(ChannelId id, std::uint8_t value, std::uint64_t& answersBefore);
    bool WaitPingAnswers(ChannelId id, std::uint64_t count, std::chrono::milliseconds timeout);
    bool SendOnChannel(ChannelId id, std::span<const std::uint8_t> bytes);
    bool SendCloseRequest(ChannelId id);
    bool SendErrorReply(ChannelId id, std::uint8_t code);
    bool SendRaw(std::vector<std::uint8_t> bytes);
    bool SendMalformed(MalformedHeader kind, ChannelId id);
    // Channels open on the camera's side of this connection.
    std::vector<ChannelId> OpenChannels() const;

    // Used by channel contexts.
    // Queues bytes as Data packets; `constant` bytes are written from where they
    // lie (see ChannelContext::SendConstant and SendShared: each packet holds
    // `owner`, when given), others are copied.
    // With `bulkAtOnce`, the calling thread also writes bulk data itself, as
    // far as the stream takes it without waiting (see SendDirect).
    bool SendData(ChannelContextImpl& context, std::span<const std::uint8_t> bytes, bool constant,
                  std::shared_ptr<const void> owner = nullptr, bool bulkAtOnce = false);
    // Ends the connection once everything queued so far is written.
    void DropAfterOutput(ChannelId id);
    void CloseFromCamera(ChannelId id, std::uint64_t serial);
    const std::shared_ptr<CameraCore>& Core() const { return m_core; }

private:
    enum class SlotState
    {
        Closed,
        Open,
        CloseSent, // the camera sent CloseRequest and waits for CloseReply
    };

    // The camera's state of one channel on this connection. Guarded by m_stateMutex,
    // except `handler`, which only the receive thread touches.
    struct Slot
    {
        SlotState state = SlotState::Closed;
        const ChannelConfig* config = nullptr;
        bool closedByHost = false; // the host's CloseRequest or CloseReply came since its last open
        unsigned closeRequestsOutstanding = 0;
        std::optional<std::uint8_t> pingOutstanding;
        std::uint64_t pingAnswers = 0;
        // What the host applies to packets it sends on this channel, as fixed by
        // the last OpenReply it could accept up to that step.
        std::uint8_t hostAlignmentExponent = 0;
        std::uint16_t hostMaxPayload = kInitialMaxPayload;
        std::uint64_t bytesThisOpen = 0;
        bool countedOpen = false;
        std::shared_ptr<ChannelContextImpl> context;
        std::unique_ptr<ChannelHandler> handler;
    };

    enum class PostAction
    {
        None,
        Drop,
        Reset,
        Stall, // send nothing more after this item
    };

    // A packet to write. A control packet is `bytes`; a Data packet is
    // `header`, its payload (`constantPayload`, or else `bytes`) and
    // `padding` zero bytes.
    struct OutItem
    {
        std::vector<std::uint8_t> bytes;
        std::array<std::uint8_t, kPacketHeaderSize> header{};
        std::span<const std::uint8_t> constantPayload;
        std::shared_ptr<const void> owner; // keeps constantPayload valid, when it is not constant
        std::size_t padding = 0;
        std::size_t size = 0; // bytes on the wire
        ChannelId channel;
        bool data = false;
        std::uint64_t serial = 0; // the open that queued a Data item
        std::size_t payloadBytes = 0;
        std::chrono::steady_clock::time_point notBefore{};
        PostAction post = PostAction::None;
        bool continuation = false; // `bytes` are the rest of a packet already partly written
    };

    using Handlers =
        std::vector<std::pair<std::unique_ptr<ChannelHandler>, std::shared_ptr<ChannelContextImpl>>>;

    void ReceiveLoop();
    void SendLoop();
    bool Fill(std::size_t n);
    bool SendBatch(std::vector<OutItem>& batch);
    // Writes what is due at the head of the queue from the calling thread while
    // no batch is being written, as much as the stream takes without waiting;
    // the rest stays queued, in order, for the send thread. Small answers only,
    // unless `bulk`. Takes `lock` (on m_txMutex) held and releases it.
    void SendDirect(std::unique_lock<std::mutex>& lock, bool bulk = false);
    void RecordSent(const std::vector<OutItem>& batch);
    bool StopRequested() const;
    // Refuses further output and wakes every sender waiting for queue room.
    // Called when the send thread ends, since nothing drains the queue after it.
    void StopQueue();
    void Shutdown();

    // The camera's entry for a channel served on this pipe; null when the
    // camera does not serve it here (on USB: not on this endpoint).
    const ChannelConfig* Served(ChannelId id) const;

    void HandlePacket(const PacketHeader& h, std::span<const std::uint8_t> packet);
    void HandleOpenRequest(const PacketHeader& h, std::span<const std::uint8_t> payload,
                           const ChannelConfig& config);
    void HandleCloseRequest(const PacketHeader& h);
    void HandleCloseReply(const PacketHeader& h);
    void HandlePingReply(const PacketHeader& h, std::span<const std::uint8_t> payload);
    void HandleErrorReply(const PacketHeader& h, std::span<const std::uint8_t> payload);
    void HandleData(const PacketHeader& h, std::span<const std::uint8_t> payload);
    void CheckOpenRequestFields(ChannelId id, const OpenPayload& request);
    bool CheckControlLength(const PacketHeader& h);
    void ApplyDataFault(const DataFault& fault, ChannelId id);
    // The camera goes away: every connection resets and no new one is accepted.
    void Unplug();

    Slot& SlotFor(ChannelId id, const ChannelConfig* config); // m_stateMutex held
    void LeaveOpenLocked(Slot& slot, ChannelId id);           // m_stateMutex held
    void FinishHandler(std::unique_ptr<ChannelHandler> handler, std::shared_ptr<ChannelContextImpl> context);

    // Queues a control packet (never waits for space).
    void QueueControl(std::vector<std::uint8_t> bytes, ChannelId id,
                      std::chrono::milliseconds delay = std::chrono::milliseconds{0},
                      PostAction post = PostAction::None);
    void Violate(ViolationKind kind, std::string text, std::optional<ChannelId> id = std::nullopt);
    void Log(LogLevel level, const std::string& line) const;

    const std::uint64_t m_id;
    const std::unique_ptr<ByteStream> m_stream;
    const std::shared_ptr<CameraCore> m_core;
    std::mutex m_joinMutex; // serialises joins of m_receiver
    std::thread m_receiver;
    std::thread m_sender;

    mutable std::mutex m_stopMutex;        // guards m_stopRequested, m_dropMode
    std::condition_variable m_stopChanged; // signalled when a stop is requested
    bool m_stopRequested = false;
    DropMode m_dropMode = DropMode::Close;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_stopReading{false}; // set by a StopReading fault (receive thread)

    // Receive thread only.
    std::vector<std::uint8_t> m_rx;
    std::size_t m_rxBegin = 0;
    std::size_t m_rxEnd = 0;

    mutable std::mutex m_txMutex; // guards m_txQueue, m_txDataBytes, m_txStop and every context's open flag
    std::condition_variable m_txChanged;
    std::deque<OutItem> m_txQueue;
    std::size_t m_txDataBytes = 0; // Data bytes queued or being written
    bool m_txStop = false;
    bool m_txBusy = false;           // a batch is being written (by the send thread or SendDirect)
    std::size_t m_txRoomWaiters = 0; // SendData calls in (or about to enter) a wait for queue room

    mutable std::mutex m_stateMutex; // guards m_slots (lock order: m_stateMutex, then m_txMutex)
    std::condition_variable m_stateChanged;
    std::map<ChannelId, Slot> m_slots;
    std::uint64_t m_nextSerial = 1;
};

// The context handed to a channel's handler.
class ChannelContextImpl final : public ChannelContext
{
public:
    ChannelContextImpl(Connection& connection, const ChannelConfig& config, Version version,
                       std::uint64_t serial)
        : m_connection(connection), m_config(config), m_version(version), m_serial(serial)
    {
    }

    ChannelId Channel() const override { return m_config.id; }
    std::uint64_t ConnectionId() const override { return m_connection.Id(); }
    Version NegotiatedVersion() const override { return m_version; }
    const CameraDescription& Description() const override { return m_connection.Core()->description; }
    std::uint16_t LocalPort() const override { return m_connection.LocalPort(); }
    std::uint8_t TransportType() const override { return m_connection.TransportType(); }
    const Logger& Log() const override { return m_connection.Core()->logger; }
    bool Send(std::span<const std::uint8_t> bytes) override
    {
        return m_connection.SendData(*this, bytes, false);
    }
    bool SendConstant(std::span<const std::uint8_t> bytes) override
    {
        return m_connection.SendData(*this, bytes, true);
    }
    bool SendShared(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner) override
    {
        return m_connection.SendData(*this, bytes, true, std::move(owner));
    }
    bool SendSharedAtOnce(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner) override
    {
        return m_connection.SendData(*this, bytes, true, std::move(owner), true);
    }
    void DropConnectionAfterOutput() override { m_connection.DropAfterOutput(m_config.id); }
    bool IsOpen() const override { return m_open.load(); }
    void RequestClose() override { m_connection.CloseFromCamera(m_config.id, m_serial); }
    void ReportViolation(ViolationKind kind, std::string text) override;
    void RecordMessage(const MessageHeader& header, std::span<const std::uint8_t> message) override;

    const ChannelConfig& Config() const { return m_config; }
    std::uint64_t Serial() const { return m_serial; }
    // Written only under the connection's m_txMutex.
    void SetOpen(bool open) { m_open.store(open); }

private:
    Connection& m_connection;
    const ChannelConfig& m_config;
    const Version m_version;
    const std::uint64_t m_serial;
    std::atomic<bool> m_open{true};
};

} // namespace Q7::Sim
