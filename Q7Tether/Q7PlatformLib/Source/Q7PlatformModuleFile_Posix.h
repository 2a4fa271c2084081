#pragma once
// Loading of dynamic libraries (shared objects) and lookup of their functions.

#include <cstdint>

namespace Q7::Platform
{

/// A dynamic library that can be loaded, asked for its functions and freed.
class BaseModuleFile
{
public:
    virtual ~BaseModuleFile();

    /// Loads the library at path (see ModuleFile_Posix::Load).
    virtual bool Load(const wchar_t* path, bool throwOnFailure) = 0;
    /// Unloads the library; nothing when none is loaded.
    virtual void Free() = 0;
    /// True while a library is loaded.
    virtual bool IsLoaded() const = 0;
    /// The address of an exported function or object.
    virtual void* GetFunctionAddress(const char* name) = 0;
};

/// A shared object loaded with dlopen. One object holds at most one library; the
/// destructor frees it. Reentrant (one object per thread at a time). Not
/// copyable.
class ModuleFile_Posix : public BaseModuleFile
{
public:
    ModuleFile_Posix() = default;
    /// Frees the library.
    ~ModuleFile_Posix() override;

    ModuleFile_Posix(const ModuleFile_Posix&) = delete;
    ModuleFile_Posix& operator=(const ModuleFile_Posix&) = delete;

    /// Frees any library held, then loads the one at path with all its symbols
    /// bound at once (RTLD_NOW) and kept local to it. A path that contains a "/"
    /// is made absolute first (symbolic links resolved; the given path is used
    /// when that fails); a bare file name is searched for by the dynamic loader.
    /// An empty path is a failure (it never names the running program). Failure
    /// answers false, or with throwOnFailure raises SystemError_Posix (logged,
    /// "dlopen failed." with the loader's message; the errno of the loader, else
    /// ENOENT for a file that is not there and ENOEXEC for one that cannot be
    /// loaded; the path as context). Blocks while the loader runs the library's
    /// initialisers.
    bool Load(const wchar_t* path, bool throwOnFailure) override;

    /// dlclose the library when one is loaded and forget its handle. A failing
    /// dlclose is logged, not raised.
    void Free() override;

    /// True while a library is loaded.
    bool IsLoaded() const override;

    /// The address of the exported symbol name (UTF-8). Without a loaded library
    /// raises ModuleError 0x650069 (internal error, "Load() must be called before
    /// GetFunctionAddress()."). A missing symbol raises SystemError_Posix ENOENT
    /// (logged, "dlsym failed." with the loader's message, the name as context).
    void* GetFunctionAddress(const char* name) override;

private:
    void* m_handle = nullptr; // the dlopen handle; null when no library is loaded
};

} // namespace Q7::Platform
