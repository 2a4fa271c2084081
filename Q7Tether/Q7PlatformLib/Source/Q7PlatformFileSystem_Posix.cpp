#include "Q7PlatformFileSystem_Posix.h"

#include "Q7PlatformFileSystem_Cmn.h"
#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace Q7::Platform
{

namespace
{

using Universal::UniversalString;
using Universal::UniversalStringA;

// The UTF-8 form of a wide path for the system calls; empty for null.
UniversalStringA SystemPath(const wchar_t* path) noexcept
{
    return Universal::ToNarrow(path);
}

// A wide text of a UTF-8 text that the system gave.
UniversalString FromSystemText(const char* text) noexcept
{
    return Universal::FromNarrow(text);
}

// The fopen mode with close-on-exec ('e') added among the mode letters, which end
// at the first ',' (glibc's ",ccs=" suffix).
std::string ModeWithCloseOnExec(const char* mode)
{
    std::string result(mode);
    const std::size_t letters = result.find(',');
    const std::size_t end = letters == std::string::npos ? result.size() : letters;
    if (result.find('e') >= end)
    {
        result.insert(end, 1, 'e');
    }
    return result;
}

// The target of a symbolic link, read into a growing buffer. On failure returns
// false with errno set.
bool ReadLink(const char* link, std::string& target)
{
    std::vector<char> buffer(256);
    for (;;)
    {
        const ssize_t n = ::readlink(link, buffer.data(), buffer.size());
        if (n < 0)
        {
            return false;
        }
        if (static_cast<std::size_t>(n) < buffer.size())
        {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The current directory, read into a growing buffer. On failure returns false
// with errno set.
bool CurrentDirectory(std::string& path)
{
    std::vector<char> buffer(256);
    for (;;)
    {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
        {
            path.assign(buffer.data());
            return true;
        }
        if (errno != ERANGE)
        {
            return false;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The canonical absolute form of path (symbolic links resolved). On failure
// returns false with errno set.
bool CanonicalPath(const char* path, std::string& canonical)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
    if (resolved == nullptr)
    {
        return false;
    }
    canonical.assign(resolved.get());
    return true;
}

[[noreturn]] void ThrowCallFailure(int code, const wchar_t* call, const char* context)
{
    const UniversalString wideContext = FromSystemText(context);
    ThrowSystemError(SystemError_Posix(static_cast<std::uint32_t>(code), wideContext.Get()), L"%ls", call);
}

std::string ExecutablePath()
{
    static constexpr const char* kSelf = "/proc/self/exe";
    std::string path;
    if (!ReadLink(kSelf, path))
    {
        ThrowCallFailure(errno, L"readlink", kSelf);
    }
    return path;
}

// Any function of this library: its address names the module that holds it.
void ModuleAnchor() {}

std::string ModulePath()
{
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&ModuleAnchor), &info, reinterpret_cast<void**>(&map),
                  RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
    {
        ThrowCallFailure(ENOENT, L"dladdr", nullptr);
    }
    // The executable's own entry has an empty name (dladdr then reports argv[0],
    // which need not be a path): take the executable's link instead.
    if (map->l_name == nullptr || map->l_name[0] == 0)
    {
        return ExecutablePath();
    }
    std::string path;
    if (!CanonicalPath(map->l_name, path))
    {
        ThrowCallFailure(errno, L"realpath", map->l_name);
    }
    return path;
}

// The folder of a file path, with a trailing separator.
UniversalString FolderOf(const std::string& filePath)
{
    const UniversalString wide = FromSystemText(filePath.c_str());
    UniversalString folder;
    SplitPath(folder, wide.c_str(), nullptr);
    return PathWithSeparator(folder.c_str());
}

UniversalString FolderWithSeparator(const std::string& folderPath)
{
    const UniversalString wide = FromSystemText(folderPath.c_str());
    return PathWithSeparator(wide.c_str());
}

// The standard file stream opens without close-on-exec and names no descriptor;
// the library's one (libstdc++) keeps it in its buffer's protected file member.
class FileBufferDescriptor : public std::filebuf
{
public:
    // The descriptor of the buffer's open file; -1 when none.
    static int Of(std::filebuf& buffer) { return (buffer.*(&FileBufferDescriptor::_M_file)).fd(); }
};

// Marks the stream's descriptor close-on-exec at once; a stream whose mark does
// not take is closed.
void MarkCloseOnExec(std::fstream& stream)
{
    const int fd = FileBufferDescriptor::Of(*stream.rdbuf());
    const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
    {
        stream.close();
    }
}

template <typename StreamOpen>
bool OpenFileStream(std::fstream& stream, const wchar_t* path, StreamOpen open)
{
    try
    {
        const UniversalStringA systemPath = SystemPath(path);
        open(systemPath.c_str());
        if (stream.is_open())
        {
            MarkCloseOnExec(stream);
        }
        if (stream.is_open())
        {
            stream.clear();
        }
        else
        {
            stream.setstate(std::ios_base::failbit);
        }
        return stream.is_open();
    }
    catch (const std::exception& e)
    {
        const Universal::StdExceptionError error(e, path);
        Universal::LogError(error, L"Failed to open file.");
        Universal::ThrowStdExceptionError(error);
    }
}

} // namespace

void CreateFolder(const wchar_t* path)
{
    const UniversalString folder = RemoveTrailingSeparator(path);
    const UniversalStringA systemPath = SystemPath(folder.c_str());
    if (::mkdir(systemPath.c_str(), 0777) == 0)
    {
        return;
    }
    const int code = errno;
    if (code == EEXIST)
    {
        // Only an existing folder is success; a file (or a dangling link) of that
        // name means that the folder does not exist.
        struct stat status
        {
        };
        if (::stat(systemPath.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        {
            return;
        }
    }
    ThrowSystemError(SystemError_Posix(static_cast<std::uint32_t>(code), path), L"Failed to create folder.");
}

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode)
{
    int code = EINVAL;
    std::FILE* file = nullptr;
    if (mode != nullptr && mode[0] != 0)
    {
        const UniversalStringA systemPath = SystemPath(path);
        const UniversalStringA systemMode = Universal::ToNarrow(mode);
        std::string fullMode;
        try
        {
            fullMode = ModeWithCloseOnExec(systemMode.c_str());
        }
        catch (const std::exception&)
        {
            fullMode.clear();
        }
        if (!fullMode.empty())
        {
            file = std::fopen(systemPath.c_str(), fullMode.c_str());
            code = errno;
        }
        else
        {
            code = ENOMEM;
        }
    }
    if (file == nullptr)
    {
        Universal::ThrowStandardError(Universal::StandardError(static_cast<std::uint32_t>(code), path),
                                      L"Failed to open file.");
    }
    return file;
}

bool OpenInputFileStream(std::fstream& stream, const wchar_t* path, std::ios_base::openmode mode)
{
    return OpenFileStream(stream, path,
                          [&](const char* systemPath) { stream.open(systemPath, mode | std::ios_base::in); });
}

bool OpenOutputFileStream(std::fstream& stream, const wchar_t* path, std::ios_base::openmode mode)
{
    return OpenFileStream(
        stream, path, [&](const char* systemPath) { stream.open(systemPath, mode | std::ios_base::out); });
}

UniversalString GetSpecialFolder(std::uint32_t kind)
{
    switch (kind)
    {
    case kSpecialFolder_Executable:
    case kSpecialFolder_Application:
        return FolderOf(ExecutablePath());
    case kSpecialFolder_Module:
        return FolderOf(ModulePath());
    case kSpecialFolder_Current:
    {
        std::string path;
        if (!CurrentDirectory(path))
        {
            ThrowCallFailure(errno, L"getcwd", nullptr);
        }
        return FolderWithSeparator(path);
    }
    default:
        break;
    }
    if (kind >= kSpecialFolder_Temp && kind <= kSpecialFolder_TempLast)
    {
        std::string path;
        if (!CanonicalPath(P_tmpdir, path))
        {
            ThrowCallFailure(errno, L"realpath", P_tmpdir);
        }
        return FolderWithSeparator(path);
    }
    if (kind >= 5 && kind <= kSpecialFolder_CommonAppData)
    {
        Q7_THROW_INTERNAL_ERROR(
            Universal::ModuleError(Universal::kError_NotSupported, L"Requested folderPath not implemented."),
            nullptr);
    }
    Q7_THROW_INTERNAL_ERROR(Universal::ModuleError(Universal::kError_InvalidParameter, L"Unknown folderPath"),
                            nullptr);
}

UniversalString GetOSVersionText() noexcept
{
    struct utsname names
    {
    };
    UniversalString text;
    if (::uname(&names) != 0)
    {
        const SystemError_Posix error(L"uname");
        Q7_REPORT_INTERNAL_ERROR(error, L"uname failed");
        text.Assign(L"Linux");
        return text;
    }
    const char* const parts[] = {names.sysname, names.release, names.version, names.machine};
    for (const char* part : parts)
    {
        if (part[0] == 0)
        {
            continue;
        }
        if (!text.IsEmpty())
        {
            text.Append(L" ");
        }
        text.Append(FromSystemText(part).c_str());
    }
    return text;
}

} // namespace Q7::Platform
