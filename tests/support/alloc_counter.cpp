#include "tests/support/alloc_counter.h"

#include <atomic>
#include <cstddef>

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
}  // namespace

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
namespace {
inline void count() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

// libavcodec's av_malloc goes through posix_memalign, so the aligned calls
// count too.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
void* malloc(std::size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, std::size_t n) {
    count();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(std::size_t a, std::size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(std::size_t a, std::size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** p, std::size_t a, std::size_t n) {
    count();
    *p = __libc_memalign(a, n);
    return *p ? 0 : 12;  // ENOMEM
}
}

namespace testsupport {
bool allocation_counting_works() { return true; }
}  // namespace testsupport
#else
namespace testsupport {
bool allocation_counting_works() { return false; }
}  // namespace testsupport
#endif

namespace testsupport {

void allocation_counting(bool on) {
    if (on) g_allocations.store(0, std::memory_order_relaxed);
    g_counting.store(on, std::memory_order_relaxed);
}

long allocation_count() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace testsupport
