#include "Wire/KPXMessageProtocolInfo.h"

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <algorithm>
#include <map>
#include <utility>

namespace Q7::KPX
{

namespace
{

using Q7::Universal::LogDebug;
using Q7::Universal::LogErrorText;
using Q7::Universal::LogInfo;

unsigned U(std::uint8_t value)
{
    return value;
}

// One channel's record in the diagnostic registry.
struct RegistryEntry
{
    std::vector<ProtocolVersion> cameraVersions;
    std::vector<ProtocolVersion> sdkVersions;
    ProtocolVersion negotiated;
    bool registered = false;
    bool open = false;
};

struct Registry
{
    std::mutex mutex;                                                       // guards entries
    std::map<std::pair<std::uint8_t, std::uint8_t>, RegistryEntry> entries; // keyed by (channel, sub-channel)
};

// The registry lives for the whole process; it is never destroyed, so channels
// that outlive static destruction can still record into it.
Registry& TheRegistry()
{
    static Registry* const registry = new Registry;
    return *registry;
}

void AddOnce(std::vector<ProtocolVersion>& versions, ProtocolVersion version)
{
    if (std::find(versions.begin(), versions.end(), version) == versions.end())
    {
        versions.push_back(version);
    }
}

void AppendVersionLines(std::string& text, const std::vector<ProtocolVersion>& versions)
{
    for (const ProtocolVersion version : versions)
    {
        text += "    " + std::to_string(version.major) + "." + std::to_string(version.minor) + "\n";
    }
}

void AppendStatus(std::string& text, std::uint8_t channel, std::uint8_t subChannel,
                  const RegistryEntry& entry)
{
    text += "Ch " + std::to_string(channel) + "." + std::to_string(subChannel) + "\n";
    text += std::string("  Status: ") + (entry.open ? "Open" : "Closed") + "\n";
    text += "  Supported on Camera Side:\n";
    AppendVersionLines(text, entry.cameraVersions);
    text += "  Supported on SDK Side:\n";
    AppendVersionLines(text, entry.sdkVersions);
    text += "  Negotiated:\n";
    if (entry.negotiated == ProtocolVersion{})
    {
        text += "    Not registered yet\n";
    }
    else
    {
        text += "    " + std::to_string(entry.negotiated.major) + "." +
                std::to_string(entry.negotiated.minor) + "\n";
    }
}

} // namespace

KPXMessageProtocolInfo::KPXMessageProtocolInfo(std::uint8_t channel, std::uint8_t subChannel,
                                               std::function<bool()> isOpen, std::function<void()> ensureOpen)
    : m_channel(channel), m_subChannel(subChannel), m_isOpen(std::move(isOpen)),
      m_ensureOpen(std::move(ensureOpen))
{
}

KPXMessageProtocolInfo::~KPXMessageProtocolInfo() = default;

void KPXMessageProtocolInfo::AddClientMajorVersion(ProtocolVersion version)
{
    {
        const std::lock_guard lock(m_mutex);
        m_supported.push_back(version);
    }
    KPXProtocolRegistry::AddSdkVersion(m_channel, m_subChannel, version);
}

void KPXMessageProtocolInfo::EnsureNotOpen() const
{
    if (m_isOpen && m_isOpen())
    {
        Q7::Universal::ThrowModuleError(Q7::Universal::ModuleError(
            Q7::Universal::kError_AlreadyOpen,
            Q7::Universal::UniversalString(L"KPX channel %u.%u (KPXMessageProtocolInfo)already open.",
                                           U(m_channel), U(m_subChannel))));
    }
}

void KPXMessageProtocolInfo::SetClientMajorVersions(MajorVersionRange range)
{
    EnsureNotOpen();

    bool found = false;
    ProtocolVersion desired;
    {
        const std::lock_guard lock(m_mutex);
        m_range = range;
        ProtocolVersion candidate;
        bool haveCandidate = false;
        for (const ProtocolVersion version : m_supported)
        {
            if (haveCandidate)
            {
                LogDebug(L"SetClientMajorVersions, ch. %u.%u: Comparing Agent's V%u(.%u) against clients "
                         L"V[%u;%u].x "
                         L"and our best-so-far V%u.%u",
                         U(m_channel), U(m_subChannel), U(version.major), U(version.minor), U(range.lowest),
                         U(range.highest), U(candidate.major), U(candidate.minor));
            }
            else
            {
                LogDebug(L"SetClientMajorVersions, ch. %u.%u: Comparing Agent's V%u(.%u) against clients "
                         L"V[%u;%u].x",
                         U(m_channel), U(m_subChannel), U(version.major), U(version.minor), U(range.lowest),
                         U(range.highest));
            }
            const bool inRange = version.major >= range.lowest && version.major <= range.highest;
            if (inRange && (!haveCandidate || candidate < version))
            {
                candidate = version;
                haveCandidate = true;
            }
        }
        if (haveCandidate)
        {
            m_desired = candidate;
            desired = candidate;
            found = true;
        }
    }

    if (found)
    {
        LogInfo(L"SetClientMajorVersions, ch. %u.%u: Desired protocol-version: %u.%u", U(m_channel),
                U(m_subChannel), U(desired.major), U(desired.minor));
    }
    else
    {
        LogErrorText(L"KPX channel %u.%u (KPXMessageProtocolInfo)no matching protocol version.", U(m_channel),
                     U(m_subChannel));
    }
}

void KPXMessageProtocolInfo::SetNegotiatedVersion(ProtocolVersion version)
{
    {
        const std::lock_guard lock(m_mutex);
        m_negotiated = version;
    }
    KPXProtocolRegistry::AddCameraVersion(m_channel, m_subChannel, version);
}

ProtocolVersion KPXMessageProtocolInfo::GetProtocolVersion() const
{
    if (m_ensureOpen)
    {
        m_ensureOpen();
    }
    return GetNegotiatedVersion();
}

bool KPXMessageProtocolInfo::IsVersionAtLeast(std::uint8_t major, std::uint8_t minor) const
{
    return GetNegotiatedVersion().IsAtLeast(major, minor);
}

ProtocolVersion KPXMessageProtocolInfo::GetDesiredVersion() const
{
    const std::lock_guard lock(m_mutex);
    return m_desired;
}

ProtocolVersion KPXMessageProtocolInfo::GetNegotiatedVersion() const
{
    const std::lock_guard lock(m_mutex);
    return m_negotiated;
}

MajorVersionRange KPXMessageProtocolInfo::GetClientMajorRange() const
{
    const std::lock_guard lock(m_mutex);
    return m_range;
}

std::vector<ProtocolVersion> KPXMessageProtocolInfo::GetSupportedVersions() const
{
    const std::lock_guard lock(m_mutex);
    return m_supported;
}

bool KPXMessageProtocolInfo::CheckOpenReplyVersion(ProtocolVersion version)
{
    LogInfo(L"KPX channel %u.%u (KPXMessageProtocolInfo)got open-reply with protocol V%u.%u", U(m_channel),
            U(m_subChannel), U(version.major), U(version.minor));
    bool accepted = false;
    {
        const std::lock_guard lock(m_mutex);
        m_negotiated = version;
        accepted = std::find(m_supported.begin(), m_supported.end(), version) != m_supported.end();
    }
    if (accepted)
    {
        KPXProtocolRegistry::SetNegotiated(m_channel, m_subChannel, version);
        return true;
    }
    LogErrorText(L"KPX channel %u.%u (KPXMessageProtocolInfo)invalid message protocol version %u.%u",
                 U(m_channel), U(m_subChannel), U(version.major), U(version.minor));
    return false;
}

void KPXMessageProtocolInfo::MarkClosedInRegistry()
{
    KPXProtocolRegistry::SetOpen(m_channel, m_subChannel, false);
}

void KPXProtocolRegistry::AddCameraVersion(std::uint8_t channel, std::uint8_t subChannel,
                                           ProtocolVersion version)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    AddOnce(registry.entries[{channel, subChannel}].cameraVersions, version);
}

void KPXProtocolRegistry::AddSdkVersion(std::uint8_t channel, std::uint8_t subChannel,
                                        ProtocolVersion version)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    AddOnce(registry.entries[{channel, subChannel}].sdkVersions, version);
}

void KPXProtocolRegistry::SetNegotiated(std::uint8_t channel, std::uint8_t subChannel,
                                        ProtocolVersion version)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    RegistryEntry& entry = registry.entries[{channel, subChannel}];
    entry.negotiated = version;
    entry.registered = true;
    entry.open = true;
}

void KPXProtocolRegistry::SetOpen(std::uint8_t channel, std::uint8_t subChannel, bool open)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    registry.entries[{channel, subChannel}].open = open;
}

std::string KPXProtocolRegistry::GetStatusText(std::uint8_t channel, std::uint8_t subChannel)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    std::string text;
    const auto found = registry.entries.find({channel, subChannel});
    if (found != registry.entries.end())
    {
        AppendStatus(text, channel, subChannel, found->second);
    }
    return text;
}

std::string KPXProtocolRegistry::GetStatusText()
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    std::string text;
    for (const auto& [key, entry] : registry.entries)
    {
        AppendStatus(text, key.first, key.second, entry);
    }
    return text;
}

} // namespace Q7::KPX
