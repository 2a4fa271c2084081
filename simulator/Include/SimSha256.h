// SHA-256, so that the simulated camera can check a host's client identity
// against its configured authentication code without the host's own digest.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace Q7::Sim
{

using Digest256 = std::array<std::uint8_t, 32>;

// The SHA-256 digest of the bytes. Reentrant, never fails.
Digest256 Sha256(std::span<const std::uint8_t> bytes);

// The identity a host presents for an authentication text: the SHA-256 of its
// bytes, or 32 zero bytes for an empty text. Reentrant.
Digest256 IdentityForAuthenticationCode(std::string_view code);

} // namespace Q7::Sim
