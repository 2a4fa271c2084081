// The machine-wide named mutex: where its lock file lies, the file's mode and
// kind, and exclusion across processes, when the file is replaced, and across
// a fork. Every test locks files in a folder of its own or under a name of its
// own, never the production lock.

#include "Q7PlatformNamedMutex_Posix.h"
#include "Q7PlatformSystemError_Posix.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using Q7::Platform::NamedMutex_Posix;

constexpr const char* kName = "TestInitilizer";

// The errno of what Lock raised; 0 when it raised nothing.
std::uint32_t LockError(NamedMutex_Posix& mutex)
{
    try
    {
        mutex.Lock();
        mutex.Unlock();
    }
    catch (const Q7::Platform::SystemError_Posix& error)
    {
        return error.GetCode();
    }
    return 0;
}

// True once a flock request on the inode waits in the kernel (a blocked line
// of /proc/locks), within 10 s.
bool WaitForBlockedFlock(ino_t inode)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const std::string tail = ":" + std::to_string(inode) + " ";
    while (std::chrono::steady_clock::now() < deadline)
    {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
        {
            if (line.find("-> FLOCK") != std::string::npos && line.find(tail) != std::string::npos)
                return true;
        }
        std::this_thread::yield();
    }
    return false;
}

ino_t InodeOf(const std::string& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Catches a lock file whose mode follows the umask: another user's process
// could then not open it and would go on without exclusion.
TEST(NamedMutex, TheLockFileIsReadableAndWritableByAllWhateverTheUmask)
{
    TestSupport::TempFolder folder;
    NamedMutex_Posix mutex(kName, folder.Root().c_str());
    const mode_t old = ::umask(077);
    const std::uint32_t error = LockError(mutex);
    ::umask(old);
    ASSERT_EQ(error, 0u);
    struct stat info
    {
    };
    ASSERT_EQ(::stat(mutex.GetPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
}

struct RefusedCase
{
    const char* what;
    std::function<void(const std::string& path)> plant; // puts something at the lock file's path
    std::uint32_t error;
};

// Catches an open that blocks for ever on a FIFO planted at the path, one that
// follows a link to a file elsewhere, a lock taken on something that is not a
// regular file, and a mutex that goes on unlocked when its file cannot be made.
TEST(NamedMutex, RefusesAnythingButARegularFileWithTheError)
{
    const RefusedCase cases[] = {
        {"fifo", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0666), 0); }, EINVAL},
        {"link",
         [](const std::string& path)
         {
             std::ofstream(path + ".target").put('x');
             ASSERT_EQ(::symlink((path + ".target").c_str(), path.c_str()), 0);
         },
         ELOOP},
        {"folder", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0777), 0); }, EINVAL},
        {"missing folder", [](const std::string&) {}, ENOENT},
    };
    for (const RefusedCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        TestSupport::TempFolder folder;
        const std::string lockFolder = c.error == ENOENT ? folder.Path("missing") : folder.Root();
        NamedMutex_Posix mutex(kName, lockFolder.c_str());
        c.plant(mutex.GetPath());
        auto error = std::async(std::launch::async, [&] { return LockError(mutex); });
        ASSERT_EQ(error.wait_for(10s), std::future_status::ready) << "Lock blocked";
        EXPECT_EQ(error.get(), c.error);
    }
}

// Catches lock files put where a /tmp cleaner ages them out (deleted while
// held, the mutex no longer excludes anyone), and a machine-wide lock that does
// not exclude another process: a child holds the mutex by its name in the
// machine's folder, and the parent's Lock waits in the kernel until the child
// unlocks.
TEST(NamedMutex, TheMachinesLockFileLiesInRunLockAndExcludesAnotherProcess)
{
    struct stat runLock
    {
    };
    const bool runLockUsable = ::stat("/run/lock", &runLock) == 0 && S_ISDIR(runLock.st_mode) &&
                               ::access("/run/lock", W_OK | X_OK) == 0;
    EXPECT_EQ(NamedMutex_Posix::LockFolder(), runLockUsable ? "/run/lock" : "/tmp");
    EXPECT_EQ(NamedMutex_Posix::LockFolder(nullptr), NamedMutex_Posix::LockFolder());
    EXPECT_EQ(NamedMutex_Posix::LockFolder("/elsewhere"), "/elsewhere");

    // A name of this test process's own: never the cameras' lock.
    const std::string name = "TavrinNamedMutexTest." + std::to_string(::getpid());
    NamedMutex_Posix mutex(name.c_str());
    EXPECT_EQ(mutex.GetPath(), NamedMutex_Posix::LockFolder() + "/" + name);
    if (runLockUsable)
    {
        EXPECT_EQ(mutex.GetPath().rfind("/run/lock/", 0), 0u) << mutex.GetPath();
    }

    int locked[2];
    int go[2];
    ASSERT_EQ(::pipe(locked), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // Locks, says so, and unlocks when told.
        NamedMutex_Posix own(name.c_str());
        own.Lock();
        char byte = 1;
        if (::write(locked[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1)
            ::_exit(1);
        own.Unlock();
        ::_exit(0);
    }
    pollfd childLocked{locked[0], POLLIN, 0};
    ASSERT_EQ(::poll(&childLocked, 1, 10000), 1) << "the child never locked";
    std::atomic<bool> acquired{false};
    auto waited = std::async(std::launch::async,
                             [&]
                             {
                                 mutex.Lock();
                                 acquired = true;
                                 mutex.Unlock();
                             });
    EXPECT_TRUE(WaitForBlockedFlock(InodeOf(mutex.GetPath()))) << "the parent's Lock did not wait";
    EXPECT_FALSE(acquired) << "both processes hold the mutex";
    const char byte = 1;
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    EXPECT_EQ(waited.wait_for(10s), std::future_status::ready);
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (int fd : {go[0], go[1], locked[0], locked[1]})
        ::close(fd);
    ::unlink(mutex.GetPath().c_str());
}

// Catches a waiter that takes the lock of a file that was replaced while it
// waited: the path names another file, locked by someone else meanwhile.
TEST(NamedMutex, AWaiterWhoseFileWasReplacedLocksTheNewFile)
{
    TestSupport::TempFolder folder;
    NamedMutex_Posix holder(kName, folder.Root().c_str());
    NamedMutex_Posix waiter(kName, folder.Root().c_str());
    holder.Lock();
    const ino_t oldFile = InodeOf(holder.GetPath());
    std::atomic<bool> acquired{false};
    auto waited = std::async(std::launch::async,
                             [&]
                             {
                                 waiter.Lock();
                                 acquired = true;
                                 waiter.Unlock();
                             });
    ASSERT_TRUE(WaitForBlockedFlock(oldFile));

    // The file is replaced; the newcomer locks the new one.
    ASSERT_EQ(::unlink(holder.GetPath().c_str()), 0);
    NamedMutex_Posix newcomer(kName, folder.Root().c_str());
    newcomer.Lock();
    holder.Unlock();
    EXPECT_EQ(waited.wait_for(200ms), std::future_status::timeout) << "the waiter holds the old file's lock";
    EXPECT_FALSE(acquired);
    newcomer.Unlock();
    EXPECT_EQ(waited.wait_for(10s), std::future_status::ready);
}

// Catches a lock file kept open for the process: a child forked after the
// first use shares its open file description, so the child's lock succeeds
// while the parent holds it.
TEST(NamedMutex, AChildForkedAfterTheFirstUseDoesNotShareTheLock)
{
    TestSupport::TempFolder folder;
    NamedMutex_Posix mutex(kName, folder.Root().c_str());
    mutex.Lock();
    mutex.Unlock();

    int go[2];
    int locked[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(locked), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        // Waits until the parent holds the mutex, locks it, says so.
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1)
            ::_exit(1);
        mutex.Lock();
        byte = 1;
        ::_exit(::write(locked[1], &byte, 1) == 1 ? 0 : 1);
    }
    mutex.Lock();
    const char byte = 1;
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    pollfd ready{locked[0], POLLIN, 0};
    EXPECT_EQ(::poll(&ready, 1, 200), 0) << "the child locked while the parent holds the mutex";
    mutex.Unlock();
    EXPECT_EQ(::poll(&ready, 1, 10000), 1);
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == 0)
    {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    for (int fd : {go[0], go[1], locked[0], locked[1]})
        ::close(fd);
}

} // namespace
