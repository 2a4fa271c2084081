#include "Q7UniversalError.h"

#include "Q7UniversalLogMsg.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale.h>

namespace Q7::Universal
{

namespace
{

struct CodeRow
{
    std::uint32_t code;
    const wchar_t* text;
};

// Texts of ModuleError::GetMessage, ended by a row with code 0.
constexpr CodeRow kCodeTable[] = {
    {0x650001, L"The parameter is incorrect or not supported."},
    {0x650002, L"The data type is incorrect or not supported."},
    {0x650003, L"The data is invalid."},
    {0x650004, L"The value is out of range."},
    {0x650005, L"The size or length is incorrect."},
    {0x650006, L"The index or identifier is incorrect."},
    {0x650007, L"The syntax is incorrect."},
    {0x650064, L"The functionality is not implemented."},
    {0x650065, L"The request is invalid."},
    {0x650066, L"The current state is incorrect."},
    {0x650067, L"The resource or request is not supported."},
    {0x650068, L"The resource or request is currently not available."},
    {0x650069, L"The resource is not initialized."},
    {0x65006A, L"The resource is already initialized."},
    {0x65006B, L"The resource is not open."},
    {0x65006C, L"The resource is already opened."},
    {0x65006D, L"Access is denied. The resource or request is not available."},
    {0x65006E, L"Access is denied. The value or resource cannot be set or written to."},
    {0x65006F, L"Access is denied. The value or resource cannot be retrieved or read from."},
    {0x650070, L"The resource is not connected."},
    {0x6500C9, L"Not enough memory is available."},
    {0x6500CA, L"An unexpected error occurred."},
    {0x6500CB, L"An unexpected exception occurred."},
    {0x6500CC, L"An unexpected result occurred."},
    {0x6500CD, L"A limit is exceeded."},
    {0x6500CE, L"The name, item, or resource is not found."},
    {0x6500CF, L"The request did not complete within the specified timeout period."},
    {0x670065, L"A thread failed to start in the requested time."},
    {0, nullptr},
};

// Texts of ModuleError::GetCategoryName, ended by a row with number 0.
constexpr CodeRow kModuleTable[] = {
    {101, L"General error"},
    {102, L"Universal library error"},
    {103, L"Platform library error"},
    {200, L"Lumenforge error"},
    {300, L"Solvane camera error"},
    {301, L"Solvane camera driver error"},
    {302, L"Solvane camera download command error"},
    {303, L"Solvane camera streaming command error"},
    {304, L"Solvane camera firewire error"},
    {0, nullptr},
};

const wchar_t* Lookup(const CodeRow* table, std::uint32_t code, const wchar_t* fallback) noexcept
{
    for (const CodeRow* row = table; row->code != 0; ++row)
    {
        if (row->code == code)
        {
            return row->text;
        }
    }
    return fallback;
}

// Shortens a source path to "...\" and its last three components.
const wchar_t* ShortPathStart(const wchar_t* path, bool& shortened) noexcept
{
    shortened = false;
    std::size_t length = std::wcslen(path);
    int separators = 0;
    while (length > 0)
    {
        --length;
        if (path[length] == L'\\' || path[length] == L'/')
        {
            if (++separators == 3)
            {
                shortened = true;
                return path + length + 1;
            }
        }
    }
    return path;
}

UniversalString DecimalText(std::uint32_t value) noexcept
{
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%u", value);
    UniversalString text;
    text.Assign(digits);
    return text;
}

} // namespace

// ---------------------------------------------------------------- UniversalError

UniversalError::UniversalError(const wchar_t* context) noexcept
{
    m_context.Assign(context);
}

UniversalError::UniversalError(const UniversalError& other) noexcept : m_context(other.m_context) {}

UniversalError& UniversalError::operator=(const UniversalError& other) noexcept
{
    m_context = other.m_context;
    return *this;
}

UniversalError::~UniversalError() = default;

UniversalString UniversalError::GetContext() const
{
    return m_context;
}

// ---------------------------------------------------------------- ModuleError

ModuleError::ModuleError(std::uint32_t fullCode, const wchar_t* context) noexcept
    : UniversalError(context), m_fullCode(fullCode)
{
}

ModuleError::ModuleError(std::uint32_t fullCode, const UniversalString& context) noexcept
    : UniversalError(context.Get()), m_fullCode(fullCode)
{
}

UniversalString ModuleError::GetMessage(bool) const
{
    UniversalString text;
    text.Assign(GetErrorCodeText(m_fullCode));
    return text;
}

std::uint32_t ModuleError::GetCategory() const
{
    return m_fullCode >> 16;
}

UniversalString ModuleError::GetCategoryName() const
{
    UniversalString text;
    text.Assign(GetModuleNameText(GetCategory()));
    return text;
}

std::uint32_t ModuleError::GetCode() const
{
    return m_fullCode & 0xFFFFu;
}

std::uint32_t ModuleError::GetFullCode() const
{
    return m_fullCode;
}

// ---------------------------------------------------------------- StandardError

StandardError::StandardError(std::uint32_t errorNumber, const wchar_t* context) noexcept
    : UniversalError(context), m_errorNumber(errorNumber)
{
}

// errno is read before the base allocates the context: an allocation may change it.
StandardError::StandardError(const wchar_t* context) noexcept
    : StandardError(static_cast<std::uint32_t>(errno), context)
{
}

UniversalString StandardError::GetMessage(bool) const
{
    UniversalString text = Detail::ErrorNumberText(static_cast<int>(m_errorNumber), false);
    if (text.IsEmpty())
    {
        text.Assign(L"strerror_l failed to retrieve error string");
    }
    return text;
}

std::uint32_t StandardError::GetCategory() const
{
    return 2;
}

UniversalString StandardError::GetCategoryName() const
{
    UniversalString text;
    text.Assign(L"Standard error");
    return text;
}

std::uint32_t StandardError::GetCode() const
{
    return m_errorNumber;
}

// ---------------------------------------------------------------- StdExceptionError

StdExceptionError::StdExceptionError(const std::exception& exception, const wchar_t* context) noexcept
    : UniversalError(context)
{
    try
    {
        const char* what = exception.what();
        if (what == nullptr)
        {
            m_text.Assign(L"Unknown exception");
        }
        else
        {
            m_text = FromNarrow(what);
        }
    }
    catch (...)
    {
        m_text.Clear();
        Q7_REPORT_INTERNAL_ERROR(ModuleError(kError_Unexpected), nullptr);
    }
}

UniversalString StdExceptionError::GetMessage(bool) const
{
    return m_text;
}

std::uint32_t StdExceptionError::GetCategory() const
{
    return 3;
}

UniversalString StdExceptionError::GetCategoryName() const
{
    UniversalString text;
    text.Assign(L"Standard exception");
    return text;
}

std::uint32_t StdExceptionError::GetCode() const
{
    return 0;
}

// ---------------------------------------------------------------- SourceLocation

SourceLocation::SourceLocation(const wchar_t* file, std::uint32_t line, const wchar_t* function) noexcept
    : m_line(line)
{
    m_file.Assign(file);
    m_function.Assign(function);
    if (line != 0)
    {
        m_lineText = DecimalText(line);
    }
}

UniversalString SourceLocation::ToString() const noexcept
{
    UniversalString text;
    if (m_file.IsEmpty() && m_function.IsEmpty())
    {
        return text;
    }
    text.Assign(L"[");
    if (!m_function.IsEmpty())
    {
        text.Append(L" Function=");
        text.Append(m_function.c_str());
    }
    if (!m_file.IsEmpty())
    {
        bool shortened = false;
        const wchar_t* rest = ShortPathStart(m_file.c_str(), shortened);
        text.Append(L" File=\"");
        if (shortened)
        {
            text.Append(L"...\\");
        }
        text.Append(rest);
        text.Append(L"\"");
        if (!m_lineText.IsEmpty())
        {
            text.Append(L" Line=");
            text.Append(m_lineText.c_str());
        }
    }
    text.Append(L" ]");
    return text;
}

// ---------------------------------------------------------------- free functions

namespace Detail
{

UniversalString ErrorNumberText(int errorNumber, bool userLanguage) noexcept
{
    char buffer[256];
    buffer[0] = 0;
    const char* text = nullptr;
    if (userLanguage)
    {
        // GNU strerror_r: answers the text, in the buffer or a static string.
        text = strerror_r(errorNumber, buffer, sizeof buffer);
    }
    else
    {
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        text = cLocale != static_cast<locale_t>(nullptr) ? strerror_l(errorNumber, cLocale)
                                                         : strerror_r(errorNumber, buffer, sizeof buffer);
    }
    return text != nullptr ? FromNarrow(text) : UniversalString();
}

} // namespace Detail

const wchar_t* GetErrorCodeText(std::uint32_t fullCode) noexcept
{
    return Lookup(kCodeTable, fullCode, L"Unknown error");
}

const wchar_t* GetModuleNameText(std::uint32_t module) noexcept
{
    return Lookup(kModuleTable, module, L"Module error");
}

UniversalString FormatErrorText(const UniversalError& error, const wchar_t* prefix) noexcept
{
    UniversalString text;
    try
    {
        if (prefix != nullptr && prefix[0] != 0)
        {
            text.Assign(prefix);
            text.Append(L" - ");
        }
        wchar_t numbers[32];
        std::swprintf(numbers, 32, L"(%u#%u) ", error.GetCategory(), error.GetCode());
        text.Append(numbers);
        text.Append(error.GetCategoryName().c_str());
        text.Append(L": ");
        text.Append(error.GetMessage(false).c_str());
        const UniversalString context = error.GetContext();
        if (!context.IsEmpty())
        {
            text.Append(L" - ");
            text.Append(context.c_str());
        }
    }
    catch (...)
    {
        // An error class of a user that throws from its text operations: keep
        // what was built so far.
    }
    return text;
}

void ReportInternalError(const UniversalError& error, const wchar_t* prefix,
                         const SourceLocation& location) noexcept
{
    const UniversalString text = FormatErrorText(error, prefix);
    ReportInternalError(text.Get(), location);
}

void ThrowModuleError(const ModuleError& error, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogErrorV(error, format, args);
    va_end(args);
    throw ModuleError(error);
}

void ThrowStandardError(const StandardError& error, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogErrorV(error, format, args);
    va_end(args);
    throw StandardError(error);
}

void ThrowStdExceptionError(const StdExceptionError& error)
{
    throw StdExceptionError(error);
}

void ThrowErrorCopy(const Detail::ThrowError::ErrorCopy& holder)
{
    holder.Throw();
    std::abort(); // Throw never returns; this only satisfies [[noreturn]]
}

} // namespace Q7::Universal
