#pragma once
// Decoders of USB string descriptors as a device sends them: the text
// descriptors (UTF-16LE) and descriptor 0, the list of language ids.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Q7::Platform::Usb
{

/// Descriptor type of string descriptors.
inline constexpr std::uint8_t kStringDescriptorType = 0x03;

/// The text of a string descriptor, as UTF-8. bytes are what the device sent:
/// bLength, bDescriptorType (3), then UTF-16LE code units. Only the bytes that
/// both bLength and the received count cover are read; an odd last byte is
/// ignored, the text ends at the first U+0000 unit, and a lone surrogate
/// becomes U+FFFD. None when fewer than 2 bytes came, bLength is below 2 or the
/// type is not 3. Never throws for any input. Reentrant.
std::optional<std::string> DecodeStringDescriptor(std::span<const std::uint8_t> bytes);

/// The language ids of string descriptor 0 (bytes as for
/// DecodeStringDescriptor), in the device's order; empty when the descriptor
/// is not a string descriptor or lists none. Reentrant.
std::vector<std::uint16_t> DecodeLanguageIds(std::span<const std::uint8_t> bytes);

} // namespace Q7::Platform::Usb
