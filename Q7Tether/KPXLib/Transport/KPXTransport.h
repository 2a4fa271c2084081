#pragma once
// The transport contract of the KPX library: a transport device stands for one
// attached camera, a transport pipe is one bidirectional byte stream to it. The
// device manager makes a device from a DeviceMoniker; the KPX camera opens it,
// creates the default pipe and one pipe per channel descriptor, and hands each
// pipe to a channel transport, which reads and writes channel packets on it.
// Implementations: the USB transport and the TCP transport (KPXTransport_Tcp.h).

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalFunPtr_Template.h"
#include "Transport/KPXDeviceMoniker.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace Q7::KPX
{

/// A list of wait objects whose signalling aborts a blocking operation.
using WaitObjectList = std::vector<Q7::Platform::BaseWaitObject*>;

/// Bytes handed to a gathered write.
using ConstByteSpan = std::span<const std::uint8_t>;

/// Room for a scattered read.
using ByteSpan = std::span<std::uint8_t>;

} // namespace Q7::KPX

namespace Q7::KPX::Transport
{

/// Pipe id of the default pipe (USB: endpoint 1; TCP: the moniker's port).
inline constexpr uint32_t kDefaultPipeId = 0xFFFFFFFFu;

/// Results of the pipe operations (the codes of the platform I/O layer).
enum EnumPipeResult : uint32_t
{
    kPipeResult_Success = 0,
    kPipeResult_Aborted = 1,      ///< one of the caller's abort objects was signalled
    kPipeResult_Timeout = 2,      ///< the time-out ran out (or a connect timed out)
    kPipeResult_Closed = 3,       ///< the pipe or device is closed or not open
    kPipeResult_Disconnected = 4, ///< the link to the camera is lost
};

/// How a device is attached (result of DeviceInterface::GetConnectionType).
enum EnumConnectionType : uint32_t
{
    kConnectionType_Unknown = 0,
    kConnectionType_UsbUnknownSpeed = 1,
    kConnectionType_Usb2 = 2,
    kConnectionType_Usb3 = 3,
    kConnectionType_Tcp = 4,
};

/// The link-loss callback: called with no arguments on the device's notify thread.
using NotifyCallback = Q7::Universal::FunctionPointer0<void>;

class PipeInterface;

/// One attached camera. Implementations are thread-safe: Open and Close are
/// serialised, the state queries and events may be used from any thread.
///
/// Every open device runs one notify thread that waits for its stop event or the
/// device's disconnected event. When the link is lost while the device is open it
/// calls the link-loss callback once and ends: one Open reports at most one link
/// loss, however many pipes fail. An ordinary Close stops the notify thread
/// before it marks the device closed, so a Close is never reported as a link loss.
class DeviceInterface
{
public:
    /// The device's own copy of the moniker it was made from. Thread-safe.
    virtual const DeviceMoniker& GetMoniker() const = 0;

    /// Opens the device (closing it first when open) and starts its notify
    /// thread. Answers 0 on success, else a pipe result. Errors the platform raises
    /// pass through after a Close. Blocks. Thread-safe, except on the notify
    /// thread: the link-loss callback cannot reopen its own device (the notify
    /// thread cannot restart itself); hand the reopen to another thread.
    virtual uint32_t Open() = 0;

    /// Stops the notify thread, then closes the device; safe on a closed device.
    /// Blocks until the notify thread has ended (a running link-loss callback
    /// finishes first), holding the device's lock meanwhile: the link-loss
    /// callback must not call Open or Close of its device while another thread
    /// may be closing it. Thread-safe.
    virtual void Close() = 0;

    /// True while the device is open (its closed event is not set). Thread-safe.
    virtual bool IsOpen() const = 0;

    /// True while neither the closed nor the disconnected event is set. Thread-safe.
    virtual bool IsConnected() const = 0;

    /// Set while the device is closed. For waiting; thread-safe.
    virtual Q7::Platform::EventStatus& GetClosedEvent() = 0;

    /// Set when the link to the camera is lost, and while closed. For waiting;
    /// thread-safe.
    virtual Q7::Platform::EventStatus& GetDisconnectedEvent() = 0;

    /// Makes a new, unopened pipe with the given id (kDefaultPipeId for the default
    /// pipe), owned by the caller. The pipe must be destroyed before the device.
    /// Raises ModuleError when the implementation refuses the id. Thread-safe.
    virtual std::unique_ptr<PipeInterface> CreatePipe(uint32_t pipeId) = 0;

    /// Closes the device.
    virtual ~DeviceInterface() = default;

    /// How the device is attached (EnumConnectionType). Thread-safe.
    virtual uint32_t GetConnectionType() = 0;

    /// Installs a clone of the link-loss callback (an empty holder removes it).
    /// Waits while the callback runs, so once it returns the previous callback
    /// will not be called any more; a callback may replace itself. The callback
    /// must not wait for a thread that is inside SetNotifyCallback. Thread-safe.
    virtual void SetNotifyCallback(const NotifyCallback& callback) = 0;
};

/// One bidirectional byte stream to a camera. A pipe is made by its device and
/// must not outlive it. One thread reads while others write; Close may be called
/// from any thread and ends blocked reads and writes with kPipeResult_Closed.
class PipeInterface
{
public:
    /// The pipe's id (USB: endpoint number 1-15; TCP: port). Thread-safe.
    virtual uint32_t GetPipeId() const = 0;

    /// The device that created the pipe. Thread-safe.
    virtual DeviceInterface& GetDevice() = 0;

    /// Opens the pipe. Answers 0 on success, else a pipe result. Blocks.
    virtual uint32_t Open() = 0;

    /// Closes the pipe; wakes any thread blocked in Read or Write. Thread-safe.
    virtual void Close() = 0;

    /// Ends the pipe as a lost link: marks its device disconnected (the
    /// device's notify thread reports the loss, once, as for any lost link)
    /// and closes the pipe, which wakes any thread blocked in Read or Write.
    /// For a byte stream that can no longer be trusted, such as a camera that
    /// stopped in the middle of a packet. Thread-safe.
    virtual void CloseAsLost() = 0;

    /// True while the pipe is open. Thread-safe.
    virtual bool IsOpen() const = 0;

    /// True while the pipe is open and its link is not lost. Thread-safe.
    virtual bool IsConnected() const = 0;

    /// Set while the pipe is closed. For waiting; thread-safe.
    virtual Q7::Platform::EventStatus& GetClosedEvent() = 0;

    /// Set when the pipe's link is lost (and while closed). For waiting; thread-safe.
    virtual Q7::Platform::EventStatus& GetDisconnectedEvent() = 0;

    /// Discards data waiting in the pipe; answers true when flushed.
    virtual bool Flush() = 0;

    /// Reads exactly size bytes into buffer unless a failure comes first. Adds the
    /// bytes moved to *transferred when given (callers pass it zeroed).
    /// abortObjects (may be null or empty) end the wait with kPipeResult_Aborted;
    /// timeoutMs is the limit (0xFFFFFFFF: none). Answers an EnumPipeResult.
    /// Blocks. One reader at a time.
    virtual uint32_t Read(void* buffer, uint32_t size, const WaitObjectList* abortObjects,
                          uint32_t* transferred, uint32_t timeoutMs) = 0;

    /// Writes all size bytes of buffer unless a failure comes first; stores the
    /// number of bytes written in *transferred when given. Arguments and result as
    /// for Read. Blocks. Writers on several threads are serialised by the
    /// implementation.
    virtual uint32_t Write(const void* buffer, uint32_t size, const WaitObjectList* abortObjects,
                           uint32_t* transferred, uint32_t timeoutMs) = 0;

    /// Closes the pipe.
    virtual ~PipeInterface() = default;

    /// Writes the pieces, in order, as one write: the camera receives the bytes
    /// as if the pieces had been joined and handed to Write once. The sizes must
    /// add up to at most 0xFFFFFFFF. `scratch` is room of at least that sum that
    /// the pipe may use to join them: this default implementation copies the
    /// pieces into it and calls Write once (pipes whose transfers need one
    /// buffer, such as USB, keep it); a pipe that can send several buffers in one
    /// call (TCP) overrides it and sends the pieces where they lie. Arguments
    /// otherwise, *transferred (bytes of all pieces) and the result as for Write.
    /// Raises ModuleError 0x650001 (internal error) when the pieces add up to
    /// more than 32 bits or, in this implementation, more than scratch holds.
    /// Blocks. Writers on several threads are serialised by the implementation.
    virtual uint32_t WriteGathered(std::span<const ConstByteSpan> pieces, std::span<std::uint8_t> scratch,
                                   const WaitObjectList* abortObjects, uint32_t* transferred,
                                   uint32_t timeoutMs);

    /// Reads into the pieces, in order, until at least minimum bytes have
    /// arrived, as Read reads into one buffer; bytes that have already arrived
    /// beyond them are taken too, up to the pieces' total, but never waited for:
    /// a reader picks up what follows (the next packet header, the next
    /// packets) in the same transfer. *transferred (when given) is increased by
    /// the bytes taken, also when the read fails. The pieces must add up to at
    /// least minimum. This default implementation reads exactly minimum bytes
    /// with Read, piece after piece; a TCP pipe takes more with the same system
    /// call. Arguments otherwise and the result as for Read. Blocks. One reader
    /// at a time.
    virtual uint32_t ReadScattered(std::span<const ByteSpan> pieces, uint32_t minimum,
                                   const WaitObjectList* abortObjects, uint32_t* transferred,
                                   uint32_t timeoutMs);

    /// True when a write of `size` bytes made now would be taken at once,
    /// without waiting for the camera to read. Meant for the one writer that
    /// holds off every other writer of the pipe until its write is done. This
    /// default answers false (any write may wait); a TCP pipe answers for
    /// small writes from its send buffer's room. Never blocks. Thread-safe.
    virtual bool CanWriteAtOnce(uint32_t size);
};

} // namespace Q7::KPX::Transport
