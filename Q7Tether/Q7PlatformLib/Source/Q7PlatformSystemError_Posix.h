#pragma once
// The error object of failed operating-system calls.

#include "Q7UniversalError.h"

#include <cstdint>

namespace Q7::Platform
{

/// A failed system call: category 1, "System error", the errno value with its
/// strerror text. By convention the context names the failing call
/// ("pthread_mutex_init", "open" and the like). Capture errno right after the
/// failing call, before any logging or text building. Reentrant.
class SystemError_Posix : public Universal::UniversalError
{
public:
    SystemError_Posix(std::uint32_t errorNumber, const wchar_t* context) noexcept;
    /// Takes the calling thread's current errno.
    explicit SystemError_Posix(const wchar_t* context = nullptr) noexcept;

    /// The strerror text: English (the "C" locale) when userLanguage is false,
    /// else in the locale of the calling thread; "strerror_r failed to retrieve
    /// error string" when there is none.
    Universal::UniversalString GetMessage(bool userLanguage = false) const override;
    /// 1.
    std::uint32_t GetCategory() const override;
    /// "System error".
    Universal::UniversalString GetCategoryName() const override;
    /// The errno value.
    std::uint32_t GetCode() const override;

private:
    std::uint32_t m_errorNumber;
};

} // namespace Q7::Platform
