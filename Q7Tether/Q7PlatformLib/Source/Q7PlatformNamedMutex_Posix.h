#pragma once
// A mutex shared by every process of the machine, found by its name.

#include "Q7PlatformSync_Posix.h"

#include <cstdint>
#include <string>

namespace Q7::Platform
{

/// A machine-wide mutex: a recursive mutex for the threads of this process
/// plus an exclusive flock on the lock file "<folder>/<name>" for the
/// processes. The kernel drops the flock when its process ends, however it
/// ends, so a process killed while holding the mutex never blocks the next
/// one.
///
/// The machine's lock files lie in /run/lock, the folder Linux keeps for them,
/// which no cleaner ages out (a 0-byte file in /tmp whose times never change
/// is what a /tmp cleaner deletes); in /tmp only where /run/lock is absent or
/// not writable. The exclusion holds as long as nobody deletes the lock file
/// while it is held: a locker that comes after such a deletion locks a new
/// file at the path.
///
/// Each acquisition opens the lock file afresh (a new open file description,
/// so that a child process forked earlier never shares the lock), and after
/// locking checks that the path still names the file it locked: a lock file
/// deleted or replaced while this process waited is locked again under the
/// path. The lock file is created readable and writable by every user
/// whatever the umask, and opened without following a link and without
/// blocking; anything but a regular file is refused.
///
/// Two objects of the same name exclude each other like two processes.
/// Thread-safe. The same thread may lock an object again (recursively); each
/// Lock needs one Unlock.
class NamedMutex_Posix
{
public:
    /// The folder of the lock files of the machine's named mutexes.
    static constexpr const char* kDefaultFolder = "/run/lock";
    /// Where they go when kDefaultFolder is absent or not writable.
    static constexpr const char* kFallbackFolder = "/tmp";

    /// The folder a mutex given `folder` keeps its lock file in: kDefaultFolder
    /// (also for null) when it is a folder this process may create files in,
    /// else kFallbackFolder; any other folder as it is. Reentrant.
    static std::string LockFolder(const char* folder = kDefaultFolder);

    /// The mutex of `name` with its lock file in LockFolder(folder). Touches no
    /// file (it only asks whether the default folder is writable).
    explicit NamedMutex_Posix(const char* name, const char* folder = kDefaultFolder);
    /// Drops the file lock when it is still held.
    ~NamedMutex_Posix();

    NamedMutex_Posix(const NamedMutex_Posix&) = delete;
    NamedMutex_Posix& operator=(const NamedMutex_Posix&) = delete;

    /// Waits without limit until this thread holds the mutex: opens the lock
    /// file (creating it when missing), locks it and checks that the path
    /// still names it. Raises SystemError_Posix (plain; the mutex is then not
    /// held) when the lock file cannot be opened or created ("open", "fchmod";
    /// ELOOP for a link), is not a regular file (EINVAL "lock file is not a
    /// regular file"), or cannot be locked ("flock"). Blocks.
    void Lock();

    /// Releases one level; the last level drops the file lock and closes the
    /// lock file, then releases the in-process mutex. Raises SystemError_Posix
    /// "flock" (plain) when the file lock cannot be dropped (the level is
    /// released all the same). Only from the thread that holds the mutex.
    void Unlock();

    /// The lock file's path.
    const std::string& GetPath() const noexcept { return m_path; }

private:
    // Opens, locks and checks the lock file until the path names the file
    // locked; answers its descriptor or raises.
    int LockFile() const;

    const std::string m_path;
    Mutex_Posix m_threads; // excludes the other threads of this process; held while m_depth > 0
    int m_fd = -1;         // the locked lock file while held; guarded by m_threads
    uint32_t m_depth = 0;  // levels held by the owning thread; guarded by m_threads
};

} // namespace Q7::Platform
