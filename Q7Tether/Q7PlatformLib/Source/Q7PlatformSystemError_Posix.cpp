#include "Q7PlatformSystemError_Posix.h"

#include <cerrno>

namespace Q7::Platform
{

SystemError_Posix::SystemError_Posix(std::uint32_t errorNumber, const wchar_t* context) noexcept
    : UniversalError(context), m_errorNumber(errorNumber)
{
}

// errno is read before the base allocates the context: an allocation may change it.
SystemError_Posix::SystemError_Posix(const wchar_t* context) noexcept
    : SystemError_Posix(static_cast<std::uint32_t>(errno), context)
{
}

Universal::UniversalString SystemError_Posix::GetMessage(bool userLanguage) const
{
    Universal::UniversalString text =
        Universal::Detail::ErrorNumberText(static_cast<int>(m_errorNumber), userLanguage);
    if (text.IsEmpty())
    {
        text.Assign(L"strerror_r failed to retrieve error string");
    }
    return text;
}

std::uint32_t SystemError_Posix::GetCategory() const
{
    return 1;
}

Universal::UniversalString SystemError_Posix::GetCategoryName() const
{
    Universal::UniversalString text;
    text.Assign(L"System error");
    return text;
}

std::uint32_t SystemError_Posix::GetCode() const
{
    return m_errorNumber;
}

} // namespace Q7::Platform
