// No exception leaves the library through its C interface. Most of the library allocates with
// malloc and reports failures by result codes; the few paths that build with the standard
// library's containers and strings (the repaired copy, de-identification, the packing of
// annotations at close) can throw std::bad_alloc instead. Each public function that reaches
// such a path runs its body through edf_without_exceptions, and each step that throws while
// it holds something that no destructor releases (an open handle, a stream, a half-written
// output) runs through it too, so that its caller cleans up as after any other failure.
#pragma once

#include <new>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace edf {

// Runs `body` and returns its result; when it throws, returns `no_memory` for a failed
// allocation (std::bad_alloc and what derives from it) and `failure` for any other exception.
// Only the unwinding of a thread that is being cancelled (a cancellation point such as a read
// or write, with the C++ runtime's forced unwinding) passes on, as it must.
template <typename Result, typename Body>
Result edf_without_exceptions(Result no_memory, Result failure, Body &&body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return no_memory;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        return failure;
    }
}

} // namespace edf
