#include "Q7PlatformNamedMutex_Posix.h"

#include "Q7PlatformSystemError_Posix.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Q7::Platform
{

namespace
{

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

} // namespace

NamedMutex_Posix::NamedMutex_Posix(const char* name)
{
    const std::string path = std::string("/tmp/") + (name != nullptr ? name : "");
    // A file that another user made is opened without O_CREAT: in a sticky
    // folder the kernel may refuse O_CREAT on a file of another owner. A flock
    // needs no write access.
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0 && errno == ENOENT)
    {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    }
    if (m_fd < 0)
    {
        throw SystemError_Posix(static_cast<uint32_t>(errno), L"open");
    }
}

NamedMutex_Posix::~NamedMutex_Posix()
{
    ::close(m_fd);
}

void NamedMutex_Posix::Lock()
{
    m_threads.Lock(kInfinite);
    if (m_depth == 0)
    {
        if (const int code = FileLock(m_fd, LOCK_EX); code != 0)
        {
            m_threads.Unlock();
            throw SystemError_Posix(static_cast<uint32_t>(code), L"flock");
        }
    }
    ++m_depth;
}

void NamedMutex_Posix::Unlock()
{
    int code = 0;
    if (m_depth == 1)
    {
        code = FileLock(m_fd, LOCK_UN);
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
