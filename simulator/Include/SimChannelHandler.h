// The seam through which a simulated camera's channels get their behaviour:
// a handler receives the byte stream of one open channel and may send bytes
// back. Channel 0.0 has the enumeration handler; tests and later camera
// features register handlers for the other channels.
#pragma once

#include "SimObservations.h"
#include "SimWire.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace Q7::Sim
{

class Logger;
struct CameraDescription;

// What a handler may do with its channel. One context per open of a channel
// on one connection; it stays valid until the handler's OnClose returns.
class ChannelContext
{
public:
    virtual ~ChannelContext() = default;

    virtual ChannelId Channel() const = 0;
    // The connection's number (1, 2, ... in order of accept).
    virtual std::uint64_t ConnectionId() const = 0;
    // The message protocol version the camera chose in its OpenReply.
    virtual Version NegotiatedVersion() const = 0;
    // The camera's description (constant while the camera runs).
    virtual const CameraDescription& Description() const = 0;
    // The camera's TCP port that the host connected to; 0 on USB.
    virtual std::uint16_t LocalPort() const = 0;
    // How the host reaches the camera: kTransportTcp or kTransportUsb.
    virtual std::uint8_t TransportType() const = 0;
    virtual const Logger& Log() const = 0;

    // Sends bytes on the channel as Data packets (split at the channel's send
    // payload limit). Blocks while the connection's send queue is full, so a
    // host that stops reading holds the sender back; returns false, without
    // having sent everything, when the channel closes or the connection ends
    // first. Thread-safe: a handler's own threads may call it until OnClose returns.
    virtual bool Send(std::span<const std::uint8_t> bytes) = 0;
    // Send for bytes that stay valid and unchanged while the camera runs
    // (constant tables): the packets are written from where the bytes lie,
    // without a copy.
    virtual bool SendConstant(std::span<const std::uint8_t> bytes) = 0;
    // Send for bytes that `owner` keeps valid and unchanged: the packets are
    // written from where the bytes lie, without a copy, and hold `owner` until
    // they are written or dropped.
    virtual bool SendShared(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner) = 0;
    // SendShared for a thread of the handler's own that streams bulk data:
    // when nothing is queued ahead, the calling thread writes as much of it
    // as the connection takes without waiting (a camera's DMA rather than a
    // hand-over to the send thread); the rest is queued as SendShared does.
    virtual bool SendSharedAtOnce(std::span<const std::uint8_t> bytes, std::shared_ptr<const void> owner) = 0;
    // True until the channel leaves the open state. Thread-safe.
    virtual bool IsOpen() const = 0;
    // Closes the channel from the camera's side (sends a CloseRequest). Thread-safe.
    virtual void RequestClose() = 0;
    // Ends the whole connection once everything queued on it so far is
    // written, as a camera that goes away in the middle of its output (on the
    // virtual USB bus the device leaves the bus). Thread-safe.
    virtual void DropConnectionAfterOutput() = 0;

    // Records a protocol violation by the host on this channel (and logs it). Thread-safe.
    virtual void ReportViolation(ViolationKind kind, std::string text) = 0;
    // Records a message received from the host on this channel. Thread-safe.
    virtual void RecordMessage(const MessageHeader& header, std::span<const std::uint8_t> message) = 0;
};

// Behaviour of one open channel. A new handler is made for every open and
// dropped after OnClose. All three calls run on the connection's receive
// thread, in order; a handler that blocks there (for example in Send) stops the
// camera reading that connection, as a busy camera would.
class ChannelHandler
{
public:
    virtual ~ChannelHandler() = default;

    // The camera accepted the open; the OpenReply is queued ahead of anything sent here.
    virtual void OnOpen(ChannelContext& context);
    // Payload bytes of one Data packet from the host.
    virtual void OnData(ChannelContext& context, std::span<const std::uint8_t> bytes) = 0;
    // The channel closed (either side) or the connection ended. Afterwards the
    // context is gone: threads of the handler must have stopped using it.
    virtual void OnClose(ChannelContext& context);
};

// Makes the handler for an open of the channel. Called on a receive thread.
using ChannelHandlerFactory = std::function<std::unique_ptr<ChannelHandler>(ChannelId)>;

} // namespace Q7::Sim
