#include "Q7PlatformFileSystem_Cmn.h"

#include <cstddef>
#include <cwchar>

namespace Q7::Platform
{

namespace
{

using Universal::UniversalString;

// Length of path once one trailing separator is removed; the root keeps its own.
std::size_t LengthWithoutTrailingSeparator(const wchar_t* path, std::size_t length) noexcept
{
    if (length > 1 && path[length - 1] == kPathSeparator)
    {
        return length - 1;
    }
    return length;
}

} // namespace

const UniversalString& SplitPath(UniversalString& folder, const wchar_t* path,
                                 UniversalString* fileName) noexcept
{
    // Work on a copy: path may point into folder or *fileName.
    UniversalString source;
    source.Assign(path);
    if (fileName != nullptr)
    {
        fileName->Clear();
    }
    const wchar_t* text = source.c_str();
    const std::size_t length = LengthWithoutTrailingSeparator(text, source.Length());

    std::size_t separator = length;
    for (std::size_t i = length; i > 0; --i)
    {
        if (text[i - 1] == kPathSeparator)
        {
            separator = i - 1;
            break;
        }
    }

    if (separator == length)
    {
        folder.Assign(text, length);
        return folder;
    }
    if (fileName != nullptr)
    {
        fileName->Assign(text + separator + 1, length - separator - 1);
    }
    // A separator at the start is the root folder, which keeps its separator.
    folder.Assign(text, separator == 0 ? 1 : separator);
    return folder;
}

UniversalString PathWithSeparator(const wchar_t* path) noexcept
{
    UniversalString result;
    result.Assign(path);
    const std::size_t length = result.Length();
    if (length != 0 && result.c_str()[length - 1] != kPathSeparator)
    {
        const wchar_t separator[2] = {kPathSeparator, 0};
        result.Append(separator);
    }
    return result;
}

UniversalString RemoveTrailingSeparator(const wchar_t* path) noexcept
{
    UniversalString result;
    if (path != nullptr)
    {
        const std::size_t length = std::wcslen(path);
        result.Assign(path, LengthWithoutTrailingSeparator(path, length));
    }
    return result;
}

UniversalString JoinPath(const wchar_t* folder, const wchar_t* name) noexcept
{
    if (name == nullptr || name[0] == 0)
    {
        UniversalString result;
        result.Assign(folder);
        return result;
    }
    UniversalString result = PathWithSeparator(folder);
    result.Append(name);
    return result;
}

const wchar_t* GetInvalidFileNameChars() noexcept
{
    return L"\\/:<>|\"";
}

} // namespace Q7::Platform
