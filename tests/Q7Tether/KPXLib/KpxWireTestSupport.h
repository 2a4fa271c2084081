// Helpers shared by the KPX wire-format tests.
#pragma once

#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <gtest/gtest.h>

#include <cstdint>
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
