// Counts heap allocations made while counting is on, for the tests and
// benchmarks that hold the frame path to "no allocation per frame". Linking
// alloc_counter.cpp puts its malloc family in front of the C library's; under
// the sanitizers (their own allocator) or off glibc nothing is counted.
#pragma once

namespace testsupport {

// True when this build really counts (glibc, no AddressSanitizer).
bool allocation_counting_works();
// Starts or stops counting; starting sets the count to 0.
void allocation_counting(bool on);
// Allocations (malloc, calloc, realloc, memalign, aligned_alloc, posix_memalign)
// since counting last started.
long allocation_count();

}  // namespace testsupport
