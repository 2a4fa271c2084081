#pragma once
// What a call raised as a ModuleError: its full code and context, so that a
// test compares both against the documented error in one expectation.

#include "Q7UniversalError.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace TestSupport
{

// A ModuleError's full code and context; code 0 and no context when nothing
// was raised.
struct Raised
{
    std::uint32_t code = 0;
    std::wstring context;

    bool operator==(const Raised&) const = default;
};

inline void PrintTo(const Raised& raised, std::ostream* out)
{
    *out << "0x" << std::hex << raised.code << std::dec << " \"";
    for (const wchar_t c : raised.context)
        *out << (c < 0x80 ? static_cast<char>(c) : '?');
    *out << '"';
}

// Runs `operation` and gives what it raised as a ModuleError (other exceptions
// pass through). Blocks as long as `operation` does.
template <typename Operation>
Raised RaisedBy(Operation&& operation)
{
    try
    {
        operation();
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        return {error.GetFullCode(), error.GetContext().c_str()};
    }
    return {};
}

// The code of what `call` raised: a ModuleError's full code, another
// UniversalError's code (a SystemError_Posix's errno); 0 when it raised none.
template <typename Call>
std::uint32_t RaisedCode(Call&& call)
{
    try
    {
        call();
    }
    catch (const Q7::Universal::ModuleError& error)
    {
        return error.GetFullCode();
    }
    catch (const Q7::Universal::UniversalError& error)
    {
        return error.GetCode();
    }
    return 0;
}

} // namespace TestSupport
