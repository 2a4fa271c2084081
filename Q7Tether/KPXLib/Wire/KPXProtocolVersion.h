// The KPX message protocol version of a channel: a {major, minor} pair.
//
// On the wire a version is always two bytes, the major number first and the
// minor number second (for example bytes 16 and 17 of an OpenRequest payload).
// It is kept as the pair everywhere in the library and compared as
// major * 256 + minor; no code reinterprets a raw u16 as a version, because
// the two byte orders in use would silently swap major and minor.
#pragma once

#include <compare>
#include <cstdint>

#include "Wire/KPXByteCursor.h"

namespace Q7::KPX
{

/// A message protocol version. Plain value type; reentrant.
struct ProtocolVersion
{
    std::uint8_t major = 0;
    std::uint8_t minor = 0;

    /// On the wire: the major byte, then the minor byte.
    template <typename Io>
    constexpr void Fields(Io& io)
    {
        io(major, minor);
    }

    /// The comparison key: major * 256 + minor.
    [[nodiscard]] constexpr std::uint16_t Ordinal() const noexcept
    {
        return static_cast<std::uint16_t>((static_cast<unsigned>(major) << 8) | minor);
    }

    /// True when this version is at least `atLeastMajor`.`atLeastMinor`.
    [[nodiscard]] constexpr bool IsAtLeast(std::uint8_t atLeastMajor,
                                           std::uint8_t atLeastMinor) const noexcept
    {
        return Ordinal() >= ProtocolVersion{atLeastMajor, atLeastMinor}.Ordinal();
    }

    friend constexpr bool operator==(ProtocolVersion, ProtocolVersion) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(ProtocolVersion a, ProtocolVersion b) noexcept
    {
        return a.Ordinal() <=> b.Ordinal();
    }
};

/// Writes a version as its two wire bytes, major first.
inline void WriteProtocolVersion(ByteWriter& writer, ProtocolVersion version) noexcept
{
    WriteFields(version, writer);
}

/// Reads a version from its two wire bytes, major first.
inline ProtocolVersion ReadProtocolVersion(ByteReader& reader) noexcept
{
    ProtocolVersion version;
    ReadFields(version, reader);
    return version;
}

} // namespace Q7::KPX
