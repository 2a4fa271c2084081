// Helpers shared by the KPX wire-format tests.
#pragma once

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace KpxWireTest
{

using Bytes = std::vector<std::uint8_t>;

// The given bytes followed by zeros up to `totalLength`.
inline Bytes Padded(std::initializer_list<std::uint8_t> bytes, std::size_t totalLength)
{
    Bytes result(bytes);
    result.resize(totalLength, 0);
    return result;
}

// `size` bytes, each holding its own offset (0, 1, 2, ...): every field read
// from them shows by its value which bytes it came from.
inline Bytes OffsetPattern(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    return bytes;
}

// One field of a wire layout as written down from the message tables: its
// offset and width, and how the decoder under test reads it.
struct FieldAt
{
    const char* name;
    std::size_t offset;
    std::size_t width;
    std::function<std::uint64_t(const Bytes&)> read;
};

// Decodes OffsetPattern(size) with each row's decoder and expects the
// little-endian value of the row's own bytes: a field read at the wrong offset
// or with the wrong width (by the decoder and an encoder alike, as both walk one
// field list) gets other bytes.
inline void ExpectFieldsAtTheirOffsets(const std::vector<FieldAt>& fields, std::size_t size)
{
    const Bytes pattern = OffsetPattern(size);
    for (const FieldAt& field : fields)
    {
        std::uint64_t expected = 0;
        for (std::size_t i = 0; i < field.width; ++i)
            expected |= std::uint64_t{pattern.at(field.offset + i)} << (8 * i);
        EXPECT_EQ(field.read(pattern), expected) << field.name << std::hex << " at offset 0x" << field.offset;
    }
}

// Runs `action` and expects a ModuleError with `fullCode` and, when given, the
// context text `context`.
template <typename Action>
void ExpectModuleError(Action&& action, std::uint32_t fullCode, const wchar_t* context = nullptr)
{
    try
    {
        action();
        ADD_FAILURE() << "expected ModuleError 0x" << std::hex << fullCode << ", nothing was raised";
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        EXPECT_EQ(error.GetFullCode(), fullCode) << std::hex << "raised 0x" << error.GetFullCode();
        if (context != nullptr)
        {
            EXPECT_STREQ(error.GetContext().c_str(), context);
        }
    }
}

} // namespace KpxWireTest
