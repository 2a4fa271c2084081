#pragma once
// Monotonic clocks and sleeps. Durations and time-outs of the libraries are
// measured with GetTickCountMs.

#include <cstdint>

namespace Q7::Platform
{

/// Microseconds of the monotonic clock (CLOCK_MONOTONIC): never decreases and
/// does not wrap in the lifetime of a machine. A failing clock read is reported as
/// an internal error and fails an assertion. Thread-safe; never blocks.
uint64_t GetTickCountUs();

/// GetTickCountUs () / 1000: monotonic milliseconds, 64 bits. Callers that keep
/// 32-bit ticks truncate, and compute differences in 32-bit arithmetic.
/// Thread-safe; never blocks.
uint64_t GetTickCountMs();

/// The milliseconds left of a time-out of timeoutMs that started at startMs
/// (a GetTickCountMs value): 0xFFFFFFFF (no limit) passes through unchanged, a
/// time-out that has run out gives 0, never a wrapped value. Thread-safe.
uint32_t TimeLeftMs(uint32_t timeoutMs, uint64_t startMs);

/// Suspends the calling thread for at least ms milliseconds on the monotonic
/// clock (signals do not shorten it). 0 yields the processor; 0xFFFFFFFF sleeps
/// for ever. Blocks. Thread-safe.
void SleepMs(uint32_t ms);

} // namespace Q7::Platform
