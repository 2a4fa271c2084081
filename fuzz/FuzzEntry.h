// The one entry point every fuzz target defines. libFuzzer calls it with each
// generated input; the replay programs of the ordinary builds call it with each
// file of the target's checked-in corpus. It returns 0; a fault shows up as a
// sanitizer report or a trap.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

/// Stops the process when a property that must hold for every input fails
/// (libFuzzer then keeps the input as a crash).
#define TAVRIN_FUZZ_CHECK(condition)                                                                         \
    do                                                                                                       \
    {                                                                                                        \
        if (!(condition))                                                                                    \
            __builtin_trap();                                                                                \
    } while (false)
