#pragma once
// File-system services of the platform library that call the operating system:
// folders, files and file streams, the special folders and the text that names
// the operating system.
//
// Paths are wide texts; they reach the system as UTF-8 (the library's own codec,
// independent of the C locale). Files and streams are opened close-on-exec.

#include "Q7UniversalString.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <ios>

namespace Q7::Platform
{

/// Kinds of GetSpecialFolder.
enum EnumSpecialFolder : std::uint32_t
{
    kSpecialFolder_Executable = 1,     ///< folder of the running executable
    kSpecialFolder_Module = 2,         ///< folder of the module that holds this library
    kSpecialFolder_Application = 3,    ///< folder of the running executable
    kSpecialFolder_Current = 4,        ///< the current directory
    kSpecialFolder_Temp = 10,          ///< the temporary-files folder (10 to 13)
    kSpecialFolder_TempLast = 13,      ///< last kind that names the temporary-files folder
    kSpecialFolder_UserRoaming = 20,   ///< not offered here (see GetSpecialFolder)
    kSpecialFolder_UserLocal = 21,     ///< not offered here
    kSpecialFolder_CommonAppData = 22, ///< not offered here
};

/// Creates one folder (parents are not created) with the path's trailing
/// separator removed. An existing folder is success. Raises SystemError_Posix
/// (logged, "Failed to create folder.", the path as context) on any other
/// failure, including an existing file of that name (EEXIST). Blocks on the file
/// system. Thread-safe.
void CreateFolder(const wchar_t* path);

/// Opens a C stream with fopen semantics (mode "rb", "wb", "a+" and the like).
/// The caller closes the file with fclose. Raises StandardError (logged, "Failed
/// to open file.", errno and the path as context) when the file does not open.
/// Blocks on the file system. Thread-safe.
std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode);

/// Opens stream for reading: the input flag is added to mode. Success clears the
/// stream's state, failure sets its fail bit; answers whether the stream is open.
/// The descriptor is marked close-on-exec right after the open (a program that
/// another thread starts in between may still inherit it).
/// A standard exception while opening (a stream whose exception mask includes
/// failbit, an allocation failure) is raised as StdExceptionError (logged,
/// "Failed to open file.", the path as context). Blocks on the file system.
/// Reentrant.
bool OpenInputFileStream(std::fstream& stream, const wchar_t* path, std::ios_base::openmode mode);

/// As OpenInputFileStream, for writing: the output flag is added to mode.
bool OpenOutputFileStream(std::fstream& stream, const wchar_t* path, std::ios_base::openmode mode);

/// The folder of the given kind, with a trailing separator:
///  - 1, 3: the folder of the running executable (/proc/self/exe);
///  - 2: the folder of the module that holds this library (the shared library,
///    or the executable when the library is linked statically);
///  - 4: the current directory;
///  - 10 to 13: the temporary-files folder, symbolic links resolved.
/// A failing system call raises SystemError_Posix (logged) whose prefix names the
/// call ("readlink", "dladdr", "getcwd", "realpath"). Kinds 5 to 9 and 14 to 22
/// raise ModuleError 0x650067 (internal error, "Requested folderPath not
/// implemented."): the per-user and all-users application-data folders would
/// need the environment, which the library never reads. Kind 0 and kinds above
/// 22 raise ModuleError 0x650001 (internal error, "Unknown folderPath").
/// Thread-safe.
Universal::UniversalString GetSpecialFolder(std::uint32_t kind);

/// The operating system as uname names it: system name, release, version and
/// machine, separated by single spaces ("Linux 6.1.0-18-amd64 #1 SMP ... x86_64").
/// When uname fails: an internal error led by "uname failed" and the text
/// "Linux". Never throws. Thread-safe.
Universal::UniversalString GetOSVersionText() noexcept;

} // namespace Q7::Platform
