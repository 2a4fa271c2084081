#include "Q7PlatformGeneral_Posix.h"

#include "Q7PlatformGeneral_Cmn.h"

#include <cerrno>
#include <cstring>
#include <time.h>
#include <unistd.h>

namespace Q7::Platform
{

void GetDateTime(DateTime& record, bool local) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    record.seconds = ms / 1000u;
    record.milliseconds = static_cast<std::uint32_t>(ms % 1000u);
    const std::time_t seconds = static_cast<std::time_t>(record.seconds);
    std::tm broken{};
    const std::tm* result = local ? localtime_r(&seconds, &broken) : gmtime_r(&seconds, &broken);
    if (result == nullptr)
    {
        std::memset(&broken, 0, sizeof broken);
    }
    record.time = broken;
}

Universal::UniversalString AssertionDialogText(const wchar_t* expression,
                                               const Universal::SourceLocation& location) noexcept
{
    Universal::UniversalString text;
    text.Assign(L"Assertion failed!\n\n");
    if (expression != nullptr && expression[0] != 0)
    {
        text.Append(L"Expression: ( ");
        text.Append(expression);
        text.Append(L" )\n\n");
    }
    if (!location.GetFunction().IsEmpty())
    {
        text.Append(L"Function: ");
        text.Append(location.GetFunction().c_str());
        text.Append(L"\n\n");
    }
    if (!location.GetFile().IsEmpty())
    {
        text.Append(L"File: \"");
        text.Append(location.GetFile().c_str());
        text.Append(L"\"\nLine: ");
        text.Append(location.GetLineText().c_str());
        text.Append(L"\n\n");
    }
    text.Append(L"Press OK to abort the application.");
    return text;
}

int ShowAssertionDialog(const wchar_t* expression, const Universal::SourceLocation& location) noexcept
{
    Universal::UniversalString text = AssertionDialogText(expression, location);
    text.Append(L"\n");
    const Universal::UniversalStringA bytes = WideToMultiByte(text.c_str(), Universal::kEncoding_UTF8);
    const char* p = bytes.c_str();
    std::size_t left = bytes.Length();
    while (left > 0)
    {
        const ssize_t written = ::write(STDERR_FILENO, p, left);
        if (written <= 0)
        {
            if (written < 0 && errno == EINTR)
            {
                continue;
            }
            break;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace Q7::Platform
