#pragma once
// Test helper for the synchronisation and thread tests: elapsed time.

#include <chrono>

namespace Q7::Testing
{

/// Milliseconds elapsed since start on the steady clock.
inline long long ElapsedMs(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace Q7::Testing
