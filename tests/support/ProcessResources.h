#pragma once
// Threads and descriptors of the test process, to show that what a test
// opened and closed leaves none behind. The lock file of the cameras'
// initialisation mutex, in the machine's lock folder, is not counted.

#include "Camera/KPXCamera.h"

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>

#include <unistd.h>

namespace TestSupport
{

struct ProcessResources
{
    std::size_t threads = 0;
    std::size_t descriptors = 0;

    /// The counts before a test: a thread started and joined first, since a
    /// sanitizer's runtime starts a helper thread of its own with the
    /// process's first thread.
    static ProcessResources Baseline()
    {
        std::thread([] {}).join();
        return Now();
    }

    static ProcessResources Now()
    {
        const std::filesystem::path mutexFile =
            std::filesystem::path(Q7::Platform::NamedMutex_Posix::LockFolder()) /
            Q7::KPX::Camera::kInitializationMutexName;
        ProcessResources now;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        {
            ++now.threads;
        }
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        {
            std::error_code ignored;
            now.descriptors += std::filesystem::read_symlink(entry.path(), ignored) != mutexFile;
        }
        return now;
    }
    bool operator==(const ProcessResources&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const ProcessResources& r)
{
    return out << r.threads << " threads, " << r.descriptors << " descriptors";
}

/// The process's resident memory in bytes (/proc/self/statm); 0 when unreadable.
inline std::size_t ResidentBytes()
{
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr)
    {
        return 0;
    }
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int read = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    return read == 2 ? static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

/// The names of the process's threads, for a failure's message.
inline std::string ThreadNames()
{
    std::string names;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    {
        std::FILE* file = std::fopen((entry.path() / "comm").c_str(), "r");
        char name[64] = {};
        if (file != nullptr)
        {
            if (std::fgets(name, sizeof name, file) == nullptr)
            {
                name[0] = 0;
            }
            std::fclose(file);
        }
        std::string text = name;
        if (!text.empty() && text.back() == '\n')
        {
            text.pop_back();
        }
        names += "[" + text + "] ";
    }
    return names;
}

} // namespace TestSupport
