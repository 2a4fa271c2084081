#include "Q7PlatformNamedMutex_Posix.h"

#include "Q7PlatformSystemError_Posix.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Q7::Platform
{

namespace
{

// Read and write for every user: every process of the machine must be able to
// open the lock file, whoever made it and under whatever umask.
constexpr mode_t kLockFileMode = 0666;

// Opened read-only (a flock needs no more), never through a link, and without
// blocking (a FIFO planted at the path would block the open for ever).
constexpr int kOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// flock, retried when a signal interrupts it; answers 0 or the errno value.
int FileLock(int fd, int operation)
{
    while (::flock(fd, operation) != 0)
    {
        const int code = errno;
        if (code != EINTR)
        {
            return code;
        }
    }
    return 0;
}

// Closes a descriptor and raises the error.
[[noreturn]] void CloseAndThrow(int fd, int code, const wchar_t* context)
{
    ::close(fd);
    throw SystemError_Posix(static_cast<uint32_t>(code), context);
}

// Opens the lock file at path, creating it when missing. An existing file is
// opened without O_CREAT: in a sticky folder such as /tmp the kernel may refuse
// O_CREAT on another user's file.
int OpenLockFile(const std::string& path)
{
    for (;;)
    {
        const int fd = ::open(path.c_str(), kOpenFlags);
        if (fd >= 0)
        {
            return fd;
        }
        if (errno != ENOENT)
        {
            throw SystemError_Posix(static_cast<uint32_t>(errno), L"open");
        }
        const int created = ::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kLockFileMode);
        if (created >= 0)
        {
            // The umask took bits away from the mode: give them back.
            if (::fchmod(created, kLockFileMode) != 0)
            {
                CloseAndThrow(created, errno, L"fchmod");
            }
            return created;
        }
        if (errno != EEXIST)
        {
            throw SystemError_Posix(static_cast<uint32_t>(errno), L"open");
        }
        // Another process created it meanwhile: open that one.
    }
}

} // namespace

std::string NamedMutex_Posix::LockFolder(const char* folder)
{
    if (folder != nullptr && std::strcmp(folder, kDefaultFolder) != 0)
    {
        return folder;
    }
    // Creating a file there needs write and search permission on a folder.
    struct stat info
    {
    };
    const bool usable = ::stat(kDefaultFolder, &info) == 0 && S_ISDIR(info.st_mode) &&
                        ::access(kDefaultFolder, W_OK | X_OK) == 0;
    return usable ? kDefaultFolder : kFallbackFolder;
}

NamedMutex_Posix::NamedMutex_Posix(const char* name, const char* folder)
    : m_path(LockFolder(folder) + "/" + (name != nullptr ? name : ""))
{
}

NamedMutex_Posix::~NamedMutex_Posix()
{
    if (m_fd >= 0)
    {
        FileLock(m_fd, LOCK_UN);
        ::close(m_fd);
    }
}

int NamedMutex_Posix::LockFile() const
{
    for (;;)
    {
        const int fd = OpenLockFile(m_path);
        struct stat opened
        {
        };
        if (::fstat(fd, &opened) != 0)
        {
            CloseAndThrow(fd, errno, L"fstat");
        }
        if (!S_ISREG(opened.st_mode))
        {
            CloseAndThrow(fd, EINVAL, L"lock file is not a regular file");
        }
        if (const int code = FileLock(fd, LOCK_EX); code != 0)
        {
            CloseAndThrow(fd, code, L"flock");
        }
        // Locked: the path must still name this file. One deleted or replaced
        // while this process waited is not the one the others lock now.
        struct stat named
        {
        };
        if (::lstat(m_path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
            named.st_ino == opened.st_ino)
        {
            return fd;
        }
        ::close(fd); // drops the lock on the stale file
    }
}

void NamedMutex_Posix::Lock()
{
    m_threads.Lock(kInfinite);
    if (m_depth == 0)
    {
        try
        {
            m_fd = LockFile();
        }
        catch (...)
        {
            m_threads.Unlock();
            throw;
        }
    }
    ++m_depth;
}

void NamedMutex_Posix::Unlock()
{
    int code = 0;
    if (m_depth == 1)
    {
        // Unlocked explicitly: a child forked while the lock was held shares
        // the open file description, so closing alone would not release it.
        code = FileLock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_depth > 0)
    {
        --m_depth;
    }
    m_threads.Unlock();
    if (code != 0)
    {
        throw SystemError_Posix(static_cast<uint32_t>(code), L"flock");
    }
}

} // namespace Q7::Platform
