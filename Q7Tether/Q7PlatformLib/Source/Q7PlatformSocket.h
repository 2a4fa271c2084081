#pragma once
// The library's blocking IPv4 TCP client socket and the address record it
// connects to, with host-name resolution and the parsers of port and address
// texts. The KPX TCP transport runs one socket per pipe.

#include "Q7PlatformSync_Posix.h"
#include "Q7UniversalString.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace Q7::Platform
{

/// Result of PlatformSocket::OpenConnection, Receive and Send. There is no 1.
enum PlatformSocketResult : int
{
    kSocketResult_Done = 0,         ///< success
    kSocketResult_Timeout = 2,      ///< the connect, or a send, ran out of its time-out
    kSocketResult_Closed = 3,       ///< closed locally, or no usable socket
    kSocketResult_Disconnected = 4, ///< connection lost or refused; the disconnected event is set
};

/// An IPv4 address with port and connect time-out, or an empty record. A value
/// type; reentrant.
class SocketAddress
{
public:
    /// An empty record (no address).
    SocketAddress() noexcept = default;

    /// A record of family, port and IPv4 address (both in host order) and a
    /// connect time-out in seconds (values above 2^31 - 1 are cut to it).
    SocketAddress(std::uint16_t family, std::uint16_t port, std::uint32_t ipv4,
                  std::uint32_t timeout) noexcept;

    /// A copy of an AF_INET socket address (time-out 0). Any other family, or a
    /// null pointer, gives an AF_INET record of address 0 and port 0.
    explicit SocketAddress(const sockaddr* address) noexcept;

    /// The IPv4 address in host order. An empty record raises ModuleError
    /// 0x650069 (logged).
    std::uint32_t GetIPv4() const;
    /// The port in host order. An empty record raises ModuleError 0x650069 (logged).
    std::uint16_t GetPort() const;
    /// Sets the port (host order). An empty record raises ModuleError 0x650069
    /// (logged).
    void SetPort(std::uint16_t port);

    /// Connect time-out in whole seconds; 0 or less means a plain blocking connect.
    std::int32_t GetTimeoutSeconds() const noexcept { return m_timeoutSeconds; }
    void SetTimeoutSeconds(std::int32_t seconds) noexcept { m_timeoutSeconds = seconds; }
    /// True when the time-out is above 0.
    bool HasTimeout() const noexcept { return m_timeoutSeconds > 0; }

    /// True when the record holds no address.
    bool IsEmpty() const noexcept { return !m_address.has_value(); }
    /// The address for the system calls; null for an empty record.
    const sockaddr_in* Get() const noexcept { return m_address ? &*m_address : nullptr; }

    /// "[ 192.168.1.20:7381 ]" for log lines; "[ (null):(null) ]" for an empty
    /// record. Never throws.
    Universal::UniversalStringA ToText() const noexcept;

private:
    std::optional<sockaddr_in> m_address; // network byte order; empty when none
    std::int32_t m_timeoutSeconds = 0;
};

/// The result that a system error number (errno) of a socket call stands for:
///  - 3 (closed): EBADF, ENOTSOCK, ENOTCONN, ESHUTDOWN;
///  - 4 (disconnected): ECONNREFUSED, ECONNRESET, ECONNABORTED, EPIPE, ENETDOWN,
///    ENETUNREACH, ENETRESET, EHOSTDOWN, EHOSTUNREACH, and ETIMEDOUT on an
///    established connection (keep-alive expiry);
///  - 2 (time-out): ETIMEDOUT while connecting;
///  - none for every other number, which the socket raises as unexpected.
/// EINTR and EAGAIN are not in the table: the socket retries them. Thread-safe.
std::optional<PlatformSocketResult> SocketResultOfError(int errorNumber, bool connecting) noexcept;

/// Makes the socket services usable. Nothing needs starting on this platform:
/// answers true. Thread-safe.
bool StartSocketSubsystem() noexcept;

/// The IPv4 addresses of a host name or dotted address text, in the order the
/// resolver returns them (time-out 0 each). A failed resolution posts the
/// information message "getaddrinfo failed (error = %i)\n" with the resolver's
/// code and gives an empty list. Blocks while the resolver works (name service,
/// DNS). Raises only std::bad_alloc. Thread-safe.
std::vector<SocketAddress> ResolveHostName(const char* hostName);

/// A decimal port number below 65536; spaces and tabs around the digits are
/// allowed, nothing else. Otherwise raises ModuleError 0x650001 (logged,
/// "Invalid port"). Thread-safe.
std::uint16_t ParsePort(const char* text);

/// A dotted IPv4 address text (inet_pton) as a host-order value. Otherwise raises
/// ModuleError 0x650003 (logged, "Unable to parse IP address"). Thread-safe.
std::uint32_t ParseIPv4(const char* text);

/// A blocking TCP client socket that reduces every system failure to a small
/// set of results and keeps two manual-reset events, closed and disconnected,
/// that its owner can wait on.
///
/// Threads: OpenConnection, Close and the option calls are thread-safe (open
/// and close serialise on the socket mutex). Receive and Send may run at the
/// same time as each other, one thread each; Close from any other thread wakes
/// both at once (they return 3) and returns once both are done with the socket,
/// so the owner may destroy the socket right after Close (or by destroying it)
/// while they are still returning. A lost peer never raises SIGPIPE.
///
/// Results: 0 done; 2 the connect ran out of its time-out; 3 closed (locally,
/// or no socket); 4 disconnected (refused, reset, closed by the peer, network or
/// host unreachable, keep-alive expired); the disconnected event is then set.
/// An unexpected system error is raised as SystemError_Posix (logged) whose
/// context names the operation.
class PlatformSocket
{
public:
    /// Keep-alive pseudo-options at level IPPROTO_TCP for SetIntOption and
    /// GetIntOption: values held by the object and applied to the socket as
    /// TCP_KEEPIDLE, TCP_KEEPINTVL and TCP_KEEPCNT whenever keep-alive is on.
    static constexpr int kOption_KeepAliveIdle = -1;     ///< seconds before the first probe (default 7200)
    static constexpr int kOption_KeepAliveInterval = -2; ///< seconds between probes (default 1)
    static constexpr int kOption_KeepAliveCount = -3; ///< probes before the peer counts as lost (default 10)

    /// An IPv4 stream socket (AF_INET, SOCK_STREAM, IPPROTO_TCP).
    PlatformSocket();
    /// A socket of the given family, type and protocol, made at each connect.
    /// Both events are set; there is no socket yet.
    PlatformSocket(int family, int type, int protocol);
    /// Closes.
    ~PlatformSocket();

    PlatformSocket(const PlatformSocket&) = delete;
    PlatformSocket& operator=(const PlatformSocket&) = delete;

    /// Closes any earlier connection, then connects to address: with a time-out
    /// (address.HasTimeout()) the connect waits at most that many seconds and
    /// gives 2 when it runs out; without one it waits as long as the system
    /// does. A connect that completes at once is a success. On success both
    /// events are clear and the socket is blocking, with TCP_NODELAY on (each
    /// Send or gathered send leaves at once instead of waiting for the
    /// acknowledgement of the one before it). On failure no socket is left
    /// open. Results 0, 2, 3, 4. Raises ModuleError 0x650069 (logged) for an
    /// empty address and SystemError_Posix (logged) for unexpected failures
    /// (for example EMFILE). Blocks. Thread-safe; Close from another thread
    /// waits until the connect has ended.
    PlatformSocketResult OpenConnection(const SocketAddress& address);

    /// Sets the closed and the disconnected event, shuts the connection down
    /// (which wakes a Receive or Send blocked on it at once), waits until no call
    /// is using the descriptor any more and closes it. A failing close is
    /// logged, not raised. Thread-safe; blocks only for the calls it wakes.
    void Close() noexcept;

    /// Receives exactly length bytes into buffer, waiting as long as it takes.
    /// Interrupted and would-block reads are retried. received (may be null)
    /// gets length on success and 0 otherwise (untouched when the first check
    /// fails). Results: 0 every byte arrived; 3 closed (also when Close ran
    /// meanwhile); 4 disconnected, also when the peer closed the connection in
    /// an orderly way. flags go to recv. A length of 0 is done at once. Blocks.
    /// One receiving thread at a time.
    PlatformSocketResult Receive(void* buffer, std::uint32_t length, std::uint32_t* received, int flags);

    /// Sends all length bytes, looping over partial writes; interrupted and
    /// would-block writes are retried. sent (may be null) gets length on
    /// success, the bytes that went out on a time-out, and 0 otherwise. flags
    /// go to send, always with MSG_NOSIGNAL. Results 0, 3, 4 as for Receive,
    /// and 2 when the peer took nothing for timeoutMs (0 or kInfinite: no
    /// limit; the stream is then cut in the middle of what was sent). Blocks
    /// while the send buffer is full, up to timeoutMs at a time. One sending
    /// thread at a time.
    PlatformSocketResult Send(const void* buffer, std::uint32_t length, std::uint32_t* sent, int flags,
                              std::uint32_t timeoutMs = kInfinite);

    /// Sends the count pieces in order as one stream of bytes (sendmsg), as Send
    /// sends one buffer: looping over partial writes, retrying interrupted and
    /// would-block writes, always with MSG_NOSIGNAL. The pieces must add up to at
    /// most 0xFFFFFFFF bytes (else ModuleError 0x650001, logged); empty pieces
    /// are allowed. sent (may be null) gets the total on success and 0
    /// otherwise (the bytes that went out on a time-out). Results and
    /// timeoutMs as for Send. Blocks while the send buffer is full, up to
    /// timeoutMs. One sending thread at a time.
    PlatformSocketResult SendGathered(const iovec* pieces, std::uint32_t count, std::uint32_t* sent,
                                      int flags, std::uint32_t timeoutMs = kInfinite);

    /// Receives into the count pieces in order (recvmsg), as Receive receives
    /// into one buffer, until at least minimum bytes have arrived; bytes that
    /// have already arrived beyond them are taken too, up to the pieces' total,
    /// but never waited for. The pieces must add up to at most 0xFFFFFFFF bytes
    /// and at least minimum (else ModuleError 0x650001, logged). received (may
    /// be null) gets the bytes taken on success and 0 otherwise. Results as for
    /// Receive. Blocks. One receiving thread at a time.
    PlatformSocketResult ReceiveScattered(const iovec* pieces, std::uint32_t count, std::uint32_t minimum,
                                          std::uint32_t* received, int flags);

    /// True when the closed event is not set. Thread-safe.
    bool IsOpen() const;
    /// True when neither event is set. Thread-safe.
    bool IsConnected() const;
    /// True when the connection is up and its send buffer has room, so that a
    /// small Send (a few hundred bytes) completes without waiting for the
    /// peer. False when there is no socket. Never blocks. Thread-safe; the
    /// answer holds only while no other thread sends.
    bool IsWritable();

    /// The closed event (set while there is no open connection), for waiting.
    EventCondition_Posix& GetClosedEvent() { return m_closedEvent; }
    /// The disconnected event (set when the connection is lost or closed), for
    /// waiting.
    EventCondition_Posix& GetDisconnectedEvent() { return m_disconnectedEvent; }

    /// Switches SOL_SOCKET/SO_KEEPALIVE, the only option accepted (others raise
    /// ModuleError 0x650001, logged). Switching on first applies the keep-alive
    /// times. Answers true when every setting took. Thread-safe.
    bool SetBoolOption(int level, int name, bool value);
    /// Reads SOL_SOCKET/SO_KEEPALIVE into *value; answers false (value untouched)
    /// when it cannot be read. Other options raise ModuleError 0x650001 (logged).
    /// Thread-safe.
    bool GetBoolOption(int level, int name, bool* value);
    /// Stores a keep-alive pseudo-option (level IPPROTO_TCP, kOption_KeepAlive*;
    /// others raise ModuleError 0x650001, logged) and applies the keep-alive
    /// times when keep-alive is on. Answers false when keep-alive cannot be read
    /// (no socket) or the times did not take, true otherwise. The value is kept
    /// either way. Values are applied within the system's bounds (idle and
    /// interval 1 to 32767 s, count 1 to 127). Thread-safe.
    bool SetIntOption(int level, int name, std::uint32_t value);
    /// Reads a keep-alive pseudo-option (stored value) or SOL_SOCKET/SO_KEEPALIVE
    /// (from the socket; false when it cannot be read). Other options raise
    /// ModuleError 0x650001 (logged). Thread-safe.
    bool GetIntOption(int level, int name, std::uint32_t* value);

private:
    enum class Phase
    {
        kConnect,  // ETIMEDOUT means the connect timed out: 2
        kTransfer, // ETIMEDOUT means keep-alive expired: 4
    };

    enum class Direction
    {
        kReceive,
        kSend,
    };

    class DescriptorUse;

    // The loop of Receive and Send: moves exactly `length` bytes, one
    // call(fd, bytes done so far) at a time (a recv or send that answers
    // ssize_t), retrying interrupted calls and waiting while the socket is not
    // ready. Results and *transferred as for Receive and Send.
    template <typename Call>
    PlatformSocketResult TransferAll(Direction direction, std::uint32_t length, std::uint32_t* transferred,
                                     Call call, std::uint32_t timeoutMs = kInfinite);

    // Maps a system error code to a result, with its log line and the
    // disconnected event; raises SystemError_Posix for unexpected codes.
    PlatformSocketResult ResultFromSocketError(const wchar_t* context, int code, Phase phase);
    // 3 when the closed event is set, else 4 when the disconnected event is set, else 0.
    PlatformSocketResult ConnectionCheck() const;
    // The connect steps after the descriptor exists; socket mutex held.
    PlatformSocketResult Connect(int fd, const SocketAddress& address);
    // Applies the keep-alive times to the socket (unless keep-alive is off and
    // switchingOn is false).
    bool ApplyKeepAliveTimes(bool switchingOn);
    // Guards against an unknown option pair: raises ModuleError 0x650001.
    [[noreturn]] static void ThrowInvalidOption();

    const int m_family;
    const int m_type;
    const int m_protocol;

    Mutex_Posix m_socketMutex; // serialises OpenConnection and Close
    EventCondition_Posix m_closedEvent{false};
    EventCondition_Posix m_disconnectedEvent{false};

    std::mutex m_descriptorLock;          // guards m_fd and m_inFlight
    std::condition_variable m_callsEnded; // notified when m_inFlight drops to 0
    int m_fd = -1;                        // the socket; -1 when none
    std::uint32_t m_inFlight = 0;         // calls using m_fd now

    Mutex_Posix m_optionMutex; // guards the three keep-alive settings
    std::uint32_t m_keepAliveIdle = 7200;
    std::uint32_t m_keepAliveInterval = 1;
    std::uint32_t m_keepAliveCount = 10;
};

} // namespace Q7::Platform
