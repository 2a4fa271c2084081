#pragma once
// A mutex shared by every process of the machine, found by its name.

#include "Q7PlatformSync_Posix.h"

#include <cstdint>

namespace Q7::Platform
{

/// A machine-wide mutex: a recursive mutex for the threads of this process
/// plus an exclusive flock on the lock file "/tmp/<name>" for the processes.
/// The kernel drops the flock when its process ends, however it ends, so a
/// process killed while holding the mutex never blocks the next one.
///
/// Thread-safe. The same thread may lock it again (recursively); each Lock
/// that answered true needs one Unlock.
class NamedMutex_Posix
{
public:
    /// Opens (creating when missing, readable by every user) the lock file of
    /// the name. Raises SystemError_Posix "open" (plain) when it cannot.
    explicit NamedMutex_Posix(const char* name);
    /// Closes the lock file (which drops a flock still held).
    ~NamedMutex_Posix();

    NamedMutex_Posix(const NamedMutex_Posix&) = delete;
    NamedMutex_Posix& operator=(const NamedMutex_Posix&) = delete;

    /// Waits without limit until this thread holds the mutex. Raises
    /// SystemError_Posix "flock" (plain) when the file lock fails; the mutex is
    /// then not held. Blocks.
    void Lock();

    /// Releases one level; the last level drops the file lock, then the
    /// in-process mutex. Raises SystemError_Posix "flock" (plain) when the
    /// file lock cannot be dropped (the level is released all the same). Only
    /// from the thread that holds the mutex.
    void Unlock();

private:
    Mutex_Posix m_threads; // excludes the other threads of this process; held while m_depth > 0
    int m_fd = -1;         // the lock file, open for the object's life
    uint32_t m_depth = 0;  // levels held by the owning thread; guarded by m_threads
};

} // namespace Q7::Platform
