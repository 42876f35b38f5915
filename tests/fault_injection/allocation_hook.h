// A test-only allocation hook. The fault-injection program is linked with
// -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free, so every allocation that the
// library (or this program) makes directly passes through here: the hook counts the blocks
// that are live and, once armed, makes one chosen allocation fail.
#pragma once

namespace allocation_hook {

// Lets `k` further allocations succeed and makes the next one fail (k = 0: the very next).
void fail_allocation(long k);

// Stops injecting. Returns whether the armed failure happened.
bool disarm();

// Blocks obtained through malloc, calloc or realloc and not yet freed.
long live_blocks();

// Bytes (usable sizes) of those blocks, and the most that were live at once since the last
// call of reset_peak_bytes, which returns that peak and starts a new one from now.
long long live_bytes();
long long reset_peak_bytes();

} // namespace allocation_hook
