// SHA-256 digest (FIPS 180-4), the library's own implementation.
//
// The one user in the library is the client identity presented when a camera
// channel is opened: the application's authentication text is digested into
// 32 bytes and the digest, never the text, goes on the wire.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Q7::Platform
{

/// Size of a SHA-256 digest in bytes.
inline constexpr std::size_t kSha256DigestSize = 32;

/// A SHA-256 digest in the standard byte order (each 32-bit hash word most
/// significant byte first).
using Sha256DigestBytes = std::array<std::uint8_t, kSha256DigestSize>;

/// Digests `length` raw bytes starting at `data` into `output`.
/// A null `data` or a `length` of 0 digests the empty message (the same bytes
/// as Sha256EmptyDigest). Raises nothing; does not block; reentrant.
void Sha256Digest(Sha256DigestBytes& output, const void* data, std::uint64_t length);

/// Digests a narrow text over its bytes exactly as given (no encoding
/// conversion, no terminating zero). An empty text gives 32 zero bytes, not the
/// digest of the empty message: "no authentication text" must read as "no
/// identity" on the wire. Raises nothing; does not block; reentrant.
void Sha256Digest(Sha256DigestBytes& output, std::string_view text);

/// Digests a zero-terminated narrow text over its bytes up to the terminating
/// zero. A null or empty text gives 32 zero bytes (see the overload above).
/// Raises nothing; does not block; reentrant.
void Sha256Digest(Sha256DigestBytes& output, const char* text);

/// Writes the digest of the empty message (e3b0c442...7852b855) into `output`.
/// Raises nothing; reentrant.
void Sha256EmptyDigest(Sha256DigestBytes& output);

/// Returns the digest as 64 lower-case hexadecimal digits, two per byte with a
/// leading zero, in byte order. Raises only std::bad_alloc; reentrant.
std::string Sha256ToHexText(const Sha256DigestBytes& digest);

} // namespace Q7::Platform
