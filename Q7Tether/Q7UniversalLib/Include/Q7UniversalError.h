#pragma once
// Error objects of the utility, platform and KPX libraries, the module error
// codes with their texts, the one-line error text, the source-location record and
// the raising helpers.
//
// Raising shapes used throughout the libraries:
//  - plain: `throw ModuleError(code, context);` nothing is logged;
//  - logged: ThrowModuleError / ThrowStandardError: an "Error: " log line, then
//    the throw;
//  - internal error: Q7_THROW_INTERNAL_ERROR(error, text): an "Internal Error: "
//    log line with the source location, then the throw of a copy;
//  - wrapped: inside `catch (const std::exception& e)`,
//    Q7_THROW_INTERNAL_ERROR(StdExceptionError(e, context), text).

#include "Q7UniversalString.h"

#include <cstdint>
#include <exception>

namespace Q7::Universal
{

/// Module numbers (the high 16 bits of a module error code).
enum EnumErrorModule : std::uint32_t
{
    kModule_General = 101,
    kModule_Universal = 102,
    kModule_Platform = 103,
    kModule_KPX = 0x15E,
};

/// Full module error codes (module << 16 | number) of the code table.
enum EnumErrorCode : std::uint32_t
{
    kError_InvalidParameter = 0x650001,
    kError_InvalidDataType = 0x650002,
    kError_InvalidData = 0x650003,
    kError_OutOfRange = 0x650004,
    kError_InvalidSize = 0x650005,
    kError_InvalidIndex = 0x650006,
    kError_InvalidSyntax = 0x650007,
    kError_NotImplemented = 0x650064,
    kError_InvalidRequest = 0x650065,
    kError_InvalidState = 0x650066,
    kError_NotSupported = 0x650067,
    kError_NotAvailable = 0x650068,
    kError_NotInitialized = 0x650069,
    kError_AlreadyInitialized = 0x65006A,
    kError_NotOpen = 0x65006B,
    kError_AlreadyOpen = 0x65006C,
    kError_AccessDenied = 0x65006D,
    kError_AccessDeniedWrite = 0x65006E,
    kError_AccessDeniedRead = 0x65006F,
    kError_NotConnected = 0x650070,
    kError_OutOfMemory = 0x6500C9,
    kError_Unexpected = 0x6500CA,
    kError_UnexpectedException = 0x6500CB,
    kError_UnexpectedResult = 0x6500CC,
    kError_LimitExceeded = 0x6500CD,
    kError_NotFound = 0x6500CE,
    kError_Timeout = 0x6500CF,
    kError_ThreadStartTimeout = 0x670065,
};

/// Abstract base of every error object of the libraries. Thrown by value, caught
/// by reference. Reentrant; objects are immutable after construction.
class UniversalError
{
public:
    /// context: the site's own text (may be null: no context).
    explicit UniversalError(const wchar_t* context = nullptr) noexcept;
    UniversalError(const UniversalError& other) noexcept;
    UniversalError& operator=(const UniversalError& other) noexcept;
    virtual ~UniversalError();

    /// The message of the error. Only SystemError_Posix looks at userLanguage
    /// (false: the English text of the C locale; true: the text of the locale the
    /// application set).
    virtual UniversalString GetMessage(bool userLanguage = false) const = 0;
    /// Which error space the code belongs to (a module number, or 1 to 3).
    virtual std::uint32_t GetCategory() const = 0;
    /// Name of the category.
    virtual UniversalString GetCategoryName() const = 0;
    /// The number within the category.
    virtual std::uint32_t GetCode() const = 0;
    /// A copy of the context text (empty when none).
    virtual UniversalString GetContext() const;

protected:
    UniversalString m_context; // null when the site gave none
};

/// An error of a module of the libraries: full code = module << 16 | number.
class ModuleError : public UniversalError
{
public:
    ModuleError() noexcept = default;
    explicit ModuleError(std::uint32_t fullCode, const wchar_t* context = nullptr) noexcept;
    ModuleError(std::uint32_t fullCode, const UniversalString& context) noexcept;

    /// The code table's text, else "Unknown error".
    UniversalString GetMessage(bool userLanguage = false) const override;
    /// The module number (full code >> 16).
    std::uint32_t GetCategory() const override;
    /// The module-name table's text for GetCategory(), else "Module error".
    UniversalString GetCategoryName() const override;
    /// The error number (full code & 0xFFFF).
    std::uint32_t GetCode() const override;
    /// The full code.
    virtual std::uint32_t GetFullCode() const;

private:
    std::uint32_t m_fullCode = 0;
};

/// A C runtime error number (errno). Category 2, "Standard error".
class StandardError : public UniversalError
{
public:
    StandardError(std::uint32_t errorNumber, const wchar_t* context) noexcept;
    /// Takes the calling thread's current errno.
    explicit StandardError(const wchar_t* context = nullptr) noexcept;

    /// The C runtime's English text for the number.
    UniversalString GetMessage(bool userLanguage = false) const override;
    std::uint32_t GetCategory() const override;
    UniversalString GetCategoryName() const override;
    std::uint32_t GetCode() const override;

private:
    std::uint32_t m_errorNumber;
};

/// A caught standard exception, kept as its what() text. Category 3,
/// "Standard exception", code 0.
class StdExceptionError : public UniversalError
{
public:
    /// The text is what() decoded as UTF-8 (invalid bytes become U+FFFD); a null
    /// what() gives "Unknown exception". A failure while converting is reported as
    /// an internal error and leaves the text empty.
    explicit StdExceptionError(const std::exception& exception, const wchar_t* context = nullptr) noexcept;

    UniversalString GetMessage(bool userLanguage = false) const override;
    std::uint32_t GetCategory() const override;
    UniversalString GetCategoryName() const override;
    std::uint32_t GetCode() const override;

private:
    UniversalString m_text;
};

/// Where an internal error or an assertion happened.
class SourceLocation
{
public:
    /// file: the source path as compiled in; function: every site passes none.
    /// Null texts stay empty; line 0 leaves the line text empty.
    SourceLocation(const wchar_t* file, std::uint32_t line, const wchar_t* function = nullptr) noexcept;

    /// "[ Function=f File=\"...\\a/b/c.cpp\" Line=12 ]" (see Q7UniversalError.cpp);
    /// empty when neither a file nor a function is known.
    UniversalString ToString() const noexcept;

    const UniversalString& GetFile() const noexcept { return m_file; }
    const UniversalString& GetFunction() const noexcept { return m_function; }
    const UniversalString& GetLineText() const noexcept { return m_lineText; }
    std::uint32_t GetLine() const noexcept { return m_line; }

private:
    UniversalString m_file;
    UniversalString m_function;
    UniversalString m_lineText;
    std::uint32_t m_line;
};

namespace Detail::ThrowError
{

/// Holder of an error about to be thrown; always a local object of its exact type.
class ErrorCopy
{
public:
    virtual const UniversalError& GetError() const = 0;
    virtual UniversalError& GetError() = 0;
    /// Throws a copy of the held error by its own class.
    [[noreturn]] virtual void Throw() const = 0;

protected:
    ~ErrorCopy() = default;
};

template <typename E>
class ErrorCopyTemplate final : public ErrorCopy
{
public:
    explicit ErrorCopyTemplate(const E& error) : m_error(error) {}
    const UniversalError& GetError() const override { return m_error; }
    UniversalError& GetError() override { return m_error; }
    [[noreturn]] void Throw() const override { throw E(m_error); }

private:
    E m_error;
};

} // namespace Detail::ThrowError

namespace Detail
{
/// The C runtime's text for an errno value: the English text of the "C" locale,
/// or with userLanguage the text of the calling thread's locale. Empty when none.
UniversalString ErrorNumberText(int errorNumber, bool userLanguage) noexcept;
} // namespace Detail

/// The code table's text for a full code, else "Unknown error". Thread-safe.
const wchar_t* GetErrorCodeText(std::uint32_t fullCode) noexcept;

/// The module-name table's text for a module number, else "Module error".
const wchar_t* GetModuleNameText(std::uint32_t module) noexcept;

/// The one-line error text: [prefix " - "] "(%u#%u) " category name ": " message
/// [" - " context]. prefix may be null. Thread-safe.
UniversalString FormatErrorText(const UniversalError& error, const wchar_t* prefix) noexcept;

/// Posts the internal-error log message "Internal Error: " text " " location "\n".
/// text may be null. Never throws. Thread-safe.
void ReportInternalError(const wchar_t* text, const SourceLocation& location) noexcept;

/// ReportInternalError with FormatErrorText(error, prefix) as the text.
void ReportInternalError(const UniversalError& error, const wchar_t* prefix,
                         const SourceLocation& location) noexcept;

/// Posts the "Error: " log line of LogError with the formatted text as prefix (no
/// prefix for a null or empty format), then throws a copy of error.
[[noreturn]] void ThrowModuleError(const ModuleError& error, const wchar_t* format = nullptr, ...);
/// As ThrowModuleError, for a StandardError.
[[noreturn]] void ThrowStandardError(const StandardError& error, const wchar_t* format = nullptr, ...);
/// Throws a copy of error; logs nothing.
[[noreturn]] void ThrowStdExceptionError(const StdExceptionError& error);
/// Throws a copy of the held error by its own class.
[[noreturn]] void ThrowErrorCopy(const Detail::ThrowError::ErrorCopy& holder);

/// The internal-error shape: reports FormatErrorText(error, text) with the
/// location as an internal error, then throws a copy of error by its own class.
template <typename E>
[[noreturn]] void ThrowInternalError(const E& error, const wchar_t* text, const SourceLocation& location)
{
    const Detail::ThrowError::ErrorCopyTemplate<E> holder(error);
    ReportInternalError(holder.GetError(), text, location);
    ThrowErrorCopy(holder);
}

} // namespace Q7::Universal

#define Q7_WIDEN_IMPL(x) L##x
/// Turns a narrow string literal (also one made by # or __FILE__) into a wide one.
#define Q7_WIDEN(x) Q7_WIDEN_IMPL(x)

/// The SourceLocation of the current line (no function text).
#define Q7_SOURCE_LOCATION ::Q7::Universal::SourceLocation(Q7_WIDEN(__FILE__), __LINE__)

/// Reports a text as an internal error at this site and goes on.
#define Q7_REPORT_INTERNAL_ERROR_TEXT(text) ::Q7::Universal::ReportInternalError((text), Q7_SOURCE_LOCATION)

/// Reports an error object as an internal error at this site and goes on.
#define Q7_REPORT_INTERNAL_ERROR(error, text)                                                                \
    ::Q7::Universal::ReportInternalError((error), (text), Q7_SOURCE_LOCATION)

/// Reports an error object as an internal error at this site, then throws a copy.
#define Q7_THROW_INTERNAL_ERROR(error, text)                                                                 \
    ::Q7::Universal::ThrowInternalError((error), (text), Q7_SOURCE_LOCATION)
