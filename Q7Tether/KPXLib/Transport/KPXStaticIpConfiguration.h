#pragma once
// The static address list: TCP cameras named by the user, as a text or a small
// text file, one camera per line. The device manager merges it into its list of
// TCP cameras on every TCP refresh.
//
// Format. The text is cut into lines at every CR and every LF (a CR LF pair
// ends one line); lines are numbered from 1 in text order, whatever their ends.
// Each line is trimmed of spaces and tabs; an empty line, or one that starts
// with "#", is skipped. Any other line holds two or three fields separated by
// "|": name, host, port. A backslash makes the next character part of the
// field ("\|" is a bar, "\\" a backslash; a backslash that ends the line stands
// for itself), and each field is then trimmed of spaces and tabs:
//
//   # name        | host          | port
//   Studio camera | 192.168.1.20
//   Bench a\|b    | bench.local   | 8000
//
// A line with an empty name or host, or with a fourth field, refuses the whole
// text. The host is a host name or dotted IPv4 address; its first address is
// used. The port is a decimal number below 65536; an empty port means 7381. A
// line whose host does not resolve or whose port is invalid is dropped without
// refusing the others.

#include "Q7PlatformSocket.h"
#include "Q7PlatformSync_Posix.h"
#include "Transport/KPXDeviceMoniker.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace Q7::KPX::Transport
{

/// Resolves a host name or dotted IPv4 text to its addresses, in the resolver's
/// order; empty when it does not resolve. Must be thread-safe.
using HostResolver = std::function<std::vector<Q7::Platform::SocketAddress>(const char* hostName)>;

/// The largest configuration file that is read, in bytes.
inline constexpr std::size_t kMaxStaticIpConfigurationFileSize = 10000;

/// The static address list: a vector of TcpMonikers (flag isStatic 1,
/// connect time-out 0) in the order of the configuration text, replaced only as
/// a whole. Thread-safe: a reader sees either the old or the new list.
class StaticIpConfiguration
{
public:
    /// An empty list whose hosts are resolved with ResolveHostName.
    StaticIpConfiguration();
    /// An empty list whose hosts are resolved with resolver (a test's, so that no
    /// test depends on the name service).
    explicit StaticIpConfiguration(HostResolver resolver);

    StaticIpConfiguration(const StaticIpConfiguration&) = delete;
    StaticIpConfiguration& operator=(const StaticIpConfiguration&) = delete;

    /// Parses the text and replaces the list with the result; a null or empty
    /// text gives an empty list. A refused line raises ModuleError 0x650007
    /// (logged) "static IP configuration (line %llu: \"%.40ls ...\")" with the
    /// line's number and at most 40 characters of the trimmed line, and leaves
    /// the list as it was. Blocks while hosts are resolved. Thread-safe.
    void SetFromText(const char* text);

    /// Reads the file at the UTF-8 path (at most 10000 bytes; a UTF-8 byte-order
    /// mark at its start is skipped) and sets the list from its contents as
    /// SetFromText does; a null or empty path gives an empty list. Raises
    /// StandardError (logged, "Failed to open file.", errno and the path) when
    /// the file does not open, ModuleError 0x6500CD (logged) "File \"%ls\" is
    /// too large" for a larger file, StandardError (logged) "Cannot read file
    /// \"%ls\"" when it cannot be measured or read, is not a regular file (a
    /// FIFO, a device, a folder: never read, never waited for) or does not hold
    /// the bytes its size announces (files of /proc and /sys), and the errors of
    /// SetFromText; the list is then left as it was. Blocks on the file system
    /// and the resolver, never on another process. Thread-safe.
    void SetFromFile(const char* path);

    /// A copy of the list. Thread-safe.
    std::vector<TcpMoniker> Copy() const;

    /// The entries of a configuration text (null: none), resolving hosts with
    /// resolver; raises as SetFromText. Reentrant.
    static std::vector<TcpMoniker> Parse(const char* text, const HostResolver& resolver);

private:
    const HostResolver m_resolver;
    mutable Q7::Platform::Mutex_Posix m_lock; // guards m_entries
    std::vector<TcpMoniker> m_entries;
};

} // namespace Q7::KPX::Transport
