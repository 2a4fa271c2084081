#include "Q7PlatformModuleFile_Posix.h"

#include "Q7PlatformSync_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "Q7UniversalError.h"
#include "Q7UniversalLogMsg.h"
#include "Q7UniversalString.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

namespace Q7::Platform
{

namespace
{

using Universal::UniversalString;
using Universal::UniversalStringA;

// The dynamic loader's message of the last failure on this thread, as wide text.
UniversalString LoaderMessage()
{
    const char* message = ::dlerror();
    return Universal::FromNarrow(message != nullptr ? message : "");
}

// The error number of a failed dlopen, which need not set errno: a file that is
// not there gives ENOENT, one that is there but cannot be loaded ENOEXEC.
int FailureCode(const char* path, int code)
{
    if (code != 0)
    {
        return code;
    }
    if (std::strchr(path, '/') == nullptr)
    {
        return ENOENT; // searched for by name and not found
    }
    return ::access(path, F_OK) == 0 ? ENOEXEC : ENOENT;
}

} // namespace

BaseModuleFile::~BaseModuleFile() = default;

ModuleFile_Posix::~ModuleFile_Posix()
{
    Free();
}

bool ModuleFile_Posix::Load(const wchar_t* path, bool throwOnFailure)
{
    Free();

    UniversalStringA systemPath = Universal::ToNarrow(path);
    if (std::wcschr(path != nullptr ? path : L"", L'/') != nullptr)
    {
        std::unique_ptr<char, decltype(&std::free)> absolute(::realpath(systemPath.c_str(), nullptr),
                                                             &std::free);
        if (absolute != nullptr)
        {
            systemPath.Assign(absolute.get());
        }
    }

    int code = ENOENT;
    UniversalString message;
    if (!systemPath.IsEmpty())
    {
        ::dlerror(); // forget an older failure
        errno = 0;
        m_handle = ::dlopen(systemPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        code = errno;
        if (m_handle == nullptr)
        {
            message = LoaderMessage();
            code = FailureCode(systemPath.c_str(), code);
        }
    }
    else
    {
        message.Assign(L"empty path");
    }

    if (m_handle != nullptr)
    {
        return true;
    }
    if (throwOnFailure)
    {
        ThrowSystemError(SystemError_Posix(static_cast<std::uint32_t>(code), path), L"dlopen failed. (%ls)",
                         message.c_str());
    }
    return false;
}

void ModuleFile_Posix::Free()
{
    if (m_handle == nullptr)
    {
        return;
    }
    void* handle = m_handle;
    m_handle = nullptr;
    if (::dlclose(handle) != 0)
    {
        const UniversalString message = LoaderMessage();
        Universal::LogErrorText(L"dlclose failed. (%ls)", message.c_str());
    }
}

bool ModuleFile_Posix::IsLoaded() const
{
    return m_handle != nullptr;
}

void* ModuleFile_Posix::GetFunctionAddress(const char* name)
{
    if (m_handle == nullptr)
    {
        Q7_THROW_INTERNAL_ERROR(Universal::ModuleError(Universal::kError_NotInitialized,
                                                       L"Load() must be called before GetFunctionAddress()."),
                                nullptr);
    }
    ::dlerror(); // forget an older failure
    void* address = ::dlsym(m_handle, name != nullptr ? name : "");
    const char* failure = ::dlerror();
    if (failure != nullptr)
    {
        const UniversalString message = Universal::FromNarrow(failure);
        const UniversalString wideName = Universal::FromNarrow(name);
        ThrowSystemError(SystemError_Posix(ENOENT, wideName.Get()), L"dlsym failed. (%ls)", message.c_str());
    }
    return address;
}

} // namespace Q7::Platform
