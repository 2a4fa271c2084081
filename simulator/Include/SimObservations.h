// What the simulated camera saw and did, kept for tests to assert on:
// protocol violations by the host, control packets both ways, data counters,
// messages and connection events.
#pragma once

#include "SimWire.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Q7::Sim
{

class Logger;

// What kind of rule the host broke.
enum class ViolationKind
{
    BadPacketMagic,       // packet magic is not 0xDDCCBBAA (connection dropped)
    BadHeaderLength,      // headerLength below 16 or not a multiple of 8 (connection dropped)
    UnusualHeaderLength,  // a valid headerLength other than the 16 a host always sends
    NonZeroTag,           // tag of a host packet is not 0
    NonZeroReserved,      // reserved header bytes are not 0
    BadPacketLength,      // payload/padding/length not what the packet type requires
    NonZeroPadding,       // padding or unused payload bytes are not 0
    Misaligned,           // packet length not a multiple of the channel's alignment, or padding not minimal
    PayloadTooLong,       // Data payload above the channel's maximum payload
    UnexpectedPacketType, // a type a host never sends (PingRequest, OpenReply, Null, unknown)
    PacketInWrongState,   // e.g. OpenRequest on a channel that is open
    BadOpenRequest,       // a fixed field of the OpenRequest has the wrong value
    BadIdentity,          // non-zero identity on channel 0.0
    DataOnClosedChannel,  // Data on a channel the host never opened
    DataAfterClose,       // Data after the host's own CloseRequest or CloseReply on the channel
    UnsupportedChannel,   // Data or control traffic on a channel the camera does not serve
    BadPingReply,         // PingReply that does not echo the ping or has non-zero bytes
    UnexpectedPingReply,  // PingReply with no ping outstanding
    UnexpectedCloseReply, // CloseReply with no CloseRequest outstanding
    BadErrorReply,        // ErrorReply whose payload is malformed or whose tag byte is wrong
    BadMessageHeader,     // message magic, sizes or reserved field wrong (channel stream dropped)
    BadMessage,           // a message's own fields are wrong
    UnexpectedMessage,    // a message a host must not send in this situation
    DataIntegrity,        // payload bytes differ from the agreed test pattern
};

// A stable name for a kind ("BadPacketMagic", ...). Thread-safe.
const char* ViolationKindName(ViolationKind kind);

inline constexpr std::uint64_t kNoConnection = 0;

struct Violation
{
    std::uint64_t connection = kNoConnection; // 1, 2, ... in order of accept
    bool hasChannel = false;
    ChannelId channel;
    ViolationKind kind = ViolationKind::BadPacketMagic;
    std::string text;
};

// A non-Data packet, as received from or sent to a host.
struct PacketRecord
{
    std::uint64_t connection = kNoConnection;
    bool fromHost = true;
    PacketHeader header;
    std::vector<std::uint8_t> payload; // the payload bytes (at most 64)
};

// A message received from a host on a message channel.
struct MessageRecord
{
    std::uint64_t connection = kNoConnection;
    ChannelId channel;
    MessageHeader header;
    std::vector<std::uint8_t> bytes; // the message from its start (at most 512 bytes)
};

// Data counters of one channel, over all connections.
struct DataCounters
{
    std::uint64_t packetsFromHost = 0;
    std::uint64_t bytesFromHost = 0;
    std::uint64_t packetsToHost = 0;
    std::uint64_t bytesToHost = 0;
};

// Everything recorded so far.
struct Observations
{
    std::vector<Violation> violations;
    std::vector<PacketRecord> packets;
    std::vector<MessageRecord> messages;
    std::map<ChannelId, DataCounters> data;
    std::uint64_t connectionsAccepted = 0;
    std::uint64_t connectionsEnded = 0;
    // Channel opens the camera accepted and closes it completed, over all connections.
    std::uint64_t opensAccepted = 0;
    std::uint64_t closesCompleted = 0;
    // Ping round trips whose reply echoed correctly.
    std::uint64_t pingsAnswered = 0;

    // Number of non-Data packets of `type` on `channel` in one direction.
    std::size_t CountPackets(PacketType type, ChannelId channel, bool fromHost) const;
    // Number of non-Data packets of `type` in one direction, on any channel.
    std::size_t CountPackets(PacketType type, bool fromHost) const;
    // Number of violations of one kind.
    std::size_t CountViolations(ViolationKind kind) const;
    // The violations as readable lines, for test failure messages.
    std::string DescribeViolations() const;
};

// Collects observations from the simulator's threads. Thread-safe.
class ObservationLog
{
public:
    explicit ObservationLog(const Logger& logger) : m_logger(logger) {}

    // Records a violation and logs it as an error.
    void AddViolation(Violation violation);
    void AddPacket(PacketRecord record);
    void AddMessage(MessageRecord record);
    void AddData(ChannelId channel, bool fromHost, std::uint64_t bytes);
    // Applies a change to the counters under the lock.
    void Update(const std::function<void(Observations&)>& change);

    // A copy of everything recorded.
    Observations Snapshot() const;
    // Forgets everything recorded.
    void Clear();
    // Waits until `predicate` (called under the log's lock: it must not call
    // back into this object) holds or the time-out passes; true when it holds.
    bool WaitUntil(const std::function<bool(const Observations&)>& predicate,
                   std::chrono::milliseconds timeout) const;

private:
    const Logger& m_logger;
    mutable std::mutex m_mutex; // guards m_obs
    mutable std::condition_variable m_changed;
    Observations m_obs;
};

} // namespace Q7::Sim
