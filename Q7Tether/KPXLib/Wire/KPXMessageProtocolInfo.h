// The KPX message protocol versions of one channel, and the process-wide
// diagnostic registry of what every channel supports and negotiated.
//
// Each channel carries the versions its agent supports, the version it asks the
// camera for in its OpenRequest (the desired version), and the version the
// camera chose in its OpenReply (the negotiated version), by which every message
// size of the channel is picked. The agent fills the supported versions in its
// constructor; the camera object gives the camera's major range and the version
// from the camera's channel list before the channel opens.
#pragma once

#include "Wire/KPXProtocolVersion.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Q7::KPX
{

/// A range of major versions, as the camera's channel list gives it.
struct MajorVersionRange
{
    std::uint8_t lowest = 0;
    std::uint8_t highest = 0;
};

/// Protocol versions of one channel. Base of `Channel`.
///
/// Thread-safe: the fields are guarded by an internal mutex, so agent threads may
/// ask for the version while the channel's state thread checks an OpenReply.
class KPXMessageProtocolInfo
{
public:
    /// isOpen answers whether the channel is open; ensureOpen raises the channel's
    /// "not open" error. Both are called without the internal mutex held.
    KPXMessageProtocolInfo(std::uint8_t channel, std::uint8_t subChannel, std::function<bool()> isOpen,
                           std::function<void()> ensureOpen);
    ~KPXMessageProtocolInfo();

    KPXMessageProtocolInfo(const KPXMessageProtocolInfo&) = delete;
    KPXMessageProtocolInfo& operator=(const KPXMessageProtocolInfo&) = delete;

    /// Appends a version the agent supports (also recorded in the registry as
    /// supported on this side). Called by the agent's constructor. Thread-safe.
    void AddClientMajorVersion(ProtocolVersion version);

    /// Stores the camera's major range for this channel and picks the desired
    /// version: the highest supported version whose major lies in the range (the
    /// first among equals). Without a match it logs "KPX channel %u.%u
    /// (KPXMessageProtocolInfo)no matching protocol version." and keeps the
    /// desired version. Raises ModuleError 0x65006C (logged) when the channel is
    /// open. Thread-safe.
    void SetClientMajorVersions(MajorVersionRange range);

    /// Raises ModuleError 0x65006C "KPX channel %u.%u
    /// (KPXMessageProtocolInfo)already open." (logged) when the channel is open;
    /// nothing otherwise. Thread-safe.
    void EnsureNotOpen() const;

    /// Stores the version that the camera's channel list gives for this channel as
    /// the negotiated version (until an OpenReply overwrites it) and records it in
    /// the registry as supported on the camera side. Thread-safe.
    void SetNegotiatedVersion(ProtocolVersion version);

    /// The negotiated version. Raises the channel's "not open" error (ModuleError
    /// 0x650069 or 0x65006B, logged) when the channel is not open. Thread-safe.
    ProtocolVersion GetProtocolVersion() const;

    /// True when the negotiated version is at least major.minor (compared as
    /// major * 256 + minor). Does not check that the channel is open. Thread-safe.
    bool IsVersionAtLeast(std::uint8_t major, std::uint8_t minor) const;

    /// The version this side asks for in its OpenRequest. Thread-safe.
    ProtocolVersion GetDesiredVersion() const;
    /// The negotiated version without the open check. Thread-safe.
    ProtocolVersion GetNegotiatedVersion() const;
    /// The camera's major range last given. Thread-safe.
    MajorVersionRange GetClientMajorRange() const;
    /// The supported versions in the order they were added. Thread-safe.
    std::vector<ProtocolVersion> GetSupportedVersions() const;

protected:
    /// Checks the version chosen by the camera in an OpenReply: stores it as the
    /// negotiated version and accepts it when it equals a supported version
    /// exactly (recorded in the registry as negotiated and open); otherwise logs
    /// "KPX channel %u.%u (KPXMessageProtocolInfo)invalid message protocol version
    /// %u.%u" and refuses. Called by the channel's state thread.
    bool CheckOpenReplyVersion(ProtocolVersion version);

    /// Marks the channel closed in the registry.
    void MarkClosedInRegistry();

private:
    const std::uint8_t m_channel;
    const std::uint8_t m_subChannel;
    const std::function<bool()> m_isOpen;
    const std::function<void()> m_ensureOpen;

    mutable std::mutex m_mutex;               // guards the fields below
    ProtocolVersion m_desired;                // sent in the OpenRequest
    ProtocolVersion m_negotiated;             // the camera's choice (or its channel-list version)
    MajorVersionRange m_range;                // the camera's major range
    std::vector<ProtocolVersion> m_supported; // this side's versions, in order of addition
};

/// The process-wide diagnostic registry of channel protocol versions, keyed by
/// (channel, sub-channel). Nothing in the library reads it; it exists for status
/// dumps. All members are static and thread-safe.
class KPXProtocolRegistry
{
public:
    /// Records a version announced by the camera for the channel (once each).
    static void AddCameraVersion(std::uint8_t channel, std::uint8_t subChannel, ProtocolVersion version);
    /// Records a version supported on this side for the channel (once each).
    static void AddSdkVersion(std::uint8_t channel, std::uint8_t subChannel, ProtocolVersion version);
    /// Records the negotiated version; marks the entry registered and open.
    static void SetNegotiated(std::uint8_t channel, std::uint8_t subChannel, ProtocolVersion version);
    /// Marks the entry open or closed (the entry is created when missing).
    static void SetOpen(std::uint8_t channel, std::uint8_t subChannel, bool open);

    /// The status text of one channel: "Ch 2.0\n  Status: Open\n  Supported on
    /// Camera Side:\n    1.0\n  Supported on SDK Side:\n    ...  Negotiated:\n
    /// 2.0\n" ("Not registered yet" when nothing was negotiated). Empty when the
    /// channel has no entry.
    static std::string GetStatusText(std::uint8_t channel, std::uint8_t subChannel);
    /// The status texts of every entry in (channel, sub-channel) order.
    static std::string GetStatusText();
};

} // namespace Q7::KPX
