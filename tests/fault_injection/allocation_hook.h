// A test-only allocation hook. The fault-injection program is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free and replaces every form of
// operator new and delete (plain, array, nothrow and aligned), so every allocation that the
// library (or this program) makes directly or through the standard library's containers
// passes through here: the hook counts the blocks that are live and, once armed, makes one
// chosen allocation fail (a throwing operator new then throws std::bad_alloc, a nothrow one
// returns null).
#pragma once

namespace allocation_hook {

// Lets `k` further allocations succeed and makes the next one fail (k = 0: the very next).
void fail_allocation(long k);

// Stops injecting. Returns whether the armed failure happened.
bool disarm();

// Whether the failure that happened was one of operator new's (not malloc's and the like).
bool failed_in_new();

// Blocks obtained through malloc, calloc or realloc and not yet freed.
long live_blocks();

// Bytes (usable sizes) of those blocks, and the most that were live at once since the last
// call of reset_peak_bytes, which returns that peak and starts a new one from now.
long long live_bytes();
long long reset_peak_bytes();

} // namespace allocation_hook
